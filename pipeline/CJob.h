#pragma once
// One download order of the host: its files, codes, latest status, and the queues and one-shot
// records through which the host reads what happened. Every report raises one event.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/nvCGuard.h"
#include "pipeline/DownloadLibTypes.h"
#include "pipeline/EventTarget.h"
#include "pipeline/JobFileEntry.h"

class CJob : public nvCGuarded {
 public:
  enum State : int32_t { kIdle = 0, kRunning = 1, kFinished = 2 };

  struct RegisteredFile {
    std::string path;
    bool completed = false;
  };

  // `handle` names the job towards the host; the manager never gives one out twice, so events
  // still queued for a deleted job can never be taken for a newer one.
  CJob(int32_t sequenceNumber, JobHandle handle);
  // Handle sequenceNumber + 1, for a job outside a manager.
  explicit CJob(int32_t sequenceNumber) : CJob(sequenceNumber, static_cast<JobHandle>(sequenceNumber) + 1) {}
  virtual ~CJob();
  CJob(const CJob&) = delete;
  CJob& operator=(const CJob&) = delete;

  JobHandle Handle() const { return handle_; }

  // Set up by the job manager.
  void SetCodes(const char* engineTag, const char* serviceCode);
  void SetDelivery(const EventTarget& target) { delivery_ = target; }
  int32_t AddFile(const char* url, const char* folder, const char* fileName, int64_t size, int32_t optionA,
                  int32_t optionB);

  // Reads of the host (through the manager).
  void ReadSizeInfo(JobSizeInfo* out);
  void ReadStatus(JobStatus* out) const;
  void ReadFileDone(FileDoneInfo* out);
  void ReadResult(JobResult* out);
  int32_t ReadNoticeLength() const;
  void ReadNotice(JobNotice* out);

  // Bookkeeping.
  State GetState() const { return state_; }
  void SetRunning() { state_ = kRunning; }
  void SetIdle() { state_ = kIdle; }
  int32_t FileCount() const { return static_cast<int32_t>(entries_.size()); }
  const std::vector<std::unique_ptr<JobFileEntry>>& Entries() const { return entries_; }
  JobFileEntry* EntryAt(int32_t index) const;
  JobFileEntry* FindEntry(const std::string& fullPath) const;
  int32_t SequenceNumber() const { return sequenceNumber_; }
  const char* EngineTag() const { return engineTag_; }
  const char* ServiceCode() const { return serviceCode_; }
  bool AllowEngine() const { return allowEngine_ != 0; }
  void SetAllowEngine(bool allow) { allowEngine_ = allow ? 1 : 0; }
  bool EngineReport() const { return engineReport_; }
  void SetEngineReport() { engineReport_ = true; }
  int32_t EngineJobId() const { return engineJobId_; }
  void SetEngineJobId(int32_t id) { engineJobId_ = id; }
  const JobStatus& Status() const { return status_; }

  // The files the direct downloader opened, and which of them it finished.
  void RegisterFile(const std::string& path);
  void MarkFileCompleted(const std::string& path);
  const std::vector<RegisteredFile>& FileRegister() const { return register_; }

  // Reports of the downloaders.
  void UpdateStatus(const JobStatus& status) { status_ = status; }
  void PostStatus();
  void PostSizeInfo(int32_t fileCount, int64_t total);
  void PostFileDone(const std::string& path, const char* text, const char* source);
  void PostNotice(int32_t code, const char* text);
  void End(int32_t filesDone, int32_t status);
  // The engine asks whether a partial download is to be resumed (event 524).
  void RaiseResumeQuery() const { Raise(DL_EV_RESUME_QUERY); }

 private:
  struct Notice {
    int32_t code;
    std::string text;  // empty: none
  };

  void Raise(int32_t code) const { delivery_.Raise(code, static_cast<intptr_t>(Handle())); }

  std::vector<std::unique_ptr<JobFileEntry>> entries_;
  std::unordered_map<std::string, JobFileEntry*> pathIndex_;  // lower-cased full path
  State state_ = kIdle;
  int32_t allowEngine_ = 1;
  JobStatus status_{};
  char engineTag_[4] = {};
  char serviceCode_[33] = {};
  EventTarget delivery_;
  std::unique_ptr<JobSizeInfo> pendingSizeInfo_;
  std::unique_ptr<JobResult> pendingResult_;
  int32_t sequenceNumber_;
  JobHandle handle_;
  int32_t engineJobId_ = 0;
  std::vector<RegisteredFile> register_;
  std::deque<FileDoneInfo> fileDone_;
  std::deque<Notice> notices_;
  int32_t fileDoneCounter_ = 0;
  bool engineReport_ = false;
};

// Lower-cases ASCII letters; the key of a job's path index.
std::string JobPathKey(const std::string& path);
