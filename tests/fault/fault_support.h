// Helpers of the fault tests: the service's process as the kernel sees it (threads, open
// descriptors, resident memory), mounts that make a folder read-only or full, and the
// file-descriptor limit that a thousand connections need.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "command_channel/ipc_client.h"

namespace tarnel::testing {

// What /proc tells about a process.
struct ProcessFigures {
  int threads = -1;          // entries of /proc/PID/task
  int descriptors = -1;      // entries of /proc/PID/fd
  int64_t residentKiB = -1;  // VmRSS of /proc/PID/status
};
ProcessFigures ReadProcessFigures(long pid);

// How many threads of the process carry `name` (as far as the kernel keeps it: 15 bytes).
int CountThreadsNamed(long pid, const std::string& name);

// Raises the soft limit of open descriptors to `wanted` (at most the hard limit) for this
// process and so for the children it starts; false when the limit stays below `wanted`.
bool RaiseDescriptorLimit(uint64_t wanted);

// A mount over a folder, undone (lazily detached) at destruction.
class ScopedMount {
 public:
  // A tmpfs of `bytes` bytes over `folder`; null when the machine does not allow mounting.
  static std::unique_ptr<ScopedMount> Tmpfs(const std::string& folder, uint64_t bytes);
  // `folder` bound read-only onto itself; null when the machine does not allow mounting.
  static std::unique_ptr<ScopedMount> ReadOnly(const std::string& folder);
  ~ScopedMount();
  ScopedMount(const ScopedMount&) = delete;
  ScopedMount& operator=(const ScopedMount&) = delete;

 private:
  explicit ScopedMount(std::string target) : target(std::move(target)) {}
  std::string target;
};

// Makes `folder` refuse new files without a mount, where the process's rights allow it:
// the immutable attribute (root ignores permission bits), or permission bits (others).
// Undone at destruction. Null when neither works.
class ScopedUnwritableFolder {
 public:
  static std::unique_ptr<ScopedUnwritableFolder> Make(const std::string& folder);
  ~ScopedUnwritableFolder();
  ScopedUnwritableFolder(const ScopedUnwritableFolder&) = delete;
  ScopedUnwritableFolder& operator=(const ScopedUnwritableFolder&) = delete;

 private:
  ScopedUnwritableFolder(std::string folder, bool immutable)
      : folder(std::move(folder)), immutable(immutable) {}
  std::string folder;
  bool immutable;
};

// Fills the file system of `folder` with one file `name` until no byte is left; true when
// the file system is full.
bool FillFileSystem(const std::string& folder, const std::string& name);

// Parses `text` strictly as the store must look: one JSON object and nothing else.
bool ParseStoreObject(const std::string& text, Json::Value* document);

// The names in `folder` other than `keep`.
std::vector<std::string> OtherFiles(const std::string& folder, const std::string& keep);

}  // namespace tarnel::testing
