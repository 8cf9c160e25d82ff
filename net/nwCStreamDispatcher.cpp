#include "net/nwCStreamDispatcher.h"

cpStatus nwCStreamDispatcher::AddHandler(uint16_t group, int32_t type, nwMessageHandler handler,
                                         void* userData) {
  if (handler == nullptr) return NW_E_FAIL;
  handlers_.push_back(HandlerEntry{true, group, type, handler, nullptr, userData});
  return NW_S_OK;
}

cpStatus nwCStreamDispatcher::Dispatch(const char* data, int32_t length, int32_t* consumed) {
  if (consumed == nullptr) return NW_E_FAIL;
  *consumed = Process(data, length);
  return NW_S_OK;
}

void nwCStreamDispatcher::SetRawHandler(nwRawHandler handler, void* userData) {
  if (handler == nullptr) return;
  handlers_.push_back(HandlerEntry{false, 0, 0, nullptr, handler, userData});
  rawMode_ = true;
}

int32_t nwCStreamDispatcher::Process(const char* data, int32_t length) {
  int32_t total = 0;
  // A handler may stop the dispatcher (its connection closed); nothing more is delivered then.
  while (length > 0 && !stopped_) {
    const int32_t n = ProcessOne(data, length);
    if (n < 0) return n;
    if (n == 0) break;
    data += n;
    length -= n;
    total += n;
  }
  return total;
}

int32_t nwCStreamDispatcher::ProcessOne(const char* data, int32_t length) {
  if (data == nullptr || length <= 0) return 0;

  if (rawMode_) {
    // Entries are copied: a handler may add handlers and so move the list.
    for (std::size_t i = 0; i < handlers_.size(); ++i) {
      const HandlerEntry entry = handlers_[i];
      if (entry.typed) continue;
      const int32_t result = entry.raw(data, length, entry.userData);
      // Claiming more than was offered would walk past the buffer.
      return result > length ? -1 : result;
    }
    return -1;
  }

  if (length < kFrameHeaderSize) return 0;
  header_ = nwDecodeFrameHeader(data);
  // Checked before waiting for the payload: such a frame would never complete.
  if (header_.payloadLength > kFrameMaxPayload) return -1;
  if (header_.payloadLength > static_cast<uint32_t>(length - kFrameHeaderSize)) return 0;
  const auto payloadLength = static_cast<int32_t>(header_.payloadLength);
  for (std::size_t i = 0; i < handlers_.size(); ++i) {
    const HandlerEntry entry = handlers_[i];
    if (entry.typed && entry.group == header_.group && entry.type == header_.type) {
      entry.message(data + kFrameHeaderSize, payloadLength, entry.userData);
      return kFrameHeaderSize + payloadLength;
    }
  }
  return -1;
}
