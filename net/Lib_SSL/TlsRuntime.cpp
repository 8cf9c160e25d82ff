#include "net/Lib_SSL/TlsRuntime.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/cpLog.h"
#include "net/Lib_SSL/COpenSSL.h"

namespace {

struct NamedCertificate {
  char name[256];
  X509* certificate;
};

std::mutex g_mutex;  // everything below; used from the library thread only in practice
BIO_METHOD* g_method = nullptr;
int g_methodUsers = 0;    // connection objects holding BIOs of the method
bool g_shutDown = false;  // TlsShutdown ran: the method goes with its last user
bool g_verificationOffNoted = false;
std::map<std::string, X509_STORE*>& TrustStores() {
  static std::map<std::string, X509_STORE*> stores;  // by CA file; "" the system's store
  return stores;
}
std::vector<NamedCertificate>& Registry() {
  static std::vector<NamedCertificate> registry;
  return registry;
}

// The certificates built into the library: none in this system.
struct BuiltInCertificate {
  const char* name;
  const char* pem;
};
const BuiltInCertificate kBuiltIn[] = {{nullptr, nullptr}};

constexpr int kNullDataReason = 115;

int BioWrite(BIO* bio, const char* data, int length) {
  BIO_clear_retry_flags(bio);
  if (data == nullptr) {
    ERR_raise_data(ERR_LIB_BIO, kNullDataReason, "Lib_SSL/COpenSSL");
    return -1;
  }
  auto* connection = static_cast<COpenSSL*>(BIO_get_data(bio));
  if (connection != nullptr && length > 0) connection->SendDown(data, length);
  return length;
}

int BioRead(BIO* bio, char* buffer, int size) {
  BIO_clear_retry_flags(bio);
  auto* connection = static_cast<COpenSSL*>(BIO_get_data(bio));
  int copied = connection != nullptr ? connection->TakeInput(buffer, size) : 0;
  if (copied > 0) return copied;
  BIO_set_retry_read(bio);
  return -1;
}

int BioPuts(BIO* bio, const char* text) {
  return BioWrite(bio, text, text != nullptr ? static_cast<int>(std::strlen(text)) : 0);
}

long BioCtrl(BIO* bio, int command, long number, void* /*pointer*/) {
  switch (command) {
    case BIO_CTRL_GET_CLOSE:
      return BIO_get_shutdown(bio);
    case BIO_CTRL_SET_CLOSE:
      BIO_set_shutdown(bio, static_cast<int>(number));
      return 1;
    case BIO_CTRL_FLUSH:
    case BIO_CTRL_DUP:
      return 1;
    default:
      return 0;
  }
}

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  BIO_set_shutdown(bio, 1);
  return 1;
}

int BioDestroy(BIO* /*bio*/) { return 1; }

BIO_METHOD* MakeMethod() {
  BIO_METHOD* method = BIO_meth_new(BIO_TYPE_NONE, "norvik BIO");
  if (method == nullptr) return nullptr;
  BIO_meth_set_write(method, &BioWrite);
  BIO_meth_set_read(method, &BioRead);
  BIO_meth_set_puts(method, &BioPuts);
  BIO_meth_set_ctrl(method, &BioCtrl);
  BIO_meth_set_create(method, &BioCreate);
  BIO_meth_set_destroy(method, &BioDestroy);
  return method;
}

// With g_mutex held.
void FreeMethodWhenUnused() {
  if (!g_shutDown || g_methodUsers > 0 || g_method == nullptr) return;
  BIO_meth_free(g_method);
  g_method = nullptr;
}

}  // namespace

void TlsStartup() {
  OPENSSL_init_ssl(0, nullptr);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS, nullptr);
  std::lock_guard lock(g_mutex);
  g_shutDown = false;
  g_verificationOffNoted = false;
  if (g_method == nullptr) g_method = MakeMethod();
}

void TlsShutdown() {
  std::lock_guard lock(g_mutex);
  for (NamedCertificate& entry : Registry()) X509_free(entry.certificate);
  Registry().clear();
  // Connection objects still alive keep their own references.
  for (auto& [file, store] : TrustStores()) X509_STORE_free(store);
  TrustStores().clear();
  g_shutDown = true;
  FreeMethodWhenUnused();
}

BIO_METHOD* TlsAcquireBioMethod() {
  std::lock_guard lock(g_mutex);
  if (g_method == nullptr) g_method = MakeMethod();
  if (g_method != nullptr) ++g_methodUsers;
  return g_method;
}

void TlsReleaseBioMethod() {
  std::lock_guard lock(g_mutex);
  if (g_methodUsers > 0) --g_methodUsers;
  FreeMethodWhenUnused();
}

X509_STORE* TlsAcquireTrustStore(const std::string& caFile) {
  std::lock_guard lock(g_mutex);
  auto found = TrustStores().find(caFile);
  if (found == TrustStores().end()) {
    X509_STORE* store = X509_STORE_new();
    if (store == nullptr) return nullptr;
    bool loaded = caFile.empty() ? X509_STORE_set_default_paths(store) == 1
                                 : X509_STORE_load_file(store, caFile.c_str()) == 1;
    if (!loaded) {
      // Not kept: the file may be there at the next connection.
      X509_STORE_free(store);
      ERR_clear_error();
      return nullptr;
    }
    found = TrustStores().emplace(caFile, store).first;
  }
  X509_STORE_up_ref(found->second);
  return found->second;
}

void TlsNoteVerificationOff() {
  {
    std::lock_guard lock(g_mutex);
    if (g_verificationOffNoted) return;
    g_verificationOffNoted = true;
  }
  cpLog("[TessenLib] TLS certificate verification is off (tls_verify = 0)");
}

bool RegisterCertificate(const char* name, const char* pemText) {
  if (name == nullptr || pemText == nullptr) return false;
  BIO* bio = BIO_new_mem_buf(pemText, -1);
  if (bio == nullptr) return false;
  X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
  BIO_free(bio);
  if (certificate == nullptr) return false;
  NamedCertificate entry{};
  std::strncpy(entry.name, name, sizeof entry.name - 1);
  entry.certificate = certificate;
  std::lock_guard lock(g_mutex);
  Registry().push_back(entry);
  return true;
}

void LoadBuiltInCertificates() {
  for (const BuiltInCertificate* item = kBuiltIn; item->name != nullptr; ++item) {
    if (RegisterCertificate(item->name, item->pem)) cpLogFormat("Add Certificate Ok - %s\n", item->name);
  }
}

X509* FindCertificate(const char* name) {
  if (name == nullptr) return nullptr;
  std::lock_guard lock(g_mutex);
  for (const NamedCertificate& entry : Registry()) {
    if (std::strcmp(entry.name, name) == 0) return entry.certificate;
  }
  return nullptr;
}
