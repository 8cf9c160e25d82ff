// The in-memory data download through the flat interface, against real local servers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "library/DownloadLib.h"
#include "pipeline/Log.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "tests/library/LibraryTestEnvironment.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScopedResolver.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitUntil.h"

namespace {

using testsupport::EventRecorder;

std::string Bytes(size_t size) { return testsupport::PatternedBytes(size, 1); }

class DataDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sentinel_.AddResource("/sentinel", "s");
    ResetLog();
    ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &EventRecorder::Callback, recorder.UserData()));
  }
  void TearDown() override {
    DownloadLibFinalize();
    // The library thread is gone: nothing uses the address book any more.
    resolver_.reset();
  }

  // Names resolve to nothing until the end of the test (address literals stay themselves).
  void ResolveNothing() { resolver_.emplace(); }

  // Waits for the end of the download: true for 522, false for 523.
  bool Finish(int timeoutMs = 15000) {
    testsupport::WaitUntil(
        [&] { return recorder.Count(DL_EV_DATA_DONE, false) + recorder.Count(DL_EV_DATA_FAILED, false) > 0; },
        timeoutMs);
    return recorder.Count(DL_EV_DATA_DONE, false) == 1 && recorder.Count(DL_EV_DATA_FAILED, false) == 0;
  }

  // Returns once every event the library raised before the call has arrived: a size check's end
  // (525), raised after them on the same thread, comes through the same callback behind them.
  void WaitForEarlierEvents() {
    int ends = recorder.Count(DL_EV_SIZE_CHECK_DONE, false);
    ASSERT_EQ(DL_OK, DownloadLibAddSizeCheck(sentinel_.Url("/sentinel").c_str()));
    ASSERT_EQ(DL_OK, DownloadLibStartSizeCheck());
    ASSERT_TRUE(recorder.WaitFor(DL_EV_SIZE_CHECK_DONE, ends + 1, 15000));
  }

  std::string Read() {
    int64_t size = 0;
    if (DownloadLibGetDataSize(&size) != DL_OK) return "<no size>";
    std::string bytes(static_cast<size_t>(size), '\0');
    DataBuffer buffer{bytes.data(), size};
    if (DownloadLibGetData(&buffer) != DL_OK) return "<no data>";
    return bytes;
  }

  EventRecorder recorder;
  std::optional<testsupport::ScopedResolver> resolver_;
  testsupport::HttpFileServer sentinel_;
};

TEST_F(DataDownloadTest, SmallAndLargeBodiesArriveByteExact) {
  testsupport::HttpFileServer server;
  std::string small = "http://h/a\r\nhttp://h/b\r\n";
  std::string large = Bytes(5 * 1024 * 1024 + 17);
  server.AddResource("/list.txt", small);
  server.AddResource("/big.bin", large);
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/list.txt").c_str()));
  ASSERT_TRUE(Finish());
  EXPECT_EQ(small, Read());
  recorder.Clear();
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/big.bin").c_str()));
  ASSERT_TRUE(Finish());
  EXPECT_TRUE(Read() == large);
}

TEST_F(DataDownloadTest, RedirectChainIsFollowed) {
  testsupport::HttpFileServer server;
  server.AddResource("/final.txt", "done");
  server.AddRedirect("/two", server.Url("/final.txt"), 303);
  server.AddRedirect("/one", server.Url("/two"), 302);
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/one").c_str()));
  ASSERT_TRUE(Finish());
  EXPECT_EQ("done", Read());
}

TEST_F(DataDownloadTest, FailuresEndInExactlyOneFailedEvent) {
  testsupport::HttpFileServer server;
  server.AddStatus("/empty", 200, "");
  server.AddRedirect("/nowhere", "", 302);
  testsupport::ClosedPort closed;
  std::vector<std::string> urls = {
      server.Url("/missing"),          server.Url("/empty"),
      server.Url("/nowhere"),          "http://127.0.0.1:" + std::to_string(closed.Port()) + "/x",
      "http://no-such-host.invalid/x", "ftp://h/x"};
  for (const std::string& url : urls) {
    recorder.Clear();
    ASSERT_EQ(DL_OK, DownloadLibDownloadData(url.c_str())) << url;
    EXPECT_FALSE(Finish()) << url;
    EXPECT_EQ(1, recorder.Count(DL_EV_DATA_FAILED, false)) << url;
    int64_t size = 0;
    EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetDataSize(&size)) << url;
  }
}

TEST_F(DataDownloadTest, WrongSizeCopiesNothing) {
  testsupport::HttpFileServer server;
  server.AddResource("/x", "12345");
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/x").c_str()));
  ASSERT_TRUE(Finish());
  char bytes[8] = "zzzzzzz";
  DataBuffer larger{bytes, 6};
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetData(&larger));
  DataBuffer smaller{bytes, 4};
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetData(&smaller));
  DataBuffer none{nullptr, 5};
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetData(&none));
  EXPECT_STREQ("zzzzzzz", bytes);
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibDownloadData(""));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibDownloadData(nullptr));
}

