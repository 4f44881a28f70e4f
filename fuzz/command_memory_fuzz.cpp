// The command handler on arbitrary JSON texts with the pending-update record in memory: the
// fast counterpart of command_handler_fuzz.cpp, which keeps the real store and a fresh
// socket pair per input under test.
//
// FuzzingMemoryRecordManager is a fuzzing double of the manager: it keeps the real
// registration, update decision and Install (digest check included) and replaces only the
// four store operations, with a record in memory that gives the updater key's results (a
// missing value fails its read, a string value of more than 260 characters cannot be read,
// the flag is pending only when it is exactly 1), and Stop, which only counts. The launch is
// a fuzzing double too: this file defines platform::LaunchInstaller, so the linker takes it
// instead of the platform's (which it then never pulls from the library); it records what
// would be started instead of starting it.
//
// The record starts with the package "installer.bin" in the working folder, its true digest
// and an installation directory, so an install can go the whole way. The working folder also
// holds a named pipe "fifo" and a folder "folder" to register.
//
// Input: byte 0 is a failure plan: when it is not 0, the store or launch call of that number
// (counted over the input, from 1) fails, so the callers' failure paths are explored too. The
// rest is up to kMaxCommands texts separated by NUL bytes, handled in turn on one connection
// the way the server does: a text that does not parse, or a handler result of false, closes
// the connection. The replies go to one socket pair made once and are drained after each
// command. Checked after each command: the replies are whole frames of the right form; a
// pending record names one registration's path, version and digest; only the registration
// writes, and never InstallPath; "update_needed" is true only while a package is pending;
// every launch is of a staged copy of the recorded file, in its own staging folder, whose
// digest is the recorded one, with the
// installer's arguments, during "start_update_install"; an install without a failed call
// lowers the flag and keeps the connection exactly when it launched.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "command_channel/json_frame.h"
#include "command_support.h"
#include "fuzz_support.h"
#include "platform/held_file.h"
#include "platform/installer_launch.h"
#include "platform/installer_staging.h"
#include "service_host/updater_manager.h"
#include "update/file_digest.h"
#include "update/property_store.h"

namespace {

using tarnel::fuzzing::Fail;

constexpr char kInstallDirectory[] = "/opt/tarnel-fuzz";
constexpr int kInitialRecord = -1;  // the writer of the values the record starts with

class FuzzingMemoryRecordManager : public tarnel::UpdaterManagerWindows {
 public:
  struct StringValue {
    std::string text;
    int writer = kInitialRecord;  // the number of the command that wrote it
  };

  // Starts an input: the initial record, no calls counted, `failingCall` the call that will
  // fail (0: none).
  void Reset(unsigned failingCall) {
    pendingUpdate = 1;
    strings.clear();
    strings[tarnel::kInstallerPathValue] = {tarnel::fuzzing::kInstallerName};
    strings[tarnel::kInstallerTargetVersionValue] = {"2.0.1"};
    strings[tarnel::kInstallerSha256Value] = {tarnel::fuzzing::kInstallerSha256};
    strings[tarnel::kInstallPathValue] = {kInstallDirectory};
    calls = 0;
    failing = failingCall;
  }

  // Starts a command; what it did is counted from here.
  void BeginCommand(int number, const std::string& type) {
    command = number;
    commandType = type;
    failedInCommand = false;
    writes = 0;
    launches = 0;
    stops = 0;
    installs = 0;
  }

  bool GetRegPendingUpdate(bool& pending) override {
    if (CallFails()) return false;
    pending = pendingUpdate == 1;
    return true;
  }

  bool ResetRegPendingUpdate(bool pending) override {
    if (CallFails()) return false;
    ++writes;
    pendingUpdate = pending ? 1 : 0;
    return true;
  }

  bool GetUpdaterStringValue(const std::string& name, std::string& value) override {
    if (CallFails()) return false;
    std::string text;
    if (!Readable(name, &text)) return false;
    value = text;
    return true;
  }

  bool SetUpdaterStringValue(const std::string& name, const std::string& value) override {
    if (name == tarnel::kInstallPathValue) Fail("record: the service wrote InstallPath");
    if (name != tarnel::kInstallerPathValue && name != tarnel::kInstallerTargetVersionValue &&
        name != tarnel::kInstallerSha256Value) {
      Fail("record: a value outside the record was written");
    }
    if (CallFails()) return false;
    ++writes;
    strings[name] = {value, command};
    return true;
  }

  bool Stop() override {
    ++stops;
    return true;
  }

  bool Install(std::string user, std::string display) override {
    ++installs;
    return UpdaterManagerWindows::Install(std::move(user), std::move(display));
  }

