// The direct file download session against real local servers, with the runtime pumped by hand.
#include "pipeline/CPlatformSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "net/nwHttpLocation.h"
#include "net/nwRegisterClasses.h"
#include "pipeline/Log.h"
#include "platform/File.h"
#include "platform/FileSystem.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/IsolatedUserFolders.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::HttpFileServer;
using testsupport::HttpResourceOptions;
using testsupport::ReadFileText;
using testsupport::Script;
using testsupport::ScriptedServer;

int g_cookieTarget = 0;
void* const kCookie = &g_cookieTarget;

std::string Bytes(size_t size, uint32_t seed = 12345) { return testsupport::PatternedBytes(size, seed); }

struct SessionEvent {
  std::string name;
  std::string text;  // URL or path
  int32_t code = 0;
  int32_t index = -1;  // record index of a completed file
  void* cookie = nullptr;
};

// Records every event in order; `onEvent` runs after recording and may destroy the session.
class SessionRecorder final : public IPlatFormSessionEventListener {
 public:
  std::vector<SessionEvent> events;
  std::function<void(const SessionEvent&)> onEvent;

  void OnAllFilesCompleted(void* cookie) override { Add({"all", "", 0, -1, cookie}); }
  void OnSessionFailed(void* cookie, const char* url) override { Add({"failed", url, 0, -1, cookie}); }
  void OnFileCompleted(void* cookie, const SessionFileRecord* file) override {
    Add({"completed", file->folder + file->fileName, 0, file->index, cookie});
  }
  void OnProgress(void* cookie) override { Add({"progress", "", 0, -1, cookie}); }
  void OnFileOpened(const char* path, void* cookie) override { Add({"opened", path, 0, -1, cookie}); }
  void OnSessionError(void* cookie, int32_t code, const char* url) override {
    Add({"error", url, code, -1, cookie});
  }

  int Count(const std::string& name) const {
    return static_cast<int>(
        std::count_if(events.begin(), events.end(), [&](const SessionEvent& e) { return e.name == name; }));
  }
  bool Ended() const { return Count("all") + Count("failed") + Count("error") > 0; }
  std::vector<std::string> Names(bool withProgress = false) const {
    std::vector<std::string> names;
    for (const SessionEvent& e : events) {
      if (withProgress || e.name != "progress") names.push_back(e.name);
    }
    return names;
  }
  const SessionEvent* Last(const std::string& name) const {
    for (auto it = events.rbegin(); it != events.rend(); ++it) {
      if (it->name == name) return &*it;
    }
    return nullptr;
  }

 private:
  void Add(SessionEvent event) {
    events.push_back(event);
    if (onEvent) onEvent(events.back());
  }
};

class PlatformSessionTest : public ::testing::Test {
 protected:
  explicit PlatformSessionTest(bool manualClock = false) : runtime_(manualClock) {
    nwRegisterClasses();
    ResetLogPathForTesting();
    ResetLog();
  }

  ~PlatformSessionTest() override {
    session_.reset();
    platform::File::SetWriteFaultForTesting(nullptr);
  }

  JobFileEntry& AddEntry(const std::string& url, const std::string& name, std::string folder = {}) {
    auto entry = std::make_unique<JobFileEntry>();
    entry->index = static_cast<int32_t>(entries_.size());
    entry->url = url;
    entry->folder = folder.empty() ? downloads_.Path() + "/" : folder;
    entry->fileName = name;
    std::snprintf(entry->serviceCode, sizeof(entry->serviceCode), "%s", "ORBA-SVC");
    entries_.push_back(std::move(entry));
    return *entries_.back();
  }

  void Start(int32_t fullSpeed = 1) {
    session_ = std::make_unique<CPlatformSession>();
    session_->SetSessionListener(&recorder_, kCookie);
    session_->SetFullSpeed(fullSpeed);
    session_->StartFiles(entries_);
  }

  bool WaitEnd(int64_t timeoutMs = 10000) {
    return runtime_.PumpUntil([&] { return recorder_.Ended(); }, timeoutMs);
  }

  std::string Target(const std::string& name) const { return downloads_ / name; }

  std::vector<std::string> LogMessages() const {
    std::vector<std::string> messages;
    for (const std::string& line : testsupport::LogLines(users_.LogPath()))
      messages.push_back(testsupport::LogMessage(line));
    return messages;
  }
  int LogCount(const std::string& message) const {
    std::vector<std::string> messages = LogMessages();
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
  }

