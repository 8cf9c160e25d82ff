#include "pipeline/CEngineDownloader.h"

#include <algorithm>
#include <cstring>

#include "core/Settings.h"
#include "core/cpCQoS.h"
#include "core/cpSocket.h"
#include "core/cpTime.h"
#include "net/nwClassIds.h"
#include "net/nwConnection.h"
#include "pipeline/Log.h"
#include "pipeline/NetworkState.h"
#include "platform/Socket.h"

namespace {

constexpr int64_t kDefaultEnginePort = 38006;
constexpr int32_t kGiveUpTimerTag = -2;
// What BeginJob answers while the network is lost.
constexpr int32_t kNetworkLostResult = 519;
// The service code a job sends is cut to this length.
constexpr size_t kJobServiceCodeLength = 32;
// Bytes of a job message around its files, and around each file besides its URL.
constexpr int64_t kListHeaderBytes = 41;
constexpr int64_t kFileRecordBytes = 531;

uint16_t EnginePort() {
  long long port = settings::GetInt("engine_port", kDefaultEnginePort);
  return static_cast<uint16_t>(port > 0 && port < 65536 ? port : kDefaultEnginePort);
}

engineproto::FileRecord RecordOf(const CJob& job, const JobFileEntry& entry, int32_t index) {
  engineproto::FileRecord record;
  record.jobSeq = job.SequenceNumber();
  record.fileIndex = index;
  record.optionA = static_cast<uint8_t>(entry.optionA);
  record.optionB = static_cast<uint8_t>(entry.optionB);
  record.size = entry.size;
  record.folder = entry.folder;
  record.fileName = entry.fileName;
  record.url = entry.url;
  return record;
}

int32_t Percent(int64_t done, int64_t total) {
  if (done <= 0 || total <= 0) return 0;
  return static_cast<int32_t>(done * 100 / total);
}

int64_t Remaining(int64_t total, int64_t done, int32_t average) {
  const uint64_t left = static_cast<uint64_t>(total - done);
  return static_cast<int64_t>(left / static_cast<uint64_t>(std::max(average, 1)));
}

}  // namespace

CEngineDownloader::CEngineDownloader(IJobDownloadEventListener* manager, ProgramRunner runner)
    : manager_(manager), runner_(runner) {
  CreateLauncher();
}

CEngineDownloader::~CEngineDownloader() {
  cpStopTimer(giveUpTimer_);
  Disconnect();
  if (launcher_) launcher_->SetListener(nullptr);
  launcher_.reset();
  records_.clear();
  WriteLog("[TessenLib] CEngineDownloader Destroy");
}

int64_t CEngineDownloader::ListBytes(const CJob& job) {
  int64_t bytes = kListHeaderBytes;
  for (const auto& entry : job.Entries()) bytes += kFileRecordBytes + static_cast<int64_t>(entry->url.size());
  return bytes;
}

void CEngineDownloader::CreateLauncher() {
  ++tryCount_;
  // The launcher may report at once (no update server): the new launcher is in place first.
  launcher_ = std::make_unique<CEngineLauncher>(nullptr, runner_, /*start=*/false);
  launcher_->SetListener(this);
  launcher_->Start();
}

nvICDNLocalClientLayer* CEngineDownloader::Layer() const {
  if (!connection_) return nullptr;
  return nvCast<nvICDNLocalClientLayer>(connection_->GetTopLayer());
}

void CEngineDownloader::Connect() {
  if (connection_) return;
  cpQoSLockGuard lock;
  nwConnectionOptions options;
  options.actionType = QOS_ACTION_HIGH;
  options.eventMask = QOS_EV_CONNECT_FAILED;
  options.connectTimeoutSeconds = 1;
  connection_ = nwOpenConnection(options, CLSID_nwCCDNLocalClientLayer);
  nvICDNLocalClientLayer* layer = Layer();
  if (layer == nullptr) {
    // Opened without its layer: closed and let go like any other connection.
    Disconnect();
    return;
  }
  layer->SetListener(this, 0);
  layer->SendServiceCode(serviceCode_.c_str());
  cpAddress target;
  platform::ParseIPv4("127.0.0.1", &target.address);
  target.port = EnginePort();
  connection_->Connect(&target);
}

