// The relay reporter against a scripted relay server on loopback.
#include "pipeline/CPlatformReporter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "net/nwRegisterClasses.h"
#include "platform/Socket.h"
#include "protocol/nwFrame.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScopedResolver.h"
#include "tests/support/ScriptedServer.h"

namespace {

using testsupport::Gate;
using testsupport::ScopedEnvironment;
using testsupport::Script;
using testsupport::ScriptedConnection;
using testsupport::ScriptedServer;

// The frame of a report of `records` files.
constexpr size_t FrameSize(size_t records) {
  return static_cast<size_t>(
      nwRoundUp8(static_cast<int64_t>(kFrameHeaderSize + 4 + records * FileReportEntry::kSize)));
}

std::vector<FileReportEntry> Report(std::vector<int64_t> received) {
  std::vector<FileReportEntry> entries(received.size());
  for (size_t i = 0; i < received.size(); ++i) {
    entries[i].Fill("ORBA-SVC", "http://content.example/file" + std::to_string(received[i]), received[i]);
  }
  return entries;
}

uint32_t ReadLe32(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[offset + i])) << (8 * i);
  return value;
}

struct ParsedFrame {
  uint16_t group = 0;
  uint16_t type = 0;
  std::vector<int64_t> received;  // of each record
  std::string records;            // the record bytes as sent
};

// Cuts a byte stream into report frames.
std::vector<ParsedFrame> ParseFrames(const std::string& bytes) {
  std::vector<ParsedFrame> frames;
  size_t at = 0;
  while (at + kFrameHeaderSize <= bytes.size()) {
    nwFrameHeader header = nwDecodeFrameHeader(bytes.data() + at);
    ParsedFrame frame;
    frame.group = header.group;
    frame.type = header.type;
    uint32_t count = ReadLe32(bytes, at + kFrameHeaderSize);
    frame.records = bytes.substr(at + kFrameHeaderSize + 4, count * FileReportEntry::kSize);
    for (uint32_t i = 0; i < count; ++i) {
      FileReportEntry entry;
      std::copy_n(frame.records.data() + i * FileReportEntry::kSize, FileReportEntry::kSize,
                  reinterpret_cast<char*>(entry.bytes));
      frame.received.push_back(entry.Received());
    }
    frames.push_back(frame);
    at += kFrameHeaderSize + header.payloadLength;
  }
  return frames;
}

std::string Reply(uint8_t result = 0) {
  char payload = static_cast<char>(result);
  return nwBuildFrame(kAgentGroup, kAgentReplyType, &payload, 1);
}

class PlatformReporterTest : public ::testing::Test {
 protected:
  explicit PlatformReporterTest(bool manualClock = false) : runtime_(manualClock) {
    nwRegisterClasses();
    cpAddressBookClear();
  }
  ~PlatformReporterTest() override {
    reporter_.reset();
    cpAddressBookSetResolver(nullptr);
    cpAddressBookClear();
  }

  void PointAt(const std::string& host, uint16_t port) {
    // The previous settings go first, so that they do not restore their own previous values later.
    port_.reset();
    host_.reset();
    host_ = std::make_unique<ScopedEnvironment>("ORBA_RELAY_HOST", host);
    port_ = std::make_unique<ScopedEnvironment>("ORBA_RELAY_PORT", std::to_string(port));
  }

  void Queue(std::vector<int64_t> received) {
    std::vector<FileReportEntry> entries = Report(std::move(received));
    reporter_->QueueReport(static_cast<int32_t>(entries.size()), entries.data());
  }

  testsupport::CoreRuntime runtime_;
  std::unique_ptr<ScopedEnvironment> host_;
  std::unique_ptr<ScopedEnvironment> port_;
  std::unique_ptr<CPlatformReporter> reporter_ = std::make_unique<CPlatformReporter>();
};

class PlatformReporterManualClockTest : public PlatformReporterTest {
 protected:
  PlatformReporterManualClockTest() : PlatformReporterTest(true) {}
};

TEST_F(PlatformReporterTest, OneFramePerReportAndTheConnectionClosesAfterTheReply) {
  ScriptedServer relay(Script().ReadBytes(FrameSize(2)).Send(Reply()).ReadToEnd());
  PointAt("127.0.0.1", relay.Port());
  std::vector<FileReportEntry> entries = Report({1000, 2000});
  reporter_->QueueReport(2, entries.data());
  // The reporter copied the block: the caller's array may go at once.
  entries.clear();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return relay.Connection(0).finished; }));
  ScriptedConnection seen = relay.Connection(0);
  EXPECT_TRUE(seen.peerClosed || seen.failed);  // closed by the reporter (sockets close abortively)
  ASSERT_EQ(FrameSize(2), seen.reads.at(0).size());
  EXPECT_EQ(616u, seen.reads[0].size());
  std::vector<ParsedFrame> frames = ParseFrames(seen.reads[0]);
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(kAgentGroup, frames[0].group);
  EXPECT_EQ(kAgentReportType, frames[0].type);
  EXPECT_EQ((std::vector<int64_t>{1000, 2000}), frames[0].received);
  std::vector<FileReportEntry> again = Report({1000, 2000});
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(again[0].bytes), 2 * FileReportEntry::kSize),
            frames[0].records);
  EXPECT_TRUE(runtime_.PumpUntil([&] { return !reporter_->HasConnection(); }));
  EXPECT_EQ(0u, reporter_->QueuedBlocks());
  EXPECT_EQ(1, relay.ConnectionCount());
}

