#include "platform/installer_unit_posix.h"

#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <systemd/sd-bus.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace tarnel::platform {

// A started installer unit: the bus connection that started it, which also holds the
// unit's reference (AddRef), so that systemd keeps the ended unit and its exit status until
// it has been read here.
struct InstallerUnit {
  sd_bus* bus = nullptr;
  std::string name;
  std::string objectPath;

  ~InstallerUnit() { sd_bus_flush_close_unref(bus); }
};

namespace {

constexpr char kDestination[] = "org.freedesktop.systemd1";
constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kManagerInterface[] = "org.freedesktop.systemd1.Manager";
constexpr char kUnitInterface[] = "org.freedesktop.systemd1.Unit";
constexpr char kServiceInterface[] = "org.freedesktop.systemd1.Service";
constexpr char kUnitPrefix[] = "tarnel-installer-";
// How long systemd may take to run the start job (forking, setting up, executing).
constexpr uint64_t kStartJobTimeoutUs = 60ull * 1000 * 1000;
// How often the unit's state is looked at while waiting for its end.
constexpr int kStatePollMs = 100;
// The shortest time a call to systemd is given (zero would mean the library's default).
constexpr uint64_t kMinimumCallUs = 10 * 1000;

void Report(const std::string& text) {
  std::fprintf(stderr, "installer unit: %s\n", text.c_str());
}

std::string ErrorText(const sd_bus_error& error, int result) {
  if (error.message != nullptr) return error.message;
  return std::strerror(-result);
}

struct BusDeleter {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageDeleter {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
struct SlotDeleter {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Bus = std::unique_ptr<sd_bus, BusDeleter>;
using Message = std::unique_ptr<sd_bus_message, MessageDeleter>;
using Slot = std::unique_ptr<sd_bus_slot, SlotDeleter>;

struct ScopedError {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~ScopedError() { sd_bus_error_free(&error); }
};

Bus OpenSystemBus() {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0) return Bus();
  return Bus(bus);
}

uint64_t NowUs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000 + static_cast<uint64_t>(now.tv_nsec) / 1000;
}

// A name of its own for each unit: "tarnel-installer-" and a random number.
std::string NewUnitName() {
  uint32_t number = 0;
  if (getrandom(&number, sizeof(number), 0) != sizeof(number)) {
    number = static_cast<uint32_t>(NowUs());
  }
  return std::string(kUnitPrefix) + std::to_string(number) + ".service";
}

// The end of the start job, as the JobRemoved signal tells it.
struct JobWatch {
  std::string jobPath;    // known once StartTransientUnit has answered
  std::vector<std::pair<std::string, std::string>> removed;  // job path, result
};

int OnJobRemoved(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* watch = static_cast<JobWatch*>(userdata);
  uint32_t id = 0;
  const char* job = nullptr;
  const char* unit = nullptr;
  const char* result = nullptr;
  if (sd_bus_message_read(message, "uoss", &id, &job, &unit, &result) >= 0) {
    watch->removed.emplace_back(job, result);
  }
  return 0;
}

bool FindJobResult(const JobWatch& watch, std::string* result) {
  for (const auto& entry : watch.removed) {
    if (entry.first == watch.jobPath) {
      *result = entry.second;
      return true;
    }
  }
  return false;
}

// The transient unit's properties: the program with its arguments, started by exec (so a
// program that cannot be executed fails the start job) as root without any sandbox, in the
// staging folder, with the given environment. AddRef pins the unit to this connection, so
// that it stays loaded, ended or failed, until it is released; after that CollectMode lets
// systemd drop it at once. KillMode=process: when the installer ends, what it started (the
// restarted application) goes on running.
int AppendProperties(sd_bus_message* message, const std::vector<std::string>& argv,
                     const std::string& workingFolder,
                     const std::vector<std::string>& environment) {
  int r = sd_bus_message_open_container(message, 'a', "(sv)");
  const std::string description = "Tarnel installer " + argv.front();
  if (r >= 0) r = sd_bus_message_append(message, "(sv)", "Description", "s", description.c_str());
  if (r >= 0) r = sd_bus_message_append(message, "(sv)", "Type", "s", "exec");
  if (r >= 0) r = sd_bus_message_append(message, "(sv)", "KillMode", "s", "process");
  if (r >= 0) r = sd_bus_message_append(message, "(sv)", "AddRef", "b", 1);
  if (r >= 0) {
    r = sd_bus_message_append(message, "(sv)", "CollectMode", "s", "inactive-or-failed");
  }
  if (r >= 0) {
    r = sd_bus_message_append(message, "(sv)", "WorkingDirectory", "s", workingFolder.c_str());
  }
  if (r >= 0) r = sd_bus_message_open_container(message, 'r', "sv");
  if (r >= 0) r = sd_bus_message_append(message, "s", "Environment");
  if (r >= 0) r = sd_bus_message_open_container(message, 'v', "as");
  if (r >= 0) r = sd_bus_message_open_container(message, 'a', "s");
  for (size_t i = 0; r >= 0 && i < environment.size(); ++i) {
    r = sd_bus_message_append(message, "s", environment[i].c_str());
  }
  if (r >= 0) r = sd_bus_message_close_container(message);
  if (r >= 0) r = sd_bus_message_close_container(message);
  if (r >= 0) r = sd_bus_message_close_container(message);
  // ExecStart: a(sasb), one command: its path, its argv, and no "ignore failure".
  if (r >= 0) r = sd_bus_message_open_container(message, 'r', "sv");
  if (r >= 0) r = sd_bus_message_append(message, "s", "ExecStart");
  if (r >= 0) r = sd_bus_message_open_container(message, 'v', "a(sasb)");
  if (r >= 0) r = sd_bus_message_open_container(message, 'a', "(sasb)");
  if (r >= 0) r = sd_bus_message_open_container(message, 'r', "sasb");
  if (r >= 0) r = sd_bus_message_append(message, "s", argv.front().c_str());
  if (r >= 0) r = sd_bus_message_open_container(message, 'a', "s");
  for (size_t i = 0; r >= 0 && i < argv.size(); ++i) {
    r = sd_bus_message_append(message, "s", argv[i].c_str());
  }
  if (r >= 0) r = sd_bus_message_close_container(message);
  if (r >= 0) r = sd_bus_message_append(message, "b", 0);
  for (int level = 0; r >= 0 && level < 4; ++level) r = sd_bus_message_close_container(message);
  if (r >= 0) r = sd_bus_message_close_container(message);  // the property array
  // No auxiliary units.
  if (r >= 0) r = sd_bus_message_append(message, "a(sa(sv))", 0);
  return r;
}

// Calls StartTransientUnit; true with the job's object path. *exists: the name is taken.
bool CallStart(sd_bus* bus, const std::string& name, const std::vector<std::string>& argv,
               const std::string& workingFolder, const std::vector<std::string>& environment,
               std::string* jobPath, bool* exists) {
  *exists = false;
  sd_bus_message* raw = nullptr;
  int r = sd_bus_message_new_method_call(bus, &raw, kDestination, kManagerPath, kManagerInterface,
                                         "StartTransientUnit");
  Message call(raw);
  if (r >= 0) r = sd_bus_message_append(call.get(), "ss", name.c_str(), "fail");
  if (r >= 0) r = AppendProperties(call.get(), argv, workingFolder, environment);
  if (r < 0) {
    Report("the request for " + name + " cannot be built: " + std::strerror(-r));
    return false;
  }
  ScopedError error;
  sd_bus_message* replyRaw = nullptr;
  r = sd_bus_call(bus, call.get(), 0, &error.error, &replyRaw);
  Message reply(replyRaw);
  if (r < 0) {
    *exists = sd_bus_error_has_name(&error.error, "org.freedesktop.systemd1.UnitExists");
    if (!*exists) Report("systemd did not start " + name + ": " + ErrorText(error.error, r));
    return false;
  }
  const char* job = nullptr;
  if (sd_bus_message_read(reply.get(), "o", &job) < 0) {
    Report("systemd's answer for " + name + " names no job");
    return false;
  }
  *jobPath = job;
  return true;
}

// Starts the unit under a new name, drawing another while the name is taken.
bool StartWithNewName(sd_bus* bus, const std::vector<std::string>& argv,
                      const std::string& workingFolder,
                      const std::vector<std::string>& environment, std::string* name,
                      std::string* jobPath) {
  for (int attempt = 0; attempt < 5; ++attempt) {
    *name = NewUnitName();
    bool exists = false;
    if (CallStart(bus, *name, argv, workingFolder, environment, jobPath, &exists)) return true;
    if (!exists) return false;
  }
  Report("no free unit name was found");
  return false;
}

bool LookUpUnitPath(sd_bus* bus, const std::string& name, std::string* objectPath) {
  ScopedError error;
  sd_bus_message* raw = nullptr;
  const int r = sd_bus_call_method(bus, kDestination, kManagerPath, kManagerInterface, "GetUnit",
                                   &error.error, &raw, "s", name.c_str());
  Message reply(raw);
  const char* path = nullptr;
  if (r < 0 || sd_bus_message_read(reply.get(), "o", &path) < 0) {
    Report(name + " is unknown to systemd: " + ErrorText(error.error, r < 0 ? r : -EINVAL));
    return false;
  }
  *objectPath = path;
  return true;
}

// Runs the bus until the job's end has been signalled, at most kStartJobTimeoutUs.
bool AwaitJobResult(sd_bus* bus, const JobWatch& watch, std::string* result) {
  const uint64_t deadline = NowUs() + kStartJobTimeoutUs;
  while (!FindJobResult(watch, result)) {
    const int processed = sd_bus_process(bus, nullptr);
    if (processed < 0) return false;
    if (processed > 0) continue;
    const uint64_t now = NowUs();
    if (now >= deadline) return false;
    if (sd_bus_wait(bus, deadline - now) < 0) return false;
  }
  return true;
}

bool GetString(sd_bus* bus, const std::string& path, const char* interface, const char* member,
               std::string* value) {
  ScopedError error;
  char* text = nullptr;
  if (sd_bus_get_property_string(bus, kDestination, path.c_str(), interface, member,
                                 &error.error, &text) < 0) {
    return false;
  }
  *value = text;
  std::free(text);
  return true;
}

bool GetInt(sd_bus* bus, const std::string& path, const char* member, int32_t* value) {
  ScopedError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_get_property(bus, kDestination, path.c_str(), kServiceInterface, member,
                          &error.error, &raw, "i") < 0) {
    return false;
  }
  Message reply(raw);
  return sd_bus_message_read(reply.get(), "i", value) >= 0;
}

// Drops the unit's reference and its failed state, so that systemd unloads it.
void Release(InstallerUnit* unit) {
  ScopedError unrefError;
  sd_bus_call_method(unit->bus, kDestination, unit->objectPath.c_str(), kUnitInterface, "Unref",
                     &unrefError.error, nullptr, "");
  ScopedError resetError;
  sd_bus_call_method(unit->bus, kDestination, kManagerPath, kManagerInterface, "ResetFailedUnit",
                     &resetError.error, nullptr, "s", unit->name.c_str());
}

// The main process's exit code from CLD_EXITED / CLD_KILLED / CLD_DUMPED and its status.
int ExitCodeOf(int32_t code, int32_t status) {
  return code == CLD_EXITED ? status : 128 + status;
}

bool UnitEnded(const std::string& activeState) {
  return activeState == "inactive" || activeState == "failed";
}

// Reads the ended unit's exit code; false while it still runs or when it cannot be read.
bool ReadEnd(InstallerUnit* unit, int* exitCode) {
  std::string state;
  if (!GetString(unit->bus, unit->objectPath, kUnitInterface, "ActiveState", &state) ||
      !UnitEnded(state)) {
    return false;
  }
  int32_t code = 0;
  int32_t status = 0;
  if (!GetInt(unit->bus, unit->objectPath, "ExecMainCode", &code) ||
      !GetInt(unit->bus, unit->objectPath, "ExecMainStatus", &status)) {
    return false;
  }
  *exitCode = ExitCodeOf(code, status);
  return true;
}

// Drops the messages systemd sent meanwhile (signals nobody waits for), so that they do
// not pile up on a connection that is kept for as long as the installer runs.
void DrainIncoming(sd_bus* bus) {
  while (sd_bus_process(bus, nullptr) > 0) {
  }
}

// The object paths of the installer units that run (or start or stop) now.
std::vector<std::string> RunningInstallerUnitPaths(sd_bus* bus) {
  std::vector<std::string> paths;
  sd_bus_message* callRaw = nullptr;
  if (sd_bus_message_new_method_call(bus, &callRaw, kDestination, kManagerPath,
                                     kManagerInterface, "ListUnitsByPatterns") < 0) {
    return paths;
  }
  Message call(callRaw);
  const std::string pattern = std::string(kUnitPrefix) + "*.service";
  const char* states[] = {"active", "activating", "deactivating", "reloading", nullptr};
  const char* patterns[] = {pattern.c_str(), nullptr};
  ScopedError error;
  sd_bus_message* raw = nullptr;
  if (sd_bus_message_append_strv(call.get(), const_cast<char**>(states)) < 0 ||
      sd_bus_message_append_strv(call.get(), const_cast<char**>(patterns)) < 0 ||
      sd_bus_call(bus, call.get(), 0, &error.error, &raw) < 0) {
    return paths;
  }
  Message reply(raw);
  if (sd_bus_message_enter_container(reply.get(), 'a', "(ssssssouso)") < 0) return paths;
  const char* path = nullptr;
  const char* ignored = nullptr;
  uint32_t job = 0;
  while (sd_bus_message_read(reply.get(), "(ssssssouso)", &ignored, &ignored, &ignored, &ignored,
                             &ignored, &ignored, &path, &job, &ignored, &ignored) > 0) {
    paths.emplace_back(path);
  }
  return paths;
}

}  // namespace

