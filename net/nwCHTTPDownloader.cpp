#include "net/nwCHTTPDownloader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "core/nvCGarbageCollector.h"
#include "net/nwClassIds.h"
#include "net/nwHttpLocation.h"

nwCHTTPDownloader::~nwCHTTPDownloader() {
  listener_ = nullptr;
  CancelAll();
}

cpStatus nwCHTTPDownloader::SetListener(nwIHTTPDownloaderEventListener* listener) {
  listener_ = listener;
  return NW_S_OK;
}

cpStatus nwCHTTPDownloader::Download(int32_t key, const char* url, int32_t userValue) {
  Start(key, url != nullptr ? url : "", userValue, 0, 0);
  return NW_S_OK;
}

nwCHTTPDownloader::Request* nwCHTTPDownloader::Start(int32_t key, const std::string& url, int32_t userValue,
                                                     int32_t tries, int32_t redirects) {
  auto request = std::make_unique<Request>();
  request->key = key;
  request->userValue = userValue;
  request->tries = tries;
  request->redirects = redirects;
  request->url = url;
  Request* started = request.get();
  requests_.push_back(std::move(request));
  cpQoSLockGuard lock;
  StartRequest(started);
  if (nvIHttpClientExLayer* layer = Layer(*started)) layer->SendGet();
  return started;
}

nvIHttpClientExLayer* nwCHTTPDownloader::Layer(const Request& request) {
  if (!request.context) return nullptr;
  return static_cast<nvIHttpClientExLayer*>(request.context.As<nvIQoSContext>()->GetTopLayer());
}

void nwCHTTPDownloader::StartRequest(Request* request) {
  request->context.CreateInstance(CLSID_cpCQoSContext);
  auto* context = request->context.As<nvIQoSContext>();
  context->Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED | QOS_EV_IDLE, nullptr);
  context->PushLayer(CLSID_nwCHttpClientExLayer, false);
  context->SetOption(QOS_OPT_IDLE_LIMIT, &kIdleLimitSeconds);
  if (nvIHttpClientExLayer* layer = Layer(*request)) {
    layer->SetListener(this, reinterpret_cast<nwListenerCookie>(request));
    layer->OpenUrl(request->url.c_str());
  }
}

void nwCHTTPDownloader::RemoveRequest(Request* request) {
  cpQoSLockGuard lock;
  auto it = std::find_if(requests_.begin(), requests_.end(),
                         [request](const std::unique_ptr<Request>& r) { return r.get() == request; });
  if (it == requests_.end()) return;
  std::unique_ptr<Request> removed = std::move(*it);
  requests_.erase(it);
  if (removed->context) {
    if (nvIHttpClientExLayer* layer = Layer(*removed)) layer->SetListener(nullptr, 0);
    removed->context.As<nvIQoSContext>()->Close();
    nvCGarbageCollector::Instance()->DeferRelease(std::move(removed->context));
  }
}

void nwCHTTPDownloader::FailRequest(Request* request) {
  int32_t key = request->key;
  int32_t userValue = request->userValue;
  RemoveRequest(request);
  if (listener_ != nullptr) listener_->OnDownloadFailed(key, userValue);
}

cpStatus nwCHTTPDownloader::Cancel(int32_t key) {
  for (size_t i = requests_.size(); i-- > 0;) {
    if (i < requests_.size() && requests_[i]->key == key) RemoveRequest(requests_[i].get());
  }
  return NW_S_OK;
}

cpStatus nwCHTTPDownloader::CancelAll() {
  while (!requests_.empty()) RemoveRequest(requests_.back().get());
  return NW_S_OK;
}

nwCHTTPDownloader::Request* nwCHTTPDownloader::Find(nwListenerCookie cookie) const {
  for (const auto& request : requests_) {
    if (reinterpret_cast<nwListenerCookie>(request.get()) == cookie) return request.get();
  }
  return nullptr;
}

void nwCHTTPDownloader::OnHeaders(nwListenerCookie cookie) {
  Request* request = Find(cookie);
  nvIHttpClientExLayer* layer = request != nullptr ? Layer(*request) : nullptr;
  if (layer == nullptr) return;
  int32_t status = 0;
  layer->GetStatusCode(&status);
  if (status == 200 || status == 206) {
    int64_t length = 0;
    layer->GetContentLength(&length);
    if (length <= 0 || length > kMaxBody) {
      FailRequest(request);
      return;
    }
    if (!request->body) {
      request->body.reset(new (std::nothrow) char[static_cast<size_t>(length)]());
      if (!request->body) {
        FailRequest(request);
        return;
      }
      request->size = static_cast<int32_t>(length);
    }
    return;
  }
  if (status == 302 || status == 303) {
    nvCString location;
    layer->GetHeader("Location:", &location);
    std::string target = nwResolveLocation(request->url, location.GetBuffer());
    if (target.empty() || request->redirects >= kMaxRedirects) {
      FailRequest(request);
      return;
    }
    int32_t key = request->key;
    int32_t userValue = request->userValue;
    int32_t redirects = request->redirects + 1;
    RemoveRequest(request);
    Start(key, target, userValue, 0, redirects);
    return;
  }
  FailRequest(request);
}

int32_t nwCHTTPDownloader::OnData(nwListenerCookie cookie, const char* data, int32_t length) {
  Request* request = Find(cookie);
  if (request == nullptr) return length;
  if (!request->body) {
    FailRequest(request);
    return length;
  }
  // Never beyond the buffer: bytes past the announced length are not stored.
  int32_t room = std::max(request->size - request->received, 0);
  int32_t stored = std::min(room, length);
  if (stored > 0) std::memcpy(request->body.get() + request->received, data, static_cast<size_t>(stored));
  request->received += stored;
  return length;
}

void nwCHTTPDownloader::OnComplete(nwListenerCookie cookie) {
  Request* request = Find(cookie);
  if (request == nullptr) return;
  if (!request->body) {
    FailRequest(request);
    return;
  }
  int32_t key = request->key;
  int32_t userValue = request->userValue;
  int32_t size = request->size;
  std::unique_ptr<char[]> body = std::move(request->body);
  RemoveRequest(request);
  if (listener_ != nullptr) listener_->OnDownloaded(key, userValue, body.get(), size);
}

void nwCHTTPDownloader::OnUnreachable(nwListenerCookie cookie) {
  Request* request = Find(cookie);
  if (request == nullptr) return;
  int32_t key = request->key;
  int32_t userValue = request->userValue;
  int32_t tries = request->tries + 1;
  int32_t redirects = request->redirects;
  std::string url = request->url;
  RemoveRequest(request);
  if (tries < kUnreachableTries) {
    Start(key, url, userValue, tries, redirects);
  } else if (listener_ != nullptr) {
    listener_->OnDownloadUnreachable(key, userValue);
  }
}

void nwCHTTPDownloader::OnClosed(nwListenerCookie cookie) {
  if (Request* request = Find(cookie)) FailRequest(request);
}

void nwCHTTPDownloader::OnConnectTimeout(nwListenerCookie cookie) {
  if (Request* request = Find(cookie)) FailRequest(request);
}

void nwCHTTPDownloader::OnReceiveTimeout(nwListenerCookie cookie) {
  if (Request* request = Find(cookie)) FailRequest(request);
}
