// The stand-alone content-length check against real local servers, on the manual clock, with
// its log lines.
#include "pipeline/CContentLengthChecker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "net/nwRegisterClasses.h"
#include "pipeline/DownloadLibTypes.h"
#include "pipeline/Log.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/IsolatedUserFolders.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScopedResolver.h"
#include "tests/support/ScriptedServer.h"

namespace {

using testsupport::Gate;
using testsupport::HttpOkHead;
using testsupport::HttpResponse;
using testsupport::Script;
using testsupport::ScriptedServer;

std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

class ContentLengthCheckerTest : public ::testing::Test, public IContentLengthCheckerEventListener {
 protected:
  void SetUp() override {
    nwRegisterClasses();
    ResetLogPathForTesting();
    ResetLog();
  }

  void TearDown() override {
    checker.reset();
    cpAddressBookSetResolver(nullptr);
    cpAddressBookClear();
    ResetLogPathForTesting();
  }

  void OnContentLengthCheckCompleted(int64_t total) override {
    completed.push_back(total);
    if (destroyOnReport) checker.reset();
  }
  void OnContentLengthCheckFailed(const char* url) override {
    failed.push_back(url != nullptr ? url : "<null>");
    if (destroyOnReport) checker.reset();
  }
  void OnContentLengthCheckHostUnreachable() override {
    unreachable += 1;
    if (destroyOnReport) checker.reset();
  }

  int Reports() const { return static_cast<int>(completed.size() + failed.size()) + unreachable; }
  bool WaitReports(int count, int64_t timeoutMs = 10000) {
    return runtime.PumpUntil([&] { return Reports() >= count; }, timeoutMs);
  }

  // The library's log lines, without their time stamps.
  std::vector<std::string> Log() const {
    std::vector<std::string> messages;
    for (const std::string& line : testsupport::LogLines(folders.LogPath()))
      messages.push_back(testsupport::LogMessage(line));
    return messages;
  }

  // The environment is given back after the test: the log folder only lives as long as it.
  testsupport::ScopedEnvironment keepDataHome{"XDG_DATA_HOME", Environment("XDG_DATA_HOME")};
  testsupport::ScopedEnvironment keepConfigHome{"XDG_CONFIG_HOME", Environment("XDG_CONFIG_HOME")};
  testsupport::IsolatedUserFolders folders;
  testsupport::CoreRuntime runtime{true};
  std::unique_ptr<CContentLengthChecker> checker = std::make_unique<CContentLengthChecker>(this);
  std::vector<int64_t> completed;
  std::vector<std::string> failed;
  int unreachable = 0;
  bool destroyOnReport = false;
};

TEST_F(ContentLengthCheckerTest, NoUrlsCompleteAtOnceWithTheCurrentTotal) {
  checker->StartCheck();
  ASSERT_EQ(1u, completed.size());  // inside the call
  EXPECT_EQ(0, completed[0]);
  EXPECT_EQ(0, checker->GetTotal());

  testsupport::HttpFileServer server;
  server.AddResource("/a", std::string(40, 'a'));
  ASSERT_EQ(DL_OK, checker->AddUrl(server.Url("/a").c_str()));
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(2));
  checker->StartCheck();
  ASSERT_EQ(3u, completed.size());
  EXPECT_EQ(40, completed[2]);
  EXPECT_EQ((std::vector<std::string>{"[TessenLib] Start ContentLength Check file:0",
                                      "[TessenLib] Start ContentLength Check file:1",
                                      "[TessenLib] ContentLength Check Complete file:1 sec:0",
                                      "[TessenLib] Start ContentLength Check file:0"}),
            Log());
}

