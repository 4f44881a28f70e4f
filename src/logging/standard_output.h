// The copy of every log line on standard output.
#pragma once

#include <string>

namespace tarnel {

// Writes one queued line (an entry, or the start-up report) to standard output and flushes.
// When standard output is the system journal the line goes out in JournalForm; otherwise as
// it is, followed by an end of line. Writes are serialised by the process-wide console
// lock.
void WriteStandardOutput(const std::string& line);

// The journal's form of a line: each of its non-empty lines once, ended by "\n" and begun
// with the priority prefix of the entry's level: "<3>" ERROR, "<4>" WARNING, "<6>" INFO,
// "<7>" VERBOSE and SENSITIVE. Text that is no entry (the start-up report) is at INFO.
std::string JournalForm(const std::string& line);

}  // namespace tarnel
