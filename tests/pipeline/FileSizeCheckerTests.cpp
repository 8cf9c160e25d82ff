// The per-job size check against real local servers, on the manual clock.
#include "pipeline/CPlatformFileSizeChecker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "net/nwHttpLocation.h"
#include "net/nwRegisterClasses.h"
#include "pipeline/DownloadLibTypes.h"
#include "platform/Clock.h"
#include "platform/Socket.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScopedResolver.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::Gate;
using testsupport::HttpOkHead;
using testsupport::HttpResponse;
using testsupport::Script;
using testsupport::ScriptedServer;

constexpr int64_t kPlentyOfSpace = int64_t{1} << 50;

struct Failure {
  void* cookie;
  int32_t code;
  std::string text;
};

struct Completion {
  void* cookie;
  FileSizeCheckResult result;
};

class FileSizeCheckerTest : public ::testing::Test, public ICheckerEventListener {
 protected:
  void SetUp() override { nwRegisterClasses(); }

  void TearDown() override {
    checker.reset();
    cpAddressBookClear();
  }

  void OnSizeCheckCompleted(void* reportCookie, const FileSizeCheckResult& result) override {
    completions.push_back({reportCookie, result});
    if (destroyOnReport) checker.reset();
  }

  void OnSizeCheckFailed(void* reportCookie, int32_t code, const char* text) override {
    failures.push_back({reportCookie, code, text != nullptr ? text : "<null>"});
    if (destroyOnReport) checker.reset();
  }

  JobFileEntry& Add(const std::string& url, int64_t size = -1, int64_t downloaded = 0) {
    auto entry = std::make_unique<JobFileEntry>();
    entry->index = static_cast<int32_t>(entries.size());
    entry->url = url;
    entry->folder = folder / "dest/";
    entry->fileName = "file" + std::to_string(entries.size()) + ".bin";
    entry->size = size;
    entry->downloaded = downloaded;
    entry->optionA = 1;
    entries.push_back(std::move(entry));
    return *entries.back();
  }

  // Runs the check on the entries with a fixed free space (none: the real file system).
  void Run(std::optional<int64_t> freeSpace = kPlentyOfSpace) {
    checker = std::make_unique<CPlatformFileSizeChecker>();
    checker->SetCheckerListener(this, &cookie);
    if (freeSpace) {
      checker->SetFreeSpaceFunction([this, freeSpace](const std::string& path) {
        measured.push_back(path);
        return freeSpace;
      });
    }
    checker->RunSizeCheck(entries);
  }

  bool Ended() const { return !completions.empty() || !failures.empty(); }
  bool WaitEnded(int64_t timeoutMs = 10000) {
    return runtime.PumpUntil([this] { return Ended(); }, timeoutMs);
  }

  // Pumps for a short real time, for checks that something does not happen.

  testsupport::CoreRuntime runtime{true};
  testsupport::TempFolder folder;
  int cookie = 0;
  std::vector<std::unique_ptr<JobFileEntry>> entries;
  std::unique_ptr<CPlatformFileSizeChecker> checker;
  std::vector<Completion> completions;
  std::vector<Failure> failures;
  std::vector<std::string> measured;
  bool destroyOnReport = false;
};

TEST_F(FileSizeCheckerTest, AllSizesKnownCompleteInsideRunWithoutRequests) {
  testsupport::HttpFileServer server;
  server.AddResource("/a", std::string(10, 'a'));
  Add(server.Url("/a"), 100, 10);
  Add(server.Url("/a"), 200, 20);
  Run();
  ASSERT_EQ(1u, completions.size());  // before any message was pumped
  EXPECT_EQ(&cookie, completions[0].cookie);
  EXPECT_EQ(300, completions[0].result.totalSize);
  EXPECT_EQ(30, completions[0].result.bytesAtStart);
  EXPECT_EQ(2, completions[0].result.fileCount);
  EXPECT_EQ(0u, checker->ActiveCount());
  runtime.Pump();
  EXPECT_EQ(0, server.RequestCount());
  EXPECT_EQ(1u, completions.size());
}

