#include "pipeline/CPlatFormDownloader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "core/cpCQoS.h"
#include "core/cpTime.h"
#include "pipeline/Log.h"
#include "pipeline/NetworkState.h"

CPlatFormDownloader::CPlatFormDownloader() : reporter_(std::make_unique<CPlatformReporter>()) {}

CPlatFormDownloader::~CPlatFormDownloader() {
  {
    cpQoSLockGuard lock;
    while (!records_.empty()) DestroyRecord(records_.back().get());
    reporter_.reset();
  }
  WriteLog("[TessenLib] CPlatFormDownloader Destroy");
}

CPlatFormDownloader::PlatformJobRecord* CPlatFormDownloader::Find(const CJob* job) const {
  for (const auto& record : records_) {
    if (record->job == job) return record.get();
  }
  return nullptr;
}

int32_t CPlatFormDownloader::BeginJob(CJob* job) {
  if (Find(job) != nullptr) return DL_ERR_FAILED;
  if (NetworkLost()) return kNetworkDown;
  cpQoSLockGuard lock;
  WriteLog("[TessenLib] CPlatFormDownloader Begin");
  auto owned = std::make_unique<PlatformJobRecord>();
  PlatformJobRecord* record = owned.get();
  record->job = job;
  records_.push_back(std::move(owned));
  record->checker = std::make_unique<CPlatformFileSizeChecker>();
  record->checker->SetCheckerListener(this, record);
  // May report at once (every size known), and the report may end the record.
  record->checker->RunSizeCheck(job->Entries());
  return DL_OK;
}

void CPlatFormDownloader::StopJob(CJob* job) {
  PlatformJobRecord* record = Find(job);
  if (record == nullptr) return;
  cpQoSLockGuard lock;
  SendReport(*record);
  DestroyRecord(record);
}

void CPlatFormDownloader::TickJob(CJob* job) { CheckConnection(job, IsInternetConnected()); }

void CPlatFormDownloader::DestroyRecord(PlatformJobRecord* record) {
  auto it = std::find_if(records_.begin(), records_.end(),
                         [record](const std::unique_ptr<PlatformJobRecord>& r) { return r.get() == record; });
  if (it == records_.end()) return;
  std::unique_ptr<PlatformJobRecord> owned = std::move(*it);
  records_.erase(it);
  if (owned->checker) owned->checker->SetCheckerListener(nullptr, nullptr);
  if (owned->session) owned->session->SetSessionListener(nullptr, nullptr);
}

void CPlatFormDownloader::CreateSession(PlatformJobRecord* record) {
  if (record->session) {
    record->session->SetSessionListener(nullptr, nullptr);
    record->session.reset();
  }
  record->session = std::make_unique<CPlatformSession>();
  record->session->SetSessionListener(this, record);
  record->session->SetFullSpeed(record->job->AllowEngine() ? 1 : 0);
  record->session->StartFiles(record->job->Entries());
}

void CPlatFormDownloader::SendReport(const PlatformJobRecord& record) {
  if (!record.session || !reporter_) return;
  int32_t count = 0;
  record.session->CollectReport(nullptr, &count);
  if (count <= 0) return;
  std::vector<FileReportEntry> entries(static_cast<size_t>(count));
  record.session->CollectReport(entries.data(), &count);
  reporter_->QueueReport(count, entries.data());
}

