#include "command_channel/child_process.h"

#include "support/test_support.h"

namespace tarnel::testing {

int RunToEnd(const std::string& path, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& environment, std::string* output,
             std::chrono::milliseconds timeout) {
  const std::string outputFile = MakeTempFolder("run") + "output.txt";
  ChildProcess child;
  if (!child.Start(path, args, environment, outputFile)) return -1;
  int status = -1;
  if (!child.WaitForExit(timeout, &status)) {
    child.Kill();
    status = -1;
  }
  *output = ReadFile(outputFile);
  return status;
}

}  // namespace tarnel::testing
