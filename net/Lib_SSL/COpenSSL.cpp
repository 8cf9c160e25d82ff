#include "net/Lib_SSL/COpenSSL.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "net/Lib_SSL/TlsRuntime.h"
#include "platform/Socket.h"

namespace {

void NoInfo(const SSL* /*ssl*/, int /*where*/, int /*value*/) {}

std::string OpenSslErrors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

}  // namespace

COpenSSL::COpenSSL(const Callbacks& callbacks, const cpAddress& address)
    : callbacks_(callbacks), address_(address) {}

std::unique_ptr<COpenSSL> COpenSSL::Create(const Callbacks& callbacks, const cpAddress& address,
                                           const Options& options) {
  // Verification without a name would accept any certificate of a trusted authority.
  if (options.verify && options.host.empty()) return nullptr;
  std::unique_ptr<COpenSSL> connection(new COpenSSL(callbacks, address));
  connection->context_ = SSL_CTX_new(TLS_client_method());
  if (connection->context_ == nullptr) return nullptr;
  SSL_CTX* context = connection->context_;
  if (options.verify) {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    // Without trusted certificates nothing verifies and the handshake fails: never accept
    // silently. The reason is kept for the failure that follows.
    if (X509_STORE* store = TlsAcquireTrustStore(options.caFile)) {
      SSL_CTX_set1_cert_store(context, store);
      X509_STORE_free(store);
    } else {
      connection->trustProblem_ = options.caFile.empty()
                                      ? "the system's trusted certificates cannot be read"
                                      : "the CA file " + options.caFile + " cannot be read";
    }
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  }
  connection->ssl_ = SSL_new(context);
  if (connection->ssl_ == nullptr) return nullptr;
  SSL* ssl = connection->ssl_;
  SSL_set_info_callback(ssl, &NoInfo);
  if (!options.host.empty()) {
    uint32_t literal = 0;
    if (platform::ParseIPv4(options.host, &literal)) {
      // An address is checked against the certificate's IP names; it is never sent as SNI.
      if (options.verify && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), options.host.c_str()) != 1)
        return nullptr;
    } else {
      // The server name indication, without the macro's C cast.
      if (SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                   const_cast<char*>(options.host.c_str())) != 1) {
        return nullptr;
      }
      if (options.verify && SSL_set1_host(ssl, options.host.c_str()) != 1) return nullptr;
    }
  }
  BIO_METHOD* method = TlsAcquireBioMethod();
  if (method == nullptr) return nullptr;
  connection->holdsMethod_ = true;
  BIO* readBio = BIO_new(method);
  BIO* writeBio = BIO_new(method);
  if (readBio == nullptr || writeBio == nullptr) {
    BIO_free(readBio);
    BIO_free(writeBio);
    return nullptr;
  }
  BIO_set_data(readBio, connection.get());
  BIO_set_data(writeBio, connection.get());
  SSL_set_bio(ssl, readBio, writeBio);
  return connection;
}

COpenSSL::~COpenSSL() {
  if (ssl_ != nullptr) SSL_free(ssl_);
  if (context_ != nullptr) SSL_CTX_free(context_);
  if (holdsMethod_) TlsReleaseBioMethod();
}

bool COpenSSL::Succeeded(int result) {
  if (result >= 1) return true;
  int error = SSL_get_error(ssl_, result);
  if (error == SSL_ERROR_WANT_READ) return true;
  long verify = SSL_get_verify_result(ssl_);
  std::string errors = OpenSslErrors();
  if (!handshakeDone_ && verify != X509_V_OK) {
    lastError_ = std::string("certificate not accepted: ") + X509_verify_cert_error_string(verify);
    if (!trustProblem_.empty()) lastError_ += " (" + trustProblem_ + ")";
  } else if (error == SSL_ERROR_ZERO_RETURN) {
    peerClosed_ = true;
    lastError_ = "closed by the server";
  } else {
    lastError_ = errors;
  }
  if (lastError_.empty()) lastError_ = "TLS error " + std::to_string(error);
  return false;
}

bool COpenSSL::Start() {
  ERR_clear_error();
  return Succeeded(SSL_connect(ssl_));
}

bool COpenSSL::Step(const char* data, int32_t length, int32_t* consumed) {
  input_ = data;
  inputLength_ = length;
  inputConsumed_ = 0;
  ERR_clear_error();
  bool ok = true;
  if (!handshakeDone_) {
    int result = SSL_connect(ssl_);
    ok = Succeeded(result);
    if (ok && result == 1) {
      handshakeDone_ = true;
      if (callbacks_.handshakeDone != nullptr) callbacks_.handshakeDone(callbacks_.owner);
    }
  } else {
    char plaintext[kReadBuffer];
    int read = SSL_read(ssl_, plaintext, sizeof plaintext);
    if (read >= 1) {
      if (callbacks_.plaintextUp != nullptr) callbacks_.plaintextUp(plaintext, read, callbacks_.owner);
    } else {
      ok = Succeeded(read);
    }
  }
  *consumed = inputConsumed_;
  input_ = nullptr;
  inputLength_ = 0;
  inputConsumed_ = 0;
  return ok;
}

bool COpenSSL::Write(const char* data, int32_t length) {
  if (length <= 0) return true;
  ERR_clear_error();
  return SSL_write(ssl_, data, length) == length;
}

void COpenSSL::SendDown(const char* data, int32_t length) {
  if (callbacks_.sendDown != nullptr) callbacks_.sendDown(data, length, callbacks_.owner);
}

int32_t COpenSSL::TakeInput(char* buffer, int32_t size) {
  if (input_ == nullptr || inputConsumed_ >= inputLength_ || size <= 0) return 0;
  int32_t count = std::min(size, inputLength_ - inputConsumed_);
  std::memcpy(buffer, input_ + inputConsumed_, static_cast<size_t>(count));
  inputConsumed_ += count;
  return count;
}
