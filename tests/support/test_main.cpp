// The main function of every test program: it gives the process an environment of its own
// before anything logs, so that the process-wide logger reads test settings and writes its
// log under a temporary folder, and state and runtime folders never touch the machine's.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "logging/logger.h"
#include "platform/environment.h"
#include "support/test_support.h"

namespace tarnel::testing {
namespace {

std::string g_root;

std::string CreateRoot() {
  namespace fs = std::filesystem;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  fs::path root = fs::temp_directory_path() / ("tarnel-test-" + std::to_string(stamp));
  fs::create_directories(root);
  return (root / "").string();
}

void PrepareEnvironment() {
  namespace fs = std::filesystem;
  g_root = CreateRoot();
  const std::string appData = g_root + "appdata";
  const std::string state = g_root + "state";
  const std::string runtime = g_root + "run";
  const std::string configuration = g_root + "configuration";
  fs::create_directories(fs::path(appData) / "Tarnel" / "Logs");
  fs::create_directories(state);
  fs::create_directories(runtime);
  fs::create_directories(configuration);
  // POSIX reads XDG_DATA_HOME, Windows LOCALAPPDATA; setting both keeps this portable.
  platform::SetEnvironmentValue("XDG_DATA_HOME", appData);
  platform::SetEnvironmentValue("LOCALAPPDATA", appData);
  platform::SetEnvironmentValue("STATE_DIRECTORY", state);
  platform::SetEnvironmentValue("RUNTIME_DIRECTORY", runtime);
  // An empty configuration folder: no installer publisher, whatever the machine has.
  platform::SetEnvironmentValue("CONFIGURATION_DIRECTORY", configuration);
  WriteFile((fs::path(appData) / "Tarnel" / "settings.conf").string(),
            "{\"logging\": {\"severity\": \"sensitive\"}}");
}

}  // namespace

const std::string& TestRoot() { return g_root; }

}  // namespace tarnel::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  tarnel::testing::PrepareEnvironment();
  const int result = RUN_ALL_TESTS();
  tarnel::DeleteLogger();
  std::error_code ignored;
  std::filesystem::remove_all(tarnel::testing::TestRoot(), ignored);
  return result;
}
