#include "pipeline/CPlatformSession.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/cpCQoSContext.h"
#include "core/nvCString.h"
#include "net/nwClassIds.h"
#include "net/nwConnection.h"
#include "net/nwHttpLocation.h"
#include "pipeline/Log.h"
#include "platform/FileSystem.h"

namespace {

// Copies at most capacity - 1 bytes of `text` (stopping at its NUL) and terminates.
void CopyBounded(uint8_t* out, size_t capacity, const char* text, size_t textCapacity) {
  size_t length = 0;
  if (text != nullptr) {
    while (length < textCapacity && length + 1 < capacity && text[length] != '\0') ++length;
    std::memcpy(out, text, length);
  }
  out[length] = 0;
}

std::string ReadBounded(const uint8_t* in, size_t capacity) {
  size_t length = 0;
  while (length < capacity && in[length] != 0) ++length;
  return std::string(reinterpret_cast<const char*>(in), length);
}

}  // namespace

void FileReportEntry::Fill(const char* tag, const std::string& urlList, int64_t received) {
  std::memset(bytes, 0, sizeof(bytes));
  CopyBounded(bytes + kTagOffset, kTagSize, tag, kTagSize);
  CopyBounded(bytes + kUrlOffset, kUrlSize, urlList.c_str(), urlList.size());
  auto value = static_cast<uint64_t>(received);
  for (size_t i = 0; i < 8; ++i) bytes[kReceivedOffset + i] = static_cast<uint8_t>(value >> (8 * i));
  bytes[kFinalOffset] = 1;
}

std::string FileReportEntry::Tag() const { return ReadBounded(bytes + kTagOffset, kTagSize); }

std::string FileReportEntry::UrlList() const { return ReadBounded(bytes + kUrlOffset, kUrlSize); }

int64_t FileReportEntry::Received() const {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value |= static_cast<uint64_t>(bytes[kReceivedOffset + i]) << (8 * i);
  return static_cast<int64_t>(value);
}

CPlatformSession::CPlatformSession() = default;

CPlatformSession::~CPlatformSession() {
  listener_ = nullptr;
  cookie_ = nullptr;
  TearDown();
  CloseFile();
}

template <class Call>
bool CPlatformSession::Notify(Call&& call) {
  if (listener_ == nullptr) return true;
  nvCGuard alive(*this);
  call(*listener_, cookie_);
  return alive.Alive();
}

void CPlatformSession::SetSessionListener(IPlatFormSessionEventListener* listener, void* cookie) {
  listener_ = listener;
  cookie_ = cookie;
}

void CPlatformSession::StartFiles(const std::vector<std::unique_ptr<JobFileEntry>>& entries) {
  std::vector<const JobFileEntry*> pointers;
  pointers.reserve(entries.size());
  for (const auto& entry : entries) pointers.push_back(entry.get());
  StartFiles(std::span<const JobFileEntry* const>(pointers));
}

void CPlatformSession::StartFiles(std::span<const JobFileEntry* const> entries) {
  // One list per session: a second call would mix two jobs' files.
  if (!records_.empty()) return;
  for (const JobFileEntry* entry : entries) {
    if (entry == nullptr || entry->url.empty() || entry->folder.empty() || entry->fileName.empty()) continue;
    auto record = std::make_unique<SessionFileRecord>();
    record->index = entry->index;
    record->urlList = entry->url;
    record->folder = entry->folder;
    record->fileName = entry->fileName;
    CopyBounded(reinterpret_cast<uint8_t*>(record->tag), sizeof(record->tag), entry->serviceCode,
                sizeof(entry->serviceCode));
    records_.push_back(std::move(record));
  }
  if (records_.empty()) return;
  fileIndex_ = 0;
  current_ = records_.front().get();
  redirects_ = 0;
  SplitUrls();
  SendFileRequest(false);
}

void CPlatformSession::CollectReport(FileReportEntry* out, int32_t* count) const {
  int32_t n = 0;
  for (const auto& record : records_) {
    if (record->received <= 0) continue;
    if (out != nullptr) out[n].Fill(record->tag, record->urlList, record->received);
    ++n;
  }
  if (count != nullptr) *count = n;
}