TEST_F(FileSizeCheckerTest, EmptyJobCompletesWithZeroes) {
  Run();
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(0, completions[0].result.totalSize);
  EXPECT_EQ(0, completions[0].result.bytesAtStart);
  EXPECT_EQ(0, completions[0].result.fileCount);
}

TEST_F(FileSizeCheckerTest, SevenUnknownSizesRunFiveAtATime) {
  Gate release[7];
  std::vector<Script> scripts;
  for (int i = 0; i < 7; ++i)
    scripts.push_back(Script().ReadRequest().WaitFor(release[i]).Send(HttpOkHead(1000 + i)).Close());
  ScriptedServer server(scripts);
  Add(server.Url("/known1"), 50, 5);
  for (int i = 0; i < 7; ++i) Add(server.Url("/f" + std::to_string(i)), -1, i + 1);
  Add(server.Url("/known2"), 70, 7);
  Run();
  EXPECT_TRUE(completions.empty());
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.ConnectionCount() == 5; }));
  runtime.Pump();
  EXPECT_EQ(5, server.SettledConnectionCount());
  EXPECT_EQ(5u, checker->ActiveCount());

  // Each success starts the next file.
  release[0].Open();
  ASSERT_TRUE(runtime.PumpUntil([&] { return checker->DoneCount() == 1 && server.ConnectionCount() == 6; }));
  EXPECT_EQ(5u, checker->ActiveCount());
  release[1].Open();
  ASSERT_TRUE(runtime.PumpUntil([&] { return checker->DoneCount() == 2 && server.ConnectionCount() == 7; }));
  EXPECT_EQ(5u, checker->ActiveCount());
  for (int i = 2; i < 6; ++i) release[i].Open();
  ASSERT_TRUE(runtime.PumpUntil([&] { return checker->DoneCount() == 6; }));
  EXPECT_TRUE(completions.empty());  // the result waits for the seventh
  release[6].Open();
  ASSERT_TRUE(WaitEnded());
  ASSERT_TRUE(failures.empty());
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(120 + 7 * 1000 + 21, completions[0].result.totalSize);
  EXPECT_EQ(12 + 28, completions[0].result.bytesAtStart);
  EXPECT_EQ(9, completions[0].result.fileCount);
  EXPECT_EQ(7, server.ConnectionCount());
  std::vector<int64_t> sizes;
  for (const auto& record : checker->Records()) sizes.push_back(record->size);
  std::sort(sizes.begin(), sizes.end());
  EXPECT_EQ((std::vector<int64_t>{1000, 1001, 1002, 1003, 1004, 1005, 1006}), sizes);
}

TEST_F(FileSizeCheckerTest, RecordsCopyTheirEntriesAndReceiveTheirOwnSizes) {
  testsupport::HttpFileServer server;
  for (int i = 0; i < 6; ++i)
    server.AddResource("/r" + std::to_string(i), std::string(static_cast<size_t>(10 * (i + 1)), 'x'));
  for (int i = 0; i < 6; ++i) Add(server.Url("/r" + std::to_string(i)));
  Run();
  ASSERT_TRUE(WaitEnded());
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(210, completions[0].result.totalSize);
  ASSERT_EQ(6u, checker->Records().size());
  for (int i = 0; i < 6; ++i) {
    const FileSizeRecord& record = *checker->Records()[static_cast<size_t>(i)];
    EXPECT_EQ(i, record.index);
    EXPECT_EQ(entries[static_cast<size_t>(i)]->url, record.urlList);
    EXPECT_EQ(entries[static_cast<size_t>(i)]->folder, record.folder);
    EXPECT_EQ(entries[static_cast<size_t>(i)]->fileName, record.fileName);
    EXPECT_EQ(1, record.optionA);
    EXPECT_EQ(10 * (i + 1), record.size);
    EXPECT_EQ(-1, entries[static_cast<size_t>(i)]->size);  // the job's entries are not touched
  }
  // The free space is measured at the record's folder.
  ASSERT_EQ(6u, measured.size());
  EXPECT_EQ(folder / "dest/", measured[0]);
}

