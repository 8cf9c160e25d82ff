// Context actions: the factory, own and shared budgets, the accounting of budgeted reads and
// writes (checked call by call), the 1 MiB stop of unlimited reads, the blocked marks, and the
// pacing they give a real connection second by second on the manual clock.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "core/cpCQoSContextAction.h"
#include "core/cpSocket.h"
#include "tests/core/QoSTestSupport.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/ScriptedServer.h"

namespace {

using qostest::FakeLayer;
using qostest::Loopback;
using testsupport::Gate;
using testsupport::Script;
using testsupport::ScriptedServer;
using Calls = std::vector<std::string>;

// An own-budget action that records every budget call and shows its counters.
class RecordingOwnAction final : public cpCQoSOwnContextAction {
 public:
  int32_t TakeReceiveBudget(int32_t n) override {
    int32_t granted = cpCQoSOwnContextAction::TakeReceiveBudget(n);
    calls.push_back("TakeReceive(" + std::to_string(n) + ")=" + std::to_string(granted));
    return granted;
  }
  int32_t TakeSendBudget(int32_t n) override {
    int32_t granted = cpCQoSOwnContextAction::TakeSendBudget(n);
    calls.push_back("TakeSend(" + std::to_string(n) + ")=" + std::to_string(granted));
    return granted;
  }
  void ReturnReceiveBudget(int32_t n) override {
    calls.push_back("ReturnReceive(" + std::to_string(n) + ")");
    cpCQoSOwnContextAction::ReturnReceiveBudget(n);
  }
  void ReturnSendBudget(int32_t n) override {
    calls.push_back("ReturnSend(" + std::to_string(n) + ")");
    cpCQoSOwnContextAction::ReturnSendBudget(n);
  }

  int32_t ReceiveLeft() const { return receiveLeft_; }
  int32_t SendLeft() const { return sendLeft_; }
  int32_t ReceivedThisSecond() const { return receivedThisSecond_; }
  int32_t SentThisSecond() const { return sentThisSecond_; }

