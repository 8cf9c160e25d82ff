#include <gtest/gtest.h>

#include "pipeline/NetworkState.h"
#include "platform/NetworkState.h"
#include "tests/support/ScopedEnvironment.h"

namespace {

TEST(NetworkStateTest, SettingOverridesThePlatform) {
  {
    testsupport::ScopedEnvironment offline("ORBA_NETWORK_STATE", "offline");
    EXPECT_FALSE(IsInternetConnected());
  }
  {
    testsupport::ScopedEnvironment online("ORBA_NETWORK_STATE", "online");
    EXPECT_TRUE(IsInternetConnected());
  }
  testsupport::ScopedEnvironment automatic("ORBA_NETWORK_STATE", "auto");
  EXPECT_EQ(platform::NetworkInterfaceConnected(), IsInternetConnected());
}

}  // namespace
