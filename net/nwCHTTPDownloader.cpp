#include "net/nwCHTTPDownloader.h"

#include <algorithm>

#include "core/cpCQoS.h"
#include "net/nwClassIds.h"
#include "net/nwConnection.h"
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

void nwCHTTPDownloader::Start(int32_t key, const std::string& url, int32_t userValue, int32_t tries,
                              int32_t redirects) {
  auto request = std::make_unique<Request>();
  request->key = key;
  request->userValue = userValue;
  request->tries = tries;
  request->redirects = redirects;
  request->url = url;
  Request* started = request.get();
  requests_.push_back(std::move(request));
  // The GET waits in the send queue until the connection is up.
  nwHttpExchangeOptions options(this, url, nwConnectionOptions::Timeouts(std::nullopt, kIdleLimitSeconds));
  options.cookie = reinterpret_cast<nwListenerCookie>(started);
  started->context = nwOpenHttpExchange(options);
}

size_t nwCHTTPDownloader::BodyCapacity() const {
  size_t capacity = 0;
  for (const auto& request : requests_) capacity += request->body.Capacity();
  return capacity;
}

void nwCHTTPDownloader::RemoveRequest(Request* request) {
  cpQoSLockGuard lock;
  auto it = std::find_if(requests_.begin(), requests_.end(),
                         [request](const std::unique_ptr<Request>& r) { return r.get() == request; });
  if (it == requests_.end()) return;
  std::unique_ptr<Request> removed = std::move(*it);
  requests_.erase(it);
  nwReleaseConnection(removed->context);
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
  nvIHttpClientExLayer* layer = request != nullptr ? nwHttpLayer(request->context) : nullptr;
  if (layer == nullptr) return;
  int32_t status = 0;
  layer->GetStatusCode(&status);
  if (status == 200 || status == 206) {
    int64_t length = 0;
    layer->GetContentLength(&length);
    // A missing, empty or oversized length fails here, before anything is allocated.
    if (!request->body.Started() && !request->body.Start(length)) FailRequest(request);
    return;
  }
  if (status == 302 || status == 303) {
    nwRedirect redirect = nwReadRedirect(layer, request->url);
    if (redirect.url.empty() || request->redirects >= kMaxRedirects) {
      FailRequest(request);
      return;
    }
    int32_t key = request->key;
    int32_t userValue = request->userValue;
    int32_t redirects = request->redirects + 1;
    RemoveRequest(request);
    Start(key, redirect.url, userValue, 0, redirects);
    return;
  }
  FailRequest(request);
}

int32_t nwCHTTPDownloader::OnData(nwListenerCookie cookie, const char* data, int32_t length) {
  Request* request = Find(cookie);
  if (request == nullptr) return length;
  if (!request->body.Started() || (length > 0 && !request->body.Append(data, static_cast<size_t>(length)))) {
    FailRequest(request);
  }
  return length;
}

void nwCHTTPDownloader::OnComplete(nwListenerCookie cookie) {
  Request* request = Find(cookie);
  if (request == nullptr) return;
  if (!request->body.Complete()) {
    FailRequest(request);
    return;
  }
  int32_t key = request->key;
  int32_t userValue = request->userValue;
  nwBodyBuffer body = std::move(request->body);
  RemoveRequest(request);
  if (listener_ != nullptr)
    listener_->OnDownloaded(key, userValue, body.Data(), static_cast<int32_t>(body.Size()));
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
