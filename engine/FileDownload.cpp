#include "engine/FileDownload.h"

#include <cerrno>

#include "platform/FileSystem.h"

namespace engine {

namespace {

// A control file is a few hundred bytes; anything much larger is not one of ours.
constexpr int64_t kMaxControlFile = 64 << 20;

}  // namespace

FileDownload::FileDownload(int index, std::string urlField, int64_t size, FileTarget target)
    : index_(index), urlField_(std::move(urlField)), size_(size < 0 ? -1 : size), target_(std::move(target)) {
  for (MirrorUrl& url : SplitMirrors(urlField_)) {
    MirrorState mirror;
    mirror.setAside = !url.served;
    mirror.url = std::move(url);
    mirrors_.push_back(std::move(mirror));
  }
}

std::string FileDownload::Folder() const {
  size_t slash = target_.path.rfind('/');
  return slash == 0 || slash == std::string::npos ? std::string("/") : target_.path.substr(0, slash);
}

std::vector<std::string> FileDownload::Urls() const {
  std::vector<std::string> urls;
  for (const MirrorState& mirror : mirrors_) urls.push_back(mirror.url.url);
  return urls;
}

bool FileDownload::HasUsableMirror() const {
  for (const MirrorState& mirror : mirrors_) {
    if (!mirror.setAside) return true;
  }
  return false;
}

std::string FileDownload::IfRangeValidator() const {
  // A weak entity tag may not be used in If-Range; the date is the fallback.
  if (!etag_.empty() && etag_.rfind("W/", 0) != 0) return etag_;
  return lastModified_;
}

FileDownload::Version FileDownload::CheckVersion(const ResponseHead& head) {
  if (!validatorsKnown_) {
    validatorsKnown_ = validatorsConfirmed_ = true;
    etag_ = head.etag;
    lastModified_ = head.lastModified;
    dirty_ = true;
    return Version::kSame;
  }
  bool differs = (!etag_.empty() && !head.etag.empty() && etag_ != head.etag) ||
                 (!lastModified_.empty() && !head.lastModified.empty() && lastModified_ != head.lastModified);
  if (!differs) {
    validatorsConfirmed_ = true;
    return Version::kSame;
  }
  return validatorsConfirmed_ ? Version::kOther : Version::kChanged;
}

void FileDownload::ForgetWritten() {
  done_.Clear();
  doneBytes_ = 0;
  validatorsKnown_ = false;
  dirty_ = true;
}

void FileDownload::Restart(const ResponseHead& head) {
  ForgetWritten();
  CheckVersion(head);
}

bool FileDownload::FindResumable() {
  resumable_ = false;
  std::optional<std::string> text = platform::ReadSmallFile(ControlPath(), kMaxControlFile);
  if (!text) return false;
  std::optional<ControlRecord> record = DecodeControl(*text);
  if (!record || record->done.Empty() || !ControlMatches(*record, size_, Urls())) return false;
  std::optional<int64_t> partSize = platform::FileSize(PartPath());
  if (!partSize || *partSize != record->size) return false;
  size_ = record->size;
  etag_ = record->etag;
  lastModified_ = record->lastModified;
  validatorsKnown_ = true;
  done_ = record->done;
  doneBytes_ = done_.CoveredBytes();
  resumable_ = true;
  return true;
}

void FileDownload::ApplyResumeAnswer(bool resume) {
  if (!resumable_) return;
  resumable_ = false;
  if (resume) return;
  ForgetWritten();
  etag_.clear();
  lastModified_.clear();
}

int FileDownload::Open() {
  if (part_.IsOpen()) return 0;
  if (int error = platform::CreateDirectories(Folder()); error != 0) return error;
  if (done_.Empty()) platform::RemoveFile(PartPath());  // nothing of an older file is kept
  if (int error = part_.Open(PartPath()); error != 0) return error;
  if (done_.Empty() && part_.Size() > 0) part_.Truncate(0);
  if (size_ > 0) {
    if (int error = part_.Reserve(size_); error != 0) {
      part_.Close();
      return error;
    }
  }
  dirty_ = true;
  return 0;
}

int FileDownload::Reserve() {
  if (!part_.IsOpen() || size_ <= 0) return 0;
  return part_.Reserve(size_);
}

int FileDownload::Write(int64_t offset, const char* data, size_t length, int64_t* added) {
  *added = 0;
  if (int error = part_.WriteAt(data, length, offset); error != 0) return error;
  int64_t end = offset + static_cast<int64_t>(length);
  *added = static_cast<int64_t>(length) - done_.CoveredWithin(offset, end);
  done_.Add(offset, end);
  doneBytes_ += *added;
  if (*added > 0) dirty_ = true;
  return 0;
}

bool FileDownload::Complete() const { return size_ >= 0 && done_.Contains(0, size_); }

void FileDownload::EndStream(int64_t length) {
  size_ = length;
  if (part_.IsOpen()) part_.Truncate(length);
  dirty_ = true;
}

int FileDownload::SaveControl() {
  if (!dirty_ || size_ < 0 || finished) return 0;
  ControlRecord record;
  record.size = size_;
  record.etag = etag_;
  record.lastModified = lastModified_;
  record.urls = Urls();
  record.done = done_;
  int error = platform::WriteFileAtomically(ControlPath(), EncodeControl(record));
  if (error == 0) dirty_ = false;
  return error;
}

void FileDownload::Suspend() {
  if (part_.IsOpen()) SaveControl();
  part_.Close();
}

int FileDownload::Finish() {
  part_.Close();
  if (int error = platform::RenameReplacing(PartPath(), target_.path); error != 0) return error;
  platform::RemoveFile(ControlPath());
  finished = true;
  return 0;
}

std::string FileDownload::Source() const {
  const MirrorState* best = nullptr;
  for (const MirrorState& mirror : mirrors_) {
    if (best == nullptr || mirror.delivered > best->delivered) best = &mirror;
  }
  return best == nullptr ? std::string() : best->url.url;
}

}  // namespace engine
