#pragma once
// One TLS client connection over memory: OpenSSL writes its ciphertext through the "norvik BIO"
// to the layer below, and reads the ciphertext the connection received from the input of the
// step in progress. Server certificates are verified against the system's trust store (or a
// given CA file) and the host name of the URL unless verification is turned off.

#include <cstdint>
#include <memory>
#include <string>

#include "core/cpSocket.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

class COpenSSL {
 public:
  struct Callbacks {
    void* owner = nullptr;
    void (*sendDown)(const char* data, int32_t length, void* owner) = nullptr;
    void (*handshakeDone)(void* owner) = nullptr;
    void (*plaintextUp)(const char* data, int32_t length, void* owner) = nullptr;
  };
  struct Options {
    std::string host;    // names the server: SNI and the name its certificate must carry
    bool verify = true;  // false: accept any certificate
    std::string caFile;  // trusted certificates; empty: the system's store
  };

  static constexpr int32_t kReadBuffer = 0x6000;

  // Null when OpenSSL cannot make the objects, and when verification is on without a host name.
  static std::unique_ptr<COpenSSL> Create(const Callbacks& callbacks, const cpAddress& address,
                                          const Options& options);
  ~COpenSSL();
  COpenSSL(const COpenSSL&) = delete;
  COpenSSL& operator=(const COpenSSL&) = delete;

  // Sends the ClientHello; false when the handshake cannot start.
  bool Start();
  // One step over received ciphertext: a handshake step, or one record's read. `consumed` tells
  // how many bytes OpenSSL took. False on a fatal error (the connection must close).
  bool Step(const char* data, int32_t length, int32_t* consumed);
  bool Write(const char* data, int32_t length);
  bool HandshakeDone() const { return handshakeDone_; }
  // Why the last step failed (OpenSSL's error text, or the verification result).
  const std::string& LastError() const { return lastError_; }
  // The last step failed because the server ended the TLS session in order (close_notify).
  bool PeerClosed() const { return peerClosed_; }

  // The BIO's side.
  void SendDown(const char* data, int32_t length);
  int32_t TakeInput(char* buffer, int32_t size);

 private:
  COpenSSL(const Callbacks& callbacks, const cpAddress& address);
  bool Succeeded(int result);

  Callbacks callbacks_;
  cpAddress address_;
  SSL* ssl_ = nullptr;
  SSL_CTX* context_ = nullptr;
  const char* input_ = nullptr;
  int32_t inputLength_ = 0;
  int32_t inputConsumed_ = 0;
  bool handshakeDone_ = false;
  bool holdsMethod_ = false;
  bool peerClosed_ = false;
  std::string trustProblem_;  // why no trusted certificates could be loaded, if so
  std::string lastError_;
};
