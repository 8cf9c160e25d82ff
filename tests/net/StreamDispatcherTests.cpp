#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/nvSmartPtr.h"
#include "net/nwCStreamDispatcher.h"
#include "net/nwRegisterClasses.h"
#include "protocol/nwFrame.h"

namespace {

constexpr uint16_t kEngineGroup = 0x0100;
constexpr uint16_t kAgentGroup = 0x0300;

struct Delivery {
  int handler;
  std::string payload;
};

// What the handlers saw, and how each one behaves.
struct Recorder {
  std::vector<Delivery> deliveries;
  nwCStreamDispatcher* stopOnDelivery = nullptr;
  int32_t rawStep = 0;  // bytes a raw handler consumes per call; negative: its result as is
  std::vector<int32_t> rawOffers;
};

void Record(int handler, const char* payload, int32_t length, void* userData) {
  auto* recorder = static_cast<Recorder*>(userData);
  recorder->deliveries.push_back({handler, std::string(payload, static_cast<std::size_t>(length))});
  if (recorder->stopOnDelivery != nullptr) recorder->stopOnDelivery->StopDispatch();
}

void HandlerOne(const char* payload, int32_t length, void* userData) { Record(1, payload, length, userData); }
void HandlerTwo(const char* payload, int32_t length, void* userData) { Record(2, payload, length, userData); }

int32_t RawHandler(const char* data, int32_t length, void* userData) {
  auto* recorder = static_cast<Recorder*>(userData);
  recorder->rawOffers.push_back(length);
  recorder->deliveries.push_back({0, std::string(data, static_cast<std::size_t>(length))});
  if (recorder->stopOnDelivery != nullptr) recorder->stopOnDelivery->StopDispatch();
  if (recorder->rawStep < 0) return recorder->rawStep;
  return recorder->rawStep < length ? recorder->rawStep : length;
}

std::string Frame(uint16_t group, uint16_t type, const std::string& payload) {
  return nwBuildFrame(group, type, payload.data(), static_cast<int32_t>(payload.size()));
}

// A bare header announcing `payloadLength` bytes.
std::string HeaderOnly(uint16_t group, uint16_t type, uint32_t payloadLength) {
  nwFrameHeader header;
  header.group = group;
  header.type = type;
  header.payloadLength = payloadLength;
  std::string bytes(kFrameHeaderSize, '\0');
  nwEncodeFrameHeader(header, bytes.data());
  return bytes;
}

int32_t Process(nwCStreamDispatcher& dispatcher, const std::string& bytes) {
  return dispatcher.Process(bytes.data(), static_cast<int32_t>(bytes.size()));
}

class nwCStreamDispatcherTest : public ::testing::Test {
 protected:
  nwCStreamDispatcherTest() {
    dispatcher.AddHandler(kEngineGroup, 5, &HandlerOne, &recorder);
    dispatcher.AddHandler(kAgentGroup, 1, &HandlerTwo, &recorder);
  }

