// The server end of the command channel: creates instances of a named pipe (a Unix stream
// socket on POSIX), accepts clients, serves each connection on a thread of its own and
// lets a derived class handle the messages of a connection one after another.
#pragma once

#include <string>

namespace tarnel {

class IPCServer {
 public:
  IPCServer();
  ~IPCServer();

  // Starts the listening thread on "\\.\pipe\" + name (POSIX: $RUNTIME_DIRECTORY/name);
  // returns once it runs. Does nothing while the server runs.
  void Start(const std::string& name, bool systemOnly, bool concurrent, bool logFailures);
  // Ends every connection and joins all threads of the server. Does nothing when the
  // server does not run.
  void Stop();

  // (The rest of the class belongs to the command channel.)
};

}  // namespace tarnel
