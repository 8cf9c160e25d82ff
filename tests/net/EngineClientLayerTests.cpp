// The engine layer on a real loopback connection: every message to the engine as it leaves, every
// message from it at its listener slot, and the frames that close the connection.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/cpCQoSContext.h"
#include "net/nwCCDNLocalClientLayer.h"
#include "net/nwRegisterClasses.h"
#include "platform/Socket.h"
#include "protocol/nwFrame.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/FakeEngine.h"
#include "tests/support/ScriptedServer.h"

namespace {

using namespace engineproto;
using testsupport::Script;
using testsupport::ScriptedServer;

constexpr nwEngineCookie kCookie = 0xE61;

struct EngineRecorder final : nwICDNLocalClientEventListener {
  std::vector<std::string> events;
  std::vector<nwEngineCookie> cookies;
  JobProgress progress;
  FileDone fileDone;
  FileDoneEx fileDoneEx;
  JobFailed failed;
  int32_t resumeJob = 0;
  int32_t mode = 0;
  std::function<void(const std::string&)> after;  // runs after each event is recorded

  void OnEngineConnected(nwEngineCookie cookie) override { Add("connected", cookie); }
  void OnJobAccepted(const JobAccepted* m, nwEngineCookie cookie) override {
    Add("accepted " + std::to_string(m->jobSeq) + " " + std::to_string(m->totalBytes), cookie);
  }
  void OnJobFailed(const JobFailed* m, nwEngineCookie cookie) override {
    failed = *m;
    Add("failed", cookie);
  }
  void OnJobProgress(const JobProgress* m, nwEngineCookie cookie) override {
    progress = *m;
    Add("progress", cookie);
  }
  void OnFileDone(const FileDone* m, nwEngineCookie cookie) override {
    fileDone = *m;
    Add("file-done", cookie);
  }
  void OnFileDoneEx(const FileDoneEx* m, nwEngineCookie cookie) override {
    fileDoneEx = *m;
    Add("file-done-ex", cookie);
  }
  void OnJobFinished(const JobFinished* m, nwEngineCookie cookie) override {
    Add("finished " + std::to_string(m->result), cookie);
  }
  void OnJobWarning(const JobWarning* m, nwEngineCookie cookie) override {
    Add("warning " + std::to_string(m->code), cookie);
  }
  void OnEngineNetworkDown(nwEngineCookie cookie) override { Add("network-down", cookie); }
  void OnEngineNetworkUp(nwEngineCookie cookie) override { Add("network-up", cookie); }
  void OnEngineClosed(nwEngineCookie cookie) override { Add("closed", cookie); }
  void OnEngineConnectFailed(nwEngineCookie cookie) override { Add("connect-failed", cookie); }
  void OnResumeQuery(int32_t jobSeq, nwEngineCookie cookie) override {
    resumeJob = jobSeq;
    Add("resume-query", cookie);
  }
  void OnEngineMode(int32_t value, nwEngineCookie cookie) override {
    mode = value;
    Add("mode", cookie);
  }

  int Count(const std::string& name) const {
    int n = 0;
    for (const std::string& event : events) n += event == name ? 1 : 0;
    return n;
  }

 private:
  void Add(const std::string& name, nwEngineCookie cookie) {
    events.push_back(name);
    cookies.push_back(cookie);
    if (after) after(name);
  }
};

template <typename Message>
std::string FrameOf(const Message& message, uint16_t type = Message::kType) {
  std::string payload = *EncodePayload(message);
  return nwBuildFrame(GroupOf<Message>(), type, payload.data(), static_cast<int32_t>(payload.size()));
}

FileRecord SampleFile() {
  FileRecord file;
  file.jobSeq = 5;
  file.fileIndex = 0;
  file.optionA = 1;
  file.size = 1234;
  file.folder = "/games/orba/";
  file.fileName = "data.pak";
  file.url = "http://h.test/dir/abcdefgh.pak";  // 30 characters
  return file;
}

class EngineClientLayerTest : public ::testing::Test {
 protected:
  EngineClientLayerTest() { nwRegisterClasses(); }

  ~EngineClientLayerTest() override {
    if (context_) {
      if (layer_ != nullptr) layer_->SetListener(nullptr, 0);
      nvCast<nvIQoSContext>(context_.Get())->Close();
    }
  }

