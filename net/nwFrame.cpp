#include "net/nwFrame.h"

#include <cstring>

namespace {

void PutUint16(char* out, uint16_t value) {
  out[0] = static_cast<char>(value & 0xFF);
  out[1] = static_cast<char>(value >> 8);
}

void PutUint32(char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

uint16_t GetUint16(const char* in) {
  return static_cast<uint16_t>(static_cast<unsigned char>(in[0]) | (static_cast<unsigned char>(in[1]) << 8));
}

uint32_t GetUint32(const char* in) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
  return value;
}

}  // namespace

void nwEncodeFrameHeader(const nwFrameHeader& header, char* out) {
  PutUint16(out, header.group);
  PutUint16(out + 2, header.type);
  for (int i = 0; i < 6; ++i) out[4 + i] = 0;
  PutUint32(out + 10, header.payloadLength);
}

nwFrameHeader nwDecodeFrameHeader(const char* in) {
  nwFrameHeader header;
  header.group = GetUint16(in);
  header.type = GetUint16(in + 2);
  for (int i = 0; i < 6; ++i) header.reserved[i] = static_cast<uint8_t>(in[4 + i]);
  header.payloadLength = GetUint32(in + 10);
  return header;
}

int64_t nwFrameSize(int64_t payloadLength) {
  if (payloadLength < 0 || payloadLength > kFrameMaxPayload) return -1;
  const int64_t size = nwRoundUp8(payloadLength + kFrameHeaderSize);
  // The padded length is what the receiver checks against the same limit.
  return size - kFrameHeaderSize > kFrameMaxPayload ? -1 : size;
}

std::string nwBuildFrame(uint16_t group, uint16_t type, const char* payload, int32_t payloadLength) {
  const int64_t size = nwFrameSize(payloadLength);
  if (size < 0 || (payload == nullptr && payloadLength != 0)) return std::string();
  std::string frame(static_cast<std::size_t>(size), '\0');
  nwFrameHeader header;
  header.group = group;
  header.type = type;
  header.payloadLength = static_cast<uint32_t>(size - kFrameHeaderSize);
  nwEncodeFrameHeader(header, frame.data());
  if (payloadLength > 0) {
    std::memcpy(frame.data() + kFrameHeaderSize, payload, static_cast<std::size_t>(payloadLength));
  }
  return frame;
}
