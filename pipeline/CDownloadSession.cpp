#include "pipeline/CDownloadSession.h"

#include <algorithm>

#include "core/cpCQoS.h"
#include "net/nwConnection.h"
#include "pipeline/CDownloadFile.h"

CDownloadSession::CDownloadSession(IDownloadSessionEventListener* listener) : listener_(listener) {}

CDownloadSession::~CDownloadSession() { TearDown(); }

void CDownloadSession::Start(IProgressFile* file) {
  std::string address;
  if (file == nullptr || !file->GetUrl(address) || address.empty()) return;
  TearDown();
  file_ = file;
  url_ = address;
  busy_ = true;
  type_ = file->GetDeliveryType(address);
  contentLength_ = 0;
  context_ = nwOpenHttpExchange(
      {this, url_, nwConnectionOptions::Timeouts(kConnectTimeoutSeconds, kIdleLimitSeconds)});
  if (!context_) Fail(kSessionUnreachable);
}

void CDownloadSession::TearDown() { nwReleaseConnection(context_); }

void CDownloadSession::Fail(int32_t code) {
  busy_ = false;
  TearDown();
  listener_->OnSessionError(this, code);
}

void CDownloadSession::OnConnected(nwListenerCookie /*cookie*/) {
  contentLength_ = 0;
  listener_->OnSessionConnected(this);
}

void CDownloadSession::OnHeaders(nwListenerCookie /*cookie*/) {
  nvIHttpClientExLayer* layer = nwHttpLayer(context_);
  int32_t status = 0;
  int64_t length = 0;
  if (layer != nullptr) {
    layer->GetStatusCode(&status);
    layer->GetContentLength(&length);
  }
  // A body too large for memory is refused before anything is allocated.
  if (status != 200 || length <= 0 || !body_.Start(length)) {
    Fail(kSessionBadStatus);
    return;
  }
  contentLength_ = length;
  if (type_ == kDeliveryArchive) listener_->OnArchiveStarted(this, url_, length);
}

int32_t CDownloadSession::OnData(nwListenerCookie /*cookie*/, const char* data, int32_t length) {
  if (!context_ || !busy_ || length <= 0) return 0;
  // The answer's own length bounds what is kept: bytes past it are not part of the body.
  const int64_t room = contentLength_ - body_.Size();
  const int32_t taken = static_cast<int32_t>(std::min<int64_t>(length, room));
  if (taken > 0 && !body_.Append(data, static_cast<size_t>(taken))) {
    Fail(kSessionBadStatus);
    return length;
  }
  if (type_ == kDeliveryArchive) {
    nvCGuard alive(*this);
    listener_->OnArchiveProgress(this, url_, body_.Size());
    if (!alive) return length;
  }
  return length;
}

void CDownloadSession::OnComplete(nwListenerCookie /*cookie*/) {
  if (!busy_) return;
  int32_t type = type_;
  int32_t code = kUpdateBadArguments;
  nvCGuard alive(*this);
  if (file_ != nullptr && body_.Complete())
    code = file_->DeliverBody(url_, body_.Data(), contentLength_, &type);
  if (!alive) return;
  busy_ = false;
  TearDown();
  if (file_ != nullptr && !file_->IsFinished()) {
    // The digest list or the signature came first; the file's own body follows on this session.
    Start(file_);
    return;
  }
  listener_->OnSessionCompleted(this, SessionResult{url_, type, code});
}

void CDownloadSession::OnClosed(nwListenerCookie /*cookie*/) {
  if (!busy_) return;
  // Closed after the head but before the body's end: a failed try, like a stalled answer.
  Fail(contentLength_ == 0 ? kSessionClosedEarly : kSessionReceiveTimeout);
}

void CDownloadSession::OnConnectTimeout(nwListenerCookie /*cookie*/) { Fail(kSessionConnectTimeout); }

void CDownloadSession::OnReceiveTimeout(nwListenerCookie /*cookie*/) { Fail(kSessionReceiveTimeout); }

void CDownloadSession::OnUnreachable(nwListenerCookie /*cookie*/) { Fail(kSessionUnreachable); }