  // A connection as the engine downloader opens it: connect failures reported, a 1 s connect
  // time-out, no idle time-out, the service code queued before the connect.
  void Open(uint16_t port, bool sendServiceCode = true) {
    ASSERT_TRUE(context_.CreateInstance(CLSID_cpCQoSContext));
    auto* connection = nvCast<cpCQoSContext>(context_.Get());
    ASSERT_EQ(CP_S_OK, connection->Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED, nullptr));
    int32_t one = 1;
    connection->SetOption(QOS_OPT_CONNECT_TIMEOUT, &one);
    ASSERT_EQ(CP_S_OK, connection->PushLayer(CLSID_nwCCDNLocalClientLayer, false));
    layer_ = static_cast<nvICDNLocalClientLayer*>(connection->GetTopLayer());
    ASSERT_NE(nullptr, layer_);
    ASSERT_EQ(NW_S_OK, layer_->SetListener(&recorder_, kCookie));
    if (sendServiceCode) {
      ASSERT_EQ(NW_S_OK, layer_->SendServiceCode("SVC"));
    }
    cpAddress address = testsupport::LoopbackAddress(port);
    ASSERT_EQ(CP_S_OK, connection->Connect(&address));
  }

  cpCQoSContext* Connection() const { return nvCast<cpCQoSContext>(context_.Get()); }

  testsupport::CoreRuntime runtime_;
  EngineRecorder recorder_;
  nvSmartPtr context_;
  nvICDNLocalClientLayer* layer_ = nullptr;
};

TEST_F(EngineClientLayerTest, EverySendLeavesAsItsFrame) {
  JobMode mode{2};
  EngineTag tag{"abc"};
  JobFiles files{5, "SVC", {SampleFile()}};
  JobBegin begin{5, 1, "SVC"};
  FileRecord file = SampleFile();
  StopJob stop{5, 77};
  JobFlag flag{5, 77, 1};
  ResumeAnswer answer{77, 5, 1, 0};
  struct Sent {
    std::function<cpStatus()> send;
    std::string frame;
    size_t size;  // the frame's bytes on the wire, where the wire table gives them
  };
  std::vector<Sent> sends = {
      {[&] { return layer_->SendJobMode(&mode); }, FrameOf(mode), 32},
      {[&] { return layer_->SendEngineTag(&tag); }, FrameOf(tag), 0},
      {[&] { return layer_->SendJobFiles(&files); }, FrameOf(files), 616},
      {[&] { return layer_->SendJobBegin(&begin); }, FrameOf(begin), 0},
      {[&] { return layer_->SendJobFile(&file); }, FrameOf(JobFile{file}), 584},
      {[&] { return layer_->SendJobEnd(5); }, FrameOf(JobEnd{5}), 0},
      {[&] { return layer_->SendStopJob(&stop); }, FrameOf(stop), 24},
      {[&] { return layer_->SendJobFlag(&flag); }, FrameOf(flag), 0},
      {[&] { return layer_->SendJobReport(5); }, FrameOf(JobReport{5}), 0},
      {[&] { return layer_->SendResumeAnswer(&answer); }, FrameOf(answer), 0},
      {[&] { return layer_->SendType22(); }, FrameOf(ModeRequest{}), 16},
  };
  std::string serviceCode = FrameOf(ServiceCode{"SVC"});
  ASSERT_EQ(14u + 260 + 6, serviceCode.size());
  std::string expected = serviceCode;
  for (const Sent& sent : sends) expected += sent.frame;
  ScriptedServer server(Script().ReadBytes(expected.size()).Stall());
  Open(server.Port());
  for (size_t i = 0; i < sends.size(); ++i) {
    EXPECT_EQ(NW_S_OK, sends[i].send()) << i;
    if (sends[i].size != 0) {
      EXPECT_EQ(sends[i].size, sends[i].frame.size()) << i;
    }
  }
  ASSERT_TRUE(runtime_.PumpUntil([&] { return server.Reads(0).size() == 1; }));
  EXPECT_TRUE(server.Reads(0)[0] == expected);
  // The file list alone goes with group 0x0102.
  EXPECT_EQ(std::string("\x02\x01\x0E\x00", 4), sends[2].frame.substr(0, 4));
  EXPECT_EQ(std::string("\x00\x01\x00\x00", 4), sends[0].frame.substr(0, 4));
}

TEST_F(EngineClientLayerTest, MissingOrUnframableRecordsAreRefused) {
  ScriptedServer server(Script().Stall());
  Open(server.Port());
  FileRecord longUrl = SampleFile();
  longUrl.url.assign(70000, 'u');
  EXPECT_EQ(NW_E_FAIL, layer_->SendJobMode(nullptr));
  EXPECT_EQ(NW_E_FAIL, layer_->SendJobFiles(nullptr));
  EXPECT_EQ(NW_E_FAIL, layer_->SendJobFile(nullptr));
  EXPECT_EQ(NW_E_FAIL, layer_->SendJobFile(&longUrl));
  EXPECT_EQ(NW_E_FAIL, layer_->SendResumeAnswer(nullptr));
}