TEST_F(ContentLengthCheckerTest, SumsSevenLengthsFiveAtATime) {
  Gate release[7];
  std::vector<Script> scripts;
  for (int i = 0; i < 7; ++i)
    scripts.push_back(Script().ReadRequest().WaitFor(release[i]).Send(HttpOkHead(100 + i)).Close());
  ScriptedServer server(scripts);
  for (int i = 0; i < 7; ++i) ASSERT_EQ(DL_OK, checker->AddUrl(server.Url("/f" + std::to_string(i)).c_str()));
  EXPECT_EQ(7, checker->SessionCount());
  checker->StartCheck();
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.ConnectionCount() == 5; }));
  runtime.Pump();
  EXPECT_EQ(5, server.SettledConnectionCount());
  EXPECT_EQ(5, checker->ActiveCount());
  runtime.AdvanceSeconds(2);  // the check takes two seconds

  release[0].Open();
  ASSERT_TRUE(
      runtime.PumpUntil([&] { return checker->CompletedCount() == 1 && server.ConnectionCount() == 6; }));
  EXPECT_EQ(5, checker->ActiveCount());
  release[1].Open();
  ASSERT_TRUE(
      runtime.PumpUntil([&] { return checker->CompletedCount() == 2 && server.ConnectionCount() == 7; }));
  EXPECT_EQ(5, checker->ActiveCount());
  for (int i = 2; i < 6; ++i) release[i].Open();
  ASSERT_TRUE(runtime.PumpUntil([&] { return checker->CompletedCount() == 6; }));
  EXPECT_TRUE(completed.empty());
  release[6].Open();
  ASSERT_TRUE(WaitReports(1));
  ASSERT_EQ(1u, completed.size());
  EXPECT_EQ(7 * 100 + 21, completed[0]);
  EXPECT_EQ(721, checker->GetTotal());
  EXPECT_EQ(0, checker->SessionCount());
  EXPECT_EQ(0, checker->ActiveCount());
  EXPECT_EQ((std::vector<std::string>{"[TessenLib] Start ContentLength Check file:7",
                                      "[TessenLib] ContentLength Check Complete file:7 sec:2"}),
            Log());
}

TEST_F(ContentLengthCheckerTest, OkWithoutContentLengthAddsZero) {
  ScriptedServer bare(Script().ReadRequest().Send(HttpResponse(200, {}) + "some body").Close());
  testsupport::HttpFileServer server;
  server.AddResource("/fifty", std::string(50, 'f'));
  checker->AddUrl(bare.Url("/bare").c_str());
  checker->AddUrl(server.Url("/fifty").c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(1));
  ASSERT_EQ(1u, completed.size());
  EXPECT_EQ(50, completed[0]);
  EXPECT_EQ(1, bare.ConnectionCount());
}

TEST_F(ContentLengthCheckerTest, OnlyTheFirstAlternativeIsAsked) {
  testsupport::HttpFileServer server;
  server.AddResource("/first", std::string(3, '1'));
  server.AddResource("/second", std::string(5, '2'));
  EXPECT_EQ(DL_ERR_FAILED, checker->AddUrl(""));
  EXPECT_EQ(DL_ERR_FAILED, checker->AddUrl(nullptr));
  ASSERT_EQ(DL_OK, checker->AddUrl((" " + server.Url("/first") + " |" + server.Url("/second")).c_str()));
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(1));
  ASSERT_EQ(1u, completed.size());
  EXPECT_EQ(3, completed[0]);
  EXPECT_EQ(0, server.RequestCount("/second"));
}

TEST_F(ContentLengthCheckerTest, RedirectUsesOneOfTheThreeTries) {
  testsupport::HttpFileServer server;
  server.AddResource("/dir/final", std::string(64, 'f'));
  server.AddRedirect("/a", "/dir/b", 302);
  server.AddRedirect("/dir/b", "final", 303);  // relative to the folder
  std::string twoHops = server.Url("/a");
  checker->AddUrl(twoHops.c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(1));
  ASSERT_EQ(1u, completed.size());
  EXPECT_EQ(64, completed[0]);

  server.AddRedirect("/x", server.Url("/y"), 302);
  server.AddRedirect("/y", server.Url("/z"), 302);
  server.AddRedirect("/z", server.Url("/dir/final"), 302);
  std::string threeHops = server.Url("/x");
  checker->AddUrl(threeHops.c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(2));
  ASSERT_EQ(1u, failed.size());
  EXPECT_EQ(threeHops, failed[0]);
  EXPECT_EQ(1, server.RequestCount("/z"));
  EXPECT_EQ(1, server.RequestCount("/dir/final"));  // only the first check got there
  EXPECT_EQ(64, checker->GetTotal());
  std::vector<std::string> log = Log();
  ASSERT_EQ(4u, log.size());
  EXPECT_EQ("[TessenLib] Start ContentLength Check file:1", log[2]);  // a new check numbers anew
  EXPECT_EQ("[TessenLib] ContentLength Check Failed reason:ResCode:302 file:0 url:" + threeHops, log[3]);
}

TEST_F(ContentLengthCheckerTest, ThreeFailedRequestsFailTheCheckWithTheLastReason) {
  testsupport::HttpFileServer server;
  std::string url = server.Url("/missing");
  checker->AddUrl(url.c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(1));
  ASSERT_EQ((std::vector<std::string>{url}), failed);
  EXPECT_TRUE(completed.empty());
  EXPECT_EQ(3, server.RequestCount("/missing"));
  EXPECT_EQ((std::vector<std::string>{
                "[TessenLib] Start ContentLength Check file:1",
                "[TessenLib] ContentLength Check Failed reason:ResCode:404 file:0 url:" + url}),
            Log());
}