TEST_F(FileSizeCheckerTest, NotFoundOnFirstAlternativeFailsAtOnceDespiteASecond) {
  testsupport::HttpFileServer server;
  server.AddResource("/good", "12345");
  std::string list = server.Url("/missing") + "|" + server.Url("/good");
  Add(list);
  Run();
  ASSERT_TRUE(WaitEnded());
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(DL_ERR_FAILED, failures[0].code);
  EXPECT_EQ(list, failures[0].text);
  EXPECT_EQ(&cookie, failures[0].cookie);
  EXPECT_TRUE(completions.empty());
  EXPECT_EQ(1, server.RequestCount("/missing"));
  EXPECT_EQ(0, server.RequestCount("/good"));
}

TEST_F(FileSizeCheckerTest, RefusedAlternativeGivesWayToTheNext) {
  testsupport::ClosedPort refused;
  testsupport::HttpFileServer server;
  server.AddResource("/good", std::string(4321, 'g'));
  Add("http://127.0.0.1:" + std::to_string(refused.Port()) + "/file|" + server.Url("/good"));
  Run();
  ASSERT_TRUE(WaitEnded());
  ASSERT_TRUE(failures.empty());
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(4321, completions[0].result.totalSize);
  EXPECT_EQ(1, server.RequestCount("/good"));
}

TEST_F(FileSizeCheckerTest, EachAlternativeGetsThreeTries) {
  ScriptedServer first(Script().ReadRequest().Close());
  testsupport::HttpFileServer second;
  second.AddResource("/good", std::string(77, 'g'));
  Add(first.Url("/file") + " | " + second.Url("/good"));
  Run();
  ASSERT_TRUE(WaitEnded());
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(77, completions[0].result.totalSize);
  EXPECT_EQ(3, first.ConnectionCount());
  EXPECT_EQ(1, second.RequestCount("/good"));
}

TEST_F(FileSizeCheckerTest, EveryAlternativeFailingThreeTimesFailsWithTheUrlList) {
  ScriptedServer first(Script().ReadRequest().Close());
  ScriptedServer second(Script().ReadRequest().Close());
  std::string list = first.Url("/a") + "|" + second.Url("/b");
  Add(list);
  Run();
  ASSERT_TRUE(WaitEnded());
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(DL_ERR_FAILED, failures[0].code);
  EXPECT_EQ(list, failures[0].text);
  EXPECT_EQ(3, first.ConnectionCount());
  EXPECT_EQ(3, second.ConnectionCount());
}

TEST_F(FileSizeCheckerTest, FailureTextIsCutAt1023Characters) {
  testsupport::HttpFileServer server;
  std::string list = server.Url("/missing?pad=" + std::string(1500, 'p'));
  Add(list);
  Run();
  ASSERT_TRUE(WaitEnded());
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(list.substr(0, 1023), failures[0].text);
}

TEST_F(FileSizeCheckerTest, RedirectsAreFollowedWithoutUsingUpTries) {
  testsupport::HttpFileServer server;
  server.AddResource("/dir/final.bin", std::string(999, 'f'));
  server.AddRedirect("/r1", "/r2", 302);                  // relative to the host
  server.AddRedirect("/r2", server.Url("/dir/r3"), 303);  // absolute
  server.AddRedirect("/dir/r3", "r4", 302);               // relative to the folder
  server.AddRedirect("/dir/r4", "final.bin", 302);
  Add(server.Url("/r1"));
  Run();
  ASSERT_TRUE(WaitEnded());
  ASSERT_TRUE(failures.empty()) << failures[0].code;
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(999, completions[0].result.totalSize);
  EXPECT_EQ(1, server.RequestCount("/dir/final.bin"));
}

