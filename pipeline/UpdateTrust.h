#pragma once
// What makes an update trustworthy beyond its MD4 lists: the manifest's Ed25519 signature by the
// key built into the library, the archives' SHA-256 and sizes it names, its expiry, and the rule
// that a version never goes back.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using UpdatePublicKey = std::array<uint8_t, 32>;

// The key whose signature a manifest must carry (fixed when the library is built).
const UpdatePublicKey& BuiltInUpdateKey();

// Whether `signature` (64 raw bytes) is `key`'s Ed25519 signature of exactly `message`.
bool VerifyEd25519(const UpdatePublicKey& key, std::string_view message, std::string_view signature);

// Whether manifests must be signed: the setting update_require_signature, on unless it is "0".
bool UpdateSignatureRequired();

// The SHA-256 of `data` as 64 lower-case hex digits.
std::string Sha256Hex(const void* data, size_t length);

// Seconds since 1970 of a UTC time written "YYYY-MM-DDTHH:MM:SSZ"; none for any other text.
std::optional<int64_t> ParseUtcTime(std::string_view text);

// Compares two version texts by their numbers in order ("3.5.0.2", "3, 5, 0, 2"), a missing number
// counting as 0: negative, 0 or positive as `a` is older, the same or newer. None when either text
// holds no number (nothing to compare, e.g. no version installed).
std::optional<int> CompareVersions(std::string_view a, std::string_view b);
