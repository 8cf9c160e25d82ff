#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/cpCMutex.h"
#include "core/nvSmartPtr.h"

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

// Spins for at most `limit`, returning early once `flag` is set.
bool SetWithin(const std::atomic<bool>& flag, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!flag.load() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
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
  std::atomic<bool> started{false};
  std::atomic<bool> acquired{false};
  std::thread other([&] {
    started = true;
    mutex_->Lock();
    acquired = true;
    mutex_->Unlock();
  });
  ASSERT_TRUE(SetWithin(started, std::chrono::seconds(10)));

  mutex_->Unlock();
  // Still held once: a wrong implementation would let the other thread through here.
  EXPECT_FALSE(SetWithin(acquired, std::chrono::milliseconds(5)));

  mutex_->Unlock();
  EXPECT_TRUE(SetWithin(acquired, std::chrono::seconds(10)));
  other.join();
}

TEST_F(cpCMutexTest, GuardHoldsTheLockForItsScope) {
  std::atomic<bool> acquired{false};
  std::thread other;
  {
    cpMutexGuard outer(mutex_);
    cpMutexGuard inner(mutex_);
    other = std::thread([&] {
      cpMutexGuard guard(mutex_);
      acquired = true;
    });
    EXPECT_FALSE(SetWithin(acquired, std::chrono::milliseconds(5)));
  }
  EXPECT_TRUE(SetWithin(acquired, std::chrono::seconds(10)));
  other.join();

  cpMutexGuard none(nullptr);  // a guard without a mutex does nothing
}

}  // namespace
