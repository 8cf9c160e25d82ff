#include "net/nwCHttpClientExLayer.h"

#include <algorithm>
#include <cctype>

#include "core/cpSocket.h"
#include "net/nwClassIds.h"

namespace {

constexpr uint16_t kHttpPort = 80;
constexpr uint16_t kHttpsPort = 443;

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t length = std::char_traits<char>::length(prefix);
  if (text.size() < length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

nwCHttpClientExLayer::nwCHttpClientExLayer() { RegisterHandlers(); }

nwCHttpClientExLayer::~nwCHttpClientExLayer() = default;

void nwCHttpClientExLayer::RegisterHandlers() { Dispatcher().SetRawHandler(&ReceiveThunk, this); }

cpStatus nwCHttpClientExLayer::SetListener(nwIHttpClientExEventListener* listener, nwListenerCookie cookie) {
  listener_ = listener;
  cookie_ = cookie;
  return NW_S_OK;
}

cpStatus nwCHttpClientExLayer::Refuse() {
  // The caller hears of it from the message loop, as of any host it cannot reach.
  if (context != nullptr) context->PostUnreachable();
  return NW_E_FAIL;
}

cpStatus nwCHttpClientExLayer::OpenUrl(const char* url) {
  if (url == nullptr || url[0] == '\0') return Refuse();
  std::string text(url);
  bool secure = false;
  uint16_t defaultPort = kHttpPort;
  std::string rest;
  if (StartsWithNoCase(text, "http://")) {
    rest = text.substr(7);
  } else if (StartsWithNoCase(text, "https://")) {
    rest = text.substr(8);
    secure = true;
    defaultPort = kHttpsPort;
  } else {
    return Refuse();
  }
  if (rest.empty()) return Refuse();

  std::string::size_type slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  path_ = slash == std::string::npos ? std::string() : rest.substr(slash);
  std::string::size_type colon = authority.find(':');
  host_ = authority.substr(0, colon);
  port_ = defaultPort;
  if (colon != std::string::npos) {
    uint32_t port = 0;
    for (size_t i = colon + 1; i < authority.size() && std::isdigit(static_cast<unsigned char>(authority[i]));
         ++i) {
      port = (port * 10 + static_cast<uint32_t>(authority[i] - '0')) & 0xFFFFu;
    }
    port_ = static_cast<uint16_t>(port);
  }
  if (host_.empty()) return Refuse();

  // Before anything can be sent: the request must never leave unencrypted for https.
  if (secure && cpFailed(FindLayer(CLSID_nwCSecureSocketClientLayer, nullptr)) &&
      cpFailed(PushLayer(CLSID_nwCSecureSocketClientLayer, true))) {
    return Refuse();
  }
  pending_.SetHeader("Host", host_.c_str());
  RemoveEvents(QOS_EV_SEND_DRAINED);
  if (cpFailed(SetHostName(host_.c_str()))) return Refuse();

  uint32_t address = 0;
  switch (cpAddressBookPickAsync(host_.c_str(), port_, &address, this,
                                 nvSmartPtr(static_cast<nvIHttpClientExLayer*>(this)))) {
    case cpPickResult::kFound:
      urlOpened_ = true;
      ConnectTo(address);
      return NW_S_OK;
    case cpPickResult::kPending:
      urlOpened_ = true;
      return NW_S_OK;
    case cpPickResult::kNotFound:
    default:
      return Refuse();
  }
}

void nwCHttpClientExLayer::OnHostResolved(bool found, uint32_t address) {
  if (shutDown_ || context == nullptr) return;
  if (!found) {
    context->PostUnreachable();
    return;
  }
  ConnectTo(address);
}

void nwCHttpClientExLayer::ConnectTo(uint32_t address) {
  cpAddress target;
  target.address = address;
  target.port = port_;
  SetAddress(&target);
  Connect(&target);
}

cpStatus nwCHttpClientExLayer::AddHeader(const char* name, const char* value) {
  if (name == nullptr || name[0] == '\0' || value == nullptr || value[0] == '\0') return NW_E_FAIL;
  return cpFailed(pending_.SetHeader(name, value)) ? NW_E_FAIL : NW_S_OK;
}

cpStatus nwCHttpClientExLayer::AddParam(const char* name, const char* value) {
  if (name == nullptr || name[0] == '\0' || value == nullptr || value[0] == '\0') return NW_E_FAIL;
  return cpFailed(pending_.SetParam(name, value)) ? NW_E_FAIL : NW_S_OK;
}

cpStatus nwCHttpClientExLayer::GetStatusCode(int32_t* out) {
  if (out == nullptr) return NW_E_FAIL;
  *out = response_.GetStatusCode();
  return NW_S_OK;
}

cpStatus nwCHttpClientExLayer::GetContentLength(int64_t* out) {
  if (out == nullptr) return NW_E_FAIL;
  *out = response_.GetContentLength();
  return NW_S_OK;
}

cpStatus nwCHttpClientExLayer::GetHeader(const char* name, nvCString* out) {
  if (name == nullptr || name[0] == '\0' || out == nullptr) return NW_E_FAIL;
  const std::string* value = response_.GetHeader(name);
  if (value == nullptr) return NW_E_FAIL;
  out->Assign(value->c_str());
  return NW_S_OK;
}

cpStatus nwCHttpClientExLayer::GetRawHeader(nvCString* out) {
  if (out == nullptr || !response_.IsReceived()) return NW_E_FAIL;
  out->Assign(response_.RawText().c_str());
  return NW_S_OK;
}

void nwCHttpClientExLayer::Fill(nwCHttpRequestHeaderBuilder& builder) const {
  for (const nwHttpField& field : pending_.Headers())
    builder.SetHeader(field.name.GetBuffer(), field.value.GetBuffer());
  for (const nwHttpField& field : pending_.Params())
    builder.SetParam(field.name.GetBuffer(), field.value.GetBuffer());
}

cpStatus nwCHttpClientExLayer::SendGet() {
  // Before the URL is open no request may be queued: a TLS layer pushed later would sit below
  // it, and it would leave in the clear.
  if (!urlOpened_) return NW_E_FAIL;
  if (builder_) return NW_S_OK;  // one request per layer
  builder_ = std::make_unique<nwCHttpGETHeaderBuilder>();
  // The URL's query becomes parameters before the pending ones are copied, so that a parameter
  // given with AddParam overrides one of the same name from the URL.
  builder_->SetHeader("GET", path_.c_str());
  Fill(*builder_);
  nvCString request;
  if (cpFailed(builder_->BuildRequest(&request))) return NW_E_FAIL;
  cpDataRef data{request.GetBuffer(), static_cast<int32_t>(request.GetLength())};
  PassDown(&data);
  return NW_S_OK;
}

cpStatus nwCHttpClientExLayer::SendPost(int64_t bodyLength) {
  if (!urlOpened_) return NW_E_FAIL;
  if (builder_) return NW_S_OK;
  uploadLength_ = bodyLength;
  builder_ = std::make_unique<nwCHttpPOSTHeaderBuilder>();
  builder_->SetHeader("POST", path_.c_str());
  Fill(*builder_);
  builder_->SetContentLength(bodyLength);
  nvCString request;
  if (cpFailed(builder_->BuildRequest(&request))) return NW_E_FAIL;
  AddEvents(QOS_EV_SEND_DRAINED);
  cpDataRef data{request.GetBuffer(), static_cast<int32_t>(request.GetLength())};
  PassDown(&data);
  return NW_S_OK;
}

cpStatus nwCHttpClientExLayer::SendData(const char* data, uint32_t length) {
  if (data == nullptr) return NW_E_FAIL;
  uploadPassed_ += length;
  cpDataRef bytes{data, static_cast<int32_t>(length)};
  PassDown(&bytes);
  return NW_S_OK;
}

bool nwCHttpClientExLayer::OnSendDrained() {
  if (uploadLength_ != 0 && uploadPassed_ >= uploadLength_ && builder_) {
    nvCString trailer;
    builder_->BuildTrailer(&trailer);
    if (!trailer.IsEmpty() && !trailerSent_) {
      trailerSent_ = true;
      RemoveEvents(QOS_EV_SEND_DRAINED);
      cpDataRef data{trailer.GetBuffer(), static_cast<int32_t>(trailer.GetLength())};
      PassDown(&data);
      return true;
    }
  }
  if (listener_ != nullptr) listener_->OnReadyToSend(cookie_);
  return true;
}

bool nwCHttpClientExLayer::OnConnected() {
  if (listener_ != nullptr) listener_->OnConnected(cookie_);
  return true;
}

bool nwCHttpClientExLayer::OnHostUnreachable() {
  if (listener_ != nullptr) listener_->OnUnreachable(cookie_);
  return true;
}

bool nwCHttpClientExLayer::OnConnectFailed() {
  if (listener_ != nullptr) listener_->OnConnectTimeout(cookie_);
  return true;
}

bool nwCHttpClientExLayer::OnIdleTimeout() {
  if (listener_ != nullptr) listener_->OnReceiveTimeout(cookie_);
  return true;
}

void nwCHttpClientExLayer::OnShutdown() {
  shutDown_ = true;
  nwIHttpClientExEventListener* listener = listener_;
  if (listener != nullptr) listener->OnClosed(cookie_);
  listener_ = nullptr;
}

int32_t nwCHttpClientExLayer::ReceiveThunk(const char* data, int32_t length, void* self) {
  return static_cast<nwCHttpClientExLayer*>(self)->Receive(data, length);
}

int32_t nwCHttpClientExLayer::Receive(const char* data, int32_t length) {
  if (!headerComplete_) {
    if (length < 4) return 0;
    std::string_view bytes(data, static_cast<size_t>(length));
    size_t end = nwCHttpResponseHeader::FindEnd(bytes);
    if (end == 0) {
      // Not HTTP, or hostile: no unbounded buffering of a header block that never ends.
      return length > kMaxHeaderBlock ? -1 : 0;
    }
    if (end > static_cast<size_t>(kMaxHeaderBlock)) return -1;
    headerComplete_ = true;
    response_.Parse(bytes.substr(0, end));
    if (listener_ != nullptr) listener_->OnHeaders(cookie_);
    return static_cast<int32_t>(end);
  }
  if (listener_ == nullptr) return 0;

  int64_t announced = response_.GetContentLength();
  int32_t offered = length;
  if (announced > 0) {
    // Bytes past the announced length are dropped, never handed on.
    int64_t remaining = announced - bodyReceived_;
    if (remaining <= 0) return length;
    offered = static_cast<int32_t>(std::min<int64_t>(remaining, length));
  }
  int32_t consumed = listener_->OnData(cookie_, data, offered);
  if (consumed < 0) return consumed;
  consumed = std::min(consumed, offered);
  bodyReceived_ += consumed;
  if (announced > 0 && bodyReceived_ >= announced) {
    if (listener_ != nullptr) listener_->OnComplete(cookie_);
    return consumed == offered ? length : consumed;
  }
  return consumed;
}
