#pragma once
// The top layer of every HTTP and HTTPS connection: parses a URL, resolves the host, adds the
// secure socket layer below itself for https, connects, sends one GET (or one multipart POST),
// cuts the response into a header block and a body and reports both to its listener. It decodes
// no transfer or content coding; a response ends at its Content-Length or when the connection
// closes. One layer carries one request.

#include <cstdint>
#include <memory>
#include <string>

#include "core/cpCHostAddressBook.h"
#include "core/nvCString.h"
#include "net/nwCApplicationStack.h"
#include "net/nwCHttpRequestHeaderBuilder.h"
#include "net/nwCHttpResponseHeader.h"

using nwListenerCookie = uintptr_t;

// Every call passes the cookie the listener was set with.
class nwIHttpClientExEventListener {
 public:
  virtual void OnConnected(nwListenerCookie cookie) = 0;
  virtual void OnHeaders(nwListenerCookie cookie) = 0;
  // Body bytes; returns how many were consumed (negative: the connection closes).
  virtual int32_t OnData(nwListenerCookie cookie, const char* data, int32_t length) = 0;
  // Body bytes received have reached a positive Content-Length.
  virtual void OnComplete(nwListenerCookie cookie) = 0;
  virtual void OnReadyToSend(nwListenerCookie cookie) = 0;
  // The connection closed; the layer forgets its listener after this call.
  virtual void OnClosed(nwListenerCookie cookie) = 0;
  virtual void OnConnectTimeout(nwListenerCookie cookie) = 0;
  virtual void OnReceiveTimeout(nwListenerCookie cookie) = 0;
  virtual void OnUnreachable(nwListenerCookie cookie) = 0;

 protected:
  ~nwIHttpClientExEventListener() = default;
};

class nvIHttpClientExLayer : public nvIUnknown {
 public:
  virtual cpStatus SetListener(nwIHttpClientExEventListener* listener, nwListenerCookie cookie) = 0;
  // A URL that cannot be used (bad scheme, no host, a host that does not resolve) answers
  // NW_E_FAIL and, like an unreachable host, ends the connection from the message loop.
  virtual cpStatus OpenUrl(const char* url) = 0;
  virtual cpStatus AddHeader(const char* name, const char* value) = 0;
  virtual cpStatus AddParam(const char* name, const char* value) = 0;
  virtual cpStatus GetStatusCode(int32_t* out) = 0;
  virtual cpStatus GetContentLength(int64_t* out) = 0;
  virtual cpStatus GetHeader(const char* name, nvCString* out) = 0;
  virtual cpStatus GetRawHeader(nvCString* out) = 0;
  // NW_E_FAIL, with nothing queued, before OpenUrl has taken a URL.
  virtual cpStatus SendGet() = 0;
  virtual cpStatus SendPost(int64_t bodyLength) = 0;
  virtual cpStatus SendData(const char* data, uint32_t length) = 0;
};

class nwCHttpClientExLayer final : public nwTLayer<nvIHttpClientExLayer>, private cpIHostResolveListener {
 public:
  // A header block that has not ended after this many bytes is not an HTTP response.
  static constexpr int32_t kMaxHeaderBlock = 64 * 1024;

  nwCHttpClientExLayer();
  ~nwCHttpClientExLayer() override;

  cpStatus SetListener(nwIHttpClientExEventListener* listener, nwListenerCookie cookie) override;
  cpStatus OpenUrl(const char* url) override;
  cpStatus AddHeader(const char* name, const char* value) override;
  cpStatus AddParam(const char* name, const char* value) override;
  cpStatus GetStatusCode(int32_t* out) override;
  cpStatus GetContentLength(int64_t* out) override;
  cpStatus GetHeader(const char* name, nvCString* out) override;
  cpStatus GetRawHeader(nvCString* out) override;
  cpStatus SendGet() override;
  cpStatus SendPost(int64_t bodyLength) override;
  cpStatus SendData(const char* data, uint32_t length) override;

  bool OnConnected() override;
  bool OnHostUnreachable() override;
  void OnShutdown() override;
  bool OnConnectFailed() override;
  bool OnIdleTimeout() override;
  bool OnSendDrained() override;

 private:
  static int32_t ReceiveThunk(const char* data, int32_t length, void* self);
  int32_t Receive(const char* data, int32_t length);
  void OnHostResolved(bool found, uint32_t address) override;
  void ConnectTo(uint32_t address);
  cpStatus Refuse();
  void RegisterHandlers();
  // Copies the pending headers, then the parameters, into `builder`.
  void Fill(nwCHttpRequestHeaderBuilder& builder) const;

  nwIHttpClientExEventListener* listener_ = nullptr;
  nwListenerCookie cookie_ = 0;
  std::unique_ptr<nwCHttpRequestHeaderBuilder> builder_;
  nwCHttpGETHeaderBuilder pending_;  // only holds the pending headers and parameters
  nwCHttpResponseHeader response_;
  std::string path_;
  std::string host_;
  uint16_t port_ = 0;
  bool headerComplete_ = false;
  bool trailerSent_ = false;
  bool shutDown_ = false;
  bool urlOpened_ = false;  // OpenUrl took the URL: requests may be sent
  int64_t bodyReceived_ = 0;
  int64_t uploadPassed_ = 0;
  int64_t uploadLength_ = 0;
};
