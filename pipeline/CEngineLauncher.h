#pragma once
// Brings the local download engine up: runs the self-updater, which installs or updates the
// engine's program and starts it, and relays what the updater reports.

#include <cstdint>
#include <memory>
#include <string>

#include "pipeline/CDownloader.h"

class ILauncherEventListener {
 public:
  virtual void OnUpdateFileStarted(const std::string& url, int64_t length) = 0;
  virtual void OnUpdateFileProgress(const std::string& url, int64_t bytes) = 0;
  virtual void OnEngineReady() = 0;
  virtual void OnEngineUpdateFailed() = 0;
  virtual void OnNetworkWait() = 0;
  virtual void OnEngineSetupFailed(int32_t code) = 0;

 protected:
  ~ILauncherEventListener() = default;
};

class CEngineLauncher final : public IDownloaderEventListener {
 public:
  // Creates the updater and, with `start`, starts the update at once; `runner` starts the program
  // (null: the installed engine, for real).
  explicit CEngineLauncher(ILauncherEventListener* listener = nullptr, ProgramRunner runner = nullptr,
                           bool start = true);
  // Starts the update (once); its reports may come before this returns.
  void Start();
  ~CEngineLauncher();
  CEngineLauncher(const CEngineLauncher&) = delete;
  CEngineLauncher& operator=(const CEngineLauncher&) = delete;

  void SetListener(ILauncherEventListener* listener) { listener_ = listener; }
  const CDownloader& Updater() const { return *updater_; }

 private:
  void OnNetworkWait() override;
  void OnFileStarted(const std::string& address, int64_t length) override;
  void OnFileProgress(const std::string& address, int64_t bytes) override;
  void OnUpdateFinished(int32_t started, int32_t allGood, const std::string& version) override;
  void OnUpdateFailed(int32_t code) override;

  ILauncherEventListener* listener_;
  std::unique_ptr<CDownloader> updater_;
};
