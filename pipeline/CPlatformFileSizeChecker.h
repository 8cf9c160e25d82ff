#pragma once
// The size check of one job before its download: finds the sizes of the files given as unknown,
// at most five requests at a time, checks that each fits on its drive, and reports the job's
// total size, the bytes already received and the number of files.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/nvCGuard.h"
#include "pipeline/CPlatformFileSizeCheckSession.h"
#include "pipeline/JobFileEntry.h"

struct FileSizeCheckResult {
  int64_t totalSize = 0;     // the given sizes plus the sizes found
  int64_t bytesAtStart = 0;  // the received bytes of every entry
  int32_t fileCount = 0;     // every entry
};

class ICheckerEventListener {
 public:
  virtual void OnSizeCheckCompleted(void* cookie, const FileSizeCheckResult& result) = 0;
  // code 517 or 513; text is the failed file's URL list, valid for the call only.
  virtual void OnSizeCheckFailed(void* cookie, int32_t code, const char* text) = 0;

 protected:
  ~ICheckerEventListener() = default;
};

class CPlatformFileSizeChecker final : public nvCGuarded, private IPlatformFileSizeCheckSessionEventListener {
 public:
  static constexpr size_t kMaxActive = 5;

  CPlatformFileSizeChecker();
  // Destroys every running session; nothing is reported any more.
  ~CPlatformFileSizeChecker();
  CPlatformFileSizeChecker(const CPlatformFileSizeChecker&) = delete;
  CPlatformFileSizeChecker& operator=(const CPlatformFileSizeChecker&) = delete;

  void SetCheckerListener(ICheckerEventListener* listener, void* cookie);
  // How free space is measured (default platform::FreeSpace); set before RunSizeCheck.
  void SetFreeSpaceFunction(FreeSpaceFunction freeSpace) { freeSpace_ = std::move(freeSpace); }

  // Starts the check of `entries` (read only here). When every size is known the completion is
  // reported before this returns. Either report may destroy the checker. A second call drops
  // the first check.
  void RunSizeCheck(std::span<const JobFileEntry* const> entries);
  void RunSizeCheck(const std::vector<std::unique_ptr<JobFileEntry>>& entries);

  // Observers.
  size_t ActiveCount() const { return active_.size(); }
  int32_t DoneCount() const { return doneCount_; }
  const std::vector<std::unique_ptr<FileSizeRecord>>& Records() const { return records_; }

 private:
  void StartSessions();
  void ReportCompleted();
  void Reset();

  void OnFileSizeKnown(CPlatformFileSizeCheckSession* cookie) override;
  void OnFileSizeCheckFailed(CPlatformFileSizeCheckSession* cookie, int32_t code, const char* text) override;

  ICheckerEventListener* listener_ = nullptr;
  void* cookie_ = nullptr;
  FreeSpaceFunction freeSpace_;
  int32_t nextIndex_ = 0;
  int32_t doneCount_ = 0;
  std::vector<std::unique_ptr<FileSizeRecord>> records_;
  std::vector<std::unique_ptr<CPlatformFileSizeCheckSession>> active_;
  int64_t knownSize_ = 0;
  int64_t knownReceived_ = 0;
  int32_t knownCount_ = 0;
  bool ended_ = false;  // completed or failed: nothing more is reported
};
