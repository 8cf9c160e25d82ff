// The relay layer on a real connection: the report frame on the wire, the reply, and what closes.
#include "net/nwCAgentLayer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/cpCQoSContext.h"
#include "net/nwRegisterClasses.h"
#include "platform/Socket.h"
#include "protocol/nwFrame.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/ScriptedServer.h"

namespace {

using testsupport::Script;
using testsupport::ScriptedServer;

constexpr nwListenerCookie kCookie = 0x5eed;

struct AgentRecorder final : nwIAgentListener {
  std::vector<std::string> events;
  std::vector<uint8_t> replies;
  std::vector<nwListenerCookie> cookies;

  void OnAgentConnected(nwListenerCookie cookie) override { Add("connected", cookie); }
  void OnAgentReply(nwListenerCookie cookie, uint8_t result) override {
    replies.push_back(result);
    Add("reply", cookie);
  }
  void OnAgentClosed(nwListenerCookie cookie) override { Add("closed", cookie); }
  void OnAgentConnectFailed(nwListenerCookie cookie) override { Add("connect-failed", cookie); }
  void OnAgentIdle(nwListenerCookie cookie) override { Add("idle", cookie); }

  int Count(const std::string& name) const {
    int n = 0;
    for (const std::string& event : events) n += event == name ? 1 : 0;
    return n;
  }

 private:
  void Add(const char* name, nwListenerCookie cookie) {
    events.emplace_back(name);
    cookies.push_back(cookie);
  }
};

std::string Frame(uint16_t group, uint16_t type, const std::string& payload) {
  return nwBuildFrame(group, type, payload.data(), static_cast<int32_t>(payload.size()));
}

uint32_t ReadLe32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
  return value;
}

// Two records whose bytes tell them apart: record r, byte i = (r * 7 + i) mod 251.
std::vector<uint8_t> Records(int count) {
  std::vector<uint8_t> bytes(static_cast<size_t>(count) * kAgentRecordSize);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>((i / kAgentRecordSize * 7 + i) % 251);
  return bytes;
}

class AgentLayerTest : public ::testing::Test {
 protected:
  explicit AgentLayerTest(bool manualClock = false) : runtime_(manualClock) { nwRegisterClasses(); }

  ~AgentLayerTest() override {
    if (context_) {
      if (layer_ != nullptr) layer_->SetListener(nullptr, 0);
      nvCast<nvIQoSContext>(context_.Get())->Close();
    }
  }

  // A connection with the agent layer on top, as the reporter opens it, connecting to `port`.
  void Open(uint16_t port) {
    ASSERT_TRUE(context_.CreateInstance(CLSID_cpCQoSContext));
    auto* connection = nvCast<cpCQoSContext>(context_.Get());
    ASSERT_EQ(CP_S_OK, connection->Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED | QOS_EV_IDLE, nullptr));
    ASSERT_EQ(CP_S_OK, connection->PushLayer(CLSID_nwCAgentLayer, false));
    int32_t five = 5;
    connection->SetOption(QOS_OPT_CONNECT_TIMEOUT, &five);
    connection->SetOption(QOS_OPT_IDLE_LIMIT, &five);
    layer_ = static_cast<nvIAgentLayer*>(connection->GetTopLayer());
    ASSERT_NE(nullptr, layer_);
    ASSERT_EQ(NW_S_OK, layer_->SetListener(&recorder_, kCookie));
    cpAddress address = testsupport::LoopbackAddress(port);
    ASSERT_EQ(CP_S_OK, connection->Connect(&address));
  }

  cpCQoSContext* Connection() const { return nvCast<cpCQoSContext>(context_.Get()); }

  testsupport::CoreRuntime runtime_;
  AgentRecorder recorder_;
  nvSmartPtr context_;
  nvIAgentLayer* layer_ = nullptr;
};

class AgentLayerManualClockTest : public AgentLayerTest {
 protected:
  AgentLayerManualClockTest() : AgentLayerTest(true) {}
};

TEST_F(AgentLayerTest, ReportOfTwoRecordsIsOneFrameOf616BytesWithLengthField602) {
  ScriptedServer server(Script().ReadBytes(616).Stall());
  Open(server.Port());
  std::vector<uint8_t> records = Records(2);
  nwAgentReport report{2, records.data()};
  // Passed down before the connection completes: it waits in the send queue.
  ASSERT_EQ(NW_S_OK, layer_->SendReport(&report));
  ASSERT_TRUE(server.WaitForConnections(1));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return server.Reads(0).size() == 1; }));
  std::string wire = server.Reads(0)[0];
  ASSERT_EQ(616u, wire.size());
  EXPECT_EQ('\x00', wire[0]);
  EXPECT_EQ('\x03', wire[1]);
  EXPECT_EQ('\x9A', wire[2]);
  EXPECT_EQ('\x00', wire[3]);
  EXPECT_EQ(std::string(6, '\0'), wire.substr(4, 6));
  EXPECT_EQ(602u, ReadLe32(wire, 10));
  EXPECT_EQ(2u, ReadLe32(wire, 14));
  EXPECT_EQ(std::string(records.begin(), records.end()), wire.substr(18, 596));
  EXPECT_EQ(std::string(2, '\0'), wire.substr(614, 2));
  EXPECT_EQ(1, recorder_.Count("connected"));
  EXPECT_EQ(kCookie, recorder_.cookies.front());
}

