#include "pipeline/CContentLengthChecker.h"

#include <limits>
#include <string>
#include <utility>

#include "core/cpCQoS.h"
#include "core/cpTime.h"
#include "pipeline/DownloadLibTypes.h"
#include "pipeline/Log.h"

namespace {

// Lengths come from servers: the sum must not wrap around.
int64_t AddSaturated(int64_t total, int64_t length) {
  if (length <= 0) return total;
  if (total > std::numeric_limits<int64_t>::max() - length) return std::numeric_limits<int64_t>::max();
  return total + length;
}

}  // namespace

CContentLengthChecker::CContentLengthChecker(IContentLengthCheckerEventListener* listener)
    : listener_(listener) {}

CContentLengthChecker::~CContentLengthChecker() {
  listener_ = nullptr;
  DestroySessions();
}

int32_t CContentLengthChecker::AddUrl(const char* url) {
  if (url == nullptr || url[0] == '\0') return DL_ERR_FAILED;
  cpQoSLockGuard lock;
  IContentLengthCheckSessionEventListener* self = this;
  sessions_.push_back(
      std::make_unique<CContentLengthCheckSession>(self, static_cast<int32_t>(sessions_.size()), url));
  return DL_OK;
}

int64_t CContentLengthChecker::GetTotal() const {
  cpQoSLockGuard lock;
  return total_;
}

void CContentLengthChecker::StartCheck() {
  cpQoSLockGuard lock;
  startTime_ = cpNowSeconds();
  if (nextIndex_ == 0) totalAtStart_ = total_;
  LogFormat("[TessenLib] Start ContentLength Check file:%d", static_cast<int32_t>(sessions_.size()));
  if (sessions_.empty()) {
    if (IContentLengthCheckerEventListener* listener = listener_)
      listener->OnContentLengthCheckCompleted(total_);
    return;
  }
  StartNext();
}

bool CContentLengthChecker::StartNext() {
  nvCGuard alive(*this);
  while (active_ < kMaxActive && nextIndex_ < static_cast<int32_t>(sessions_.size())) {
    CContentLengthCheckSession* session = sessions_[static_cast<size_t>(nextIndex_)].get();
    active_ += 1;
    nextIndex_ += 1;
    session->SendRequest();
    // A first request never reports at once; should one ever do, its receiver may have ended us.
    if (!alive) return false;
  }
  return true;
}

void CContentLengthChecker::DestroySessions() {
  cpQoSLockGuard lock;
  while (!sessions_.empty()) {
    std::unique_ptr<CContentLengthCheckSession> session = std::move(sessions_.back());
    sessions_.pop_back();
    session->Detach();
  }
  active_ = 0;
  nextIndex_ = 0;
  completed_ = 0;
}

void CContentLengthChecker::OnLengthKnown(int32_t /*fileIndex*/, int64_t length) {
  total_ = AddSaturated(total_, length);
  completed_ += 1;
  active_ -= 1;
  if (completed_ < static_cast<int32_t>(sessions_.size())) {
    StartNext();
    return;
  }
  LogFormat("[TessenLib] ContentLength Check Complete file:%d sec:%d", completed_,
            static_cast<int32_t>(cpNowSeconds() - startTime_));
  DestroySessions();  // the reporting session among them: its report was its last action
  if (IContentLengthCheckerEventListener* listener = listener_)
    listener->OnContentLengthCheckCompleted(total_);
}

void CContentLengthChecker::OnLengthCheckFailed(int32_t /*fileIndex*/, const char* url) {
  std::string failed = url != nullptr ? url : "";
  DestroySessions();
  total_ = totalAtStart_;
  if (IContentLengthCheckerEventListener* listener = listener_)
    listener->OnContentLengthCheckFailed(failed.c_str());
}

void CContentLengthChecker::OnLengthCheckHostUnreachable(int32_t /*fileIndex*/) {
  DestroySessions();
  total_ = totalAtStart_;
  if (IContentLengthCheckerEventListener* listener = listener_)
    listener->OnContentLengthCheckHostUnreachable();
}