TEST_F(ContentLengthCheckerTest, ClosedWithoutAnswerIsRetried) {
  ScriptedServer server({Script().ReadRequest().Close(), Script().ReadRequest().Send(HttpOkHead(9)).Close()});
  checker->AddUrl(server.Url("/x").c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(1));
  ASSERT_EQ((std::vector<int64_t>{9}), completed);
  EXPECT_EQ(2, server.ConnectionCount());

  ScriptedServer closing(Script().ReadRequest().Close());
  std::string url = closing.Url("/y");
  checker->AddUrl(url.c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(2));
  ASSERT_EQ((std::vector<std::string>{url}), failed);
  EXPECT_EQ(3, closing.ConnectionCount());
  EXPECT_EQ("[TessenLib] ContentLength Check Failed reason:Closed file:0 url:" + url, Log().back());
}

TEST_F(ContentLengthCheckerTest, RefusedConnectionsAreConnectTimeouts) {
  testsupport::ClosedPort refused;
  testsupport::HttpFileServer server;
  server.AddResource("/ok", "ok");
  checker->AddUrl(server.Url("/ok").c_str());
  std::string url = "http://127.0.0.1:" + std::to_string(refused.Port()) + "/file";
  checker->AddUrl(url.c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(1));
  ASSERT_EQ((std::vector<std::string>{url}), failed);
  EXPECT_TRUE(completed.empty());
  EXPECT_EQ(0, checker->SessionCount());
  EXPECT_EQ(0, checker->GetTotal());  // a failed check adds nothing
  // The session logs its time-out after it asked again, so the last one follows the failure.
  EXPECT_EQ((std::vector<std::string>{
                "[TessenLib] Start ContentLength Check file:2", "[TessenLib] CLCS CT(file:1)",
                "[TessenLib] CLCS CT(file:1)",
                "[TessenLib] ContentLength Check Failed reason:ConnectTimeout file:1 url:" + url,
                "[TessenLib] CLCS CT(file:1)"}),
            Log());
}

TEST_F(ContentLengthCheckerTest, ReceiveTimeoutsAreRetriedOnTheManualClock) {
  ScriptedServer server(Script().ReadRequest().Stall());
  std::string url = server.Url("/slow");
  checker->AddUrl(url.c_str());
  checker->StartCheck();
  for (int attempt = 1; attempt <= 3; ++attempt) {
    ASSERT_TRUE(runtime.PumpUntil([&] { return server.ConnectionCount() == attempt; })) << attempt;
    runtime.AdvanceSeconds(3);
    EXPECT_EQ(0, Reports());
    EXPECT_EQ(attempt, server.ConnectionCount());  // three silent seconds are allowed
    runtime.AdvanceSeconds(1);                     // the fourth ends the request
  }
  ASSERT_TRUE(WaitReports(1));
  ASSERT_EQ((std::vector<std::string>{url}), failed);
  EXPECT_EQ(3, server.ConnectionCount());
  EXPECT_EQ(
      (std::vector<std::string>{"[TessenLib] Start ContentLength Check file:1", "[TessenLib] CLCS RT(file:0)",
                                "[TessenLib] CLCS RT(file:0)",
                                "[TessenLib] ContentLength Check Failed reason:RecvTimeout file:0 url:" + url,
                                "[TessenLib] CLCS RT(file:0)"}),
      Log());
}

TEST_F(ContentLengthCheckerTest, UnreachableHostEndsTheCheckWithoutRetry) {
  testsupport::ScopedResolver resolver;
  Gate never;
  ScriptedServer stalled(Script().ReadRequest().WaitFor(never));
  checker->AddUrl(stalled.Url("/pending").c_str());
  checker->AddUrl("http://no-such-host.test/file");
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(1));
  EXPECT_EQ(1, unreachable);
  EXPECT_TRUE(failed.empty());
  EXPECT_TRUE(completed.empty());
  EXPECT_EQ(0, checker->SessionCount());  // the other URL's request ended with the check
  never.Open();
  int connections = stalled.SettledConnectionCount();
  ASSERT_TRUE(runtime.PumpUntil([&] { return stalled.WaitForFinished(connections, 0); }));
  runtime.Pump();
  runtime.AdvanceSeconds(10);
  EXPECT_EQ(1, Reports());
  EXPECT_EQ(1, resolver.Calls());
  EXPECT_EQ((std::vector<std::string>{"[TessenLib] Start ContentLength Check file:2",
                                      "[TessenLib] CLCS HU(file:1)"}),
            Log());
}

