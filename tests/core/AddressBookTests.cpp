// The host address book: good / recently failed ordering, re-resolution at most every 5 seconds,
// failed addresses forgotten after 30, and background resolution answered on the library thread.
// The name server is a fake (cpAddressBookSetResolver) and time is a manual clock.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "core/cpTime.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/ScriptedServer.h"

namespace {

using Entries = std::vector<std::pair<uint32_t, bool>>;

const uint32_t A = htonl(0x0A000001);
const uint32_t B = htonl(0x0A000002);
const uint32_t C = htonl(0x0A000003);
const uint32_t D = htonl(0x0A000004);

constexpr uint16_t kPort = 8080;

// A name server whose answers the test sets; it counts the questions and may hold them until a
// gate opens (background resolution runs on a helper thread).
class FakeNameServer {
 public:
  void Answer(const std::string& host, std::vector<uint32_t> addresses) {
    std::lock_guard lock(mutex_);
    answers_[host] = std::move(addresses);
  }
  void HoldUntil(const testsupport::Gate* gate) { hold_ = gate; }
  int Questions() const { return questions_.load(); }

  std::vector<uint32_t> Resolve(const std::string& host) {
    ++questions_;
    if (hold_ != nullptr) hold_->WaitOpen(5000);
    std::lock_guard lock(mutex_);
    auto it = answers_.find(host);
    return it != answers_.end() ? it->second : std::vector<uint32_t>{};
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::vector<uint32_t>> answers_;
  std::atomic<int> questions_{0};
  const testsupport::Gate* hold_ = nullptr;
};

class AddressBookTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cpAddressBookClear();
    cpAddressBookSetResolver([this](const std::string& host) { return names_.Resolve(host); });
  }
  void TearDown() override {
    runtime_.Pump();
    cpAddressBookSetResolver(nullptr);
    cpAddressBookClear();
  }

  void AdvanceSeconds(int64_t seconds) { runtime_.Clock()->Advance(seconds * 1000); }

  uint32_t Pick(const char* host = "cdn.test", uint16_t port = kPort) {
    uint32_t address = 0;
    EXPECT_TRUE(cpAddressBookPick(host, port, &address)) << host;
    return address;
  }

  static Entries Book(const char* host = "cdn.test", uint16_t port = kPort) {
    return cpAddressBookEntries(host, port);
  }

  testsupport::CoreRuntime runtime_{true};
  FakeNameServer names_;
};

TEST_F(AddressBookTest, FailedAddressesGoToTheBackAndComeBackFreshAfterThirtySeconds) {
  names_.Answer("cdn.test", {A, B, C});
  EXPECT_EQ(A, Pick());
  EXPECT_EQ((Entries{{A, false}, {B, false}, {C, false}}), Book());

  cpAddressBookMarkFailed("cdn.test", kPort, A);
  EXPECT_EQ((Entries{{B, false}, {C, false}, {A, false}}), Book());
  EXPECT_EQ(B, Pick());

  cpAddressBookMarkFailed("cdn.test", kPort, B);
  cpAddressBookMarkFailed("cdn.test", kPort, C);
  EXPECT_EQ((Entries{{A, false}, {B, false}, {C, false}}), Book());
  AdvanceSeconds(4);
  EXPECT_EQ(A, Pick()) << "within 5 seconds of the last resolution the first entry answers";
  EXPECT_EQ(1, names_.Questions());

  AdvanceSeconds(27);  // 31 seconds after the failures
  EXPECT_EQ(A, Pick());
  EXPECT_EQ(2, names_.Questions());
  EXPECT_EQ((Entries{{A, false}, {B, false}, {C, false}}), Book());
}

TEST_F(AddressBookTest, ForgottenAddressesFollowTheNameServersNewOrder) {
  names_.Answer("cdn.test", {A, B, C});
  Pick();
  cpAddressBookMarkFailed("cdn.test", kPort, A);
  cpAddressBookMarkFailed("cdn.test", kPort, B);
  cpAddressBookMarkFailed("cdn.test", kPort, C);
  names_.Answer("cdn.test", {C, A, B});
  AdvanceSeconds(31);
  EXPECT_EQ(C, Pick());
  EXPECT_EQ((Entries{{C, false}, {A, false}, {B, false}}), Book());
}

