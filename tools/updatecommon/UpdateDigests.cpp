#include "tools/updatecommon/UpdateDigests.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/provider.h>

#include <cstdio>

namespace updatecommon {

namespace {

// MD4 from the legacy provider. Loading any provider by hand stops OpenSSL from loading the
// default one by itself, so that one is loaded too (TLS and SHA-256 need it). Both stay loaded
// for the life of the process; the fetch happens once and is shared by every thread.
const EVP_MD* Md4() {
  static const EVP_MD* md4 = [] {
    OSSL_PROVIDER_load(nullptr, "default");
    if (OSSL_PROVIDER_load(nullptr, "legacy") == nullptr) return static_cast<EVP_MD*>(nullptr);
    return EVP_MD_fetch(nullptr, "MD4", nullptr);
  }();
  return md4;
}

std::string OpenSslError() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

}  // namespace

std::optional<std::string> Md4List(std::string_view bytes) {
  const EVP_MD* md4 = Md4();
  if (md4 == nullptr) return std::nullopt;
  std::string list;
  list.reserve((bytes.size() / kMd4BlockBytes + 2) * 16);
  auto append = [&](std::string_view data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, md4, nullptr) != 1 || length != 16)
      return false;
    list.append(reinterpret_cast<const char*>(digest), length);
    return true;
  };
  for (size_t offset = 0; offset < bytes.size(); offset += kMd4BlockBytes) {
    if (!append(bytes.substr(offset, kMd4BlockBytes))) return std::nullopt;
  }
  if (!append(std::string(list))) return std::nullopt;
  return list;
}

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 0xf];
  }
  return hex;
}

std::string Sha256Hex(std::string_view bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    return std::string();
  return Hex(std::string_view(reinterpret_cast<const char*>(digest), length));
}

std::unique_ptr<SigningKey> SigningKey::Load(const std::string& pemPath, std::string* error) {
  FILE* file = std::fopen(pemPath.c_str(), "rb");
  if (file == nullptr) {
    *error = "cannot open the key " + pemPath;
    return nullptr;
  }
  EVP_PKEY* key = PEM_read_PrivateKey(file, nullptr, nullptr, nullptr);
  std::fclose(file);
  if (key == nullptr) {
    *error = pemPath + " holds no PEM private key (" + OpenSslError() + ")";
    return nullptr;
  }
  if (!EVP_PKEY_is_a(key, "ED25519")) {
    EVP_PKEY_free(key);
    *error = pemPath + " is not an Ed25519 key";
    return nullptr;
  }
  return std::unique_ptr<SigningKey>(new SigningKey(key));
}

SigningKey::~SigningKey() { EVP_PKEY_free(key_); }

std::optional<std::string> SigningKey::Sign(std::string_view message) const {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::string signature(kEd25519SignatureBytes, '\0');
  size_t length = signature.size();
  // Ed25519 hashes the message itself: no digest is named, and the message goes in at once.
  if (!context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1 ||
      length != kEd25519SignatureBytes) {
    ERR_clear_error();
    return std::nullopt;
  }
  return signature;
}

}  // namespace updatecommon
