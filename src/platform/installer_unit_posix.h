// An installer run by systemd as a transient service unit of its own, outside the service's
// unit and its sandbox (POSIX only; used by installer_launch_posix.cpp,
// installer_process_posix.cpp and installer_staging_posix.cpp).
#pragma once

#include <string>
#include <vector>

#include "platform/installer_process.h"

namespace tarnel::platform {

// Whether installers are started as units: this process is the one systemd started for a
// unit (INVOCATION_ID set, SYSTEMD_EXEC_PID its own pid; systemd 248 and later) and the
// system bus answers. False in the foreground, in processes that only descend from a unit,
// and without a bus; the installer is then this process's child.
bool InstallerUnitsAvailable();

// Starts `argv` (argv[0] the program's path) as the transient unit "tarnel-installer-N.service"
// with Type=exec in `workingFolder` with `environment` ("NAME=value" entries), and waits for
// its start job. True once the program was executed; *process then refers to the unit. A
// program that cannot be executed fails the start job: false, with one log line.
bool StartInstallerUnit(const std::vector<std::string>& argv, const std::string& workingFolder,
                        const std::vector<std::string>& environment, InstallerProcess* process);

// Waits at most timeoutMs for the unit's main process to end. True when it has ended, with
// *exitCode its exit status (128 + the signal that ended it); the unit is then released.
bool WaitForInstallerUnit(InstallerUnit* unit, int timeoutMs, int* exitCode);

// The working folders of the installer units systemd still runs (any service instance
// started them); empty when there are none or systemd cannot be asked.
std::vector<std::string> RunningInstallerUnitFolders();

}  // namespace tarnel::platform