class AddressBookForgetTest : public AddressBookTest, public ::testing::WithParamInterface<int> {};

TEST_P(AddressBookForgetTest, AFailedAddressIsKeptThirtySecondsAtTheBack) {
  int delay = GetParam();
  names_.Answer("cdn.test", {A, B});
  Pick();
  cpAddressBookMarkFailed("cdn.test", kPort, A);
  AdvanceSeconds(delay);
  EXPECT_EQ(delay <= 30 ? B : A, Pick());
  EXPECT_EQ(2, names_.Questions());
  if (delay <= 30) {
    EXPECT_EQ((Entries{{B, false}, {A, false}}), Book()) << "still recently failed";
  } else {
    EXPECT_EQ((Entries{{A, false}, {B, false}}), Book()) << "forgotten, then named afresh";
  }
}

INSTANTIATE_TEST_SUITE_P(Delays, AddressBookForgetTest, ::testing::Values(5, 30, 31, 120));

TEST_F(AddressBookTest, NamesAreResolvedAtMostOncePerFiveSeconds) {
  names_.Answer("cdn.test", {A, B});
  Pick();
  Pick();
  EXPECT_EQ(1, names_.Questions());
  AdvanceSeconds(4);
  Pick();
  EXPECT_EQ(1, names_.Questions());
  AdvanceSeconds(1);
  Pick();
  EXPECT_EQ(2, names_.Questions());
  Pick();
  EXPECT_EQ(2, names_.Questions());
}

TEST_F(AddressBookTest, AGoodAddressAnswersWithoutAskingAgain) {
  names_.Answer("cdn.test", {A, B});
  Pick();
  cpAddressBookMarkGood("cdn.test", kPort, B);
  EXPECT_EQ((Entries{{B, true}, {A, false}}), Book());
  AdvanceSeconds(600);
  EXPECT_EQ(B, Pick());
  EXPECT_EQ(1, names_.Questions());
}

TEST_F(AddressBookTest, AResolutionAddsNoAddressTwice) {
  names_.Answer("cdn.test", {A, B});
  Pick();
  cpAddressBookMarkGood("cdn.test", kPort, A);
  cpAddressBookMarkFailed("cdn.test", kPort, B);
  cpAddressBookMarkGood("cdn.test", kPort, A);  // its entry remains the only one
  // Good entries, then the new ones, then the recently failed.
  names_.Answer("cdn.test", {B, C, A, C, D});
  cpAddressBookMarkFailed("cdn.test", kPort, A);  // no good entry left: the next pick resolves
  EXPECT_EQ((Entries{{B, false}, {A, false}}), Book());
  AdvanceSeconds(5);
  EXPECT_EQ(C, Pick());
  EXPECT_EQ((Entries{{C, false}, {D, false}, {B, false}, {A, false}}), Book());
}

TEST_F(AddressBookTest, ANameThatDoesNotResolveGivesNoAddressAndIsAskedAgainLater) {
  uint32_t address = 0;
  EXPECT_FALSE(cpAddressBookPick("nowhere.test", kPort, &address));
  AdvanceSeconds(4);
  EXPECT_FALSE(cpAddressBookPick("nowhere.test", kPort, &address));
  EXPECT_EQ(1, names_.Questions());
  names_.Answer("nowhere.test", {D});
  AdvanceSeconds(1);
  EXPECT_TRUE(cpAddressBookPick("nowhere.test", kPort, &address));
  EXPECT_EQ(D, address);
  EXPECT_FALSE(cpAddressBookPick("", kPort, &address));
  EXPECT_FALSE(cpAddressBookPick(nullptr, kPort, &address));
  EXPECT_FALSE(cpAddressBookPick("cdn.test", kPort, nullptr));
}

TEST_F(AddressBookTest, AFailedResolutionKeepsGoodAndRecentlyFailedEntries) {
  names_.Answer("cdn.test", {A, B, C});
  Pick();
  cpAddressBookMarkFailed("cdn.test", kPort, A);
  names_.Answer("cdn.test", {});
  AdvanceSeconds(5);
  EXPECT_EQ(A, Pick());
  EXPECT_EQ((Entries{{A, false}}), Book());
  EXPECT_EQ(2, names_.Questions());
  AdvanceSeconds(4);
  Pick();
  EXPECT_EQ(2, names_.Questions()) << "the failed resolution counts as one";
}

