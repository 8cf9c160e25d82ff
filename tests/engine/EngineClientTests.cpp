// The engine client of the tests and benchmarks against the fake engine: frames go out as the
// engine expects them and come back whole, however TCP cuts or joins them.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/EngineMessages.h"
#include "protocol/nwFrame.h"
#include "tests/support/EngineClient.h"
#include "tests/support/EngineProcess.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/WaitUntil.h"

namespace {

using testsupport::EngineClient;
using testsupport::EngineProcess;
using testsupport::FakeEngine;

template <typename M>
std::string FrameOf(const M& message) {
  const std::string payload = *engineproto::EncodePayload(message);
  return nwBuildFrame(engineproto::GroupOf<M>(), M::kType, payload.data(),
                      static_cast<int32_t>(payload.size()));
}

template <typename M>
M Decoded(const FakeEngine::Frame& frame) {
  M message;
  EXPECT_EQ(frame.group, engineproto::GroupOf<M>());
  EXPECT_EQ(frame.type, M::kType);
  EXPECT_TRUE(engineproto::DecodePayload(frame.payload, &message));
  return message;
}

engineproto::FileRecord Record(int index) {
  engineproto::FileRecord file;
  file.size = 1000 + index;
  file.folder = "/tmp/orba-engine-client/";
  file.fileName = "file" + std::to_string(index) + ".bin";
  file.url = "http://127.0.0.1:1/a/" + file.fileName + "|http://127.0.0.1:2/b/" + file.fileName;
  return file;
}

TEST(EngineClient, SendsFramesTheEngineDecodes) {
  FakeEngine engine;
  EngineClient client;
  ASSERT_TRUE(client.Connect(engine.Port()));
  ASSERT_TRUE(engine.WaitForConnection());

  ASSERT_TRUE(client.Send(engineproto::ServiceCode{"ORBA"}));
  ASSERT_TRUE(client.StartJob(7, 2, {Record(0), Record(1)}));
  ASSERT_TRUE(engine.WaitForFrames(3));

  const std::vector<FakeEngine::Frame> frames = engine.Received();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(Decoded<engineproto::ServiceCode>(frames[0]).code, "ORBA");
  EXPECT_EQ(Decoded<engineproto::JobMode>(frames[1]).mode, 2);
  const auto list = Decoded<engineproto::JobFiles>(frames[2]);
  EXPECT_EQ(list.jobSeq, 7);
  EXPECT_EQ(list.serviceCode, "ORBA");
  ASSERT_EQ(list.files.size(), 2u);
  EXPECT_EQ(list.files[1].fileName, "file1.bin");
  EXPECT_EQ(list.files[1].url, Record(1).url);
  EXPECT_EQ(list.files[1].size, 1001);
  EXPECT_EQ(list.files[0].folder, "/tmp/orba-engine-client/");
}

TEST(EngineClient, SendsALongFileListFileByFile) {
  FakeEngine engine;
  EngineClient client;
  ASSERT_TRUE(client.Connect(engine.Port()));
  // Long enough names that the list would not fit in one message.
  std::vector<engineproto::FileRecord> files;
  for (int i = 0; i < 400; ++i) {
    engineproto::FileRecord file = Record(i);
    file.url += "?" + std::string(400, 'q');
    files.push_back(file);
  }
  engineproto::JobFiles whole{3, "ORBA", files};
  ASSERT_GT(engineproto::EncodePayload(whole)->size(), EngineClient::kLargestFileList);

  ASSERT_TRUE(client.StartJob(3, 1, files, "SVC"));
  ASSERT_TRUE(engine.WaitForFrames(files.size() + 3));
  const std::vector<FakeEngine::Frame> frames = engine.Received();
  ASSERT_EQ(frames.size(), files.size() + 3);
  EXPECT_EQ(Decoded<engineproto::JobMode>(frames[0]).mode, 1);
  const auto begin = Decoded<engineproto::JobBegin>(frames[1]);
  EXPECT_EQ(begin.jobSeq, 3);
  EXPECT_EQ(begin.fileCount, 400);
  EXPECT_EQ(begin.serviceCode, "SVC");
  for (size_t i = 0; i < files.size(); ++i) {
    const auto file = Decoded<engineproto::JobFile>(frames[2 + i]).file;
    EXPECT_EQ(file.jobSeq, 3);
    EXPECT_EQ(file.fileIndex, static_cast<int32_t>(i));
    EXPECT_EQ(file.url, files[i].url);
  }
  EXPECT_EQ(Decoded<engineproto::JobEnd>(frames.back()).jobSeq, 3);
}

TEST(EngineClient, ReadsAFrameSplitAcrossWritesAndTwoFramesInOneWrite) {
  FakeEngine engine;
  EngineClient client;
  ASSERT_TRUE(client.Connect(engine.Port()));
  ASSERT_TRUE(engine.WaitForConnection());

  const std::string accepted = FrameOf(engineproto::JobAccepted{5, 42, 2, 123456789012});
  // The header itself is cut, then the payload.
  ASSERT_TRUE(engine.SendBytes(accepted.substr(0, 5)));
  EXPECT_FALSE(client.Next(50).has_value());
  ASSERT_TRUE(engine.SendBytes(accepted.substr(5, 20)));
  EXPECT_FALSE(client.Next(50).has_value());
  ASSERT_TRUE(engine.SendBytes(accepted.substr(25)));
  const auto first = client.WaitFor<engineproto::JobAccepted>(5000);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(first->engineJobId, 42);
  EXPECT_EQ(first->totalBytes, 123456789012);

  ASSERT_TRUE(engine.SendBytes(FrameOf(engineproto::FileDone{5, 42, "/tmp/a.bin", "http://x/a.bin"}) +
                               FrameOf(engineproto::JobFinished{5, 42, 2, 0})));
  const auto done = client.Next(5000);
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->group, engineproto::kGroupControl);
  EXPECT_EQ(done->type, engineproto::FileDone::kType);
  engineproto::FileDone file;
  ASSERT_TRUE(engineproto::DecodePayload(done->payload, &file));
  EXPECT_EQ(file.localPath, "/tmp/a.bin");
  const auto finished = client.Next(5000);
  ASSERT_TRUE(finished.has_value());
  EXPECT_EQ(finished->type, engineproto::JobFinished::kType);
  EXPECT_EQ(client.Log().size(), 3u);
}

