// The bounds on the log's volume, in one place (listed in docs/operations.md). They are
// constants: no setting changes them.
#pragma once

#include <cstdint>

namespace tarnel {

// A log file that reaches this size is closed and a new one is begun, with the start-up
// report.
constexpr uint64_t kLogFileSizeLimit = 32ull * 1024 * 1024;

// Retention removes the oldest log files, never the current one, while the log files in the
// folder together hold more than this.
constexpr uint64_t kLogFolderSizeLimit = 512ull * 1024 * 1024;

}  // namespace tarnel
