#include "net/nwCSecureSocketClientLayer.h"

#include "core/Settings.h"
#include "core/cpLog.h"

nwCSecureSocketClientLayer::TlsCall::TlsCall(nwCSecureSocketClientLayer& layer)
    : layer_(layer), outer_(!layer.insideTlsCall_) {
  layer_.insideTlsCall_ = true;
}

nwCSecureSocketClientLayer::TlsCall::~TlsCall() {
  if (!outer_) return;
  layer_.insideTlsCall_ = false;
  if (layer_.freeRequested_) {
    layer_.freeRequested_ = false;
    layer_.tls_.reset();
  }
}

nwCSecureSocketClientLayer::nwCSecureSocketClientLayer() { Dispatcher().SetRawHandler(&ReceiveThunk, this); }

nwCSecureSocketClientLayer::~nwCSecureSocketClientLayer() = default;

cpStatus nwCSecureSocketClientLayer::Write(const cpDataRef* data) {
  if (data == nullptr || data->data == nullptr || data->length <= 0) return CP_S_OK;
  if (!handshakeDone_ || !tls_) {
    pending_.emplace_back(data->data, static_cast<size_t>(data->length));
    return CP_S_OK;
  }
  TlsCall call(*this);
  if (!tls_->Write(data->data, data->length)) Fail();
  return CP_S_OK;
}

bool nwCSecureSocketClientLayer::OnConnected() {
  cpAddress* address = nullptr;
  cpAddress target;
  if (!cpFailed(GetAddress(&address)) && address != nullptr) target = *address;
  COpenSSL::Options options;
  char* host = nullptr;
  if (!cpFailed(GetHostName(&host)) && host != nullptr) options.host = host;
  options.verify = settings::GetInt("tls_verify", 1) != 0;
  options.caFile = settings::Get("tls_ca_file");
  if (!options.verify) cpLog("[TessenLib] TLS certificate verification is off (tls_verify = 0)");
  COpenSSL::Callbacks callbacks;
  callbacks.owner = this;
  callbacks.sendDown = &SendDownThunk;
  callbacks.handshakeDone = &HandshakeDoneThunk;
  callbacks.plaintextUp = &PlaintextUpThunk;
  tls_ = COpenSSL::Create(callbacks, target, options);
  bool started = false;
  if (tls_) {
    TlsCall call(*this);
    started = tls_->Start();
    if (!started) lastError_ = tls_->LastError();
  }
  if (!started) {
    Close();
    return false;
  }
  return true;
}

void nwCSecureSocketClientLayer::OnShutdown() {
  pending_.clear();
  leftover_.clear();
  if (insideTlsCall_) {
    freeRequested_ = true;
  } else {
    tls_.reset();
  }
}

bool nwCSecureSocketClientLayer::OnSendDrained() {
  if (pending_.empty()) return true;
  std::string block = std::move(pending_.front());
  pending_.pop_front();
  if (tls_) {
    TlsCall call(*this);
    if (!tls_->Write(block.data(), static_cast<int32_t>(block.size()))) Fail();
  }
  return false;
}

int32_t nwCSecureSocketClientLayer::ReceiveThunk(const char* data, int32_t length, void* self) {
  return static_cast<nwCSecureSocketClientLayer*>(self)->Receive(data, length);
}

int32_t nwCSecureSocketClientLayer::Receive(const char* data, int32_t length) {
  if (!tls_) return 0;
  int32_t consumed = 0;
  bool ok = true;
  {
    TlsCall call(*this);
    ok = tls_->Step(data, length, &consumed);
    if (!ok && tls_) lastError_ = tls_->LastError();
  }
  if (!ok) {
    Close();
    return 0;
  }
  return consumed;
}

void nwCSecureSocketClientLayer::SendDownThunk(const char* data, int32_t length, void* self) {
  cpDataRef bytes{data, length};
  static_cast<nwCSecureSocketClientLayer*>(self)->PassDown(&bytes);
}

void nwCSecureSocketClientLayer::HandshakeDoneThunk(void* self) {
  static_cast<nwCSecureSocketClientLayer*>(self)->OnHandshakeDone();
}

void nwCSecureSocketClientLayer::PlaintextUpThunk(const char* data, int32_t length, void* self) {
  static_cast<nwCSecureSocketClientLayer*>(self)->OnPlaintext(data, length);
}

void nwCSecureSocketClientLayer::OnHandshakeDone() {
  handshakeDone_ = true;
  // What the layer above wrote meanwhile goes out now, in order.
  while (!pending_.empty() && tls_ && !freeRequested_) {
    std::string block = std::move(pending_.front());
    pending_.pop_front();
    if (!tls_->Write(block.data(), static_cast<int32_t>(block.size()))) {
      Fail();
      return;
    }
  }
}

void nwCSecureSocketClientLayer::OnPlaintext(const char* data, int32_t length) {
  leftover_.append(data, static_cast<size_t>(length));
  int32_t taken = PassUp(leftover_.data(), static_cast<int32_t>(leftover_.size()));
  if (taken < 0) {
    leftover_.clear();
    Close();
    return;
  }
  leftover_.erase(0, static_cast<size_t>(std::min<int64_t>(taken, static_cast<int64_t>(leftover_.size()))));
}

void nwCSecureSocketClientLayer::Fail() {
  if (tls_) lastError_ = tls_->LastError();
  Close();
}
