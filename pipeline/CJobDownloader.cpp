#include "pipeline/CJobDownloader.h"

#include <algorithm>

#include "core/cpCTimer.h"
#include "pipeline/Log.h"

namespace {

constexpr uint32_t kTickMs = 1000;
constexpr int32_t kTickTag = -1;
constexpr const char* kLibraryVersion = "3.5.0.2";

}  // namespace

CJobDownloader::CJobDownloader() {
  ResetLog();
  LogFormat("[TessenLib] Launch(%s)", kLibraryVersion);
}

CJobDownloader::~CJobDownloader() { cpStopTimer(tickTimer_); }

bool CJobDownloader::Holds(const CJob* job) const {
  return std::find(held_.begin(), held_.end(), job) != held_.end();
}

bool CJobDownloader::Remove(const CJob* job) {
  auto it = std::find(held_.begin(), held_.end(), job);
  if (it == held_.end()) return false;
  held_.erase(it);
  return true;
}

void CJobDownloader::StopTickIfIdle() {
  if (held_.empty()) cpStopTimer(tickTimer_);
}

int32_t CJobDownloader::Start(CJob* job) {
  if (Holds(job)) return DL_ERR_ALREADY_QUEUED;
  networkLost_ = 0;
  job->SetRunning();
  held_.push_back(job);
  if (!tickTimer_) tickTimer_ = cpStartTimer(kTickMs, &CJobDownloader::OnTick, this, kTickTag);
  return BeginJob(job);
}

int32_t CJobDownloader::Stop(CJob* job) {
  if (!Remove(job)) return DL_ERR_NOT_QUEUED;
  job->SetIdle();
  StopTickIfIdle();
  StopJob(job);
  return DL_OK;
}

int32_t CJobDownloader::AnswerResume(CJob* job, bool resume, bool applyToAll) {
  if (!Holds(job)) return DL_ERR_NOT_QUEUED;
  AnswerResumeJob(job, resume, applyToAll);
  return DL_OK;
}

int32_t CJobDownloader::AnswerResumeJob(CJob* /*job*/, bool /*resume*/, bool /*applyToAll*/) { return DL_OK; }

void CJobDownloader::OnTick(void* self) { static_cast<CJobDownloader*>(self)->Tick(); }

void CJobDownloader::Tick() {
  // A copy: a tick may end or release jobs while it walks them.
  std::vector<CJob*> jobs = held_;
  for (CJob* job : jobs) {
    if (!Holds(job)) continue;
    TickJob(job);
    if (Holds(job)) job->PostStatus();
  }
}

void CJobDownloader::ReportStatus(CJob* job, const JobStatus& status) {
  if (Holds(job)) job->UpdateStatus(status);
}

void CJobDownloader::ReportSizeInfo(CJob* job, int32_t fileCount, int64_t total) {
  if (Holds(job)) job->PostSizeInfo(fileCount, total);
}

void CJobDownloader::ReportFileDone(CJob* job, const std::string& path, const char* text,
                                    const char* source) {
  if (Holds(job)) job->PostFileDone(path, text, source);
}

void CJobDownloader::ReportFileDone(CJob* job, const std::string& path, const char* source) {
  ReportFileDone(job, path, nullptr, source);
}

void CJobDownloader::ReportNotice(CJob* job, int32_t code, const char* text) {
  if (Holds(job)) job->PostNotice(code, text);
}

void CJobDownloader::ReportNotice(CJob* job, int32_t code) { ReportNotice(job, code, nullptr); }

void CJobDownloader::ReportFailure(CJob* job, int32_t code, const char* text) {
  if (!Remove(job)) return;
  job->PostNotice(code, text);
}

void CJobDownloader::ReportEnd(CJob* job, int32_t filesDone, int32_t status) {
  if (!Remove(job)) return;
  job->End(filesDone, status);
  StopTickIfIdle();
}

void CJobDownloader::Release(CJob* job) {
  if (Remove(job)) StopTickIfIdle();
}

void CJobDownloader::RestartAll() {
  std::vector<CJob*> jobs = held_;
  for (CJob* job : jobs) {
    if (Holds(job)) BeginJob(job);
  }
}

void CJobDownloader::NotifyNetworkDown() {
  std::vector<CJob*> jobs = held_;
  for (CJob* job : jobs) {
    networkLost_ = 1;
    ReportNotice(job, DL_NOTE_NETWORK_DOWN);
  }
}

void CJobDownloader::CheckConnection(CJob* job, bool connected) {
  if (!connected && networkLost_ == 0) {
    NotifyNetworkDown();
  } else if (connected && networkLost_ != 0) {
    networkLost_ = 0;
    ReportNotice(job, DL_NOTE_NETWORK_UP);
  }
}
