#include "pipeline/CJob.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

// A longer name cannot be created on the file systems we write to.
constexpr size_t kMaxFileName = 259;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trimmed(const char* text) {
  std::string value(text);
  size_t begin = 0;
  size_t end = value.size();
  while (begin < end && IsSpace(value[begin])) ++begin;
  while (end > begin && IsSpace(value[end - 1])) --end;
  return value.substr(begin, end - begin);
}

// The last path segment of the URL, without its query or fragment.
std::string NameFromUrl(const std::string& url) {
  std::string path = url.substr(0, url.find_first_of("?#"));
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return std::string();
  return path.substr(slash + 1);
}

// A name that stays inside its folder and names a file.
bool IsSafeFileName(const std::string& name) {
  if (name == "." || name == ".." || name.size() > kMaxFileName) return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return c == '/' || c == '\\' || byte < 0x20 || byte == 0x7F;
  });
}

std::string NormalisedFolder(const char* folder) {
  std::string value(folder);
  std::replace(value.begin(), value.end(), '\\', '/');
  if (value.back() != '/') value.push_back('/');
  return value;
}

void CopyTruncated(char* target, size_t capacity, const char* source) {
  if (source == nullptr) source = "";
  std::snprintf(target, capacity, "%s", source);
}

}  // namespace

std::string JobPathKey(const std::string& path) {
  std::string key = path;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return key;
}

CJob::CJob(int32_t sequenceNumber, JobHandle handle) : sequenceNumber_(sequenceNumber), handle_(handle) {}

CJob::~CJob() = default;

void CJob::SetCodes(const char* engineTag, const char* serviceCode) {
  CopyTruncated(engineTag_, sizeof engineTag_, engineTag);
  CopyTruncated(serviceCode_, sizeof serviceCode_, serviceCode);
}

int32_t CJob::AddFile(const char* url, const char* folder, const char* fileName, int64_t size,
                      int32_t optionA, int32_t optionB) {
  if (state_ != kIdle) return DL_ERR_FAILED;
  if (url == nullptr || url[0] == '\0') return DL_ERR_NO_URL;
  if (folder == nullptr || folder[0] == '\0') return DL_ERR_FOLDER;

  std::string trimmedUrl = Trimmed(url);
  bool named = fileName != nullptr && fileName[0] != '\0';
  std::string name = named ? std::string(fileName) : NameFromUrl(trimmedUrl);
  // An empty derived name is kept; anything that could leave the folder is refused.
  if (!name.empty() && !IsSafeFileName(name)) return DL_ERR_FAILED;

  std::string normalised = NormalisedFolder(folder);
  std::string key = JobPathKey(normalised + name);
  if (pathIndex_.count(key) != 0) return DL_ERR_FAILED;

  auto entry = std::make_unique<JobFileEntry>();
  entry->index = FileCount();
  entry->url = std::move(trimmedUrl);
  entry->folder = std::move(normalised);
  entry->fileName = std::move(name);
  std::memcpy(entry->serviceCode, serviceCode_, sizeof entry->serviceCode);
  entry->size = size;
  entry->optionA = optionA;
  entry->optionB = optionB;
  pathIndex_.emplace(std::move(key), entry.get());
  entries_.push_back(std::move(entry));
  return DL_OK;
}

JobFileEntry* CJob::EntryAt(int32_t index) const {
  if (index < 0 || index >= FileCount()) return nullptr;
  return entries_[static_cast<size_t>(index)].get();
}

JobFileEntry* CJob::FindEntry(const std::string& fullPath) const {
  auto it = pathIndex_.find(JobPathKey(fullPath));
  return it != pathIndex_.end() ? it->second : nullptr;
}

void CJob::ReadSizeInfo(JobSizeInfo* out) {
  if (!pendingSizeInfo_) return;
  *out = *pendingSizeInfo_;
  pendingSizeInfo_.reset();
}

void CJob::ReadStatus(JobStatus* out) const { *out = status_; }

void CJob::ReadFileDone(FileDoneInfo* out) {
  if (fileDone_.empty()) return;
  *out = fileDone_.front();
  fileDone_.pop_front();
}

void CJob::ReadResult(JobResult* out) {
  if (!pendingResult_) return;
  *out = *pendingResult_;
  pendingResult_.reset();
}

int32_t CJob::ReadNoticeLength() const {
  if (notices_.empty() || notices_.front().text.empty()) return 0;
  return static_cast<int32_t>(notices_.front().text.size() + 1);
}

void CJob::ReadNotice(JobNotice* out) {
  if (notices_.empty()) {
    out->code = DL_OK;
    return;
  }
  const Notice& notice = notices_.front();
  out->code = notice.code;
  if (!notice.text.empty() && out->text != nullptr) {
    std::memcpy(out->text, notice.text.c_str(), notice.text.size() + 1);
  }
  notices_.pop_front();
}

void CJob::RegisterFile(const std::string& path) { register_.push_back(RegisteredFile{path, false}); }

void CJob::MarkFileCompleted(const std::string& path) {
  for (RegisteredFile& file : register_) {
    if (file.path == path) file.completed = true;
  }
}

void CJob::PostStatus() {
  if (state_ == kRunning && status_.downloadedBytes != 0) Raise(DL_EV_JOB_STATUS);
}

void CJob::PostSizeInfo(int32_t fileCount, int64_t total) {
  if (state_ != kRunning || status_.downloadedBytes != 0) return;
  pendingSizeInfo_ = std::make_unique<JobSizeInfo>(JobSizeInfo{fileCount, total});
  Raise(DL_EV_JOB_SIZE);
}

void CJob::PostFileDone(const std::string& path, const char* text, const char* source) {
  JobFileEntry* entry = FindEntry(path);
  if (entry == nullptr || entry->reportState == 2) return;
  entry->reportState = 2;
  ++fileDoneCounter_;
  FileDoneInfo info{};
  info.fileCount = status_.fileCount;
  info.sequence = fileDoneCounter_;
  const char* second = (text != nullptr && text[0] != '\0') ? text : path.c_str();
  std::snprintf(info.text, sizeof info.text, "%s,%s", source != nullptr ? source : "", second);
  fileDone_.push_back(info);
  Raise(DL_EV_FILE_DONE);
}

void CJob::PostNotice(int32_t code, const char* text) {
  notices_.push_back(Notice{code, text != nullptr ? std::string(text) : std::string()});
  Raise(DL_EV_JOB_NOTICE);
}

void CJob::End(int32_t filesDone, int32_t status) {
  nvCGuard alive(*this);
  PostStatus();
  // A host that deleted the job on that last status has nothing left to end.
  if (!alive) return;
  state_ = kFinished;
  pendingResult_ = std::make_unique<JobResult>(JobResult{FileCount(), filesDone, status});
  Raise(DL_EV_JOB_DONE);
}