void CEngineDownloader::Disconnect() {
  nwReleaseConnection<nvICDNLocalClientLayer>(connection_);
  heard_ = false;
}

void CEngineDownloader::GiveUp() {
  if (givingUp_) return;
  givingUp_ = true;
  giveUpTimer_ = cpStartTimer(1, &CEngineDownloader::OnGiveUpTimer, this, kGiveUpTimerTag);
}

void CEngineDownloader::OnGiveUpTimer(void* self) {
  auto* downloader = static_cast<CEngineDownloader*>(self);
  cpStopTimer(downloader->giveUpTimer_);
  // Usually destroys the downloader: nothing of it is touched after this call.
  downloader->manager_->OnEngineUnusable();
}

void CEngineDownloader::StartWaiting() {
  if (waitSince_ == 0) waitSince_ = static_cast<int64_t>(cpNowSeconds());
}

void CEngineDownloader::JobLeft() {
  if (HeldJobs().empty()) waitSince_ = 0;
}

CEngineDownloader::Record* CEngineDownloader::FindRecord(int32_t jobSeq) {
  auto it = std::find_if(records_.begin(), records_.end(),
                         [jobSeq](const Record& r) { return r.jobSeq == jobSeq; });
  return it == records_.end() ? nullptr : &*it;
}

CEngineDownloader::Record* CEngineDownloader::FindRecord(int32_t jobSeq, int32_t engineJobId) {
  Record* record = FindRecord(jobSeq);
  return record != nullptr && record->engineJobId == engineJobId ? record : nullptr;
}

void CEngineDownloader::RemoveRecord(int32_t jobSeq) {
  records_.erase(std::remove_if(records_.begin(), records_.end(),
                                [jobSeq](const Record& r) { return r.jobSeq == jobSeq; }),
                 records_.end());
}

int32_t CEngineDownloader::BeginJob(CJob* job) {
  if (FindRecord(job->SequenceNumber()) != nullptr) return DL_ERR_FAILED;
  if (!Answering()) StartWaiting();
  if (NetworkLost()) return kNetworkLostResult;
  nvICDNLocalClientLayer* layer = Layer();
  // Not connected yet: the job waits, held, and goes out when the connection comes up. Once the
  // engine is being given up, nothing more is sent to it.
  if (layer == nullptr || connectTime_ == 0 || givingUp_) return DL_OK;
  records_.push_back(Record{-1, job->SequenceNumber(), job});
  if (job->EngineTag()[0] != '\0') {
    engineproto::EngineTag tag{job->EngineTag()};
    layer->SendEngineTag(&tag);
  }
  engineproto::JobMode mode{static_cast<uint8_t>(job->AllowEngine() ? 2 : 1)};
  layer->SendJobMode(&mode);
  if (job->EngineReport()) layer->SendJobReport(job->SequenceNumber());
  const std::string code = std::string(job->ServiceCode()).substr(0, kJobServiceCodeLength);
  const auto& entries = job->Entries();
  if (ListBytes(*job) > kLargeListBytes) {
    engineproto::JobBegin begin{job->SequenceNumber(), job->FileCount(), code};
    layer->SendJobBegin(&begin);
    for (size_t i = 0; i < entries.size(); ++i) {
      engineproto::FileRecord record = RecordOf(*job, *entries[i], static_cast<int32_t>(i));
      layer->SendJobFile(&record);
    }
    layer->SendJobEnd(job->SequenceNumber());
  } else {
    engineproto::JobFiles files{job->SequenceNumber(), code, {}};
    for (size_t i = 0; i < entries.size(); ++i)
      files.files.push_back(RecordOf(*job, *entries[i], static_cast<int32_t>(i)));
    layer->SendJobFiles(&files);
  }
  return DL_OK;
}

void CEngineDownloader::StopJob(CJob* job) {
  JobLeft();
  Record* record = FindRecord(job->SequenceNumber());
  if (record == nullptr) return;
  engineproto::StopJob stop{record->jobSeq, record->engineJobId};
  RemoveRecord(job->SequenceNumber());
  if (nvICDNLocalClientLayer* layer = Layer()) layer->SendStopJob(&stop);
}

