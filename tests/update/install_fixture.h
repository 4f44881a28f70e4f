// A registered copy of the recording test installer in a fresh folder, over the real store.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "logging/logger.h"
#include "platform/environment.h"
#include "service_host/updater_manager.h"
#include "store_fixture.h"
#include "support/test_support.h"
#include "update/file_digest.h"
#include "update/installer.h"

namespace tarnel::testing {

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CreateUpdaterKey();
    folder = MakeTempFolder("install");
    installer = folder + ExecutableName("setup");
    std::filesystem::copy_file(ProgramFolder() + ExecutableName("tarnel_record_args_installer"),
                               installer);
    ASSERT_TRUE(ComputeFileSha256(installer, digest));
    argsFile = folder + "args.txt";
    platform::SetEnvironmentValue("TARNEL_RECORD_ARGS_FILE", argsFile);
    Register(installer, digest, "C:\\Program Files\\X");
  }

  void TearDown() override {
    SetInstallerVerifiedHook(nullptr);
    SetInstallerStagingHook(nullptr);
    DeleteUpdaterKey();
  }

  static void Register(const std::string& path, const std::string& sha256,
                       const std::string& installPath) {
    StoreDword("PendingUpdate", 1);
    StoreString("InstallerPath", path);
    StoreString("InstallerSha256", sha256);
    StoreString("InstallPath", installPath);
  }

  static uint32_t StoredFlag() {
    uint32_t flag = 99;
    LoadDwordValue("PendingUpdate", &flag);
    return flag;
  }

  // The arguments the started installer recorded, one per line; empty when it never ran.
  std::string WaitForRecordedArguments() const {
    // Generous: under Wine on a loaded machine, starting a process can take many seconds.
    const auto deadline = std::chrono::seconds(90);
    if (!WaitUntil([&] { return std::filesystem::exists(argsFile); }, deadline)) {
      return std::string();
    }
    return ReadFile(argsFile);
  }

  static std::string Error(const std::string& text) {
    return LevelName(LogLevel::ERROR) + " | " + text;
  }

  UpdaterManagerWindows manager;
  std::string folder;
  std::string installer;
  std::string digest;
  std::string argsFile;
};

}  // namespace tarnel::testing