TEST_F(PlatformReporterTest, TwoReportsWhileConnectedGoOnOneConnection) {
  testsupport::Gate firstArrived;
  ScriptedServer relay(Script()
                           .ReadBytes(FrameSize(1))
                           .Notify(firstArrived)
                           .ReadBytes(FrameSize(3))
                           .Send(Reply())
                           .ReadToEnd());
  PointAt("127.0.0.1", relay.Port());
  Queue({11});
  ASSERT_TRUE(runtime_.PumpUntil([&] { return firstArrived.IsOpen(); }));
  ASSERT_TRUE(reporter_->HasConnection());
  Queue({21, 22, 23});
  EXPECT_EQ(0u, reporter_->QueuedBlocks());  // sent at once on the open connection
  ASSERT_TRUE(runtime_.PumpUntil([&] { return relay.Connection(0).finished; }));
  EXPECT_EQ(1, relay.ConnectionCount());
  ScriptedConnection seen = relay.Connection(0);
  EXPECT_TRUE(seen.peerClosed || seen.failed);  // closed by the reporter (sockets close abortively)
  std::vector<ParsedFrame> frames = ParseFrames(seen.received);
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(std::vector<int64_t>{11}, frames[0].received);
  EXPECT_EQ((std::vector<int64_t>{21, 22, 23}), frames[1].received);
}

TEST_F(PlatformReporterTest, ReportsQueuedWhileConnectingGoOutInOrder) {
  ScriptedServer relay(Script().ReadBytes(3 * FrameSize(1)).Send(Reply()).ReadToEnd());
  PointAt("127.0.0.1", relay.Port());
  Queue({1});
  Queue({2});
  Queue({3});
  ASSERT_TRUE(runtime_.PumpUntil([&] { return relay.Connection(0).finished; }));
  std::vector<ParsedFrame> frames = ParseFrames(relay.Connection(0).received);
  ASSERT_EQ(3u, frames.size());
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::vector<int64_t>{static_cast<int64_t>(i + 1)}, frames[i].received);
  EXPECT_EQ(1, relay.ConnectionCount());
}

TEST_F(PlatformReporterTest, UnresolvableRelayKeepsOnlyTheNewest64Blocks) {
  testsupport::ScopedResolver resolver;  // names do not resolve; address literals still do
  PointAt("relay.invalid", 54547);
  for (int64_t i = 1; i <= 70; ++i) {
    Queue({i});
    ASSERT_TRUE(runtime_.PumpUntil([&] { return !reporter_->IsResolving(); })) << i;
    EXPECT_FALSE(reporter_->HasConnection());
  }
  EXPECT_EQ(CPlatformReporter::kMaxQueuedBlocks, reporter_->QueuedBlocks());

  // Once the relay can be reached, everything kept goes out on one connection, oldest first.
  ScriptedServer relay(Script().ReadBytes(64 * FrameSize(1)).Send(Reply()).ReadToEnd());
  PointAt("127.0.0.1", relay.Port());
  Queue({71});
  ASSERT_TRUE(runtime_.PumpUntil([&] { return relay.Connection(0).finished; }));
  std::vector<ParsedFrame> frames = ParseFrames(relay.Connection(0).received);
  ASSERT_EQ(64u, frames.size());
  for (size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(std::vector<int64_t>{static_cast<int64_t>(i + 8)}, frames[i].received) << i;
  }
  EXPECT_TRUE(runtime_.PumpUntil([&] { return !reporter_->HasConnection(); }));
  EXPECT_EQ(0u, reporter_->QueuedBlocks());
}

TEST_F(PlatformReporterTest, NoRelayHostKeepsTheBlocks) {
  PointAt("", 54547);
  Queue({5});
  EXPECT_FALSE(reporter_->HasConnection());
  EXPECT_FALSE(reporter_->IsResolving());
  EXPECT_EQ(1u, reporter_->QueuedBlocks());
}

