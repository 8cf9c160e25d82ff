// The engine serving jobs from the test servers: segments, mirrors, answers that do not fit, a
// full disk, a stop, and the files on disk afterwards, byte for byte.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <optional>

#include "platform/FileSystem.h"
#include "platform/RandomAccessFile.h"
#include "tests/engine/EngineHarness.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsHttpServer.h"
#include "tests/support/WaitUntil.h"

namespace {

using enginetest::File;
using enginetest::FollowJob;
using enginetest::InProcessEngine;
using enginetest::JobOutcome;
using testsupport::EngineClient;
using testsupport::HttpFileServer;
using testsupport::HttpResourceOptions;
using testsupport::PatternedBytes;
using testsupport::ReadFileText;
using testsupport::TempFolder;

constexpr uint8_t kHighSpeed = 2;
constexpr uint8_t kNormal = 1;

HttpResourceOptions Options(std::function<void(HttpResourceOptions&)> change) {
  HttpResourceOptions options;
  change(options);
  return options;
}

class EngineJobTest : public ::testing::Test {
 protected:
  void SetUp() override { Connect(); }

  void Connect() {
    ASSERT_TRUE(client_.Connect(engine_.Port()));
    engineproto::ServiceCode code;
    code.code = "ORBA";
    ASSERT_TRUE(client_.Send(code));
  }

  JobOutcome Run(uint8_t mode, const std::vector<engineproto::FileRecord>& files,
                 enginetest::JobRun run = {}) {
    EXPECT_TRUE(client_.StartJob(7, mode, files));
    return FollowJob(client_, run);
  }

  std::string Out(const std::string& name) const { return folder_ / name; }

