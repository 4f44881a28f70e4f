// Starting an installer: elevated, with a normal window, not waited for.
#pragma once

#include <string>
#include <vector>

#include "platform/held_file.h"

namespace tarnel::platform {

// Starts the held installer with the given arguments and reports only whether it started;
// the caller keeps no handle to the new process.
//
// Windows: ShellExecuteExA with the verb "runas", the held file's path as lpFile, the
// arguments joined by single spaces (unquoted) as lpParameters, SW_SHOWNORMAL, no mask.
// The held file's sharing mode keeps it unchanged until the call has returned.
// POSIX: executes the held descriptor itself (fexecve) with argv[0] the file's path and
// each argument as one argv entry, no shell, in a new session (double fork and setsid, the
// intermediate child reaped, so no zombie is left); a file that cannot be executed, or that
// changed since it was opened, is a failed start. The installer inherits standard input,
// output and error and its own executed descriptor, and no other descriptor: every one
// above 2 is closed before the exec (close_range, or one by one on older kernels). It gets
// the service's environment without NOTIFY_SOCKET, LISTEN_FDS, LISTEN_PID and
// LISTEN_FDNAMES, so it can neither speak for the service to systemd nor claim its sockets.
bool LaunchInstaller(const HeldFile& installer, const std::vector<std::string>& arguments);

}  // namespace tarnel::platform