TEST_F(PlatformReporterTest, SlowNameServerNeverHoldsUpTheCaller) {
  // The name server answers only once the test has queued both reports: a caller that waited for
  // it would wait until the gate gives up, and the answer would say so.
  auto answer = std::make_shared<Gate>();
  auto answeredBeforeRelease = std::make_shared<std::atomic<bool>>(false);
  testsupport::ScopedResolver resolver([answer, answeredBeforeRelease](const std::string&) {
    if (!answer->WaitOpen(30000)) *answeredBeforeRelease = true;
    return std::vector<uint32_t>{testsupport::LoopbackAddress()};
  });
  ScriptedServer relay(Script().ReadBytes(2 * FrameSize(1)).Send(Reply()).ReadToEnd());
  PointAt("relay.slow.example", relay.Port());
  Queue({1});
  Queue({2});
  EXPECT_FALSE(answeredBeforeRelease->load());
  EXPECT_TRUE(reporter_->IsResolving());
  EXPECT_FALSE(reporter_->HasConnection());
  EXPECT_EQ(2u, reporter_->QueuedBlocks());
  answer->Open();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return relay.Connection(0).finished; }));
  std::vector<ParsedFrame> frames = ParseFrames(relay.Connection(0).received);
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(std::vector<int64_t>{2}, frames[1].received);
}

TEST_F(PlatformReporterTest, DestroyedWhileTheNameIsResolvingIgnoresTheLateAnswer) {
  auto answer = std::make_shared<Gate>();
  testsupport::ScopedResolver resolver([answer](const std::string&) {
    answer->WaitOpen(30000);
    return std::vector<uint32_t>{testsupport::LoopbackAddress()};
  });
  ScriptedServer relay(Script().ReadToEnd());
  PointAt("relay.late.example", relay.Port());
  Queue({1});
  ASSERT_TRUE(reporter_->IsResolving());
  reporter_.reset();
  answer->Open();
  // The answer is posted before its thread counts itself out: one pump then delivers it.
  ASSERT_TRUE(testsupport::WaitUntil([] { return cpAddressBookResolutionsInFlight() == 0; }));
  runtime_.Pump();
  EXPECT_EQ(0, relay.SettledConnectionCount());
}

TEST_F(PlatformReporterTest, RefusedRelayKeepsTheBlocksForTheNextReport) {
  testsupport::ClosedPort closed;
  PointAt("127.0.0.1", closed.Port());
  Queue({1});
  ASSERT_TRUE(runtime_.PumpUntil([&] { return !reporter_->HasConnection(); }));
  EXPECT_EQ(1u, reporter_->QueuedBlocks());

  ScriptedServer relay(Script().ReadBytes(2 * FrameSize(1)).Send(Reply()).ReadToEnd());
  PointAt("127.0.0.1", relay.Port());
  Queue({2});
  ASSERT_TRUE(runtime_.PumpUntil([&] { return relay.Connection(0).finished; }));
  std::vector<ParsedFrame> frames = ParseFrames(relay.Connection(0).received);
  ASSERT_EQ(2u, frames.size());
  EXPECT_EQ(std::vector<int64_t>{1}, frames[0].received);
  EXPECT_EQ(std::vector<int64_t>{2}, frames[1].received);
}

TEST_F(PlatformReporterTest, NothingToReportQueuesNothing) {
  ScriptedServer relay(Script().ReadToEnd());
  PointAt("127.0.0.1", relay.Port());
  std::vector<FileReportEntry> entries = Report({1});
  reporter_->QueueReport(0, entries.data());
  reporter_->QueueReport(-3, entries.data());
  reporter_->QueueReport(1, nullptr);
  EXPECT_EQ(0u, reporter_->QueuedBlocks());
  EXPECT_FALSE(reporter_->HasConnection());
  runtime_.Pump();
  EXPECT_EQ(0, relay.SettledConnectionCount());
}

TEST_F(PlatformReporterTest, DestroyedWhileConnectedClosesTheConnection) {
  ScriptedServer relay(Script().ReadBytes(FrameSize(1)).ReadToEnd());
  PointAt("127.0.0.1", relay.Port());
  Queue({1});
  ASSERT_TRUE(runtime_.PumpUntil([&] { return relay.Reads(0).size() == 1; }));
  reporter_.reset();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return relay.Connection(0).finished; }));
  EXPECT_TRUE(relay.Connection(0).peerClosed || relay.Connection(0).failed);
}

TEST_F(PlatformReporterManualClockTest, SilentRelayIsClosedAfterTheIdleLimit) {
  ScriptedServer relay(Script().ReadBytes(FrameSize(1)).Stall());
  PointAt("127.0.0.1", relay.Port());
  Queue({1});
  ASSERT_TRUE(runtime_.PumpUntil([&] { return relay.Reads(0).size() == 1; }));
  runtime_.AdvanceSeconds(3);
  EXPECT_TRUE(reporter_->HasConnection());
  runtime_.AdvanceSeconds(4);
  EXPECT_FALSE(reporter_->HasConnection());
  // A later report opens a new connection.
  Queue({2});
  EXPECT_TRUE(reporter_->HasConnection());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return relay.Reads(1).size() == 1; }));
  EXPECT_EQ(2, relay.ConnectionCount());
}

}  // namespace
