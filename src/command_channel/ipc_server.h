// The server end of the command channel: creates instances of a named pipe (a Unix stream
// socket on POSIX), accepts clients, serves each connection on a thread of its own and
// lets a derived class handle the messages of a connection one after another.
#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "command_channel/caller_limits.h"
#include "command_channel/caller_turns.h"
#include "logging/logger.h"
#include "platform/event.h"
#include "platform/peer_identity.h"
#include "platform/pipe.h"

namespace tarnel {

// A reply write, or the flush at the end of a connection, that makes no progress for this
// long ends the connection: a client that does not read holds its worker no longer.
constexpr int32_t kReplyStallLimitMs = 30 * 1000;

class IPCServer {
 public:
  IPCServer();
  // Stops the server when the owner has not; joins a listening thread that ended by itself.
  ~IPCServer();
  IPCServer(const IPCServer&) = delete;
  IPCServer& operator=(const IPCServer&) = delete;

  // Starts the listening thread on "\\.\pipe\" + name (POSIX: $RUNTIME_DIRECTORY/name);
  // returns once it runs. Does nothing while the server runs.
  void Start(const std::string& name, bool systemOnly, bool concurrent, bool logFailures);
  // Ends every connection and joins all threads of the server. Does nothing when the
  // server does not run.
  void Stop();
  // False from the moment Stop begins (or the listening thread gave up).
  bool IsRunning() const { return !stopped; }

 protected:
  // What a handler asks to be written back on the connection of its message.
  struct Reply {
    // The value written as one frame; none when the command has no reply.
    std::optional<Json::Value> message;
    // Runs once the reply was written or its write failed (at once when there is none).
    std::function<void()> afterWrite;
  };

  // Handles one message that arrived on `pipe` and fills in its reply; true keeps the
  // connection for the next one, provided the reply (if any) was written completely. The
  // server reads and parses the message before it takes the handler lock, and writes the
  // reply and runs `afterWrite` after it released the lock, so a client that sends nothing
  // (or half a frame) or does not read its replies holds up only its own connection; with
  // `concurrent` false the calls never overlap, and the callers whose messages wait for the
  // lock get it in turn (CallerTurns).
  virtual bool HandleCommunication(platform::PipeHandle pipe, const Json::Value& message,
                                   Reply* reply) = 0;
  // Called after a connection's pipe instance was closed.
  virtual void OnConnectionClosed();

  // Reads one frame; on success *message holds exactly *size payload bytes. Fails (with
  // no buffer and size 0) on a closed or failed pipe, a length of 0 or less, or a length
  // above kMaxMessageSize.
  bool ReadMessage(platform::PipeHandle pipe, std::unique_ptr<char[]>* message, int32_t* size);
  // Reads one frame and parses its text (up to the first NUL) as JSON.
  bool ReadJsonMessage(platform::PipeHandle pipe, Json::Value* message);
  // Writes the value's compact text as one frame; true when all of it went out. Fails
  // when the write makes no progress for kReplyStallLimitMs.
  bool WriteJsonMessage(platform::PipeHandle pipe, const Json::Value& message);

  // Whether a line at `level` caused by the input of the caller on `pipe` (an unknown
  // command, a refused frame, a failed read) may be logged now: each caller has a burst of
  // kCallerLineBurst lines, then one a second. When it may, *note tells how many of the
  // caller's lines were withheld before it (SuppressedNote). Lines below the threshold
  // are not counted.
  bool MayLogCallerLine(platform::PipeHandle pipe, LogLevel level, std::string* note);

 private:
  // One accepted connection. The worker closes its pipe and marks it closed under
  // `pipeMutex`, so the listening thread never cancels I/O on a handle that was closed (and
  // maybe reused).
  struct ConnectionWorker {
    std::thread thread;
    std::atomic<bool> finished{false};
    platform::ScopedPipe pipe;
    std::mutex pipeMutex;
    bool pipeOpen = true;
    // The caller (the key of its connection bound, its log lines and its turns at the
    // handler), and whether its connections are counted (not root or an administrator).
    std::string caller;
    bool counted = false;
  };

  // Signals `started` once the endpoint exists; the event is not touched afterwards.
  void ListenLoop(platform::EventHandle started);
  void AcceptConnection(platform::ScopedPipe connected);
  // Applies the access rule and the per-caller bound to a connection nothing was read from.
  bool AdmitConnection(platform::PipeHandle connected, platform::PeerIdentity* peer);
  void LogRefusedConnection(const std::string& caller, long processId, const std::string& why);
  void RememberCaller(ConnectionWorker* worker, const platform::PeerIdentity& peer);
  void ForgetCaller(ConnectionWorker* worker);
  void ReapFinishedWorkers();
  void EndAllWorkers();
  void ServeConnection(ConnectionWorker* worker);
  bool ServeNextMessage(const ConnectionWorker& worker);
  bool WriteReply(platform::PipeHandle pipe, const Reply& reply);
  void JoinListener();

  bool concurrent = false;
  std::string name;
  std::thread listener;
  std::atomic<bool> stopped{true};
  std::list<std::unique_ptr<ConnectionWorker>> workers;
  // Serialises the handler calls when `concurrent` is false, in turns of the callers.
  CallerTurns handlerMutex;
  bool logFailures = false;
  bool systemOnly = false;

  ConnectionBound connectionBound{kMaxConnectionsPerCaller};
  CallerLogLimit callerLines{kCallerLineBurst};
  CallerLogLimit refusedConnectionLines{kRefusedConnectionBurst};
  // The caller of every open connection, for the limit on the lines its input causes.
  std::mutex callersMutex;
  std::map<platform::PipeHandle, std::string> callers;
};

}  // namespace tarnel
