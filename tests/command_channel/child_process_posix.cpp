#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "command_channel/child_process.h"

extern char** environ;

namespace tarnel::testing {

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Start(const std::string& path, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& environment,
                         const std::string& outputFile) {
  std::map<std::string, std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const size_t equals = text.find('=');
    if (equals != std::string::npos) merged[text.substr(0, equals)] = text.substr(equals + 1);
  }
  for (const auto& [name, value] : environment) merged[name] = value;
  std::vector<std::string> envTexts;
  for (const auto& [name, value] : merged) envTexts.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& text : envTexts) envp.push_back(&text[0]);
  envp.push_back(nullptr);

  std::vector<std::string> argTexts{path};
  argTexts.insert(argTexts.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& text : argTexts) argv.push_back(&text[0]);
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  const int result = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) return false;
  id = pid;
  running = true;
  return true;
}

bool ChildProcess::WaitForExit(std::chrono::milliseconds timeout, int* exitStatus) {
  if (!running) return false;
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(static_cast<pid_t>(id), &status, WNOHANG);
    if (done == static_cast<pid_t>(id)) {
      running = false;
      *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ChildProcess::Terminate() { return running && kill(static_cast<pid_t>(id), SIGTERM) == 0; }

void ChildProcess::Kill() {
  if (!running) return;
  kill(static_cast<pid_t>(id), SIGKILL);
  int status = 0;
  waitpid(static_cast<pid_t>(id), &status, 0);
  running = false;
}

}  // namespace tarnel::testing
