#include "pipeline/UpdateTrust.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "core/Settings.h"

#ifndef ORBA_UPDATE_PUBLIC_KEY_HEX
#error "the build passes the update key (cmake/UpdateKey.cmake)"
#endif

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

UpdatePublicKey DecodeKey(std::string_view hex) {
  UpdatePublicKey key{};
  for (size_t i = 0; i < key.size() && 2 * i + 1 < hex.size(); ++i) {
    key[i] = static_cast<uint8_t>(HexValue(hex[2 * i]) * 16 + HexValue(hex[2 * i + 1]));
  }
  return key;
}

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Days from 1970-01-01 to a civil date (proleptic Gregorian), without the C library's time zone.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

std::vector<uint64_t> VersionNumbers(std::string_view text) {
  std::vector<uint64_t> numbers;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] < '0' || text[i] > '9') {
      ++i;
      continue;
    }
    uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      // A number too long to hold stays at its ceiling rather than wrapping round.
      value = value > 100'000'000'000'000ULL ? value : value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    numbers.push_back(value);
  }
  return numbers;
}

}  // namespace

const UpdatePublicKey& BuiltInUpdateKey() {
  static const UpdatePublicKey key = DecodeKey(ORBA_UPDATE_PUBLIC_KEY_HEX);
  return key;
}

bool VerifyEd25519(const UpdatePublicKey& key, std::string_view message, std::string_view signature) {
  if (signature.size() != 64) return false;
  std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> context(EVP_MD_CTX_new());
  if (!pkey || !context || EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
    return false;
  }
  return EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature.data()),
                          signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                          message.size()) == 1;
}

bool UpdateSignatureRequired() { return settings::Get("update_require_signature") != "0"; }

std::string Sha256Hex(const void* data, size_t length) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data, length, digest, &size, EVP_sha256(), nullptr) != 1) return std::string();
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < size; ++i) {
    hex.push_back(kDigits[digest[i] >> 4]);
    hex.push_back(kDigits[digest[i] & 15]);
  }
  return hex;
}

std::optional<int64_t> ParseUtcTime(std::string_view text) {
  // YYYY-MM-DDTHH:MM:SSZ
  static constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return std::nullopt;
  for (size_t i = 0; i < kShape.size(); ++i) {
    const bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
  }
  auto number = [text](size_t at, size_t digits) {
    int64_t value = 0;
    for (size_t i = at; i < at + digits; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  const int64_t year = number(0, 4), month = number(5, 2), day = number(8, 2);
  const int64_t hour = number(11, 2), minute = number(14, 2), second = number(17, 2);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

std::optional<int> CompareVersions(std::string_view a, std::string_view b) {
  std::vector<uint64_t> left = VersionNumbers(a), right = VersionNumbers(b);
  if (left.empty() || right.empty()) return std::nullopt;
  for (size_t i = 0; i < std::max(left.size(), right.size()); ++i) {
    const uint64_t x = i < left.size() ? left[i] : 0, y = i < right.size() ? right[i] : 0;
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}