  // Declared before the engine, so the clock outlives the engine's thread that reads it.
  platform::ManualClock clock_;
  std::optional<platform::ScopedClock> scopedClock_;
  InProcessEngine engine_;
  EngineClient client_;
  HttpFileServer server_;
  TempFolder folder_;
};

TEST_F(EngineJobTest, HighSpeedFetchesSegmentsInParallelAndReportsEveryFile) {
  std::string big = PatternedBytes(5 * 1024 * 1024 + 123, 1);
  std::string small = PatternedBytes(70000, 2);
  server_.AddResource("/big.bin", big, Options([](auto& o) { o.headers = {{"ETag", "\"b1\""}}; }));
  server_.AddResource("/small.bin", small);
  JobOutcome outcome = Run(kHighSpeed, {File(folder_.Path(), "big.bin", server_.Url("/big.bin"), -1),
                                        File(folder_.Path(), "small.bin", server_.Url("/small.bin"), 70000)});

  ASSERT_TRUE(outcome.Succeeded()) << outcome.failed.value_or(engineproto::JobFailed{}).reason;
  ASSERT_TRUE(outcome.accepted);
  EXPECT_EQ(outcome.accepted->fileCount, 2);
  EXPECT_EQ(outcome.accepted->totalBytes, static_cast<int64_t>(big.size() + small.size()));
  EXPECT_EQ(outcome.finished->filesDone, 2);
  ASSERT_EQ(outcome.filesDone.size(), 2u);
  for (const auto& done : outcome.filesDone) {
    EXPECT_EQ(done.engineJobId, outcome.accepted->engineJobId);
    EXPECT_EQ(done.source, server_.Url(done.localPath == Out("big.bin") ? "/big.bin" : "/small.bin"));
  }
  EXPECT_EQ(ReadFileText(Out("big.bin")), big);
  EXPECT_EQ(ReadFileText(Out("small.bin")), small);
  EXPECT_FALSE(platform::PathExists(Out("big.bin.part")));
  EXPECT_FALSE(platform::PathExists(Out("big.bin.part.ctrl")));
  // The big file came in several ranges; the first request of an unknown size only asked for it.
  int ranges = 0;
  for (const auto& request : server_.Requests()) {
    if (request.Path() == "/big.bin" && request.Header("Range") != "bytes=0-0") ++ranges;
  }
  EXPECT_GE(ranges, 4);
}

TEST_F(EngineJobTest, NormalModeFetchesOneFileAfterAnotherOverOneRequestEach) {
  std::string a = PatternedBytes(3 * 1024 * 1024, 3);
  std::string b = PatternedBytes(1000, 4);
  server_.AddResource("/a", a);
  server_.AddResource("/b", b);
  JobOutcome outcome =
      Run(kNormal, {File(folder_.Path(), "a", server_.Url("/a"), static_cast<int64_t>(a.size())),
                    File(folder_.Path(), "b", server_.Url("/b"), static_cast<int64_t>(b.size()))});
  ASSERT_TRUE(outcome.Succeeded());
  EXPECT_EQ(ReadFileText(Out("a")), a);
  EXPECT_EQ(ReadFileText(Out("b")), b);
  ASSERT_EQ(server_.RequestCount(), 2);
  EXPECT_EQ(server_.Requests()[0].Path(), "/a");
  EXPECT_EQ(server_.Requests()[1].Path(), "/b");
  ASSERT_EQ(outcome.filesDone.size(), 2u);
  EXPECT_EQ(outcome.filesDone[0].localPath, Out("a"));
}

TEST_F(EngineJobTest, AListThatNamesAFileTwiceWritesItOnceAtATime) {
  std::string first = PatternedBytes(3 * 1024 * 1024, 12);
  std::string second = PatternedBytes(3 * 1024 * 1024, 13);
  server_.AddResource("/1", first);
  server_.AddResource("/2", second);
  JobOutcome outcome = Run(kHighSpeed, {File(folder_.Path(), "same", server_.Url("/1"), -1),
                                        File(folder_.Path(), "same", server_.Url("/2"), -1)});
  ASSERT_TRUE(outcome.Succeeded());
  EXPECT_EQ(outcome.filesDone.size(), 2u);
  EXPECT_EQ(ReadFileText(Out("same")), second);  // the later entry, whole, as a direct download leaves it
}

TEST_F(EngineJobTest, NormalModeTriesTheMirrorsInOrder) {
  std::string body = PatternedBytes(50000, 11);
  server_.AddStatus("/down", 503);
  server_.AddResource("/up", body);
  JobOutcome outcome =
      Run(kNormal, {File(folder_.Path(), "f", server_.Url("/down") + "|" + server_.Url("/up"), 50000)});
  ASSERT_TRUE(outcome.Succeeded());
  EXPECT_EQ(ReadFileText(Out("f")), body);
  EXPECT_EQ(outcome.filesDone[0].source, server_.Url("/up"));
  EXPECT_EQ(server_.RequestCount("/down"), 3);  // its tries, one after another, before the next mirror
  EXPECT_EQ(server_.RequestCount("/up"), 1);
}

// Servers that answer ranges wrongly, and what must still come out: the exact file, or the job
// handed back to the library when no mirror can serve.
struct FaultCase {
  const char* name;
  HttpResourceOptions bad;  // the resource as the second mirror serves it
  bool badSize;             // the second mirror has a file of another size
  bool onlyBadMirror;       // no good mirror at all
  bool handedBack;
};

class EngineFaultTest : public EngineJobTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(EngineFaultTest, KeepsTheFileExactOrHandsTheJobBack) {
  const FaultCase& fault = GetParam();
  std::string body = PatternedBytes(4 * 1024 * 1024 + 7, 5);
  server_.AddResource("/good", body, Options([](auto& o) { o.headers = {{"ETag", "\"v1\""}}; }));
  HttpResourceOptions bad = fault.bad;
  server_.AddResource("/bad", fault.badSize ? body.substr(0, body.size() - 1) : body, bad);
  std::string urls =
      fault.onlyBadMirror ? server_.Url("/bad") : server_.Url("/good") + "|" + server_.Url("/bad");
  JobOutcome outcome =
      Run(kHighSpeed, {File(folder_.Path(), "f.bin", urls, static_cast<int64_t>(body.size()))});
  ASSERT_TRUE(outcome.Ended());
  if (fault.handedBack) {
    ASSERT_TRUE(outcome.finished);
    EXPECT_NE(outcome.finished->result, 0);
    EXPECT_TRUE(outcome.filesDone.empty());
    EXPECT_FALSE(platform::PathExists(Out("f.bin")));
  } else {
    ASSERT_TRUE(outcome.Succeeded());
    EXPECT_EQ(ReadFileText(Out("f.bin")), body);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Mirrors, EngineFaultTest,
    ::testing::Values(
        FaultCase{"WholeBodyForARange", Options([](auto& o) { o.ignoreRange = true; }), false, false, false},
        FaultCase{"OnlyMirrorIgnoresRanges", Options([](auto& o) { o.ignoreRange = true; }), false, true,
                  false},
        FaultCase{"OtherSize", {}, true, false, false},
        FaultCase{"OtherVersion", Options([](auto& o) {
                    o.headers = {{"ETag", "\"v2\""}};
                  }),
                  false, false, false},
        FaultCase{"BodiesCutShort", Options([](auto& o) { o.cutAfter = 1000; }), false, false, false},
        FaultCase{"CutTwiceThenWhole", Options([](auto& o) { o.cutAfter = 5000, o.cutResponses = 2; }), false,
                  true, false},
        FaultCase{"ServerErrors", Options([](auto& o) { o.failFirst = 1000; }), false, false, false},
        FaultCase{"EveryMirrorFails", Options([](auto& o) { o.failFirst = 1000; }), false, true, true},
        FaultCase{"OnlyMirrorOfAnotherSize", {}, true, true, true}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(EngineJobTest, AMirrorFarSlowerThanTheOthersIsSetAsideAndItsRangesGoElsewhere) {
  std::string body = PatternedBytes(24 * 1024 * 1024, 15);
  HttpResourceOptions fast;
  fast.bytesPerSecond = 8 * 1024 * 1024;
  server_.AddResource("/fast", body, fast);
  HttpFileServer slowServer;
  HttpResourceOptions slow;
  slow.bytesPerSecond = 16 * 1024;
  slowServer.AddResource("/slow", body, slow);
  JobOutcome outcome =
      Run(kHighSpeed, {File(folder_.Path(), "f", slowServer.Url("/slow") + "|" + server_.Url("/fast"),
                            static_cast<int64_t>(body.size()))});
  ASSERT_TRUE(outcome.Succeeded());
  EXPECT_EQ(ReadFileText(Out("f")), body);
  EXPECT_EQ(outcome.filesDone[0].source, server_.Url("/fast"));
  // Its first connections only: once judged, it gets nothing more.
  EXPECT_LE(slowServer.RequestCount("/slow"), 16);
}

TEST_F(EngineJobTest, AWrongContentRangeSetsTheMirrorAside) {
  std::string body = PatternedBytes(3 * 1024 * 1024, 6);
  server_.AddResource("/good", body);
  // Every connection to this mirror answers with bytes it was not asked for.
  testsupport::ScriptedServer liar({testsupport::Script().ReadRequest().Send(
      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-9/" + std::to_string(body.size()) +
      "\r\nContent-Length: 10\r\n\r\n" + body.substr(0, 10))});
  std::string urls = liar.Url("/f") + "|" + server_.Url("/good");
  JobOutcome outcome =
      Run(kHighSpeed, {File(folder_.Path(), "f.bin", urls, static_cast<int64_t>(body.size()))});
  ASSERT_TRUE(outcome.Succeeded());
  EXPECT_EQ(ReadFileText(Out("f.bin")), body);
  EXPECT_EQ(outcome.filesDone[0].source, server_.Url("/good"));
}

TEST_F(EngineJobTest, UrlsItDoesNotServeHandTheJobBack) {
  JobOutcome outcome =
      Run(kHighSpeed, {File(folder_.Path(), "f", "ftp://127.0.0.1/f|file:///etc/passwd", 10)});
  ASSERT_TRUE(outcome.finished);
  EXPECT_NE(outcome.finished->result, 0);
  EXPECT_FALSE(outcome.accepted);
}

TEST_F(EngineJobTest, NamesThatLeaveTheFolderFailTheJobAndWriteNothing) {
  server_.AddResource("/f", "x");
  const char* names[] = {"..", "../escape", "a/b", "a\\b", "bad\x01name", ""};
  int32_t seq = 20;
  for (const char* name : names) {
    ASSERT_TRUE(client_.StartJob(++seq, kHighSpeed,
                                 {File(folder_.Path(), "ok", server_.Url("/f"), 1),
                                  File(folder_.Path(), name, server_.Url("/f"), 1)}));
    JobOutcome outcome = FollowJob(client_);
    ASSERT_TRUE(outcome.failed) << "name " << name;
    EXPECT_EQ(outcome.failed->jobSeq, seq);
    EXPECT_NE(outcome.failed->reason.find("file 1"), std::string::npos) << outcome.failed->reason;
  }
  EXPECT_EQ(server_.RequestCount(), 0);
  EXPECT_FALSE(platform::PathExists(Out("ok")));
  EXPECT_FALSE(platform::PathExists(folder_.Path() + "/../escape"));
}

TEST_F(EngineJobTest, ALongListArrivesFileByFile) {
  std::vector<engineproto::FileRecord> files;
  std::vector<std::string> bodies;
  for (int i = 0; i < 300; ++i) {
    bodies.push_back(PatternedBytes(100 + static_cast<size_t>(i), static_cast<uint32_t>(i)));
    server_.AddResource("/f" + std::to_string(i), bodies.back());
    files.push_back(File(folder_.Path(), "f" + std::to_string(i), server_.Url("/f" + std::to_string(i)),
                         static_cast<int64_t>(bodies.back().size())));
  }
  JobOutcome outcome = Run(kHighSpeed, files);  // 300 × ~570 bytes: begin, 300 files, end
  ASSERT_TRUE(outcome.Succeeded());
  EXPECT_EQ(outcome.filesDone.size(), 300u);
  for (int i = 0; i < 300; ++i)
    EXPECT_EQ(ReadFileText(Out("f" + std::to_string(i))), bodies[static_cast<size_t>(i)]);
}

TEST_F(EngineJobTest, AHundredThousandFilesAndAUrlOf64KiBGetAnAnswerNotACrash) {
  // A huge list is taken (file by file) and answered; none of its URLs is served, so it goes back.
  std::vector<engineproto::FileRecord> files;
  for (int i = 0; i < 100000; ++i)
    files.push_back(File(folder_.Path(), "f" + std::to_string(i), "ftp://h/f", 1));
  JobOutcome outcome = Run(kHighSpeed, files, {.timeoutMs = 60000});
  ASSERT_TRUE(outcome.finished);
  EXPECT_NE(outcome.finished->result, 0);
  // A URL as long as the list format allows: the server refuses it, and the job goes back too.
  std::string longUrl = server_.Url("/") + std::string(65535 - server_.Url("/").size(), 'a');
  ASSERT_TRUE(client_.StartJob(8, kHighSpeed, {File(folder_.Path(), "long", longUrl, 10)}));
  outcome = FollowJob(client_);
  ASSERT_TRUE(outcome.finished);
  EXPECT_NE(outcome.finished->result, 0);
  EXPECT_FALSE(platform::PathExists(Out("long")));
}

TEST_F(EngineJobTest, ALongListHoldsNoMoreFilesOpenThanItHasConnections) {
  testsupport::ScriptedServer silent({testsupport::Script().ReadRequest().Stall()});
  std::vector<engineproto::FileRecord> files;
  for (int i = 0; i < 40; ++i)
    files.push_back(File(folder_.Path(), "f" + std::to_string(i), silent.Url("/f"), 1000));
  ASSERT_TRUE(client_.StartJob(7, kHighSpeed, files));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return silent.ConnectionCount() >= 16; }));
  int parts = 0;
  for (int i = 0; i < 40; ++i) parts += platform::PathExists(Out("f" + std::to_string(i) + ".part")) ? 1 : 0;
  EXPECT_EQ(parts, 16);  // one per connection to that server
}

TEST_F(EngineJobTest, AListOutOfOrderIsRefused) {
  engineproto::JobBegin begin;
  begin.jobSeq = 9;
  begin.fileCount = 2;
  ASSERT_TRUE(client_.Send(begin));
  engineproto::JobFile file;
  file.file = File(folder_.Path(), "a", server_.Url("/a"), 1);
  file.file.jobSeq = 9;
  file.file.fileIndex = 1;  // index 0 never came
  ASSERT_TRUE(client_.Send(file));
  auto failed = client_.WaitFor<engineproto::JobFailed>(5000);
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->jobSeq, 9);
}