  Calls calls;
};

struct RecordCloser {
  void operator()(cpSocketRecord* record) const {
    if (record != nullptr) cpSocketClose(record);
  }
};
using RecordPtr = std::unique_ptr<cpSocketRecord, RecordCloser>;

int64_t NowMs() { return platform::CurrentClock().NowMilliseconds(); }

// ---- the factory ----

struct TypeCase {
  int32_t type;
  bool (*isExpectedClass)(const cpCQoSContextAction*);
  bool budgeted;
};

void PrintTo(const TypeCase& c, std::ostream* out) {
  switch (c.type) {
    case QOS_ACTION_HIGH:
      *out << "High";
      return;
    case QOS_ACTION_LOWSERVER:
      *out << "LowServer";
      return;
    case QOS_ACTION_LOWSERVER_RECV:
      *out << "LowServerRecv";
      return;
    case QOS_ACTION_LOWSERVER_SEND:
      *out << "LowServerSend";
      return;
    case QOS_ACTION_OWN:
      *out << "Own";
      return;
    case QOS_ACTION_OWN_RECV:
      *out << "OwnRecv";
      return;
    case QOS_ACTION_OWN_SEND:
      *out << "OwnSend";
      return;
  }
  *out << "Type" << c.type;
}

template <class T>
bool Is(const cpCQoSContextAction* action) {
  return dynamic_cast<const T*>(action) != nullptr && typeid(*action) == typeid(T);
}

class QoSActionTypeTest : public ::testing::TestWithParam<TypeCase> {};

TEST_P(QoSActionTypeTest, TheFactoryMakesTheClassOfTheType) {
  std::unique_ptr<cpCQoSContextAction> action = cpCQoSContextAction::Create(GetParam().type);
  ASSERT_NE(nullptr, action);
  EXPECT_EQ(GetParam().type, action->GetType());
  EXPECT_TRUE(GetParam().isExpectedClass(action.get()));
  EXPECT_EQ(GetParam().budgeted, dynamic_cast<cpCQoSLowContextAction*>(action.get()) != nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Types, QoSActionTypeTest,
    ::testing::Values(TypeCase{QOS_ACTION_HIGH, &Is<cpCQoSHighContextAction>, false},
                      TypeCase{QOS_ACTION_LOWSERVER, &Is<cpCQoSLowServerContextAction>, true},
                      TypeCase{QOS_ACTION_LOWSERVER_RECV, &Is<cpCQoSLowServerReceiveOnlyContextAction>, true},
                      TypeCase{QOS_ACTION_LOWSERVER_SEND, &Is<cpCQoSLowServerSendOnlyContextAction>, true},
                      TypeCase{QOS_ACTION_OWN, &Is<cpCQoSOwnContextAction>, true},
                      TypeCase{QOS_ACTION_OWN_RECV, &Is<cpCQoSOwnReceiveOnlyContextAction>, true},
                      TypeCase{QOS_ACTION_OWN_SEND, &Is<cpCQoSOwnSendOnlyContextAction>, true}));

TEST(QoSActionTest, AnUnknownTypeMakesNoAction) {
  EXPECT_EQ(nullptr, cpCQoSContextAction::Create(0));
  EXPECT_EQ(nullptr, cpCQoSContextAction::Create(8));
  EXPECT_EQ(nullptr, cpCQoSContextAction::Create(-1));
}

TEST(QoSActionTest, TheUnlimitedActionHasNoMarksLimitsOrCounters) {
  cpCQoSHighContextAction action;
  int32_t limit = 5;
  action.SetLimit(0, &limit);
  action.SetLimit(1, &limit);
  int32_t totals[2] = {7, 9};
  action.SecondTick(totals);
  EXPECT_EQ(7, totals[0]);
  EXPECT_EQ(9, totals[1]);
  EXPECT_FALSE(action.TakeSendBlocked());
  EXPECT_FALSE(action.TakeReceiveBlocked());
}

// ---- own budgets ----

TEST(QoSActionTest, OwnBudgetsGrantWhatIsLeftAndRefillEachSecond) {
  RecordingOwnAction action;
  int32_t receiveLimit = 10000;
  int32_t sendLimit = 3000;
  action.SetLimit(0, &receiveLimit);
  action.SetLimit(1, &sendLimit);
  // A new action's first limit also fills the current second.
  EXPECT_EQ(4000, action.TakeReceiveBudget(4000));
  EXPECT_EQ(6000, action.TakeReceiveBudget(7000));
  EXPECT_EQ(0, action.TakeReceiveBudget(1));
  action.ReturnReceiveBudget(500);
  EXPECT_EQ(500, action.TakeReceiveBudget(1000));
  EXPECT_EQ(3000, action.TakeSendBudget(5000));
  action.ReturnSendBudget(1000);
  EXPECT_EQ(2000, action.SentThisSecond());

  int32_t totals[2] = {1, 2};
  action.SecondTick(totals);
  EXPECT_EQ(10001, totals[0]);
  EXPECT_EQ(2002, totals[1]);
  EXPECT_EQ(0, action.ReceivedThisSecond());
  EXPECT_EQ(0, action.SentThisSecond());
  EXPECT_EQ(10000, action.ReceiveLeft());
  EXPECT_EQ(3000, action.SendLeft());

  // Later limits take effect at the next second.
  int32_t lower = 2000;
  action.SetLimit(0, &lower);
  EXPECT_EQ(10000, action.TakeReceiveBudget(20000));
  action.SecondTick(totals);
  EXPECT_EQ(2000, action.TakeReceiveBudget(20000));
}

TEST(QoSActionTest, SettingTheLimitAgainInTheFirstSecondNeverExceedsIt) {
  RecordingOwnAction action;
  int32_t limit = 10000;
  action.SetLimit(0, &limit);
  EXPECT_EQ(10000, action.TakeReceiveBudget(10000));
  action.SetLimit(0, &limit);
  EXPECT_EQ(0, action.TakeReceiveBudget(1)) << "this second's 10000 bytes are spent";
  int32_t higher = 15000;
  action.SetLimit(0, &higher);
  EXPECT_EQ(5000, action.TakeReceiveBudget(10000));
  int32_t lower = 4000;
  action.SetLimit(0, &lower);
  EXPECT_EQ(0, action.TakeReceiveBudget(1));
  int32_t negative = -7;
  action.SetLimit(1, &negative);
  EXPECT_EQ(0, action.TakeSendBudget(1));
  action.SetLimit(0, nullptr);
  action.SetLimit(2, &limit);
  int32_t totals[2] = {0, 0};
  action.SecondTick(totals);
  EXPECT_EQ(4000, action.TakeReceiveBudget(10000));
}

TEST(QoSActionTest, OneWayActionsGrantTheOtherWayInFull) {
  int32_t zero = 0;
  cpCQoSOwnReceiveOnlyContextAction receiveOnly;
  receiveOnly.SetLimit(1, &zero);
  EXPECT_EQ(123456, receiveOnly.TakeSendBudget(123456));
  receiveOnly.ReturnSendBudget(99);
  EXPECT_EQ(0, receiveOnly.TakeReceiveBudget(1));

  cpCQoSOwnSendOnlyContextAction sendOnly;
  sendOnly.SetLimit(0, &zero);
  EXPECT_EQ(123456, sendOnly.TakeReceiveBudget(123456));
  EXPECT_EQ(0, sendOnly.TakeSendBudget(1));
}

TEST(QoSActionTest, SharedBudgetsComeFromTheManager) {
  testsupport::CoreRuntime runtime;
  cpCQoSLowServerContextAction shared;
  EXPECT_EQ(0, shared.TakeReceiveBudget(1024)) << "no second has started";
  runtime.Qos().Tick();
  EXPECT_EQ(1024, shared.TakeReceiveBudget(1024));
  EXPECT_EQ(4096, shared.TakeSendBudget(4096));
  shared.ReturnSendBudget(96);
  EXPECT_EQ(cpCQoS::kDefaultLimit - 1024, runtime.Qos().TakeReceiveBudget(cpCQoS::kDefaultLimit));
  EXPECT_EQ(cpCQoS::kDefaultLimit - 4000, runtime.Qos().TakeSendBudget(cpCQoS::kDefaultLimit));

  runtime.Qos().Tick();
  cpCQoSLowServerReceiveOnlyContextAction receiveOnly;
  EXPECT_EQ(777, receiveOnly.TakeSendBudget(777));
  cpCQoSLowServerSendOnlyContextAction sendOnly;
  EXPECT_EQ(888, sendOnly.TakeReceiveBudget(888));
  EXPECT_EQ(cpCQoS::kDefaultLimit, runtime.Qos().TakeSendBudget(cpCQoS::kDefaultLimit));
  EXPECT_EQ(cpCQoS::kDefaultLimit, runtime.Qos().TakeReceiveBudget(cpCQoS::kDefaultLimit));
}

// ---- reads and writes on a real socket ----

class QoSActionIoTest : public ::testing::Test {
 protected:
  // A non-blocking socket connected to `server` (not registered with the manager).
  RecordPtr ConnectTo(const ScriptedServer& server) {
    cpSocketRecord* record = nullptr;
    EXPECT_EQ(CP_S_OK, cpSocketCreate(&record, 0));
    cpAddress address = Loopback(server.Port());
    EXPECT_EQ(CP_S_OK, cpSocketConnect(record, &address));
    EXPECT_EQ(CP_S_OK, cpSocketSetBlocking(record, false));
    return RecordPtr(record);
  }

  void Bind(cpCQoSContextAction& action, cpSocketRecord* record) {
    action.Bind(record, &current_, &receive_);
  }

  void SetBlock(const std::string& bytes) {
    current_ = cpSendBlock::Copy(bytes.data(), static_cast<int32_t>(bytes.size()));
  }

  std::string Buffered() const {
    return std::string(receive_.Data(), static_cast<size_t>(receive_.Length()));
  }

  testsupport::CoreRuntime runtime_{true};
  std::unique_ptr<cpSendBlock> current_;
  cpReceiveBuffer receive_;
};

TEST_F(QoSActionIoTest, ABudgetedReadOf100BytesGivesBackTheUnusedPartOfItsGrant) {
  ScriptedServer server(Script().Send(std::string(100, 'r')).Stall());
  RecordPtr record = ConnectTo(server);
  RecordingOwnAction action;
  Bind(action, record.get());
  int32_t limit = 10000;
  action.SetLimit(0, &limit);
  ASSERT_TRUE(qostest::WaitForUnread(record->handle, 100));
  EXPECT_EQ(100, action.Receive());
  // One read of up to a whole piece, granted what is left of the second; a short read ends it.
  EXPECT_EQ((Calls{"TakeReceive(65536)=10000", "ReturnReceive(9900)"}), action.calls);
  EXPECT_EQ(9900, action.ReceiveLeft());
  EXPECT_EQ(100, action.ReceivedThisSecond());
  EXPECT_EQ(std::string(100, 'r'), Buffered());
  EXPECT_FALSE(action.TakeReceiveBlocked());
}

TEST_F(QoSActionIoTest, ABudgetedWriteOf100BytesKeepsItsWholeGrant) {
  ScriptedServer server(Script().ReadBytes(100).Stall());
  RecordPtr record = ConnectTo(server);
  RecordingOwnAction action;
  Bind(action, record.get());
  int32_t limit = 10000;
  action.SetLimit(1, &limit);
  // The socket takes 100 bytes, then it is full.
  platform::SocketLimitSendRoomForTesting(record->handle, 100);
  SetBlock(std::string(8000, 's'));
  int32_t sent = -1;
  EXPECT_TRUE(action.Send(&sent));
  EXPECT_EQ(100, sent);
  EXPECT_EQ(100, current_->offset);
  EXPECT_EQ((Calls{"TakeSend(4096)=4096", "TakeSend(4096)=4096", "ReturnSend(4096)"}), action.calls);
  EXPECT_EQ(10000 - 4096, action.SendLeft());
  EXPECT_EQ(4096, action.SentThisSecond());
  EXPECT_FALSE(action.TakeSendBlocked()) << "a full socket is not a spent budget";
  ASSERT_TRUE(testsupport::WaitUntil([&] { return server.Reads(0).size() == 1; }));
  EXPECT_EQ(std::string(100, 's'), server.Reads(0).at(0));
}

TEST_F(QoSActionIoTest, APartialSharedWriteKeepsTheManagersGrant) {
  ScriptedServer server(Script().Stall());
  RecordPtr record = ConnectTo(server);
  cpCQoSLowServerContextAction action;
  Bind(action, record.get());
  runtime_.Qos().Tick();
  platform::SocketLimitSendRoomForTesting(record->handle, 100);
  SetBlock(std::string(8000, 's'));
  int32_t sent = 0;
  EXPECT_TRUE(action.Send(&sent));
  EXPECT_EQ(100, sent);
  EXPECT_EQ(cpCQoS::kDefaultLimit - 4096, runtime_.Qos().TakeSendBudget(cpCQoS::kDefaultLimit));
}

TEST_F(QoSActionIoTest, BudgetedWritesGoOutInChunksOfAtMost4096Bytes) {
  ScriptedServer server(Script().ReadBytes(10000).Stall());
  RecordPtr record = ConnectTo(server);
  RecordingOwnAction action;
  Bind(action, record.get());
  int32_t limit = 100000;
  action.SetLimit(1, &limit);
  SetBlock(std::string(10000, 'c'));
  int32_t sent = 0;
  EXPECT_TRUE(action.Send(&sent));
  EXPECT_EQ(10000, sent);
  EXPECT_TRUE(current_->Complete());
  EXPECT_EQ((Calls{"TakeSend(4096)=4096", "TakeSend(4096)=4096", "TakeSend(1808)=1808"}), action.calls);
  EXPECT_TRUE(testsupport::WaitUntil([&] { return server.Reads(0).size() == 1; }));
}

TEST_F(QoSActionIoTest, ASpentSendBudgetMarksTheActionBlockedUntilTheMarkIsTaken) {
  ScriptedServer server(Script().Stall());
  RecordPtr record = ConnectTo(server);
  RecordingOwnAction action;
  Bind(action, record.get());
  int32_t limit = 1000;
  action.SetLimit(1, &limit);
  SetBlock(std::string(3000, 'b'));
  int32_t sent = 0;
  EXPECT_TRUE(action.Send(&sent));
  EXPECT_EQ(1000, sent);
  EXPECT_EQ((Calls{"TakeSend(3000)=1000", "TakeSend(2000)=0"}), action.calls);
  // Marked: nothing is asked or written, even after a new second filled the budget.
  int32_t totals[2] = {0, 0};
  action.SecondTick(totals);
  EXPECT_TRUE(action.Send(&sent));
  EXPECT_EQ(0, sent);
  EXPECT_EQ(2u, action.calls.size());
  EXPECT_TRUE(action.TakeSendBlocked());
  EXPECT_FALSE(action.TakeSendBlocked());
  EXPECT_TRUE(action.Send(&sent));
  EXPECT_EQ(1000, sent);
  EXPECT_EQ(2000, current_->offset);
}

TEST_F(QoSActionIoTest, ASpentReceiveBudgetMarksTheActionBlockedAndLeavesTheBytesUnread) {
  ScriptedServer server(Script().Send(std::string(3000, 'x')).Stall());
  RecordPtr record = ConnectTo(server);
  RecordingOwnAction action;
  Bind(action, record.get());
  int32_t limit = 1000;
  action.SetLimit(0, &limit);
  ASSERT_TRUE(qostest::WaitForUnread(record->handle, 3000));
  EXPECT_EQ(1000, action.Receive());
  EXPECT_EQ((Calls{"TakeReceive(65536)=1000", "TakeReceive(65536)=0"}), action.calls);
  EXPECT_EQ(2000, qostest::UnreadBytes(record->handle));
  EXPECT_EQ(0, action.Receive());
  EXPECT_TRUE(action.TakeReceiveBlocked());
  EXPECT_FALSE(action.TakeReceiveBlocked());
}

TEST_F(QoSActionIoTest, SharedBudgetsMoveNothingBeforeTheFirstSecond) {
  ScriptedServer server(Script().Send("waiting").Stall());
  RecordPtr record = ConnectTo(server);
  cpCQoSLowServerContextAction action;
  Bind(action, record.get());
  ASSERT_TRUE(qostest::WaitForUnread(record->handle, 7));
  EXPECT_EQ(0, action.Receive());
  EXPECT_TRUE(action.TakeReceiveBlocked());
  SetBlock("data");
  int32_t sent = -1;
  EXPECT_TRUE(action.Send(&sent));
  EXPECT_EQ(0, sent);
  EXPECT_TRUE(action.TakeSendBlocked());
}

TEST_F(QoSActionIoTest, AHardSocketErrorFailsTheSend) {
  Gate reset;
  ScriptedServer server(Script().WaitFor(reset).Reset());
  RecordPtr record = ConnectTo(server);
  reset.Open();
  ASSERT_TRUE(qostest::WaitForHangUp(record->handle));
  SetBlock("after the reset");

  RecordingOwnAction budgeted;
  Bind(budgeted, record.get());
  int32_t limit = 10000;
  budgeted.SetLimit(1, &limit);
  int32_t sent = 0;
  EXPECT_FALSE(budgeted.Send(&sent));
  EXPECT_EQ((Calls{"TakeSend(15)=15", "ReturnSend(15)"}), budgeted.calls);
  EXPECT_EQ(10000, budgeted.SendLeft());

  cpCQoSHighContextAction unlimited;
  Bind(unlimited, record.get());
  EXPECT_FALSE(unlimited.Send(&sent));
  EXPECT_EQ(0, current_->offset);
}

TEST_F(QoSActionIoTest, TheUnlimitedWriteSendsUntilTheSocketIsFull) {
  ScriptedServer server(Script().ReadBytes(10000).Stall());
  RecordPtr record = ConnectTo(server);
  cpCQoSHighContextAction action;
  Bind(action, record.get());
  int32_t sent = -1;
  EXPECT_TRUE(action.Send(&sent)) << "no block";
  EXPECT_EQ(0, sent);
  SetBlock("");
  EXPECT_TRUE(action.Send(&sent)) << "an empty block";
  EXPECT_EQ(0, sent);

  platform::SocketLimitSendRoomForTesting(record->handle, 6000);
  SetBlock(std::string(10000, 'u'));
  EXPECT_TRUE(action.Send(&sent));
  EXPECT_EQ(6000, sent);
  EXPECT_EQ(6000, current_->offset);
  platform::SocketLimitSendRoomForTesting(record->handle, -1);
  EXPECT_TRUE(action.Send(&sent));
  EXPECT_EQ(4000, sent);
  EXPECT_TRUE(current_->Complete());
  EXPECT_TRUE(testsupport::WaitUntil([&] { return server.Reads(0).size() == 1; }));
}

TEST_F(QoSActionIoTest, TheReceiveBufferGrowsByDoublingAndIsReadIntoInPieces) {
  Gate more;
  ScriptedServer server(
      Script().Send(std::string(3000, 'g')).WaitFor(more).Send(std::string(100000, 'h')).Stall());
  RecordPtr record = ConnectTo(server);
  cpCQoSHighContextAction action;
  Bind(action, record.get());
  ASSERT_TRUE(qostest::WaitForUnread(record->handle, 3000));
  EXPECT_EQ(3000, action.Receive());
  EXPECT_EQ(3000, receive_.Length());
  EXPECT_EQ(cpCQoSContextAction::kReadPiece, receive_.Capacity()) << "doubled from 1024 to hold one piece";
  more.Open();
  ASSERT_TRUE(qostest::WaitForUnread(record->handle, 100000));
  // The room left is filled first, then the buffer doubles once for the rest.
  EXPECT_EQ(100000, action.Receive());
  EXPECT_EQ(103000, receive_.Length());
  EXPECT_EQ(2 * cpCQoSContextAction::kReadPiece, receive_.Capacity());
  EXPECT_EQ(std::string(3000, 'g') + std::string(100000, 'h'), Buffered());
}

TEST_F(QoSActionIoTest, AnUnlimitedReadStopsOnceOneMebibyteIsBuffered) {
  Gate sent;
  ScriptedServer server(Script().Send(std::string(16384, 'm')).Notify(sent).Stall());
  RecordPtr record = ConnectTo(server);
  cpCQoSHighContextAction action;
  Bind(action, record.get());
  std::string earlier(cpCQoSContextAction::kReadStop - 1024, 'e');
  receive_.Append(earlier.data(), static_cast<int32_t>(earlier.size()));
  ASSERT_TRUE(sent.WaitOpen());
  ASSERT_TRUE(qostest::WaitForUnread(record->handle, 16384));

  EXPECT_EQ(1024, action.Receive());
  EXPECT_EQ(cpCQoSContextAction::kReadStop, receive_.Length());
  EXPECT_EQ(16384 - 1024, qostest::UnreadBytes(record->handle)) << "more waits, unread";
  // The next readiness notice reads on (one chunk, since the buffer is still full).
  EXPECT_EQ(1024, action.Receive());
  EXPECT_EQ(cpCQoSContextAction::kReadStop + 1024, receive_.Length());
  EXPECT_EQ(2 * cpCQoSContextAction::kReadStop, receive_.Capacity());
}

TEST_F(QoSActionIoTest, ABudgetedReadAlsoStopsOnceOneMebibyteIsBufferedAndReadsOnLater) {
  // A whole second of a fast line (here 16 MiB of budget) is not gathered in memory at once.
  Gate sent;
  ScriptedServer server(Script().Send(std::string(16384, 'm')).Notify(sent).Stall());
  RecordPtr record = ConnectTo(server);
  RecordingOwnAction action;
  Bind(action, record.get());
  int32_t limit = 1 << 24;
  action.SetLimit(0, &limit);
  std::string earlier(cpCQoSContextAction::kReadStop - 1024, 'e');
  receive_.Append(earlier.data(), static_cast<int32_t>(earlier.size()));
  ASSERT_TRUE(sent.WaitOpen());
  ASSERT_TRUE(qostest::WaitForUnread(record->handle, 16384));
  EXPECT_EQ(1024, action.Receive());
  EXPECT_EQ(16384 - 1024, qostest::UnreadBytes(record->handle));
  EXPECT_FALSE(action.TakeReceiveBlocked());  // stopped for memory, not for budget
  // Once the layers have taken the data, the next notice reads the rest within the same budget.
  receive_.Free();
  EXPECT_EQ(16384 - 1024, action.Receive());
  EXPECT_EQ(0, qostest::UnreadBytes(record->handle));
}

// ---- pacing of a real connection, second by second ----

class QoSPacingTest : public ::testing::Test {
 protected:
  QoSPacingTest() {
    qostest::RegisterFakeLayers();
    qostest::ResetFakeLayers();
  }

  // Opens a connection with the action and its limits (0 for none), pushes a recording layer and
  // connects it to `server`.
  cpCQoSContext* Connect(const ScriptedServer& server, int32_t actionType, int32_t receiveLimit,
                         int32_t sendLimit) {
    cpCQoSContext* context = connections_.Open(actionType, 0);
    if (receiveLimit > 0) {
      EXPECT_EQ(CP_S_OK, context->SetActionLimit(0, &receiveLimit));
    }
    if (sendLimit > 0) {
      EXPECT_EQ(CP_S_OK, context->SetActionLimit(1, &sendLimit));
    }
    layer_ = qostest::PushFake(context, false);
    layer_->consume = [this](const char* /*data*/, int32_t length) {
      deliveries_.emplace_back(NowMs(), length);
      return length;
    };
    cpAddress address = Loopback(server.Port());
    EXPECT_EQ(CP_S_OK, context->Connect(&address));
    EXPECT_TRUE(runtime_.PumpUntil(
        [&] { return context->State() == QOS_ST_CONNECTED || context->State() == QOS_ST_READY; }));
    return context;
  }

  size_t Taken() const { return layer_->taken.size(); }

  // Bytes delivered in each manager second (the seconds start where the runtime's clock did).
  std::map<int64_t, int64_t> BytesPerSecond() const {
    std::map<int64_t, int64_t> seconds;
    for (const auto& [time, length] : deliveries_) seconds[(time - kStart) / 1000] += length;
    return seconds;
  }

  static size_t Received(const ScriptedServer& server) { return server.Received(0).size(); }

  static std::string SendBufferHead(cpCQoSContext* context) {
    const char* data = nullptr;
    int32_t size = 0;
    context->GetSendBuffer(&data, &size);
    return data == nullptr ? "" : std::string(data, 1) + ":" + std::to_string(size);
  }
  static int32_t Queued(cpCQoSContext* context) {
    int32_t queued = -1;
    context->GetQueuedBytes(&queued);
    return queued;
  }

  static constexpr int64_t kStart = 1'700'000'000'000;  // the runtime's manual clock starts here
  testsupport::CoreRuntime runtime_{true};
  qostest::Connections connections_;
  FakeLayer* layer_ = nullptr;
  std::vector<std::pair<int64_t, int32_t>> deliveries_;
};

TEST_F(QoSPacingTest, AnOwnReceiveOnlyConnectionReadsAtMostItsLimitEachSecondAndSendsFreely) {
  const std::string upload(200000, 'u');
  ScriptedServer server(Script().ReadBytes(upload.size()).Send(std::string(60000, 'd')).Stall());
  ASSERT_EQ(kStart, NowMs());
  cpCQoSContext* context = Connect(server, QOS_ACTION_OWN_RECV, 10000, 0);

  ASSERT_EQ(CP_S_OK, context->Send(upload.data(), static_cast<int32_t>(upload.size())));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Received(server) == upload.size(); }))
      << "sending is not limited";
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Taken() == 10000; }));
  runtime_.Pump();
  EXPECT_EQ(10000u, Taken());

  for (size_t second = 1; second <= 4; ++second) {
    runtime_.AdvanceSeconds(1);
    ASSERT_TRUE(runtime_.PumpUntil([&] { return Taken() == 10000 * (second + 1); })) << second;
    runtime_.Pump();
    EXPECT_EQ(10000 * (second + 1), Taken()) << second;
  }
  std::map<int64_t, int64_t> perSecond = BytesPerSecond();
  EXPECT_EQ(5u, perSecond.size());
  for (const auto& [second, bytes] : perSecond) EXPECT_EQ(10000, bytes) << "second " << second;
}

