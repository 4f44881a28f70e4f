// Direct access to the real updater key for the tests, bypassing the code under test: on
// POSIX the store file in the test's STATE_DIRECTORY, on Windows the registry key under
// HKEY_LOCAL_MACHINE (in Wine's throw-away prefix).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnel::testing {

// Creates the updater key, empty (an existing one is replaced).
void CreateUpdaterKey();
// Removes the updater key with all its values.
void DeleteUpdaterKey();

void StoreDword(const std::string& name, uint32_t value);
void StoreString(const std::string& name, const std::string& value);
void RemoveValue(const std::string& name);

// Reads a value as stored; false when it is missing or of another type.
bool LoadDwordValue(const std::string& name, uint32_t* value);
bool LoadStringValue(const std::string& name, std::string* value);

// The folder of the running test program (the build's bin folder), ending in a separator.
std::string ProgramFolder();

// The file name of an executable built next to the tests ("name" or "name.exe").
std::string ExecutableName(const std::string& name);

// What the recording test installer writes when started with these arguments: one line per
// argument on POSIX; on Windows the parameter string (the arguments joined by spaces) on one
// line, since a Windows program receives its arguments as one command line.
std::string RecordedArguments(const std::vector<std::string>& arguments);

}  // namespace tarnel::testing
