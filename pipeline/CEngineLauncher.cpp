#include "pipeline/CEngineLauncher.h"

#include "pipeline/Log.h"

CEngineLauncher::CEngineLauncher(ILauncherEventListener* listener, ProgramRunner runner, bool start)
    : listener_(listener), updater_(std::make_unique<CDownloader>(runner)) {
  updater_->SetDownloaderListener(this);
  if (start) Start();
}

void CEngineLauncher::Start() { updater_->BeginUpdate(); }

CEngineLauncher::~CEngineLauncher() {
  updater_->SetDownloaderListener(nullptr);
  updater_.reset();
}

void CEngineLauncher::OnNetworkWait() {
  if (listener_ != nullptr) listener_->OnNetworkWait();
}

void CEngineLauncher::OnFileStarted(const std::string& address, int64_t length) {
  if (listener_ != nullptr) listener_->OnUpdateFileStarted(address, length);
}

void CEngineLauncher::OnFileProgress(const std::string& address, int64_t bytes) {
  if (listener_ != nullptr) listener_->OnUpdateFileProgress(address, bytes);
}

void CEngineLauncher::OnUpdateFinished(int32_t started, int32_t allGood, const std::string& version) {
  WriteLog(allGood != 0 && !version.empty() ? "[TessenLib] Patch Success" : "[TessenLib] Patch Fail");
  if (listener_ == nullptr) return;
  if (started == 1 || allGood == 1) {
    listener_->OnEngineReady();
  } else {
    listener_->OnEngineUpdateFailed();
  }
}

void CEngineLauncher::OnUpdateFailed(int32_t code) {
  if (listener_ != nullptr) listener_->OnEngineSetupFailed(code);
}
