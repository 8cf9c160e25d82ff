#include "net/nwCApplicationStack.h"

#include <cstdlib>
#include <cstring>

#include "core/cpSocket.h"
#include "protocol/nwFrame.h"

cpStatus nwCApplicationStack::GetReceiveRate(int32_t* bytesPerSecond) {
  return context != nullptr ? context->GetReceiveRate(bytesPerSecond) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::GetSendRate(int32_t* bytesPerSecond) {
  return context != nullptr ? context->GetSendRate(bytesPerSecond) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::Write(const cpDataRef* /*data*/) { return CP_S_OK; }

cpStatus nwCApplicationStack::Close() { return context != nullptr ? context->Close() : CP_E_FAIL; }

bool nwCApplicationStack::OnEvent(int32_t code, int32_t /*reserved*/) {
  switch (code) {
    case QOS_EV_CONNECT_FAILED:
      return OnConnectFailed();
    case QOS_EV_SEND_DRAINED:
      return OnSendDrained();
    case QOS_EV_IDLE:
      return OnIdleTimeout();
    case QOS_EV_TIMER:
      return OnTimerEvent();
    default:
      return true;
  }
}

int32_t nwCApplicationStack::OnReceive(const char* data, int32_t length) {
  return dispatcher_.Process(data, length);
}

void nwCApplicationStack::OnClose() {
  dispatcher_.StopDispatch();
  OnShutdown();
}

cpStatus nwCApplicationStack::SetEventMask(int32_t mask) {
  return context != nullptr ? context->SetEventMask(mask) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::AddEvents(int32_t bits) {
  return context != nullptr ? context->AddEvents(bits) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::RemoveEvents(int32_t bits) {
  return context != nullptr ? context->RemoveEvents(bits) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::Connect(const cpAddress* address) {
  return context != nullptr ? context->Connect(address) : CP_E_FAIL;
}

void nwCApplicationStack::NotifyConnectedUp() {
  if (context != nullptr) context->NotifyConnectedUp(this);
}

int32_t nwCApplicationStack::PassUp(const char* data, int32_t length) {
  return context != nullptr ? context->PassUp(this, data, length) : 0;
}

cpStatus nwCApplicationStack::PassDown(const cpDataRef* data) {
  return context != nullptr ? context->PassDown(this, data) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::FindLayer(uint32_t classId, void** out) {
  return context != nullptr ? context->FindLayer(classId, out) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::PushLayer(uint32_t classId, bool atBottom) {
  return context != nullptr ? context->PushLayer(classId, atBottom) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::SetAddress(const cpAddress* address) {
  return context != nullptr ? context->SetAddress(address) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::GetAddress(cpAddress** out) {
  return context != nullptr ? context->GetAddress(out) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::SetHostName(const char* name) {
  return context != nullptr ? context->SetHostName(name) : CP_E_FAIL;
}

cpStatus nwCApplicationStack::GetHostName(char** out) {
  return context != nullptr ? context->GetHostName(out) : CP_E_FAIL;
}

char* nwCApplicationStack::AllocFrame(int32_t payloadLength) {
  if (payloadLength < 0 || static_cast<uint32_t>(payloadLength) > kFrameMaxPayload) return nullptr;
  auto size = static_cast<size_t>(nwRoundUp8(static_cast<int64_t>(payloadLength) + kFrameHeaderSize));
  auto* frame = static_cast<char*>(std::calloc(size, 1));
  return frame != nullptr ? frame + kFrameHeaderSize : nullptr;
}

cpStatus nwCApplicationStack::SendFrame(uint16_t type, char* payload, int32_t payloadLength, uint16_t group) {
  if (payload == nullptr) return NW_E_FAIL;
  char* frame = payload - kFrameHeaderSize;
  int64_t total = nwRoundUp8(static_cast<int64_t>(payloadLength) + kFrameHeaderSize);
  nwFrameHeader header;
  header.group = group;
  header.type = type;
  header.payloadLength = static_cast<uint32_t>(total - kFrameHeaderSize);
  nwEncodeFrameHeader(header, frame);
  cpDataRef data{frame, static_cast<int32_t>(total)};
  PassDown(&data);
  std::free(frame);
  return NW_S_OK;
}
