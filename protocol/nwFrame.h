#pragma once
// The frame format of the binary protocols (local engine, agent relay), shared by the network
// stack and the engine: a 14-byte little-endian header {uint16 group, uint16 type, 6 reserved
// bytes, uint32 payload length} and the payload, zero-padded so that the whole frame is a multiple
// of 8 bytes. The length field counts the padded payload.

#include <cstdint>
#include <string>

constexpr int32_t kFrameHeaderSize = 14;
// The largest payload accepted or sent. Real messages are a few kilobytes; a length field above
// this is garbage or hostile, and waiting for that many bytes would stall the connection.
constexpr uint32_t kFrameMaxPayload = 64u * 1024 * 1024;

struct nwFrameHeader {
  uint16_t group = 0;
  uint16_t type = 0;
  uint8_t reserved[6] = {};  // sent as zero, not checked on receipt
  uint32_t payloadLength = 0;
};

// Field by field, little-endian: the layout never depends on the compiler's struct layout.
void nwEncodeFrameHeader(const nwFrameHeader& header, char* out);  // writes kFrameHeaderSize bytes
nwFrameHeader nwDecodeFrameHeader(const char* in);                 // reads kFrameHeaderSize bytes

// n when n is a multiple of 8, else the next multiple of 8.
constexpr int64_t nwRoundUp8(int64_t n) { return n % 8 == 0 ? n : n - n % 8 + 8; }

// The bytes a frame of `payloadLength` bytes takes on the wire; -1 for a negative length or one
// whose padded payload exceeds kFrameMaxPayload.
int64_t nwFrameSize(int64_t payloadLength);

// The complete frame: header (reserved bytes zero, length field = padded payload length), payload,
// zero padding. Empty for a negative or oversized length, or for null payload bytes with a
// non-zero length.
std::string nwBuildFrame(uint16_t group, uint16_t type, const char* payload, int32_t payloadLength);
