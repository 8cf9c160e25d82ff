#include "pipeline/CPlatformFileSizeChecker.h"

#include <algorithm>
#include <limits>

namespace {

// Sizes come from servers: a sum must not wrap around.
int64_t AddSaturated(int64_t a, int64_t b) {
  if (b > 0 && a > std::numeric_limits<int64_t>::max() - b) return std::numeric_limits<int64_t>::max();
  if (b < 0 && a < std::numeric_limits<int64_t>::min() - b) return std::numeric_limits<int64_t>::min();
  return a + b;
}

}  // namespace

CPlatformFileSizeChecker::CPlatformFileSizeChecker() = default;

CPlatformFileSizeChecker::~CPlatformFileSizeChecker() {
  listener_ = nullptr;
  Reset();
}

void CPlatformFileSizeChecker::SetCheckerListener(ICheckerEventListener* listener, void* cookie) {
  listener_ = listener;
  cookie_ = cookie;
}

void CPlatformFileSizeChecker::Reset() {
  // Sessions point into the records: they go first.
  for (auto& session : active_) session->Detach();
  active_.clear();
  records_.clear();
  nextIndex_ = 0;
  doneCount_ = 0;
  knownSize_ = 0;
  knownReceived_ = 0;
  knownCount_ = 0;
  ended_ = false;
}

void CPlatformFileSizeChecker::RunSizeCheck(const std::vector<std::unique_ptr<JobFileEntry>>& entries) {
  std::vector<const JobFileEntry*> pointers;
  pointers.reserve(entries.size());
  for (const auto& entry : entries) pointers.push_back(entry.get());
  RunSizeCheck(std::span<const JobFileEntry* const>(pointers));
}

void CPlatformFileSizeChecker::RunSizeCheck(std::span<const JobFileEntry* const> entries) {
  Reset();
  for (const JobFileEntry* entry : entries) {
    if (entry == nullptr) continue;
    if (entry->size < 0) {
      auto record = std::make_unique<FileSizeRecord>();
      record->index = entry->index;
      record->urlList = entry->url;
      record->folder = entry->folder;
      record->fileName = entry->fileName;
      record->size = -1;
      record->received = entry->downloaded;
      record->optionA = entry->optionA;
      record->optionB = entry->optionB;
      records_.push_back(std::move(record));
    } else {
      knownCount_ += 1;
      knownSize_ = AddSaturated(knownSize_, entry->size);
      knownReceived_ = AddSaturated(knownReceived_, entry->downloaded);
    }
  }
  if (records_.empty()) {
    ReportCompleted();
    return;
  }
  StartSessions();
}

void CPlatformFileSizeChecker::StartSessions() {
  nvCGuard alive(*this);
  IPlatformFileSizeCheckSessionEventListener* self = this;
  while (!ended_ && nextIndex_ < static_cast<int32_t>(records_.size()) && active_.size() < kMaxActive) {
    auto session = std::make_unique<CPlatformFileSizeCheckSession>(self, freeSpace_);
    CPlatformFileSizeCheckSession* started = session.get();
    active_.push_back(std::move(session));
    FileSizeRecord* record = records_[static_cast<size_t>(nextIndex_)].get();
    nextIndex_ += 1;
    started->Start(record);
    // A session does not report inside Start; should one ever do, its receiver may have ended us.
    if (!alive) return;
  }
  if (!ended_ && doneCount_ == static_cast<int32_t>(records_.size())) ReportCompleted();
}

void CPlatformFileSizeChecker::ReportCompleted() {
  ended_ = true;
  FileSizeCheckResult result;
  result.totalSize = knownSize_;
  result.bytesAtStart = knownReceived_;
  result.fileCount = knownCount_ + static_cast<int32_t>(records_.size());
  for (const auto& record : records_) {
    result.totalSize = AddSaturated(result.totalSize, record->size);
    result.bytesAtStart = AddSaturated(result.bytesAtStart, record->received);
  }
  if (ICheckerEventListener* listener = listener_) listener->OnSizeCheckCompleted(cookie_, result);
}

void CPlatformFileSizeChecker::OnFileSizeKnown(CPlatformFileSizeCheckSession* cookie) {
  auto found = std::find_if(active_.begin(), active_.end(),
                            [cookie](const auto& session) { return session.get() == cookie; });
  if (found == active_.end()) return;
  active_.erase(found);  // the reporting session: its report was its last action
  doneCount_ += 1;
  StartSessions();
}

void CPlatformFileSizeChecker::OnFileSizeCheckFailed(CPlatformFileSizeCheckSession* /*cookie*/, int32_t code,
                                                     const char* text) {
  // The first failure decides; the other sessions run on until the owner destroys the checker,
  // but neither they nor any new one report again.
  if (ended_) return;
  ended_ = true;
  if (ICheckerEventListener* listener = listener_) listener->OnSizeCheckFailed(cookie_, code, text);
}
