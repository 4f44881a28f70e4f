// Choosing the run mode from the command line: "--no-service" anywhere after the program
// path selects the foreground mode, anything else the service mode.
#pragma once

#include <vector>

namespace tarnel {

// True when an argument after argv[0] equals "--no-service" (byte for byte).
bool HasForegroundOption(int argc, char** argv);

// The arguments handed to the service main function in foreground mode: the program path,
// then every argument that is not "--no-service", in order. The entries point into argv.
std::vector<char*> ForegroundArguments(int argc, char** argv);

}  // namespace tarnel
