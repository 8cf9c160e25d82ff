#include "pipeline/CDataDownloadSession.h"

#include <algorithm>
#include <cstring>

#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "core/cpCTimer.h"
#include "core/nvCGarbageCollector.h"
#include "net/nwClassIds.h"
#include "net/nwHttpLocation.h"

namespace {

constexpr uint32_t kTickMs = 1000;
constexpr int32_t kTickTag = -1;

}  // namespace

CDataDownloadSession::CDataDownloadSession(IDataDownloadSessionEventListener* listener) : listener_(listener) {}

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

nvIHttpClientExLayer* CDataDownloadSession::Layer() const {
  if (!context_) return nullptr;
  return static_cast<nvIHttpClientExLayer*>(context_.As<nvIQoSContext>()->GetTopLayer());
}

void CDataDownloadSession::SendRequest(const std::string& url) {
  cpQoSLockGuard lock;
  // A new request replaces one still in flight; the old one reports nothing more.
  if (context_) {
    if (nvIHttpClientExLayer* layer = Layer()) layer->SetListener(nullptr, 0);
    context_.As<nvIQoSContext>()->Close();
    nvCGarbageCollector::Instance()->DeferRelease(std::move(context_));
  }
  context_.CreateInstance(CLSID_cpCQoSContext);
  if (!tickTimer_ && tickTimer_.CreateInstance(CLSID_cpCTimer)) {
    tickTimer_.As<cpCTimer>()->Start(kTickMs, &CDataDownloadSession::OnTick, this, kTickTag, nvSmartPtr());
  }
  requestUrl_ = url;
  auto* context = context_.As<nvIQoSContext>();
  context->Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED | QOS_EV_IDLE, nullptr);
  context->SetOption(QOS_OPT_CONNECT_TIMEOUT, &kConnectTimeoutSeconds);
  context->SetOption(QOS_OPT_IDLE_LIMIT, &kIdleLimitSeconds);
  context->PushLayer(CLSID_nwCHttpClientExLayer, false);
  nvIHttpClientExLayer* layer = Layer();
  if (layer == nullptr) {
    Fail(kUnreachable, false);
    return;
  }
  layer->SetListener(this, 0);
  layer->OpenUrl(url.c_str());
  layer->SendGet();
}

void CDataDownloadSession::Stop(bool failed) {
  if (tickTimer_) {
    tickTimer_.As<cpCTimer>()->Stop();
    tickTimer_.Attach(nullptr);
  }
  if (!context_) return;
  cpQoSLockGuard lock;
  auto* context = context_.As<nvIQoSContext>();
  if (failed) context->MarkAddressFailed();
  if (nvIHttpClientExLayer* layer = Layer()) layer->SetListener(nullptr, 0);
  context->Close();
  if (nvCGarbageCollector* collector = nvCGarbageCollector::Instance()) collector->DeferRelease(std::move(context_));
  context_.Attach(nullptr);
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
  if (buffer == nullptr || buffer->data == nullptr || !complete_ || buffer->size != length_ || !buffer_) {
    return DL_ERR_FAILED;
  }
  std::memcpy(buffer->data, buffer_.get(), static_cast<size_t>(length_));
  return DL_OK;
}

void CDataDownloadSession::OnConnected(nwListenerCookie /*cookie*/) { length_ = 0; }

void CDataDownloadSession::OnHeaders(nwListenerCookie /*cookie*/) {
  nvIHttpClientExLayer* layer = Layer();
  if (layer == nullptr) return;
  int32_t status = 0;
  layer->GetStatusCode(&status);
  if (status == 200) {
    int64_t length = 0;
    layer->GetContentLength(&length);
    if (length <= 0 || length > kMaxLength) {
      Fail(kBadResponse, true);
      return;
    }
    // The previous download stays readable until a new one replaces it.
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[static_cast<size_t>(length)]());
    if (!buffer) {
      Fail(kBadResponse, false);
      return;
    }
    buffer_ = std::move(buffer);
    length_ = length;
    received_ = 0;
    complete_ = false;
    return;
  }
  if (status == 302 || status == 303) {
    nvCString location;
    layer->GetHeader("Location:", &location);
    std::string target = nwResolveLocation(requestUrl_, location.GetBuffer());
    if (target.empty() || ++redirects_ > kMaxRedirects) {
      Fail(kBadResponse, true);
      return;
    }
    Stop(false);
    redirectUrl_ = target;
    SendRequest(redirectUrl_);
    return;
  }
  Fail(kBadResponse, true);
}

int32_t CDataDownloadSession::OnData(nwListenerCookie /*cookie*/, const char* data, int32_t length) {
  if (!context_) return 0;
  int64_t room = std::max<int64_t>(length_ - received_, 0);
  int64_t stored = std::min<int64_t>(room, length);
  if (stored > 0 && buffer_) std::memcpy(buffer_.get() + received_, data, static_cast<size_t>(stored));
  received_ += stored;
  return length;
}

void CDataDownloadSession::OnComplete(nwListenerCookie /*cookie*/) {
  Stop(false);
  complete_ = true;
  if (listener_ != nullptr) listener_->OnDataCompleted(buffer_.get(), length_);
}

void CDataDownloadSession::OnClosed(nwListenerCookie /*cookie*/) {
  // Closed before the whole body arrived: a failure, never silence.
  Fail(kClosedEarly, true);
}

void CDataDownloadSession::OnConnectTimeout(nwListenerCookie /*cookie*/) { Fail(kConnectTimeout, false); }

void CDataDownloadSession::OnReceiveTimeout(nwListenerCookie /*cookie*/) { Fail(kReceiveTimeout, false); }

void CDataDownloadSession::OnUnreachable(nwListenerCookie /*cookie*/) { Fail(kUnreachable, false); }
