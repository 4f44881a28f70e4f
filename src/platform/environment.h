// Reading and setting the process environment.
#pragma once

#include <string>

namespace tarnel::platform {

// Returns the variable's value; false when it is not set.
bool GetEnvironmentValue(const std::string& name, std::string* value);

// Sets (or, with an empty value on Windows, removes) a variable of this process.
bool SetEnvironmentValue(const std::string& name, const std::string& value);

// The separator between folder names in a path: '\\' on Windows, '/' on POSIX.
char PathSeparator();

}  // namespace tarnel::platform
