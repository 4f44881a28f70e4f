// The command handler on arbitrary JSON texts, against the real store and through a socket
// pair (command_memory_fuzz.cpp is the faster target with the record in memory): a temporary
// STATE_DIRECTORY whose updater.json records a package ("installer.bin" in the working
// folder, with its true digest) and has no InstallPath, so an install attempt can get as far
// as the digest check but never starts anything (the file is not executable either). The
// working folder also holds a named pipe "fifo" and a folder "folder" to register.
//
// Input: up to kMaxCommands texts separated by NUL bytes, handled in turn on one connection
// the way the server does: a text that does not parse, or a handler result of false, closes
// the connection. Replies are read from the client end and checked; after the sequence the
// store must still hold its record.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "command_channel/json_frame.h"
#include "command_support.h"
#include "fuzz_support.h"
#include "service_host/updater_manager.h"

namespace {

using tarnel::fuzzing::Fail;

std::string InitialStore() {
  return std::string("{\"PendingUpdate\": 1, \"InstallerPath\": \"") +
         tarnel::fuzzing::kInstallerName +
         "\", \"InstallerTargetVersion\": \"2.0.1\", \"InstallerSha256\": \"" +
         tarnel::fuzzing::kInstallerSha256 + "\"}";
}

// The record survives whatever the commands did: the store is still a JSON object whose
// values have their types.
void CheckStore() {
  Json::Value store;
  if (!tarnel::ParseJson(tarnel::fuzzing::ReadFileOrEmpty(tarnel::fuzzing::StoreFilePath()),
                         &store) ||
      !store.isObject()) {
    Fail("store: no longer a JSON object");
  }
  if (!store["PendingUpdate"].isIntegral()) Fail("store: PendingUpdate lost its number");
  for (const char* name : {"InstallerPath", "InstallerTargetVersion", "InstallerSha256"}) {
    if (!store[name].isString()) Fail("store: a string value was lost");
  }
  if (store.isMember("InstallPath")) Fail("store: InstallPath appeared");
}

tarnel::fuzzing::CommandHandler* g_handler = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnel::fuzzing::PrepareProcess(argc, argv, "sensitive");
  tarnel::fuzzing::StartWatchdog();
  tarnel::fuzzing::PrepareInstaller();
  g_handler = new tarnel::fuzzing::CommandHandler(tarnel::UpdaterManager::GetInstance());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tarnel::fuzzing::InputStarted();
  tarnel::fuzzing::WriteFileOrDie(tarnel::fuzzing::StoreFilePath(), InitialStore());
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) Fail("socketpair");
  for (const std::string& text : tarnel::fuzzing::SplitCommands(data, size)) {
    Json::Value message;
    if (!tarnel::ParseJson(text, &message)) break;
    const bool keep = g_handler->Serve(ends[0], message);
    tarnel::fuzzing::CheckReplies(message, keep, tarnel::fuzzing::TakeReplies(ends[1]));
    if (!keep) break;
  }
  close(ends[0]);
  close(ends[1]);
  CheckStore();
  tarnel::fuzzing::InputEnded();
  return 0;
}
