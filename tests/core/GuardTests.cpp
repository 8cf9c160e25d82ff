#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "core/nvCGuard.h"

namespace {

// Calls out, then goes on with its own state only while it still exists.
class Notifier : public nvCGuarded {
 public:
  explicit Notifier(std::function<void()> listener) : listener_(std::move(listener)) {}

  bool NotifyTwice() {
    nvCGuard alive(*this);
    listener_();
    if (!alive) return false;
    ++calls_;
    listener_();
    if (!alive) return false;
    ++calls_;
    return true;
  }
  int calls_ = 0;

 private:
  std::function<void()> listener_;
};

TEST(GuardTest, AListenerThatDestroysTheCallerEndsTheCallersWorkAtOnce) {
  for (int destroyAt : {1, 2, 0}) {
    std::unique_ptr<Notifier> notifier;
    int heard = 0;
    notifier = std::make_unique<Notifier>([&] {
      if (++heard == destroyAt) notifier.reset();
    });
    Notifier* raw = notifier.get();
    bool finished = raw->NotifyTwice();
    EXPECT_EQ(destroyAt == 0, finished) << destroyAt;
    EXPECT_EQ(destroyAt == 0 ? 2 : destroyAt, heard) << destroyAt;
    if (destroyAt == 0) {
      EXPECT_EQ(2, notifier->calls_);
    }
  }
}

TEST(GuardTest, GuardsOutliveTheObjectAndCopiesShareItsFate) {
  auto object = std::make_unique<Notifier>([] {});
  nvCGuard first(*object);
  nvCGuard copy(first);
  auto other = std::make_unique<Notifier>([] {});
  nvCGuard assigned(*other);
  assigned = copy;
  other.reset();
  EXPECT_TRUE(first && copy && assigned);
  object.reset();
  EXPECT_FALSE(first.Alive());
  EXPECT_FALSE(copy.Alive());
  EXPECT_FALSE(assigned.Alive());
  // A guard taken later on a new object knows nothing of the old one.
  Notifier fresh([] {});
  nvCGuard late(fresh);
  EXPECT_TRUE(late.Alive());
}

}  // namespace
