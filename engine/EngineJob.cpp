#include "engine/EngineJob.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/FileSystem.h"

namespace engine {

namespace {

constexpr int kMirrorFailureLimit = 3;  // failures in a row before a mirror is set aside
constexpr int64_t kSaveEveryMs = 2000;
constexpr int64_t kDiskCheckEveryMs = 5000;
constexpr int64_t kDiskHeadroom = 16 << 20;  // free space wanted beyond the next reservation
// A tail is raced only when it is worth a second request: big enough, and much further from its
// end than a connection of the usual speed would be.
constexpr int64_t kRaceMinRemaining = 64 << 10;
constexpr double kRaceMinSeconds = 0.2;
constexpr double kRaceSlowerBy = 3;
// A transfer's rate is judged only after this long (connection set-up and first bytes), or once
// it ended with this many bytes.
constexpr int64_t kRateMinAgeMs = 300;
constexpr int64_t kRateMinBytes = 64 << 10;
// A mirror whose connections run below a quarter of the best mirror's gets new work last; below
// an eighth, its connections are cut and their ranges go to the faster mirrors.
constexpr int64_t kSlowMirrorFactor = 4;
constexpr int64_t kCutMirrorFactor = 8;
constexpr int64_t kMirrorJudgeAgeMs = 200;
constexpr int64_t kMirrorJudgeEveryMs = 100;
constexpr int64_t kUnbounded = std::numeric_limits<int64_t>::max();
// A file of unknown size starts with a request for its first bytes: the answer tells the size, and
// a small file comes whole with it.
constexpr int64_t kSizingBytes = 1 << 20;

std::string Cut(const std::string& text, size_t length) {
  return text.size() <= length ? text : text.substr(0, length);
}

std::string ErrorText(int error) { return std::strerror(error); }

std::string FailureText(const Transfer& transfer, CURLcode code) {
  if (transfer.plan.stop == StopReason::kFailed) return "answered " + std::to_string(transfer.Head().status);
  if (code == CURLE_OK) return "the body ended early";
  return curl_easy_strerror(code);
}

bool IsDiskFull(int error) { return error == ENOSPC || error == EDQUOT; }

}  // namespace

EngineJob::EngineJob(int32_t engineJobId, JobRequest request, TransferPool* pool,
                     const EngineSettings* settings, EngineLog* log, JobOutput* output)
    : engineJobId_(engineJobId),
      request_(std::move(request)),
      pool_(pool),
      settings_(settings),
      log_(log),
      output_(output) {}

EngineJob::~EngineJob() {
  CancelAll();
  SuspendFiles();
}

void EngineJob::Log(const std::string& line) {
  if (log_ != nullptr) log_->Write("job " + std::to_string(request_.jobSeq) + ": " + line);
}

// ---- Start: the list, sizes, acceptance, resume questions -----------------------------------

void EngineJob::Start(int64_t nowMs) {
  nowMs_ = startMs_ = nowMs;
  nextSecondMs_ = nowMs + 1000;
  nextSaveMs_ = nowMs + kSaveEveryMs;
  Log("begins: " + std::to_string(request_.files.size()) + " files, " +
      (HighSpeed() ? "high speed" : "normal"));
  files_.reserve(request_.files.size());
  for (size_t i = 0; i < request_.files.size(); ++i) {
    const engineproto::FileRecord& record = request_.files[i];
    FileTarget target = ResolveTarget(record.folder, record.fileName);
    if (!target.error.empty()) {
      Fail("file " + std::to_string(i) + " refused: " + target.error);
      return;
    }
    files_.push_back(
        std::make_unique<FileDownload>(static_cast<int>(i), record.url, record.size, std::move(target)));
  }
  // The list itself is no longer needed; a large one is worth its memory back.
  request_.files.clear();
  request_.files.shrink_to_fit();

  for (auto& file : files_) {
    if (!file->HasUsableMirror()) {
      HandBack("file " + std::to_string(file->Index()) + " has no URL the engine serves");
      return;
    }
  }
  for (auto& file : files_) {
    if (file->FindResumable()) Log("found an earlier part of " + file->Path());
    if (!file->SizeKnown()) probeQueue_.push_back(file->Index());
  }
  probesLeft_ = static_cast<int>(probeQueue_.size());
  if (probesLeft_ == 0) Accept();
}

void EngineJob::PumpProbes(int64_t nowMs) {
  while (nextProbe_ < probeQueue_.size() && CanStartMore()) {
    FileDownload& file = *files_[static_cast<size_t>(probeQueue_[nextProbe_])];
    if (file.sized) {
      ++nextProbe_;
      continue;
    }
    int mirror = ChooseMirror(file, -1);
    if (mirror < 0) return;
    // A name the list gives twice is only asked for its size until the first one is written.
    bool asked = activePaths_.count(file.Path()) != 0 && !file.started;
    if (asked) {
      if (StartTransfer(file, mirror, 0, 1, false, true, false, nowMs) == nullptr) return;
    } else {
      if (!file.started) {
        if (!OpenFile(file)) return;
        activeFiles_.insert(file.Index());
        activePaths_.insert(file.Path());
      }
      TransferPlan* plan = StartTransfer(file, mirror, 0, kSizingBytes, false, false, false, nowMs);
      if (plan == nullptr) return;
      plan->learnsSize = true;
    }
    ++nextProbe_;
  }
}

void EngineJob::SizeLearnt(FileDownload& file) {
  if (file.sized) return;
  file.sized = true;
  --probesLeft_;
}

void EngineJob::Accept() {
  int64_t total = 0;
  for (auto& file : files_) {
    if (file->SizeKnown()) total += file->Size();
  }
  engineproto::JobAccepted accepted;
  accepted.jobSeq = request_.jobSeq;
  accepted.engineJobId = engineJobId_;
  accepted.fileCount = static_cast<int32_t>(files_.size());
  accepted.totalBytes = total;
  output_->Accepted(accepted);
  Log("accepted as " + std::to_string(engineJobId_) + ", " + std::to_string(total) + " bytes");
  phase_ = Phase::kAsking;
  AskNextResume();
}

void EngineJob::AskNextResume() {
  for (size_t i = resumeFile_ < 0 ? 0 : static_cast<size_t>(resumeFile_); i < files_.size(); ++i) {
    if (files_[i]->Resumable()) {
      resumeFile_ = static_cast<int>(i);
      engineproto::ResumeQuery query;
      query.jobSeq = request_.jobSeq;
      output_->ResumeQuery(query);
      return;
    }
  }
  resumeFile_ = -1;
  phase_ = Phase::kDownloading;
  if (files_.empty()) Finish();
}

void EngineJob::OnResumeAnswer(const engineproto::ResumeAnswer& answer) {
  if (phase_ != Phase::kAsking || resumeFile_ < 0) return;
  bool resume = answer.resume != 0;
  Log(std::string(resume ? "resumes " : "restarts ") + files_[static_cast<size_t>(resumeFile_)]->Path() +
      (answer.applyToAll != 0 ? " and the rest of the job" : ""));
  files_[static_cast<size_t>(resumeFile_)]->ApplyResumeAnswer(resume);
  if (answer.applyToAll != 0) {
    for (auto& file : files_) file->ApplyResumeAnswer(resume);
  }
  AskNextResume();
}

// ---- Planning transfers --------------------------------------------------------------------

bool EngineJob::CanStartMore() const {
  return online_ && pool_->Active() < pool_->Connections() &&
         static_cast<int>(transfers_.size()) < ConnectionLimit();
}

void EngineJob::Pump(int64_t nowMs) {
  nowMs_ = nowMs;
  CancelPending();
  if (phase_ == Phase::kSizing) {
    PumpProbes(nowMs);
    if (probesLeft_ > 0) return;
    Accept();
  }
  if (phase_ != Phase::kDownloading) return;
  FinishCompleteFiles();
  if (phase_ != Phase::kDownloading) return;
  if (HighSpeed() && nowMs >= nextMirrorJudgeMs_) {
    nextMirrorJudgeMs_ = nowMs + kMirrorJudgeEveryMs;
    CutSlowMirrors();
    if (phase_ != Phase::kDownloading) return;
  }
  while (phase_ == Phase::kDownloading && CanStartMore()) {
    if (StartFresh(nowMs)) continue;
    if (!HighSpeed() || !StartSplitOrRace(nowMs)) break;
  }
}

int64_t EngineJob::HorizonBytes(const std::vector<ActiveSegment>& segments, const RangeSet& done) const {
  std::vector<double> secondsLeft;
  int64_t typical = TypicalRate();
  for (const ActiveSegment& segment : segments) {
    if (segment.bytesPerSecond > 0) {
      secondsLeft.push_back(static_cast<double>(RemainingWork(segment, done)) /
                            static_cast<double>(segment.bytesPerSecond));
    }
  }
  if (secondsLeft.empty() || typical <= 0) return 0;
  std::nth_element(secondsLeft.begin(),
                   secondsLeft.begin() + static_cast<std::ptrdiff_t>(secondsLeft.size() / 2),
                   secondsLeft.end());
  return static_cast<int64_t>(secondsLeft[secondsLeft.size() / 2] * static_cast<double>(typical));
}

void EngineJob::FinishCompleteFiles() {
  for (int index : std::vector<int>(activeFiles_.begin(), activeFiles_.end())) {
    FileDownload& file = *files_[static_cast<size_t>(index)];
    if (!file.finished && file.Complete()) FinishFile(file);
    if (phase_ != Phase::kDownloading) return;
  }
}

std::vector<ActiveSegment> EngineJob::SegmentsOf(const FileDownload& file) const {
  std::vector<ActiveSegment> segments;
  for (const auto& [id, transfer] : transfers_) {
    const TransferPlan& plan = transfer->plan;
    if (plan.fileIndex != file.Index() || plan.probe || plan.stop != StopReason::kNone) continue;
    segments.push_back({id, plan.position, std::min(plan.end, file.SizeKnown() ? file.Size() : plan.end),
                        std::max<int64_t>(AverageRate(plan), 0), plan.racing});
  }
  return segments;
}

bool EngineJob::StartFresh(int64_t nowMs) {
  for (int index : activeFiles_) {
    if (TryFresh(*files_[static_cast<size_t>(index)], nowMs)) return true;
  }
  // In the normal way a file begins only when the one before it is complete.
  if (!HighSpeed() && !activeFiles_.empty()) return false;
  while (nextFile_ < files_.size() && phase_ == Phase::kDownloading) {
    FileDownload& file = *files_[nextFile_];
    if (file.started) {  // opened while its size was asked
      ++nextFile_;
      continue;
    }
    // A list that names one file twice gets it written once at a time, the later entry last.
    if (activePaths_.count(file.Path()) != 0) return false;
    // A file is opened only when a connection can start on it at once: a long list never holds
    // more files open than it has transfers.
    if (!file.finished && ChooseMirror(file, -1) < 0) return false;
    // A file that cannot be opened (a full disk) is opened again when the job goes on.
    if (!file.finished && !OpenFile(file)) return false;
    ++nextFile_;
    if (file.finished) continue;
    activeFiles_.insert(file.Index());
    activePaths_.insert(file.Path());
    if (TryFresh(file, nowMs)) return true;
    if (!HighSpeed()) return false;
  }
  return false;
}

bool EngineJob::OpenFile(FileDownload& file) {
  file.started = true;
  if (file.SizeKnown() && file.Complete()) {
    // Nothing left to fetch (a resumed file that was complete, or an empty one).
    if (int error = file.Open(); error != 0) {
      WriteFailed(file, error);
      return false;
    }
    FinishFile(file);
    return phase_ == Phase::kDownloading;
  }
  if (int error = file.Open(); error != 0) {
    WriteFailed(file, error);
    return false;
  }
  return true;
}

bool EngineJob::TryFresh(FileDownload& file, int64_t nowMs) {
  if (file.finished) return false;
  int mirror = ChooseMirror(file, -1);
  if (mirror < 0) return false;
  bool wholeOnly = !file.SizeKnown() || file.Mirrors()[static_cast<size_t>(mirror)].noRanges;
  if (wholeOnly) {
    // One stream from the start; a second one would fetch the same bytes again.
    if (file.activeTransfers > 0) return false;
    return StartTransfer(file, mirror, 0, file.SizeKnown() ? file.Size() : kUnbounded, true, false, false,
                         nowMs) != nullptr;
  }
  std::vector<ActiveSegment> segments = SegmentsOf(file);
  int64_t ideal = file.Size();
  if (HighSpeed()) {
    // A fresh piece should end when the running ones do, so that no connection is left alone with
    // a long tail; never below what a split may leave.
    ideal = IdealSegment(file.Size(), ConnectionsFor(file));
    if (int64_t horizon = HorizonBytes(segments, file.Done()); horizon > 0) {
      ideal = std::max(kMinSplit, std::min(ideal, horizon));
    }
  }
  Plan plan = PlanNext(file.Size(), file.Done(), segments, ideal);
  if (plan.kind != PlanKind::kFresh) return false;
  return StartTransfer(file, mirror, plan.begin, plan.end, false, false, false, nowMs) != nullptr;
}

bool EngineJob::StartSplitOrRace(int64_t nowMs) {
  // The largest remaining range anywhere is split; failing that, the slowest tail is raced.
  FileDownload* splitFile = nullptr;
  Plan split;
  int64_t splitRemaining = 0;
  FileDownload* raceFile = nullptr;
  Plan race;
  double raceSeconds = 0;
  const int64_t typical = TypicalRate();
  for (int index : activeFiles_) {
    FileDownload& file = *files_[static_cast<size_t>(index)];
    if (!file.SizeKnown() || file.finished) continue;
    std::vector<ActiveSegment> segments = SegmentsOf(file);
    Plan plan = PlanNext(file.Size(), file.Done(), segments, IdealSegment(file.Size(), ConnectionsFor(file)));
    auto victim = std::find_if(segments.begin(), segments.end(),
                               [&](const ActiveSegment& s) { return s.id == plan.victim; });
    if (victim == segments.end()) continue;
    int64_t remaining = RemainingWork(*victim, file.Done());
    if (plan.kind == PlanKind::kSplit && remaining > splitRemaining) {
      splitFile = &file;
      split = plan;
      splitRemaining = remaining;
    } else if (plan.kind == PlanKind::kRace && splitFile == nullptr) {
      Transfer* transfer = FindTransfer(plan.victim);
      int64_t rate = transfer != nullptr ? AverageRate(transfer->plan) : -1;
      if (rate < 0 || remaining < kRaceMinRemaining) continue;
      // Compared with the best a connection to one of this file's mirrors has shown.
      int64_t usualRate = std::max(typical, BestMirrorRate(file));
      double seconds = static_cast<double>(remaining) / static_cast<double>(std::max<int64_t>(rate, 1));
      double usual =
          usualRate > 0 ? static_cast<double>(remaining) / static_cast<double>(usualRate) : seconds;
      if (seconds > std::max(kRaceMinSeconds, kRaceSlowerBy * usual) && seconds > raceSeconds) {
        raceFile = &file;
        race = plan;
        raceSeconds = seconds;
      }
    }
  }
  if (splitFile != nullptr) {
    Transfer* victim = FindTransfer(split.victim);
    int mirror = ChooseMirror(*splitFile, -1);
    if (victim == nullptr || mirror < 0) return false;
    victim->plan.end = split.victimNewEnd;
    return StartTransfer(*splitFile, mirror, split.begin, split.end, false, false, false, nowMs) != nullptr;
  }
  if (raceFile != nullptr) {
    Transfer* victim = FindTransfer(race.victim);
    if (victim == nullptr) return false;
    int mirror = ChooseMirror(*raceFile, victim->plan.mirror);
    if (mirror < 0 || raceFile->Mirrors()[static_cast<size_t>(mirror)].noRanges) return false;
    victim->plan.racing = true;
    Log("races the tail of " + raceFile->Path() + " from " + std::to_string(race.begin));
    return StartTransfer(*raceFile, mirror, race.begin, race.end, false, false, true, nowMs) != nullptr;
  }
  return false;
}

int64_t EngineJob::AverageRate(const TransferPlan& plan) const {
  int64_t age = nowMs_ - plan.startedMs;
  return age < kRateMinAgeMs ? -1 : plan.bytesTotal * 1000 / age;
}

void EngineJob::CutSlowMirrors() {
  for (int index : std::vector<int>(activeFiles_.begin(), activeFiles_.end())) {
    FileDownload& file = *files_[static_cast<size_t>(index)];
    std::vector<MirrorState>& mirrors = file.Mirrors();
    size_t count = mirrors.size();
    if (count < 2 || file.finished) continue;
    // Per mirror: the mean rate of its connections to this file, each measured from its answer's
    // head on (a mirror still setting up is not slow; a silent one is the straggler rule's), or
    // what its ended transfers ran at.
    std::vector<int64_t> sum(count, 0);
    std::vector<int> judged(count, 0);
    for (const auto& [id, transfer] : transfers_) {
      const TransferPlan& plan = transfer->plan;
      int64_t flowing = nowMs_ - plan.headMs;
      if (plan.fileIndex != index || plan.probe || !transfer->HeadAccepted() || flowing < kMirrorJudgeAgeMs)
        continue;
      sum[static_cast<size_t>(plan.mirror)] += plan.bytesTotal * 1000 / flowing;
      ++judged[static_cast<size_t>(plan.mirror)];
    }
    auto rateOf = [&](size_t i) {
      return judged[i] > 0 ? std::max(sum[i] / judged[i], mirrors[i].connectionRate)
                           : mirrors[i].connectionRate;
    };
    for (size_t i = 0; i < count; ++i) {
      if (judged[i] == 0 || mirrors[i].setAside) continue;
      int64_t rate = sum[i] / judged[i];
      // Only when another mirror that stays in use is that much faster.
      int64_t faster = 0;
      for (size_t j = 0; j < count; ++j) {
        if (j != i && !mirrors[j].setAside) faster = std::max(faster, rateOf(j));
      }
      if (rate * kCutMirrorFactor >= faster) continue;
      std::vector<int> cut;
      for (const auto& [id, transfer] : transfers_) {
        if (transfer->plan.fileIndex == index && transfer->plan.mirror == static_cast<int>(i))
          cut.push_back(id);
      }
      for (int id : cut) CancelTransfer(id);
      SetMirrorAside(file, static_cast<int>(i),
                     "its connections run at " + std::to_string(rate) + " B/s, another mirror's at " +
                         std::to_string(faster) + " B/s");
      if (phase_ == Phase::kEnded) return;
    }
  }
}

int EngineJob::ConnectionsFor(const FileDownload& file) const {
  std::set<std::string> servers;
  for (const MirrorState& mirror : file.Mirrors()) {
    if (!mirror.setAside) servers.insert(mirror.url.server);
  }
  int64_t perServers = static_cast<int64_t>(servers.size()) * pool_->ConnectionsPerServer();
  return static_cast<int>(std::clamp<int64_t>(perServers, 1, pool_->Connections()));
}

int64_t EngineJob::BestMirrorRate(const FileDownload& file) const {
  int64_t best = 0;
  for (const MirrorState& mirror : file.Mirrors()) {
    if (!mirror.setAside) best = std::max(best, mirror.connectionRate);
  }
  return best;
}

int64_t EngineJob::TypicalRate() const {
  std::vector<int64_t> rates;
  for (const auto& [id, transfer] : transfers_) {
    int64_t rate = transfer->plan.probe ? -1 : AverageRate(transfer->plan);
    if (rate >= 0) rates.push_back(rate);
  }
  if (rates.empty()) return 0;
  std::nth_element(rates.begin(), rates.begin() + static_cast<std::ptrdiff_t>(rates.size() / 2), rates.end());
  return rates[rates.size() / 2];
}

int EngineJob::ChooseMirror(const FileDownload& file, int avoid) const {
  const std::vector<MirrorState>& mirrors = file.Mirrors();
  if (!HighSpeed()) {
    // In order: the next one only after a failure.
    for (size_t i = 0; i < mirrors.size(); ++i) {
      if (!mirrors[i].setAside && pool_->ActiveOn(mirrors[i].url.server) < pool_->ConnectionsPerServer()) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }
  // Each mirror's load on this file, and the rate of its connections that can be judged.
  std::vector<int> load(mirrors.size(), 0);
  std::vector<int64_t> rateSum(mirrors.size(), 0);
  std::vector<int> rated(mirrors.size(), 0);
  for (const auto& [id, transfer] : transfers_) {
    const TransferPlan& plan = transfer->plan;
    if (plan.fileIndex != file.Index() || plan.mirror < 0) continue;
    size_t mirror = static_cast<size_t>(plan.mirror);
    ++load[mirror];
    if (int64_t rate = AverageRate(plan); rate >= 0 && !plan.probe) {
      rateSum[mirror] += rate;
      ++rated[mirror];
    }
  }
  int64_t bestRate = 0;
  for (size_t i = 0; i < mirrors.size(); ++i) {
    if (rated[i] > 0) bestRate = std::max(bestRate, rateSum[i] / rated[i]);
  }
  int best = -1;
  int64_t bestScore = 0;
  for (size_t i = 0; i < mirrors.size(); ++i) {
    const MirrorState& mirror = mirrors[i];
    if (mirror.setAside || pool_->ActiveOn(mirror.url.server) >= pool_->ConnectionsPerServer()) continue;
    bool slow = rated[i] > 0 && rateSum[i] / rated[i] * kSlowMirrorFactor < bestRate;
    // The least used mirror of this file, a slow one last, another one than `avoid` when there is one.
    int64_t score = (slow ? 1000 : 0) + load[i] * 4 + (static_cast<int>(i) == avoid ? 2 : 0) +
                    std::min(mirror.failures, 1);
    if (best < 0 || score < bestScore) {
      best = static_cast<int>(i);
      bestScore = score;
    }
  }
  return best;
}

TransferPlan* EngineJob::StartTransfer(FileDownload& file, int mirror, int64_t begin, int64_t end,
                                       bool stream, bool probe, bool racing, int64_t nowMs) {
  MirrorState& state = file.Mirrors()[static_cast<size_t>(mirror)];
  int id = nextTransferId_++;
  auto transfer = std::make_unique<Transfer>(id, state.url.server, this);
  TransferRequest request;
  request.url = state.url.url;
  request.tlsVerify = settings_->tlsVerify;
  request.caFile = settings_->tlsCaFile;
  if (probe) {
    request.first = 0;
    request.last = 0;
  } else if (!stream) {
    request.first = begin;
    request.last = end - 1;
    request.ifRange = file.IfRangeValidator();
  }
  TransferPlan& plan = transfer->plan;
  plan.fileIndex = file.Index();
  plan.mirror = mirror;
  plan.probe = probe;
  plan.stream = stream;
  plan.position = stream ? 0 : begin;
  plan.end = end;
  plan.requestEnd = end;
  plan.racing = racing;
  plan.ifRange = !request.ifRange.empty();
  plan.startedMs = nowMs;
  if (!transfer->Prepare(request) || !pool_->Add(transfer.get())) {
    SetMirrorAside(file, mirror, "the transfer could not be set up");
    return nullptr;
  }
  ++file.activeTransfers;
  TransferPlan* started = &transfer->plan;
  transfers_.emplace(id, std::move(transfer));
  return started;
}

Transfer* EngineJob::FindTransfer(int id) {
  auto it = transfers_.find(id);
  return it == transfers_.end() ? nullptr : it->second.get();
}

// ---- Answers ---------------------------------------------------------------------------------

bool EngineJob::OnTransferHead(Transfer& transfer) {
  transfer.plan.headMs = nowMs_;
  TransferPlan& plan = transfer.plan;
  FileDownload& file = *files_[static_cast<size_t>(plan.fileIndex)];
  MirrorState& mirror = file.Mirrors()[static_cast<size_t>(plan.mirror)];
  const ResponseHead& head = transfer.Head();

  if (plan.probe) {
    if (head.status == 206 && head.rangeFirst == 0 && head.rangeLast == 0 && head.rangeTotal > 0) {
      if (file.CheckVersion(head) != FileDownload::Version::kSame)
        return plan.stop = StopReason::kRejected, false;
      file.SetSize(head.rangeTotal);
    } else if (head.status == 416 && head.rangeTotal == 0) {
      file.CheckVersion(head);
      file.SetSize(0);
    } else if (head.status == 200) {
      if (file.CheckVersion(head) != FileDownload::Version::kSame)
        return plan.stop = StopReason::kRejected, false;
      mirror.noRanges = true;
      file.SetSize(head.contentLength);  // -1 stays unknown: the file is fetched as one stream
    } else {
      plan.stop = StopReason::kFailed;
      return false;
    }
    SizeLearnt(file);
    plan.stop = StopReason::kReachedEnd;  // the head was all a probe wanted
    return false;
  }
  if (plan.learnsSize && !file.sized) return OnSizingHead(transfer);

  if (head.status == 206 && !plan.stream) {
    // Exactly the bytes asked for, of a file of the known size, in the same version.
    bool rangeOk = head.rangeFirst == plan.position && head.rangeLast == plan.requestEnd - 1 &&
                   (!file.SizeKnown() || head.rangeTotal == file.Size());
    FileDownload::Version version = rangeOk ? file.CheckVersion(head) : FileDownload::Version::kOther;
    if (version == FileDownload::Version::kOther) {
      plan.stop = StopReason::kRejected;
      return false;
    }
    // A server that ignores If-Range sends the new version's bytes: they are right, the kept ones not.
    if (version == FileDownload::Version::kChanged) RestartFile(file, transfer);
    return true;
  }
  if (head.status == 200) {
    if (file.SizeKnown() && head.contentLength >= 0 && head.contentLength != file.Size()) {
      plan.stop = StopReason::kRejected;
      return false;
    }
    FileDownload::Version version = file.CheckVersion(head);
    // Asked "only if unchanged" and got the whole body without a validator: assume it changed.
    bool changed = version == FileDownload::Version::kChanged ||
                   (plan.ifRange && head.etag.empty() && head.lastModified.empty());
    if (version == FileDownload::Version::kOther) {
      plan.stop = StopReason::kRejected;  // this mirror has another version of the file
      return false;
    }
    if (changed) RestartFile(file, transfer);
    // The body is the whole file from offset 0, whatever range was asked for.
    if (!plan.stream) mirror.noRanges = true;
    plan.stream = true;
    plan.position = 0;
    plan.end = file.SizeKnown() ? file.Size() : kUnbounded;
    plan.requestEnd = plan.end;
    return true;
  }
  plan.stop = StopReason::kFailed;  // an error answer, or a 206 to a request without a range
  return false;
}

bool EngineJob::OnSizingHead(Transfer& transfer) {
  TransferPlan& plan = transfer.plan;
  FileDownload& file = *files_[static_cast<size_t>(plan.fileIndex)];
  MirrorState& mirror = file.Mirrors()[static_cast<size_t>(plan.mirror)];
  const ResponseHead& head = transfer.Head();
  if (head.status == 206 && head.rangeFirst == 0 && head.rangeTotal > 0 &&
      head.rangeLast == std::min(plan.requestEnd, head.rangeTotal) - 1) {
    if (file.CheckVersion(head) != FileDownload::Version::kSame)
      return plan.stop = StopReason::kRejected, false;
    file.SetSize(head.rangeTotal);
    plan.end = plan.requestEnd = head.rangeLast + 1;
  } else if (head.status == 416 && head.rangeTotal == 0) {
    file.CheckVersion(head);
    file.SetSize(0);
    plan.end = plan.requestEnd = 0;
  } else if (head.status == 200) {
    if (file.CheckVersion(head) != FileDownload::Version::kSame)
      return plan.stop = StopReason::kRejected, false;
    // The whole body from offset 0: the only way this mirror serves the file.
    mirror.noRanges = true;
    file.SetSize(head.contentLength);
    plan.stream = true;
    plan.end = plan.requestEnd = file.SizeKnown() ? file.Size() : kUnbounded;
  } else {
    plan.stop = StopReason::kFailed;
    return false;
  }
  SizeLearnt(file);
  if (int error = file.Reserve(); error != 0) {
    plan.writeError = error;
    plan.stop = StopReason::kWriteFailed;
    return false;
  }
  return true;
}

void EngineJob::RestartFile(FileDownload& file, Transfer& keep) {
  Log(file.Path() + " changed on the server; it starts again from 0");
  file.Restart(keep.Head());
  for (auto& [id, other] : transfers_) {
    if (other.get() != &keep && other->plan.fileIndex == file.Index()) {
      other->plan.stop = StopReason::kCancelled;
      pendingCancel_.push_back(id);
    }
  }
}

size_t EngineJob::OnTransferData(Transfer& transfer, const char* data, size_t length) {
  TransferPlan& plan = transfer.plan;
  if (plan.stop != StopReason::kNone) return 0;
  FileDownload& file = *files_[static_cast<size_t>(plan.fileIndex)];
  if (plan.position >= plan.end) {
    plan.stop = StopReason::kReachedEnd;
    return 0;
  }
  size_t take =
      static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(length), plan.end - plan.position));
  int64_t added = 0;
  if (int error = file.Write(plan.position, data, take, &added); error != 0) {
    plan.writeError = error;
    plan.stop = StopReason::kWriteFailed;
    return 0;
  }
  plan.position += static_cast<int64_t>(take);
  plan.bytesThisTick += static_cast<int64_t>(take);
  plan.bytesTotal += static_cast<int64_t>(take);
  file.bytesThisTick += static_cast<int64_t>(take);
  file.Mirrors()[static_cast<size_t>(plan.mirror)].delivered += static_cast<int64_t>(take);
  bytesThisSecond_ += static_cast<int64_t>(take);
  if (take < length) {
    plan.stop = StopReason::kReachedEnd;
    return take;
  }
  // A racer that was overtaken, or a range shortened by a split: nothing left worth receiving.
  if (!plan.stream && plan.position < plan.end && file.Done().Contains(plan.position, plan.end)) {
    plan.stop = StopReason::kReachedEnd;
    return 0;
  }
  return length;
}