TEST_F(DataDownloadTest, RelativeRedirectIsFollowed) {
  testsupport::HttpFileServer server;
  server.AddResource("/lists/final.txt", "relative");
  server.AddRedirect("/lists/start", "final.txt", 302);
  server.AddRedirect("/start", "/lists/start", 303);
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/start").c_str()));
  ASSERT_TRUE(Finish());
  EXPECT_EQ("relative", Read());
}

TEST_F(DataDownloadTest, RedirectLoopEndsInOneFailedEvent) {
  testsupport::HttpFileServer server;
  server.AddRedirect("/ping", "/pong", 302);
  server.AddRedirect("/pong", server.Url("/ping"), 302);
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/ping").c_str()));
  EXPECT_FALSE(Finish());
  EXPECT_EQ(1, recorder.Count(DL_EV_DATA_FAILED, false));
}

TEST_F(DataDownloadTest, BodyCutShortEndsInOneFailedEventAndNothingReadable) {
  testsupport::HttpFileServer server;
  testsupport::HttpResourceOptions options;
  options.cutAfter = 100000;
  server.AddResource("/cut.bin", Bytes(2 * 1024 * 1024), options);
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/cut.bin").c_str()));
  EXPECT_FALSE(Finish());
  WaitForEarlierEvents();
  EXPECT_EQ(1, recorder.Count(DL_EV_DATA_FAILED, false));
  EXPECT_EQ("<no size>", Read());
}

// The callback runs on the thread that raises the event: a failure raised inside the caller's
// call would arrive on the caller's thread.
bool RaisedOnThisThread(const EventRecorder& recorder, int32_t code) {
  for (const testsupport::RecordedEvent& event : recorder.Events()) {
    if (event.code == code && event.thread == std::this_thread::get_id()) return true;
  }
  return false;
}

TEST_F(DataDownloadTest, UnresolvableHostFailsOutsideTheCall) {
  ResolveNothing();
  ASSERT_EQ(DL_OK, DownloadLibDownloadData("http://nowhere.library.test/list.txt"));
  EXPECT_FALSE(Finish());
  WaitForEarlierEvents();
  EXPECT_EQ(1, recorder.Count(DL_EV_DATA_FAILED, false));
  EXPECT_FALSE(RaisedOnThisThread(recorder, DL_EV_DATA_FAILED));
}

TEST_F(DataDownloadTest, BadUrlsFailOutsideTheCall) {
  for (const char* url : {"ftp://127.0.0.1/x", "http://", "http://:80/x"}) {
    recorder.Clear();
    ASSERT_EQ(DL_OK, DownloadLibDownloadData(url)) << url;
    EXPECT_FALSE(Finish()) << url;
    WaitForEarlierEvents();
    EXPECT_EQ(1, recorder.Count(DL_EV_DATA_FAILED, false)) << url;
    EXPECT_FALSE(RaisedOnThisThread(recorder, DL_EV_DATA_FAILED)) << url;
  }
}

TEST_F(DataDownloadTest, NewDownloadWhileOneIsInFlightReportsOnlyTheNewOne) {
  testsupport::Gate releaseOld;
  testsupport::ScriptedServer old(
      testsupport::Script()
          .ReadRequest()
          .WaitFor(releaseOld)
          .Send(testsupport::HttpResponse(200, {{"Content-Length", "3"}}, "old")));
  testsupport::HttpFileServer server;
  server.AddResource("/new", "new");
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(old.Url("/old").c_str()));
  ASSERT_TRUE(old.WaitForConnections(1));
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/new").c_str()));
  ASSERT_TRUE(Finish());
  releaseOld.Open();
  ASSERT_TRUE(old.WaitForFinished(1));
  WaitForEarlierEvents();
  EXPECT_EQ(1, recorder.Count(DL_EV_DATA_DONE, false));
  EXPECT_EQ(0, recorder.Count(DL_EV_DATA_FAILED, false));
  EXPECT_EQ("new", Read());
}

TEST_F(DataDownloadTest, NothingIsReadableWhileTheFirstDownloadRuns) {
  testsupport::Gate release;
  testsupport::Gate sent;
  testsupport::ScriptedServer server(
      testsupport::Script()
          .ReadRequest()
          .Send(testsupport::HttpResponse(200, {{"Content-Length", "8"}}, "half"))
          .Notify(sent)
          .WaitFor(release)
          .Send("done")
          .Stall());
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/slow").c_str()));
  ASSERT_TRUE(sent.WaitOpen());
  int64_t size = -1;
  char bytes[8] = {};
  DataBuffer buffer{bytes, 8};
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetDataSize(&size));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetData(&buffer));
  release.Open();
  ASSERT_TRUE(Finish());
  EXPECT_EQ("halfdone", Read());
}