// Every message of the engine, in one receive, as the fake engine sends them.
std::string EveryEngineMessage() {
  JobProgress progress;
  progress.jobSeq = 5;
  progress.doneBytes = 600;
  progress.entries = {{1000, 400, 90, "a.pak"}, {2000, 0, 0, ""}};
  return FrameOf(JobAccepted{5, 77, 1, 1234}) + FrameOf(progress) +
         FrameOf(FileDone{5, 77, "/games/orba/data.pak", "http://h.test/a"}) +
         FrameOf(FileDoneEx{5, 77, "/games/orba/b.pak", "note", "http://h.test/b"}) +
         FrameOf(JobWarning{5, 77, 1, "disk full"}) + FrameOf(NetworkDown{}) + FrameOf(NetworkUp{}) +
         FrameOf(ResumeQuery{5}) + FrameOf(EngineMode{2}) + FrameOf(JobFailed{5, "gone"}) +
         FrameOf(JobFinished{5, 77, 1, 0});
}

const std::vector<std::string> kEveryEngineEvent = {
    "accepted 5 1234", "progress",     "file-done", "file-done-ex", "warning 1", "network-down",
    "network-up",      "resume-query", "mode",      "failed",       "finished 0"};

template <typename Message>
Message Decoded(const testsupport::FakeEngine::Frame& frame) {
  Message message;
  EXPECT_EQ(GroupOf<Message>(), frame.group);
  EXPECT_EQ(Message::kType, frame.type);
  EXPECT_TRUE(DecodePayload(frame.payload, &message)) << frame.type;
  return message;
}

TEST_F(EngineClientLayerTest, AFakeEngineExchangesEveryMessageTypeWithTheLayer) {
  testsupport::FakeEngine engine;
  Open(engine.Port());
  ASSERT_TRUE(
      runtime_.PumpUntil([&] { return recorder_.Count("connected") == 1 && engine.Connections() == 1; }));

  JobMode mode{2};
  EngineTag tag{"abc"};
  JobFiles files{5, "SVC", {SampleFile()}};
  JobBegin begin{6, 1, "SVC"};
  FileRecord file = SampleFile();
  StopJob stop{5, 77};
  JobFlag flag{5, 77, 1};
  ResumeAnswer answer{77, 5, 1, 1};
  for (cpStatus status :
       {layer_->SendJobMode(&mode), layer_->SendEngineTag(&tag), layer_->SendJobFiles(&files),
        layer_->SendJobReport(5), layer_->SendJobBegin(&begin), layer_->SendJobFile(&file),
        layer_->SendJobEnd(6), layer_->SendJobFlag(&flag), layer_->SendResumeAnswer(&answer),
        layer_->SendType22(), layer_->SendStopJob(&stop)})
    EXPECT_EQ(NW_S_OK, status);
  ASSERT_TRUE(runtime_.PumpUntil([&] { return engine.Received().size() == 12; }));
  std::vector<testsupport::FakeEngine::Frame> got = engine.Received();
  EXPECT_EQ("SVC", Decoded<ServiceCode>(got[0]).code);
  EXPECT_EQ(2, Decoded<JobMode>(got[1]).mode);
  EXPECT_EQ("abc", Decoded<EngineTag>(got[2]).tag);
  JobFiles filesBack = Decoded<JobFiles>(got[3]);
  ASSERT_EQ(1u, filesBack.files.size());
  EXPECT_EQ(file.url, filesBack.files[0].url);
  EXPECT_EQ(5, Decoded<JobReport>(got[4]).jobSeq);
  EXPECT_EQ(6, Decoded<JobBegin>(got[5]).jobSeq);
  EXPECT_EQ(file.fileName, Decoded<JobFile>(got[6]).file.fileName);
  EXPECT_EQ(6, Decoded<JobEnd>(got[7]).jobSeq);
  EXPECT_EQ(1, Decoded<JobFlag>(got[8]).value);
  EXPECT_EQ(77, Decoded<ResumeAnswer>(got[9]).engineJobId);
  Decoded<ModeRequest>(got[10]);
  EXPECT_EQ(77, Decoded<StopJob>(got[11]).engineJobId);

  ASSERT_TRUE(engine.SendBytes(EveryEngineMessage()));  // all in one receive
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.events.size() == 1 + kEveryEngineEvent.size(); }));
  std::vector<std::string> expected = {"connected"};
  expected.insert(expected.end(), kEveryEngineEvent.begin(), kEveryEngineEvent.end());
  EXPECT_EQ(expected, recorder_.events);
  for (nwEngineCookie cookie : recorder_.cookies) EXPECT_EQ(kCookie, cookie);
  EXPECT_EQ(600, recorder_.progress.doneBytes);
  ASSERT_EQ(2u, recorder_.progress.entries.size());
  EXPECT_EQ(400, recorder_.progress.entries[0].fileDone);
  EXPECT_EQ("/games/orba/data.pak", recorder_.fileDone.localPath);
  EXPECT_EQ("http://h.test/a", recorder_.fileDone.source);
  EXPECT_EQ("note", recorder_.fileDoneEx.text);
  EXPECT_EQ("gone", recorder_.failed.reason);
  EXPECT_EQ(5, recorder_.resumeJob);
  EXPECT_EQ(2, recorder_.mode);

  engine.CloseConnection();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("closed") == 1; }));
  EXPECT_EQ(QOS_ST_CLOSED, Connection()->State());
}