TEST(EngineClient, WaitForSkipsOtherMessagesAndKeepsThemInTheLog) {
  FakeEngine engine;
  EngineClient client;
  ASSERT_TRUE(client.Connect(engine.Port()));
  ASSERT_TRUE(engine.WaitForConnection());

  ASSERT_TRUE(engine.Send(engineproto::EngineMode{2}));
  ASSERT_TRUE(engine.Send(engineproto::FileDone{1, 9, "/tmp/1", "u1"}));
  ASSERT_TRUE(engine.Send(engineproto::FileDone{1, 9, "/tmp/2", "u2"}));
  ASSERT_TRUE(engine.Send(engineproto::JobFinished{1, 9, 2, 0}));

  const auto second = client.WaitFor<engineproto::FileDone>(
      5000, [](const engineproto::FileDone& message) { return message.localPath == "/tmp/2"; });
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->source, "u2");
  // Nothing of that type follows in time.
  EXPECT_FALSE(client.WaitFor<engineproto::JobWarning>(100).has_value());

  const std::vector<EngineClient::Message> log = client.Log();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].type, engineproto::EngineMode::kType);
  EXPECT_EQ(log[1].type, engineproto::FileDone::kType);
  EXPECT_EQ(log[3].type, engineproto::JobFinished::kType);
  EXPECT_FALSE(client.Next(0).has_value());  // all four were taken by the waits
}

TEST(EngineClient, NextWithoutWaitingTakesWhatAlreadyArrived) {
  FakeEngine engine;
  EngineClient client;
  ASSERT_TRUE(client.Connect(engine.Port()));
  ASSERT_TRUE(engine.WaitForConnection());
  ASSERT_TRUE(engine.Send(engineproto::EngineMode{2}));
  std::optional<EngineClient::Message> message;
  ASSERT_TRUE(testsupport::WaitUntil([&] { return (message = client.Next(0)).has_value(); }));
  EXPECT_EQ(message->type, engineproto::EngineMode::kType);
}