bool InstallerUnitsAvailable() {
  // systemd gives the process it starts for a unit the unit's INVOCATION_ID and its own pid
  // in SYSTEMD_EXEC_PID. A process that merely descends from a unit (a test run from a CI
  // service, say) inherits both, but with another pid, and keeps starting its children.
  const char* invocation = std::getenv("INVOCATION_ID");
  const char* execPid = std::getenv("SYSTEMD_EXEC_PID");
  if (invocation == nullptr || *invocation == '\0' || execPid == nullptr ||
      std::strtol(execPid, nullptr, 10) != static_cast<long>(getpid())) {
    return false;
  }
  return OpenSystemBus() != nullptr;
}

bool StartInstallerUnit(const std::vector<std::string>& argv, const std::string& workingFolder,
                        const std::vector<std::string>& environment, InstallerProcess* process) {
  Bus bus = OpenSystemBus();
  if (!bus) {
    Report("the system bus cannot be reached");
    return false;
  }
  // systemd sends JobRemoved to the client that queued the job; the match is there before
  // the job is, so its end cannot be missed.
  JobWatch watch;
  sd_bus_slot* rawSlot = nullptr;
  if (sd_bus_match_signal(bus.get(), &rawSlot, kDestination, kManagerPath, kManagerInterface,
                          "JobRemoved", OnJobRemoved, &watch) < 0) {
    Report("the start job cannot be watched");
    return false;
  }
  Slot slot(rawSlot);
  auto unit = std::make_shared<InstallerUnit>();
  std::string result;
  if (!StartWithNewName(bus.get(), argv, workingFolder, environment, &unit->name,
                        &watch.jobPath)) {
    return false;
  }
  if (!AwaitJobResult(bus.get(), watch, &result)) {
    Report("the start job of " + unit->name + " did not end");
    return false;
  }
  slot.reset();
  if (!LookUpUnitPath(bus.get(), unit->name, &unit->objectPath)) return false;
  unit->bus = bus.release();
  if (result != "done") {
    Report("the start job of " + unit->name + " ended with \"" + result + "\" (" + argv.front() +
           " could not be executed)");
    Release(unit.get());
    return false;
  }
  *process = InstallerProcess(std::move(unit));
  return true;
}

