#pragma once
// The downloader that hands jobs to the local download engine: it brings the engine up through a
// launcher, connects to it on the loopback address, sends each job's file list and turns the
// engine's messages into the job's reports. The job manager takes over whatever the engine cannot
// serve.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/cpCTimer.h"
#include "core/nvCGuard.h"
#include "core/nvSmartPtr.h"
#include "net/nwCCDNLocalClientLayer.h"
#include "pipeline/CEngineLauncher.h"
#include "pipeline/CJobDownloader.h"
#include "pipeline/EngineSpeedWindow.h"
#include "pipeline/IJobDownloadEventListener.h"

class CEngineDownloader final : public CJobDownloader,
                                public nvCGuarded,
                                private ILauncherEventListener,
                                private nwICDNLocalClientEventListener {
 public:
  // A job list larger than this goes out file by file.
  static constexpr int64_t kLargeListBytes = 130047;
  // Launches after the last long-lived connection before the engine is given up.
  static constexpr int32_t kMaxTries = 5;
  // A connection that lived longer than this starts the count afresh.
  static constexpr int64_t kLongLivedSeconds = 30;
  // A started job that has waited this long for an engine that answers goes to direct download
  // (the engine is given up), so that no launcher, update server or engine can hold it longer.
  static constexpr int64_t kAnswerWaitSeconds = 15;

  // `runner` starts the engine's program after the update (null: the installed engine, for real).
  explicit CEngineDownloader(IJobDownloadEventListener* manager, ProgramRunner runner = nullptr);
  ~CEngineDownloader() override;

  void SetServiceCode(const char* code) override;
  int32_t TryCount() const { return tryCount_; }
  bool Connected() const { return connection_ && connectTime_ != 0; }
  // Connected, and the engine has said something on this connection: it serves.
  bool Answering() const { return Connected() && heard_; }

  // The size of a job's list as the engine's message counts it.
  static int64_t ListBytes(const CJob& job);

 protected:
  int32_t BeginJob(CJob* job) override;
  void StopJob(CJob* job) override;
  void TickJob(CJob* job) override;
  int32_t AnswerResumeJob(CJob* job, bool resume, bool applyToAll) override;

 private:
  struct Record {
    int32_t engineJobId = -1;
    int32_t jobSeq = 0;
    CJob* job = nullptr;
  };

  void CreateLauncher();
  void Connect();
  void Disconnect();
  // The engine is of no use: the manager is told from the next timer tick, never from inside the
  // launcher, updater or connection that found it out (the manager destroys this downloader).
  void GiveUp();
  static void OnGiveUpTimer(void* self);
  // Any message shows that the engine answers on this connection.
  void Heard() {
    heard_ = true;
    waitSince_ = 0;
  }
  // Held jobs wait for an engine that answers from now on, unless they wait already.
  void StartWaiting();
  // A job left this downloader: with none left, nothing waits.
  void JobLeft();
  nvICDNLocalClientLayer* Layer() const;
  Record* FindRecord(int32_t jobSeq);
  Record* FindRecord(int32_t jobSeq, int32_t engineJobId);
  void RemoveRecord(int32_t jobSeq);

  // The launcher's reports.
  void OnUpdateFileStarted(const std::string& url, int64_t length) override;
  void OnUpdateFileProgress(const std::string& url, int64_t bytes) override;
  void OnEngineReady() override;
  void OnEngineUpdateFailed() override;
  void OnNetworkWait() override;
  void OnEngineSetupFailed(int32_t code) override;

  // The engine's messages.
  void OnEngineConnected(nwEngineCookie cookie) override;
  void OnJobAccepted(const engineproto::JobAccepted* message, nwEngineCookie cookie) override;
  void OnJobFailed(const engineproto::JobFailed* message, nwEngineCookie cookie) override;
  void OnJobProgress(const engineproto::JobProgress* message, nwEngineCookie cookie) override;
  void OnFileDone(const engineproto::FileDone* message, nwEngineCookie cookie) override;
  void OnFileDoneEx(const engineproto::FileDoneEx* message, nwEngineCookie cookie) override;
  void OnJobFinished(const engineproto::JobFinished* message, nwEngineCookie cookie) override;
  void OnJobWarning(const engineproto::JobWarning* message, nwEngineCookie cookie) override;
  void OnEngineNetworkDown(nwEngineCookie cookie) override;
  void OnEngineNetworkUp(nwEngineCookie cookie) override;
  void OnEngineClosed(nwEngineCookie cookie) override;
  void OnEngineConnectFailed(nwEngineCookie cookie) override;
  void OnResumeQuery(int32_t jobSeq, nwEngineCookie cookie) override;
  void OnEngineMode(int32_t mode, nwEngineCookie cookie) override;

  IJobDownloadEventListener* manager_;
  ProgramRunner runner_;
  nvQoSContextPtr connection_;
  std::string serviceCode_;
  std::unique_ptr<CEngineLauncher> launcher_;
  int32_t tryCount_ = 0;
  int64_t connectTime_ = 0;
  EngineSpeedWindow jobSpeed_;
  EngineSpeedWindow fileSpeed_;
  std::vector<Record> records_;
  bool heard_ = false;
  int64_t waitSince_ = 0;  // seconds; 0: no job waits for the engine
  bool givingUp_ = false;
  cpCTimerPtr giveUpTimer_;
};