  // The launch double: checks what would be started and records it.
  bool Launch(const tarnel::platform::HeldFile& installer,
              const std::vector<std::string>& arguments, const std::string& workingFolder) {
    if (commandType != "start_update_install") Fail("launch: outside an install command");
    if (CallFails()) return false;
    if (!installer.IsOpen() || !installer.StillAsOpened()) return false;  // as the real one
    std::string path, sha256, directory, digest;
    if (!Readable(tarnel::kInstallerPathValue, &path) ||
        !Readable(tarnel::kInstallerSha256Value, &sha256) ||
        !Readable(tarnel::kInstallPathValue, &directory)) {
      Fail("launch: the record no longer names what is started");
    }
    const std::string root = tarnel::platform::StagingRoot();
    if (installer.Path().compare(0, root.size(), root) != 0 ||
        installer.Path().compare(0, workingFolder.size(), workingFolder) != 0) {
      Fail("launch: not a staged copy started in its own folder");
    }
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (installer.Path() != workingFolder + name) Fail("launch: not the recorded installer's name");
    if (!tarnel::ComputeHeldFileSha256(installer, digest) || digest != sha256) {
      Fail("launch: the file started does not have the recorded digest");
    }
    const std::vector<std::string> expected = {"/S", "/U", "/R", std::string("/D=") + directory};
    if (arguments != expected) Fail("launch: not the installer's arguments");
    ++launches;
    return true;
  }

  // The record after a command, and what the command did to it.
  void CheckCommand(bool keep, const std::vector<Json::Value>& replies) const {
    if (pendingUpdate == 1) {
      const int writer = strings.at(tarnel::kInstallerPathValue).writer;
      if (strings.at(tarnel::kInstallerTargetVersionValue).writer != writer ||
          strings.at(tarnel::kInstallerSha256Value).writer != writer) {
        Fail("record: pending, with values of different registrations");
      }
    }
    if (strings.at(tarnel::kInstallPathValue).text != kInstallDirectory) {
      Fail("record: InstallPath changed");
    }
    if (launches > 1) Fail("launch: more than one for one command");
    if (commandType == "new_install_package" && keep) {
      if (!failedInCommand &&
          (pendingUpdate != 1 || strings.at(tarnel::kInstallerPathValue).writer != command)) {
        Fail("new_install_package: the package was not recorded");
      }
    } else if (installs == 1) {
      if (!failedInCommand && (pendingUpdate != 0 || keep != (launches == 1))) {
        Fail("start_update_install: the flag stayed raised or the result is not the launch's");
      }
    } else if (writes != 0 || launches != 0) {
      Fail("record: written by a command other than a registration or an install");
    }
    if (installs > (commandType == "start_update_install" ? 1 : 0)) {
      Fail("Install: called for another command or more than once");
    }
    if (commandType == "is_update_needed" && !replies.empty() &&
        replies[0]["update_needed"].asBool() && pendingUpdate != 1) {
      Fail("is_update_needed: an update while none is pending");
    }
    if (stops > (commandType == "stop_service" ? 1 : 0) ||
        (commandType == "stop_service" && keep && stops != 1)) {
      Fail("stop_service: Stop not called exactly once for it");
    }
  }

 private:
  bool CallFails() {
    if (++calls != failing) return false;
    failedInCommand = true;
    return true;
  }

  // The value as a read of the updater key gives it: the stored text up to its first NUL;
  // false when it is missing or needs more than the read buffer.
  bool Readable(const std::string& name, std::string* text) const {
    const auto found = strings.find(name);
    if (found == strings.end()) return false;
    if (found->second.text.size() + 1 > tarnel::kStringValueBufferSize) return false;
    *text = found->second.text.c_str();
    return true;
  }

  uint32_t pendingUpdate = 0;
  std::map<std::string, StringValue> strings;
  unsigned calls = 0;
  unsigned failing = 0;
  int command = 0;
  std::string commandType;
  bool failedInCommand = false;
  int writes = 0;
  int launches = 0;
  int stops = 0;
  int installs = 0;
};

FuzzingMemoryRecordManager* g_manager = nullptr;
tarnel::fuzzing::CommandHandler* g_handler = nullptr;
int g_ends[2] = {-1, -1};

}  // namespace

namespace tarnel::platform {

bool LaunchInstaller(const HeldFile& installer, const std::vector<std::string>& arguments,
                     const std::string& workingFolder, InstallerProcess*) {
  return g_manager->Launch(installer, arguments, workingFolder);
}

}  // namespace tarnel::platform

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnel::fuzzing::PrepareProcess(argc, argv, "sensitive");
  tarnel::fuzzing::StartWatchdog();
  tarnel::fuzzing::PrepareInstaller();
  g_manager = new FuzzingMemoryRecordManager();
  g_handler = new tarnel::fuzzing::CommandHandler(g_manager);
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_ends) != 0) Fail("socketpair");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  tarnel::fuzzing::InputStarted();
  g_manager->Reset(data[0]);
  int number = 0;
  for (const std::string& text : tarnel::fuzzing::SplitCommands(data + 1, size - 1)) {
    Json::Value message;
    if (!tarnel::ParseJson(text, &message)) break;
    g_manager->BeginCommand(++number, tarnel::fuzzing::TypeOf(message));
    const bool keep = g_handler->Serve(g_ends[0], message);
    const std::vector<Json::Value> replies = tarnel::fuzzing::TakeReplies(g_ends[1]);
    tarnel::fuzzing::CheckReplies(message, keep, replies);
    g_manager->CheckCommand(keep, replies);
    if (!keep) break;
  }
  tarnel::fuzzing::InputEnded();
  return 0;
}
