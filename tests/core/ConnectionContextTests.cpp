// The connection context with fake layers in its real layer table, real loopback peers and the
// manual clock: connect, time-outs and their races, idle events, the send queue and the pump,
// delivery to the bottom layer, the layer walks, rates, events queued through the window, and
// closing from inside a layer's callback.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "core/cpSocket.h"
#include "tests/core/QoSTestSupport.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScopedResolver.h"
#include "tests/support/ScriptedServer.h"

namespace {

using qostest::FakeLayer;
using qostest::kFakeBottomLayer;
using qostest::kFakeLayer;
using qostest::LayerLog;
using qostest::Loopback;
using testsupport::Gate;
using testsupport::Script;
using testsupport::ScriptedServer;
using Log = std::vector<std::string>;
using Entries = std::vector<std::pair<uint32_t, bool>>;

const uint32_t kLoopback = htonl(0x7F000001);
const uint32_t kOtherAddress = htonl(0x7F000003);
// TCP refuses both at once with "network unreachable", without sending anything.
const uint32_t kMulticast = htonl(0xE0000001);
const uint32_t kBroadcast = htonl(0xFFFFFFFF);
constexpr int32_t kMask5 = QOS_EV_CONNECT_FAILED | QOS_EV_IDLE;

bool IsConnected(const cpCQoSContext* context) {
  return context->State() == QOS_ST_CONNECTED || context->State() == QOS_ST_READY;
}

// ---- a stream dispatcher for connections without layers ----
//
// Registered under the stream dispatcher's class id, whose real class lives above the core: it
// hands every offer to its first handler as one message and reports a consumed count the test
// sets.
int32_t g_dispatchConsumed = 0;
std::vector<std::string> g_dispatchOffers;

class FakeDispatcher final : public nvTRefCounted<nvIStreamDispatcher> {
 public:
  cpStatus AddHandler(uint16_t /*group*/, int32_t /*type*/, nvMessageHandler handler,
                      void* userData) override {
    if (handler_ == nullptr) {
      handler_ = handler;
      userData_ = userData;
    }
    return CP_S_OK;
  }
  cpStatus Dispatch(const char* data, int32_t length, int32_t* consumed) override {
    g_dispatchOffers.emplace_back(data, static_cast<size_t>(length));
    if (handler_ != nullptr) handler_(data, length, userData_);
    *consumed = g_dispatchConsumed;
    return CP_S_OK;
  }

 private:
  nvMessageHandler handler_ = nullptr;
  void* userData_ = nullptr;
};

nvIUnknown* MakeFakeDispatcher() { return new FakeDispatcher(); }

class ConnectionContextTest : public ::testing::Test {
 protected:
  ConnectionContextTest() {
    qostest::RegisterFakeLayers();
    qostest::ResetFakeLayers();
    EXPECT_TRUE(nvRegisterClass(nvStreamDispatcherClassId, &MakeFakeDispatcher));
    g_dispatchConsumed = 0;
    g_dispatchOffers.clear();
  }

  void SetUp() override {
    cpAddressBookClear();
    resolver_.emplace([](const std::string& host) {
      if (host == "offline.test") return std::vector<uint32_t>{kMulticast, kBroadcast, kLoopback};
      return host == "origin.test" ? std::vector<uint32_t>{kLoopback, kOtherAddress}
                                   : std::vector<uint32_t>{};
    });
  }

  void TearDown() override {
    connections_.CloseAll();
    runtime_.Pump();
    resolver_.reset();
  }

  // Opens a connection and pushes `layers` fake layers, each below the previous one (L1 on top).
  cpCQoSContext* Open(int32_t mask, int layers = 1, int32_t actionType = QOS_ACTION_HIGH) {
    cpCQoSContext* context = connections_.Open(actionType, mask);
    for (int i = 0; i < layers; ++i) qostest::PushFake(context, true);
    return context;
  }

  FakeLayer* Layer(int number) { return qostest::CreatedLayers().at(static_cast<size_t>(number - 1)); }

  // Names the peer for the address book: "origin.test" at `port`, picked as the book says.
  void Address(cpCQoSContext* context, uint16_t port) {
    uint32_t address = 0;
    ASSERT_TRUE(cpAddressBookPick("origin.test", port, &address));
    ASSERT_EQ(kLoopback, address);
    ASSERT_EQ(CP_S_OK, context->SetHostName("origin.test"));
    cpAddress target = Loopback(port);
    ASSERT_EQ(CP_S_OK, context->SetAddress(&target));
  }

  void ConnectTo(cpCQoSContext* context, uint16_t port) {
    cpAddress address = Loopback(port);
    ASSERT_EQ(CP_S_OK, context->Connect(&address));
  }

  void ConnectAndWait(cpCQoSContext* context, uint16_t port) {
    ConnectTo(context, port);
    ASSERT_TRUE(runtime_.PumpUntil([&] { return IsConnected(context); }));
  }

  // Moves the manual clock, ticking the timers, without handling any message.
  void TickWithoutPump(int64_t milliseconds) {
    for (int64_t done = 0; done < milliseconds; done += 100) {
      runtime_.Clock()->Advance(100);
      runtime_.Timers().Tick();
    }
  }

  // Takes the ready messages until the socket notice `notice` of the connection's slot came,
  // then hands that one to its window first and the others after it, in their order.
  void DeliverNoticeFirst(cpCQoSContext* context, uint32_t notice) {
    const uint32_t message = CP_MSG_SOCKET_FIRST + static_cast<uint32_t>(context->Socket()->slot);
    auto wanted = [&](const platform::Message& m) {
      return m.message == message && (static_cast<uint32_t>(m.lParam) & 0xFFFFu) == notice;
    };
    std::vector<platform::Message> taken;
    ASSERT_TRUE(qostest::TakeMessagesUntil(wanted, &taken));
    platform::DispatchMessageToWindow(taken.back());
    taken.pop_back();
    for (const platform::Message& other : taken) platform::DispatchMessageToWindow(other);
  }

  static std::string SendBuffer(cpCQoSContext* context) {
    const char* data = nullptr;
    int32_t size = 0;
    EXPECT_EQ(CP_S_OK, context->GetSendBuffer(&data, &size));
    return data == nullptr ? "" : std::string(data, static_cast<size_t>(size));
  }
  static int32_t Queued(cpCQoSContext* context) {
    int32_t queued = -1;
    EXPECT_EQ(CP_S_OK, context->GetQueuedBytes(&queued));
    return queued;
  }
  static std::string Buffered(cpCQoSContext* context) {
    const cpReceiveBuffer& buffer = context->ReceiveBuffer();
    return buffer.Length() > 0 ? std::string(buffer.Data(), static_cast<size_t>(buffer.Length())) : "";
  }
  static int Count(const std::string& call) {
    return static_cast<int>(std::count(LayerLog().begin(), LayerLog().end(), call));
  }

