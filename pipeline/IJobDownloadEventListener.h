#pragma once
// What the engine downloader tells the job manager about itself and its launcher.

#include <cstdint>
#include <string>

class CJob;

class IJobDownloadEventListener {
 public:
  virtual void OnEngineUpdateFileStarted(const std::string& url, int64_t length) = 0;  // event 518
  virtual void OnEngineUpdateFileProgress(int64_t bytes) = 0;                          // event 519
  virtual void OnEngineReady() = 0;                                                    // event 520
  virtual void OnEngineUpdateFailed() = 0;                                             // event 521
  // The engine cannot serve: every running job goes to direct download.
  virtual void OnEngineUnusable() = 0;
  // The engine gave one job back: it goes on by direct download.
  virtual void OnEngineGaveUpJob(CJob* job) = 0;
  virtual void OnPathAccessFailed(int32_t type) = 0;  // events 527 / 528
  virtual void OnEngineMode(int32_t mode) = 0;        // event 530

 protected:
  ~IJobDownloadEventListener() = default;
};
