#include "pipeline/CDownloader.h"

#include <algorithm>

#include "core/Settings.h"
#include "net/nwHttpLocation.h"
#include "pipeline/CBinaryExecute_V3.h"
#include "pipeline/Log.h"
#include "pipeline/NetworkState.h"

namespace {

constexpr int32_t kRetryTimerTag = 0;

int RunInstalledEngine() { return BinaryExecutor().RunExecutable(); }

}  // namespace

CDownloader::CDownloader(ProgramRunner runner) : runner_(runner != nullptr ? runner : RunInstalledEngine) {
  WriteLog("[TessenLib] Initialize Downloader");
}

CDownloader::~CDownloader() {
  cpStopTimer(retryTimer_);
  sessions_.clear();
  retired_.clear();
  WriteLog("[TessenLib] Finalize Downloader");
}

void CDownloader::BeginUpdate() { BeginUpdate(settings::Get("update_manifest_url")); }

void CDownloader::BeginUpdate(const std::string& manifestUrl) {
  if (manifestUrl.empty()) {
    // No update server: the program installed is started as it is.
    WriteLog("[TessenLib] Begin Update (no manifest address)");
    Finish();
    return;
  }
  list_.AddFile(manifestUrl, std::string(), std::string(), std::string(), manifestUrl + ".sig");
  CDownloadFile* file = list_.PickNextPending();
  CDownloadSession* session = IdleSession(true);
  nvCGuard alive(*this);
  session->Start(file);
  if (!alive) return;
  WriteLog("[TessenLib] Begin Update");
}

CDownloadSession* CDownloader::IdleSession(bool create) {
  for (const std::unique_ptr<CDownloadSession>& session : sessions_) {
    if (!session->Busy()) return session.get();
  }
  if (!create) return nullptr;
  sessions_.push_back(std::make_unique<CDownloadSession>(this));
  return sessions_.back().get();
}

void CDownloader::RunNextPending(bool create) {
  if (finished_) return;
  if (list_.Empty()) {
    Finish();
    return;
  }
  CDownloadSession* session = IdleSession(create);
  if (session == nullptr) return;
  CDownloadFile* file = list_.PickNextPending();
  if (file == nullptr) {
    // Nothing may be tried now; when nothing is in flight either, nothing ever will be.
    if (std::none_of(sessions_.begin(), sessions_.end(),
                     [](const std::unique_ptr<CDownloadSession>& s) { return s->Busy(); }) &&
        !retryTimer_) {
      Finish();
    }
    return;
  }
  session->Start(file);
}

void CDownloader::StartList() {
  if (list_.Empty()) {
    Finish();
    return;
  }
  nvCGuard alive(*this);
  for (size_t i = list_.Count(); i > 0 && alive && !finished_; --i) RunNextPending(true);
}

void CDownloader::Finish() {
  if (finished_) return;
  finished_ = true;
  cpStopTimer(retryTimer_);
  const int started = runner_();
  if (listener_ != nullptr) {
    listener_->OnUpdateFinished(started, result_.AllGood() ? 1 : 0, list_.NewVersion());
  }
}

void CDownloader::RetireSession(CDownloadSession* session) {
  auto it =
      std::find_if(sessions_.begin(), sessions_.end(),
                   [session](const std::unique_ptr<CDownloadSession>& s) { return s.get() == session; });
  if (it == sessions_.end()) return;
  retired_.push_back(std::move(*it));
  sessions_.erase(it);
}

void CDownloader::OnSessionConnected(CDownloadSession* /*cookie*/) {
  retired_.clear();
  LeaveNetworkWait();
}

void CDownloader::OnSessionCompleted(CDownloadSession* cookie, const SessionResult& result) {
  retired_.clear();
  cookie->DetachFile();
  if (result.code == kUpdateUnpackFailed || result.code == kUpdateFolderFailed) {
    LogFormat("[TessenLib] 엔진 다운로드 실패 result : %d", result.code);
    if (listener_ != nullptr) listener_->OnUpdateFailed(1);
    return;
  }
  if (result.code != kUpdateOk) result_.Failed();
  if (list_.Settle(result.address, result.code == kUpdateOk, result.code == kUpdateRefused)) result_.Failed();
  LogFormat("[TessenLib] Download Completed (URL: %s)(Code: %d)", result.address.c_str(), result.code);
  if (result.type == kDeliveryManifest) {
    StartList();
  } else if (result.type == kDeliveryArchive) {
    RunNextPending(false);
  }
}

void CDownloader::OnSessionError(CDownloadSession* cookie, int32_t code) {
  retired_.clear();
  const std::string url = cookie->Url();
  // A file given up after its last try is a failed update, not "all good" with nothing fetched.
  if (list_.Settle(url, false)) result_.Failed();
  LogFormat("[TessenLib] Session Error (URL: %s)(Code: %d)", url.c_str(), code);
  RetireSession(cookie);
  // An unreachable host waits for the network only while the machine is offline; online, a name
  // that does not resolve or a host that does not answer is a failed try like any other.
  if (code == kSessionUnreachable && !IsInternetConnected()) {
    EnterNetworkWait();
  } else {
    RunNextPending(true);
  }
}

void CDownloader::OnArchiveStarted(CDownloadSession* /*cookie*/, const std::string& address, int64_t length) {
  if (listener_ != nullptr) listener_->OnFileStarted(address, length);
}

void CDownloader::OnArchiveProgress(CDownloadSession* /*cookie*/, const std::string& address, int64_t bytes) {
  if (listener_ != nullptr) listener_->OnFileProgress(address, bytes);
}

void CDownloader::EnterNetworkWait() {
  if (retryTimer_) return;
  list_.SetUnlimited(true);
  retryTimer_ = cpStartTimer(kNetworkWaitTickMs, &CDownloader::OnRetryTick, this, kRetryTimerTag);
  if (listener_ != nullptr) listener_->OnNetworkWait();
}

void CDownloader::LeaveNetworkWait() {
  if (!retryTimer_) return;
  cpStopTimer(retryTimer_);
  list_.SetUnlimited(false);
}

void CDownloader::OnRetryTick(void* self) {
  auto* downloader = static_cast<CDownloader*>(self);
  downloader->retired_.clear();
  // Sessions that finished earlier stay idle in the list: what counts is that none is at work.
  const bool working = std::any_of(downloader->sessions_.begin(), downloader->sessions_.end(),
                                   [](const std::unique_ptr<CDownloadSession>& s) { return s->Busy(); });
  if (!working) downloader->RunNextPending(true);
}
