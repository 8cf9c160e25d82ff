#include <gtest/gtest.h>

#include "core/cpCQoSContext.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/ScriptedServer.h"

namespace {

// A connection without layers connects to a real listener and its socket reports readiness.
TEST(CoreRuntimeSmokeTest, ConnectionReachesConnectedState) {
  testsupport::CoreRuntime runtime;
  testsupport::ScriptedServer server(testsupport::Script().Send("hello").Stall());
  nvSmartPtr context;
  ASSERT_TRUE(context.CreateInstance(CLSID_cpCQoSContext));
  auto* connection = nvCast<cpCQoSContext>(context.Get());
  ASSERT_EQ(CP_S_OK, connection->Open(QOS_ACTION_HIGH, 0, nullptr));
  cpAddress address = testsupport::LoopbackAddress(server.Port());
  ASSERT_EQ(CP_S_OK, connection->Connect(&address));
  EXPECT_TRUE(runtime.PumpUntil([&] { return connection->ReceiveBuffer().Length() == 5; }));
  EXPECT_EQ(QOS_ST_READY, connection->State());
  connection->Close();
  EXPECT_EQ(QOS_ST_CLOSED, connection->State());
}

}  // namespace
