#include "pipeline/CDataDownloadSession.h"

#include <cstring>

#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "core/cpCTimer.h"
#include "net/nwClassIds.h"
#include "net/nwConnection.h"
#include "net/nwHttpLocation.h"

namespace {

constexpr uint32_t kTickMs = 1000;
constexpr int32_t kTickTag = -1;

}  // namespace

CDataDownloadSession::CDataDownloadSession(IDataDownloadSessionEventListener* listener)
    : listener_(listener) {}

CDataDownloadSession::~CDataDownloadSession() {
  listener_ = nullptr;
  Stop(false);
}

void CDataDownloadSession::StartData(const char* url) {
  if (url == nullptr || url[0] == '\0') return;
  url_ = url;
  redirects_ = 0;
  SendRequest(url_);
}

void CDataDownloadSession::SendRequest(const std::string& url) {
  cpQoSLockGuard lock;
  // A new request replaces one still in flight; the old one reports nothing more.
  nwReleaseConnection(context_);
  if (!tickTimer_) tickTimer_ = cpStartTimer(kTickMs, &CDataDownloadSession::OnTick, this, kTickTag);
  requestUrl_ = url;
  context_ = nwOpenHttpExchange(
      {this, url, nwConnectionOptions::Timeouts(kConnectTimeoutSeconds, kIdleLimitSeconds)});
  if (!context_) Fail(kUnreachable, false);
}

void CDataDownloadSession::Stop(bool failed) {
  cpStopTimer(tickTimer_);
  if (!context_) return;
  cpQoSLockGuard lock;
  if (failed) context_->MarkAddressFailed();
  nwReleaseConnection(context_);
}

void CDataDownloadSession::Fail(int32_t code, bool markAddress) {
  Stop(markAddress);
  if (listener_ != nullptr) listener_->OnDataFailed(code);
}

void CDataDownloadSession::OnTick(void* self) {
  auto* session = static_cast<CDataDownloadSession*>(self);
  if (session->listener_ != nullptr) session->listener_->OnDataTick();
}

int32_t CDataDownloadSession::GetDataSize(int64_t* out) const {
  if (out == nullptr || !complete_ || length_ <= 0) return DL_ERR_FAILED;
  *out = length_;
  return DL_OK;
}

int32_t CDataDownloadSession::GetData(DataBuffer* buffer) const {
  if (buffer == nullptr || buffer->data == nullptr || !complete_ || buffer->size != length_ ||
      !body_.Complete()) {
    return DL_ERR_FAILED;
  }
  std::memcpy(buffer->data, body_.Data(), static_cast<size_t>(length_));
  return DL_OK;
}

void CDataDownloadSession::OnConnected(nwListenerCookie /*cookie*/) { length_ = 0; }

void CDataDownloadSession::OnHeaders(nwListenerCookie /*cookie*/) {
  nvIHttpClientExLayer* layer = nwHttpLayer(context_);
  if (layer == nullptr) return;
  int32_t status = 0;
  layer->GetStatusCode(&status);
  if (status == 200) {
    int64_t length = 0;
    layer->GetContentLength(&length);
    if (length <= 0 || length > nwBodyBuffer::kMaxLength) {
      Fail(kBadResponse, true);
      return;
    }
    // The previous download stays readable until a new one replaces it.
    complete_ = false;
    length_ = length;
    if (!body_.Start(length)) Fail(kBadResponse, false);
    return;
  }
  if (status == 302 || status == 303) {
    nwRedirect redirect = nwReadRedirect(layer, requestUrl_);
    if (redirect.url.empty() || ++redirects_ > kMaxRedirects) {
      Fail(kBadResponse, true);
      return;
    }
    Stop(false);
    redirectUrl_ = redirect.url;
    SendRequest(redirectUrl_);
    return;
  }
  Fail(kBadResponse, true);
}

int32_t CDataDownloadSession::OnData(nwListenerCookie /*cookie*/, const char* data, int32_t length) {
  if (!context_) return 0;
  if (length > 0 && !body_.Append(data, static_cast<size_t>(length))) Fail(kBadResponse, false);
  return length;
}

void CDataDownloadSession::OnComplete(nwListenerCookie /*cookie*/) {
  Stop(false);
  complete_ = true;
  if (listener_ != nullptr) listener_->OnDataCompleted(body_.Data(), length_);
}

void CDataDownloadSession::OnClosed(nwListenerCookie /*cookie*/) {
  // Closed before the whole body arrived: a failure, never silence.
  Fail(kClosedEarly, true);
}

void CDataDownloadSession::OnConnectTimeout(nwListenerCookie /*cookie*/) { Fail(kConnectTimeout, false); }

void CDataDownloadSession::OnReceiveTimeout(nwListenerCookie /*cookie*/) { Fail(kReceiveTimeout, false); }

void CDataDownloadSession::OnUnreachable(nwListenerCookie /*cookie*/) { Fail(kUnreachable, false); }
