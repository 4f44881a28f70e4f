#include "fault/fault_support.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tarnel::testing {

namespace {

int CountEntries(const std::string& folder) {
  std::error_code error;
  int count = 0;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return error ? -1 : count;
}

int64_t ResidentKiB(long pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
  }
  return -1;
}

// The folder's inode flags through FS_IOC_GETFLAGS / FS_IOC_SETFLAGS.
bool ChangeImmutable(const std::string& folder, bool immutable) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  close(fd);
  return done;
}

// Whether a new file can be made in `folder` by this process.
bool CanCreateIn(const std::string& folder) {
  const std::string probe = folder + "/.probe";
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  close(fd);
  unlink(probe.c_str());
  return true;
}

}  // namespace

ProcessFigures ReadProcessFigures(long pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  ProcessFigures figures;
  figures.threads = CountEntries(base + "/task");
  figures.descriptors = CountEntries(base + "/fd");
  figures.residentKiB = ResidentKiB(pid);
  return figures;
}

int CountThreadsNamed(long pid, const std::string& name) {
  const std::string shortName = name.substr(0, 15);
  std::error_code error;
  int count = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (std::filesystem::directory_iterator it(tasks, error), end; !error && it != end;
       it.increment(error)) {
    std::ifstream comm(it->path() / "comm");
    std::string threadName;
    if (std::getline(comm, threadName) && threadName == shortName) ++count;
  }
  return count;
}

bool RaiseDescriptorLimit(uint64_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  limit.rlim_cur =
      limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= wanted ? wanted : limit.rlim_max;
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
    // Root may raise the hard limit as well.
    rlimit raised{wanted, wanted};
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return true;
  }
  return setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= wanted;
}

std::unique_ptr<ScopedMount> ScopedMount::Tmpfs(const std::string& folder, uint64_t bytes) {
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (mount("tarnel-fault", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    return nullptr;
  }
  return std::unique_ptr<ScopedMount>(new ScopedMount(folder));
}

std::unique_ptr<ScopedMount> ScopedMount::ReadOnly(const std::string& folder) {
  if (mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) != 0) return nullptr;
  std::unique_ptr<ScopedMount> bound(new ScopedMount(folder));
  if (mount(nullptr, folder.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    return nullptr;  // the destructor detaches the writable bind again
  }
  return bound;
}

ScopedMount::~ScopedMount() { umount2(target.c_str(), MNT_DETACH); }

std::unique_ptr<ScopedUnwritableFolder> ScopedUnwritableFolder::Make(const std::string& folder) {
  if (geteuid() == 0) {
    if (!ChangeImmutable(folder, true)) return nullptr;
    std::unique_ptr<ScopedUnwritableFolder> made(new ScopedUnwritableFolder(folder, true));
    return CanCreateIn(folder) ? nullptr : std::move(made);
  }
  if (chmod(folder.c_str(), 0555) != 0) return nullptr;
  std::unique_ptr<ScopedUnwritableFolder> made(new ScopedUnwritableFolder(folder, false));
  return CanCreateIn(folder) ? nullptr : std::move(made);
}

ScopedUnwritableFolder::~ScopedUnwritableFolder() {
  if (immutable) {
    ChangeImmutable(folder, false);
  } else {
    chmod(folder.c_str(), 0755);
  }
}

bool FillFileSystem(const std::string& folder, const std::string& name) {
  const int fd =
      open((folder + "/" + name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  const std::string block(4096, 'x');
  int error = 0;
  for (;;) {
    const ssize_t written = write(fd, block.data(), block.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {
      error = errno;
      break;
    }
    if (written < static_cast<ssize_t>(block.size())) continue;  // the last bytes went in
  }
  // Single bytes fill what a block no longer fits into.
  while (error == ENOSPC && write(fd, "x", 1) == 1) {
  }
  close(fd);
  return error == ENOSPC;
}

bool ParseStoreObject(const std::string& text, Json::Value* document) {
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["failIfExtra"] = true;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  try {
    return reader->parse(text.data(), text.data() + text.size(), document, &errors) &&
           document->isObject();
  } catch (const std::exception&) {
    return false;
  }
}

std::vector<std::string> OtherFiles(const std::string& folder, const std::string& keep) {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name != keep) names.push_back(name);
  }
  return names;
}

}  // namespace tarnel::testing