void CPlatformSession::SplitUrls() {
  // Split as the size check splits: what passed the check is what gets downloaded.
  urls_ = nwSplitAlternatives(current_->urlList);
  urlIndex_ = 0;
  // A list of nothing but separators must not fall back on the previous file's address.
  currentUrl_ = urls_.empty() ? current_->urlList : urls_.front();
}

bool CPlatformSession::SendFileRequest(bool resetTries) {
  int32_t budget = fullSpeed_ != 0 ? kFullSpeedBudget : kReducedBudget;
  if (resetTries) tries_ = 0;
  OpenResult opened = OpenTargetFile(*current_);
  if (opened == OpenResult::kGone) return false;
  if (opened == OpenResult::kFailed) {
    LogFormat("[TessenLib] WriteFileOpen Failed : %s", currentUrl_.c_str());
    std::string url = currentUrl_;
    Notify([&](IPlatFormSessionEventListener& l, void* c) { l.OnSessionFailed(c, url.c_str()); });
    return false;
  }
  char range[48];
  std::snprintf(range, sizeof(range), "bytes=%lld-", static_cast<long long>(current_->offset));
  if (context_) return true;

  // A URL that cannot be used fails from the message loop, through the retry rule.
  nwConnectionOptions connection = nwConnectionOptions::Timeouts(kConnectTimeoutSeconds, kIdleLimitSeconds);
  connection.actionType = QOS_ACTION_OWN;
  connection.receiveAction = QOS_ACTION_OWN_RECV;
  connection.receiveLimit = budget;
  nwHttpExchangeOptions options(this, currentUrl_, connection);
  options.headers = {{"Range", range}};
  context_ = nwOpenHttpExchange(options);
  ++tries_;
  if (!context_) {
    // No connection to carry the request: it counts as a failed request.
    CloseFile();
    RetryOrFail();
    return false;
  }
  return true;
}

CPlatformSession::OpenResult CPlatformSession::OpenTargetFile(SessionFileRecord& record) {
  std::string path = record.folder;
  std::replace(path.begin(), path.end(), '\\', '/');
  if (path.empty() || path.back() != '/') path += '/';
  // Every missing level from the root down; a level that cannot be made shows in the open below.
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] != '/') continue;
    std::string level = path.substr(0, i);
    if (!platform::DirectoryExists(level)) platform::CreateDirectoryLevel(level);
  }
  path += record.fileName;

  int error = file_.OpenAlways(path);
  if (error != 0) {
    LogFormat("[TessenLib] CreateFile Failed(%d) : %s", error, path.c_str());
    return OpenResult::kFailed;
  }
  currentPath_ = path;
  // The file was emptied: what this record had contributed is gone from the disk.
  sessionBytes_ -= record.received + record.offset;
  record.received = 0;
  record.offset = file_.End();
  sessionBytes_ += record.offset;
  if (!Notify([&](IPlatFormSessionEventListener& l, void* c) { l.OnFileOpened(path.c_str(), c); })) {
    return OpenResult::kGone;
  }
  return OpenResult::kOpened;
}

void CPlatformSession::TearDown() { nwReleaseConnection(context_); }

void CPlatformSession::CloseFile() {
  file_.Close();
  currentPath_.clear();
}

void CPlatformSession::RetryOrFail() {
  if (tries_ >= kTriesPerUrl) {
    tries_ = 0;
    ++urlIndex_;
    if (urlIndex_ >= static_cast<int32_t>(urls_.size())) {
      LogFormat("[TessenLib] TryMax Over : %s", currentUrl_.c_str());
      std::string url = currentUrl_;
      Notify([&](IPlatFormSessionEventListener& l, void* c) { l.OnSessionFailed(c, url.c_str()); });
      return;
    }
    currentUrl_ = urls_[static_cast<size_t>(urlIndex_)];
  }
  SendFileRequest(false);
}