TEST_F(QoSPacingTest, AnOwnSendOnlyConnectionWritesAtMostItsLimitEachSecondAndReadsFreely) {
  ScriptedServer server(Script().Send(std::string(50000, 'd')).ReadToEnd());
  cpCQoSContext* context = Connect(server, QOS_ACTION_OWN_SEND, 0, 10000);
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Taken() == 50000; })) << "reading is not limited";

  for (char block = '1'; block <= '5'; ++block) {
    std::string bytes(5000, block);
    ASSERT_EQ(CP_S_OK, context->Send(bytes.data(), static_cast<int32_t>(bytes.size())));
  }
  EXPECT_EQ("3:5000", SendBufferHead(context));
  EXPECT_EQ(10000, Queued(context));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Received(server) == 10000; }));
  runtime_.Pump();
  EXPECT_EQ("3:5000", SendBufferHead(context));

  runtime_.AdvanceSeconds(1);
  EXPECT_EQ("5:5000", SendBufferHead(context));
  EXPECT_EQ(0, Queued(context));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Received(server) == 20000; }));

  runtime_.AdvanceSeconds(1);
  EXPECT_EQ("", SendBufferHead(context));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Received(server) == 25000; }));
  runtime_.AdvanceSeconds(1);
  runtime_.Pump();
  EXPECT_EQ(25000u, Received(server));
}