TEST_F(EngineJobTest, GarbageClosesTheConnectionAndTheEngineServesTheNext) {
  ASSERT_TRUE(client_.WaitFor<engineproto::EngineMode>(5000));
  ASSERT_TRUE(client_.SendBytes(nwBuildFrame(0x0100, 23, "\0\0\0\0", 4)));
  EXPECT_FALSE(client_.Next(5000));
  EXPECT_TRUE(client_.Closed());
  // A frame cut short by a library that goes away changes nothing either.
  ASSERT_TRUE(client_.Connect(engine_.Port()));
  std::string frame = nwBuildFrame(0x0100, 12, std::string(260, 'S').data(), 260);
  ASSERT_TRUE(client_.SendBytes(frame.substr(0, 100)));
  client_.Close();
  // A message before the service code is garbage too.
  ASSERT_TRUE(client_.Connect(engine_.Port()));
  engineproto::JobReport report;
  ASSERT_TRUE(client_.Send(report));
  EXPECT_FALSE(client_.Next(5000));
  EXPECT_TRUE(client_.Closed());
  // A connection that says who it is gets the engine's mode.
  Connect();
  auto mode = client_.WaitFor<engineproto::EngineMode>(5000);
  ASSERT_TRUE(mode);
  EXPECT_EQ(mode->mode, 2);
}