void CEngineDownloader::TickJob(CJob* job) {
  CheckConnection(job, IsInternetConnected());
  if (waitSince_ == 0 || givingUp_) return;
  const int64_t waited = static_cast<int64_t>(cpNowSeconds()) - waitSince_;
  if (waited < kAnswerWaitSeconds) return;
  LogFormat("[TessenLib] CEngineDownloader No Answer (%d sec)", static_cast<int>(waited));
  GiveUp();
}

int32_t CEngineDownloader::AnswerResumeJob(CJob* job, bool resume, bool applyToAll) {
  engineproto::ResumeAnswer answer{job->EngineJobId(), job->SequenceNumber(),
                                   static_cast<uint8_t>(resume ? 1 : 0),
                                   static_cast<uint8_t>(applyToAll ? 1 : 0)};
  if (nvICDNLocalClientLayer* layer = Layer()) layer->SendResumeAnswer(&answer);
  return DL_OK;
}

void CEngineDownloader::SetServiceCode(const char* code) {
  serviceCode_ = code != nullptr ? code : "";
  if (nvICDNLocalClientLayer* layer = Layer()) layer->SendServiceCode(serviceCode_.c_str());
}

// ---- the launcher ----

void CEngineDownloader::OnUpdateFileStarted(const std::string& url, int64_t length) {
  manager_->OnEngineUpdateFileStarted(url, length);
}

void CEngineDownloader::OnUpdateFileProgress(const std::string& /*url*/, int64_t bytes) {
  manager_->OnEngineUpdateFileProgress(bytes);
}

void CEngineDownloader::OnEngineReady() {
  ClearNetworkLost();
  Connect();
  manager_->OnEngineReady();
}

void CEngineDownloader::OnEngineUpdateFailed() {
  ClearNetworkLost();
  Connect();
  nvCGuard alive(*this);
  manager_->OnEngineUpdateFailed();
  if (!alive) return;
  GiveUp();
}

void CEngineDownloader::OnNetworkWait() { NotifyNetworkDown(); }

void CEngineDownloader::OnEngineSetupFailed(int32_t code) {
  nvCGuard alive(*this);
  manager_->OnPathAccessFailed(code);
  if (!alive || code != 1) return;
  GiveUp();
}

// ---- the engine ----

void CEngineDownloader::OnEngineConnected(nwEngineCookie /*cookie*/) {
  connectTime_ = cpNowSeconds();
  heard_ = false;
  RestartAll();
}

void CEngineDownloader::OnJobAccepted(const engineproto::JobAccepted* message, nwEngineCookie /*cookie*/) {
  Heard();
  Record* record = FindRecord(message->jobSeq);
  if (record == nullptr) return;
  record->engineJobId = message->engineJobId;
  record->job->SetEngineJobId(message->engineJobId);
  ReportSizeInfo(record->job, message->fileCount, message->totalBytes);
}

void CEngineDownloader::OnJobProgress(const engineproto::JobProgress* message, nwEngineCookie /*cookie*/) {
  Heard();
  Record* record = FindRecord(message->jobSeq, message->engineJobId);
  if (record == nullptr) return;
  CJob* job = record->job;
  JobStatus status{};
  status.totalBytes = message->totalBytes;
  status.downloadedBytes = message->doneBytes;
  status.fileCount = message->fileCount;
  status.filesDone = message->filesDone;
  status.elapsedSeconds = message->elapsedSeconds;
  jobSpeed_.Add(message->elapsedSeconds, message->bytesPerSecond);
  status.bytesPerSecond = jobSpeed_.Average();
  status.remainingSeconds = Remaining(message->totalBytes, message->doneBytes, status.bytesPerSecond);
  status.percent = Percent(message->doneBytes, message->totalBytes);
  const int32_t files = job->FileCount();
  status.currentFileIndex = files > 0 ? std::clamp(message->filesDone, 0, files - 1) : 0;
  if (const JobFileEntry* entry = job->EntryAt(status.currentFileIndex)) {
    std::strncpy(status.currentFileName, entry->fileName.c_str(), 65);
    status.currentFileName[65] = '\0';
  }
  if (!message->entries.empty()) {
    const engineproto::ProgressEntry& first = message->entries.front();
    status.currentFileSize = first.fileSize;
    status.currentFileDone = first.fileDone;
    fileSpeed_.Add(message->elapsedSeconds, first.fileBytesPerSecond);
    status.fileBytesPerSecond = fileSpeed_.Average();
    status.fileRemainingSeconds =
        Remaining(first.fileSize, first.fileDone, static_cast<int32_t>(status.fileBytesPerSecond));
    status.currentFilePercent = Percent(first.fileDone, first.fileSize);
  }
  ReportStatus(job, status);
}