TEST_F(QoSPacingTest, WithBothWaysBlockedTheTickResumesReceivingFirst) {
  ScriptedServer server(Script().Send(std::string(1500, 'r')).ReadToEnd());
  cpCQoSContext* context = Connect(server, QOS_ACTION_OWN, 1000, 1000);
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Taken() == 1000; }));
  for (char block = '1'; block <= '3'; ++block) {
    std::string bytes(1000, block);
    ASSERT_EQ(CP_S_OK, context->Send(bytes.data(), static_cast<int32_t>(bytes.size())));
  }
  // Second 0: both budgets spent, both ways marked blocked.
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Received(server) == 1000; }));
  runtime_.Pump();
  EXPECT_EQ(1000u, Taken());
  EXPECT_EQ("2:1000", SendBufferHead(context));
  EXPECT_EQ(1000, Queued(context));

  // Second 1: only the receive mark is taken; sending stays stopped.
  runtime_.AdvanceSeconds(1);
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Taken() == 1500; }));
  runtime_.Pump();
  EXPECT_EQ("2:1000", SendBufferHead(context));
  EXPECT_EQ(1000, Queued(context));

  // Second 2: the send mark is taken and one more budget goes out.
  runtime_.AdvanceSeconds(1);
  EXPECT_EQ("3:1000", SendBufferHead(context));
  EXPECT_EQ(0, Queued(context));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Received(server) == 2000; }));

  runtime_.AdvanceSeconds(1);
  EXPECT_EQ("", SendBufferHead(context));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return Received(server) == 3000; }));
  EXPECT_EQ(std::string(1000, '1') + std::string(1000, '2') + std::string(1000, '3'), server.Received(0));
}

}  // namespace