void CPlatformSession::FinishFile() {
  SessionFileRecord* finished = current_;
  CloseFile();
  TearDown();
  ++fileIndex_;
  current_ = static_cast<size_t>(fileIndex_) < records_.size()
                 ? records_[static_cast<size_t>(fileIndex_)].get()
                 : nullptr;
  redirects_ = 0;
  if (current_ != nullptr) SplitUrls();
  if (!Notify([&](IPlatFormSessionEventListener& l, void* c) { l.OnFileCompleted(c, finished); })) return;
  if (current_ != nullptr) {
    SendFileRequest(true);
    return;
  }
  Notify([](IPlatFormSessionEventListener& l, void* c) { l.OnAllFilesCompleted(c); });
}

void CPlatformSession::Redirect() {
  nwRedirect redirect = nwReadRedirect(nwHttpLayer(context_), currentUrl_);
  // A redirect loop must end: past the limit a redirect counts as one without a target.
  bool usable = !redirect.url.empty() && redirects_ < kMaxRedirects;
  if (usable) {
    ++redirects_;
    currentUrl_ = redirect.url;
    tries_ = 0;
  }
  TearDown();
  if (usable) {
    SendFileRequest(true);
    return;
  }
  CloseFile();
  if (redirect.downgrade)
    LogFormat("[TessenLib] Redirect from https to http refused : %s", currentUrl_.c_str());
  LogFormat("[TessenLib] eNWHSC_HTTP_SEEOTHER  : %s", currentUrl_.c_str());
  std::string url = currentUrl_;
  Notify([&](IPlatFormSessionEventListener& l, void* c) { l.OnSessionFailed(c, url.c_str()); });
}

void CPlatformSession::OnHeaders(nwListenerCookie /*cookie*/) {
  nvIHttpClientExLayer* layer = nwHttpLayer(context_);
  if (layer == nullptr || current_ == nullptr) return;
  int32_t status = 0;
  layer->GetStatusCode(&status);
  switch (status) {
    case 200:
    case 206: {
      int64_t length = 0;
      layer->GetContentLength(&length);
      current_->expected = length;
      // An announced empty body never raises the completion event: the file is complete now.
      nvCString announced;
      if (length == 0 && cpSucceeded(layer->GetHeader("Content-Length", &announced)) &&
          announced.GetBuffer()[0] >= '0' && announced.GetBuffer()[0] <= '9') {
        FinishFile();
      }
      return;
    }
    case 302:
    case 303:
      Redirect();
      return;
    case 416:
      FinishFile();
      return;
    default:
      // The closed event that follows runs the retry rule.
      context_->Close();
      return;
  }
}

int32_t CPlatformSession::OnData(nwListenerCookie /*cookie*/, const char* data, int32_t length) {
  if (length <= 0 || current_ == nullptr) return length;
  if (file_.IsOpen()) {
    int64_t count = length;
    // Never more than the server announced: the file holds only announced bytes.
    if (current_->expected > 0)
      count = std::clamp<int64_t>(current_->expected - current_->received, 0, length);
    int64_t before = file_.End();
    int error = file_.Append(data, static_cast<size_t>(count));
    if (error != 0) {
      // Normally nothing of the chunk stays; if the file could not be cut back, count what did.
      sessionBytes_ += file_.End() - before;
      current_->received += file_.End() - before;
      // Stop the exchange: later chunks would land at a wrong position, leaving a gap.
      TearDown();
      CloseFile();
      std::string url = currentUrl_;
      Notify([&](IPlatFormSessionEventListener& l, void* c) {
        l.OnSessionError(c, kWriteFailedCode, url.c_str());
      });
      return length;
    }
    sessionBytes_ += count;
    current_->received += count;
  }
  Notify([](IPlatFormSessionEventListener& l, void* c) { l.OnProgress(c); });
  return length;
}

void CPlatformSession::OnComplete(nwListenerCookie /*cookie*/) {
  if (context_ && current_ != nullptr) FinishFile();
}

void CPlatformSession::OnClosed(nwListenerCookie /*cookie*/) {
  if (!context_ || current_ == nullptr) return;
  TearDown();
  CloseFile();
  RetryOrFail();
}

void CPlatformSession::OnConnectTimeout(nwListenerCookie /*cookie*/) {
  // The closed event that follows runs the retry rule.
  if (context_) context_->Close();
}

void CPlatformSession::OnReceiveTimeout(nwListenerCookie /*cookie*/) {
  if (context_) context_->Close();
}