void EngineJob::OnTransferDone(Transfer& transfer, CURLcode code) {
  auto it = transfers_.find(transfer.Id());
  if (it == transfers_.end()) return;
  std::unique_ptr<Transfer> owned = std::move(it->second);
  transfers_.erase(it);
  stragglers_.Forget(transfer.Id());
  TransferPlan& plan = transfer.plan;
  FileDownload& file = *files_[static_cast<size_t>(plan.fileIndex)];
  --file.activeTransfers;
  // What one connection to this mirror managed, remembered for judging the others: an ended
  // transfer of some size counts however short it was.
  if (int64_t age = nowMs_ - plan.startedMs; !plan.probe && plan.bytesTotal >= kRateMinBytes) {
    int64_t rate = plan.bytesTotal * 1000 / std::max<int64_t>(age, 1);
    int64_t& known = file.Mirrors()[static_cast<size_t>(plan.mirror)].connectionRate;
    known = known == 0 ? rate : (known + rate) / 2;
  }
  if (code == CURLE_OK && !transfer.HeadSeen()) transfer.CheckHead();  // an answer without a body

  const std::string& url = file.Mirrors()[static_cast<size_t>(plan.mirror)].url.url;
  if (plan.stop == StopReason::kWriteFailed) {
    WriteFailed(file, plan.writeError);
    return;
  }
  if (plan.probe) {
    if (file.sized) {
      file.Mirrors()[static_cast<size_t>(plan.mirror)].failures = 0;
    } else {
      if (plan.stop == StopReason::kRejected) {
        SetMirrorAside(file, plan.mirror,
                       "answered the size request with " + std::to_string(transfer.Head().status));
      } else {
        MirrorFailed(file, plan.mirror, url + ": size request failed: " + FailureText(transfer, code));
      }
      if (phase_ == Phase::kEnded) return;
      probeQueue_.push_back(plan.fileIndex);  // asked again, of the next mirror
    }
    return;
  }

  MirrorState& mirror = file.Mirrors()[static_cast<size_t>(plan.mirror)];
  if (plan.stop == StopReason::kRejected) {
    SetMirrorAside(file, plan.mirror,
                   url + " answered " + std::to_string(transfer.Head().status) +
                       " with a range or version that does not fit");
  } else if (code == CURLE_OK && plan.stream && !file.SizeKnown()) {
    file.EndStream(plan.position);  // a body without a length ends with its connection
    mirror.failures = 0;
  } else if ((code == CURLE_OK && plan.position >= plan.end) || plan.stop == StopReason::kReachedEnd ||
             plan.stop == StopReason::kCancelled) {
    if (plan.bytesTotal > 0) mirror.failures = 0;
  } else if (online_) {
    MirrorFailed(file, plan.mirror, url + ": " + FailureText(transfer, code));
  }
  // A first request that failed before it told the size is asked again, of the next mirror.
  if (plan.learnsSize && !file.sized && phase_ != Phase::kEnded) probeQueue_.push_back(plan.fileIndex);
  AfterTransfer(file);
}

