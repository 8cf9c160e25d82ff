#pragma once
// The downloader that fetches jobs directly from the content servers: for each job it learns the
// unknown sizes, runs one session that downloads the files one after another, turns the
// session's events into the job's status, notices, file-done and job-done reports, and hands a
// per-file transfer report to the relay reporter. It also watches the connection once a second.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/nvCGuard.h"
#include "pipeline/CJobDownloader.h"
#include "pipeline/CPlatformFileSizeChecker.h"
#include "pipeline/CPlatformReporter.h"
#include "pipeline/CPlatformSession.h"

class CPlatFormDownloader final : public CJobDownloader,
                                  private IPlatFormSessionEventListener,
                                  private ICheckerEventListener {
 public:
  // The job is not taken while the connection is known to be down.
  static constexpr int32_t kNetworkDown = 519;

  CPlatFormDownloader();
  ~CPlatFormDownloader() override;

  // The status of a held job as its record stands now (zeros for a job not run here).
  JobStatus StatusOf(const CJob* job) const;
  bool HasRecord(const CJob* job) const { return Find(job) != nullptr; }
  CPlatformReporter& Reporter() { return *reporter_; }

 protected:
  int32_t BeginJob(CJob* job) override;
  void StopJob(CJob* job) override;
  void TickJob(CJob* job) override;

 private:
  struct PlatformJobRecord : nvCGuarded {
    std::unique_ptr<CPlatformFileSizeChecker> checker;
    std::unique_ptr<CPlatformSession> session;
    CJob* job = nullptr;
    int64_t totalSize = 0;
    int64_t bytesAtStart = 0;
    int32_t fileCount = 0;
    int32_t filesDone = 0;
    int64_t startTime = 0;
  };

  PlatformJobRecord* Find(const CJob* job) const;
  void CreateSession(PlatformJobRecord* record);
  JobStatus ComputeStatus(const PlatformJobRecord& record) const;
  void SendReport(const PlatformJobRecord& record);
  // Removes the record from the list and destroys it (its checker and session detached first).
  void DestroyRecord(PlatformJobRecord* record);

  void OnSizeCheckCompleted(void* cookie, const FileSizeCheckResult& result) override;
  void OnSizeCheckFailed(void* cookie, int32_t code, const char* text) override;

  void OnAllFilesCompleted(void* cookie) override;
  void OnSessionFailed(void* cookie, const char* url) override;
  void OnFileCompleted(void* cookie, const SessionFileRecord* file) override;
  void OnProgress(void* cookie) override;
  void OnFileOpened(const char* path, void* cookie) override;
  void OnSessionError(void* cookie, int32_t code, const char* url) override;

  std::vector<std::unique_ptr<PlatformJobRecord>> records_;
  std::unique_ptr<CPlatformReporter> reporter_;
};