bool WaitForInstallerUnit(InstallerUnit* unit, int timeoutMs, int* exitCode) {
  const uint64_t deadline = NowUs() + static_cast<uint64_t>(timeoutMs > 0 ? timeoutMs : 0) * 1000;
  for (;;) {
    // Each call to systemd may take only what is left of the wait.
    const uint64_t left = deadline > NowUs() ? deadline - NowUs() : 0;
    sd_bus_set_method_call_timeout(unit->bus, left > kMinimumCallUs ? left : kMinimumCallUs);
    DrainIncoming(unit->bus);
    if (ReadEnd(unit, exitCode)) {
      Release(unit);
      return true;
    }
    const uint64_t now = NowUs();
    if (now >= deadline) return false;
    const uint64_t restMs = (deadline - now) / 1000;
    poll(nullptr, 0, static_cast<int>(restMs < kStatePollMs ? restMs : kStatePollMs));
  }
}

std::vector<std::string> RunningInstallerUnitFolders() {
  std::vector<std::string> folders;
  Bus bus = OpenSystemBus();
  if (!bus) return folders;
  for (const std::string& unitPath : RunningInstallerUnitPaths(bus.get())) {
    std::string folder;
    if (GetString(bus.get(), unitPath, kServiceInterface, "WorkingDirectory", &folder)) {
      // A leading "!" or "-" is a flag of the setting, not part of the path.
      while (!folder.empty() && (folder.front() == '-' || folder.front() == '!')) folder.erase(0, 1);
      folders.push_back(folder);
    }
  }
  return folders;
}

}  // namespace tarnel::platform