void EngineJob::AfterTransfer(FileDownload& file) {
  if (phase_ == Phase::kEnded || file.finished) return;
  // Until the job is accepted a complete file waits: its file-done must follow the acceptance.
  if (file.Complete() && phase_ != Phase::kSizing) {
    FinishFile(file);
    return;
  }
  CheckFileCanGoOn(file);
}

void EngineJob::CheckFileCanGoOn(FileDownload& file) {
  if (phase_ != Phase::kEnded && !file.HasUsableMirror()) {
    HandBack("every mirror of " + file.Path() + " failed");
  }
}

void EngineJob::MirrorFailed(FileDownload& file, int mirror, const std::string& why) {
  MirrorState& state = file.Mirrors()[static_cast<size_t>(mirror)];
  Log(why);
  if (++state.failures >= kMirrorFailureLimit) SetMirrorAside(file, mirror, state.url.url + " keeps failing");
}

void EngineJob::SetMirrorAside(FileDownload& file, int mirror, const std::string& why) {
  MirrorState& state = file.Mirrors()[static_cast<size_t>(mirror)];
  if (!state.setAside) Log("sets " + state.url.url + " aside: " + why);
  state.setAside = true;
  CheckFileCanGoOn(file);
}

void EngineJob::FinishFile(FileDownload& file) {
  CancelTransfersOf(file.Index());
  if (int error = file.Finish(); error != 0) {
    Fail("cannot rename " + file.PartPath() + ": " + ErrorText(error));
    return;
  }
  activeFiles_.erase(file.Index());
  activePaths_.erase(file.Path());
  ++filesDone_;
  Log("file done: " + file.Path());
  engineproto::FileDone done;
  done.jobSeq = request_.jobSeq;
  done.engineJobId = engineJobId_;
  done.localPath = Cut(file.Path(), engineproto::kPathField - 1);
  done.source = file.Source();
  output_->FileDone(done);
  if (filesDone_ == static_cast<int>(files_.size())) Finish();
}