  Recorder recorder;
  nwCStreamDispatcher dispatcher;
};

TEST_F(nwCStreamDispatcherTest, StartsEmpty) {
  nwCStreamDispatcher fresh;
  EXPECT_FALSE(fresh.IsRawMode());
  EXPECT_FALSE(fresh.IsStopped());
  EXPECT_EQ(fresh.CurrentHeader().group, 0);
  EXPECT_EQ(fresh.CurrentHeader().payloadLength, 0u);
  EXPECT_EQ(fresh.RefCount(), 0);
}

TEST_F(nwCStreamDispatcherTest, HandlerGetsThePaddedPayload) {
  const std::string frame = Frame(kEngineGroup, 5, "abc");
  EXPECT_EQ(Process(dispatcher, frame), 24);
  ASSERT_EQ(recorder.deliveries.size(), 1u);
  EXPECT_EQ(recorder.deliveries[0].handler, 1);
  EXPECT_EQ(recorder.deliveries[0].payload, std::string("abc\0\0\0\0\0\0\0", 10));
  EXPECT_EQ(dispatcher.CurrentHeader().group, kEngineGroup);
  EXPECT_EQ(dispatcher.CurrentHeader().type, 5);
}

TEST_F(nwCStreamDispatcherTest, TwoFramesInOneBufferAreBothDispatched) {
  const std::string bytes = Frame(kEngineGroup, 5, "ab") + Frame(kAgentGroup, 1, "0123456789");
  ASSERT_EQ(bytes.size(), 16u + 24u);
  EXPECT_EQ(Process(dispatcher, bytes), 40);
  ASSERT_EQ(recorder.deliveries.size(), 2u);
  EXPECT_EQ(recorder.deliveries[0].handler, 1);
  EXPECT_EQ(recorder.deliveries[1].handler, 2);
  EXPECT_EQ(recorder.deliveries[1].payload, "0123456789");
}

TEST_F(nwCStreamDispatcherTest, SplitFrameWaitsForTheRest) {
  const std::string frame = Frame(kAgentGroup, 1, std::string(260, 'x'));
  EXPECT_EQ(Process(dispatcher, frame.substr(0, 100)), 0);
  EXPECT_TRUE(recorder.deliveries.empty());
  EXPECT_EQ(Process(dispatcher, frame), 280);
  ASSERT_EQ(recorder.deliveries.size(), 1u);
  EXPECT_EQ(recorder.deliveries[0].payload.size(), 266u);
}

TEST_F(nwCStreamDispatcherTest, TrailingPartialFrameIsLeftUnconsumed) {
  const std::string second = Frame(kEngineGroup, 5, "second");
  const std::string bytes = Frame(kEngineGroup, 5, "first") + second.substr(0, 15);
  EXPECT_EQ(Process(dispatcher, bytes), 24);
  EXPECT_EQ(recorder.deliveries.size(), 1u);
}

TEST_F(nwCStreamDispatcherTest, ThirteenBytesOfAHeaderConsumeNothing) {
  const std::string frame = Frame(kEngineGroup, 5, "ab");
  EXPECT_EQ(Process(dispatcher, frame.substr(0, 13)), 0);
  EXPECT_EQ(dispatcher.ProcessOne(frame.data(), 13), 0);
  EXPECT_TRUE(recorder.deliveries.empty());
}

TEST_F(nwCStreamDispatcherTest, NothingToDoForNullOrEmptyInput) {
  EXPECT_EQ(dispatcher.Process(nullptr, 16), 0);
  EXPECT_EQ(dispatcher.Process("x", 0), 0);
  EXPECT_EQ(dispatcher.Process("x", -3), 0);
  EXPECT_EQ(dispatcher.ProcessOne(nullptr, 16), 0);
}

TEST_F(nwCStreamDispatcherTest, MatchingGroupWithUnknownTypeIsAnError) {
  EXPECT_EQ(Process(dispatcher, Frame(kEngineGroup, 6, "ab")), -1);
  EXPECT_TRUE(recorder.deliveries.empty());
}

TEST_F(nwCStreamDispatcherTest, ErrorAfterAGoodFrameIsReturnedAtOnce) {
  const std::string bytes = Frame(kEngineGroup, 5, "ok") + Frame(0x0102, 5, "bad");
  EXPECT_EQ(Process(dispatcher, bytes), -1);
  EXPECT_EQ(recorder.deliveries.size(), 1u);
}

TEST_F(nwCStreamDispatcherTest, NoHandlersAtAllIsAnError) {
  nwCStreamDispatcher empty;
  EXPECT_EQ(Process(empty, Frame(kEngineGroup, 5, "ab")), -1);
}

TEST_F(nwCStreamDispatcherTest, FirstRegisteredHandlerWins) {
  dispatcher.AddHandler(kEngineGroup, 5, &HandlerTwo, &recorder);
  EXPECT_EQ(Process(dispatcher, Frame(kEngineGroup, 5, "ab")), 16);
  ASSERT_EQ(recorder.deliveries.size(), 1u);
  EXPECT_EQ(recorder.deliveries[0].handler, 1);
}

TEST_F(nwCStreamDispatcherTest, EmptyPayloadFrameIsDelivered) {
  EXPECT_EQ(Process(dispatcher, HeaderOnly(kAgentGroup, 1, 0)), 14);
  ASSERT_EQ(recorder.deliveries.size(), 1u);
  EXPECT_EQ(recorder.deliveries[0].payload, "");
}

TEST_F(nwCStreamDispatcherTest, StoppedDispatcherDispatchesNothing) {
  dispatcher.StopDispatch();
  EXPECT_TRUE(dispatcher.IsStopped());
  EXPECT_EQ(Process(dispatcher, Frame(kEngineGroup, 5, "ab")), 0);
  EXPECT_TRUE(recorder.deliveries.empty());
}

TEST_F(nwCStreamDispatcherTest, HandlerThatStopsTheDispatcherEndsTheLoop) {
  recorder.stopOnDelivery = &dispatcher;
  const std::string bytes = Frame(kEngineGroup, 5, "one") + Frame(kEngineGroup, 5, "two");
  EXPECT_EQ(Process(dispatcher, bytes), 24);
  EXPECT_EQ(recorder.deliveries.size(), 1u);
  EXPECT_EQ(Process(dispatcher, bytes.substr(24)), 0);
  EXPECT_EQ(recorder.deliveries.size(), 1u);
}

TEST_F(nwCStreamDispatcherTest, LengthFieldBeyondTheLimitIsRejectedAtOnce) {
  EXPECT_EQ(Process(dispatcher, HeaderOnly(kEngineGroup, 5, 0xFFFFFFFFu)), -1);
  EXPECT_EQ(Process(dispatcher, HeaderOnly(kEngineGroup, 5, 0x80000000u)), -1);
  EXPECT_EQ(Process(dispatcher, HeaderOnly(kEngineGroup, 5, 0x7FFFFFFFu)), -1);
  EXPECT_EQ(Process(dispatcher, HeaderOnly(kEngineGroup, 5, kFrameMaxPayload + 1)), -1);
  // At the limit the frame is merely incomplete.
  EXPECT_EQ(Process(dispatcher, HeaderOnly(kEngineGroup, 5, kFrameMaxPayload)), 0);
  EXPECT_TRUE(recorder.deliveries.empty());
}

TEST_F(nwCStreamDispatcherTest, DispatchReportsTheConsumedCount) {
  const std::string bytes = Frame(kEngineGroup, 5, "ab") + Frame(kEngineGroup, 5, "cd");
  int32_t consumed = -7;
  EXPECT_EQ(dispatcher.Dispatch(bytes.data(), static_cast<int32_t>(bytes.size()), &consumed), NW_S_OK);
  EXPECT_EQ(consumed, 32);
  EXPECT_EQ(dispatcher.Dispatch(bytes.data(), 13, &consumed), NW_S_OK);
  EXPECT_EQ(consumed, 0);
  EXPECT_EQ(dispatcher.Dispatch(bytes.data(), 16, nullptr), NW_E_FAIL);
  EXPECT_EQ(recorder.deliveries.size(), 2u);
}

TEST_F(nwCStreamDispatcherTest, NullHandlersAreRefused) {
  nwCStreamDispatcher fresh;
  EXPECT_EQ(fresh.AddHandler(kEngineGroup, 5, nullptr, nullptr), NW_E_FAIL);
  fresh.SetRawHandler(nullptr, nullptr);
  EXPECT_FALSE(fresh.IsRawMode());
  EXPECT_EQ(Process(fresh, Frame(kEngineGroup, 5, "ab")), -1);
}

TEST(nwCStreamDispatcherRawTest, RawHandlerSeesTheBytesAsTheyAre) {
  Recorder recorder;
  recorder.rawStep = 1000;
  nwCStreamDispatcher dispatcher;
  dispatcher.SetRawHandler(&RawHandler, &recorder);
  EXPECT_TRUE(dispatcher.IsRawMode());
  EXPECT_EQ(Process(dispatcher, "HTTP/1.1"), 8);
  ASSERT_EQ(recorder.deliveries.size(), 1u);
  EXPECT_EQ(recorder.deliveries[0].payload, "HTTP/1.1");
}

TEST(nwCStreamDispatcherRawTest, RawHandlerIsOfferedTheRestUntilItConsumesNothing) {
  Recorder recorder;
  recorder.rawStep = 3;
  nwCStreamDispatcher dispatcher;
  dispatcher.SetRawHandler(&RawHandler, &recorder);
  EXPECT_EQ(Process(dispatcher, "abcdefg"), 7);
  EXPECT_EQ(recorder.rawOffers, (std::vector<int32_t>{7, 4, 1}));

  recorder.rawStep = 0;
  recorder.rawOffers.clear();
  EXPECT_EQ(Process(dispatcher, "abc"), 0);
  EXPECT_EQ(recorder.rawOffers, (std::vector<int32_t>{3}));
}

TEST(nwCStreamDispatcherRawTest, FramedHandlersAreNotConsultedInRawMode) {
  Recorder recorder;
  recorder.rawStep = 1000;
  nwCStreamDispatcher dispatcher;
  dispatcher.AddHandler(0, 0, &HandlerOne, &recorder);
  dispatcher.SetRawHandler(&RawHandler, &recorder);
  dispatcher.SetRawHandler(&RawHandler, nullptr);  // only the first raw entry is ever met
  const std::string zeros(16, '\0');
  EXPECT_EQ(Process(dispatcher, zeros), 16);
  ASSERT_EQ(recorder.deliveries.size(), 1u);
  EXPECT_EQ(recorder.deliveries[0].handler, 0);
}

TEST(nwCStreamDispatcherRawTest, RawErrorsComeBackAsTheyAre) {
  Recorder recorder;
  recorder.rawStep = -5;
  nwCStreamDispatcher dispatcher;
  dispatcher.SetRawHandler(&RawHandler, &recorder);
  EXPECT_EQ(Process(dispatcher, "abc"), -5);
}

int32_t Greedy(const char*, int32_t length, void*) { return length + 1; }

TEST(nwCStreamDispatcherRawTest, ClaimingMoreThanOfferedIsAnError) {
  nwCStreamDispatcher dispatcher;
  dispatcher.SetRawHandler(&Greedy, nullptr);
  EXPECT_EQ(Process(dispatcher, "abc"), -1);
}

TEST(nwCStreamDispatcherRawTest, RawHandlerThatStopsTheDispatcherEndsTheLoop) {
  Recorder recorder;
  recorder.rawStep = 2;
  nwCStreamDispatcher dispatcher;
  recorder.stopOnDelivery = &dispatcher;
  dispatcher.SetRawHandler(&RawHandler, &recorder);
  EXPECT_EQ(Process(dispatcher, "abcdef"), 2);
  EXPECT_EQ(recorder.rawOffers.size(), 1u);
}

TEST(nwCStreamDispatcherFactoryTest, ClassIdCreatesADispatcher) {
  EXPECT_EQ(CLSID_nwCStreamDispatcher, 0x2006u);
  nwRegisterClasses();
  nwRegisterClasses();
  nvSmartPtr pointer;
  ASSERT_TRUE(pointer.CreateInstance(CLSID_nwCStreamDispatcher));
  auto* dispatcher = dynamic_cast<nwCStreamDispatcher*>(pointer.Get());
  ASSERT_NE(dispatcher, nullptr);
  EXPECT_EQ(dispatcher->RefCount(), 1);
  void* out = nullptr;
  EXPECT_FALSE(pointer.QueryInterface(NW_IID_QOS_NET_STACK, &out));
  EXPECT_EQ(out, nullptr);
}

}  // namespace
