#pragma once
// The library's single coordinator: the job registry, the downloaders that carry jobs out, the
// content-length checker and the in-memory data download, and the events they turn into.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/cpCMutex.h"
#include "library/DownloadLib.h"
#include "pipeline/CContentLengthChecker.h"
#include "pipeline/CDataDownloadSession.h"
#include "pipeline/CJob.h"
#include "pipeline/CJobDownloader.h"
#include "pipeline/EventTarget.h"
#include "pipeline/IJobDownloadEventListener.h"

class COsn;

class CJobManager final : public IJobDownloadEventListener,
                          public IDataDownloadSessionEventListener,
                          public IContentLengthCheckerEventListener {
 public:
  // The two downloaders, engine first; either may be absent.
  struct Downloaders {
    std::unique_ptr<CJobDownloader> engine;
    std::unique_ptr<CJobDownloader> platform;
  };
  using DownloaderFactory = std::function<Downloaders(CJobManager&)>;

  // Runs on the library thread; `lock` is the library lock, held by the caller.
  explicit CJobManager(cpCMutexPtr lock, DownloaderFactory factory = {});
  ~CJobManager();
  CJobManager(const CJobManager&) = delete;
  CJobManager& operator=(const CJobManager&) = delete;

  int32_t Configure(DownloadLibWindow window, DownloadLibCallback callback, void* userData,
                    bool elevateLaunch);
  int32_t CreateJob(JobHandle* out, const char* engineTag, const char* serviceCode);
  int32_t DeleteJob(JobHandle job);
  int32_t AddFile(JobHandle job, const char* url, const char* folder, const char* fileName, int64_t size,
                  int32_t optionA, int32_t optionB);
  int32_t StartJob(JobHandle job, bool allowEngine);
  int32_t StopJob(JobHandle job);
  int32_t AnswerResume(JobHandle job, bool resume, bool applyToAll);
  int32_t SetEngineReport(JobHandle job);
  int32_t SetServiceCode(const char* code);
  int32_t GetRemainingSize(JobHandle job, int64_t* out);
  int32_t AddSizeCheck(const char* url);
  int32_t StartSizeCheck();
  int32_t GetSizeCheckTotal(int64_t* out);
  int32_t DownloadData(const char* url);
  int32_t GetDataSize(int64_t* out);
  int32_t GetData(DataBuffer* buffer);
  int32_t GetJobSizeInfo(JobHandle job, JobSizeInfo* out);
  int32_t GetJobStatus(JobHandle job, JobStatus* out);
  int32_t GetFileDone(JobHandle job, FileDoneInfo* out);
  int32_t GetJobResult(JobHandle job, JobResult* out);
  int32_t GetNoticeLength(JobHandle job, int32_t* out);
  int32_t GetNotice(JobHandle job, JobNotice* out);
  // On the library thread when its loop ends.
  int32_t Shutdown();

  // The data download's outcomes, raised as events.
  void OnDataCompleted(const char* buffer, int64_t length) override;
  void OnDataFailed(int32_t code) override;
  void OnDataTick() override;
  // The content-length check's outcomes.
  void OnContentLengthCheckCompleted(int64_t total) override;
  void OnContentLengthCheckFailed(const char* url) override;
  void OnContentLengthCheckHostUnreachable() override;

  // The engine downloader's reports about itself and its launcher.
  void OnEngineUpdateFileStarted(const std::string& url, int64_t length) override;
  void OnEngineUpdateFileProgress(int64_t bytes) override;
  void OnEngineReady() override;
  void OnEngineUpdateFailed() override;
  void OnEngineUnusable() override;
  void OnEngineGaveUpJob(CJob* job) override;
  void OnEngineMode(int32_t mode) override;
  // Path failure: type 1 the engine's install folder, type 2 a job's destination folder.
  void OnPathAccessFailed(int32_t type) override;

  // What the engine's update and connection last told (not readable through the interface).
  const std::string& EngineUpdateUrl() const { return updateUrl_; }
  int64_t EngineUpdateBytes() const { return updateBytes_; }
  int32_t EngineModeState() const { return engineModeState_; }

  const EventTarget& Delivery() const { return delivery_; }
  bool HasDataSession() const { return dataSession_ != nullptr; }
  CJobDownloader* CurrentDownloader() const;
  // The registered job of `handle`, or null.
  CJob* FindJob(JobHandle handle) const;

 private:
  // The engine downloader (unless the engine is turned off) and the direct downloader.
  Downloaders DefaultDownloaders();
  CJobDownloader* HolderOf(const CJob* job) const;
  // Reads of one job's records: 517 for an unknown job or a missing record pointer.
  template <class Record, class Read>
  int32_t ReadJob(JobHandle handle, Record* out, Read read);

  DownloaderFactory factory_;
  std::unique_ptr<CJobDownloader> platformDownloader_;
  std::unique_ptr<CJobDownloader> engineDownloader_;  // null once the engine has been given up
  cpCMutexPtr lock_;
  std::unique_ptr<COsn> root_;
  std::vector<std::unique_ptr<CJob>> jobs_;
  int32_t sequence_ = 0;
  JobHandle lastHandle_ = 0;  // handles count up from 1 and are never given out twice
  EventTarget delivery_;
  std::unique_ptr<CDataDownloadSession> dataSession_;
  std::unique_ptr<CContentLengthChecker> lengthChecker_;
  std::string updateUrl_;  // the engine update's current file, at most 1039 characters
  int64_t updateLength_ = 0;
  int64_t updateBytes_ = 0;
  int32_t engineMode_ = 0;
  int32_t engineModeState_ = 0;  // 0 none, 1 mode non-zero, 2 mode zero
};

// Creates every missing level of `folder` ('/' and '\\' both separate levels). False when the
// folder is empty or a level cannot be created.
bool PrepareFolder(const std::string& folder);
