#include <windows.h>

#include <cctype>
#include <cstdio>

#include "command_channel/child_process.h"

namespace tarnel::testing {
namespace {

constexpr int kStartAttempts = 3;

// Paths handed over by the build can be Unix paths when the tests run under Wine.
std::string NativePath(const std::string& path) {
  std::string native = path;
  if (!native.empty() && native[0] == '/') native = "Z:" + native;
  for (char& c : native) {
    if (c == '/') c = '\\';
  }
  return native;
}

std::string Quote(const std::string& argument) {
  std::string quoted = "\"";
  for (char c : argument) {
    if (c == '"') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A block of NAME=VALUE strings, each ended by a NUL, the whole ended by another NUL.
std::string EnvironmentBlock(const std::map<std::string, std::string>& overrides) {
  std::map<std::string, std::string> merged;  // by upper-case name
  char* strings = GetEnvironmentStringsA();
  for (char* entry = strings; entry != nullptr && *entry != '\0'; entry += strlen(entry) + 1) {
    const std::string text = entry;
    const size_t equals = text.find('=', 1);
    if (equals != std::string::npos) merged[Upper(text.substr(0, equals))] = text;
  }
  if (strings != nullptr) FreeEnvironmentStringsA(strings);
  for (const auto& [name, value] : overrides) merged[Upper(name)] = name + "=" + value;
  std::string block;
  for (const auto& entry : merged) block += entry.second + '\0';
  return block + '\0';
}

}  // namespace

ChildProcess::~ChildProcess() {
  Kill();
  if (handle != nullptr) CloseHandle(handle);
}

bool ChildProcess::Start(const std::string& path, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& environment,
                         const std::string& outputFile) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE output = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              &inheritable, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (output == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "ChildProcess: %s cannot be created (error %lu)\n", outputFile.c_str(),
                 GetLastError());
    return false;
  }
  std::string commandLine = Quote(NativePath(path));
  for (const auto& argument : args) commandLine += " " + Quote(argument);
  std::string block = EnvironmentBlock(environment);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info{};
  // Under Wine a process start fails now and then on a loaded machine; a few more tries
  // keep that from failing the test that needed the process.
  BOOL ok = FALSE;
  for (int attempt = 1; attempt <= kStartAttempts && !ok; ++attempt) {
    if (attempt > 1) Sleep(1000);
    ok = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, &block[0], nullptr,
                        &startup, &info);
    if (!ok) {
      std::fprintf(stderr, "ChildProcess: attempt %d to start %s failed (error %lu)\n", attempt,
                   path.c_str(), GetLastError());
    }
  }
  CloseHandle(output);
  if (!ok) return false;
  CloseHandle(info.hThread);
  handle = info.hProcess;
  id = static_cast<long>(info.dwProcessId);
  running = true;
  return true;
}

bool ChildProcess::WaitForExit(std::chrono::milliseconds timeout, int* exitStatus) {
  if (!running) return false;
  if (WaitForSingleObject(handle, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
    return false;
  }
  DWORD code = 0;
  GetExitCodeProcess(handle, &code);
  running = false;
  *exitStatus = static_cast<int>(code);
  return true;
}

bool ChildProcess::Terminate() { return false; }

void ChildProcess::Kill() {
  if (!running) return;
  TerminateProcess(handle, 1);
  WaitForSingleObject(handle, INFINITE);
  running = false;
}

}  // namespace tarnel::testing
