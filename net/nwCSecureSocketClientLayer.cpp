#include "net/nwCSecureSocketClientLayer.h"

#include <algorithm>

#include "core/Settings.h"
#include "core/cpLog.h"
#include "net/Lib_SSL/TlsRuntime.h"

nwCSecureSocketClientLayer::TlsCall::TlsCall(nwCSecureSocketClientLayer& layer)
    : layer_(layer), outer_(!layer.insideTlsCall_) {
  layer_.insideTlsCall_ = true;
}

nwCSecureSocketClientLayer::TlsCall::~TlsCall() {
  if (outer_) layer_.LeaveTlsCall();
}

nwCSecureSocketClientLayer::nwCSecureSocketClientLayer() { Dispatcher().SetRawHandler(&ReceiveThunk, this); }

nwCSecureSocketClientLayer::~nwCSecureSocketClientLayer() = default;

void nwCSecureSocketClientLayer::LeaveTlsCall() {
  insideTlsCall_ = false;
  if (freeRequested_) {
    freeRequested_ = false;
    tls_.reset();
    return;
  }
  // Blocks the layer above wrote while OpenSSL was busy go out now, in order.
  if (handshakeDone_ && tls_ && !pending_.empty()) SendPending();
}

cpStatus nwCSecureSocketClientLayer::Write(const cpDataRef* data) {
  if (data == nullptr || data->data == nullptr || data->length <= 0) return CP_S_OK;
  if (shutDown_) return CP_S_OK;
  // Before the handshake ends, and while OpenSSL is sending (a write from there would re-enter
  // it), blocks wait in order.
  if (!handshakeDone_ || !tls_ || sendingDown_ || !pending_.empty()) {
    pending_.emplace_back(data->data, static_cast<size_t>(data->length));
    if (handshakeDone_ && tls_ && !insideTlsCall_) SendPending();
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
  host_ = options.host;
  options.verify = settings::GetInt("tls_verify", 1) != 0;
  options.caFile = settings::Get("tls_ca_file");
  if (!options.verify) TlsNoteVerificationOff();
  if (options.verify && options.host.empty()) {
    // Nothing to check the certificate's names against: any certificate of a trusted authority
    // would pass, so the connection is not made.
    lastError_ = "no host name to check the server's certificate against";
    LogFailure();
    Close();
    return false;
  }
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
  } else {
    lastError_ = "cannot make the TLS connection object";
  }
  if (!started) {
    LogFailure();
    Close();
    return false;
  }
  return true;
}

void nwCSecureSocketClientLayer::OnShutdown() {
  shutDown_ = true;
  pending_.clear();
  leftover_.clear();
  if (insideTlsCall_) {
    freeRequested_ = true;
  } else {
    tls_.reset();
  }
}

bool nwCSecureSocketClientLayer::OnSendDrained() {
  // Nothing waits here: the layer above may send more.
  if (pending_.empty()) return true;
  // Waiting blocks go first; before the handshake ends they keep waiting (written now, OpenSSL
  // would take them as a handshake step and the data would be lost).
  if (handshakeDone_ && tls_ && !insideTlsCall_) SendPending();
  return false;
}

void nwCSecureSocketClientLayer::SendPending() {
  TlsCall call(*this);
  while (!pending_.empty() && tls_ && !freeRequested_) {
    std::string block = std::move(pending_.front());
    pending_.pop_front();
    if (!tls_->Write(block.data(), static_cast<int32_t>(block.size()))) {
      Fail();
      return;
    }
  }
}

int32_t nwCSecureSocketClientLayer::ReceiveThunk(const char* data, int32_t length, void* self) {
  return static_cast<nwCSecureSocketClientLayer*>(self)->Receive(data, length);
}

int32_t nwCSecureSocketClientLayer::Receive(const char* data, int32_t length) {
  if (!tls_) return 0;
  int32_t consumed = 0;
  bool ok = true;
  bool peerClosed = false;
  {
    TlsCall call(*this);
    ok = tls_->Step(data, length, &consumed);
    if (!ok && tls_) {
      lastError_ = tls_->LastError();
      peerClosed = tls_->PeerClosed();
    }
  }
  if (!ok) {
    // An orderly end from the server is no failure of ours: the layer above decides.
    if (!peerClosed) LogFailure();
    Close();
    return 0;
  }
  return consumed;
}

void nwCSecureSocketClientLayer::SendDownThunk(const char* data, int32_t length, void* self) {
  auto* layer = static_cast<nwCSecureSocketClientLayer*>(self);
  cpDataRef bytes{data, length};
  bool outer = !layer->sendingDown_;
  layer->sendingDown_ = true;
  layer->PassDown(&bytes);
  if (outer) layer->sendingDown_ = false;
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
  if (!pending_.empty() && tls_ && !freeRequested_) SendPending();
}

void nwCSecureSocketClientLayer::OnPlaintext(const char* data, int32_t length) {
  // Bytes the layer above left last time go up first, joined with the new ones. The joined copy
  // is local: a close from above meanwhile empties the members.
  std::string joined;
  if (!leftover_.empty()) {
    joined = std::move(leftover_);
    leftover_.clear();
    joined.append(data, static_cast<size_t>(length));
    data = joined.data();
    length = static_cast<int32_t>(joined.size());
  }
  int32_t taken = PassUp(data, length);
  if (taken < 0) {
    Close();
    return;
  }
  if (shutDown_ || taken >= length) return;
  leftover_.assign(data + taken, static_cast<size_t>(length - taken));
}

void nwCSecureSocketClientLayer::Fail() {
  if (tls_) lastError_ = tls_->LastError();
  LogFailure();
  Close();
}

void nwCSecureSocketClientLayer::LogFailure() {
  if (shutDown_) return;
  cpLogFormat("[TessenLib] TLS failed : %s : %s", host_.c_str(), lastError_.c_str());
}
