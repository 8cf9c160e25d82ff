#pragma once
// A downloader that records what the job manager asks of it and lets tests report for it.

#include <string>
#include <vector>

#include "pipeline/CJobDownloader.h"

class FakeDownloader : public CJobDownloader {
 public:
  int32_t beginResult = DL_OK;
  std::vector<CJob*> begun;
  std::vector<CJob*> stopped;
  std::vector<bool> allowEngineAtBegin;
  int resumeAnswers = 0;
  std::string serviceCode = "<unset>";
  bool connected = true;

  void SetServiceCode(const char* code) override { serviceCode = code; }

  using CJobDownloader::CheckConnection;
  using CJobDownloader::NotifyNetworkDown;
  using CJobDownloader::Release;
  using CJobDownloader::ReportEnd;
  using CJobDownloader::ReportFailure;
  using CJobDownloader::ReportFileDone;
  using CJobDownloader::ReportNotice;
  using CJobDownloader::ReportSizeInfo;
  using CJobDownloader::ReportStatus;
  using CJobDownloader::RestartAll;

 protected:
  int32_t BeginJob(CJob* job) override {
    begun.push_back(job);
    allowEngineAtBegin.push_back(job->AllowEngine());
    return beginResult;
  }
  void StopJob(CJob* job) override { stopped.push_back(job); }
  void TickJob(CJob* job) override { CheckConnection(job, connected); }
  int32_t AnswerResumeJob(CJob* /*job*/, bool /*resume*/, bool /*applyToAll*/) override {
    ++resumeAnswers;
    return 999;  // never passed on
  }
};