  testsupport::CoreRuntime runtime_{true};
  std::optional<testsupport::ScopedResolver> resolver_;
  qostest::Connections connections_;
};

// ---- connect ----

TEST_F(ConnectionContextTest, ConnectIsRefusedInEveryStateButCreated) {
  ScriptedServer server(Script().Stall());
  cpAddress address = Loopback(server.Port());

  cpCQoSContext* fresh = connections_.New();
  EXPECT_EQ(CP_E_FAIL, fresh->Connect(&address));
  EXPECT_EQ(QOS_ST_NEW, fresh->State());
  EXPECT_EQ(nullptr, fresh->Socket());

  testsupport::StalledPort listener;
  cpCQoSContext* connecting = Open(QOS_EV_CONNECT_FAILED);
  EXPECT_EQ(CP_E_FAIL, connecting->Connect(nullptr));
  ConnectTo(connecting, listener.Port());
  runtime_.AdvanceSeconds(2);
  EXPECT_EQ(CP_E_FAIL, connecting->Connect(&address)) << "already connecting";
  EXPECT_EQ(QOS_ST_CONNECTING, connecting->State());
  // The first connect's time-out stands (5 seconds by default): nothing was restarted.
  runtime_.AdvanceMilliseconds(2900);
  EXPECT_EQ(QOS_ST_CONNECTING, connecting->State());
  runtime_.AdvanceMilliseconds(100);
  EXPECT_EQ(QOS_ST_CLOSED, connecting->State());

  cpCQoSContext* connected = Open(0);
  ConnectAndWait(connected, server.Port());
  int32_t state = connected->State();
  EXPECT_EQ(CP_E_FAIL, connected->Connect(&address));
  EXPECT_EQ(state, connected->State());
  runtime_.Pump();
  ASSERT_TRUE(server.WaitForConnections(1));
  EXPECT_EQ(1, server.ConnectionCount());

  connected->Close();
  EXPECT_EQ(CP_E_FAIL, connected->Connect(&address));
  EXPECT_EQ(CP_E_FAIL, connected->Open(QOS_ACTION_HIGH, 0, nullptr)) << "a closed connection is not reopened";
}

TEST_F(ConnectionContextTest, AnUnansweredConnectFailsAfterItsTimeOut) {
  testsupport::StalledPort listener;
  cpCQoSContext* context = Open(kMask5, 2);
  int32_t timeout = 3;
  ASSERT_EQ(CP_S_OK, context->SetOption(QOS_OPT_CONNECT_TIMEOUT, &timeout));
  Address(context, listener.Port());
  int32_t slot = context->Socket()->slot;
  ConnectTo(context, listener.Port());
  EXPECT_EQ(QOS_ST_CONNECTING, context->State());

  runtime_.AdvanceMilliseconds(2900);
  EXPECT_EQ(QOS_ST_CONNECTING, context->State());
  EXPECT_TRUE(LayerLog().empty());

  runtime_.AdvanceMilliseconds(100);
  EXPECT_EQ((Log{"L2.OnEvent(1)", "L1.OnEvent(1)", "L2.OnClose", "L1.OnClose"}), LayerLog());
  EXPECT_EQ(QOS_ST_CLOSED, context->State());
  EXPECT_EQ(nullptr, runtime_.Qos().ContextAt(static_cast<uint32_t>(slot)));
  EXPECT_EQ((Entries{{kOtherAddress, false}, {kLoopback, false}}),
            cpAddressBookEntries("origin.test", listener.Port()))
      << "the address that failed goes to the back";

  runtime_.AdvanceSeconds(5);
  EXPECT_EQ(4u, LayerLog().size()) << "the time-out fires once";
}

TEST_F(ConnectionContextTest, WithoutTheConnectFailureBitAFailedConnectStaysFailed) {
  testsupport::StalledPort listener;
  cpCQoSContext* context = Open(QOS_EV_IDLE);
  int32_t timeout = 1;
  context->SetOption(QOS_OPT_CONNECT_TIMEOUT, &timeout);
  Address(context, listener.Port());
  ConnectTo(context, listener.Port());
  runtime_.AdvanceSeconds(2);
  EXPECT_EQ(QOS_ST_FAILED, context->State());
  EXPECT_TRUE(LayerLog().empty());
  EXPECT_EQ((Entries{{kLoopback, false}, {kOtherAddress, false}}),
            cpAddressBookEntries("origin.test", listener.Port()));
  // Data for a failed connection is dropped.
  ASSERT_EQ(CP_S_OK, context->Send("late", 4));
  EXPECT_EQ("", SendBuffer(context));
  EXPECT_EQ(0, Queued(context));
  context->Close();
  EXPECT_EQ((Log{"L1.OnClose"}), LayerLog());
}

TEST_F(ConnectionContextTest, ARefusedConnectMarksTheAddressAndCloses) {
  testsupport::ClosedPort closed;
  cpCQoSContext* context = Open(kMask5, 2);
  Address(context, closed.Port());
  ConnectTo(context, closed.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return context->State() == QOS_ST_CLOSED; }));
  EXPECT_EQ((Log{"L2.OnEvent(1)", "L1.OnEvent(1)", "L2.OnClose", "L1.OnClose"}), LayerLog());
  EXPECT_EQ((Entries{{kOtherAddress, false}, {kLoopback, false}}),
            cpAddressBookEntries("origin.test", closed.Port()));
  // The time-out that would have come later is gone with the connection.
  runtime_.AdvanceSeconds(6);
  EXPECT_EQ(4u, LayerLog().size());
}

TEST_F(ConnectionContextTest, AnImmediateConnectErrorIsAnUnreachableHostFromTheMessageLoop) {
  // Each failed address goes to the back of the book, so the next connection tries the next one.
  for (uint32_t expected : {kMulticast, kBroadcast}) {
    qostest::ResetFakeLayers();
    cpCQoSContext* context = Open(kMask5);
    uint32_t picked = 0;
    ASSERT_TRUE(cpAddressBookPick("offline.test", 80, &picked));
    ASSERT_EQ(expected, picked);
    ASSERT_EQ(CP_S_OK, context->SetHostName("offline.test"));
    cpAddress target;
    target.address = picked;
    target.port = 80;
    ASSERT_EQ(CP_S_OK, context->SetAddress(&target));
    ASSERT_EQ(CP_S_OK, context->Connect(&target));
    EXPECT_EQ(QOS_ST_CONNECTING, context->State()) << "the error waits for the message loop";
    EXPECT_TRUE(LayerLog().empty());
    runtime_.Pump();
    EXPECT_EQ((Log{"L1.OnHostUnreachable", "L1.OnEvent(1)", "L1.OnClose"}), LayerLog());
    EXPECT_EQ(QOS_ST_CLOSED, context->State());
  }
  uint32_t next = 0;
  ASSERT_TRUE(cpAddressBookPick("offline.test", 80, &next));
  EXPECT_EQ(kLoopback, next);
  EXPECT_EQ((Entries{{kLoopback, false}, {kMulticast, false}, {kBroadcast, false}}),
            cpAddressBookEntries("offline.test", 80));
  // The connect time-out is gone with the connections.
  runtime_.AdvanceSeconds(6);
  EXPECT_EQ(3u, LayerLog().size());
}

TEST_F(ConnectionContextTest, ATimeOutThatLosesTheRaceToTheConnectIsIgnored) {
  ScriptedServer server(Script().ReadBytes(4).Stall());
  cpCQoSContext* context = Open(kMask5);
  int32_t timeout = 3;
  context->SetOption(QOS_OPT_CONNECT_TIMEOUT, &timeout);
  Address(context, server.Port());
  ConnectTo(context, server.Port());
  // The time-out fires while the connect's completion is still on its way.
  TickWithoutPump(3000);
  EXPECT_EQ(QOS_ST_FAILED, context->State());
  DeliverNoticeFirst(context, platform::kFdConnect);
  runtime_.Pump();
  EXPECT_TRUE(IsConnected(context));
  EXPECT_EQ((Log{"L1.OnConnected"}), LayerLog()) << "the queued time-out reaches no layer";
  EXPECT_EQ((Entries{{kLoopback, false}, {kOtherAddress, false}}),
            cpAddressBookEntries("origin.test", server.Port()));
  ASSERT_EQ(CP_S_OK, context->Send("ping", 4));
  EXPECT_TRUE(runtime_.PumpUntil([&] { return server.Reads(0).size() == 1; }));
  EXPECT_EQ("ping", server.Reads(0).at(0));
}

TEST_F(ConnectionContextTest, AConnectWithinTheTimeOutStopsIt) {
  ScriptedServer server(Script().Stall());
  cpCQoSContext* context = Open(kMask5);
  ConnectAndWait(context, server.Port());
  runtime_.AdvanceSeconds(10);
  EXPECT_TRUE(IsConnected(context));
  EXPECT_EQ((Log{"L1.OnConnected"}), LayerLog());
}