  static std::string RefusedUrl(const testsupport::ClosedPort& port, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(port.Port()) + path;
  }

  testsupport::IsolatedUserFolders users_;
  testsupport::TempFolder downloads_;
  testsupport::CoreRuntime runtime_;
  SessionRecorder recorder_;
  std::vector<std::unique_ptr<JobFileEntry>> entries_;
  std::unique_ptr<CPlatformSession> session_;
};

class PlatformSessionManualClockTest : public PlatformSessionTest {
 protected:
  PlatformSessionManualClockTest() : PlatformSessionTest(true) {}
};

TEST_F(PlatformSessionTest, SeveralFilesArriveByteIdenticalInOrder) {
  HttpFileServer server;
  std::vector<std::string> contents = {Bytes(1, 1), Bytes(100000, 2), Bytes(3 * 1024 * 1024 + 7, 3)};
  for (size_t i = 0; i < contents.size(); ++i) {
    server.AddResource("/f" + std::to_string(i) + ".bin", contents[i]);
    AddEntry(server.Url("/f" + std::to_string(i) + ".bin"), "f" + std::to_string(i) + ".bin");
  }
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  int64_t total = 0;
  for (size_t i = 0; i < contents.size(); ++i) {
    std::string name = "f" + std::to_string(i) + ".bin";
    EXPECT_TRUE(ReadFileText(Target(name)) == contents[i]) << name;
    total += static_cast<int64_t>(contents[i].size());
    EXPECT_EQ(static_cast<int64_t>(contents[i].size()), session_->RecordAt(i)->received);
    EXPECT_EQ(static_cast<int64_t>(contents[i].size()), session_->RecordAt(i)->expected);
    EXPECT_EQ(0, session_->RecordAt(i)->offset);
  }
  EXPECT_EQ(total, session_->SessionBytes());
  EXPECT_EQ(
      (std::vector<std::string>{"opened", "completed", "opened", "completed", "opened", "completed", "all"}),
      recorder_.Names());
  std::vector<int32_t> completedIndices;
  for (const SessionEvent& e : recorder_.events) {
    EXPECT_EQ(kCookie, e.cookie) << e.name;
    if (e.name == "completed") completedIndices.push_back(e.index);
  }
  EXPECT_EQ((std::vector<int32_t>{0, 1, 2}), completedIndices);
  EXPECT_EQ(Target("f0.bin"), recorder_.events.front().text);
  EXPECT_EQ(nullptr, session_->Current());
  EXPECT_FALSE(session_->HasExchange());
  EXPECT_TRUE(session_->CurrentPath().empty());
  for (const auto& request : server.Requests()) {
    EXPECT_EQ("bytes=0-", request.Header("Range"));
    EXPECT_EQ("GET", request.method);
  }
  EXPECT_EQ(3, server.RequestCount());
}

TEST_F(PlatformSessionTest, EntriesWithoutUrlFolderOrNameAreSkippedSilently) {
  HttpFileServer server;
  server.AddResource("/a", "aaa");
  AddEntry("", "no-url.bin");
  AddEntry(server.Url("/a"), "no-folder.bin").folder.clear();
  AddEntry(server.Url("/a"), "");
  Start();
  runtime_.Pump();
  EXPECT_TRUE(recorder_.events.empty());
  EXPECT_EQ(0u, session_->RecordCount());
  EXPECT_EQ(nullptr, session_->Current());
  EXPECT_EQ(0, server.RequestCount());
}