JobStatus CPlatFormDownloader::ComputeStatus(const PlatformJobRecord& record) const {
  JobStatus status{};
  status.totalBytes = record.totalSize;
  status.downloadedBytes = record.session ? record.session->SessionBytes() : 0;
  status.fileCount = record.fileCount;
  status.filesDone = record.session ? record.filesDone : 0;
  int64_t elapsed = static_cast<int64_t>(cpNowSeconds()) - record.startTime;
  int64_t fresh = status.downloadedBytes - record.bytesAtStart;
  int64_t speed = 0;
  if (elapsed > 0 && status.downloadedBytes >= 0 && fresh >= 0) speed = fresh / elapsed;
  status.bytesPerSecond = static_cast<int32_t>(std::min<int64_t>(speed, INT32_MAX));
  status.elapsedSeconds = elapsed;
  status.remainingSeconds = (status.totalBytes - status.downloadedBytes) / (speed == 0 ? 1 : speed);
  if (status.downloadedBytes > 0 && status.totalBytes > 0) {
    status.percent = static_cast<int32_t>(status.downloadedBytes * 100 / status.totalBytes);
  }
  const SessionFileRecord* current = record.session ? record.session->Current() : nullptr;
  if (current != nullptr) {
    status.currentFileIndex = current->index;
    status.currentFileSize = current->expected;
    status.currentFileDone = current->offset + current->received;
    status.fileBytesPerSecond = status.bytesPerSecond;
    status.fileRemainingSeconds = status.remainingSeconds;
    if (status.currentFileDone > 0 && status.currentFileSize > 0) {
      status.currentFilePercent = static_cast<int32_t>(status.currentFileDone * 100 / status.currentFileSize);
    }
    std::strncpy(status.currentFileName, current->fileName.c_str(), 65);
    status.currentFileName[65] = '\0';
  }
  return status;
}

JobStatus CPlatFormDownloader::StatusOf(const CJob* job) const {
  const PlatformJobRecord* record = Find(job);
  return record != nullptr ? ComputeStatus(*record) : JobStatus{};
}

void CPlatFormDownloader::OnSizeCheckCompleted(void* cookie, const FileSizeCheckResult& result) {
  auto* record = static_cast<PlatformJobRecord*>(cookie);
  WriteLog("[TessenLib] CPlatFormDownloader FileSizeCheck Completed");
  nvCGuard recordAlive(*record);
  ReportSizeInfo(record->job, result.fileCount, result.totalSize);
  // The host may have stopped or deleted the job on that event: its record and checker are gone.
  if (!recordAlive) return;
  record->totalSize = result.totalSize;
  record->bytesAtStart = result.bytesAtStart;
  record->fileCount = result.fileCount;
  record->startTime = cpNowSeconds();
  CreateSession(record);
}

void CPlatFormDownloader::OnSizeCheckFailed(void* cookie, int32_t code, const char* text) {
  auto* record = static_cast<PlatformJobRecord*>(cookie);
  CJob* job = record->job;
  std::string reason = text != nullptr ? text : "";
  DestroyRecord(record);
  ReportFailure(job, code, reason.c_str());
}

void CPlatFormDownloader::OnAllFilesCompleted(void* cookie) {
  auto* record = static_cast<PlatformJobRecord*>(cookie);
  SendReport(*record);
  ReportStatus(record->job, ComputeStatus(*record));
  CJob* job = record->job;
  int32_t filesDone = record->filesDone;
  DestroyRecord(record);
  ReportEnd(job, filesDone, 0);
}

void CPlatFormDownloader::OnSessionFailed(void* cookie, const char* url) {
  auto* record = static_cast<PlatformJobRecord*>(cookie);
  ReportNotice(record->job, DL_NOTE_DOWNLOAD_FAILED, url);
}

void CPlatFormDownloader::OnFileCompleted(void* cookie, const SessionFileRecord* file) {
  auto* record = static_cast<PlatformJobRecord*>(cookie);
  std::string path = file->folder;
  if (path.empty() || path.back() != '/') path.push_back('/');
  path += file->fileName;
  record->job->MarkFileCompleted(path);
  ++record->filesDone;
  ReportFileDone(record->job, path, file->urlList.c_str());
}

void CPlatFormDownloader::OnProgress(void* cookie) {
  auto* record = static_cast<PlatformJobRecord*>(cookie);
  ReportStatus(record->job, ComputeStatus(*record));
}

void CPlatFormDownloader::OnFileOpened(const char* path, void* cookie) {
  auto* record = static_cast<PlatformJobRecord*>(cookie);
  record->job->RegisterFile(path != nullptr ? path : "");
}

void CPlatFormDownloader::OnSessionError(void* cookie, int32_t code, const char* url) {
  auto* record = static_cast<PlatformJobRecord*>(cookie);
  ReportNotice(record->job, code, url);
}