TEST_F(ConnectionContextTest, AnUnreachableHostTellsTheLayersUntilOneStopsThenFails) {
  testsupport::StalledPort listener;
  cpCQoSContext* context = Open(kMask5, 3);
  Layer(2)->unreachableResult = false;
  ConnectTo(context, listener.Port());
  ASSERT_EQ(CP_S_OK, context->PostUnreachable());
  EXPECT_TRUE(LayerLog().empty()) << "handled from the message loop";
  runtime_.Pump();
  EXPECT_EQ((Log{"L3.OnHostUnreachable", "L2.OnHostUnreachable", "L3.OnEvent(1)", "L2.OnEvent(1)",
                 "L1.OnEvent(1)", "L3.OnClose", "L2.OnClose", "L1.OnClose"}),
            LayerLog());
}

TEST_F(ConnectionContextTest, TheEventWalkStopsAfterALayerThatSaysSo) {
  testsupport::StalledPort listener;
  cpCQoSContext* context = Open(kMask5, 3);
  Layer(3)->eventResult = false;
  ConnectTo(context, listener.Port());
  runtime_.AdvanceSeconds(5);
  EXPECT_EQ((Log{"L3.OnEvent(1)", "L3.OnClose", "L2.OnClose", "L1.OnClose"}), LayerLog())
      << "every layer hears of the close, whatever it answered";
}

// ---- idle ----

TEST_F(ConnectionContextTest, TheIdleEventComesOnTheFourthTickAfterTheLastReadableNoticeAndOnce) {
  Gate more;
  ScriptedServer server(Script().Send("a").WaitFor(more).Send("b").Stall());
  cpCQoSContext* context = Open(kMask5);
  int32_t idleLimit = 3;
  ASSERT_EQ(CP_S_OK, context->SetOption(QOS_OPT_IDLE_LIMIT, &idleLimit));
  Address(context, server.Port());
  ConnectAndWait(context, server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Layer(1)->taken == "a"; }));

  runtime_.AdvanceSeconds(3);
  EXPECT_EQ(0, Count("L1.OnEvent(4)"));
  runtime_.AdvanceSeconds(1);
  EXPECT_EQ(1, Count("L1.OnEvent(4)"));
  EXPECT_TRUE(IsConnected(context)) << "the layers decide what an idle connection does";
  EXPECT_EQ((Entries{{kOtherAddress, false}, {kLoopback, false}}),
            cpAddressBookEntries("origin.test", server.Port()));
  runtime_.AdvanceSeconds(6);
  EXPECT_EQ(1, Count("L1.OnEvent(4)"));

  more.Open();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Layer(1)->taken == "ab"; }));
  runtime_.AdvanceSeconds(3);
  EXPECT_EQ(1, Count("L1.OnEvent(4)"));
  runtime_.AdvanceSeconds(1);
  EXPECT_EQ(2, Count("L1.OnEvent(4)"));
}

TEST_F(ConnectionContextTest, AReadableNoticeBeforeTheIdleEventIsHandledCancelsIt) {
  Gate more;
  ScriptedServer server(Script().Send("a").WaitFor(more).Send("b").Stall());
  cpCQoSContext* context = Open(kMask5);
  int32_t idleLimit = 3;
  context->SetOption(QOS_OPT_IDLE_LIMIT, &idleLimit);
  ConnectAndWait(context, server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Layer(1)->taken == "a"; }));
  runtime_.AdvanceSeconds(3);
  more.Open();
  ASSERT_TRUE(qostest::WaitForUnread(context->Socket()->handle, 1));
  // The fourth tick queues the idle event; the byte's notice is handled before it.
  TickWithoutPump(1000);
  DeliverNoticeFirst(context, platform::kFdRead);
  runtime_.Pump();
  EXPECT_EQ("ab", Layer(1)->taken);
  EXPECT_EQ(0, Count("L1.OnEvent(4)"));

  runtime_.AdvanceSeconds(3);
  EXPECT_EQ(0, Count("L1.OnEvent(4)"));
  runtime_.AdvanceSeconds(1);
  EXPECT_EQ(1, Count("L1.OnEvent(4)"));
}

TEST_F(ConnectionContextTest, WithoutTheIdleBitNoIdleEventIsRaised) {
  ScriptedServer server(Script().Stall());
  cpCQoSContext* context = Open(QOS_EV_CONNECT_FAILED);
  int32_t idleLimit = 1;
  context->SetOption(QOS_OPT_IDLE_LIMIT, &idleLimit);
  ConnectAndWait(context, server.Port());
  runtime_.AdvanceSeconds(5);
  EXPECT_EQ((Log{"L1.OnConnected"}), LayerLog());
  EXPECT_EQ(5, context->IdleCounter());
  EXPECT_EQ(5, context->SecondsAlive());
}

// ---- sending ----

TEST_F(ConnectionContextTest, DataSentBeforeTheConnectWaitsAndGoesOutInOrder) {
  ScriptedServer server(Script().ReadBytes(18).Stall());
  cpCQoSContext* context = Open(0);
  ConnectTo(context, server.Port());
  ASSERT_EQ(QOS_ST_CONNECTING, context->State());
  context->Send("first-", 6);
  context->Send("second-", 7);
  context->Send("third", 5);
  EXPECT_EQ("first-", SendBuffer(context));
  EXPECT_EQ(12, Queued(context)) << "the current block is not counted";
  EXPECT_EQ(QOS_ST_CONNECTING, context->State());

  ASSERT_TRUE(runtime_.PumpUntil([&] { return server.Reads(0).size() == 1; }));
  EXPECT_EQ("first-second-third", server.Reads(0).at(0));
  EXPECT_EQ("", SendBuffer(context));
  EXPECT_EQ(0, Queued(context));
}

TEST_F(ConnectionContextTest, TheQueueAsksTheLayersForMoreWhenItRunsDry) {
  ScriptedServer server(Script().ReadBytes(6).Stall());
  cpCQoSContext* context = Open(QOS_EV_SEND_DRAINED);
  ConnectAndWait(context, server.Port());
  runtime_.Pump();  // the first writable notice finds the queue empty too
  std::vector<std::string> more{"cd", "ef"};
  Layer(1)->whenEvent = [&](int32_t code) {
    if (code != QOS_EV_SEND_DRAINED || more.empty()) return;
    std::string next = more.front();
    more.erase(more.begin());
    context->Send(next.data(), static_cast<int32_t>(next.size()));
  };
  context->Send("ab", 2);
  ASSERT_TRUE(runtime_.PumpUntil([&] { return server.Reads(0).size() == 1; }));
  EXPECT_EQ("abcdef", server.Reads(0).at(0));
}

// The socket takes only `room` bytes each time it reports itself writable: partial writes at
// every possible boundary of chunks and blocks.
struct RoomCase {
  int32_t actionType;
  int room;
};

const char* RoomActionName(int32_t type) {
  switch (type) {
    case QOS_ACTION_HIGH:
      return "High";
    case QOS_ACTION_LOWSERVER:
      return "LowServer";
    case QOS_ACTION_LOWSERVER_RECV:
      return "LowServerRecv";
    case QOS_ACTION_LOWSERVER_SEND:
      return "LowServerSend";
    case QOS_ACTION_OWN:
      return "Own";
    case QOS_ACTION_OWN_RECV:
      return "OwnRecv";
    case QOS_ACTION_OWN_SEND:
      return "OwnSend";
    default:
      return "Unknown";
  }
}

void PrintTo(const RoomCase& room, std::ostream* out) {
  *out << RoomActionName(room.actionType) << "_Room" << room.room;
}

class ConnectionContextPartialWriteTest : public ConnectionContextTest,
                                          public ::testing::WithParamInterface<RoomCase> {};

