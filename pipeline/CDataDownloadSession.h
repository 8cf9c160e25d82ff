#pragma once
// Downloads one small resource (the file list) into memory. There is no retry: every failure is
// reported once, with its code.

#include <cstdint>
#include <memory>
#include <string>

#include "core/cpCTimer.h"
#include "core/nvSmartPtr.h"
#include "net/nwBodyBuffer.h"
#include "net/nwCHttpClientExLayer.h"
#include "pipeline/DownloadLibTypes.h"

class IDataDownloadSessionEventListener {
 public:
  virtual void OnDataCompleted(const char* buffer, int64_t length) = 0;
  virtual void OnDataFailed(int32_t code) = 0;
  virtual void OnDataTick() = 0;

 protected:
  ~IDataDownloadSessionEventListener() = default;
};

class CDataDownloadSession final : private nwIHttpClientExEventListener {
 public:
  enum FailureCode : int32_t {
    kConnectTimeout = 3,
    kBadResponse = 4,  // not 200/302/303, no positive or an oversized length, a redirect nowhere
    kReceiveTimeout = 5,
    kClosedEarly = 6,  // the connection closed before the whole body arrived
    kUnreachable = 7,
  };
  static constexpr int32_t kConnectTimeoutSeconds = 4;
  static constexpr int32_t kIdleLimitSeconds = 4;

  explicit CDataDownloadSession(IDataDownloadSessionEventListener* listener);
  ~CDataDownloadSession();
  CDataDownloadSession(const CDataDownloadSession&) = delete;
  CDataDownloadSession& operator=(const CDataDownloadSession&) = delete;

  // An empty URL does nothing.
  void StartData(const char* url);
  // The size and bytes of the last completed download (517 while none is complete).
  int32_t GetDataSize(int64_t* out) const;
  // 517 unless the destination is set and its size equals the downloaded size.
  int32_t GetData(DataBuffer* buffer) const;
  // Memory held for the body of the last download.
  size_t BodyCapacity() const { return body_.Capacity(); }

 private:
  void SendRequest(const std::string& url);
  void Stop(bool failed);
  void Fail(int32_t code, bool markAddress);
  static void OnTick(void* self);

  void OnConnected(nwListenerCookie cookie) override;
  void OnHeaders(nwListenerCookie cookie) override;
  int32_t OnData(nwListenerCookie cookie, const char* data, int32_t length) override;
  void OnComplete(nwListenerCookie cookie) override;
  void OnReadyToSend(nwListenerCookie /*cookie*/) override {}
  void OnClosed(nwListenerCookie cookie) override;
  void OnConnectTimeout(nwListenerCookie cookie) override;
  void OnReceiveTimeout(nwListenerCookie cookie) override;
  void OnUnreachable(nwListenerCookie cookie) override;

  IDataDownloadSessionEventListener* listener_;
  nwBodyBuffer body_;  // a body too large for memory is refused before anything is allocated
  int64_t length_ = 0;
  bool complete_ = false;
  cpCTimerPtr tickTimer_;
  nvQoSContextPtr context_;
  std::string url_;
  std::string requestUrl_;
  std::string redirectUrl_;
  int redirects_ = 0;
};
