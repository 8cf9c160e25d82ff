#pragma once
// The MD4 message digest, and the digest list the update server publishes beside each archive.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// MD4 as the RFC defines it. Not a security measure: it proves that a download was not cut short.
class ctCMD4 {
 public:
  static constexpr size_t kDigestSize = 16;
  using Digest = std::array<uint8_t, kDigestSize>;

  ctCMD4();
  void Update(const void* data, size_t length);
  // The digest of everything given since construction or the last Final; starts afresh after it.
  Digest Final();

  static Digest Of(const void* data, size_t length);

 private:
  void Reset();
  void Transform(const uint8_t block[64]);

  uint32_t state_[4];
  uint64_t length_;
  uint8_t buffer_[64];
};

// The archive is cut into blocks of this size (the last may be shorter; no data, no block).
inline constexpr size_t kDigestListBlockSize = 1048576;

// The digest of every block in order, then the digest of those digests: (blocks + 1) x 16 bytes.
std::vector<uint8_t> ctComputeDigestList(const uint8_t* data, size_t length);

// Whether `list` equals the digest list of `data` over the list's own length. A list longer than
// the computed one never matches; an empty list never matches.
bool ctDigestListMatches(const uint8_t* list, size_t listLength, const uint8_t* data, size_t length);
