// The QoS manager: round-robin slots, refusal when every slot is taken, events for slots that
// hold nothing, the one-second tick and the shared budgets.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "tests/core/QoSTestSupport.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/ScriptedServer.h"

namespace {

using qostest::FakeLayer;
using qostest::LayerLog;
using qostest::Loopback;
using testsupport::Script;
using testsupport::ScriptedServer;
using Log = std::vector<std::string>;

class QoSManagerTest : public ::testing::Test {
 protected:
  QoSManagerTest() {
    qostest::RegisterFakeLayers();
    qostest::ResetFakeLayers();
  }

  cpCQoS& Qos() { return runtime_.Qos(); }
  static int32_t SlotOf(const cpCQoSContext* context) { return context->Socket()->slot; }

  // Opens `count` connections (no connect) and returns them in order.
  std::vector<cpCQoSContext*> OpenMany(int count) {
    std::vector<cpCQoSContext*> opened;
    for (int i = 0; i < count; ++i) opened.push_back(connections_.Open(QOS_ACTION_HIGH, 0));
    return opened;
  }

  testsupport::CoreRuntime runtime_{true};
  qostest::Connections connections_;
};

TEST_F(QoSManagerTest, RegistrationsTakeSlotsInOrder) {
  std::vector<cpCQoSContext*> opened = OpenMany(5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(i, SlotOf(opened[static_cast<size_t>(i)]));
    EXPECT_EQ(opened[static_cast<size_t>(i)], Qos().ContextAt(static_cast<uint32_t>(i)));
    EXPECT_EQ(QOS_ST_CREATED, opened[static_cast<size_t>(i)]->State());
    EXPECT_EQ(1u, opened[static_cast<size_t>(i)]->Socket()->nonBlocking);
  }
  EXPECT_EQ(5, Qos().Cursor());
  EXPECT_EQ(nullptr, Qos().ContextAt(5));
}

TEST_F(QoSManagerTest, AFreedSlotWaitsUntilTheCursorComesRound) {
  std::vector<cpCQoSContext*> opened = OpenMany(10);
  EXPECT_EQ(10, Qos().Cursor());
  opened[5]->Close();
  EXPECT_EQ(nullptr, Qos().ContextAt(5));
  cpCQoSContext* eleventh = connections_.Open(QOS_ACTION_HIGH, 0);
  cpCQoSContext* twelfth = connections_.Open(QOS_ACTION_HIGH, 0);
  EXPECT_EQ(10, SlotOf(eleventh));
  EXPECT_EQ(11, SlotOf(twelfth));
  EXPECT_EQ(nullptr, Qos().ContextAt(5));
}

TEST_F(QoSManagerTest, TheSearchWrapsRoundToFreedSlots) {
  std::vector<cpCQoSContext*> opened = OpenMany(CP_SOCKET_SLOTS);
  EXPECT_EQ(63, SlotOf(opened.back()));
  opened[20]->Close();
  opened[5]->Close();
  cpCQoSContext* first = connections_.Open(QOS_ACTION_HIGH, 0);
  cpCQoSContext* second = connections_.Open(QOS_ACTION_HIGH, 0);
  EXPECT_EQ(5, SlotOf(first));
  EXPECT_EQ(20, SlotOf(second));
}

TEST_F(QoSManagerTest, WithEverySlotTakenARegistrationIsRefusedAndTheConnectionFailsOnce) {
  std::vector<cpCQoSContext*> opened = OpenMany(CP_SOCKET_SLOTS);
  int32_t cursor = Qos().Cursor();

  cpCQoSContext* refused = connections_.New();
  EXPECT_EQ(CP_E_FAIL, refused->Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED | QOS_EV_FAILURE, nullptr));
  EXPECT_EQ(nullptr, refused->Socket());
  EXPECT_EQ(QOS_ST_FAILED, refused->State());
  FakeLayer* layer = qostest::PushFake(refused, false);
  ASSERT_NE(nullptr, layer);
  EXPECT_TRUE(LayerLog().empty()) << "the failure comes from the message loop";

