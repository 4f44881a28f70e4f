// What the two command handler targets share: the input's split into commands, the reading
// and checking of replies, the installer file the record names, and a watchdog for inputs
// that block the handler.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "command_channel/updater_ipc_server.h"

namespace tarnel::fuzzing {

// The handler, served one message at a time as the server serves it.
class CommandHandler : public UpdaterIPCServer {
 public:
  using UpdaterIPCServer::UpdaterIPCServer;

  // The handler, then its reply is written to `pipe` and what it asked to run afterwards
  // runs; true when the connection would stay open.
  bool Serve(platform::PipeHandle pipe, const Json::Value& message) {
    Reply reply;
    const bool keep = HandleCommunication(pipe, message, &reply);
    const bool written = !reply.message || WriteJsonMessage(pipe, *reply.message);
    if (reply.afterWrite) reply.afterWrite();
    return keep && written;
  }
};

constexpr size_t kMaxCommands = 8;
constexpr char kInstallerName[] = "installer.bin";
// The digest of the installer's content; the seed corpora register it too.
constexpr char kInstallerSha256[] =
    "306c6ca7407560340797866e077e053627ad409277d1b9da58106fce4cf717cb";

// Writes kInstallerName (readable, not executable) into the working folder, and beside it
// what an installer path may name that is no regular file: a named pipe "fifo" with no
// writer and a folder "folder".
void PrepareInstaller();

// Up to kMaxCommands texts, separated by NUL bytes.
std::vector<std::string> SplitCommands(const uint8_t* data, size_t size);

// Every complete frame waiting on the client end, as parsed values; a torn or malformed
// reply fails the run.
std::vector<Json::Value> TakeReplies(int client);

// The command's "type" when it is a string, else "".
std::string TypeOf(const Json::Value& message);

// The replies are those the command has: one {"update_needed": boolean} for a kept
// "is_update_needed", at most one {"status": "ok"} for "stop_service", none otherwise.
void CheckReplies(const Json::Value& message, bool keep, const std::vector<Json::Value>& replies);

// The handler serialises all connections, so a command that blocks is a denial of service.
// libFuzzer's own time-out cannot show it: its alarm (SIGALRM) interrupts the blocked system
// call, which then fails and hides the block. So the alarm is kept away from the calling
// thread (the logger's writer thread, started earlier, takes it and libFuzzer ignores it
// there), and a watchdog thread aborts when one input runs longer than 8 s; libFuzzer then
// saves that input like any crash. Call once, after the logger exists.
void StartWatchdog();
// Mark the start and the end of one input for the watchdog. InputEnded also waits until the
// logger's writer has taken the input's lines: it frees them, and an input whose allocations
// and frees do not balance makes libFuzzer scan the whole heap for leaks, which costs far
// more than the input itself.
void InputStarted();
void InputEnded();

}  // namespace tarnel::fuzzing
