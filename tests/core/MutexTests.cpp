#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/cpCMutex.h"
#include "core/nvSmartPtr.h"
#include "tests/support/ThreadState.h"
#include "tests/support/WaitUntil.h"

namespace {

class cpCMutexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(holder_.CreateInstance(CLSID_cpCMutex));
    mutex_ = nvCast<cpCMutex>(holder_.Get());
  }

  nvSmartPtr holder_;
  cpCMutex* mutex_ = nullptr;
};

// Waits until the thread `tid` either set `flag` or sleeps (in the lock it waits for); returns
// the flag. A thread let through sets it without ever sleeping, so no time limit decides.
bool SetBeforeItSleeps(const std::atomic<bool>& flag, const std::atomic<pid_t>& tid) {
  EXPECT_TRUE(testsupport::WaitUntil(
      [&] { return flag.load() || (tid.load() != 0 && testsupport::ThreadState(tid.load()) == 'S'); }));
  return flag.load();
}

TEST_F(cpCMutexTest, TheHoldingThreadMayLockAgain) {
  EXPECT_EQ(mutex_->SetOwnerWord(0x1234), CP_S_OK);
  EXPECT_EQ(mutex_->Lock(), CP_S_OK);
  EXPECT_EQ(mutex_->Lock(), CP_S_OK);
  EXPECT_EQ(mutex_->Lock(), CP_S_OK);
  EXPECT_EQ(mutex_->Unlock(), CP_S_OK);
  EXPECT_EQ(mutex_->Unlock(), CP_S_OK);
  EXPECT_EQ(mutex_->Unlock(), CP_S_OK);
}

TEST_F(cpCMutexTest, AnotherThreadWaitsUntilEveryLockIsReleased) {
  mutex_->Lock();
  mutex_->Lock();
  std::atomic<bool> release{false};
  std::atomic<pid_t> tid{0};
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    tid = testsupport::CurrentThreadTid();
    // Spins rather than sleeps until the test has unlocked once: its only sleep is in the lock.
    while (!release.load()) std::this_thread::yield();
    mutex_->Lock();
    acquired = true;
    mutex_->Unlock();
  });

  mutex_->Unlock();
  release = true;
  // Still held once: a wrong implementation would let the other thread through here.
  EXPECT_FALSE(SetBeforeItSleeps(acquired, tid));

  mutex_->Unlock();
  EXPECT_TRUE(testsupport::WaitUntil([&] { return acquired.load(); }));
  other.join();
}

TEST_F(cpCMutexTest, GuardHoldsTheLockForItsScope) {
  std::atomic<bool> acquired{false};
  std::atomic<pid_t> tid{0};
  std::thread other;
  {
    cpMutexGuard outer(mutex_);
    cpMutexGuard inner(mutex_);
    other = std::thread([&] {
      tid = testsupport::CurrentThreadTid();
      cpMutexGuard guard(mutex_);
      acquired = true;
    });
    EXPECT_FALSE(SetBeforeItSleeps(acquired, tid));
  }
  EXPECT_TRUE(testsupport::WaitUntil([&] { return acquired.load(); }));
  other.join();

  cpMutexGuard none(nullptr);  // a guard without a mutex does nothing
}

}  // namespace