void EngineJob::WriteFailed(FileDownload& file, int error) {
  if (IsDiskFull(error)) {
    EnterDiskFull(file.IsOpen() ? kDiskHeadroom : std::max<int64_t>(file.Size(), 0) + kDiskHeadroom);
    diskFolder_ = file.Folder();
    return;
  }
  Fail("cannot write " + file.PartPath() + ": " + ErrorText(error));
}

void EngineJob::EnterDiskFull(int64_t needBytes) {
  if (phase_ == Phase::kDiskFull || phase_ == Phase::kEnded) return;
  Log("disk full: pauses");
  for (auto& [id, transfer] : transfers_) {
    transfer->plan.stop = StopReason::kCancelled;
    pendingCancel_.push_back(id);
  }
  phase_ = Phase::kDiskFull;
  diskNeedBytes_ = needBytes;
  diskCheckMs_ = 0;  // set by the next tick
  SaveControls();
  engineproto::JobWarning warning;
  warning.jobSeq = request_.jobSeq;
  warning.engineJobId = engineJobId_;
  warning.code = 1;
  warning.text = "disk full";
  output_->Warning(warning);
}

// ---- Ending transfers ------------------------------------------------------------------------

void EngineJob::CancelTransfer(int id) {
  auto it = transfers_.find(id);
  if (it == transfers_.end()) return;
  pool_->Remove(it->second.get());
  FileDownload& file = *files_[static_cast<size_t>(it->second->plan.fileIndex)];
  --file.activeTransfers;
  stragglers_.Forget(id);
  transfers_.erase(it);
}

