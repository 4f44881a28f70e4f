#include <csignal>

#include "service_host/updater_manager.h"

int main(int argc, char** argv) {
  // Standard output is a pipe or the journal's socket; when its reader goes away, writing a
  // log entry must fail rather than end the service. The installer is started with the
  // default disposition again.
  std::signal(SIGPIPE, SIG_IGN);
  return tarnel::RunProcess(argc, argv);
}