TEST_P(ConnectionContextPartialWriteTest, PartialWritesKeepTheStreamWholeAndInOrder) {
  std::string expected;
  std::vector<std::string> blocks{std::string(4097, 'a'), "b", std::string(4096, 'c'), std::string(300, 'd')};
  for (const std::string& block : blocks) expected += block;
  ScriptedServer server(Script().ReadBytes(expected.size()).Stall());
  cpCQoSContext* context = Open(QOS_EV_FAILURE | QOS_EV_COUNT_SENT, 1, GetParam().actionType);
  // Every partial write keeps its whole grant charged, so tiny writes spend a budget fast.
  int32_t limit = 0x7FFFFFFF;
  context->SetActionLimit(1, &limit);
  ConnectAndWait(context, server.Port());
  platform::SocketHandle socket = context->Socket()->handle;
  platform::SocketLimitSendRoomForTesting(socket, 0);
  for (const std::string& block : blocks) context->Send(block.data(), static_cast<int32_t>(block.size()));

  // Each writable notice finds room for `room` more bytes.
  testsupport::WaitUntil([&] { return SendBuffer(context).empty(); }, 10000,
                         [&] {
                           platform::SocketLimitSendRoomForTesting(socket, GetParam().room);
                           platform::Message message;
                           if (platform::PeekNextMessage(&message))
                             platform::DispatchMessageToWindow(message);
                           return true;
                         });
  platform::SocketLimitSendRoomForTesting(socket, -1);
  EXPECT_TRUE(SendBuffer(context).empty()) << "still unsent: " << SendBuffer(context).size() << " bytes";
  EXPECT_EQ(0, Queued(context));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return server.Reads(0).size() == 1; }));
  EXPECT_TRUE(server.Reads(0).at(0) == expected) << "the bytes arrived out of order or changed";
  int32_t rate = 0;
  runtime_.AdvanceMilliseconds(1000);
  ASSERT_EQ(CP_S_OK, context->GetSendRate(&rate));
  EXPECT_EQ(static_cast<int32_t>(expected.size()), rate) << "every byte counted once";
  EXPECT_TRUE(IsConnected(context));
  EXPECT_EQ((Log{"L1.OnConnected"}), LayerLog());
}

INSTANTIATE_TEST_SUITE_P(Rooms, ConnectionContextPartialWriteTest,
                         ::testing::Values(RoomCase{QOS_ACTION_HIGH, 1}, RoomCase{QOS_ACTION_HIGH, 7},
                                           RoomCase{QOS_ACTION_HIGH, 1000}, RoomCase{QOS_ACTION_HIGH, 4095},
                                           RoomCase{QOS_ACTION_HIGH, 4096}, RoomCase{QOS_ACTION_HIGH, 4097},
                                           RoomCase{QOS_ACTION_OWN_SEND, 1},
                                           RoomCase{QOS_ACTION_OWN_SEND, 100},
                                           RoomCase{QOS_ACTION_OWN_SEND, 4097}));

TEST_F(ConnectionContextTest, ASendFailureRaisesTheFailureEventAndCloses) {
  Gate reset;
  ScriptedServer server(Script().WaitFor(reset).Reset());
  cpCQoSContext* context = Open(QOS_EV_FAILURE, 2);
  ConnectAndWait(context, server.Port());
  reset.Open();
  ASSERT_TRUE(qostest::WaitForHangUp(context->Socket()->handle));
  ASSERT_EQ(CP_S_OK, context->Send("too late", 8));
  EXPECT_EQ((Log{"L2.OnConnected", "L1.OnConnected"}), LayerLog()) << "failures are acted on from the loop";
  runtime_.Pump();
  EXPECT_EQ((Log{"L2.OnConnected", "L1.OnConnected", "L2.OnEvent(32)", "L1.OnEvent(32)", "L2.OnClose",
                 "L1.OnClose"}),
            LayerLog());
  EXPECT_EQ(QOS_ST_CLOSED, context->State());
}

TEST_F(ConnectionContextTest, ASendFailureClosesEvenWithoutTheFailureBit) {
  Gate reset;
  ScriptedServer server(Script().WaitFor(reset).Reset());
  cpCQoSContext* context = Open(0);
  ConnectAndWait(context, server.Port());
  reset.Open();
  ASSERT_TRUE(qostest::WaitForHangUp(context->Socket()->handle));
  context->Send("too late", 8);
  runtime_.Pump();
  EXPECT_EQ((Log{"L1.OnConnected", "L1.OnClose"}), LayerLog());
  context->Send("dropped", 7);
  EXPECT_EQ(0, Queued(context));
  EXPECT_NE("dropped", SendBuffer(context));
}

// ---- receiving ----

TEST_F(ConnectionContextTest, ABottomLayerThatConsumesPartOfAnOfferKeepsTheRestAtTheFront) {
  Gate more;
  const std::string first = "0123456789ABCDEFGHIJKLMNO";
  ScriptedServer server(Script().Send(first).WaitFor(more).Send("PQRST").Stall());
  cpCQoSContext* context = Open(0, 2);
  FakeLayer* bottom = Layer(2);
  bottom->consume = [](const char* /*data*/, int32_t length) { return length == 25 ? 10 : length; };
  ConnectAndWait(context, server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return bottom->offers.size() == 1; }));
  EXPECT_EQ(first, bottom->offers[0]);
  EXPECT_EQ("ABCDEFGHIJKLMNO", Buffered(context));
  EXPECT_EQ(cpCQoSContextAction::kReadPiece, context->ReceiveBuffer().Capacity());

  more.Open();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return bottom->offers.size() == 2; }));
  EXPECT_EQ("ABCDEFGHIJKLMNOPQRST", bottom->offers[1]);
  EXPECT_EQ(0, context->ReceiveBuffer().Length());
  EXPECT_EQ(0, context->ReceiveBuffer().Capacity()) << "a buffer taken whole is freed";
  EXPECT_TRUE(Layer(1)->offers.empty()) << "only the bottom layer is offered the bytes";
}

class ConnectionContextConsumeTest : public ConnectionContextTest,
                                     public ::testing::WithParamInterface<int32_t> {};

TEST_P(ConnectionContextConsumeTest, AnImpossibleConsumedCountClosesTheConnection) {
  ScriptedServer server(Script().Send(std::string(25, 'z')).Stall());
  cpCQoSContext* context = Open(0, 2);
  int32_t answer = GetParam();
  Layer(2)->consume = [answer](const char* /*data*/, int32_t /*length*/) { return answer; };
  ConnectAndWait(context, server.Port());
  int32_t slot = context->Socket()->slot;
  ASSERT_TRUE(runtime_.PumpUntil([&] { return context->State() == QOS_ST_CLOSED; }));
  EXPECT_EQ((Log{"L2.OnConnected", "L1.OnConnected", "L2.OnReceive(25)", "L2.OnClose", "L1.OnClose"}),
            LayerLog());
  EXPECT_EQ(nullptr, runtime_.Qos().ContextAt(static_cast<uint32_t>(slot)));
}

INSTANTIATE_TEST_SUITE_P(Counts, ConnectionContextConsumeTest, ::testing::Values(-1, 26, 1 << 30));

TEST_F(ConnectionContextTest, ThePeerClosingClosesEveryLayerFromTheBottomUp) {
  ScriptedServer server(Script().Send("bye").Close());
  cpCQoSContext* context = Open(0, 3);
  int32_t slot = -1;
  ConnectTo(context, server.Port());
  slot = context->Socket()->slot;
  ASSERT_TRUE(runtime_.PumpUntil([&] { return context->State() == QOS_ST_CLOSED; }));
  EXPECT_EQ((Log{"L3.OnConnected", "L2.OnConnected", "L1.OnConnected", "L3.OnReceive(3)", "L3.OnClose",
                 "L2.OnClose", "L1.OnClose"}),
            LayerLog());
  EXPECT_EQ(nullptr, runtime_.Qos().ContextAt(static_cast<uint32_t>(slot)));
  EXPECT_EQ(nullptr, context->Socket());
}