// A disk that fills while a part is reserved or while it is written: the job pauses with a
// warning, and goes on by itself once there is room.
class EngineDiskFullTest : public EngineJobTest, public ::testing::WithParamInterface<bool> {};

TEST_P(EngineDiskFullTest, PausesWithAWarningAndGoesOnWhenThereIsRoom) {
  const bool whenReserving = GetParam();
  scopedClock_.emplace(clock_);
  constexpr int64_t kSize = 2 * 1024 * 1024;
  std::string body = PatternedBytes(kSize, 7);
  server_.AddResource("/f", body);
  std::atomic<bool> full{true};
  struct FaultGuard {
    ~FaultGuard() { platform::RandomAccessFile::SetWriteFaultForTesting(nullptr); }
  } guard;
  platform::RandomAccessFile::SetWriteFaultForTesting([&](const std::string&, int64_t offset, size_t length) {
    bool reserving = offset == 0 && static_cast<int64_t>(length) == kSize;
    return full.load() && reserving == whenReserving && (reserving || offset > 0) ? ENOSPC : 0;
  });
  ASSERT_TRUE(client_.StartJob(7, kHighSpeed, {File(folder_.Path(), "f", server_.Url("/f"), -1)}));
  auto warning = client_.WaitFor<engineproto::JobWarning>(10000);
  ASSERT_TRUE(warning);
  EXPECT_EQ(warning->code, 1);
  full = false;
  enginetest::JobRun run;
  run.clock = &clock_;
  JobOutcome outcome = FollowJob(client_, run);
  ASSERT_TRUE(outcome.Succeeded());
  EXPECT_EQ(ReadFileText(Out("f")), body);
}

