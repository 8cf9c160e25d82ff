#pragma once
// Sums the Content-Length of a list of URLs, at most five requests at a time. One URL that
// fails ends the whole check. URLs added after a check ended form the next check, whose
// lengths are added to the same total.
//
// The three operations may be called from any thread: each takes the library lock.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/nvCGuard.h"
#include "pipeline/CContentLengthCheckSession.h"

class IContentLengthCheckerEventListener {
 public:
  virtual ~IContentLengthCheckerEventListener() = default;
  virtual void OnContentLengthCheckCompleted(int64_t total) = 0;
  // `url` is valid for the call only.
  virtual void OnContentLengthCheckFailed(const char* url) = 0;
  virtual void OnContentLengthCheckHostUnreachable() = 0;
};

class CContentLengthChecker final : public nvCGuarded, private IContentLengthCheckSessionEventListener {
 public:
  static constexpr int32_t kMaxActive = 5;

  explicit CContentLengthChecker(IContentLengthCheckerEventListener* listener = nullptr);
  // Detaches and destroys every session; nothing is reported any more.
  ~CContentLengthChecker();
  CContentLengthChecker(const CContentLengthChecker&) = delete;
  CContentLengthChecker& operator=(const CContentLengthChecker&) = delete;

  void SetListener(IContentLengthCheckerEventListener* listener) { listener_ = listener; }

  // Queues one URL (the first alternative of `url`); 512, or 517 for a null or empty text.
  int32_t AddUrl(const char* url);
  // Starts the queued URLs. With none queued the completion is reported before this returns.
  // Every report may destroy the checker.
  void StartCheck();
  // The lengths of every completed check.
  int64_t GetTotal() const;

  // Observers.
  int32_t SessionCount() const { return static_cast<int32_t>(sessions_.size()); }
  int32_t ActiveCount() const { return active_; }
  int32_t CompletedCount() const { return completed_; }

 private:
  void DestroySessions();
  // Starts queued sessions while fewer than five run; false when the checker was destroyed.
  bool StartNext();

  void OnLengthKnown(int32_t fileIndex, int64_t length) override;
  void OnLengthCheckFailed(int32_t fileIndex, const char* url) override;
  void OnLengthCheckHostUnreachable(int32_t fileIndex) override;

  int64_t total_ = 0;
  int64_t totalAtStart_ = 0;  // restored when a check fails: a failed check adds nothing
  int32_t active_ = 0;
  int32_t nextIndex_ = 0;
  int32_t completed_ = 0;
  std::vector<std::unique_ptr<CContentLengthCheckSession>> sessions_;
  uint32_t startTime_ = 0;
  IContentLengthCheckerEventListener* listener_;
};
