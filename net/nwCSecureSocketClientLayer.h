#pragma once
// TLS under the HTTP client layer for https URLs: pushed at the bottom of the connection, it
// encrypts what comes from above, decrypts what the connection received and passes the plaintext
// up. Data from above waits until the handshake has ended. Server certificates are verified
// (setting tls_verify, trusted certificates from tls_ca_file or the system's store); a failed
// verification ends the handshake and closes the connection.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "net/Lib_SSL/COpenSSL.h"
#include "net/nwCApplicationStack.h"

class nvISecureSocketClientLayer : public nvIUnknown {};

class nwCSecureSocketClientLayer final : public nwTLayer<nvISecureSocketClientLayer> {
 public:
  nwCSecureSocketClientLayer();
  ~nwCSecureSocketClientLayer() override;

  cpStatus Write(const cpDataRef* data) override;
  bool OnConnected() override;
  void OnShutdown() override;
  bool OnSendDrained() override;

  bool HandshakeDone() const { return handshakeDone_; }
  const std::string& LastError() const { return lastError_; }

 private:
  // Marks the time inside an OpenSSL call: the TLS object must outlive a close made meanwhile.
  class TlsCall {
   public:
    explicit TlsCall(nwCSecureSocketClientLayer& layer);
    ~TlsCall();
    TlsCall(const TlsCall&) = delete;
    TlsCall& operator=(const TlsCall&) = delete;

   private:
    nwCSecureSocketClientLayer& layer_;
    bool outer_;
  };

  void LeaveTlsCall();
  // Writes the waiting blocks in order, inside a TLS call.
  void SendPending();
  static int32_t ReceiveThunk(const char* data, int32_t length, void* self);
  int32_t Receive(const char* data, int32_t length);
  static void SendDownThunk(const char* data, int32_t length, void* self);
  static void HandshakeDoneThunk(void* self);
  static void PlaintextUpThunk(const char* data, int32_t length, void* self);
  void OnHandshakeDone();
  void OnPlaintext(const char* data, int32_t length);
  void Fail();
  void LogFailure();

  std::unique_ptr<COpenSSL> tls_;
  bool handshakeDone_ = false;
  std::deque<std::string> pending_;  // data from above while the handshake (or an OpenSSL call) runs
  std::string leftover_;             // plaintext the layer above has not consumed yet
  bool insideTlsCall_ = false;
  bool freeRequested_ = false;
  bool sendingDown_ = false;  // OpenSSL is passing ciphertext down: it must not be re-entered
  bool shutDown_ = false;     // the connection closed: nothing more goes through
  std::string host_;
  std::string lastError_;
};
