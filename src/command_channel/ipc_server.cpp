#include "command_channel/ipc_server.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>
#include <utility>

#include "command_channel/ipc_client.h"
#include "command_channel/json_frame.h"
#include "logging/logger.h"
#include "platform/thread_name.h"
#include "update/record_lock.h"

namespace tarnel {
namespace {

// The handler lock as the record lock of the manager's operations: the turn of the caller
// whose command is being handled.
class HandlerTurn final : public RecordLock {
 public:
  HandlerTurn(CallerTurns& turns, const std::string& caller) : turns(turns), caller(caller) {}
  void Unlock() override { turns.Unlock(); }
  void Lock() override { turns.Lock(caller); }

 private:
  CallerTurns& turns;
  const std::string& caller;
};

const char kServiceSddl[] = "D:P(A;OICI;GA;;;BA)(A;OICI;GA;;;IU)(D;OICI;GA;;;WD)";
const char kSystemOnlySddl[] = "D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(D;OICI;GA;;;IU)";

// How long the listening thread waits for a worker before it cancels its I/O again: a
// cancel reaches only a call that is already blocked, and a worker may be about to block.
constexpr auto kCancelRepeat = std::chrono::milliseconds(100);

}  // namespace

IPCServer::IPCServer() {}

IPCServer::~IPCServer() {
  Stop();
  JoinListener();
}

void IPCServer::OnConnectionClosed() {}

void IPCServer::Start(const std::string& pipeName, bool systemOnlyAccess, bool concurrentCalls,
                      bool logFailureLines) {
  if (!stopped) return;
  // A listening thread that ended by itself (no pipe instance) is still to be joined.
  JoinListener();
  stopped = false;
  name = pipeName;
  systemOnly = systemOnlyAccess;
  concurrent = concurrentCalls;
  logFailures = logFailureLines;
  platform::ScopedEvent startedEvent(platform::MakeAutoResetEvent());
  try {
    listener = std::thread([this, started = startedEvent.Get()] {
      platform::SetCurrentThreadName(name);
      ListenLoop(started);
    });
  } catch (const std::system_error& error) {
    TARNEL_LOG(ERROR) << name << " could not start the listening thread: " << error.what();
    stopped = true;
  }
  if (listener.joinable()) platform::WaitEvent(startedEvent.Get(), -1);
  platform::ClearEvent(startedEvent.Get());
}

void IPCServer::Stop() {
  if (stopped.exchange(true)) {
    JoinListener();
    return;
  }
  IPCClient client(/*verbose=*/true);
  // The listening thread waits for a client inside the system; connecting wakes it.
  if (!client.Connect(name, /*retry=*/true) && logFailures) {
    TARNEL_LOG(SENSITIVE) << name << " IPCServer stop: could not connect to wake the listener";
  }
  client.Disconnect();
  JoinListener();
}

void IPCServer::JoinListener() {
  if (listener.joinable()) listener.join();
}

void IPCServer::ListenLoop(platform::EventHandle started) {
  platform::PipeEndpoint endpoint(name, systemOnly ? kSystemOnlySddl : kServiceSddl);
  if (started != nullptr) platform::SignalEvent(started);
  while (!stopped) {
    ReapFinishedWorkers();
    if (!endpoint.CreateInstance()) {
      TARNEL_LOG(ERROR) << name << " create named pipe INVALID_HANDLE_VALUE";
      stopped = true;
      break;
    }
    platform::ScopedPipe connected;
    if (endpoint.WaitForClient(&connected)) {
      AcceptConnection(std::move(connected));
    } else {
      TARNEL_LOG(SENSITIVE) << name << " client could not connect";
    }
  }
  EndAllWorkers();
}

// A connection that is refused, or cannot be served, is closed when `connected` goes away.
void IPCServer::AcceptConnection(platform::ScopedPipe connected) {
  platform::PeerIdentity peer;
  if (!AdmitConnection(connected.Get(), &peer)) return;
  try {
    workers.push_back(std::make_unique<ConnectionWorker>());
  } catch (const std::bad_alloc&) {
    TARNEL_LOG(ERROR) << name << " out of memory for a connection, closing it";
    if (!peer.privileged) connectionBound.Release(peer.user);
    return;
  }
  ConnectionWorker* worker = workers.back().get();
  worker->pipe = std::move(connected);
  RememberCaller(worker, peer);
  try {
    worker->thread = std::thread([this, worker] {
      platform::SetCurrentThreadName(name);
      ServeConnection(worker);
    });
  } catch (const std::system_error& error) {
    TARNEL_LOG(ERROR) << name
                      << " could not start a connection worker, closing it: " << error.what();
    ForgetCaller(worker);
    workers.pop_back();  // closes the pipe
  }
}

bool IPCServer::AdmitConnection(platform::PipeHandle connected, platform::PeerIdentity* peer) {
  if (!platform::LookUpPeer(connected, peer)) {
    LogRefusedConnection(platform::kUnknownUser, 0, "the system cannot tell who connected");
    return false;
  }
  if (!peer->refusal.empty()) {
    LogRefusedConnection(peer->user, peer->processId, peer->refusal);
    return false;
  }
  if (!peer->privileged && !connectionBound.Acquire(peer->user)) {
    LogRefusedConnection(peer->user, peer->processId,
                         "it holds " + std::to_string(kMaxConnectionsPerCaller) +
                             " connections already, the most one user may hold");
    return false;
  }
  return true;
}

void IPCServer::LogRefusedConnection(const std::string& caller, long processId,
                                     const std::string& why) {
  uint64_t suppressed = 0;
  if (!IsLogged(LogLevel::ERROR) || !refusedConnectionLines.Allow(caller, &suppressed)) return;
  TARNEL_LOG(ERROR) << name << " refused a connection of " << caller << ", pid " << processId
                    << ": " << why << SuppressedNote(suppressed);
}

void IPCServer::RememberCaller(ConnectionWorker* worker, const platform::PeerIdentity& peer) {
  worker->caller = peer.user;
  worker->counted = !peer.privileged;
  try {
    std::lock_guard<std::mutex> lock(callersMutex);
    callers[worker->pipe.Get()] = peer.user;
  } catch (const std::bad_alloc&) {
    // Its lines are then limited as those of an unknown caller.
  }
}

// Before the pipe is closed: a closed handle's number may be given to the next connection.
void IPCServer::ForgetCaller(ConnectionWorker* worker) {
  {
    std::lock_guard<std::mutex> lock(callersMutex);
    callers.erase(worker->pipe.Get());
  }
  if (worker->counted) connectionBound.Release(worker->caller);
  worker->counted = false;
}

bool IPCServer::MayLogCallerLine(platform::PipeHandle pipe, LogLevel level, std::string* note) {
  if (!IsLogged(level)) return false;
  std::string caller = platform::kUnknownUser;
  {
    std::lock_guard<std::mutex> lock(callersMutex);
    const auto it = callers.find(pipe);
    if (it != callers.end()) caller = it->second;
  }
  uint64_t suppressed = 0;
  if (!callerLines.Allow(caller, &suppressed)) return false;
  *note = SuppressedNote(suppressed);
  return true;
}

void IPCServer::ReapFinishedWorkers() {
  for (auto it = workers.begin(); it != workers.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = workers.erase(it);
    } else {
      ++it;
    }
  }
}

