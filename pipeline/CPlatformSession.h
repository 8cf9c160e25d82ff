#pragma once
// Fetches the files of one job, one after another, straight from the content servers over HTTP
// or HTTPS, writing each chunk into its target file as it arrives. Every URL alternative of a
// file gets three requests; 302/303 are followed; 416 counts as a file already complete.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/nvCGuard.h"
#include "core/nvSmartPtr.h"
#include "net/nwCHttpClientExLayer.h"
#include "pipeline/JobFileEntry.h"
#include "platform/File.h"

// The session's own copy of one job entry.
struct SessionFileRecord {
  int32_t index = 0;
  std::string urlList;  // one URL or alternatives separated by '|'
  std::string folder;
  std::string fileName;
  char tag[33] = {};     // the job's service code
  int64_t expected = 0;  // Content-Length of the last 200/206 answer
  int64_t received = 0;  // bytes of this file written by this session (and still on disk)
  int64_t offset = 0;    // length of the target file when it was last opened
};

// One file of the relay report: 298 bytes, laid out field by field (little-endian), so an array
// of entries is exactly the bytes that go on the wire.
struct FileReportEntry {
  static constexpr size_t kSize = 298;
  static constexpr size_t kTagOffset = 0;
  static constexpr size_t kTagSize = 33;
  static constexpr size_t kUrlOffset = 33;
  static constexpr size_t kUrlSize = 256;
  static constexpr size_t kReceivedOffset = 289;
  static constexpr size_t kFinalOffset = 297;

  uint8_t bytes[kSize] = {};

  // Tag and URL list cut to fit with their terminating NUL; received little-endian; final byte 1.
  void Fill(const char* tag, const std::string& urlList, int64_t received);
  std::string Tag() const;
  std::string UrlList() const;
  int64_t Received() const;
};
static_assert(sizeof(FileReportEntry) == FileReportEntry::kSize, "report entries are packed bytes");
static_assert(alignof(FileReportEntry) == 1, "report entries are packed bytes");

// Events of a session; the cookie is the one given with the listener.
class IPlatFormSessionEventListener {
 public:
  virtual void OnAllFilesCompleted(void* cookie) = 0;
  virtual void OnSessionFailed(void* cookie, const char* url) = 0;
  virtual void OnFileCompleted(void* cookie, const SessionFileRecord* file) = 0;
  virtual void OnProgress(void* cookie) = 0;
  virtual void OnFileOpened(const char* path, void* cookie) = 0;
  virtual void OnSessionError(void* cookie, int32_t code, const char* url) = 0;

 protected:
  ~IPlatFormSessionEventListener() = default;
};

class CPlatformSession final : public nvCGuarded, private nwIHttpClientExEventListener {
 public:
  static constexpr int32_t kTriesPerUrl = 3;
  static constexpr int32_t kConnectTimeoutSeconds = 3;
  static constexpr int32_t kIdleLimitSeconds = 3;
  static constexpr int32_t kFullSpeedBudget = 104857600;  // bytes per second: effectively unthrottled
  static constexpr int32_t kReducedBudget = 393216;       // bytes per second without consent
  static constexpr int32_t kWriteFailedCode = 513;

  CPlatformSession();
  // Detaches and closes the exchange in flight and closes the open file. A listener may destroy
  // the session from inside any of its events.
  ~CPlatformSession();
  CPlatformSession(const CPlatformSession&) = delete;
  CPlatformSession& operator=(const CPlatformSession&) = delete;

  // (null, null) detaches the session before its owner destroys it.
  void SetSessionListener(IPlatFormSessionEventListener* listener, void* cookie);
  // Non-zero: the full budget; zero: the reduced one. Applies to later requests.
  void SetFullSpeed(int32_t flag) { fullSpeed_ = flag; }
  // Copies the entries that have a URL, a folder and a file name (others are skipped silently)
  // and starts the first one. Only the first call with usable entries counts.
  void StartFiles(std::span<const JobFileEntry* const> entries);
  void StartFiles(const std::vector<std::unique_ptr<JobFileEntry>>& entries);
  // The number of files that received bytes; with `out`, one entry per such file, in order.
  void CollectReport(FileReportEntry* out, int32_t* count) const;

  // What the owner reads for its status.
  int64_t SessionBytes() const { return sessionBytes_; }
  const SessionFileRecord* Current() const { return current_; }
  const std::string& CurrentPath() const { return currentPath_; }
  size_t RecordCount() const { return records_.size(); }
  const SessionFileRecord* RecordAt(size_t index) const {
    return index < records_.size() ? records_[index].get() : nullptr;
  }
  bool HasExchange() const { return static_cast<bool>(context_); }

 private:
  // Listener calls go through Notify: false means the listener destroyed this session, and the
  // caller must return at once without touching a member.
  template <class Call>
  bool Notify(Call&& call);

  void SplitUrls();
  // False when the session ended meanwhile (a failure was reported, or it was destroyed).
  bool SendFileRequest(bool resetTries);
  enum class OpenResult { kOpened, kFailed, kGone };  // kGone: the listener destroyed the session
  OpenResult OpenTargetFile(SessionFileRecord& record);
  void FinishFile();
  void RetryOrFail();
  void Redirect();
  void TearDown();
  void CloseFile();

  void OnConnected(nwListenerCookie /*cookie*/) override {}
  void OnHeaders(nwListenerCookie cookie) override;
  int32_t OnData(nwListenerCookie cookie, const char* data, int32_t length) override;
  void OnComplete(nwListenerCookie cookie) override;
  void OnReadyToSend(nwListenerCookie /*cookie*/) override {}
  void OnClosed(nwListenerCookie cookie) override;
  void OnConnectTimeout(nwListenerCookie cookie) override;
  void OnReceiveTimeout(nwListenerCookie cookie) override;
  void OnUnreachable(nwListenerCookie /*cookie*/) override {}

  IPlatFormSessionEventListener* listener_ = nullptr;
  void* cookie_ = nullptr;
  nvQoSContextPtr context_;
  SessionFileRecord* current_ = nullptr;
  int32_t tries_ = 0;
  int32_t fileIndex_ = 0;
  int32_t fullSpeed_ = 1;
  int64_t sessionBytes_ = 0;
  platform::File file_;
  int32_t urlIndex_ = 0;
  std::string currentUrl_;
  std::string currentPath_;
  std::vector<std::unique_ptr<SessionFileRecord>> records_;
  std::vector<std::string> urls_;
  int32_t redirects_ = 0;  // redirects followed for the current file
};