// The host reads while the library thread receives: the library lock keeps them apart (run
// under ThreadSanitizer too).
TEST_F(DataDownloadTest, HostReadsRaceTheDownloadSafely) {
  testsupport::HttpFileServer server;
  std::string body = Bytes(3 * 1024 * 1024 + 1);
  testsupport::HttpResourceOptions options;
  options.bytesPerSecond = 40 * 1024 * 1024;
  server.AddResource("/race.bin", body, options);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      int64_t size = 0;
      if (DownloadLibGetDataSize(&size) == DL_OK && size > 0) {
        std::string copy(static_cast<size_t>(size), '\0');
        DataBuffer buffer{copy.data(), size};
        DownloadLibGetData(&buffer);
      }
      std::this_thread::yield();
    }
  });
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/race.bin").c_str()));
  bool done = Finish();
  stop = true;
  reader.join();
  ASSERT_TRUE(done);
  EXPECT_TRUE(Read() == body);
}

TEST_F(DataDownloadTest, SlowDownloadTicksAboutOncePerSecond) {
  testsupport::HttpFileServer server;
  testsupport::HttpResourceOptions options;
  options.bytesPerSecond = 20000;
  std::string body = Bytes(50000);
  server.AddResource("/slow.bin", body, options);
  int64_t started = platform::MonotonicMilliseconds();
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/slow.bin").c_str()));
  ASSERT_TRUE(Finish());
  // The paced body takes at least 2.5 s, so seconds passed; a busy machine may run the library's
  // seconds late, never early: more ticks than seconds would be wrong, fewer is no fault.
  double seconds = static_cast<double>(platform::MonotonicMilliseconds() - started) / 1000.0;
  int ticks = recorder.Count(DL_EV_DATA_TICK, false);
  EXPECT_LE(ticks, static_cast<int>(seconds) + 1) << seconds << " s";
  EXPECT_GE(ticks, 1);
  EXPECT_TRUE(Read() == body);
}

// Time-outs on a manual clock that the library thread reads: the test moves time in small steps
// while the library thread's own 100 ms tick runs.
class DataDownloadManualClockTest : public DataDownloadTest {
 protected:
  // Moves the clock by `milliseconds` in 100 ms steps, a few real milliseconds apart, until
  // `done` holds; returns the manual time moved.
  int64_t AdvanceUntil(const std::function<bool()>& done, int64_t milliseconds) {
    int64_t moved = 0;
    while (moved < milliseconds && !done()) {
      clock.Advance(100);
      moved += 100;
      std::this_thread::sleep_for(std::chrono::milliseconds(15));
    }
    return moved;
  }
  bool Failed() { return recorder.Count(DL_EV_DATA_FAILED, false) > 0; }

  platform::ManualClock clock{platform::SystemClock().NowMilliseconds()};
  platform::ScopedClock useClock{clock};
};

TEST_F(DataDownloadManualClockTest, StalledBodyEndsInOneFailedEventAtTheIdleLimit) {
  testsupport::Gate sent;
  testsupport::ScriptedServer server(
      testsupport::Script()
          .ReadRequest()
          .Send(testsupport::HttpResponse(200, {{"Content-Length", "100"}}, "part"))
          .Notify(sent)
          .Stall());
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/stall").c_str()));
  ASSERT_TRUE(sent.WaitOpen());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // The idle limit is 4 s: the failure comes on the 5th second after the last bytes.
  int64_t moved = AdvanceUntil([&] { return Failed(); }, 3900);
  EXPECT_FALSE(Failed()) << moved;
  // A busy machine may let the library thread lag behind the clock: a few seconds of slack.
  moved += AdvanceUntil([&] { return Failed(); }, 6000);
  ASSERT_TRUE(Failed());
  EXPECT_LE(moved, 9000);
  int ticks = recorder.Count(DL_EV_DATA_TICK, false);
  EXPECT_GE(ticks, 3);
  EXPECT_LE(ticks, 10);
  AdvanceUntil([] { return false; }, 3000);
  EXPECT_EQ(1, recorder.Count(DL_EV_DATA_FAILED, false));
  EXPECT_EQ(0, recorder.Count(DL_EV_DATA_DONE, false));
  EXPECT_EQ(ticks, recorder.Count(DL_EV_DATA_TICK, false));
}

TEST_F(DataDownloadManualClockTest, SilentServerEndsInOneFailedEvent) {
  testsupport::ScriptedServer server(testsupport::Script().ReadRequest().Stall());
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/silent").c_str()));
  ASSERT_TRUE(server.WaitForConnections(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int64_t moved = AdvanceUntil([&] { return Failed(); }, 3900);
  EXPECT_FALSE(Failed()) << moved;
  AdvanceUntil([&] { return Failed(); }, 6000);
  ASSERT_TRUE(Failed());
  AdvanceUntil([] { return false; }, 2000);
  EXPECT_EQ(1, recorder.Count(DL_EV_DATA_FAILED, false));
}

}  // namespace