TEST_F(ConnectionContextTest, BytesThatCameBeforeAResetReachTheLayersBeforeTheClose) {
  Gate reset;
  ScriptedServer server(Script().WaitFor(reset).Send("last words").Reset());
  cpCQoSContext* context = Open(0, 2);
  ConnectAndWait(context, server.Port());
  reset.Open();
  // The bytes and the reset are both in before the connection hears of either.
  ASSERT_TRUE(qostest::WaitForHangUp(context->Socket()->handle));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return context->State() == QOS_ST_CLOSED; }));
  EXPECT_EQ((Log{"L2.OnConnected", "L1.OnConnected", "L2.OnReceive(10)", "L2.OnClose", "L1.OnClose"}),
            LayerLog());
  EXPECT_EQ("last words", Layer(2)->taken);
}

TEST_F(ConnectionContextTest, NoticesInOtherStatesAreIgnored) {
  testsupport::StalledPort listener;
  cpCQoSContext* context = Open(0);
  ConnectTo(context, listener.Port());
  context->OnReadable();
  context->OnWritable();
  EXPECT_EQ(QOS_ST_CONNECTING, context->State());
  EXPECT_EQ(0, context->ReceiveBuffer().Capacity());
  EXPECT_TRUE(LayerLog().empty());
}

// ---- without layers ----

void InstallLayer(const char* /*payload*/, int32_t /*length*/, void* userData) {
  qostest::PushFake(static_cast<cpCQoSContext*>(userData), false);
}

void IgnoreMessage(const char* /*payload*/, int32_t /*length*/, void* /*userData*/) {}

TEST_F(ConnectionContextTest, WithoutLayersTheBytesWaitForAStreamHandler) {
  Gate more;
  ScriptedServer server(Script().Send("hello").WaitFor(more).Send("world").Stall());
  cpCQoSContext* context = connections_.Open(QOS_ACTION_HIGH, 0);
  ASSERT_EQ(CP_S_OK, context->AddStreamHandler(1, 2, &IgnoreMessage, context));
  ConnectAndWait(context, server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return g_dispatchOffers.size() == 1; }));
  EXPECT_EQ("hello", Buffered(context));
  more.Open();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return g_dispatchOffers.size() == 2; }));
  EXPECT_EQ("helloworld", g_dispatchOffers[1]);
  EXPECT_EQ(nullptr, context->GetTopLayer());
}

TEST_F(ConnectionContextTest, WithoutLayersTheBytesAStreamHandlerTookAreDropped) {
  Gate more;
  ScriptedServer server(Script().Send("hello").WaitFor(more).Send("world").Stall());
  cpCQoSContext* context = connections_.Open(QOS_ACTION_HIGH, 0);
  ASSERT_EQ(CP_S_OK, context->AddStreamHandler(1, 2, &IgnoreMessage, context));
  ConnectAndWait(context, server.Port());
  g_dispatchConsumed = 5;
  ASSERT_TRUE(runtime_.PumpUntil([&] { return g_dispatchOffers.size() == 1; }));
  EXPECT_EQ("", Buffered(context));
  g_dispatchConsumed = 2;
  more.Open();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return g_dispatchOffers.size() == 2; }));
  EXPECT_EQ("world", g_dispatchOffers[1]) << "offered once, never again";
  EXPECT_EQ("rld", Buffered(context));
}

TEST_F(ConnectionContextTest, LayersInstalledByAStreamHandlerTakeTheBytes) {
  ScriptedServer server(Script().Send("hello").Stall());
  cpCQoSContext* context = connections_.Open(QOS_ACTION_HIGH, 0);
  ASSERT_EQ(CP_S_OK, context->AddStreamHandler(1, 2, &InstallLayer, context));
  ConnectAndWait(context, server.Port());
  ASSERT_TRUE(
      runtime_.PumpUntil([&] { return !qostest::CreatedLayers().empty() && !Layer(1)->offers.empty(); }));
  EXPECT_EQ("hello", Layer(1)->offers[0]);
  EXPECT_EQ(0, context->ReceiveBuffer().Length());
}

TEST_F(ConnectionContextTest, AStreamHandlerReportingANegativeCountClosesTheConnection) {
  ScriptedServer server(Script().Send("garbage").Stall());
  cpCQoSContext* context = connections_.Open(QOS_ACTION_HIGH, 0);
  ASSERT_EQ(CP_S_OK, context->AddStreamHandler(1, 2, &IgnoreMessage, context));
  g_dispatchConsumed = -1;
  ConnectTo(context, server.Port());
  EXPECT_TRUE(runtime_.PumpUntil([&] { return context->State() == QOS_ST_CLOSED; }));
}

// ---- the layer table and its walks ----

TEST_F(ConnectionContextTest, LayersArePushedOnTopOrAtTheBottom) {
  cpCQoSContext* context = connections_.Open(QOS_ACTION_HIGH, 0);
  void* out = nullptr;
  EXPECT_EQ(CP_E_NOTIMPL, context->QueryInterface(NW_IID_QOS_NET_STACK, &out));
  EXPECT_EQ(nullptr, context->GetTopLayer());
  FakeLayer* first = qostest::PushFake(context, false);
  FakeLayer* second = qostest::PushFake(context, false);
  FakeLayer* third = qostest::PushFake(context, true, kFakeBottomLayer);
  ASSERT_EQ(3, context->LayerCount());
  EXPECT_EQ(kFakeLayer, context->LayerClassAt(0));
  EXPECT_EQ(kFakeLayer, context->LayerClassAt(1));
  EXPECT_EQ(kFakeBottomLayer, context->LayerClassAt(2));
  EXPECT_EQ(static_cast<nvIUnknown*>(second), context->GetTopLayer());
  for (FakeLayer* layer : {first, second, third}) EXPECT_EQ(context, layer->Context());

  ASSERT_EQ(CP_S_OK, context->FindLayer(kFakeLayer, &out));
  EXPECT_EQ(static_cast<nvIUnknown*>(second), out);
  ASSERT_EQ(CP_S_OK, context->FindLayer(kFakeBottomLayer, &out));
  EXPECT_EQ(static_cast<nvIUnknown*>(third), out);
  EXPECT_EQ(CP_E_FAIL, context->FindLayer(qostest::kNoClass, &out));
  ASSERT_EQ(CP_S_OK, context->QueryInterface(NW_IID_QOS_NET_STACK, &out));
  EXPECT_EQ(static_cast<nwIQoSNetStack*>(second), out);

  // A class id that makes nothing, or an object without the layer interface, changes nothing.
  EXPECT_EQ(CP_E_FAIL, context->PushLayer(qostest::kNoClass, false));
  EXPECT_EQ(CP_E_FAIL, context->PushLayer(CLSID_cpCMutex, true));
  ASSERT_EQ(3, context->LayerCount());
  EXPECT_EQ(kFakeBottomLayer, context->LayerClassAt(2));
}

TEST_F(ConnectionContextTest, LayersHearOfTheConnectBottomUpUntilOneHoldsItBack) {
  ScriptedServer server(Script().Stall());
  cpCQoSContext* context = Open(0, 3);
  Layer(3)->connectedResult = false;
  ConnectAndWait(context, server.Port());
  EXPECT_EQ((Log{"L3.OnConnected"}), LayerLog());
  // The holding layer, done with its own work, passes the news up one layer at a time.
  Layer(3)->NotifyConnectedUp();
  EXPECT_EQ((Log{"L3.OnConnected", "L2.OnConnected"}), LayerLog());
  Layer(2)->NotifyConnectedUp();
  Layer(1)->NotifyConnectedUp();
  EXPECT_EQ((Log{"L3.OnConnected", "L2.OnConnected", "L1.OnConnected"}), LayerLog());
}

