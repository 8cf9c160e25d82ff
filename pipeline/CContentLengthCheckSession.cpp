#include "pipeline/CContentLengthCheckSession.h"

#include <utility>

#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "core/nvCGarbageCollector.h"
#include "net/nwClassIds.h"
#include "net/nwHttpLocation.h"
#include "pipeline/Log.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The first alternative of `text`, without blanks around it.
std::string FirstAlternative(const char* text) {
  std::string url = text != nullptr ? text : "";
  url = url.substr(0, url.find('|'));
  std::string::size_type first = 0;
  std::string::size_type last = url.size();
  while (first < last && IsBlank(url[first])) ++first;
  while (last > first && IsBlank(url[last - 1])) --last;
  return url.substr(first, last - first);
}

}  // namespace

CContentLengthCheckSession::CContentLengthCheckSession(IContentLengthCheckSessionEventListener* checker,
                                                       int32_t fileIndex, const char* text)
    : fileIndex_(fileIndex), url_(FirstAlternative(text)), checker_(checker) {}

CContentLengthCheckSession::~CContentLengthCheckSession() {
  checker_ = nullptr;
  Stop();
}

nvIHttpClientExLayer* CContentLengthCheckSession::Layer() const {
  if (!context_) return nullptr;
  return static_cast<nvIHttpClientExLayer*>(context_.As<nvIQoSContext>()->GetTopLayer());
}

void CContentLengthCheckSession::Stop() {
  cpQoSLockGuard lock;
  TearDown();
}

void CContentLengthCheckSession::TearDown() {
  if (!context_) return;
  if (nvIHttpClientExLayer* layer = Layer()) layer->SetListener(nullptr, 0);
  context_.As<nvIQoSContext>()->Close();
  nvCGarbageCollector::Instance()->DeferRelease(std::move(context_));
  context_.Attach(nullptr);
}

void CContentLengthCheckSession::SendRequest() {
  cpQoSLockGuard lock;
  int32_t tried = tries_;
  tries_ += 1;
  if (tried < kMaxTries) {
    if (context_) return;
    requestUrl_ = redirectUrl_.empty() ? url_ : redirectUrl_;
    if (!context_.CreateInstance(CLSID_cpCQoSContext)) return;
    auto* context = context_.As<nvIQoSContext>();
    context->Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED | QOS_EV_IDLE, nullptr);
    context->PushLayer(CLSID_nwCHttpClientExLayer, false);
    context->SetOption(QOS_OPT_IDLE_LIMIT, &kIdleLimitSeconds);
    nvIHttpClientExLayer* layer = Layer();
    if (layer == nullptr) {
      // Without its layer the connection can never report; drop it rather than wait forever.
      TearDown();
      return;
    }
    layer->SetListener(this, 0);
    // A refused URL is reported from the message loop like an unreachable host.
    layer->OpenUrl(requestUrl_.c_str());
    layer->SendGet();
    return;
  }
  LogFormat("[TessenLib] ContentLength Check Failed reason:%s file:%d url:%s", reason_.c_str(), fileIndex_,
            url_.c_str());
  // The URL lives on this frame: the receiver may destroy the session.
  std::string url = url_;
  int32_t fileIndex = fileIndex_;
  if (IContentLengthCheckSessionEventListener* checker = checker_) checker->OnLengthCheckFailed(fileIndex, url.c_str());
}

void CContentLengthCheckSession::OnHeaders(nwListenerCookie /*cookie*/) {
  cpQoSLockGuard lock;
  nvIHttpClientExLayer* layer = Layer();
  if (layer == nullptr) return;
  int32_t status = 0;
  int64_t length = 0;
  nvCString location;
  layer->GetStatusCode(&status);
  layer->GetContentLength(&length);
  layer->GetHeader("Location:", &location);
  TearDown();

  if (status == 200) {
    length_ = length;
    if (IContentLengthCheckSessionEventListener* checker = checker_) checker->OnLengthKnown(fileIndex_, length);
    return;
  }
  reason_ = "ResCode:" + std::to_string(status);
  if (status == 302 || status == 303) redirectUrl_ = nwResolveLocation(requestUrl_, location.GetBuffer());
  SendRequest();
}

void CContentLengthCheckSession::OnClosed(nwListenerCookie /*cookie*/) {
  reason_ = "Closed";
  Stop();
  SendRequest();
}

void CContentLengthCheckSession::OnConnectTimeout(nwListenerCookie /*cookie*/) {
  reason_ = "ConnectTimeout";
  Stop();
  int32_t fileIndex = fileIndex_;  // the request below may end in a report that destroys the session
  SendRequest();
  LogFormat("[TessenLib] CLCS CT(file:%d)", fileIndex);
}

void CContentLengthCheckSession::OnReceiveTimeout(nwListenerCookie /*cookie*/) {
  reason_ = "RecvTimeout";
  Stop();
  int32_t fileIndex = fileIndex_;  // the request below may end in a report that destroys the session
  SendRequest();
  LogFormat("[TessenLib] CLCS RT(file:%d)", fileIndex);
}

void CContentLengthCheckSession::OnUnreachable(nwListenerCookie /*cookie*/) {
  reason_ = "HostUnreach";
  Stop();
  LogFormat("[TessenLib] CLCS HU(file:%d)", fileIndex_);
  if (IContentLengthCheckSessionEventListener* checker = checker_) checker->OnLengthCheckHostUnreachable(fileIndex_);
}