TEST_F(AgentLayerTest, EmptyReportCarriesTheCountOnly) {
  ScriptedServer server(Script().ReadBytes(24).Stall());
  Open(server.Port());
  nwAgentReport report{0, nullptr};
  ASSERT_EQ(NW_S_OK, layer_->SendReport(&report));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return server.Reads(0).size() == 1; }));
  std::string wire = server.Reads(0)[0];
  EXPECT_EQ(10u, ReadLe32(wire, 10));  // 4 bytes of count, 6 of padding
  EXPECT_EQ(0u, ReadLe32(wire, 14));
  EXPECT_EQ(std::string(6, '\0'), wire.substr(18, 6));
}

TEST_F(AgentLayerTest, UnusableReportsAreRefused) {
  ScriptedServer server(Script().Stall());
  Open(server.Port());
  std::vector<uint8_t> records = Records(1);
  nwAgentReport negative{-1, records.data()};
  nwAgentReport missing{1, nullptr};
  nwAgentReport huge{0x7FFFFFFF, records.data()};
  EXPECT_EQ(NW_E_FAIL, layer_->SendReport(nullptr));
  EXPECT_EQ(NW_E_FAIL, layer_->SendReport(&negative));
  EXPECT_EQ(NW_E_FAIL, layer_->SendReport(&missing));
  EXPECT_EQ(NW_E_FAIL, layer_->SendReport(&huge));
}

TEST_F(AgentLayerTest, ReplyOfTypeOneThirtyOneGivesItsFirstByte) {
  // Length field 2: one result byte and one byte of padding.
  std::string reply = Frame(kAgentGroup, kAgentReplyType, "\x07");
  ASSERT_EQ(16u, reply.size());
  ASSERT_EQ(2u, ReadLe32(reply, 10));
  ScriptedServer server(Script().Send(reply).Stall());
  Open(server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return !recorder_.replies.empty(); }));
  EXPECT_EQ(std::vector<uint8_t>{7}, recorder_.replies);
  EXPECT_EQ(0, recorder_.Count("closed"));
  EXPECT_NE(QOS_ST_CLOSED, Connection()->State());
}

TEST_F(AgentLayerTest, TwoRepliesInOneReceiveAreBothDelivered) {
  ScriptedServer server(Script()
                            .Send(Frame(kAgentGroup, kAgentReplyType, "\x01") +
                                  Frame(kAgentGroup, kAgentReplyType, std::string("\x02zzzz", 5)))
                            .Stall());
  Open(server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.replies.size() == 2; }));
  EXPECT_EQ((std::vector<uint8_t>{1, 2}), recorder_.replies);
}

TEST_F(AgentLayerTest, AnyOtherTypeClosesTheConnection) {
  // The reply behind the unknown frame is never dispatched.
  ScriptedServer server(
      Script().Send(Frame(kAgentGroup, 130, "\x01") + Frame(kAgentGroup, kAgentReplyType, "\x05")).Stall());
  Open(server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("closed") == 1; }));
  EXPECT_TRUE(recorder_.replies.empty());
  EXPECT_EQ(QOS_ST_CLOSED, Connection()->State());
}

TEST_F(AgentLayerTest, OtherGroupClosesTheConnection) {
  ScriptedServer server(Script().Send(Frame(0x0100, kAgentReplyType, "\x05")).Stall());
  Open(server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("closed") == 1; }));
  EXPECT_TRUE(recorder_.replies.empty());
}

TEST_F(AgentLayerTest, RefusedConnectReportsConnectFailedThenClosed) {
  testsupport::ClosedPort closed;
  Open(closed.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("closed") == 1; }));
  EXPECT_EQ((std::vector<std::string>{"connect-failed", "closed"}), recorder_.events);
}

TEST_F(AgentLayerTest, ClosedLayerForgetsItsListener) {
  ScriptedServer server(Script().Stall());
  Open(server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("connected") == 1; }));
  Connection()->Close();
  EXPECT_EQ(1, recorder_.Count("closed"));
  Connection()->Close();
  EXPECT_EQ(1, recorder_.Count("closed"));
}

TEST_F(AgentLayerManualClockTest, SilentServerRaisesIdleAndTheLayerLeavesTheConnectionOpen) {
  ScriptedServer server(ScriptedServer::AcceptNothing{});
  Open(server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("connected") == 1; }));
  runtime_.AdvanceSeconds(7);
  EXPECT_EQ(1, recorder_.Count("idle"));
  EXPECT_EQ(0, recorder_.Count("closed"));
  EXPECT_NE(QOS_ST_CLOSED, Connection()->State());
}

}  // namespace