TEST_F(ConnectionContextTest, PassDownAndPassUpWalkToTheNeighbouringLayer) {
  ScriptedServer server(Script().ReadBytes(3).Stall());
  cpCQoSContext* context = Open(0, 3);
  ConnectAndWait(context, server.Port());
  LayerLog().clear();

  cpDataRef data{"abc", 3};
  ASSERT_EQ(CP_S_OK, Layer(1)->PassDown(&data));
  EXPECT_EQ((Log{"L2.Write(abc)", "L3.Write(abc)"}), LayerLog());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return server.Reads(0).size() == 1; }));
  EXPECT_EQ("abc", server.Reads(0).at(0));

  LayerLog().clear();
  Layer(2)->consume = [](const char* /*data*/, int32_t length) { return length - 1; };
  EXPECT_EQ(2, Layer(3)->PassUp("xyz", 3));
  EXPECT_EQ(7, Layer(2)->PassUp("1234567", 7));
  EXPECT_EQ(0, Layer(1)->PassUp("top", 3)) << "nothing is above the top";
  EXPECT_EQ((Log{"L2.OnReceive(3)", "L1.OnReceive(7)"}), LayerLog());

  // A layer the connection does not hold reaches nothing.
  LayerLog().clear();
  nvSmartPtr strangerObject(new FakeLayer(kFakeLayer, "stranger"));
  auto* stranger = nvCast<FakeLayer>(strangerObject.Get());
  stranger->context = context;
  EXPECT_EQ(0, stranger->PassUp("x", 1));
  stranger->PassDown(&data);
  stranger->NotifyConnectedUp();
  EXPECT_TRUE(LayerLog().empty());
  EXPECT_EQ(0, Queued(context));
  EXPECT_EQ("", SendBuffer(context));
}

TEST_F(ConnectionContextTest, TheBottomLayerPassesDownIntoTheQueue) {
  cpCQoSContext* context = Open(0, 2);
  Layer(1)->passWritesDown = false;
  cpDataRef data{"held", 4};
  Layer(2)->PassDown(&data);
  EXPECT_EQ("held", SendBuffer(context)) << "waits: not connected";
  Layer(1)->PassDown(&data);
  EXPECT_EQ((Log{"L2.Write(held)"}), LayerLog());
  EXPECT_EQ(4, Queued(context));
}

// ---- the minimum transfer rate ----

struct TrickleCase {
  const char* name;
  int32_t mask;
  std::optional<std::string> floor;  // ORBA_MIN_RATE_BYTES; nothing: the default
  int raisedAt;                      // the manager second after the connect; 0: never
};

void PrintTo(const TrickleCase& c, std::ostream* out) { *out << c.name; }

class ConnectionContextTrickleTest : public ConnectionContextTest,
                                     public ::testing::WithParamInterface<TrickleCase> {};

// A server that sends one byte every four seconds: never idle for the idle limit, yet far below
// the floor.
TEST_P(ConnectionContextTrickleTest, ATricklingPeerEndsTheWaitOnceAsAnIdleTimeOut) {
  std::atomic<int> released{0};
  Script trickle;
  for (int i = 1; i <= 20; ++i) trickle.WaitFor([&released, i] { return released.load() >= i; }).Send("x");
  ScriptedServer server(trickle.Stall());
  testsupport::ScopedEnvironment floor("ORBA_MIN_RATE_BYTES", GetParam().floor);
  cpCQoSContext* context = Open(GetParam().mask);
  int32_t idleLimit = 5;
  context->SetOption(QOS_OPT_IDLE_LIMIT, &idleLimit);
  Address(context, server.Port());
  ConnectAndWait(context, server.Port());

  int raisedAt = 0;
  for (int second = 1; second <= 70; ++second) {
    if (second % 4 == 1) {
      ++released;
      ASSERT_TRUE(
          runtime_.PumpUntil([&] { return Layer(1)->taken.size() == static_cast<size_t>(released.load()); }));
    }
    runtime_.AdvanceSeconds(1);
    if (raisedAt == 0 && Count("L1.OnEvent(4)") > 0) raisedAt = second;
  }
  EXPECT_EQ(GetParam().raisedAt, raisedAt);
  EXPECT_EQ(GetParam().raisedAt != 0 ? 1 : 0, Count("L1.OnEvent(4)")) << "once";
  EXPECT_TRUE(IsConnected(context)) << "the layers decide";
  Entries book = GetParam().raisedAt != 0 ? Entries{{kOtherAddress, false}, {kLoopback, false}}
                                          : Entries{{kLoopback, false}, {kOtherAddress, false}};
  EXPECT_EQ(book, cpAddressBookEntries("origin.test", server.Port()));
}

INSTANTIATE_TEST_SUITE_P(Floors, ConnectionContextTrickleTest,
                         ::testing::Values(TrickleCase{"DefaultFloor", kMask5, std::nullopt, 30},
                                           TrickleCase{"FloorTurnedOff", kMask5, "0", 0},
                                           TrickleCase{"WithoutTheIdleBit", QOS_EV_CONNECT_FAILED, "1024",
                                                       0}),
                         [](const ::testing::TestParamInfo<TrickleCase>& test) { return test.param.name; });

// ---- rates ----

TEST_F(ConnectionContextTest, RatesNeedTheirMaskBitsAndRestartWithEveryQuery) {
  Gate send;
  ScriptedServer server(Script().ReadBytes(1000).WaitFor(send).Send(std::string(300, 'r')).Stall());
  cpCQoSContext* context = Open(0);
  int32_t rate = -1;
  EXPECT_EQ(CP_E_FAIL, context->GetSendRate(&rate));
  EXPECT_EQ(CP_E_FAIL, context->GetReceiveRate(&rate));
  ASSERT_EQ(CP_S_OK, context->AddEvents(QOS_EV_COUNT_SENT | QOS_EV_COUNT_RECEIVED));
  EXPECT_EQ(CP_E_FAIL, context->GetSendRate(nullptr));
  ConnectAndWait(context, server.Port());

  std::string payload(1000, 'p');
  context->Send(payload.data(), static_cast<int32_t>(payload.size()));
  runtime_.AdvanceMilliseconds(500);
  ASSERT_EQ(CP_S_OK, Layer(1)->GetSendRate(&rate));
  EXPECT_EQ(2000, rate);
  ASSERT_EQ(CP_S_OK, context->GetSendRate(&rate));
  EXPECT_EQ(0, rate) << "nothing counted since the last query";

  send.Open();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Layer(1)->taken.size() == 300; }));
  runtime_.AdvanceMilliseconds(300);
  ASSERT_EQ(CP_S_OK, Layer(1)->GetReceiveRate(&rate));
  EXPECT_EQ(1000, rate);
  ASSERT_EQ(CP_S_OK, context->GetReceiveRate(&rate));
  EXPECT_EQ(0, rate);

  ASSERT_EQ(CP_S_OK, Layer(1)->RemoveEvents(QOS_EV_COUNT_SENT));
  EXPECT_EQ(CP_E_FAIL, context->GetSendRate(&rate));
  EXPECT_EQ(CP_S_OK, context->GetReceiveRate(&rate));
  ASSERT_EQ(CP_S_OK, Layer(1)->SetEventMask(QOS_EV_COUNT_SENT));
  EXPECT_EQ(QOS_EV_COUNT_SENT, context->EventMask());
}

// ---- queued events ----

TEST_F(ConnectionContextTest, AnEventMessageForAnotherSocketOfTheSlotIsIgnored) {
  testsupport::StalledPort listener;
  cpCQoSContext* context = Open(QOS_EV_CONNECT_FAILED | QOS_EV_FAILURE);
  ConnectTo(context, listener.Port());
  ASSERT_EQ(CP_S_OK, context->PostFailure());
  cpSocketRecord leftOver;  // a record the slot held before
  qostest::Deliver(cpNotifyWindowHandle(), CP_MSG_CONTEXT_EVENT,
                   static_cast<uintptr_t>(context->Socket()->slot), reinterpret_cast<intptr_t>(&leftOver));
  EXPECT_TRUE(LayerLog().empty());
  EXPECT_EQ(QOS_ST_CONNECTING, context->State());
  // The queued event is still there for the connection's own message.
  runtime_.Pump();
  EXPECT_EQ((Log{"L1.OnEvent(32)", "L1.OnClose"}), LayerLog());
}