TEST_F(FileSizeCheckerTest, RedirectLoopOnEveryAlternativeEndsWith517) {
  testsupport::HttpFileServer server;
  server.AddRedirect("/loop", "/loop", 302);
  server.AddRedirect("/other", "/other", 303);
  Add(server.Url("/loop") + "|" + server.Url("/other"));
  Run();
  ASSERT_TRUE(WaitEnded());
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(DL_ERR_FAILED, failures[0].code);
  // Each alternative follows its own redirects up to the limit.
  EXPECT_EQ(kMaxRedirects + 1, server.RequestCount("/loop"));
  EXPECT_EQ(kMaxRedirects + 1, server.RequestCount("/other"));
}

struct DeadEndRedirect {
  const char* name;
  const char* location;  // of /first, which redirects with 302
  int firstRequests;
};

void PrintTo(const DeadEndRedirect& c, std::ostream* out) { *out << c.name; }

class FileSizeCheckerDeadEndTest : public FileSizeCheckerTest,
                                   public ::testing::WithParamInterface<DeadEndRedirect> {};

TEST_P(FileSizeCheckerDeadEndTest, RedirectThatLeadsNowhereGivesWayToTheNextAlternative) {
  testsupport::HttpFileServer server;
  server.AddResource("/good", std::string(321, 'g'));
  server.AddRedirect("/first", GetParam().location, 302);
  Add(server.Url("/first") + "|" + server.Url("/good"));
  Run();
  ASSERT_TRUE(WaitEnded());
  ASSERT_TRUE(failures.empty()) << failures[0].code;
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(321, completions[0].result.totalSize);
  EXPECT_EQ(GetParam().firstRequests, server.RequestCount("/first"));
  EXPECT_EQ(1, server.RequestCount("/good"));
}

INSTANTIATE_TEST_SUITE_P(Redirects, FileSizeCheckerDeadEndTest,
                         ::testing::Values(DeadEndRedirect{"WithoutLocation", "", 1},
                                           DeadEndRedirect{"EndlessLoop", "/first", kMaxRedirects + 1}),
                         [](const ::testing::TestParamInfo<DeadEndRedirect>& test) {
                           return test.param.name;
                         });

TEST_F(FileSizeCheckerTest, ResponsesWithoutAPositiveLengthFail517) {
  // A 200 with Content-Length 0, and a 200 that announces no length at all.
  ScriptedServer zero(Script().ReadRequest().Send(HttpOkHead(0)).Close());
  ScriptedServer none(Script().ReadRequest().Send(HttpResponse(200, {}) + "body").Close());
  for (ScriptedServer* server : {&zero, &none}) {
    entries.clear();
    completions.clear();
    failures.clear();
    Add(server->Url("/file"));
    Run();
    ASSERT_TRUE(WaitEnded());
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(DL_ERR_FAILED, failures[0].code);
    EXPECT_EQ(1, server->ConnectionCount());
  }
}

struct FreeSpaceCase {
  int64_t freeSpace;
  int32_t expectedCode;  // DL_OK: the size is known
};

void PrintTo(const FreeSpaceCase& c, std::ostream* out) { *out << "FreeSpace" << c.freeSpace; }

class FileSizeCheckerFreeSpaceTest : public FileSizeCheckerTest,
                                     public ::testing::WithParamInterface<FreeSpaceCase> {};

constexpr int64_t kLength = 4096;

TEST_P(FileSizeCheckerFreeSpaceTest, FileMustLeaveSpaceToSpare) {
  testsupport::HttpFileServer server;
  server.AddResource("/file", std::string(kLength, 'z'));
  Add(server.Url("/file"));
  Run(GetParam().freeSpace);
  ASSERT_TRUE(WaitEnded());
  if (GetParam().expectedCode == DL_OK) {
    ASSERT_TRUE(failures.empty()) << failures[0].code;
    ASSERT_EQ(1u, completions.size());
    EXPECT_EQ(kLength, completions[0].result.totalSize);
  } else {
    ASSERT_EQ(1u, failures.size());
    EXPECT_EQ(GetParam().expectedCode, failures[0].code);
    EXPECT_EQ(server.Url("/file"), failures[0].text);
  }
}

