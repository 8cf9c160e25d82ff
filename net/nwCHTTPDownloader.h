#pragma once
// Downloads whole HTTP(S) resources into memory, several at once, each under a caller-chosen key:
// one connection per request, 200 and 206 accepted, 302 and 303 followed, an unreachable host
// tried three times, the complete body handed to the listener (class id 0x2009).

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/nvSmartPtr.h"
#include "net/nwBodyBuffer.h"
#include "net/nwCHttpClientExLayer.h"

class nwIHTTPDownloaderEventListener {
 public:
  // `data` is valid during the call only.
  virtual void OnDownloaded(int32_t key, int32_t userValue, const char* data, int32_t size) = 0;
  virtual void OnDownloadFailed(int32_t key, int32_t userValue) = 0;
  virtual void OnDownloadUnreachable(int32_t key, int32_t userValue) = 0;

 protected:
  ~nwIHTTPDownloaderEventListener() = default;
};

class nvIHTTPDownloader : public nvIUnknown {
 public:
  virtual cpStatus SetListener(nwIHTTPDownloaderEventListener* listener) = 0;
  virtual cpStatus Download(int32_t key, const char* url, int32_t userValue) = 0;
  // Removes every request with this key, newest first.
  virtual cpStatus Cancel(int32_t key) = 0;
  virtual cpStatus CancelAll() = 0;
};

class nwCHTTPDownloader final : public nvTRefCounted<nvIHTTPDownloader>,
                                private nwIHttpClientExEventListener {
 public:
  static constexpr int32_t kIdleLimitSeconds = 5;
  static constexpr int32_t kUnreachableTries = 3;

  nwCHTTPDownloader() = default;
  ~nwCHTTPDownloader() override;

  cpStatus SetListener(nwIHTTPDownloaderEventListener* listener) override;
  cpStatus Download(int32_t key, const char* url, int32_t userValue) override;
  cpStatus Cancel(int32_t key) override;
  cpStatus CancelAll() override;

  int32_t RequestCount() const { return static_cast<int32_t>(requests_.size()); }
  // Memory held for the bodies of the requests in flight.
  size_t BodyCapacity() const;

 private:
  struct Request {
    int32_t key;
    int32_t userValue;
    int32_t tries;
    int32_t redirects;
    nwBodyBuffer body;  // started by the headers of a 200 or 206
    std::string url;
    nvQoSContextPtr context;
  };

  void Start(int32_t key, const std::string& url, int32_t userValue, int32_t tries, int32_t redirects);
  void RemoveRequest(Request* request);
  void FailRequest(Request* request);
  Request* Find(nwListenerCookie cookie) const;

  void OnConnected(nwListenerCookie /*cookie*/) override {}
  void OnHeaders(nwListenerCookie cookie) override;
  int32_t OnData(nwListenerCookie cookie, const char* data, int32_t length) override;
  void OnComplete(nwListenerCookie cookie) override;
  void OnReadyToSend(nwListenerCookie /*cookie*/) override {}
  void OnClosed(nwListenerCookie cookie) override;
  void OnConnectTimeout(nwListenerCookie cookie) override;
  void OnReceiveTimeout(nwListenerCookie cookie) override;
  void OnUnreachable(nwListenerCookie cookie) override;

  nwIHTTPDownloaderEventListener* listener_ = nullptr;
  std::vector<std::unique_ptr<Request>> requests_;  // in start order
};
