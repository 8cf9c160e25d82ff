#include "pipeline/CPlatformFileSizeCheckSession.h"

#include <utility>

#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "core/nvCGarbageCollector.h"
#include "net/nwClassIds.h"
#include "net/nwHttpLocation.h"
#include "pipeline/DownloadLibTypes.h"
#include "platform/FileSystem.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The alternatives of a URL list, blanks around each removed, empty ones dropped.
std::vector<std::string> SplitAlternatives(const std::string& list) {
  std::vector<std::string> urls;
  std::string::size_type start = 0;
  while (start <= list.size()) {
    std::string::size_type end = list.find('|', start);
    if (end == std::string::npos) end = list.size();
    std::string::size_type first = start;
    std::string::size_type last = end;
    while (first < last && IsBlank(list[first])) ++first;
    while (last > first && IsBlank(list[last - 1])) --last;
    if (last > first) urls.push_back(list.substr(first, last - first));
    start = end + 1;
  }
  return urls;
}

}  // namespace

CPlatformFileSizeCheckSession::CPlatformFileSizeCheckSession(IPlatformFileSizeCheckSessionEventListener* listener,
                                                             FreeSpaceFunction freeSpace)
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
  urls_ = SplitAlternatives(record->urlList);
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

nvIHttpClientExLayer* CPlatformFileSizeCheckSession::Layer() const {
  if (!context_) return nullptr;
  return static_cast<nvIHttpClientExLayer*>(context_.As<nvIQoSContext>()->GetTopLayer());
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
  }
  if (context_) return;
  requestUrl_ = redirectUrl_.empty() ? currentUrl_ : redirectUrl_;

  cpQoSLockGuard lock;
  if (!context_.CreateInstance(CLSID_cpCQoSContext)) return;
  auto* context = context_.As<nvIQoSContext>();
  context->Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED | QOS_EV_IDLE, nullptr);
  context->SetOption(QOS_OPT_CONNECT_TIMEOUT, &kConnectTimeoutSeconds);
  context->SetOption(QOS_OPT_IDLE_LIMIT, &kIdleLimitSeconds);
  context->PushLayer(CLSID_nwCHttpClientExLayer, false);
  nvIHttpClientExLayer* layer = Layer();
  if (layer == nullptr) {
    // Without its layer the connection can never report; drop it rather than wait forever.
    context->Close();
    nvCGarbageCollector::Instance()->DeferRelease(std::move(context_));
    return;
  }
  layer->SetListener(this, 0);
  // A refused URL is reported from the message loop like an unreachable host.
  layer->OpenUrl(requestUrl_.c_str());
  layer->SendGet();
  ++tries_;
}

void CPlatformFileSizeCheckSession::TearDown() {
  if (!context_) return;
  cpQoSLockGuard lock;
  if (nvIHttpClientExLayer* layer = Layer()) layer->SetListener(nullptr, 0);
  context_.As<nvIQoSContext>()->Close();
  nvCGarbageCollector::Instance()->DeferRelease(std::move(context_));
  context_.Attach(nullptr);
}

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
    int64_t freeSpace = freeSpace_(record_->folder).value_or(0);
    if (length > 0 && freeSpace > length) {
      record_->size = length;
      ReportSizeKnown();
    } else if (length > 0 && length > freeSpace) {
      Fail(DL_NOTE_DISK_FULL);
    } else {
      // No usable length, or a file that would leave the drive without a byte to spare.
      Fail(DL_ERR_FAILED);
    }
    return;
  }
  if (status == 302 || status == 303) {
    std::string target = nwResolveLocation(requestUrl_, location.GetBuffer());
    // A redirect nowhere cannot succeed on a retry, and a loop must end.
    if (target.empty() || ++redirects_ > kMaxRedirects) {
      Fail(DL_ERR_FAILED);
      return;
    }
    // A new address gets its own tries, as the download itself gives it.
    redirectUrl_ = target;
    tries_ = 0;
    SendRequest();
    return;
  }
  // The server answered, and it said no: the other alternatives would not change that.
  Fail(DL_ERR_FAILED);
}

int32_t CPlatformFileSizeCheckSession::OnData(nwListenerCookie /*cookie*/, const char* /*data*/, int32_t length) {
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
  nvSmartPtr context = context_;
  if (context) context.As<nvIQoSContext>()->Close();
}

void CPlatformFileSizeCheckSession::OnConnectTimeout(nwListenerCookie /*cookie*/) { CloseContext(); }

void CPlatformFileSizeCheckSession::OnReceiveTimeout(nwListenerCookie /*cookie*/) { CloseContext(); }