void CEngineDownloader::OnFileDone(const engineproto::FileDone* message, nwEngineCookie /*cookie*/) {
  Heard();
  Record* record = FindRecord(message->jobSeq, message->engineJobId);
  if (record == nullptr) return;
  fileSpeed_.Clear();
  ReportFileDone(record->job, message->localPath, message->source.c_str());
}

void CEngineDownloader::OnFileDoneEx(const engineproto::FileDoneEx* message, nwEngineCookie /*cookie*/) {
  Heard();
  Record* record = FindRecord(message->jobSeq, message->engineJobId);
  if (record == nullptr) return;
  fileSpeed_.Clear();
  ReportFileDone(record->job, message->localPath, message->text.c_str(), message->source.c_str());
}

void CEngineDownloader::OnJobWarning(const engineproto::JobWarning* message, nwEngineCookie /*cookie*/) {
  Heard();
  Record* record = FindRecord(message->jobSeq, message->engineJobId);
  if (record == nullptr || message->code != 1) return;
  ReportNotice(record->job, DL_NOTE_DISK_FULL);
}

void CEngineDownloader::OnJobFailed(const engineproto::JobFailed* message, nwEngineCookie /*cookie*/) {
  Heard();
  Record* record = FindRecord(message->jobSeq);
  if (record == nullptr) return;
  CJob* job = record->job;
  RemoveRecord(message->jobSeq);
  ReportFailure(job, DL_NOTE_DOWNLOAD_FAILED, message->reason.c_str());
  JobLeft();
}

void CEngineDownloader::OnJobFinished(const engineproto::JobFinished* message, nwEngineCookie /*cookie*/) {
  Heard();
  Record* record = FindRecord(message->jobSeq, message->engineJobId);
  if (record == nullptr) return;
  CJob* job = record->job;
  RemoveRecord(message->jobSeq);
  if (message->result != 0) {
    ReportNotice(job, DL_NOTE_ENGINE_FALLBACK);
    Release(job);
    JobLeft();
    manager_->OnEngineGaveUpJob(job);
    return;
  }
  ReportEnd(job, message->filesDone, 0);
  JobLeft();
}

void CEngineDownloader::OnEngineNetworkDown(nwEngineCookie /*cookie*/) {
  Heard();
  if (!records_.empty()) ReportNotice(records_.front().job, DL_NOTE_NETWORK_DOWN);
}

void CEngineDownloader::OnEngineNetworkUp(nwEngineCookie /*cookie*/) {
  Heard();
  if (!records_.empty()) ReportNotice(records_.front().job, DL_NOTE_NETWORK_UP);
}

void CEngineDownloader::OnResumeQuery(int32_t jobSeq, nwEngineCookie /*cookie*/) {
  Heard();
  if (Record* record = FindRecord(jobSeq)) record->job->RaiseResumeQuery();
}

void CEngineDownloader::OnEngineMode(int32_t mode, nwEngineCookie /*cookie*/) {
  Heard();
  manager_->OnEngineMode(mode);
}

void CEngineDownloader::OnEngineConnectFailed(nwEngineCookie /*cookie*/) {}

void CEngineDownloader::OnEngineClosed(nwEngineCookie /*cookie*/) {
  Disconnect();
  if (connectTime_ != 0 && static_cast<int64_t>(cpNowSeconds()) - connectTime_ > kLongLivedSeconds) {
    tryCount_ = 0;
  }
  connectTime_ = 0;
  WriteLog("[TessenLib] localClosed()");
  if (givingUp_) return;
  if (tryCount_ > kMaxTries) {
    WriteLog("[TessenLib] CEngineDownloader MaxTry Over");
    GiveUp();
    return;
  }
  // The jobs it carried wait for the relaunched engine, within the same bound as at their start.
  if (!HeldJobs().empty()) StartWaiting();
  if (launcher_) launcher_->SetListener(nullptr);
  launcher_.reset();
  records_.clear();
  CreateLauncher();
}