TEST_F(ContentLengthCheckerTest, TotalsAccumulateAcrossChecks) {
  testsupport::HttpFileServer server;
  server.AddResource("/a", std::string(10, 'a'));
  server.AddResource("/b", std::string(20, 'b'));
  server.AddResource("/c", std::string(5, 'c'));
  checker->AddUrl(server.Url("/a").c_str());
  checker->AddUrl(server.Url("/b").c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(1));
  EXPECT_EQ(30, completed[0]);
  EXPECT_EQ(0, checker->SessionCount());
  checker->AddUrl(server.Url("/c").c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(2));
  EXPECT_EQ(35, completed[1]);
  EXPECT_EQ(35, checker->GetTotal());
}

TEST_F(ContentLengthCheckerTest, OneFailedUrlEndsTheWholeCheck) {
  Gate never;
  ScriptedServer stalled(Script().ReadRequest().WaitFor(never).Send(HttpOkHead(1000)).Close());
  testsupport::HttpFileServer server;
  server.AddResource("/good", std::string(100, 'g'));
  checker->AddUrl(server.Url("/good").c_str());
  checker->AddUrl(stalled.Url("/stalled").c_str());
  std::string missing = server.Url("/missing");
  checker->AddUrl(missing.c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(1));
  ASSERT_EQ((std::vector<std::string>{missing}), failed);
  EXPECT_EQ(1, server.RequestCount("/good"));
  EXPECT_EQ(0, checker->GetTotal());  // the good URL's length went with the failed check
  never.Open();
  int connections = stalled.SettledConnectionCount();
  ASSERT_TRUE(runtime.PumpUntil([&] { return stalled.WaitForFinished(connections, 0); }));
  runtime.Pump();
  EXPECT_EQ(1, Reports());
  // URLs added afterwards form a new check.
  checker->AddUrl(server.Url("/good").c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(2));
  EXPECT_EQ((std::vector<int64_t>{100}), completed);
}

TEST_F(ContentLengthCheckerTest, CheckerMayBeDestroyedInsideItsReports) {
  testsupport::HttpFileServer server;
  server.AddResource("/a", "aaaa");
  destroyOnReport = true;
  checker->AddUrl(server.Url("/a").c_str());
  checker->AddUrl(server.Url("/a").c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(1));
  EXPECT_EQ(nullptr, checker);
  EXPECT_EQ((std::vector<int64_t>{8}), completed);

  Gate never;
  ScriptedServer stalled(Script().ReadRequest().WaitFor(never));
  checker = std::make_unique<CContentLengthChecker>(this);
  for (int i = 0; i < 4; ++i) checker->AddUrl(stalled.Url("/s" + std::to_string(i)).c_str());
  checker->AddUrl(server.Url("/missing").c_str());
  checker->AddUrl(server.Url("/queued").c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(2));
  EXPECT_EQ(nullptr, checker);
  EXPECT_EQ(1u, failed.size());
  never.Open();
  int connections = stalled.SettledConnectionCount();
  ASSERT_TRUE(runtime.PumpUntil([&] { return stalled.WaitForFinished(connections, 0); }));
  runtime.Pump();
  runtime.AdvanceSeconds(10);
  EXPECT_EQ(2, Reports());
  EXPECT_EQ(0, server.RequestCount("/queued"));

  testsupport::ClosedPort refused;
  checker = std::make_unique<CContentLengthChecker>(this);
  checker->AddUrl(("http://127.0.0.1:" + std::to_string(refused.Port()) + "/x").c_str());
  checker->StartCheck();
  ASSERT_TRUE(WaitReports(3));  // reported from inside a connect time-out
  EXPECT_EQ(nullptr, checker);
  EXPECT_EQ(2u, failed.size());
}

TEST_F(ContentLengthCheckerTest, DestroyingTheCheckerMidwayReportsNothing) {
  Gate release;
  ScriptedServer server(Script().ReadRequest().WaitFor(release).Send(HttpOkHead(5)).Close());
  for (int i = 0; i < 3; ++i) checker->AddUrl(server.Url("/f" + std::to_string(i)).c_str());
  checker->StartCheck();
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.ConnectionCount() == 3; }));
  checker.reset();
  release.Open();
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.WaitForFinished(3, 0); }));
  runtime.Pump();
  runtime.AdvanceSeconds(10);
  EXPECT_EQ(0, Reports());
}

}  // namespace