void EngineJob::CancelTransfersOf(int fileIndex) {
  std::vector<int> ids;
  for (auto& [id, transfer] : transfers_) {
    if (transfer->plan.fileIndex == fileIndex) ids.push_back(id);
  }
  for (int id : ids) CancelTransfer(id);
}

void EngineJob::CancelAll() {
  while (!transfers_.empty()) CancelTransfer(transfers_.begin()->first);
  pendingCancel_.clear();
}

void EngineJob::CancelPending() {
  std::vector<int> ids;
  ids.swap(pendingCancel_);
  for (int id : ids) CancelTransfer(id);
}

// ---- Time ------------------------------------------------------------------------------------

void EngineJob::Tick(int64_t nowMs) {
  nowMs_ = nowMs;
  CancelPending();
  if (phase_ == Phase::kEnded) return;
  if (nowMs >= nextSecondMs_) {
    nextSecondMs_ += 1000;
    if (nextSecondMs_ <= nowMs) nextSecondMs_ = nowMs + 1000;  // a stalled loop does not tick in bursts
    std::vector<StragglerWatch::Sample> samples;
    for (auto& [id, transfer] : transfers_) {
      TransferPlan& plan = transfer->plan;
      plan.bytesPerSecond = plan.bytesThisTick;
      if (!plan.probe) samples.push_back({id, plan.bytesThisTick});
      plan.bytesThisTick = 0;
    }
    if (phase_ != Phase::kSizing) SendProgress(nowMs);
    bytesThisSecond_ = 0;
    for (int index : activeFiles_) files_[static_cast<size_t>(index)]->bytesThisTick = 0;
    if (online_ && (phase_ == Phase::kDownloading || phase_ == Phase::kSizing)) {
      for (int id : stragglers_.Tick(samples)) {
        Transfer* transfer = FindTransfer(id);
        if (transfer == nullptr) continue;
        FileDownload& file = *files_[static_cast<size_t>(transfer->plan.fileIndex)];
        int mirror = transfer->plan.mirror;
        std::string why = transfer->plan.bytesPerSecond == 0 ? "silent" : "far slower than the others";
        CancelTransfer(id);
        MirrorFailed(
            file, mirror,
            "cuts a connection to " + file.Mirrors()[static_cast<size_t>(mirror)].url.url + ": " + why);
        if (phase_ == Phase::kEnded) return;
      }
    }
  }
  if (nowMs >= nextSaveMs_) {
    nextSaveMs_ = nowMs + kSaveEveryMs;
    SaveControls();
  }
  if (phase_ == Phase::kDiskFull) {
    if (diskCheckMs_ == 0) diskCheckMs_ = nowMs + kDiskCheckEveryMs;
    if (nowMs >= diskCheckMs_) {
      diskCheckMs_ = nowMs + kDiskCheckEveryMs;
      std::optional<int64_t> free = platform::FreeSpace(diskFolder_);
      if (free && *free >= diskNeedBytes_) {
        Log("disk has room again: goes on");
        phase_ = Phase::kDownloading;
      }
    }
  }
}

