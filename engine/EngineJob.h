#pragma once
// One job of the library in the engine: its files, the order of its messages (sizes learnt, then
// acceptance, the resume questions, progress every second, one file-done per file, the end), and
// the plan of its transfers. High speed cuts every file into segments fetched over many
// connections and mirrors at once, re-plans as connections finish, cuts connections that fall
// behind and races the last tails; the normal way fetches one file after another over one
// connection.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/EngineLog.h"
#include "engine/EngineSettings.h"
#include "engine/FileDownload.h"
#include "engine/JobRequest.h"
#include "engine/SegmentPlanner.h"
#include "engine/StragglerWatch.h"
#include "engine/Transfer.h"
#include "engine/TransferPool.h"
#include "protocol/EngineMessages.h"

namespace engine {

// How a job reaches the library: every message of a job goes to the connection that sent it.
class JobOutput {
 public:
  virtual ~JobOutput() = default;
  virtual void Accepted(const engineproto::JobAccepted& message) = 0;
  virtual void Progress(const engineproto::JobProgress& message) = 0;
  virtual void FileDone(const engineproto::FileDone& message) = 0;
  virtual void Warning(const engineproto::JobWarning& message) = 0;
  virtual void Failed(const engineproto::JobFailed& message) = 0;
  virtual void Finished(const engineproto::JobFinished& message) = 0;
  virtual void ResumeQuery(const engineproto::ResumeQuery& message) = 0;
};

class EngineJob final : public TransferListener {
 public:
  enum class Phase { kSizing, kAsking, kDownloading, kDiskFull, kEnded };

  EngineJob(int32_t engineJobId, JobRequest request, TransferPool* pool, const EngineSettings* settings,
            EngineLog* log, JobOutput* output);
  ~EngineJob() override;
  EngineJob(const EngineJob&) = delete;
  EngineJob& operator=(const EngineJob&) = delete;

  // Checks the list and begins. A list the engine cannot take ends the job at once (a failure for
  // a bad name or folder, a hand-back for URLs it does not serve).
  void Start(int64_t nowMs);
  // Starts transfers while there is room and work.
  void Pump(int64_t nowMs);
  // Timed work: progress every second, stragglers, control files every 2 s, the disk-full retry.
  void Tick(int64_t nowMs);
  void OnResumeAnswer(const engineproto::ResumeAnswer& answer);
  // The library stopped the job, or its connection ended: keep what was downloaded, say nothing.
  void Stop();
  void SetOnline(bool online) { online_ = online; }

  int32_t JobSeq() const { return request_.jobSeq; }
  int32_t EngineJobId() const { return engineJobId_; }
  Phase CurrentPhase() const { return phase_; }
  bool Ended() const { return phase_ == Phase::kEnded; }
  int TransferCount() const { return static_cast<int>(transfers_.size()); }

  // TransferListener
  bool OnTransferHead(Transfer& transfer) override;
  size_t OnTransferData(Transfer& transfer, const char* data, size_t length) override;
  void OnTransferDone(Transfer& transfer, CURLcode code) override;

 private:
  bool HighSpeed() const { return request_.mode == 2; }
  int ConnectionLimit() const { return HighSpeed() ? pool_->Connections() : 1; }
  bool CanStartMore() const;

  void PumpProbes(int64_t nowMs);
  void Accept();
  void AskNextResume();
  bool StartFresh(int64_t nowMs);
  bool TryFresh(FileDownload& file, int64_t nowMs);
  bool StartSplitOrRace(int64_t nowMs);
  bool OpenFile(FileDownload& file);
  int ChooseMirror(const FileDownload& file, int avoid) const;
  // Bytes per second a transfer has averaged since it began; -1 while it is too young to judge.
  int64_t AverageRate(const TransferPlan& plan) const;
  // The median of those rates over the job's transfers; 0 when none can be judged yet.
  int64_t TypicalRate() const;
  // Sets aside a mirror whose connections run far below those of another mirror of the same file,
  // and cuts them: their ranges go to the faster mirrors.
  void CutSlowMirrors();
  // How many connections a file can have at once: its servers' share of the limits.
  int ConnectionsFor(const FileDownload& file) const;
  // The best rate per connection that a usable mirror of the file has shown in ended transfers.
  int64_t BestMirrorRate(const FileDownload& file) const;
  // The new transfer's plan, or null when it could not start.
  TransferPlan* StartTransfer(FileDownload& file, int mirror, int64_t begin, int64_t end, bool stream,
                              bool probe, bool racing, int64_t nowMs);
  // The answer to a file's first request told its size (or that it has none to tell).
  void SizeLearnt(FileDownload& file);
  bool OnSizingHead(Transfer& transfer);
  void FinishCompleteFiles();
  // The bytes a connection of the usual speed fetches while the file's running transfers finish
  // (the median of their times left); 0 while their rates are not known.
  int64_t HorizonBytes(const std::vector<ActiveSegment>& segments, const RangeSet& done) const;
  std::vector<ActiveSegment> SegmentsOf(const FileDownload& file) const;
  Transfer* FindTransfer(int id);

  // The file changed on the server: forget what was kept; `keep` fetches the new version.
  void RestartFile(FileDownload& file, Transfer& keep);
  void CancelTransfer(int id);
  void CancelTransfersOf(int fileIndex);
  void CancelAll();
  void CancelPending();
  void MirrorFailed(FileDownload& file, int mirror, const std::string& why);
  void SetMirrorAside(FileDownload& file, int mirror, const std::string& why);
  void AfterTransfer(FileDownload& file);
  void FinishFile(FileDownload& file);
  void CheckFileCanGoOn(FileDownload& file);
  void WriteFailed(FileDownload& file, int error);
  void EnterDiskFull(int64_t needBytes);

  void SendProgress(int64_t nowMs);
  void SaveControls();
  void SuspendFiles();
  // Ends the job here (transfers ended, parts kept); false when it had ended already.
  bool EndHere(const std::string& why);
  void SendFinished(int32_t result);
  void HandBack(const std::string& why);
  void Fail(const std::string& reason);
  void Finish();
  void Log(const std::string& line);

  int32_t engineJobId_;
  JobRequest request_;
  TransferPool* pool_;
  const EngineSettings* settings_;
  EngineLog* log_;
  JobOutput* output_;

  Phase phase_ = Phase::kSizing;
  bool online_ = true;
  std::vector<std::unique_ptr<FileDownload>> files_;
  std::map<int, std::unique_ptr<Transfer>> transfers_;
  std::vector<int> pendingCancel_;
  std::set<int> activeFiles_;          // started, not finished
  std::set<std::string> activePaths_;  // their targets
  size_t nextFile_ = 0;                // files before it were started
  size_t firstUnfinished_ = 0;
  std::vector<int> probeQueue_;
  size_t nextProbe_ = 0;
  int probesLeft_ = 0;
  int resumeFile_ = -1;  // the file a resume query is out for
  int filesDone_ = 0;
  int nextTransferId_ = 1;
  StragglerWatch stragglers_;

  int64_t startMs_ = 0;
  int64_t nowMs_ = 0;  // the time of the current turn
  int64_t nextMirrorJudgeMs_ = 0;
  int64_t nextSecondMs_ = 0;
  int64_t nextSaveMs_ = 0;
  int64_t diskCheckMs_ = 0;
  int64_t diskNeedBytes_ = 0;
  std::string diskFolder_;
  int64_t bytesThisSecond_ = 0;
};

}  // namespace engine