TEST_F(ConnectionContextTest, EventsAreHandledOneMessageAtATimeInOrder) {
  testsupport::StalledPort listener;
  cpCQoSContext* context = Open(QOS_EV_CONNECT_FAILED | QOS_EV_FAILURE | QOS_EV_IDLE);
  int32_t idleLimit = 0;
  context->SetOption(QOS_OPT_IDLE_LIMIT, &idleLimit);
  ConnectTo(context, listener.Port());
  TickWithoutPump(1000);  // the idle event (limit 0) is queued
  context->PostFailure();
  runtime_.Pump();
  EXPECT_EQ((Log{"L1.OnEvent(4)", "L1.OnEvent(32)", "L1.OnClose"}), LayerLog());
}

// ---- closing ----

enum class CloseInside { kReceive, kConnected, kIdleEvent, kClose };

void PrintTo(CloseInside where, std::ostream* out) {
  switch (where) {
    case CloseInside::kReceive:
      *out << "Receive";
      return;
    case CloseInside::kConnected:
      *out << "Connected";
      return;
    case CloseInside::kIdleEvent:
      *out << "IdleEvent";
      return;
    case CloseInside::kClose:
      *out << "Close";
      return;
  }
  *out << "CloseInside" << static_cast<int>(where);
}

class ConnectionContextCloseInsideTest : public ConnectionContextTest,
                                         public ::testing::WithParamInterface<CloseInside> {};

TEST_P(ConnectionContextCloseInsideTest, ALayerMayCloseTheConnectionFromItsCallback) {
  Gate send;
  ScriptedServer server(Script().WaitFor(send).Send("data").Close());
  cpCQoSContext* context = Open(kMask5, 2);
  int32_t idleLimit = 1;
  context->SetOption(QOS_OPT_IDLE_LIMIT, &idleLimit);
  FakeLayer* bottom = Layer(2);
  switch (GetParam()) {
    case CloseInside::kReceive:
      bottom->consume = [context](const char* /*data*/, int32_t length) {
        context->Close();
        return length;
      };
      break;
    case CloseInside::kConnected:
      bottom->whenConnected = [context] { context->Close(); };
      break;
    case CloseInside::kIdleEvent:
      bottom->whenEvent = [context](int32_t code) {
        if (code == QOS_EV_IDLE) context->Close();
      };
      break;
    case CloseInside::kClose:
      bottom->whenClosed = [context] { context->Close(); };
      break;
  }
  ConnectTo(context, server.Port());
  // Only the manager's slot holds the connection now.
  connections_.Forget(context);
  platform::SocketHandle socket = context->Socket()->handle;

  switch (GetParam()) {
    case CloseInside::kReceive:
      ASSERT_TRUE(runtime_.PumpUntil([&] { return LayerLog().size() == 2; }));  // both connected
      send.Open();
      ASSERT_TRUE(qostest::WaitForUnread(socket, 4));
      // Straight from the readiness reaction, with no other reference held meanwhile.
      context->OnReadable();
      break;
    case CloseInside::kConnected:
      break;
    case CloseInside::kIdleEvent:
      ASSERT_TRUE(runtime_.PumpUntil([&] { return LayerLog().size() == 2; }));
      runtime_.AdvanceSeconds(2);
      break;
    case CloseInside::kClose:
      send.Open();
      break;
  }
  ASSERT_TRUE(runtime_.PumpUntil([&] { return qostest::DestroyedLayers().size() == 2; }))
      << "the connection and its layers go once the callback has returned";
  EXPECT_EQ(1, Count("L2.OnClose"));
  EXPECT_EQ(1, Count("L1.OnClose"));
}

INSTANTIATE_TEST_SUITE_P(Callbacks, ConnectionContextCloseInsideTest,
                         ::testing::Values(CloseInside::kReceive, CloseInside::kConnected,
                                           CloseInside::kIdleEvent, CloseInside::kClose));

TEST_F(ConnectionContextTest, ALayerMayPushAnotherLayerWhileHearingOfTheConnect) {
  ScriptedServer server(Script().Stall());
  cpCQoSContext* context = Open(0, 1);
  Layer(1)->whenConnected = [context] {
    for (int i = 0; i < 8; ++i) qostest::PushFake(context, true, kFakeBottomLayer);
  };
  ConnectAndWait(context, server.Port());
  EXPECT_EQ(9, context->LayerCount());
  EXPECT_EQ((Log{"L1.OnConnected"}), LayerLog()) << "the walk covers the layers it started with";
}

TEST_F(ConnectionContextTest, CloseInEveryStateItDoesNotApplyToDoesNothing) {
  cpCQoSContext* fresh = connections_.New();
  qostest::PushFake(fresh, false);
  fresh->Close();
  EXPECT_EQ(QOS_ST_NEW, fresh->State());
  EXPECT_TRUE(LayerLog().empty());

  cpCQoSContext* context = Open(0);
  context->Close();
  context->Close();
  context->Close(true);
  EXPECT_EQ((Log{"L2.OnClose"}), LayerLog());
  EXPECT_EQ(QOS_ST_CLOSED, context->State());
}

TEST_F(ConnectionContextTest, ALayerThatOutlivesItsConnectionNoLongerReachesIt) {
  nvSmartPtr connection;
  ASSERT_TRUE(connection.CreateInstance(CLSID_cpCQoSContext));
  FakeLayer* layer = qostest::PushFake(nvCast<cpCQoSContext>(connection.Get()), false);
  nvSmartPtr kept(static_cast<nwIQoSNetStack*>(layer));
  ASSERT_EQ(nvCast<cpCQoSContext>(connection.Get()), layer->Context());
  connection.Attach(nullptr);
  EXPECT_EQ(nullptr, layer->Context());
}

// ---- the state table ----

std::vector<std::string> g_stateTrace;
void RecordState(const char* line) { g_stateTrace.emplace_back(line); }

// The changes of the trace as "from>to", and whether any was outside the table.
std::vector<std::string> TracedChanges(bool* outsideTheTable) {
  std::vector<std::string> changes;
  for (const std::string& line : g_stateTrace) {
    EXPECT_EQ(0u, line.rfind("[TessenLib_D] ", 0)) << line;
    std::string::size_type at = line.find(" state ");
    int from = -1;
    int to = -1;
    if (at == std::string::npos || std::sscanf(line.c_str() + at, " state %d -> %d", &from, &to) != 2) {
      ADD_FAILURE() << line;
      continue;
    }
    changes.push_back(std::to_string(from) + ">" + std::to_string(to));
    if (line.find("not in the state table") != std::string::npos) *outsideTheTable = true;
  }
  g_stateTrace.clear();
  return changes;
}