  runtime_.Pump();
  EXPECT_EQ((Log{"L1.OnEvent(1)", "L1.OnClose"}), LayerLog());
  EXPECT_EQ(QOS_ST_CLOSED, refused->State());
  cpAddress address = Loopback(1);
  EXPECT_EQ(CP_E_FAIL, refused->Connect(&address));
  runtime_.AdvanceSeconds(2);
  EXPECT_EQ((Log{"L1.OnEvent(1)", "L1.OnClose"}), LayerLog());

  for (int32_t slot = 0; slot < CP_SOCKET_SLOTS; ++slot) {
    EXPECT_EQ(opened[static_cast<size_t>(slot)], Qos().ContextAt(static_cast<uint32_t>(slot))) << slot;
    EXPECT_EQ(slot, SlotOf(opened[static_cast<size_t>(slot)]));
  }
  EXPECT_EQ(cursor, Qos().Cursor());
}

TEST_F(QoSManagerTest, EventsForAnEmptySlotOrOneOutOfRangeDoNothing) {
  testsupport::StalledPort listener;
  cpCQoSContext* context = connections_.Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED);
  qostest::PushFake(context, false);
  cpAddress address = Loopback(listener.Port());
  ASSERT_EQ(CP_S_OK, context->Connect(&address));
  ASSERT_EQ(0, SlotOf(context));
  platform::SocketHandle socket = context->Socket()->handle;

  for (int32_t slot : {1, 63, 64, 1000, -1}) {
    for (int32_t event : {QOS_SOCK_READ, QOS_SOCK_WRITE, QOS_SOCK_CONNECTED, QOS_SOCK_ACCEPT, QOS_SOCK_CLOSED,
                          QOS_SOCK_REFUSED, QOS_SOCK_UNREACHABLE}) {
      Qos().HandleSocketEvent(slot, event, 0, socket);
    }
    Qos().HandleContextEvent(slot, const_cast<cpSocketRecord*>(context->Socket()));
  }
  runtime_.Pump();
  EXPECT_EQ(QOS_ST_CONNECTING, context->State());
  EXPECT_TRUE(LayerLog().empty());
  EXPECT_EQ(nullptr, Qos().ContextAt(64));
  EXPECT_EQ(nullptr, Qos().ContextAt(0xFFFFFFFFu));
  EXPECT_EQ(context, Qos().ContextAt(0));
}

TEST_F(QoSManagerTest, AnAcceptEventMakesNoReaction) {
  testsupport::StalledPort listener;
  cpCQoSContext* context = connections_.Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED);
  qostest::PushFake(context, false);
  cpAddress address = Loopback(listener.Port());
  ASSERT_EQ(CP_S_OK, context->Connect(&address));
  Qos().HandleSocketEvent(0, QOS_SOCK_ACCEPT, 0, context->Socket()->handle);
  Qos().HandleSocketEvent(0, 5, 0, context->Socket()->handle);
  runtime_.Pump();
  EXPECT_EQ(QOS_ST_CONNECTING, context->State());
  EXPECT_TRUE(LayerLog().empty());
}

TEST_F(QoSManagerTest, SharedSendBudgetGrantsWhatIsLeftThenNothing) {
  EXPECT_EQ(0, Qos().TakeSendBudget(100)) << "no second has started yet";
  Qos().Tick();
  EXPECT_EQ(cpCQoS::kDefaultLimit - 3000, Qos().TakeSendBudget(cpCQoS::kDefaultLimit - 3000));
  EXPECT_EQ(3000, Qos().TakeSendBudget(5000));
  EXPECT_EQ(0, Qos().TakeSendBudget(5000));
  Qos().ReturnSendBudget(1000);
  EXPECT_EQ(1000, Qos().TakeSendBudget(5000));
  EXPECT_EQ(0, Qos().TakeSendBudget(1));
  // The receive budget is a pair of its own.
  EXPECT_EQ(5000, Qos().TakeReceiveBudget(5000));
  Qos().Tick();
  EXPECT_EQ(5000, Qos().TakeSendBudget(5000));
}