TEST_F(AddressBookTest, MarkGoodMovesTheAddressToTheFront) {
  names_.Answer("cdn.test", {A, B, C});
  Pick();
  cpAddressBookMarkFailed("cdn.test", kPort, B);
  EXPECT_EQ((Entries{{A, false}, {C, false}, {B, false}}), Book());
  cpAddressBookMarkGood("cdn.test", kPort, B);
  EXPECT_EQ((Entries{{B, true}, {A, false}, {C, false}}), Book());
  EXPECT_EQ(B, Pick());
}

TEST_F(AddressBookTest, MarksForUnknownHostsOrAddressesChangeNothing) {
  names_.Answer("cdn.test", {A, B});
  Pick();
  cpAddressBookMarkFailed("other.test", kPort, A);
  cpAddressBookMarkGood("other.test", kPort, A);
  cpAddressBookMarkFailed("cdn.test", kPort + 1, A);
  cpAddressBookMarkFailed("cdn.test", kPort, D);
  cpAddressBookMarkGood("cdn.test", kPort, D);
  cpAddressBookMarkFailed(nullptr, kPort, A);
  EXPECT_EQ((Entries{{A, false}, {B, false}}), Book());
  EXPECT_TRUE(Book("other.test").empty());
}

TEST_F(AddressBookTest, EveryHostAndPortHasItsOwnRecord) {
  names_.Answer("cdn.test", {A, B});
  Pick("cdn.test", 80);
  Pick("cdn.test", 443);
  EXPECT_EQ(2, names_.Questions());
  cpAddressBookMarkFailed("cdn.test", 80, A);
  EXPECT_EQ(B, Pick("cdn.test", 80));
  EXPECT_EQ(A, Pick("cdn.test", 443));
}

// ---- background resolution ----

class Waiter final : public cpIHostResolveListener {
 public:
  void OnHostResolved(bool found, uint32_t address) override {
    ++calls;
    lastFound = found;
    lastAddress = address;
    thread = std::this_thread::get_id();
  }
  int calls = 0;
  bool lastFound = false;
  uint32_t lastAddress = 0;
  std::thread::id thread;
};

class Token final : public nvTRefCounted<> {
 public:
  explicit Token(bool* destroyed) : destroyed_(destroyed) {}
  ~Token() override { *destroyed_ = true; }

 private:
  bool* destroyed_;
};

TEST_F(AddressBookTest, BackgroundResolutionIsDeliveredThroughTheWindow) {
  testsupport::Gate answer;
  names_.HoldUntil(&answer);
  names_.Answer("cdn.test", {B, C});
  Waiter first;
  Waiter second;
  bool released = false;
  uint32_t address = 0;
  {
    nvSmartPtr token(new Token(&released));
    EXPECT_EQ(cpPickResult::kPending, cpAddressBookPickAsync("cdn.test", kPort, &address, &first, token));
  }
  EXPECT_FALSE(released) << "the book keeps the caller's object alive while it waits";
  EXPECT_EQ(cpPickResult::kPending,
            cpAddressBookPickAsync("cdn.test", kPort, &address, &second, nvSmartPtr()));
  runtime_.Pump();
  EXPECT_EQ(0, first.calls);

  answer.Open();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return first.calls == 1 && second.calls == 1; }));
  EXPECT_EQ(1, names_.Questions()) << "one question for both";
  EXPECT_TRUE(first.lastFound);
  EXPECT_EQ(B, first.lastAddress);
  EXPECT_EQ(B, second.lastAddress);
  EXPECT_EQ(std::this_thread::get_id(), first.thread) << "answered on the loop's thread";
  EXPECT_TRUE(released);

  EXPECT_EQ(cpPickResult::kFound, cpAddressBookPickAsync("cdn.test", kPort, &address, &first, nvSmartPtr()));
  EXPECT_EQ(B, address);
  EXPECT_EQ(1, first.calls);
}

