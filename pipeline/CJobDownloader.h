#pragma once
// The common base of the downloaders: the jobs a downloader carries, their one-second status
// tick, the connection watch, and the relay of every report to the right job.

#include <cstdint>
#include <vector>

#include "core/cpCTimer.h"
#include "core/nvTSmartPtr.h"
#include "pipeline/CJob.h"

class CJobDownloader {
 public:
  CJobDownloader();
  virtual ~CJobDownloader();
  CJobDownloader(const CJobDownloader&) = delete;
  CJobDownloader& operator=(const CJobDownloader&) = delete;

  // Job bookkeeping, used by the job manager.
  int32_t Start(CJob* job);
  int32_t Stop(CJob* job);
  int32_t AnswerResume(CJob* job, bool resume, bool applyToAll);
  bool Holds(const CJob* job) const;
  const std::vector<CJob*>& HeldJobs() const { return held_; }
  // The service code for the engine; the direct downloader has no use for it.
  virtual void SetServiceCode(const char* /*code*/) {}

 protected:
  // Downloader-specific start; its result is what the caller of Start gets.
  virtual int32_t BeginJob(CJob* job) = 0;
  virtual void StopJob(CJob* job) = 0;
  // Called for each held job on every tick (the connection check).
  virtual void TickJob(CJob* job) = 0;
  virtual int32_t AnswerResumeJob(CJob* job, bool resume, bool applyToAll);

  // Reports; each does nothing for a job that is not held.
  void ReportStatus(CJob* job, const JobStatus& status);
  void ReportSizeInfo(CJob* job, int32_t fileCount, int64_t total);
  void ReportFileDone(CJob* job, const std::string& path, const char* text, const char* source);
  void ReportFileDone(CJob* job, const std::string& path, const char* source);
  void ReportNotice(CJob* job, int32_t code, const char* text);
  void ReportNotice(CJob* job, int32_t code);
  void ReportFailure(CJob* job, int32_t code, const char* text);
  void ReportEnd(CJob* job, int32_t filesDone, int32_t status);
  void Release(CJob* job);
  void RestartAll();
  void NotifyNetworkDown();
  // The connection rule of TickJob, given what the platform says about the connection.
  void CheckConnection(CJob* job, bool connected);

  bool NetworkLost() const { return networkLost_ != 0; }
  void ClearNetworkLost() { networkLost_ = 0; }

 private:
  static void OnTick(void* self);
  void Tick();
  bool Remove(const CJob* job);
  void StopTickIfIdle();

  int32_t networkLost_ = 0;
  cpCTimerPtr tickTimer_;
  std::vector<CJob*> held_;  // not owned
};