TEST_F(QoSManagerTest, SharedReceiveBudgetGrantsWhatIsLeftThenNothing) {
  Qos().Tick();
  EXPECT_EQ(cpCQoS::kDefaultLimit - 3000, Qos().TakeReceiveBudget(cpCQoS::kDefaultLimit - 3000));
  EXPECT_EQ(3000, Qos().TakeReceiveBudget(5000));
  EXPECT_EQ(0, Qos().TakeReceiveBudget(5000));
  Qos().ReturnReceiveBudget(924);
  EXPECT_EQ(924, Qos().TakeReceiveBudget(1024));
  EXPECT_EQ(0, Qos().TakeReceiveBudget(0));
  EXPECT_EQ(0, Qos().TakeReceiveBudget(-5));
}

TEST_F(QoSManagerTest, TheTickComesEveryManagerSecondForEveryConnection) {
  cpCQoSContext* early = connections_.Open(QOS_ACTION_HIGH, 0);
  runtime_.AdvanceMilliseconds(900);
  EXPECT_EQ(0, Qos().TickCount());
  runtime_.AdvanceMilliseconds(100);
  EXPECT_EQ(1, Qos().TickCount());
  runtime_.AdvanceSeconds(1);
  cpCQoSContext* late = connections_.Open(QOS_ACTION_HIGH, 0);
  runtime_.AdvanceSeconds(2);
  EXPECT_EQ(4, Qos().TickCount());
  EXPECT_EQ(4, early->SecondsAlive());
  EXPECT_EQ(2, late->SecondsAlive());
  // Every second refills the shared budgets.
  EXPECT_EQ(cpCQoS::kDefaultLimit, Qos().TakeSendBudget(cpCQoS::kDefaultLimit));
  runtime_.AdvanceSeconds(1);
  EXPECT_EQ(cpCQoS::kDefaultLimit, Qos().TakeSendBudget(cpCQoS::kDefaultLimit));
}

TEST_F(QoSManagerTest, AConnectedSocketIsRegisteredNonBlockingAndReports) {
  ScriptedServer server(Script().Send("welcome").Stall());
  cpSocketRecord* socket = nullptr;
  ASSERT_EQ(CP_S_OK, cpSocketCreate(&socket, 0));
  cpAddress address = Loopback(server.Port());
  ASSERT_EQ(CP_S_OK, cpSocketConnect(socket, &address));
  cpCQoSContext* context = connections_.New();
  ASSERT_EQ(CP_S_OK, context->Open(QOS_ACTION_HIGH, 0, socket));
  EXPECT_EQ(QOS_ST_CONNECTED, context->State());
  EXPECT_EQ(socket, context->Socket());
  EXPECT_EQ(1u, socket->nonBlocking);
  EXPECT_EQ(context, Qos().ContextAt(static_cast<uint32_t>(socket->slot)));
  FakeLayer* layer = qostest::PushFake(context, false);
  EXPECT_TRUE(runtime_.PumpUntil([&] { return layer->taken == "welcome"; }));
}

TEST_F(QoSManagerTest, UnregisteringDropsTheSlotsReference) {
  cpCQoSContext* context = connections_.Open(QOS_ACTION_HIGH, 0);
  qostest::PushFake(context, false);
  int32_t slot = SlotOf(context);
  connections_.Forget(context);  // only the slot holds it now
  EXPECT_TRUE(qostest::DestroyedLayers().empty());
  context->Close();
  EXPECT_EQ(nullptr, Qos().ContextAt(static_cast<uint32_t>(slot)));
  EXPECT_EQ((Log{"L1"}), qostest::DestroyedLayers()) << "the connection went with the slot's reference";
}

TEST_F(QoSManagerTest, TheLockIsTheLibraryLock) {
  EXPECT_TRUE(Qos().GetLock());
  Qos().Lock();
  Qos().Unlock();
  cpQoSLockGuard guard;
}

}  // namespace