TEST_F(AddressBookTest, AnAnswerKeepsGoodEntriesInFrontOfNewOnesAndFailedOnesBehind) {
  names_.Answer("cdn.test", {A, B});
  Pick();
  cpAddressBookMarkFailed("cdn.test", kPort, A);
  cpAddressBookMarkFailed("cdn.test", kPort, B);
  AdvanceSeconds(5);
  testsupport::Gate answer;
  names_.HoldUntil(&answer);
  names_.Answer("cdn.test", {C, B, A, D});
  Waiter waiter;
  uint32_t address = 0;
  ASSERT_EQ(cpPickResult::kPending,
            cpAddressBookPickAsync("cdn.test", kPort, &address, &waiter, nvSmartPtr()));
  // A connection to A succeeds while the name server is still being asked.
  cpAddressBookMarkGood("cdn.test", kPort, A);
  answer.Open();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return waiter.calls == 1; }));
  EXPECT_EQ((Entries{{A, true}, {C, false}, {D, false}, {B, false}}), Book());
  EXPECT_EQ(A, waiter.lastAddress);
}

TEST_F(AddressBookTest, BackgroundResolutionOfAnUnknownNameAnswersNotFound) {
  Waiter waiter;
  uint32_t address = 0;
  EXPECT_EQ(cpPickResult::kPending,
            cpAddressBookPickAsync("nowhere.test", kPort, &address, &waiter, nvSmartPtr()));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return waiter.calls == 1; }));
  EXPECT_FALSE(waiter.lastFound);
  // The failed resolution counts: no new question within 5 seconds.
  EXPECT_EQ(cpPickResult::kNotFound,
            cpAddressBookPickAsync("nowhere.test", kPort, &address, &waiter, nvSmartPtr()));
  EXPECT_EQ(1, names_.Questions());
}

TEST_F(AddressBookTest, WithoutAListenerTheAnswerComesAtOnce) {
  names_.Answer("cdn.test", {C});
  uint32_t address = 0;
  EXPECT_EQ(cpPickResult::kFound, cpAddressBookPickAsync("cdn.test", kPort, &address, nullptr, nvSmartPtr()));
  EXPECT_EQ(C, address);
}

TEST_F(AddressBookTest, AnAddressLiteralNeedsNoNameServer) {
  cpAddressBookSetResolver(nullptr);
  Waiter waiter;
  uint32_t address = 0;
  EXPECT_EQ(cpPickResult::kFound,
            cpAddressBookPickAsync("127.0.0.9", kPort, &address, &waiter, nvSmartPtr()));
  EXPECT_EQ(htonl(0x7F000009), address);
  runtime_.Pump();
  EXPECT_EQ(0, waiter.calls);
}

}  // namespace

namespace {

// A library that ends while a name is being resolved must not leave the name stuck for the next
// run of the library in the same process.
TEST(AddressBookRestartTest, ResolutionInFlightAtShutdownDoesNotBlockTheNextRun) {
  cpAddressBookClear();
  std::atomic<bool> release{false};
  cpAddressBookSetResolver([&](const std::string&) {
    while (!release.load()) std::this_thread::yield();
    return std::vector<uint32_t>{0x0100007F};
  });
  struct Listener final : cpIHostResolveListener {
    void OnHostResolved(bool, uint32_t) override { ++calls; }
    int calls = 0;
  } listener;
  uint32_t address = 0;
  {
    testsupport::CoreRuntime runtime;
    EXPECT_EQ(cpPickResult::kPending,
              cpAddressBookPickAsync("stuck.test", 80, &address, &listener, nvSmartPtr()));
  }
  EXPECT_EQ(0, listener.calls);
  release = true;
  cpAddressBookSetResolver([](const std::string&) { return std::vector<uint32_t>{0x0200007F}; });
  EXPECT_TRUE(cpAddressBookPick("stuck.test", 80, &address));
  EXPECT_EQ(0x0200007Fu, address);
  // The abandoned resolution ends by itself, with nothing left behind.
  for (int waited = 0; waited < 5000 && cpAddressBookResolutionsInFlight() != 0; ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(0, cpAddressBookResolutionsInFlight());
  cpAddressBookSetResolver(nullptr);
  cpAddressBookClear();
}

}  // namespace
