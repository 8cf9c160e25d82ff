#include "core/ctCMD4.h"

#include <algorithm>
#include <cstring>

namespace {

uint32_t RotateLeft(uint32_t value, int bits) { return (value << bits) | (value >> (32 - bits)); }

uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (~x & z); }
uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (x & z) | (y & z); }
uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }

uint32_t LoadLittleEndian(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
         (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void StoreLittleEndian(uint32_t value, uint8_t* bytes) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

size_t BlockCount(size_t length) { return (length + kDigestListBlockSize - 1) / kDigestListBlockSize; }

// Appends the digests of the first `blocks` blocks of `data` to `out`. The one place that walks the
// blocks: the list and the comparison both use it, reading the data where it lies.
void AppendBlockDigests(const uint8_t* data, size_t length, size_t blocks, std::vector<uint8_t>& out) {
  for (size_t block = 0; block < blocks; ++block) {
    size_t offset = block * kDigestListBlockSize;
    ctCMD4::Digest digest = ctCMD4::Of(data + offset, std::min(kDigestListBlockSize, length - offset));
    out.insert(out.end(), digest.begin(), digest.end());
  }
}

}  // namespace

ctCMD4::ctCMD4() { Reset(); }

void ctCMD4::Reset() {
  state_[0] = 0x67452301u;
  state_[1] = 0xefcdab89u;
  state_[2] = 0x98badcfeu;
  state_[3] = 0x10325476u;
  length_ = 0;
  std::memset(buffer_, 0, sizeof buffer_);
}

void ctCMD4::Transform(const uint8_t block[64]) {
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(block + 4 * i);
  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

  // Round 1: each word in order.
  static constexpr int kShift1[4] = {3, 7, 11, 19};
  for (int i = 0; i < 16; i += 4) {
    a = RotateLeft(a + F(b, c, d) + x[i], kShift1[0]);
    d = RotateLeft(d + F(a, b, c) + x[i + 1], kShift1[1]);
    c = RotateLeft(c + F(d, a, b) + x[i + 2], kShift1[2]);
    b = RotateLeft(b + F(c, d, a) + x[i + 3], kShift1[3]);
  }
  // Round 2: the words by column, plus the square root of 2.
  static constexpr uint32_t kRound2 = 0x5a827999u;
  static constexpr int kShift2[4] = {3, 5, 9, 13};
  for (int i = 0; i < 4; ++i) {
    a = RotateLeft(a + G(b, c, d) + x[i] + kRound2, kShift2[0]);
    d = RotateLeft(d + G(a, b, c) + x[i + 4] + kRound2, kShift2[1]);
    c = RotateLeft(c + G(d, a, b) + x[i + 8] + kRound2, kShift2[2]);
    b = RotateLeft(b + G(c, d, a) + x[i + 12] + kRound2, kShift2[3]);
  }
  // Round 3: the words in bit-reversed order, plus the square root of 3.
  static constexpr uint32_t kRound3 = 0x6ed9eba1u;
  static constexpr int kShift3[4] = {3, 9, 11, 15};
  static constexpr int kOrder3[4] = {0, 2, 1, 3};
  for (int i : kOrder3) {
    a = RotateLeft(a + H(b, c, d) + x[i] + kRound3, kShift3[0]);
    d = RotateLeft(d + H(a, b, c) + x[i + 8] + kRound3, kShift3[1]);
    c = RotateLeft(c + H(d, a, b) + x[i + 4] + kRound3, kShift3[2]);
    b = RotateLeft(b + H(c, d, a) + x[i + 12] + kRound3, kShift3[3]);
  }

  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
}

void ctCMD4::Update(const void* data, size_t length) {
  if (length == 0) return;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  size_t used = static_cast<size_t>(length_ % 64);
  length_ += length;
  if (used > 0) {
    size_t take = std::min(length, 64 - used);
    std::memcpy(buffer_ + used, bytes, take);
    bytes += take;
    length -= take;
    if (used + take < 64) return;
    Transform(buffer_);
  }
  for (; length >= 64; bytes += 64, length -= 64) Transform(bytes);
  if (length > 0) std::memcpy(buffer_, bytes, length);
}

ctCMD4::Digest ctCMD4::Final() {
  uint64_t bits = length_ * 8;
  // A single 1 bit, zeros up to 56 bytes into a block, then the length in bits.
  uint8_t padding[72] = {0x80};
  size_t used = static_cast<size_t>(length_ % 64);
  size_t padLength = used < 56 ? 56 - used : 120 - used;
  for (int i = 0; i < 8; ++i)
    padding[padLength + static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (8 * i));
  Update(padding, padLength + 8);

  Digest digest{};
  for (int i = 0; i < 4; ++i) StoreLittleEndian(state_[i], digest.data() + 4 * i);
  Reset();
  return digest;
}

ctCMD4::Digest ctCMD4::Of(const void* data, size_t length) {
  ctCMD4 md4;
  md4.Update(data, length);
  return md4.Final();
}

std::vector<uint8_t> ctComputeDigestList(const uint8_t* data, size_t length) {
  if (data == nullptr) length = 0;
  size_t blocks = BlockCount(length);
  std::vector<uint8_t> list;
  list.reserve((blocks + 1) * ctCMD4::kDigestSize);
  AppendBlockDigests(data, length, blocks, list);
  ctCMD4::Digest ofDigests = ctCMD4::Of(list.data(), list.size());
  list.insert(list.end(), ofDigests.begin(), ofDigests.end());
  return list;
}

bool ctDigestListMatches(const uint8_t* list, size_t listLength, const uint8_t* data, size_t length) {
  if (list == nullptr || listLength == 0) return false;
  if (data == nullptr && length > 0) return false;
  size_t blocks = BlockCount(length);
  size_t blockDigestBytes = blocks * ctCMD4::kDigestSize;
  if (listLength > blockDigestBytes + ctCMD4::kDigestSize) return false;
  // A shorter list compares only the blocks it covers; those past it are not digested.
  size_t needed = std::min(blocks, (listLength + ctCMD4::kDigestSize - 1) / ctCMD4::kDigestSize);
  std::vector<uint8_t> computed;
  computed.reserve((needed + 1) * ctCMD4::kDigestSize);
  AppendBlockDigests(data, length, needed, computed);
  if (listLength > blockDigestBytes) {
    ctCMD4::Digest ofDigests = ctCMD4::Of(computed.data(), computed.size());
    computed.insert(computed.end(), ofDigests.begin(), ofDigests.end());
  }
  return std::memcmp(computed.data(), list, listLength) == 0;
}
