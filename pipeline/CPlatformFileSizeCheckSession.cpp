#include "pipeline/CPlatformFileSizeCheckSession.h"

#include <utility>

#include "core/cpCQoSContext.h"
#include "net/nwClassIds.h"
#include "net/nwConnection.h"
#include "net/nwHttpLocation.h"
#include "pipeline/DownloadLibTypes.h"
#include "platform/FileSystem.h"

CPlatformFileSizeCheckSession::CPlatformFileSizeCheckSession(
    IPlatformFileSizeCheckSessionEventListener* listener, FreeSpaceFunction freeSpace)
    : listener_(listener), freeSpace_(std::move(freeSpace)) {
  if (!freeSpace_) freeSpace_ = &platform::FreeSpace;
}

CPlatformFileSizeCheckSession::~CPlatformFileSizeCheckSession() {
  listener_ = nullptr;
  TearDown();
}

void CPlatformFileSizeCheckSession::Start(FileSizeRecord* record) {
  if (record == nullptr) return;
  record_ = record;
  urls_ = nwSplitAlternatives(record->urlList);
  // A list without any URL still fails through the normal path (the layer refuses the empty
  // address from the message loop), so Start never reports inside its own call.
  if (urls_.empty()) urls_.emplace_back();
  tries_ = 0;
  urlIndex_ = 0;
  redirects_ = 0;
  currentUrl_ = urls_[0];
  redirectUrl_.clear();
  SendRequest();
}

void CPlatformFileSizeCheckSession::SendRequest() {
  if (tries_ >= kTriesPerUrl) {
    tries_ = 0;
    ++urlIndex_;
    if (urlIndex_ >= static_cast<int32_t>(urls_.size())) {
      Fail(DL_ERR_FAILED);
      return;
    }
    currentUrl_ = urls_[static_cast<size_t>(urlIndex_)];
    redirectUrl_.clear();
    redirects_ = 0;
  }
  if (context_) return;
  requestUrl_ = redirectUrl_.empty() ? currentUrl_ : redirectUrl_;
  // A refused URL is reported from the message loop like an unreachable host.
  context_ = nwOpenHttpExchange(
      {this, requestUrl_, nwConnectionOptions::Timeouts(kConnectTimeoutSeconds, kIdleLimitSeconds)});
  if (context_) ++tries_;
}

void CPlatformFileSizeCheckSession::NextAlternative() {
  tries_ = kTriesPerUrl;
  SendRequest();
}

void CPlatformFileSizeCheckSession::TearDown() { nwReleaseConnection(context_); }

void CPlatformFileSizeCheckSession::ReportSizeKnown() {
  if (IPlatformFileSizeCheckSessionEventListener* listener = listener_) listener->OnFileSizeKnown(this);
}

void CPlatformFileSizeCheckSession::Fail(int32_t code) {
  TearDown();
  // The text lives on this frame: the receiver may destroy the session and its record.
  std::string text = record_ != nullptr ? record_->urlList.substr(0, kMaxFailureText) : std::string();
  if (IPlatformFileSizeCheckSessionEventListener* listener = listener_) {
    listener->OnFileSizeCheckFailed(this, code, text.c_str());
  }
}

void CPlatformFileSizeCheckSession::OnHeaders(nwListenerCookie /*cookie*/) {
  std::optional<nwAnswerHead> head = nwTakeAnswerHead(context_, requestUrl_);
  if (!head) return;
  if (head->status == 200) {
    int64_t freeSpace = freeSpace_(record_->folder).value_or(0);
    if (head->length > 0 && freeSpace > head->length) {
      record_->size = head->length;
      ReportSizeKnown();
    } else if (head->length > 0 && head->length > freeSpace) {
      Fail(DL_NOTE_DISK_FULL);
    } else {
      // No usable length, or a file that would leave the drive without a byte to spare.
      Fail(DL_ERR_FAILED);
    }
    return;
  }
  if (head->status == 302 || head->status == 303) {
    // A redirect nowhere (or down to plain http) and an endless chain are this alternative's
    // failures, as its failed tries are: another mirror may still serve the file.
    if (head->redirect.url.empty() || ++redirects_ > kMaxRedirects) {
      NextAlternative();
      return;
    }
    // A new address gets its own tries, as the download itself gives it.
    redirectUrl_ = head->redirect.url;
    tries_ = 0;
    SendRequest();
    return;
  }
  // The server answered, and it said no: the other alternatives would not change that.
  Fail(DL_ERR_FAILED);
}

int32_t CPlatformFileSizeCheckSession::OnData(nwListenerCookie /*cookie*/, const char* /*data*/,
                                              int32_t length) {
  TearDown();
  return length;
}

void CPlatformFileSizeCheckSession::OnClosed(nwListenerCookie /*cookie*/) {
  TearDown();
  SendRequest();
}

void CPlatformFileSizeCheckSession::CloseContext() {
  // Closing reports OnClosed at once, whose retry may end in a report that destroys this
  // session: hold the connection locally and touch nothing of the session afterwards.
  nvQoSContextPtr context = context_;
  if (context) context->Close();
}

void CPlatformFileSizeCheckSession::OnConnectTimeout(nwListenerCookie /*cookie*/) { CloseContext(); }

void CPlatformFileSizeCheckSession::OnReceiveTimeout(nwListenerCookie /*cookie*/) { CloseContext(); }
