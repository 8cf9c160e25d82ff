#include "net/nwCAgentLayer.h"

#include <cstring>

#include "protocol/nwFrame.h"

nwCAgentLayer::nwCAgentLayer() { RegisterHandlers(); }

nwCAgentLayer::~nwCAgentLayer() = default;

void nwCAgentLayer::RegisterHandlers() {
  Dispatcher().AddHandler(kAgentGroup, kAgentReplyType, &OnReplyThunk, this);
}

cpStatus nwCAgentLayer::SetListener(nwIAgentListener* listener, nwListenerCookie cookie) {
  listener_ = listener;
  cookie_ = cookie;
  return NW_S_OK;
}

cpStatus nwCAgentLayer::SendReport(const nwAgentReport* report) {
  if (report == nullptr || report->count < 0 || (report->count > 0 && report->records == nullptr))
    return NW_E_FAIL;
  int64_t recordBytes = static_cast<int64_t>(report->count) * kAgentRecordSize;
  int64_t payloadLength = 4 + recordBytes;
  if (nwFrameSize(payloadLength) < 0) return NW_E_FAIL;
  char* payload = AllocFrame(static_cast<int32_t>(payloadLength));
  if (payload == nullptr) return NW_E_FAIL;
  auto count = static_cast<uint32_t>(report->count);
  for (int i = 0; i < 4; ++i) payload[i] = static_cast<char>((count >> (8 * i)) & 0xFFu);
  if (recordBytes > 0) std::memcpy(payload + 4, report->records, static_cast<size_t>(recordBytes));
  return SendFrame(kAgentReportType, payload, static_cast<int32_t>(payloadLength), kAgentGroup);
}

void nwCAgentLayer::OnReplyThunk(const char* payload, int32_t payloadLength, void* self) {
  auto* layer = static_cast<nwCAgentLayer*>(self);
  // A reply carries at least its result byte; an empty one has nothing to report.
  if (payloadLength < 1 || layer->listener_ == nullptr) return;
  layer->listener_->OnAgentReply(layer->cookie_, static_cast<uint8_t>(payload[0]));
}

bool nwCAgentLayer::OnConnected() {
  if (listener_ != nullptr) listener_->OnAgentConnected(cookie_);
  return true;
}

void nwCAgentLayer::OnShutdown() {
  nwIAgentListener* listener = listener_;
  listener_ = nullptr;
  if (listener != nullptr) listener->OnAgentClosed(cookie_);
}

bool nwCAgentLayer::OnConnectFailed() {
  if (listener_ != nullptr) listener_->OnAgentConnectFailed(cookie_);
  return true;
}

bool nwCAgentLayer::OnIdleTimeout() {
  if (listener_ != nullptr) listener_->OnAgentIdle(cookie_);
  return true;
}
