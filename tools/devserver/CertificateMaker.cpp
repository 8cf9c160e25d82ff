#include "tools/devserver/CertificateMaker.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <utility>
#include <vector>

namespace devserver {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

constexpr long kValidBeforeNowSeconds = 3600;  // tolerates a client clock slightly behind
constexpr long kValidSeconds = 30L * 24 * 3600;

Key NewKey() { return Key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"), EVP_PKEY_free); }

bool AddExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value);
  if (extension == nullptr) return false;
  bool added = X509_add_ext(certificate, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// A certificate for `key`; issued by (issuer, issuerKey), or self-signed when issuer is null.
Certificate NewCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                           const std::vector<std::pair<int, const char*>>& extensions) {
  Certificate certificate(X509_new(), X509_free);
  if (!certificate) return certificate;
  X509* cert = certificate.get();
  uint64_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  serial &= 0x7fffffffffffffffULL;  // serial numbers are positive
  bool ok = X509_set_version(cert, 2) == 1 &&
            ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial == 0 ? 1 : serial) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(cert), -kValidBeforeNowSeconds) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert), kValidSeconds) != nullptr &&
            X509_set_pubkey(cert, key) == 1;
  X509_NAME* name = X509_get_subject_name(cert);
  auto text = [](const char* value) { return reinterpret_cast<const unsigned char*>(value); };
  ok = ok && X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, text("ORBA devserver"), -1, -1, 0) == 1 &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, text(commonName), -1, -1, 0) == 1 &&
       X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer) : name) == 1;
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer != nullptr ? issuer : cert, cert, nullptr, nullptr, 0);
  for (const auto& [nid, value] : extensions) ok = ok && AddExtension(cert, &context, nid, value);
  ok = ok && X509_sign(cert, issuer != nullptr ? issuerKey : key, EVP_sha256()) > 0;
  if (!ok) certificate.reset();
  return certificate;
}

template <typename Write>
std::string ToPem(Write write) {
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
  if (!bio || write(bio.get()) != 1) return std::string();
  char* data = nullptr;
  long size = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, static_cast<size_t>(size));
}

std::string CertificatePem(X509* certificate) {
  return ToPem([certificate](BIO* bio) { return PEM_write_bio_X509(bio, certificate); });
}

bool WriteFile(const std::filesystem::path& path, const std::string& text, bool secret) {
  if (secret) {
    // Narrowed before the key is written, so it is never readable by others.
    std::ofstream(path, std::ios::binary | std::ios::trunc).close();
    std::error_code failure;
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write, failure);
    if (failure) return false;
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

}  // namespace

bool CertificateMaker::Make(const std::string& folder, CertificateFiles* files, std::string* error) {
  std::error_code failure;
  std::filesystem::create_directories(folder, failure);
  if (failure) {
    *error = "cannot create " + folder + ": " + failure.message();
    return false;
  }
  Key caKey = NewKey();
  Key serverKey = NewKey();
  if (!caKey || !serverKey) {
    *error = "cannot make an EC key";
    return false;
  }
  Certificate ca = NewCertificate(caKey.get(), "ORBA devserver CA", nullptr, nullptr,
                                  {{NID_basic_constraints, "critical,CA:TRUE"},
                                   {NID_key_usage, "critical,keyCertSign,cRLSign"},
                                   {NID_subject_key_identifier, "hash"}});
  if (!ca) {
    *error = "cannot make the CA certificate";
    return false;
  }
  Certificate server = NewCertificate(serverKey.get(), "localhost", ca.get(), caKey.get(),
                                      {{NID_basic_constraints, "critical,CA:FALSE"},
                                       {NID_key_usage, "critical,digitalSignature"},
                                       {NID_ext_key_usage, "serverAuth"},
                                       {NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1"},
                                       {NID_subject_key_identifier, "hash"},
                                       {NID_authority_key_identifier, "keyid:always"}});
  if (!server) {
    *error = "cannot make the server certificate";
    return false;
  }
  std::filesystem::path base(folder);
  std::string caPem = CertificatePem(ca.get());
  std::string keyPem = ToPem([&serverKey](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, serverKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
  files->caFile = (base / "ca.pem").string();
  files->certFile = (base / "server.pem").string();
  files->keyFile = (base / "server-key.pem").string();
  if (caPem.empty() || keyPem.empty() || !WriteFile(files->caFile, caPem, false) ||
      !WriteFile(files->certFile, CertificatePem(server.get()) + caPem, false) ||
      !WriteFile(files->keyFile, keyPem, true)) {
    *error = "cannot write the certificates into " + folder;
    return false;
  }
  return true;
}

}  // namespace devserver
