#include "library/CJobManager.h"

#include <algorithm>

#include "core/Settings.h"
#include "core/cpCMutex.h"
#include "library/COsn.h"
#include "pipeline/CBinaryExecute_V3.h"
#include "pipeline/CEngineDownloader.h"
#include "pipeline/CPlatFormDownloader.h"
#include "pipeline/Log.h"
#include "platform/FileSystem.h"

namespace {

constexpr const char* kLibraryVersion = "3.5.0.2";
// The engine update's file address as the manager keeps it, terminator included.
constexpr size_t kUpdateUrlField = 1040;

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool PrepareFolder(const std::string& folder) {
  if (folder.empty()) return false;
  if (platform::DirectoryExists(folder)) return true;
  // Every level, the last one included even without a trailing separator: the job writes into it.
  std::string path = folder;
  if (!IsSeparator(path.back())) path.push_back('/');
  for (size_t i = 1; i < path.size(); ++i) {
    if (!IsSeparator(path[i])) continue;
    std::string level = path.substr(0, i + 1);
    std::replace(level.begin(), level.end(), '\\', '/');
    if (!platform::DirectoryExists(level) && !platform::CreateDirectoryLevel(level)) return false;
  }
  return true;
}

CJobManager::CJobManager(cpCMutexPtr lock, DownloaderFactory factory)
    : factory_(std::move(factory)), lock_(std::move(lock)) {
  cpMutexGuard guard(lock_);
  root_ = std::make_unique<COsn>(lock_);
}

CJobManager::~CJobManager() {
  {
    cpMutexGuard guard(lock_);
    // Downloaders first: they may still refer to jobs, never the other way round.
    engineDownloader_.reset();
    platformDownloader_.reset();
    jobs_.clear();
    dataSession_.reset();
    lengthChecker_.reset();
    root_.reset();
  }
  lock_.Reset();
}

int32_t CJobManager::Configure(DownloadLibWindow window, DownloadLibCallback callback, void* userData,
                               bool elevateLaunch) {
  cpMutexGuard guard(lock_);
  delivery_ = EventTarget{window, callback, userData};
  SetLaunchElevation(elevateLaunch);
  Downloaders made = factory_ ? factory_(*this) : DefaultDownloaders();
  engineDownloader_ = std::move(made.engine);
  platformDownloader_ = std::move(made.platform);
  if (!engineDownloader_ && !platformDownloader_) {
    // Without downloaders the log is still restarted for this run of the library.
    ResetLog();
    LogFormat("[TessenLib] Launch(%s)", kLibraryVersion);
  }
  return DL_OK;
}

CJobManager::Downloaders CJobManager::DefaultDownloaders() {
  Downloaders made;
  // The engine's downloader first: its launcher brings the engine up while the host prepares
  // its first job.
  if (settings::GetInt("engine_enabled", 1) != 0) made.engine = std::make_unique<CEngineDownloader>(this);
  made.platform = std::make_unique<CPlatFormDownloader>();
  return made;
}

void CJobManager::OnEngineUpdateFileStarted(const std::string& url, int64_t length) {
  updateUrl_ = url.substr(0, kUpdateUrlField - 1);
  updateLength_ = length;
  updateBytes_ = 0;
  delivery_.Raise(DL_EV_ENGINE_UPDATE_FILE, 0);
}

void CJobManager::OnEngineUpdateFileProgress(int64_t bytes) {
  updateBytes_ = bytes;
  delivery_.Raise(DL_EV_ENGINE_UPDATE_PROGRESS, 0);
}

void CJobManager::OnEngineReady() { delivery_.Raise(DL_EV_ENGINE_READY, 0); }

void CJobManager::OnEngineUpdateFailed() { delivery_.Raise(DL_EV_ENGINE_UPDATE_FAILED, 0); }

void CJobManager::OnEngineUnusable() {
  if (!engineDownloader_) return;
  engineDownloader_.reset();
  // Handles, not pointers: a start may raise an event on which the host deletes jobs.
  std::vector<JobHandle> running;
  for (const std::unique_ptr<CJob>& job : jobs_) {
    if (job->GetState() == CJob::kRunning) running.push_back(job->Handle());
  }
  for (JobHandle handle : running) {
    CJob* job = FindJob(handle);
    if (job != nullptr && job->GetState() == CJob::kRunning && platformDownloader_) {
      platformDownloader_->Start(job);
    }
  }
}

void CJobManager::OnEngineGaveUpJob(CJob* job) {
  const bool registered = std::any_of(
      jobs_.begin(), jobs_.end(), [job](const std::unique_ptr<CJob>& entry) { return entry.get() == job; });
  if (registered && platformDownloader_) platformDownloader_->Start(job);
}

void CJobManager::OnEngineMode(int32_t mode) {
  engineMode_ = mode;
  engineModeState_ = mode != 0 ? 1 : 2;
  delivery_.Raise(DL_EV_ENGINE_MODE, 0);
}

CJob* CJobManager::FindJob(JobHandle handle) const {
  if (handle == 0) return nullptr;
  auto it = std::find_if(jobs_.begin(), jobs_.end(),
                         [handle](const std::unique_ptr<CJob>& job) { return job->Handle() == handle; });
  return it != jobs_.end() ? it->get() : nullptr;
}

CJobDownloader* CJobManager::CurrentDownloader() const {
  return engineDownloader_ ? engineDownloader_.get() : platformDownloader_.get();
}

CJobDownloader* CJobManager::HolderOf(const CJob* job) const {
  if (engineDownloader_ && engineDownloader_->Holds(job)) return engineDownloader_.get();
  if (platformDownloader_ && platformDownloader_->Holds(job)) return platformDownloader_.get();
  return nullptr;
}

int32_t CJobManager::CreateJob(JobHandle* out, const char* engineTag, const char* serviceCode) {
  cpMutexGuard guard(lock_);
  if (out == nullptr || FindJob(*out) != nullptr) return DL_ERR_FAILED;
  auto job = std::make_unique<CJob>(sequence_++, ++lastHandle_);
  job->SetCodes(engineTag, serviceCode);
  job->SetDelivery(delivery_);
  *out = job->Handle();
  jobs_.push_back(std::move(job));
  return DL_OK;
}

int32_t CJobManager::DeleteJob(JobHandle handle) {
  cpMutexGuard guard(lock_);
  CJob* job = FindJob(handle);
  if (job == nullptr) return DL_ERR_FAILED;
  if (CJobDownloader* holder = HolderOf(job)) holder->Stop(job);
  auto it = std::find_if(jobs_.begin(), jobs_.end(),
                         [job](const std::unique_ptr<CJob>& entry) { return entry.get() == job; });
  jobs_.erase(it);
  return DL_OK;
}

int32_t CJobManager::AddFile(JobHandle handle, const char* url, const char* folder, const char* fileName,
                             int64_t size, int32_t optionA, int32_t optionB) {
  if (size == 0 || (size < 0 && size != -1)) return DL_ERR_BAD_SIZE;
  cpMutexGuard guard(lock_);
  CJob* job = FindJob(handle);
  if (job == nullptr) return DL_ERR_FAILED;
  if (!PrepareFolder(folder != nullptr ? folder : "")) {
    OnPathAccessFailed(2);
    return DL_ERR_FOLDER;
  }
  return job->AddFile(url, folder, fileName, size, optionA, optionB);
}

void CJobManager::OnPathAccessFailed(int32_t type) {
  int32_t code = type == 1 ? DL_EV_ENGINE_PATH_FAILED : DL_EV_FOLDER_FAILED;
  auto lParam = reinterpret_cast<intptr_t>(this);
  if (delivery_.window != nullptr) {
    WriteLog(type == 1 ? "[TessenLib] engine path access failed" : "[TessenLib] download path access failed");
    delivery_.Post(code, lParam);
  }
  delivery_.Call(code, lParam);
}

int32_t CJobManager::StartJob(JobHandle handle, bool allowEngine) {
  cpMutexGuard guard(lock_);
  CJob* job = FindJob(handle);
  if (job == nullptr || job->FileCount() == 0) return DL_ERR_FAILED;
  job->SetAllowEngine(allowEngine);
  CJobDownloader* downloader = CurrentDownloader();
  if (downloader == nullptr) return DL_ERR_FAILED;
  return downloader->Start(job);
}

int32_t CJobManager::StopJob(JobHandle handle) {
  cpMutexGuard guard(lock_);
  CJob* job = FindJob(handle);
  CJobDownloader* holder = job != nullptr ? HolderOf(job) : nullptr;
  if (holder == nullptr) return DL_ERR_FAILED;
  return holder->Stop(job);
}

int32_t CJobManager::AnswerResume(JobHandle handle, bool resume, bool applyToAll) {
  cpMutexGuard guard(lock_);
  CJob* job = FindJob(handle);
  if (job == nullptr) return DL_ERR_FAILED;
  CJobDownloader* downloader = CurrentDownloader();
  if (downloader == nullptr) return DL_ERR_NOT_QUEUED;
  return downloader->AnswerResume(job, resume, applyToAll);
}

int32_t CJobManager::SetEngineReport(JobHandle handle) {
  cpMutexGuard guard(lock_);
  CJob* job = FindJob(handle);
  if (job == nullptr) return DL_ERR_FAILED;
  job->SetEngineReport();
  return DL_OK;
}

int32_t CJobManager::SetServiceCode(const char* code) {
  cpMutexGuard guard(lock_);
  if (engineDownloader_) engineDownloader_->SetServiceCode(code != nullptr ? code : "");
  return DL_OK;
}

int32_t CJobManager::GetRemainingSize(JobHandle handle, int64_t* out) {
  cpMutexGuard guard(lock_);
  if (out == nullptr) return DL_ERR_FAILED;
  CJob* job = FindJob(handle);
  if (job != nullptr && job->Status().totalBytes != 0) {
    *out = job->Status().totalBytes - job->Status().downloadedBytes;
    return DL_OK;
  }
  if (!lengthChecker_) return DL_ERR_FAILED;
  *out = lengthChecker_->GetTotal();
  return DL_OK;
}

// The three size-check operations take no lock of their own: the checker takes it around each
// request it sets up or tears down.
int32_t CJobManager::AddSizeCheck(const char* url) {
  if (url == nullptr || url[0] == '\0') return DL_ERR_FAILED;
  if (!lengthChecker_) lengthChecker_ = std::make_unique<CContentLengthChecker>(this);
  return lengthChecker_->AddUrl(url);
}

int32_t CJobManager::StartSizeCheck() {
  if (!lengthChecker_) {
    TraceDiagnostic("[TessenLib_D] 0x0007");
    return DL_ERR_FAILED;
  }
  lengthChecker_->StartCheck();
  return DL_OK;
}

int32_t CJobManager::GetSizeCheckTotal(int64_t* out) {
  if (!lengthChecker_ || out == nullptr) return DL_ERR_FAILED;
  *out = lengthChecker_->GetTotal();
  return DL_OK;
}

void CJobManager::OnContentLengthCheckCompleted(int64_t /*total*/) {
  delivery_.Raise(DL_EV_SIZE_CHECK_DONE, 0);
}

void CJobManager::OnContentLengthCheckFailed(const char* /*url*/) {
  TraceDiagnostic("[TessenLib_D] File Size Check Failed. 0x0011");
  delivery_.Raise(DL_EV_SIZE_CHECK_FAILED, 0);
}

void CJobManager::OnContentLengthCheckHostUnreachable() {
  TraceDiagnostic("[TessenLib_D] File Size Check Failed. 0x0012");
  delivery_.Raise(DL_EV_SIZE_CHECK_FAILED, 0);
}

int32_t CJobManager::DownloadData(const char* url) {
  cpMutexGuard guard(lock_);
  // Nothing to fetch would leave the caller waiting for an event that never comes.
  if (url == nullptr || url[0] == '\0') return DL_ERR_FAILED;
  if (!dataSession_) dataSession_ = std::make_unique<CDataDownloadSession>(this);
  dataSession_->StartData(url);
  return DL_OK;
}

int32_t CJobManager::GetDataSize(int64_t* out) {
  cpMutexGuard guard(lock_);
  return dataSession_ ? dataSession_->GetDataSize(out) : DL_ERR_FAILED;
}

int32_t CJobManager::GetData(DataBuffer* buffer) {
  cpMutexGuard guard(lock_);
  return dataSession_ ? dataSession_->GetData(buffer) : DL_ERR_FAILED;
}

void CJobManager::OnDataCompleted(const char* /*buffer*/, int64_t /*length*/) {
  delivery_.Raise(DL_EV_DATA_DONE, 0);
}

void CJobManager::OnDataFailed(int32_t /*code*/) { delivery_.Raise(DL_EV_DATA_FAILED, 0); }

void CJobManager::OnDataTick() { delivery_.Raise(DL_EV_DATA_TICK, 0); }

template <class Record, class Read>
int32_t CJobManager::ReadJob(JobHandle handle, Record* out, Read read) {
  cpMutexGuard guard(lock_);
  CJob* job = FindJob(handle);
  if (job == nullptr || out == nullptr) return DL_ERR_FAILED;
  read(*job, out);
  return DL_OK;
}

int32_t CJobManager::GetJobSizeInfo(JobHandle handle, JobSizeInfo* out) {
  return ReadJob(handle, out, [](CJob& job, JobSizeInfo* record) { job.ReadSizeInfo(record); });
}

int32_t CJobManager::GetJobStatus(JobHandle handle, JobStatus* out) {
  return ReadJob(handle, out, [](CJob& job, JobStatus* record) { job.ReadStatus(record); });
}

int32_t CJobManager::GetFileDone(JobHandle handle, FileDoneInfo* out) {
  return ReadJob(handle, out, [](CJob& job, FileDoneInfo* record) { job.ReadFileDone(record); });
}

int32_t CJobManager::GetJobResult(JobHandle handle, JobResult* out) {
  return ReadJob(handle, out, [](CJob& job, JobResult* record) { job.ReadResult(record); });
}

int32_t CJobManager::GetNoticeLength(JobHandle handle, int32_t* out) {
  return ReadJob(handle, out, [](CJob& job, int32_t* length) { *length = job.ReadNoticeLength(); });
}

int32_t CJobManager::GetNotice(JobHandle handle, JobNotice* out) {
  return ReadJob(handle, out, [](CJob& job, JobNotice* record) { job.ReadNotice(record); });
}

int32_t CJobManager::Shutdown() {
  cpMutexGuard guard(lock_);
  if (root_) root_->Shutdown();
  return DL_OK;
}