INSTANTIATE_TEST_SUITE_P(Boundary, FileSizeCheckerFreeSpaceTest,
                         ::testing::Values(FreeSpaceCase{kLength + 1, DL_OK},      // one byte less than free
                                           FreeSpaceCase{kLength, DL_ERR_FAILED},  // exactly the free space
                                           FreeSpaceCase{kLength - 1,
                                                         DL_NOTE_DISK_FULL},  // one byte more than free
                                           FreeSpaceCase{0, DL_NOTE_DISK_FULL}));

TEST_F(FileSizeCheckerTest, UnmeasurableFreeSpaceCountsAsNone) {
  testsupport::HttpFileServer server;
  server.AddResource("/file", "abc");
  Add(server.Url("/file"));
  checker = std::make_unique<CPlatformFileSizeChecker>();
  checker->SetCheckerListener(this, &cookie);
  checker->SetFreeSpaceFunction([](const std::string&) { return std::optional<int64_t>(); });
  checker->RunSizeCheck(entries);
  ASSERT_TRUE(WaitEnded());
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(DL_NOTE_DISK_FULL, failures[0].code);
}

TEST_F(FileSizeCheckerTest, DefaultFreeSpaceIsMeasuredAtTheNearestExistingFolder) {
  testsupport::HttpFileServer server;
  server.AddResource("/small", "small file");
  Add(server.Url("/small")).folder = folder / "not/yet/made/";
  Run(std::nullopt);
  ASSERT_TRUE(WaitEnded());
  ASSERT_TRUE(failures.empty()) << failures[0].code;
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(10, completions[0].result.totalSize);
}

TEST_F(FileSizeCheckerTest, ReceiveTimeoutsRetryOnTheManualClock) {
  ScriptedServer server(Script().ReadRequest().Stall());
  Add(server.Url("/slow"));
  Run();
  for (int attempt = 1; attempt <= 3; ++attempt) {
    ASSERT_TRUE(runtime.PumpUntil([&] { return server.ConnectionCount() == attempt; })) << attempt;
    runtime.AdvanceSeconds(3);
    EXPECT_FALSE(Ended());
    EXPECT_EQ(attempt, server.ConnectionCount());  // three silent seconds are allowed
    runtime.AdvanceSeconds(1);                     // the fourth ends the request
  }
  ASSERT_TRUE(WaitEnded());
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(DL_ERR_FAILED, failures[0].code);
  EXPECT_EQ(3, server.ConnectionCount());
}

TEST_F(FileSizeCheckerTest, UnresolvableHostUsesItsTriesThenTheNextAlternative) {
  std::optional<testsupport::ScopedResolver> resolver(std::in_place);
  testsupport::HttpFileServer server;
  server.AddResource("/good", std::string(12, 'g'));
  Add("http://no-such-host.test/file|" + server.Url("/good"));
  Run();
  bool ended = WaitEnded();
  resolver.reset();
  ASSERT_TRUE(ended);
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(12, completions[0].result.totalSize);
}

TEST_F(FileSizeCheckerTest, FailureReportedOnceWhileOtherSessionsRunOn) {
  Gate release;
  ScriptedServer slow(Script().ReadRequest().WaitFor(release).Send(HttpOkHead(10)).Close());
  testsupport::HttpFileServer server;
  Add(slow.Url("/a"));
  Add(server.Url("/missing"));
  Add(server.Url("/also-missing"));
  Run();
  ASSERT_TRUE(WaitEnded());
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.RequestCount() == 2 && slow.ConnectionCount() == 1; }));
  release.Open();
  ASSERT_TRUE(runtime.PumpUntil([&] { return checker->DoneCount() == 1; }));
  runtime.Pump();
  EXPECT_EQ(1u, failures.size());
  EXPECT_TRUE(completions.empty());
}