void EngineJob::SendProgress(int64_t nowMs) {
  engineproto::JobProgress progress;
  progress.jobSeq = request_.jobSeq;
  progress.engineJobId = engineJobId_;
  progress.fileCount = static_cast<int32_t>(files_.size());
  progress.filesDone = filesDone_;
  for (auto& file : files_) {
    if (file->SizeKnown()) progress.totalBytes += file->Size();
    progress.doneBytes += file->finished ? std::max<int64_t>(file->Size(), 0) : file->DoneBytes();
  }
  progress.bytesPerSecond =
      static_cast<int32_t>(std::min<int64_t>(bytesThisSecond_, std::numeric_limits<int32_t>::max()));
  progress.elapsedSeconds = (nowMs - startMs_) / 1000;
  while (firstUnfinished_ < files_.size() && files_[firstUnfinished_]->finished) ++firstUnfinished_;
  // Once every file is complete, the last one is shown whole.
  const size_t shown = firstUnfinished_ < files_.size() ? firstUnfinished_ : files_.size() - 1;
  if (!files_.empty()) {
    const FileDownload& file = *files_[shown];
    engineproto::ProgressEntry entry;
    entry.fileSize = file.Size();
    entry.fileDone = file.finished ? std::max<int64_t>(file.Size(), 0) : file.DoneBytes();
    entry.fileBytesPerSecond =
        static_cast<int32_t>(std::min<int64_t>(file.bytesThisTick, std::numeric_limits<int32_t>::max()));
    std::string path = file.Path();
    entry.text = Cut(path.substr(path.rfind('/') + 1), 64);
    progress.entries.push_back(std::move(entry));
  }
  output_->Progress(progress);
}

