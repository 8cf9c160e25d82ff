#pragma once
// Learns the Content-Length of one URL from the headers of a GET: three requests at most (a
// redirect uses one of them), no retry once the host turned out unreachable.

#include <cstdint>
#include <string>

#include "core/nvSmartPtr.h"
#include "net/nwCHttpClientExLayer.h"

// Every report may destroy the session that makes it.
class IContentLengthCheckSessionEventListener {
 public:
  virtual void OnLengthKnown(int32_t fileIndex, int64_t length) = 0;
  // `url` is valid for the call only.
  virtual void OnLengthCheckFailed(int32_t fileIndex, const char* url) = 0;
  virtual void OnLengthCheckHostUnreachable(int32_t fileIndex) = 0;

 protected:
  ~IContentLengthCheckSessionEventListener() = default;
};

class CContentLengthCheckSession final : private nwIHttpClientExEventListener {
 public:
  static constexpr int32_t kIdleLimitSeconds = 3;
  static constexpr int32_t kMaxTries = 3;

  // `text` may list alternatives separated by '|'; only the first is asked.
  CContentLengthCheckSession(IContentLengthCheckSessionEventListener* checker, int32_t fileIndex,
                             const char* text);
  ~CContentLengthCheckSession();
  CContentLengthCheckSession(const CContentLengthCheckSession&) = delete;
  CContentLengthCheckSession& operator=(const CContentLengthCheckSession&) = delete;

  // Sends the next request, or reports the failure once three were used.
  void SendRequest();
  // No further reports.
  void Detach() { checker_ = nullptr; }

 private:
  // Ends the request in flight, if any.
  void Stop();
  // Retries after a time-out of the kind `reason`, then logs it under `tag` ("CT", "RT").
  void RetryAfterTimeout(const char* reason, const char* tag);

  void OnConnected(nwListenerCookie /*cookie*/) override {}
  void OnHeaders(nwListenerCookie cookie) override;
  int32_t OnData(nwListenerCookie /*cookie*/, const char* /*data*/, int32_t length) override {
    return length;
  }
  void OnComplete(nwListenerCookie /*cookie*/) override {}
  void OnReadyToSend(nwListenerCookie /*cookie*/) override {}
  void OnClosed(nwListenerCookie cookie) override;
  void OnConnectTimeout(nwListenerCookie cookie) override;
  void OnReceiveTimeout(nwListenerCookie cookie) override;
  void OnUnreachable(nwListenerCookie cookie) override;

  int32_t tries_ = 0;
  int32_t fileIndex_;
  std::string url_;
  std::string redirectUrl_;
  std::string requestUrl_;  // the target of the request in flight, for relative Locations
  std::string reason_;
  nvQoSContextPtr context_;
  IContentLengthCheckSessionEventListener* checker_;
};