TEST(EngineClient, SeesThePeerClose) {
  FakeEngine engine;
  EngineClient client;
  ASSERT_TRUE(client.Connect(engine.Port()));
  ASSERT_TRUE(engine.WaitForConnection());
  ASSERT_TRUE(engine.Send(engineproto::NetworkUp{}));
  engine.CloseConnection();

  // The frame sent before the close still comes out, then nothing.
  const auto up = client.Next(5000);
  ASSERT_TRUE(up.has_value());
  EXPECT_EQ(up->type, engineproto::NetworkUp::kType);
  EXPECT_FALSE(client.Next(5000).has_value());
  EXPECT_TRUE(client.Closed());
}

TEST(EngineClient, ClosesOnAnImpossibleFrameLength) {
  FakeEngine engine;
  EngineClient client;
  ASSERT_TRUE(client.Connect(engine.Port()));
  ASSERT_TRUE(engine.WaitForConnection());
  std::string header(kFrameHeaderSize, '\0');
  nwFrameHeader huge;
  huge.group = engineproto::kGroupControl;
  huge.type = engineproto::JobProgress::kType;
  huge.payloadLength = kFrameMaxPayload + 8;
  nwEncodeFrameHeader(huge, header.data());
  ASSERT_TRUE(engine.SendBytes(header));
  EXPECT_FALSE(client.Next(5000).has_value());
  EXPECT_TRUE(client.Closed());
}

TEST(EngineClient, RawBytesReachThePeerAsSent) {
  FakeEngine engine;
  EngineClient client;
  ASSERT_TRUE(client.Connect(engine.Port()));
  const std::string frame = FrameOf(engineproto::StopJob{4, 77});
  // One frame in two writes, the second write also carrying a whole frame.
  ASSERT_TRUE(client.SendBytes(frame.substr(0, 9)));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(client.SendBytes(frame.substr(9) + FrameOf(engineproto::JobReport{4})));
  ASSERT_TRUE(engine.WaitForFrames(2));
  const std::vector<FakeEngine::Frame> frames = engine.Received();
  EXPECT_EQ(Decoded<engineproto::StopJob>(frames[0]).engineJobId, 77);
  EXPECT_EQ(Decoded<engineproto::JobReport>(frames[1]).jobSeq, 4);
}

TEST(EngineClient, ConnectFailsWhenNothingListens) {
  uint16_t port = 0;
  {
    FakeEngine gone;
    port = gone.Port();
  }
  EngineClient client;
  EXPECT_FALSE(client.Connect(port, 200));
  EXPECT_FALSE(client.SendBytes("x"));
  EXPECT_FALSE(client.Next(0).has_value());
}

// A shell stands in for the engine program: `--port` in the arguments keeps the default port
// arguments out, and becomes the script's $0.
TEST(EngineProcess, ReadsThePortFromTheListeningLine) {
  EngineProcess process;
  ASSERT_TRUE(process.Start(
      "/bin/sh",
      {"-c", "echo starting; echo \"listening 127.0.0.1:$ORBA_TEST_PORT\"; exec sleep 30", "--port"},
      {{"ORBA_TEST_PORT", "4321"}}));
  EXPECT_EQ(process.Port(), 4321);
  EXPECT_GT(process.Pid(), 0);
  EXPECT_FALSE(process.WaitExit(0).has_value());
  ASSERT_TRUE(process.Terminate());
  EXPECT_EQ(process.WaitExit(5000), 128 + 15);
}

TEST(EngineProcess, FailsWhenTheProgramExitsWithoutListening) {
  EngineProcess process;
  EXPECT_FALSE(process.Start("/bin/sh", {"-c", "echo busy; exit 0", "--port"}, {}, 5000));
  EXPECT_EQ(process.WaitExit(0), 0);
  EXPECT_FALSE(process.Start("/nonexistent/engine", {}, {}, 5000));
}

TEST(EngineProcess, RunsAProgramToItsEnd) {
  std::string output;
  EXPECT_EQ(EngineProcess::RunToExit("/bin/sh", {"-c", "echo \"v$ORBA_TEST_VERSION\"; exit 3"},
                                     {{"ORBA_TEST_VERSION", "1.2"}}, 5000, &output),
            3);
  EXPECT_EQ(output, "v1.2\n");
  EXPECT_FALSE(EngineProcess::RunToExit("/bin/sh", {"-c", "exec sleep 30"}, {}, 200).has_value());
}

}  // namespace