TEST_F(EngineClientLayerTest, AnEngineThatClosesAfterAnyMessageIsHeardToTheEnd) {
  std::string stream = EveryEngineMessage();
  size_t offset = 0;
  for (const std::string& event : kEveryEngineEvent) {
    SCOPED_TRACE(event);
    size_t size = kFrameHeaderSize + nwDecodeFrameHeader(stream.data() + offset).payloadLength;
    testsupport::FakeEngine engine;
    recorder_ = EngineRecorder();
    Open(engine.Port(), false);
    ASSERT_TRUE(
        runtime_.PumpUntil([&] { return recorder_.Count("connected") == 1 && engine.Connections() == 1; }));
    ASSERT_TRUE(engine.SendBytes(stream.substr(offset, size)));
    engine.CloseConnection();
    ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("closed") == 1; }));
    EXPECT_EQ((std::vector<std::string>{"connected", event, "closed"}), recorder_.events);
    layer_->SetListener(nullptr, 0);
    context_ = nvSmartPtr();
    offset += size;
  }
}

TEST_F(EngineClientLayerTest, FramesThatDoNotFitCloseTheConnectionAndNothingBehindThemIsDelivered) {
  std::string progressLie = FrameOf(JobProgress{});
  progressLie.replace(14 + 60, 4, std::string("\xFF\xFF\xFF\x7F", 4));  // entries far beyond the payload
  // A source text that runs to the frame's end: 306 payload bytes fill the frame, no padding.
  std::string unended = *EncodePayload(FileDone{5, 77, "/p", "abcde"});
  unended.pop_back();
  std::string pathWithoutNul =
      nwBuildFrame(kGroupControl, FileDone::kType, unended.data(), static_cast<int32_t>(unended.size()));
  EXPECT_EQ(14 + unended.size(), pathWithoutNul.size());
  struct Case {
    const char* name;
    std::string frame;
  } cases[] = {
      {"type 23", nwBuildFrame(kGroupControl, 23, "\0\0\0\0", 4)},
      {"another group", FrameOf(EngineMode{2}).replace(0, 2, std::string("\x00\x02", 2))},
      {"the file-list group from the engine",
       FrameOf(EngineMode{2}).replace(0, 2, std::string("\x02\x01", 2))},
      {"progress entries beyond the payload", progressLie},
      {"a text without its NUL", pathWithoutNul},
      {"a message shorter than its fields", nwBuildFrame(kGroupControl, JobAccepted::kType, "\1\0\0\0", 4)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder_ = EngineRecorder();
    ScriptedServer server(Script().Send(c.frame + FrameOf(EngineMode{2})).Stall());
    Open(server.Port(), false);
    ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("closed") == 1; }));
    EXPECT_EQ((std::vector<std::string>{"connected", "closed"}), recorder_.events);
    EXPECT_EQ(QOS_ST_CLOSED, Connection()->State());
    layer_->SetListener(nullptr, 0);
    context_ = nvSmartPtr();
  }
}

TEST_F(EngineClientLayerTest, ListenerClosingInsideAMessageGetsNothingMore) {
  recorder_.after = [&](const std::string& name) {
    if (name == "mode") Connection()->Close();
  };
  ScriptedServer server(Script().Send(FrameOf(EngineMode{2}) + FrameOf(ResumeQuery{5})).Stall());
  Open(server.Port(), false);
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("closed") == 1; }));
  EXPECT_EQ((std::vector<std::string>{"connected", "mode", "closed"}), recorder_.events);
}

TEST_F(EngineClientLayerTest, RefusedConnectReportsConnectFailedThenClosed) {
  testsupport::ClosedPort closed;
  Open(closed.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("closed") == 1; }));
  EXPECT_EQ((std::vector<std::string>{"connect-failed", "closed"}), recorder_.events);
}

}  // namespace
