#include "bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tarnel::bench {

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Summary::SpreadPercent() const {
  if (median == 0) return 0;
  return 100.0 * (max - min) / 2.0 / std::fabs(median);
}

Summary Summarise(std::vector<double> samples) {
  Summary summary;
  if (samples.empty()) return summary;
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  summary.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2.0;
  summary.min = samples.front();
  summary.max = samples.back();
  return summary;
}

double Percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  const size_t index =
      std::min(samples.size() - 1, static_cast<size_t>(fraction * (samples.size() - 1) + 0.5));
  std::nth_element(samples.begin(), samples.begin() + index, samples.end());
  return samples[index];
}

namespace {
FILE* g_rowOutput = nullptr;
}  // namespace

void SetRowOutput(FILE* output) { g_rowOutput = output; }

void PrintRow(const Row& row) {
  FILE* out = g_rowOutput != nullptr ? g_rowOutput : stdout;
  std::fprintf(out, "ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", row.figure.c_str(), row.value.c_str(),
               row.baseline.c_str(), row.ratio.c_str(), row.target.c_str(), row.verdict.c_str());
  std::fflush(out);
}

std::string FormatNumber(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string FormatWithSpread(const Summary& summary, double scale, const std::string& unit,
                             int decimals) {
  std::string text = FormatNumber(summary.median * scale, decimals);
  if (!unit.empty()) text += " " + unit;
  return text + " ±" + FormatNumber(summary.SpreadPercent(), 0) + "%";
}

std::string Verdict(bool met) { return met ? "met" : "NOT met"; }

std::map<std::string, std::string> ParseOptions(int argc, char** argv) {
  std::map<std::string, std::string> options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    if (name.rfind("--", 0) == 0) name = name.substr(2);
    options[name] = argv[i + 1];
  }
  return options;
}

int IntOption(const std::map<std::string, std::string>& options, const std::string& name,
              int fallback) {
  const auto found = options.find(name);
  return found == options.end() ? fallback : std::atoi(found->second.c_str());
}

namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string key = text.substr(0, text.find('=') + 1);
    const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const std::string& e) {
      return e.compare(0, key.size(), key) == 0;
    });
    if (!replaced) merged.push_back(text);
  }
  merged.insert(merged.end(), extra.begin(), extra.end());
  return merged;
}

pid_t SpawnWithOutput(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      int outputFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (outputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, outputFd, STDOUT_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args = argv;
  std::vector<std::string> environment = MergedEnvironment(env);
  auto argPointers = Pointers(args);
  auto envPointers = Pointers(environment);
  pid_t pid = -1;
  const int result =
      posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&actions);
  return result == 0 ? pid : -1;
}

std::string ProcField(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.compare(0, field.size() + 1, field + ":") == 0) return line.substr(field.size() + 1);
  }
  return "";
}

}  // namespace

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  return SpawnWithOutput(argv, extraEnv, -1);
}

bool WaitForExit(pid_t pid, double timeout_s) {
  const auto start = Clock::now();
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return true;
    if (done < 0) return false;
    if (SecondsSince(start) > timeout_s) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

bool RunCapture(const std::vector<std::string>& argv, std::string* output) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  const pid_t pid = SpawnWithOutput(argv, {}, fds[1]);
  close(fds[1]);
  output->clear();
  char buffer[4096];
  ssize_t count;
  while ((count = read(fds[0], buffer, sizeof buffer)) > 0) output->append(buffer, count);
  close(fds[0]);
  if (pid < 0) return false;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

long ResidentKiB(pid_t pid) { return std::atol(ProcField(pid, "VmRSS").c_str()); }

long ThreadCount(pid_t pid) { return std::atol(ProcField(pid, "Threads").c_str()); }

long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The command name may hold spaces; the fields after it are counted from its ")".
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int index = 3; fields >> field; ++index) {
    if (index == 14) utime = std::atol(field.c_str());
    if (index == 15) {
      stime = std::atol(field.c_str());
      break;
    }
  }
  return utime + stime;
}

double OnCpuSeconds(pid_t pid) {
  double total = 0;
  std::error_code error;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream schedstat(task.path() / "schedstat");
    double nanoseconds = 0;
    if (schedstat >> nanoseconds) total += nanoseconds / 1e9;
  }
  return total;
}

std::string EncodeFrame(const std::string& text) {
  const uint32_t length = static_cast<uint32_t>(text.size() + 1);
  std::string frame;
  for (int shift = 0; shift < 32; shift += 8) frame += static_cast<char>((length >> shift) & 0xff);
  frame += text;
  frame += '\0';
  return frame;
}

FrameClient::~FrameClient() { Close(); }

bool FrameClient::Connect(const std::string& socketPath) {
  Close();
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
  fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Close();
    return false;
  }
  return true;
}

void FrameClient::Close() {
  if (fd >= 0) close(fd);
  fd = -1;
}

bool FrameClient::Send(const std::string& frame) {
  size_t done = 0;
  while (done < frame.size()) {
    const ssize_t count = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  return true;
}

bool FrameClient::ReadExactly(char* buffer, size_t size) {
  size_t done = 0;
  while (done < size) {
    const ssize_t count = recv(fd, buffer + done, size - done, 0);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    done += static_cast<size_t>(count);
  }
  return true;
}

bool FrameClient::Receive(std::string* payload) {
  unsigned char length[4];
  if (!ReadExactly(reinterpret_cast<char*>(length), 4)) return false;
  const uint32_t size =
      length[0] | length[1] << 8 | length[2] << 16 | static_cast<uint32_t>(length[3]) << 24;
  if (size == 0 || size > (1u << 20)) return false;
  payload->resize(size);
  return ReadExactly(payload->data(), size);
}

bool FrameClient::RoundTrip(const std::string& frame, std::string* payload) {
  return Send(frame) && Receive(payload);
}

bool WaitUntilAccepting(const std::string& socketPath, double timeout_s, int interval_us) {
  const auto start = Clock::now();
  FrameClient probe;
  while (!probe.Connect(socketPath)) {
    if (SecondsSince(start) > timeout_s) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(interval_us));
  }
  return true;
}

std::vector<std::string> ServiceEnvironment(const std::string& root) {
  return {"XDG_DATA_HOME=" + root + "/appdata", "LOCALAPPDATA=" + root + "/appdata",
          "STATE_DIRECTORY=" + root + "/state", "RUNTIME_DIRECTORY=" + root + "/run"};
}

void PrepareServiceRoot(const std::string& root) {
  std::filesystem::create_directories(root + "/appdata/Tarnel");
  std::filesystem::create_directories(root + "/state");
  std::filesystem::create_directories(root + "/run");
  std::ofstream(root + "/appdata/Tarnel/settings.conf")
      << R"({"logging": {"severity": "info", "maximum_days": 7}})"
      << "\n";
}

}  // namespace tarnel::bench