TEST_F(ConnectionContextTest, EveryLifeFollowsTheStateTable) {
  using Changes = std::vector<std::string>;
  bool outside = false;
  auto traced = [this](int32_t mask) {
    cpCQoSContext* context = connections_.New();
    context->SetStateTrace(&RecordState);
    EXPECT_EQ(CP_S_OK, context->Open(QOS_ACTION_HIGH, mask, nullptr));
    qostest::PushFake(context, true);
    return context;
  };

  // An exchange: connect, send, receive, the peer closes.
  ScriptedServer server(Script().ReadBytes(4).Send("pong").Close());
  cpCQoSContext* exchange = traced(0);
  ConnectAndWait(exchange, server.Port());
  ASSERT_EQ(CP_S_OK, exchange->Send("ping", 4));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return exchange->State() == QOS_ST_CLOSED; }));
  EXPECT_EQ((Changes{"0>1", "1>2", "2>3", "3>4", "4>6", "6>8", "8>7", "7>8", "8>9", "9>10"}),
            TracedChanges(&outside));

  // A refused connect.
  testsupport::ClosedPort closed;
  cpCQoSContext* refused = traced(kMask5);
  ConnectTo(refused, closed.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return refused->State() == QOS_ST_CLOSED; }));
  EXPECT_EQ((Changes{"0>1", "1>2", "2>3", "3>5", "5>9", "9>10"}), TracedChanges(&outside));

  // A connect that completes after its time-out fired.
  ScriptedServer late(Script().Stall());
  cpCQoSContext* raced = traced(kMask5);
  int32_t timeout = 1;
  raced->SetOption(QOS_OPT_CONNECT_TIMEOUT, &timeout);
  ConnectTo(raced, late.Port());
  TickWithoutPump(1000);
  DeliverNoticeFirst(raced, platform::kFdConnect);
  runtime_.Pump();
  raced->Close();
  EXPECT_EQ((Changes{"0>1", "1>2", "2>3", "3>5", "5>4", "4>9", "9>10"}), TracedChanges(&outside));

  // A host that cannot be reached, reported after a failed open.
  cpCQoSContext* failed = traced(kMask5);
  failed->PostUnreachable();
  runtime_.Pump();
  failed->Close();
  EXPECT_EQ((Changes{"0>1", "1>2", "2>5", "5>9", "9>10"}), TracedChanges(&outside));

  EXPECT_FALSE(outside);
}

// ---- configuration ----

TEST_F(ConnectionContextTest, OpenRegistersAndSetsTheAction) {
  cpCQoSContext* context = connections_.New();
  EXPECT_EQ(CP_E_FAIL, context->SetActionLimit(0, nullptr)) << "no action before Open";
  ASSERT_EQ(CP_S_OK, context->Open(QOS_ACTION_OWN, QOS_EV_IDLE, nullptr));
  EXPECT_EQ(QOS_ST_CREATED, context->State());
  EXPECT_EQ(QOS_EV_IDLE, context->EventMask());
  EXPECT_EQ(CP_E_FAIL, context->Open(QOS_ACTION_OWN, 0, nullptr));
  ASSERT_NE(nullptr, context->Action());
  EXPECT_EQ(QOS_ACTION_OWN, context->Action()->GetType());
  int32_t limit = 5;
  EXPECT_EQ(CP_S_OK, context->SetActionLimit(0, &limit));

  cpCQoSContextAction* own = context->Action();
  EXPECT_EQ(CP_S_OK, context->SetAction(QOS_ACTION_OWN));
  EXPECT_EQ(own, context->Action()) << "the same type keeps the action";
  EXPECT_EQ(CP_S_OK, context->SetAction(QOS_ACTION_OWN_RECV));
  EXPECT_EQ(QOS_ACTION_OWN_RECV, context->Action()->GetType());
  EXPECT_EQ(CP_E_FAIL, context->SetAction(42));
  EXPECT_EQ(nullptr, context->Action());
  EXPECT_EQ(CP_E_FAIL, context->SetActionLimit(0, &limit));
  EXPECT_EQ(CP_S_OK, context->SetAction(QOS_ACTION_HIGH));
  EXPECT_EQ(QOS_ACTION_HIGH, context->Action()->GetType());

  int32_t state = -1;
  EXPECT_EQ(CP_S_OK, context->GetState(&state));
  EXPECT_EQ(QOS_ST_CREATED, state);
  EXPECT_EQ(CP_E_FAIL, context->GetState(nullptr));
}

TEST_F(ConnectionContextTest, OptionsAndTheEventMask) {
  cpCQoSContext* context = Open(QOS_EV_IDLE);
  int32_t values[5] = {7, 0, 0, 0, 0};
  EXPECT_EQ(CP_S_OK, context->SetOption(QOS_OPT_CONNECT_TIMEOUT, values));
  EXPECT_EQ(CP_S_OK, context->SetOption(QOS_OPT_IDLE_LIMIT, values));
  EXPECT_EQ(CP_S_OK, context->SetOption(QOS_OPT_TIMER, values));
  EXPECT_EQ(CP_E_FAIL, context->SetOption(2, values));
  EXPECT_EQ(CP_E_FAIL, context->SetOption(QOS_OPT_IDLE_LIMIT, nullptr));
  EXPECT_EQ(CP_S_OK, context->AddEvents(QOS_EV_FAILURE | QOS_EV_CONNECT_FAILED));
  EXPECT_EQ(QOS_EV_IDLE | QOS_EV_FAILURE | QOS_EV_CONNECT_FAILED, context->EventMask());
  EXPECT_EQ(CP_S_OK, context->RemoveEvents(QOS_EV_IDLE));
  EXPECT_EQ(QOS_EV_FAILURE | QOS_EV_CONNECT_FAILED, context->EventMask());
  EXPECT_EQ(CP_S_OK, Layer(1)->AddEvents(QOS_EV_IDLE));
  EXPECT_EQ(QOS_EV_IDLE | QOS_EV_FAILURE | QOS_EV_CONNECT_FAILED, context->EventMask());
  EXPECT_EQ(CP_S_OK, context->Rearm()) << "a registered socket can be re-armed";
  EXPECT_EQ(CP_S_OK, context->Reserved());
}

TEST_F(ConnectionContextTest, HostNamesUpTo255CharactersAreKept) {
  cpCQoSContext* context = connections_.New();
  std::string longest(255, 'h');
  ASSERT_EQ(CP_S_OK, context->SetHostName(longest.c_str()));
  char* name = nullptr;
  ASSERT_EQ(CP_S_OK, context->GetHostName(&name));
  EXPECT_EQ(longest, name);
  std::string tooLong(256, 'x');
  EXPECT_EQ(CP_E_FAIL, context->SetHostName(tooLong.c_str()));
  EXPECT_EQ(CP_E_FAIL, context->SetHostName(nullptr));
  ASSERT_EQ(CP_S_OK, context->GetHostName(&name));
  EXPECT_EQ(longest, name) << "a refused name leaves the old one";
  EXPECT_EQ(CP_E_FAIL, context->GetHostName(nullptr));
}

TEST_F(ConnectionContextTest, AddressMarksNeedAHostAPortAndAnAddress) {
  cpCQoSContext* context = connections_.New();
  uint32_t picked = 0;
  ASSERT_TRUE(cpAddressBookPick("origin.test", 443, &picked));
  EXPECT_EQ(CP_E_FAIL, context->MarkAddressFailed()) << "no host name";
  context->SetHostName("origin.test");
  EXPECT_EQ(CP_E_FAIL, context->MarkAddressFailed()) << "no address";
  cpAddress address;
  address.address = kLoopback;
  address.port = 0;
  context->SetAddress(&address);
  EXPECT_EQ(CP_E_FAIL, context->MarkAddressGood()) << "no port";
  address.port = 443;
  address.address = 0;
  context->SetAddress(&address);
  EXPECT_EQ(CP_E_FAIL, context->MarkAddressGood()) << "no address";
  EXPECT_EQ((Entries{{kLoopback, false}, {kOtherAddress, false}}), cpAddressBookEntries("origin.test", 443));

  address.address = kLoopback;
  context->SetAddress(&address);
  cpAddress* stored = nullptr;
  ASSERT_EQ(CP_S_OK, context->GetAddress(&stored));
  EXPECT_EQ(kLoopback, stored->address);
  EXPECT_EQ(443, stored->port);
  EXPECT_EQ(CP_S_OK, context->MarkAddressFailed());
  EXPECT_EQ((Entries{{kOtherAddress, false}, {kLoopback, false}}), cpAddressBookEntries("origin.test", 443));
  EXPECT_EQ(CP_S_OK, context->MarkAddressGood());
  EXPECT_EQ((Entries{{kLoopback, true}, {kOtherAddress, false}}), cpAddressBookEntries("origin.test", 443));
  EXPECT_EQ(CP_E_FAIL, context->SetAddress(nullptr));
  EXPECT_EQ(CP_E_FAIL, context->GetAddress(nullptr));
}

}  // namespace