void IPCServer::EndAllWorkers() {
  for (auto& worker : workers) {
    while (!worker->finished) {
      {
        std::lock_guard<std::mutex> lock(worker->pipeMutex);
        if (worker->pipeOpen) platform::CancelPipeIo(worker->pipe.Get());
      }
      const auto until = std::chrono::steady_clock::now() + kCancelRepeat;
      while (!worker->finished && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    worker->thread.join();
  }
  workers.clear();
}

void IPCServer::ServeConnection(ConnectionWorker* worker) {
  while (!stopped && ServeNextMessage(*worker)) {
  }
  platform::DisconnectServerPipe(worker->pipe.Get(), kReplyStallLimitMs);
  ForgetCaller(worker);
  {
    std::lock_guard<std::mutex> lock(worker->pipeMutex);
    worker->pipe.Close();
    worker->pipeOpen = false;
  }
  OnConnectionClosed();
  worker->finished = true;
}

bool IPCServer::ServeNextMessage(const ConnectionWorker& worker) {
  const platform::PipeHandle pipe = worker.pipe.Get();
  // Waiting for and reading the next message happens outside the handler lock.
  Json::Value message;
  if (!ReadJsonMessage(pipe, &message)) return false;
  Reply reply;
  bool keep = false;
  if (concurrent) {
    keep = HandleCommunication(pipe, message, &reply);
  } else {
    CallerTurn turn(handlerMutex, worker.caller);
    // The server may have begun to stop while this worker waited for its turn; it passes
    // the turn on at once, so every waiting worker ends.
    if (stopped) return false;
    // A long operation of the manager may let go of the turn while it works without the
    // record, and then waits for its turn again.
    HandlerTurn heldTurn(handlerMutex, worker.caller);
    RecordLockScope announced(heldTurn);
    keep = HandleCommunication(pipe, message, &reply);
  }
  // So does the writing of the reply: a client that does not read blocks only itself.
  const bool written = WriteReply(pipe, reply);
  return keep && written;
}

bool IPCServer::WriteReply(platform::PipeHandle pipe, const Reply& reply) {
  const bool written = !reply.message || WriteJsonMessage(pipe, *reply.message);
  if (reply.afterWrite) reply.afterWrite();
  return written;
}

bool IPCServer::ReadMessage(platform::PipeHandle pipe, std::unique_ptr<char[]>* message,
                            int32_t* size) {
  if (pipe == platform::kInvalidPipe) {
    if (logFailures) {
      TARNEL_LOG(ERROR) << name << " IPCServer read message failed, invalid handle value";
    }
    return false;
  }
  if (message == nullptr) {
    if (logFailures) TARNEL_LOG(ERROR) << name << " IPCServer read message failed, message is null";
    return false;
  }
  message->reset();
  if (size == nullptr) {
    if (logFailures) {
      TARNEL_LOG(ERROR) << name << " IPCServer read message failed, message size is null";
    }
    return false;
  }
  *size = 0;

  int32_t length = 0;
  const FrameReadResult result = ReadFrame(PipeByteSource(pipe), message, &length);
  std::string note;
  if (result == FrameReadResult::kLengthAboveLimit && logFailures &&
      MayLogCallerLine(pipe, LogLevel::WARNING, &note)) {
    TARNEL_LOG(WARNING) << name << " IPCServer read message failed, message size " << length
                        << " is above the limit of " << kMaxMessageSize << note;
  }
  if (result == FrameReadResult::kOutOfMemory && logFailures &&
      MayLogCallerLine(pipe, LogLevel::ERROR, &note)) {
    TARNEL_LOG(ERROR) << name << " IPCServer read message failed, out of memory for " << length
                      << " bytes" << note;
  }
  if (result != FrameReadResult::kFrame) return false;
  *size = length;
  return true;
}

bool IPCServer::ReadJsonMessage(platform::PipeHandle pipe, Json::Value* message) {
  if (pipe == platform::kInvalidPipe) {
    if (logFailures) {
      TARNEL_LOG(ERROR) << name << " IPCServer read json message failed, invalid handle value";
    }
    return false;
  }
  if (message == nullptr) {
    if (logFailures) {
      TARNEL_LOG(ERROR) << name << " IPCServer read json message failed, message is null";
    }
    return false;
  }
  std::unique_ptr<char[]> payload;
  int32_t size = 0;
  if (!ReadMessage(pipe, &payload, &size)) return false;
  bool parsed = false;
  std::string note;
  try {
    parsed = ParseJson(PayloadText(payload.get(), static_cast<size_t>(size)), message);
  } catch (const std::bad_alloc&) {
    if (logFailures && MayLogCallerLine(pipe, LogLevel::ERROR, &note)) {
      TARNEL_LOG(ERROR) << name << " IPCServer read json message: out of memory" << note;
    }
  }
  payload.reset();
  // After a failed parse the line is one the caller's input caused.
  if (logFailures && (parsed || MayLogCallerLine(pipe, LogLevel::SENSITIVE, &note))) {
    TARNEL_LOG(SENSITIVE) << name << " read json message" << (parsed ? "" : note);
  }
  return parsed;
}

bool IPCServer::WriteJsonMessage(platform::PipeHandle pipe, const Json::Value& message) {
  if (pipe == platform::kInvalidPipe) {
    if (logFailures) {
      TARNEL_LOG(ERROR) << name << " IPCServer write json message failed, invalid handle value";
    }
    return false;
  }
  return WriteFrame(pipe, WriteCompactJson(message), kReplyStallLimitMs);
}

}  // namespace tarnel
