#pragma once
// The self-updater: keeps the local download engine's program current from the update manifest,
// verified archives and their digest lists, then starts it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/cpCTimer.h"
#include "core/nvCGuard.h"
#include "pipeline/CDownloadFileList.h"
#include "pipeline/CDownloadSession.h"

class IDownloaderEventListener {
 public:
  virtual void OnNetworkWait() = 0;
  virtual void OnFileStarted(const std::string& address, int64_t length) = 0;
  virtual void OnFileProgress(const std::string& address, int64_t bytes) = 0;
  virtual void OnUpdateFinished(int32_t started, int32_t allGood, const std::string& version) = 0;
  virtual void OnUpdateFailed(int32_t code) = 0;

 protected:
  ~IDownloaderEventListener() = default;
};

// The flag that no file failed.
class CUpdateResult {
 public:
  bool AllGood() const { return allGood_; }
  void Failed() { allGood_ = false; }

 private:
  bool allGood_ = true;
};

// How the updater starts the program once nothing is left to fetch: 1 when it was started.
using ProgramRunner = int (*)();

class CDownloader final : public nvCGuarded, public IDownloadSessionEventListener {
 public:
  static constexpr uint32_t kNetworkWaitTickMs = 1000;

  explicit CDownloader(ProgramRunner runner = nullptr);
  ~CDownloader() override;

  void SetDownloaderListener(IDownloaderEventListener* listener) { listener_ = listener; }
  // Fetches the manifest named by the update_manifest_url setting and what it asks for.
  void BeginUpdate();
  void BeginUpdate(const std::string& manifestUrl);

  bool Finished() const { return finished_; }
  size_t SessionCount() const { return sessions_.size(); }
  bool InNetworkWait() const { return static_cast<bool>(retryTimer_); }

 private:
  void OnSessionConnected(CDownloadSession* cookie) override;
  void OnSessionCompleted(CDownloadSession* cookie, const SessionResult& result) override;
  void OnSessionError(CDownloadSession* cookie, int32_t code) override;
  void OnArchiveStarted(CDownloadSession* cookie, const std::string& address, int64_t length) override;
  void OnArchiveProgress(CDownloadSession* cookie, const std::string& address, int64_t bytes) override;

  CDownloadSession* IdleSession(bool create);
  // Gives the next pending file to an idle session; finishes when the list is empty.
  void RunNextPending(bool create);
  void StartList();
  void Finish();
  void EnterNetworkWait();
  void LeaveNetworkWait();
  static void OnRetryTick(void* self);
  void RetireSession(CDownloadSession* session);

  IDownloaderEventListener* listener_ = nullptr;
  ProgramRunner runner_;
  CDownloadFileList list_;
  CUpdateResult result_;
  std::vector<std::unique_ptr<CDownloadSession>> sessions_;
  // Sessions let go inside their own callbacks, destroyed at the next event from outside them.
  std::vector<std::unique_ptr<CDownloadSession>> retired_;
  cpCTimerPtr retryTimer_;
  bool finished_ = false;
};
