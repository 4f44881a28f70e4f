// Gives the calling thread a name that debuggers and process tools show.
#pragma once

#include <string>

namespace tarnel::platform {

// Best effort: names longer than the system allows are cut; failures are ignored.
void SetCurrentThreadName(const std::string& name);

}  // namespace tarnel::platform