TEST_F(FileSizeCheckerTest, CheckerMayBeDestroyedInsideItsFailureReport) {
  Gate never;
  ScriptedServer stalled(Script().ReadRequest().WaitFor(never));
  testsupport::HttpFileServer server;
  for (int i = 0; i < 4; ++i) Add(stalled.Url("/s" + std::to_string(i)));
  Add(server.Url("/missing"));
  Add(server.Url("/queued"));
  destroyOnReport = true;
  Run();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(nullptr, checker);
  ASSERT_EQ(1u, failures.size());
  never.Open();
  int connections = stalled.SettledConnectionCount();
  ASSERT_TRUE(runtime.PumpUntil([&] { return stalled.WaitForFinished(connections, 0); }));
  runtime.Pump();
  EXPECT_EQ(1u, failures.size());
  EXPECT_TRUE(completions.empty());
  EXPECT_EQ(0, server.RequestCount("/queued"));
}

TEST_F(FileSizeCheckerTest, CheckerMayBeDestroyedWhenTheLastTryIsRefused) {
  // The failure comes from inside the connection's own close, reached from its connect failure.
  testsupport::ClosedPort refused;
  Add("http://127.0.0.1:" + std::to_string(refused.Port()) + "/file");
  destroyOnReport = true;
  Run();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(nullptr, checker);
  ASSERT_EQ(1u, failures.size());
  EXPECT_EQ(DL_ERR_FAILED, failures[0].code);
  runtime.AdvanceSeconds(10);
  EXPECT_EQ(1u, failures.size());
}

TEST_F(FileSizeCheckerTest, CheckerMayBeDestroyedWhenTheLastTryTimesOut) {
  ScriptedServer server(Script().ReadRequest().Stall());
  Add(server.Url("/slow"));
  destroyOnReport = true;
  Run();
  for (int attempt = 1; attempt <= 3; ++attempt) {
    ASSERT_TRUE(runtime.PumpUntil([&] { return server.ConnectionCount() == attempt; })) << attempt;
    runtime.AdvanceSeconds(4);
  }
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(nullptr, checker);
  EXPECT_EQ(1u, failures.size());
  runtime.AdvanceSeconds(10);
  EXPECT_EQ(1u, failures.size());
}

TEST_F(FileSizeCheckerTest, CheckerMayBeDestroyedInsideItsCompletionReport) {
  testsupport::HttpFileServer server;
  server.AddResource("/one", "1");
  server.AddResource("/two", "22");
  Add(server.Url("/one"));
  Add(server.Url("/two"));
  destroyOnReport = true;
  Run();
  ASSERT_TRUE(WaitEnded());
  EXPECT_EQ(nullptr, checker);
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(3, completions[0].result.totalSize);
  runtime.Pump();
  EXPECT_EQ(1u, completions.size());
}

TEST_F(FileSizeCheckerTest, DestroyingTheCheckerMidwayEndsEverything) {
  Gate release;
  ScriptedServer server(Script().ReadRequest().WaitFor(release).Send(HttpOkHead(5)).Close());
  for (int i = 0; i < 3; ++i) Add(server.Url("/f" + std::to_string(i)));
  Run();
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.ConnectionCount() == 3; }));
  checker.reset();
  release.Open();
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.WaitForFinished(3, 0); }));
  runtime.Pump();
  runtime.AdvanceSeconds(10);  // deferred releases run; nothing may report
  EXPECT_FALSE(Ended());
}

TEST_F(FileSizeCheckerTest, SecondRunStartsAfresh) {
  testsupport::HttpFileServer server;
  server.AddResource("/x", std::string(30, 'x'));
  Add(server.Url("/x"));
  Run();
  ASSERT_TRUE(WaitEnded());
  completions.clear();
  Add(server.Url("/x"), 5, 1);
  checker->RunSizeCheck(entries);
  ASSERT_TRUE(WaitEnded());
  ASSERT_EQ(1u, completions.size());
  EXPECT_EQ(35, completions[0].result.totalSize);
  EXPECT_EQ(1, completions[0].result.bytesAtStart);
  EXPECT_EQ(2, completions[0].result.fileCount);
}

}  // namespace
