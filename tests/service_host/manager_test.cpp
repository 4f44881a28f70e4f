#include <gtest/gtest.h>

#include <thread>

#include "service_host/sync_event.h"
#include "service_host/updater_manager.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::LogCapture;

TEST(SyncEventTest, SignalGivenBeforeTheWaitIsConsumedByIt) {
  SyncEvent event;
  ASSERT_TRUE(event.Init());
  EXPECT_TRUE(event.Set());
  EXPECT_TRUE(event.Set());  // several signals before a wait count as one
  EXPECT_TRUE(event.Wait(-1));
  EXPECT_FALSE(event.Wait(10)) << "the second signal must not have been counted";
}

TEST(SyncEventTest, FiniteWaitThatExpiresReturnsFalse) {
  SyncEvent event;
  ASSERT_TRUE(event.Init());
  EXPECT_FALSE(event.Wait(20));
}

TEST(SyncEventTest, WaitReturnsWhenAnotherThreadSignals) {
  SyncEvent event;
  ASSERT_TRUE(event.Init());
  std::thread signaller([&] { event.Set(); });
  EXPECT_TRUE(event.Wait(20000));
  signaller.join();
}

TEST(SyncEventTest, OperationsOnAnEventThatIsNotThereFail) {
  SyncEvent never;  // Init never called
  EXPECT_FALSE(never.Set());
  EXPECT_FALSE(never.Wait(-1));
  EXPECT_FALSE(never.Close());

  SyncEvent closed;
  ASSERT_TRUE(closed.Init());
  EXPECT_TRUE(closed.Close());
  EXPECT_FALSE(closed.Close());
  EXPECT_FALSE(closed.Set());
  EXPECT_FALSE(closed.Wait(0));
}

TEST(UpdaterManagerTest, ConstructionAndDestructionLogInOrder) {
  LogCapture log;
  {
    UpdaterManagerWindows manager;
    EXPECT_EQ(manager.serviceStatus.dwServiceType, 0x10u);
    EXPECT_EQ(manager.serviceStatus.dwCurrentState, 0u);
    EXPECT_TRUE(manager.isService);
    EXPECT_EQ(manager.serviceStatusHandle, nullptr);
    EXPECT_TRUE(manager.stopEvent.IsValid());
  }
  const std::string text = log.Text();
  const char* expected[] = {"UpdaterManager: create", "UpdaterManagerWindows: create",
                            "SyncEvent: initialization of sync event",
                            "UpdaterManagerWindows: destroy", "UpdaterManager: destroy"};
  size_t position = 0;
  for (const char* line : expected) {
    const size_t found = text.find(line, position);
    ASSERT_NE(found, std::string::npos) << line << " missing or out of order in:\n" << text;
    position = found;
  }
}

TEST(UpdaterManagerTest, StopSignalsTheStopEventOnce) {
  UpdaterManagerWindows manager;
  EXPECT_TRUE(manager.Stop());
  EXPECT_TRUE(manager.Stop());
  EXPECT_TRUE(manager.stopEvent.Wait(-1));
  EXPECT_FALSE(manager.stopEvent.Wait(10));
}

TEST(UpdaterManagerTest, StopWithoutAnEventFails) {
  UpdaterManagerWindows manager;
  manager.stopEvent.Close();
  EXPECT_FALSE(manager.Stop());
}

}  // namespace
}  // namespace tarnel
