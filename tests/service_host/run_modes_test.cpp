#include "service_host/run_modes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service_host/updater_manager.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::LogCapture;

struct RunModeCase {
  std::vector<std::string> arguments;  // argv[1..]
  bool foreground;
  std::vector<std::string> serviceMainArguments;  // after the program path
};

class RunModeTest : public ::testing::TestWithParam<RunModeCase> {};

TEST_P(RunModeTest, ChoosesModeAndForegroundArguments) {
  const RunModeCase& c = GetParam();
  std::vector<std::string> storage = {"updater.exe"};
  storage.insert(storage.end(), c.arguments.begin(), c.arguments.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(&s[0]);
  const int argc = static_cast<int>(argv.size());

  EXPECT_EQ(HasForegroundOption(argc, argv.data()), c.foreground);
  if (!c.foreground) return;
  const std::vector<char*> handed = ForegroundArguments(argc, argv.data());
  ASSERT_EQ(handed.size(), c.serviceMainArguments.size() + 1);
  EXPECT_EQ(handed[0], argv[0]) << "entries point into the process's own vector";
  for (size_t i = 0; i < c.serviceMainArguments.size(); ++i) {
    EXPECT_EQ(std::string(handed[i + 1]), c.serviceMainArguments[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    CommandLines, RunModeTest,
    ::testing::Values(RunModeCase{{}, false, {}}, RunModeCase{{"--no-service"}, true, {}},
                      RunModeCase{{"-x", "--no-service", "-y"}, true, {"-x", "-y"}},
                      RunModeCase{{"--no-service", "--no-service"}, true, {}},
                      RunModeCase{{"--NO-SERVICE"}, false, {}},
                      RunModeCase{{"/no-service"}, false, {}},
                      RunModeCase{{"--no-service=1"}, false, {}},
                      RunModeCase{{"-x", "-y"}, false, {}}));

TEST(RunModeTest, ProgramPathIsNeverTakenForTheOption) {
  char program[] = "--no-service";
  char* argv[] = {program};
  EXPECT_FALSE(HasForegroundOption(1, argv));
}

TEST(RunTest, ServiceModeOutsideTheServiceManagerFailsWith1063) {
  LogCapture log;
  UpdaterManager* manager = UpdaterManager::GetInstance();
  char program[] = "updater";
  char* argv[] = {program, nullptr};
  EXPECT_EQ(manager->Run(1, argv), 1063);
  EXPECT_FALSE(log.Contains("UpdaterManager: SetStarting")) << "the service main must not run";
  UpdaterManager::DestroyInstance();
}

TEST(RunTest, ForegroundModeRunsTheServiceUntilStoppedAndReturnsZero) {
  LogCapture log;
  UpdaterManager* manager = UpdaterManager::GetInstance();
  // A stop asked for before the service main waits stays pending, so the service starts,
  // finds it at once and stops.
  ASSERT_TRUE(manager->Stop());
  char program[] = "updater";
  char option[] = "--no-service";
  char* argv[] = {program, option, nullptr};
  EXPECT_EQ(manager->Run(2, argv), 0);
  EXPECT_FALSE(static_cast<UpdaterManagerWindows*>(manager)->isService);
  UpdaterManager::DestroyInstance();

  const std::string text = log.Text();
  size_t position = 0;
  for (const char* line :
       {"UpdaterManager: SetStarting", "UpdaterManager: SetStarted", "Updater ready",
        "UpdaterManager: SetStopping", "UpdaterManager: SetStopped"}) {
    const size_t found = text.find(line, position);
    ASSERT_NE(found, std::string::npos) << line << " missing or out of order in:\n" << text;
    position = found;
  }
}

}  // namespace
}  // namespace tarnel
