// Starting an installer: elevated, with a normal window, from its own folder; and learning
// when it ended and with which exit code.
#pragma once

#include <string>
#include <vector>

#include "platform/held_file.h"
#include "platform/installer_process.h"

namespace tarnel::platform {

// Starts the held installer with the given arguments in `workingFolder` and reports whether
// it started; *process then refers to it.
//
// Windows: ShellExecuteExA with the verb "runas", the held file's path as lpFile, the
// arguments joined by single spaces (unquoted) as lpParameters, `workingFolder` as
// lpDirectory, SW_SHOWNORMAL and SEE_MASK_NOCLOSEPROCESS for the process handle. The held
// file's sharing mode keeps it unchanged until the call has returned.
// POSIX, when this process is the one systemd started for a unit (INVOCATION_ID set and
// SYSTEMD_EXEC_PID its pid) and the system bus is reachable: systemd starts the
// held file by its path as the transient service "tarnel-installer-N.service" (Type=exec, so
// a file that cannot be executed fails the start, which is awaited), as root without any
// sandbox, in `workingFolder`, with the environment described below; it is not in the
// service's cgroup, outlives a stop of the service, and its output goes to the journal under
// its own unit name. WaitForExit learns its end from systemd and then releases the unit.
// POSIX otherwise (foreground, no bus): executes the held file by its path (the caller holds it in a folder nobody else can
// change) with argv[0] that path and each argument as one argv entry, no shell, in a new
// session, with `workingFolder` as its working folder; it stays this process's child until
// WaitForExit reaps it. A file that cannot be executed, or that changed since it was opened,
// is a failed start. The installer inherits standard input, output and error and no other
// descriptor: every one above 2 is closed before the exec (close_range, or one by one on
// older kernels). It gets the service's environment without NOTIFY_SOCKET, LISTEN_FDS,
// LISTEN_PID and LISTEN_FDNAMES, so it can neither speak for the service to systemd nor
// claim its sockets.
bool LaunchInstaller(const HeldFile& installer, const std::vector<std::string>& arguments,
                     const std::string& workingFolder, InstallerProcess* process);

}  // namespace tarnel::platform
