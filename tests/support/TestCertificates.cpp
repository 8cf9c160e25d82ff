#include "tests/support/TestCertificates.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/support/TempFolder.h"

namespace testsupport {

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
  void operator()(X509* certificate) const { X509_free(certificate); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;
using CertificatePtr = std::unique_ptr<X509, CertificateFree>;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "TestCertificates: %s failed\n", what);
  std::abort();
}

KeyPtr NewKey() {
  KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  if (!key) Fail("EC key generation");
  return key;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    if (!text.empty()) text += ",";
    text += name;
  }
  return text;
}

std::string CommonName(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    if (name.rfind("DNS:", 0) == 0) return name.substr(4);
  }
  return names.empty() ? std::string("server") : names.front().substr(names.front().find(':') + 1);
}

void AddExtension(X509* certificate, X509V3_CTX* context, int nid, const char* value) {
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value);
  if (extension == nullptr) Fail(value);
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

// A version 3 certificate for `key` named `commonName`, signed by `issuerKey` as `issuer` (the
// certificate itself when `issuer` is null: self-signed).
CertificatePtr MakeCertificate(EVP_PKEY* key, const std::string& commonName, X509* issuer,
                               EVP_PKEY* issuerKey, bool authority, const std::vector<std::string>& names) {
  CertificatePtr certificate(X509_new());
  if (!certificate) Fail("X509_new");
  X509* cert = certificate.get();
  X509_set_version(cert, X509_VERSION_3);
  // Distinct serials: a verifier may treat equal issuer and serial as the same certificate.
  uint64_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  ASN1_INTEGER_set_uint64(X509_get_serialNumber(cert), serial >> 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* subject = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("ORBA tests"),
                             -1, -1, 0);
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, issuer != nullptr ? X509_get_subject_name(issuer) : subject);

  X509V3_CTX context{};
  X509V3_set_ctx(&context, issuer != nullptr ? issuer : cert, cert, nullptr, nullptr, 0);
  if (authority) {
    AddExtension(cert, &context, NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert, &context, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    AddExtension(cert, &context, NID_basic_constraints, "critical,CA:FALSE");
    AddExtension(cert, &context, NID_key_usage, "critical,digitalSignature,keyAgreement");
    AddExtension(cert, &context, NID_ext_key_usage, "serverAuth");
    if (!names.empty()) AddExtension(cert, &context, NID_subject_alt_name, Joined(names).c_str());
  }
  AddExtension(cert, &context, NID_subject_key_identifier, "hash");
  AddExtension(cert, &context, NID_authority_key_identifier, "keyid:always");
  if (X509_sign(cert, issuerKey, EVP_sha256()) <= 0) Fail("X509_sign");
  return certificate;
}

std::string TakeBio(BIO* bio) {
  std::string text(BIO_ctrl_pending(bio), '\0');
  int read = BIO_read(bio, text.data(), static_cast<int>(text.size()));
  text.resize(read > 0 ? static_cast<size_t>(read) : 0);
  BIO_free(bio);
  return text;
}

std::string CertificatePem(X509* certificate) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, certificate);
  return TakeBio(bio);
}

std::string KeyPem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  return TakeBio(bio);
}

}  // namespace

class TestCertificates::Impl {
 public:
  Impl() : key(NewKey()) {
    certificate = MakeCertificate(key.get(), "ORBA Test CA", nullptr, key.get(), true, {});
    pem = CertificatePem(certificate.get());
    file = folder / "test-ca.pem";
    WriteFileText(file, pem);
  }

  TempFolder folder;
  KeyPtr key;
  CertificatePtr certificate;
  std::string pem;
  std::string file;
};

TestCertificates::TestCertificates() : impl_(std::make_unique<Impl>()) {}

TestCertificates::~TestCertificates() = default;

TestCertificate TestCertificates::Issue(const std::vector<std::string>& names) const {
  KeyPtr key = NewKey();
  CertificatePtr certificate =
      MakeCertificate(key.get(), CommonName(names), impl_->certificate.get(), impl_->key.get(), false, names);
  return TestCertificate{CertificatePem(certificate.get()), KeyPem(key.get())};
}

TestCertificate TestCertificates::SelfSigned(const std::vector<std::string>& names) const {
  KeyPtr key = NewKey();
  CertificatePtr certificate =
      MakeCertificate(key.get(), CommonName(names), nullptr, key.get(), false, names);
  return TestCertificate{CertificatePem(certificate.get()), KeyPem(key.get())};
}

const std::string& TestCertificates::CaPem() const { return impl_->pem; }

const std::string& TestCertificates::CaFile() const { return impl_->file; }

}  // namespace testsupport
