#include "core/nvCGuard.h"

nvCGuarded::~nvCGuarded() {
  if (mark_ == nullptr) return;
  mark_->alive = false;
  if (--mark_->holders == 0) delete mark_;
}

nvCGuarded::Mark* nvCGuarded::TakeMark() const {
  if (mark_ == nullptr) {
    mark_ = new Mark;
    mark_->holders = 1;  // the object's own hold, dropped by its destructor
  }
  ++mark_->holders;
  return mark_;
}

nvCGuard::nvCGuard(const nvCGuarded& object) : mark_(object.TakeMark()) {}

nvCGuard::nvCGuard(const nvCGuard& other) : mark_(other.mark_) { ++mark_->holders; }

nvCGuard& nvCGuard::operator=(const nvCGuard& other) {
  if (mark_ != other.mark_) {
    ++other.mark_->holders;
    Drop();
    mark_ = other.mark_;
  }
  return *this;
}

nvCGuard::~nvCGuard() { Drop(); }

void nvCGuard::Drop() {
  if (--mark_->holders == 0) delete mark_;
}
