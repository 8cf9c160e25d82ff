#include "pipeline/CContentLengthCheckSession.h"

#include <utility>
#include <vector>

#include "core/cpCQoS.h"
#include "net/nwClassIds.h"
#include "net/nwConnection.h"
#include "net/nwHttpLocation.h"
#include "pipeline/Log.h"

namespace {

// The first alternative of `text`, split as the download splits it.
std::string FirstAlternative(const char* text) {
  std::vector<std::string> urls = nwSplitAlternatives(text != nullptr ? text : "");
  return urls.empty() ? std::string() : urls.front();
}

}  // namespace

CContentLengthCheckSession::CContentLengthCheckSession(IContentLengthCheckSessionEventListener* checker,
                                                       int32_t fileIndex, const char* text)
    : fileIndex_(fileIndex), url_(FirstAlternative(text)), checker_(checker) {}

CContentLengthCheckSession::~CContentLengthCheckSession() {
  checker_ = nullptr;
  Stop();
}

void CContentLengthCheckSession::Stop() { nwReleaseConnection(context_); }

void CContentLengthCheckSession::SendRequest() {
  cpQoSLockGuard lock;
  int32_t tried = tries_;
  tries_ += 1;
  if (tried < kMaxTries) {
    if (context_) return;
    requestUrl_ = redirectUrl_.empty() ? url_ : redirectUrl_;
    // A refused URL is reported from the message loop like an unreachable host.
    context_ = nwOpenHttpExchange(
        {this, requestUrl_, nwConnectionOptions::Timeouts(std::nullopt, kIdleLimitSeconds)});
    return;
  }
  LogFormat("[TessenLib] ContentLength Check Failed reason:%s file:%d url:%s", reason_.c_str(), fileIndex_,
            url_.c_str());
  // The URL lives on this frame: the receiver may destroy the session.
  std::string url = url_;
  int32_t fileIndex = fileIndex_;
  if (IContentLengthCheckSessionEventListener* checker = checker_)
    checker->OnLengthCheckFailed(fileIndex, url.c_str());
}

void CContentLengthCheckSession::OnHeaders(nwListenerCookie /*cookie*/) {
  cpQoSLockGuard lock;
  std::optional<nwAnswerHead> head = nwTakeAnswerHead(context_, requestUrl_);
  if (!head) return;
  if (head->status == 200) {
    if (IContentLengthCheckSessionEventListener* checker = checker_)
      checker->OnLengthKnown(fileIndex_, head->length);
    return;
  }
  reason_ = "ResCode:" + std::to_string(head->status);
  // A redirect nowhere (or down to plain http) asks the original address again.
  if (head->status == 302 || head->status == 303) redirectUrl_ = head->redirect.url;
  SendRequest();
}

void CContentLengthCheckSession::OnClosed(nwListenerCookie /*cookie*/) {
  reason_ = "Closed";
  Stop();
  SendRequest();
}

void CContentLengthCheckSession::RetryAfterTimeout(const char* reason, const char* tag) {
  reason_ = reason;
  Stop();
  int32_t fileIndex = fileIndex_;  // the request below may end in a report that destroys the session
  SendRequest();
  LogFormat("[TessenLib] CLCS %s(file:%d)", tag, fileIndex);
}

void CContentLengthCheckSession::OnConnectTimeout(nwListenerCookie /*cookie*/) {
  RetryAfterTimeout("ConnectTimeout", "CT");
}

void CContentLengthCheckSession::OnReceiveTimeout(nwListenerCookie /*cookie*/) {
  RetryAfterTimeout("RecvTimeout", "RT");
}

void CContentLengthCheckSession::OnUnreachable(nwListenerCookie /*cookie*/) {
  reason_ = "HostUnreach";
  Stop();
  LogFormat("[TessenLib] CLCS HU(file:%d)", fileIndex_);
  if (IContentLengthCheckSessionEventListener* checker = checker_)
    checker->OnLengthCheckHostUnreachable(fileIndex_);
}
