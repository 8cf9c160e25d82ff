#pragma once
// One in-memory HTTP download of the self-updater: a signature, a manifest, a digest list or an
// archive, fetched whole and handed to the file it belongs to.

#include <cstdint>
#include <string>

#include "core/nvCGuard.h"
#include "core/nvSmartPtr.h"
#include "net/nwBodyBuffer.h"
#include "net/nwCHttpClientExLayer.h"

class CDownloadSession;
class IProgressFile;

// How a fetch ended: the address, its delivery type and the file's result code.
struct SessionResult {
  std::string address;
  int32_t type = 0;
  int32_t code = 0;
};

// Session error codes.
enum SessionError : int32_t {
  kSessionConnectTimeout = 3,
  kSessionBadStatus = 4,  // not 200, or no length
  kSessionReceiveTimeout = 5,
  kSessionClosedEarly = 6,  // closed before any length was known
  kSessionUnreachable = 7,
};

class IDownloadSessionEventListener {
 public:
  virtual void OnSessionConnected(CDownloadSession* cookie) = 0;
  virtual void OnSessionCompleted(CDownloadSession* cookie, const SessionResult& result) = 0;
  virtual void OnSessionError(CDownloadSession* cookie, int32_t code) = 0;
  virtual void OnArchiveStarted(CDownloadSession* cookie, const std::string& address, int64_t length) = 0;
  virtual void OnArchiveProgress(CDownloadSession* cookie, const std::string& address, int64_t bytes) = 0;
  virtual ~IDownloadSessionEventListener() = default;
};

// Each listener call may destroy the session: after one, the session touches nothing of itself.
class CDownloadSession final : public nvCGuarded, private nwIHttpClientExEventListener {
 public:
  static constexpr int32_t kConnectTimeoutSeconds = 4;
  static constexpr int32_t kIdleLimitSeconds = 4;

  explicit CDownloadSession(IDownloadSessionEventListener* listener);
  ~CDownloadSession();
  CDownloadSession(const CDownloadSession&) = delete;
  CDownloadSession& operator=(const CDownloadSession&) = delete;

  // Fetches what `file` names next. Nothing happens when it names nothing.
  void Start(IProgressFile* file);
  bool Busy() const { return busy_; }
  IProgressFile* File() const { return file_; }
  void DetachFile() { file_ = nullptr; }
  const std::string& Url() const { return url_; }

 private:
  void TearDown();
  void Fail(int32_t code);

  void OnConnected(nwListenerCookie cookie) override;
  void OnHeaders(nwListenerCookie cookie) override;
  int32_t OnData(nwListenerCookie cookie, const char* data, int32_t length) override;
  void OnComplete(nwListenerCookie cookie) override;
  void OnReadyToSend(nwListenerCookie /*cookie*/) override {}
  void OnClosed(nwListenerCookie cookie) override;
  void OnConnectTimeout(nwListenerCookie cookie) override;
  void OnReceiveTimeout(nwListenerCookie cookie) override;
  void OnUnreachable(nwListenerCookie cookie) override;

  IDownloadSessionEventListener* listener_;
  nvQoSContextPtr context_;
  std::string url_;
  nwBodyBuffer body_;
  int64_t contentLength_ = 0;
  IProgressFile* file_ = nullptr;
  bool busy_ = false;
  int32_t type_ = 0;
};