INSTANTIATE_TEST_SUITE_P(Moments, EngineDiskFullTest, ::testing::Bool(),
                         [](const auto& param) { return param.param ? "WhenReserving" : "WhileWriting"; });

TEST_F(EngineJobTest, AnUnwritableFolderFailsTheJobWithItsReason) {
  server_.AddResource("/f", "abc");
  testsupport::WriteFileText(folder_ / "blocker", "not a folder");
  JobOutcome outcome = Run(kHighSpeed, {File(folder_ / "blocker", "f", server_.Url("/f"), 3)});
  ASSERT_TRUE(outcome.failed);
  EXPECT_NE(outcome.failed->reason.find("blocker"), std::string::npos) << outcome.failed->reason;
}

TEST_F(EngineJobTest, AStopKeepsThePartAndSaysNothingMore) {
  std::string body = PatternedBytes(4 * 1024 * 1024, 8);
  server_.AddResource("/f", body, Options([](auto& o) { o.bytesPerSecond = 512 * 1024; }));
  ASSERT_TRUE(client_.StartJob(7, kNormal, {File(folder_.Path(), "f", server_.Url("/f"), -1)}));
  auto accepted = client_.WaitFor<engineproto::JobAccepted>(5000);
  ASSERT_TRUE(accepted);
  ASSERT_TRUE(client_.WaitFor<engineproto::JobProgress>(5000, [](const auto& p) { return p.doneBytes > 0; }));
  engineproto::StopJob stop;
  stop.jobSeq = 7;
  stop.engineJobId = accepted->engineJobId;
  ASSERT_TRUE(client_.Send(stop));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return platform::FileExists(Out("f.part.ctrl")); }));
  EXPECT_FALSE(client_.WaitFor<engineproto::JobProgress>(1500));
  EXPECT_TRUE(platform::FileExists(Out("f.part")));
  EXPECT_FALSE(platform::PathExists(Out("f")));
}