TEST_F(PlatformSessionTest, SkippedEntriesLeaveTheOthersWithTheirIndices) {
  HttpFileServer server;
  server.AddResource("/a", "aaa");
  server.AddResource("/b", "bbbb");
  AddEntry("", "skipped.bin");
  AddEntry(server.Url("/a"), "a.bin");
  AddEntry(server.Url("/a"), "");
  AddEntry(server.Url("/b"), "b.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  std::vector<int32_t> indices;
  for (const SessionEvent& e : recorder_.events) {
    if (e.name == "completed") indices.push_back(e.index);
  }
  EXPECT_EQ((std::vector<int32_t>{1, 3}), indices);
  EXPECT_EQ(2u, session_->RecordCount());
  EXPECT_EQ("aaa", ReadFileText(Target("a.bin")));
  EXPECT_EQ("bbbb", ReadFileText(Target("b.bin")));
}

TEST_F(PlatformSessionTest, FolderWithoutTrailingSeparatorGetsOneAndMissingLevelsAreMade) {
  HttpFileServer server;
  server.AddResource("/a", "first");
  server.AddResource("/b", "second");
  AddEntry(server.Url("/a"), "a.bin", downloads_ / "one/two/three");
  AddEntry(server.Url("/b"), "b.bin", downloads_.Path() + "\\x\\y\\");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ("first", ReadFileText(downloads_ / "one/two/three/a.bin"));
  EXPECT_EQ("second", ReadFileText(downloads_ / "x/y/b.bin"));
  EXPECT_EQ(downloads_ / "one/two/three/a.bin", recorder_.events.front().text);
}

TEST_F(PlatformSessionTest, RefusedFirstAlternativeGetsThreeRequestsThenTheSecondServes) {
  HttpFileServer server;
  testsupport::ClosedPort closed;
  std::string body = Bytes(5000);
  server.AddResource("/file.bin", body);
  AddEntry(RefusedUrl(closed, "/file.bin") + "|" + server.Url("/file.bin"), "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  // Every request opens the target afresh: three for the refused address, one for the second.
  EXPECT_EQ(4, recorder_.Count("opened"));
  EXPECT_EQ(1, server.RequestCount("/file.bin"));
  EXPECT_TRUE(ReadFileText(Target("file.bin")) == body);
  EXPECT_EQ(5000, session_->SessionBytes());
  EXPECT_EQ(0, LogCount("[TessenLib] TryMax Over : " + server.Url("/file.bin")));
}

TEST_F(PlatformSessionTest, BlanksAroundAlternativesAreNotPartOfTheAddresses) {
  HttpFileServer server;
  std::string body = Bytes(3000);
  server.AddResource("/x.bin", body);
  server.AddResource("/y.bin", "the second");
  AddEntry(" " + server.Url("/x.bin") + " | " + server.Url("/y.bin") + " ", "x.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ(1, recorder_.Count("opened"));
  EXPECT_EQ(1, server.RequestCount());
  EXPECT_TRUE(ReadFileText(Target("x.bin")) == body);
}

TEST_F(PlatformSessionTest, UnusableUrlCountsAsThreeFailedRequests) {
  HttpFileServer server;
  server.AddResource("/file.bin", "served");
  AddEntry("ftp://mirror.example/file.bin|" + server.Url("/file.bin"), "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ(4, recorder_.Count("opened"));
  EXPECT_EQ(1, server.RequestCount("/file.bin"));
  EXPECT_EQ("served", ReadFileText(Target("file.bin")));
}

TEST_F(PlatformSessionTest, WhenEveryAlternativeFailsOneTryMaxLineAndOneFailure) {
  HttpFileServer server;
  testsupport::ClosedPort closed;
  server.AddStatus("/busy", 503, "try later");
  std::string second = server.Url("/busy");
  AddEntry(RefusedUrl(closed, "/x") + "|" + second, "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  runtime_.Pump();
  EXPECT_EQ(3, server.RequestCount("/busy"));
  EXPECT_EQ(6, recorder_.Count("opened"));
  ASSERT_EQ(1, recorder_.Count("failed"));
  EXPECT_EQ(second, recorder_.Last("failed")->text);
  EXPECT_EQ("failed", recorder_.events.back().name);
  EXPECT_EQ(0, recorder_.Count("completed"));
  EXPECT_EQ(1, LogCount("[TessenLib] TryMax Over : " + second));
  EXPECT_FALSE(session_->HasExchange());
  EXPECT_TRUE(session_->CurrentPath().empty());
}

TEST_F(PlatformSessionTest, RedirectResetsTheTryCount) {
  HttpFileServer server;
  std::string body = Bytes(20000);
  HttpResourceOptions twoFailures;
  twoFailures.failFirst = 2;
  server.AddResource("/target.bin", body, twoFailures);
  server.AddRedirect("/start", server.Url("/target.bin"), 302);
  AddEntry(server.Url("/start"), "target.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  // One request to the first address, then three of its own for the redirected one.
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ(1, server.RequestCount("/start"));
  EXPECT_EQ(3, server.RequestCount("/target.bin"));
  EXPECT_TRUE(ReadFileText(Target("target.bin")) == body);
  EXPECT_EQ(20000, session_->SessionBytes());
}

TEST_F(PlatformSessionTest, RedirectReplacesOnlyTheCurrentUrlAndTheNextAlternativeFollows) {
  HttpFileServer server;
  server.AddStatus("/gone", 404);
  server.AddRedirect("/first", server.Url("/gone"), 303);
  server.AddResource("/second", "second alternative");
  AddEntry(server.Url("/first") + "|" + server.Url("/second"), "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ(1, server.RequestCount("/first"));
  EXPECT_EQ(3, server.RequestCount("/gone"));
  EXPECT_EQ(1, server.RequestCount("/second"));
  EXPECT_EQ("second alternative", ReadFileText(Target("file.bin")));
}

TEST_F(PlatformSessionTest, RelativeLocationsAreResolvedAgainstTheRequest) {
  HttpFileServer server;
  server.AddResource("/dir/file.bin", "relative");
  server.AddResource("/abs.bin", "absolute path");
  server.AddRedirect("/dir/start", "file.bin", 302);
  server.AddRedirect("/other/start", "/abs.bin", 303);
  AddEntry(server.Url("/dir/start"), "one.bin");
  AddEntry(server.Url("/other/start"), "two.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ("relative", ReadFileText(Target("one.bin")));
  EXPECT_EQ("absolute path", ReadFileText(Target("two.bin")));
}

TEST_F(PlatformSessionTest, RedirectWithoutLocationFailsWithItsLogLine) {
  HttpFileServer server;
  server.AddRedirect("/nowhere", "", 302);
  std::string url = server.Url("/nowhere");
  AddEntry(url, "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  runtime_.Pump();
  ASSERT_EQ(1, recorder_.Count("failed"));
  EXPECT_EQ(url, recorder_.Last("failed")->text);
  EXPECT_EQ(1, server.RequestCount("/nowhere"));
  EXPECT_EQ(1, LogCount("[TessenLib] eNWHSC_HTTP_SEEOTHER  : " + url));
  EXPECT_FALSE(session_->HasExchange());
}

TEST_F(PlatformSessionTest, RedirectLoopEnds) {
  HttpFileServer server;
  server.AddRedirect("/loop", "/loop", 302);
  std::string url = server.Url("/loop");
  AddEntry(url, "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  runtime_.Pump();
  ASSERT_EQ(1, recorder_.Count("failed"));
  EXPECT_EQ(kMaxRedirects + 1, server.RequestCount("/loop"));
  EXPECT_EQ(1, LogCount("[TessenLib] eNWHSC_HTTP_SEEOTHER  : " + url));
}

TEST_F(PlatformSessionTest, Status416FinishesTheFileWithoutWritingAndMovesOn) {
  HttpFileServer server;
  server.AddStatus("/complete.bin", 416, "", {{"Content-Range", "bytes */0"}});
  server.AddResource("/next.bin", "next file");
  // The existing file is emptied by the open, and nothing is written after the 416.
  testsupport::WriteFileText(Target("complete.bin"), "old content");
  AddEntry(server.Url("/complete.bin"), "complete.bin");
  AddEntry(server.Url("/next.bin"), "next.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ((std::vector<std::string>{"opened", "completed", "opened", "completed", "all"}),
            recorder_.Names());
  // No chunk of the 416 answer reached the file: the progress events all belong to the next file.
  EXPECT_EQ("completed", recorder_.Names(true)[1]);
  EXPECT_EQ(0, platform::FileSize(Target("complete.bin")).value_or(-1));
  EXPECT_EQ("next file", ReadFileText(Target("next.bin")));
  EXPECT_EQ(0, session_->RecordAt(0)->received);
  EXPECT_EQ(1, server.RequestCount("/complete.bin"));
  EXPECT_EQ("bytes=0-", server.Requests().front().Header("Range"));
  int32_t count = -1;
  session_->CollectReport(nullptr, &count);
  EXPECT_EQ(1, count);
}

TEST_F(PlatformSessionTest, AnnouncedEmptyBodyCompletesTheFileAtOnce) {
  HttpFileServer server;
  HttpResourceOptions wholeBody;
  wholeBody.ignoreRange = true;  // 200 with Content-Length 0 instead of 416
  server.AddResource("/empty.bin", "", wholeBody);
  server.AddResource("/next.bin", "next");
  AddEntry(server.Url("/empty.bin"), "empty.bin");
  AddEntry(server.Url("/next.bin"), "next.bin");
  Start();
  ASSERT_TRUE(WaitEnd(2000));
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ(1, server.RequestCount("/empty.bin"));
  EXPECT_EQ(0, platform::FileSize(Target("empty.bin")).value_or(-1));
  EXPECT_EQ("next", ReadFileText(Target("next.bin")));
}

TEST_F(PlatformSessionTest, ExistingFileIsEmptiedAndTheRequestAsksFromByteZero) {
  HttpFileServer server;
  std::string body = Bytes(1000);
  server.AddResource("/file.bin", body);
  testsupport::WriteFileText(Target("file.bin"), std::string(5000, 'J'));
  AddEntry(server.Url("/file.bin"), "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_TRUE(ReadFileText(Target("file.bin")) == body);
  ASSERT_EQ(1, server.RequestCount());
  EXPECT_EQ("bytes=0-", server.Requests().front().Header("Range"));
  EXPECT_EQ(0, session_->RecordAt(0)->offset);
  EXPECT_EQ(1000, session_->SessionBytes());
}

TEST_F(PlatformSessionTest, BodyCutMidwayIsRetriedAndTheCountersMatchTheDisk) {
  HttpFileServer server;
  std::string body = Bytes(200000);
  HttpResourceOptions cut;
  cut.cutAfter = 50000;
  cut.cutResponses = 2;
  server.AddResource("/file.bin", body, cut);
  server.AddResource("/other.bin", "other");
  AddEntry(server.Url("/file.bin"), "file.bin");
  AddEntry(server.Url("/other.bin"), "other.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ(3, server.RequestCount("/file.bin"));
  EXPECT_TRUE(ReadFileText(Target("file.bin")) == body);
  EXPECT_EQ(200000, session_->RecordAt(0)->received);
  EXPECT_EQ(0, session_->RecordAt(0)->offset);
  int64_t onDisk = platform::FileSize(Target("file.bin")).value_or(-1) +
                   platform::FileSize(Target("other.bin")).value_or(-1);
  EXPECT_EQ(onDisk, session_->SessionBytes());
  for (const auto& request : server.Requests()) EXPECT_EQ("bytes=0-", request.Header("Range"));
}

TEST_F(PlatformSessionTest, FileThatAlwaysBreaksOffFailsWithCountersMatchingTheDisk) {
  HttpFileServer server;
  HttpResourceOptions cut;
  cut.cutAfter = 30000;
  server.AddResource("/file.bin", Bytes(100000), cut);
  std::string url = server.Url("/file.bin");
  AddEntry(url, "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("failed"));
  EXPECT_EQ(url, recorder_.Last("failed")->text);
  EXPECT_EQ(3, server.RequestCount("/file.bin"));
  int64_t onDisk = platform::FileSize(Target("file.bin")).value_or(-1);
  EXPECT_EQ(30000, onDisk);
  EXPECT_EQ(onDisk, session_->SessionBytes());
  EXPECT_EQ(onDisk, session_->RecordAt(0)->received);
  EXPECT_EQ(1, LogCount("[TessenLib] TryMax Over : " + url));
}

TEST_F(PlatformSessionTest, BodyLongerThanContentLengthWritesExactlyContentLength) {
  ScriptedServer server({
      Script()
          .ReadRequest()
          .Send(testsupport::HttpResponse(200, {{"Content-Length", "10"}}, "0123456789EXTRA"))
          .Stall(),
      Script()
          .ReadRequest()
          .SendInPieces(testsupport::HttpResponse(206, {{"Content-Length", "6"}}, "abcdefGHIJKLMNOP"),
                        {40, 3, 3, 3}, 20)
          .Stall(),
  });
  AddEntry(server.Url("/one"), "one.bin");
  AddEntry(server.Url("/two"), "two.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ("0123456789", ReadFileText(Target("one.bin")));
  EXPECT_EQ("abcdef", ReadFileText(Target("two.bin")));
  EXPECT_EQ(16, session_->SessionBytes());
}

TEST_F(PlatformSessionTest, OneProgressPerChunk) {
  testsupport::Gate second;
  testsupport::Gate third;
  std::string head = testsupport::HttpResponse(200, {{"Content-Length", "3000"}});
  std::string body = Bytes(3000);
  ScriptedServer server(Script()
                            .ReadRequest()
                            .Send(head + body.substr(0, 1000))
                            .WaitFor(second)
                            .Send(body.substr(1000, 1000))
                            .WaitFor(third)
                            .Send(body.substr(2000))
                            .Stall());
  std::vector<int64_t> bytesAtProgress;
  recorder_.onEvent = [&](const SessionEvent& e) {
    if (e.name == "progress") bytesAtProgress.push_back(session_->SessionBytes());
  };
  AddEntry(server.Url("/file"), "file.bin");
  Start();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("progress") == 1; }));
  second.Open();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("progress") == 2; }));
  third.Open();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ((std::vector<int64_t>{1000, 2000, 3000}), bytesAtProgress);
  EXPECT_EQ((std::vector<std::string>{"opened", "progress", "progress", "progress", "completed", "all"}),
            recorder_.Names(true));
  EXPECT_TRUE(ReadFileText(Target("file.bin")) == body);
}

TEST_F(PlatformSessionTest, WriteFailureIsReportedOnceAndStopsTheExchange) {
  testsupport::Gate second;
  testsupport::Gate rest;
  std::string head = testsupport::HttpResponse(200, {{"Content-Length", "4000"}});
  std::string body = Bytes(4000);
  ScriptedServer server(Script()
                            .ReadRequest()
                            .Send(head + body.substr(0, 1000))
                            .WaitFor(second)
                            .Send(body.substr(1000, 1000))
                            .WaitFor(rest)
                            .Send(body.substr(2000))
                            .ReadToEnd());
  std::string target = Target("file.bin");
  int faults = 0;
  platform::File::SetWriteFaultForTesting([&](const std::string& path, int64_t position, size_t /*length*/) {
    if (path != target || position < 1000) return 0;
    ++faults;
    return EIO;
  });
  std::string url = server.Url("/file");
  AddEntry(url, "file.bin");
  Start();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("progress") == 1; }));
  second.Open();
  ASSERT_TRUE(WaitEnd());
  rest.Open();
  ASSERT_TRUE(server.WaitForFinished(1));
  runtime_.Pump();
  EXPECT_EQ(1, faults);
  ASSERT_EQ(1, recorder_.Count("error"));
  EXPECT_EQ(513, recorder_.Last("error")->code);
  EXPECT_EQ(url, recorder_.Last("error")->text);
  EXPECT_EQ((std::vector<std::string>{"opened", "progress", "error"}), recorder_.Names(true));
  EXPECT_FALSE(session_->HasExchange());
  EXPECT_EQ(1, server.ConnectionCount());
  EXPECT_TRUE(ReadFileText(target) == body.substr(0, 1000));
  EXPECT_EQ(1000, session_->SessionBytes());
  EXPECT_EQ(1000, session_->RecordAt(0)->received);
}

TEST_F(PlatformSessionTest, TargetThatCannotBeOpenedFailsWithBothLogLines) {
  HttpFileServer server;
  server.AddResource("/file.bin", "x");
  testsupport::WriteFileText(downloads_ / "blocker", "a file where a folder should be");
  std::string url = server.Url("/file.bin");
  AddEntry(url, "file.bin", downloads_ / "blocker/sub/");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("failed"));
  EXPECT_EQ(url, recorder_.Last("failed")->text);
  EXPECT_EQ(0, recorder_.Count("opened"));
  EXPECT_EQ(0, server.RequestCount());
  std::vector<std::string> messages = LogMessages();
  std::vector<std::string> expected = {"[TessenLib] CreateFile Failed(" + std::to_string(ENOTDIR) +
                                           ") : " + downloads_ / "blocker/sub/file.bin",
                                       "[TessenLib] WriteFileOpen Failed : " + url};
  EXPECT_EQ(expected, messages);
}

TEST_F(PlatformSessionTest, OtherStatusIsRetriedThreeTimes) {
  HttpFileServer server;
  std::string body = Bytes(700);
  HttpResourceOptions notFoundTwice;
  notFoundTwice.failFirst = 2;
  notFoundTwice.failStatus = 404;
  server.AddResource("/file.bin", body, notFoundTwice);
  AddEntry(server.Url("/file.bin"), "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ(3, server.RequestCount("/file.bin"));
  EXPECT_TRUE(ReadFileText(Target("file.bin")) == body);
  EXPECT_EQ(700, session_->SessionBytes());
}

TEST_F(PlatformSessionTest, ReportHoldsTheFilesThatReceivedBytes) {
  HttpFileServer server;
  server.AddResource("/a.bin", Bytes(1234));
  server.AddStatus("/none.bin", 416);
  server.AddResource("/b.bin", Bytes(99));
  std::string longList = server.Url("/a.bin") + "|http://mirror.invalid/" + std::string(300, 'm');
  AddEntry(longList, "a.bin");
  AddEntry(server.Url("/none.bin"), "none.bin");
  AddEntry(server.Url("/b.bin"), "b.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  int32_t count = 0;
  session_->CollectReport(nullptr, &count);
  ASSERT_EQ(2, count);
  std::vector<FileReportEntry> report(2);
  session_->CollectReport(report.data(), &count);
  EXPECT_EQ("ORBA-SVC", report[0].Tag());
  EXPECT_EQ(longList.substr(0, 255), report[0].UrlList());
  EXPECT_EQ(1234, report[0].Received());
  EXPECT_EQ(1, report[0].bytes[297]);
  EXPECT_EQ(server.Url("/b.bin"), report[1].UrlList());
  EXPECT_EQ(99, report[1].Received());
  EXPECT_EQ(1, report[1].bytes[297]);
}

TEST(FileReportEntryTest, BytesAreLaidOutFieldByField) {
  FileReportEntry entry;
  std::fill(std::begin(entry.bytes), std::end(entry.bytes), 0xEE);
  std::string url(300, 'u');
  url[254] = 'L';
  entry.Fill("SERVICE-CODE", url, 0x0102030405060708LL);
  const uint8_t* b = entry.bytes;
  EXPECT_EQ(std::string("SERVICE-CODE"), std::string(reinterpret_cast<const char*>(b), 12));
  for (size_t i = 12; i < 33; ++i) EXPECT_EQ(0, b[i]) << i;
  EXPECT_EQ('u', b[33]);
  EXPECT_EQ('L', b[33 + 254]);
  EXPECT_EQ(0, b[288]);  // 255 characters and their NUL
  const uint8_t received[8] = {8, 7, 6, 5, 4, 3, 2, 1};
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(received[i], b[289 + i]) << i;
  EXPECT_EQ(1, b[297]);
  EXPECT_EQ(0x0102030405060708LL, entry.Received());
  EXPECT_EQ(std::string(254, 'u').append("L"), entry.UrlList());
  EXPECT_EQ("SERVICE-CODE", entry.Tag());
}

TEST(FileReportEntryTest, LongTagIsCutWithItsTerminator) {
  FileReportEntry entry;
  char tag[33];
  std::fill(std::begin(tag), std::end(tag), 'T');  // no terminator at all
  entry.Fill(tag, "http://h/x", -1);
  EXPECT_EQ(std::string(32, 'T'), entry.Tag());
  EXPECT_EQ(0, entry.bytes[32]);
  EXPECT_EQ("http://h/x", entry.UrlList());
  for (size_t i = 0; i < 8; ++i) EXPECT_EQ(0xFF, entry.bytes[289 + i]);
  std::vector<FileReportEntry> array(3);
  EXPECT_EQ(3 * 298u, sizeof(FileReportEntry) * array.size());
}

// The owner destroys the session from inside an event; nothing may follow.
struct DestroyCase {
  const char* event;
  int occurrence;  // destroy at this occurrence of the event (1-based)
};

void PrintTo(const DestroyCase& c, std::ostream* out) { *out << c.event << c.occurrence; }

class PlatformSessionDestroyTest : public PlatformSessionTest,
                                   public ::testing::WithParamInterface<DestroyCase> {};

TEST_P(PlatformSessionDestroyTest, ListenerMayDestroyTheSessionInsideAnEvent) {
  HttpFileServer server;
  testsupport::ClosedPort closed;
  std::string body = Bytes(300000);
  server.AddResource("/a.bin", body);
  server.AddResource("/b.bin", "second");
  std::string event = GetParam().event;
  if (event == "failed") {
    AddEntry(RefusedUrl(closed, "/a.bin"), "a.bin");
  } else {
    AddEntry(server.Url("/a.bin"), "a.bin");
    AddEntry(server.Url("/b.bin"), "b.bin");
  }
  if (event == "error") {
    platform::File::SetWriteFaultForTesting([](const std::string&, int64_t, size_t) { return ENOSPC; });
  }
  int seen = 0;
  bool destroyed = false;
  recorder_.onEvent = [&](const SessionEvent& e) {
    if (e.name == event && ++seen == GetParam().occurrence) {
      session_.reset();
      destroyed = true;
    }
  };
  Start();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return destroyed; }));
  size_t eventsAtDestruction = recorder_.events.size();
  runtime_.Pump();
  EXPECT_EQ(eventsAtDestruction, recorder_.events.size());
  EXPECT_EQ(event, recorder_.events.back().name);
}

INSTANTIATE_TEST_SUITE_P(Events, PlatformSessionDestroyTest,
                         ::testing::Values(DestroyCase{"all", 1}, DestroyCase{"completed", 1},
                                           DestroyCase{"opened", 1}, DestroyCase{"opened", 2},
                                           DestroyCase{"progress", 1}, DestroyCase{"failed", 1},
                                           DestroyCase{"error", 1}),
                         [](const ::testing::TestParamInfo<DestroyCase>& param) {
                           return std::string(param.param.event) + std::to_string(param.param.occurrence);
                         });

TEST_F(PlatformSessionTest, DetachedSessionReportsNothing) {
  HttpFileServer server;
  server.AddResource("/a.bin", Bytes(1000));
  AddEntry(server.Url("/a.bin"), "a.bin");
  Start();
  // Only the first open happens before the owner can detach.
  ASSERT_EQ((std::vector<std::string>{"opened"}), recorder_.Names(true));
  session_->SetSessionListener(nullptr, nullptr);
  ASSERT_TRUE(runtime_.PumpUntil([&] { return session_->Current() == nullptr; }));
  EXPECT_EQ(1u, recorder_.events.size());
  EXPECT_EQ(1000, session_->SessionBytes());
}

TEST_F(PlatformSessionManualClockTest, ReducedBudgetNeverReceivesMoreThanItsShareInAnyQoSSecond) {
  HttpFileServer server;
  constexpr int64_t kBudget = CPlatformSession::kReducedBudget;
  constexpr int64_t kHeadAllowance = 1024;
  std::string body = Bytes(static_cast<size_t>(3 * kBudget + 5000));
  server.AddResource("/slow.bin", body);
  AddEntry(server.Url("/slow.bin"), "slow.bin");
  // Bytes received, by the QoS second in which they arrived.
  std::map<int32_t, int64_t> bytesBySecond;
  int64_t lastBytes = 0;
  recorder_.onEvent = [&](const SessionEvent& e) {
    if (e.name != "progress") return;
    bytesBySecond[runtime_.Qos().TickCount()] += session_->SessionBytes() - lastBytes;
    lastBytes = session_->SessionBytes();
  };
  Start(0);
  auto total = static_cast<int64_t>(body.size());
  for (int second = 1; second <= 8 && !recorder_.Ended(); ++second) {
    int64_t allowed = std::min<int64_t>(total, second * kBudget);
    // The response head takes its share of the first second's budget too.
    int64_t expected = std::min<int64_t>(total, second * kBudget - kHeadAllowance);
    runtime_.PumpUntil([&] { return lastBytes >= expected || recorder_.Ended(); }, 4000);
    runtime_.Pump();  // a read past the budget of bytes already here would show now
    EXPECT_LE(lastBytes, allowed) << "second " << second;
    if (!recorder_.Ended()) runtime_.AdvanceSeconds(1);
  }
  ASSERT_EQ(1, recorder_.Count("all"));
  for (const auto& [tick, bytes] : bytesBySecond) EXPECT_LE(bytes, kBudget) << "tick " << tick;
  // The first second's budget comes with the limit; three more seconds carry the rest.
  EXPECT_GE(bytesBySecond[0], kBudget - kHeadAllowance);
  EXPECT_EQ(3, runtime_.Qos().TickCount());
  EXPECT_TRUE(ReadFileText(Target("slow.bin")) == body);
}

TEST_F(PlatformSessionManualClockTest, FullSpeedNeedsNoQoSSecond) {
  HttpFileServer server;
  std::string body = Bytes(2 * 1024 * 1024);
  server.AddResource("/fast.bin", body);
  AddEntry(server.Url("/fast.bin"), "fast.bin");
  Start(1);
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ(0, runtime_.Qos().TickCount());
  EXPECT_TRUE(ReadFileText(Target("fast.bin")) == body);
}

TEST_F(PlatformSessionManualClockTest, SilentServerIsClosedAfterTheIdleLimitAndRetried) {
  std::string body = Bytes(2000);
  std::string head = testsupport::HttpResponse(200, {{"Content-Length", "2000"}});
  ScriptedServer server({
      Script().ReadRequest().Send(head + body.substr(0, 500)).Stall(),
      Script().ReadRequest().Send(head + body).Stall(),
  });
  AddEntry(server.Url("/file"), "file.bin");
  Start();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return recorder_.Count("progress") == 1; }));
  runtime_.AdvanceSeconds(3);
  EXPECT_EQ(1, server.ConnectionCount());
  runtime_.AdvanceSeconds(2);
  ASSERT_TRUE(WaitEnd());
  ASSERT_EQ(1, recorder_.Count("all"));
  EXPECT_EQ(2, server.ConnectionCount());
  EXPECT_EQ(2, recorder_.Count("opened"));
  EXPECT_TRUE(ReadFileText(Target("file.bin")) == body);
  EXPECT_EQ(2000, session_->SessionBytes());
}

}  // namespace
