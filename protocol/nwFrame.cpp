#include "protocol/nwFrame.h"

#include <cstring>
#include <string_view>

#include "protocol/WireCodec.h"

void nwEncodeFrameHeader(const nwFrameHeader& header, char* out) {
  engineproto::WireWriter writer;
  writer.U16(header.group);
  writer.U16(header.type);
  writer.Zeros(6);
  writer.U32(header.payloadLength);
  std::string bytes = writer.Take();
  std::memcpy(out, bytes.data(), bytes.size());
}

nwFrameHeader nwDecodeFrameHeader(const char* in) {
  engineproto::WireReader reader(std::string_view(in, kFrameHeaderSize));
  nwFrameHeader header;
  header.group = reader.U16();
  header.type = reader.U16();
  for (uint8_t& byte : header.reserved) byte = reader.U8();
  header.payloadLength = reader.U32();
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
