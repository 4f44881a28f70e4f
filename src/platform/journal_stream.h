// Whether the process's standard output is connected to the system journal.
#pragma once

namespace tarnel::platform {

// POSIX: true when JOURNAL_STREAM holds "DEVICE:INODE" (decimal) and standard output is that
// very file: systemd sets the variable for the stream it connects to a service, and a child
// that inherited the variable but writes elsewhere is told apart by the device and inode.
// False when the variable is missing or malformed, or standard output cannot be examined.
// Windows: always false (there is no such journal).
bool StandardOutputIsJournal();

}  // namespace tarnel::platform