TEST_F(EngineJobTest, ASilentConnectionIsCutAndItsRangeFetchedAgain) {
  scopedClock_.emplace(clock_);
  std::string body = PatternedBytes(300000, 9);
  testsupport::ScriptedServer stalling({
      testsupport::Script()
          .ReadRequest()
          .Send("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-299999/300000\r\nContent-Length: "
                "300000\r\n\r\n" +
                body.substr(0, 1000))
          .Stall(),
      testsupport::Script().ReadRequest().Send(
          "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 1000-299999/300000\r\n"
          "Content-Length: 299000\r\n\r\n" +
          body.substr(1000)),
  });
  enginetest::JobRun run;
  run.clock = &clock_;
  JobOutcome outcome = Run(kNormal, {File(folder_.Path(), "f", stalling.Url("/f"), 300000)}, run);
  ASSERT_TRUE(outcome.Succeeded());
  EXPECT_EQ(ReadFileText(Out("f")), body);
}

}  // namespace

namespace {

TEST(EngineNetworkTest, SaysWhenTheNetworkGoesAndComesAndWaitsForIt) {
  platform::ManualClock clock;
  platform::ScopedClock scoped(clock);
  std::atomic<bool> online{true};
  engine::EngineSettings settings = enginetest::TestSettings();
  settings.networkOnline = [&] { return online.load(); };
  TempFolder folder;
  HttpFileServer server;
  std::string body = PatternedBytes(100000, 10);
  server.AddResource("/f", body);
  {
    InProcessEngine engine(settings);
    EngineClient client;
    ASSERT_TRUE(client.Connect(engine.Port()));
    ASSERT_TRUE(client.Send(engineproto::ServiceCode{"ORBA"}));
    ASSERT_TRUE(client.WaitFor<engineproto::EngineMode>(5000));
    online = false;
    clock.Advance(5000);
    ASSERT_TRUE(client.WaitFor<engineproto::NetworkDown>(5000));
    // Offline, a job is accepted but nothing is fetched.
    ASSERT_TRUE(client.StartJob(3, kHighSpeed, {File(folder.Path(), "f", server.Url("/f"), 100000)}));
    ASSERT_TRUE(client.WaitFor<engineproto::JobAccepted>(5000));
    EXPECT_EQ(server.RequestCount(), 0);
    online = true;
    clock.Advance(5000);
    ASSERT_TRUE(client.WaitFor<engineproto::NetworkUp>(5000));
    auto finished = client.WaitFor<engineproto::JobFinished>(10000);
    ASSERT_TRUE(finished);
    EXPECT_EQ(finished->result, 0);
  }
  EXPECT_EQ(ReadFileText(folder / "f"), body);
}

}  // namespace

namespace {

// https through libcurl: verified against the CA the settings name; without it (and with
// verification on) no byte is written and the job goes back to the library.
TEST(EngineTlsTest, DownloadsOverVerifiedTlsAndRefusesAnUnknownIssuer) {
  testsupport::TestCertificates pki;
  testsupport::TlsHttpServer server({pki.Issue()});
  std::string body = PatternedBytes(3 * 1024 * 1024 + 9, 14);
  server.AddResource("/f", body);
  for (bool trusted : {true, false}) {
    engine::EngineSettings settings = enginetest::TestSettings();
    if (trusted) settings.tlsCaFile = pki.CaFile();
    TempFolder folder;
    InProcessEngine engine(settings);
    EngineClient client;
    ASSERT_TRUE(client.Connect(engine.Port()));
    ASSERT_TRUE(client.Send(engineproto::ServiceCode{"ORBA"}));
    ASSERT_TRUE(client.StartJob(4, kHighSpeed, {File(folder.Path(), "f", server.Url("/f"), -1)}));
    JobOutcome outcome = FollowJob(client);
    ASSERT_TRUE(outcome.finished) << (trusted ? "trusted" : "unknown issuer");
    if (trusted) {
      EXPECT_EQ(outcome.finished->result, 0);
      EXPECT_EQ(ReadFileText(folder / "f"), body);
    } else {
      EXPECT_NE(outcome.finished->result, 0);
      EXPECT_FALSE(platform::PathExists(folder / "f"));
    }
  }
}

}  // namespace