void EngineJob::SaveControls() {
  for (int index : activeFiles_) {
    FileDownload& file = *files_[static_cast<size_t>(index)];
    if (file.IsOpen()) file.SaveControl();
  }
}

void EngineJob::SuspendFiles() {
  for (int index : activeFiles_) files_[static_cast<size_t>(index)]->Suspend();
}

// ---- Ends ------------------------------------------------------------------------------------

bool EngineJob::EndHere(const std::string& why) {
  if (phase_ == Phase::kEnded) return false;
  Log(why);
  CancelAll();
  SuspendFiles();
  phase_ = Phase::kEnded;
  return true;
}

void EngineJob::SendFinished(int32_t result) {
  engineproto::JobFinished finished;
  finished.jobSeq = request_.jobSeq;
  finished.engineJobId = engineJobId_;
  finished.filesDone = filesDone_;
  finished.result = result;
  output_->Finished(finished);
}

void EngineJob::Stop() { EndHere("stopped"); }

void EngineJob::HandBack(const std::string& why) {
  if (EndHere("hands the job back: " + why)) SendFinished(1);
}

void EngineJob::Fail(const std::string& reason) {
  if (!EndHere("fails: " + reason)) return;
  engineproto::JobFailed failed;
  failed.jobSeq = request_.jobSeq;
  failed.reason = reason;
  output_->Failed(failed);
}

void EngineJob::Finish() {
  // The last figures first: a job done within its first second would otherwise end on none.
  if (phase_ != Phase::kEnded) SendProgress(nowMs_);
  if (EndHere("done: " + std::to_string(filesDone_) + " files")) SendFinished(0);
}

}  // namespace engine
