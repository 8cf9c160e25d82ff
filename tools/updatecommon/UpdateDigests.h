#pragma once
// The digests of the update deployment: the MD4 digest list of an archive, SHA-256, and the
// Ed25519 signature of a manifest. All through OpenSSL 3; MD4 lives in its legacy provider.

#include <openssl/types.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace updatecommon {

constexpr size_t kMd4BlockBytes = 1048576;
constexpr size_t kEd25519SignatureBytes = 64;

// The MD4 (RFC 1320) of every kMd4BlockBytes block of `bytes` in order, then the MD4 of those
// digests put together: (n + 1) * 16 bytes; no bytes give the MD4 of nothing alone. nullopt when
// OpenSSL offers no MD4 (its legacy provider is missing).
std::optional<std::string> Md4List(std::string_view bytes);

// 64 lower-case hex digits.
std::string Sha256Hex(std::string_view bytes);

std::string Hex(std::string_view bytes);

// An Ed25519 private key. Safe to use from several threads at once.
class SigningKey {
 public:
  // Reads a PEM private key; nullptr with the reason when it cannot be read or is not Ed25519.
  static std::unique_ptr<SigningKey> Load(const std::string& pemPath, std::string* error);
  ~SigningKey();
  SigningKey(const SigningKey&) = delete;
  SigningKey& operator=(const SigningKey&) = delete;

  // The detached signature (kEd25519SignatureBytes raw bytes); nullopt if OpenSSL fails.
  std::optional<std::string> Sign(std::string_view message) const;

 private:
  explicit SigningKey(EVP_PKEY* key) : key_(key) {}
  EVP_PKEY* key_;
};

}  // namespace updatecommon
