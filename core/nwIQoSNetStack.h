#pragma once
// The contract between a connection and its protocol layers: the layer interface (interface id
// 0x2016) through which the connection drives a layer, and the connection interface a layer
// reaches back through. Layer index 0 is the top (the session's side), the last the bottom
// (next to the socket).

#include <cstdint>

#include "core/nvIUnknown.h"
#include "core/nvTSmartPtr.h"

struct cpAddress;
struct cpSocketRecord;
class nvIQoSContext;

struct cpDataRef {
  const char* data = nullptr;
  int32_t length = 0;
};

// Connection events and event-mask bits.
enum : int32_t {
  QOS_EV_CONNECT_FAILED = 1,
  QOS_EV_SEND_DRAINED = 2,
  QOS_EV_IDLE = 4,
  QOS_EV_COUNT_RECEIVED = 8,
  QOS_EV_COUNT_SENT = 16,
  QOS_EV_FAILURE = 32,
  QOS_EV_TIMER = 64,
};

class nwIQoSNetStack : public nvIUnknown {
 public:
  virtual cpStatus GetReceiveRate(int32_t* bytesPerSecond) = 0;
  virtual cpStatus GetSendRate(int32_t* bytesPerSecond) = 0;
  // Data from the layer above, to be passed on downwards.
  virtual cpStatus Write(const cpDataRef* data) = 0;
  virtual cpStatus Close() = 0;
  // The bool results say whether the connection goes on to the next layer above.
  virtual bool OnConnected() = 0;
  virtual bool OnHostUnreachable() = 0;
  virtual bool OnEvent(int32_t code, int32_t reserved) = 0;
  // Bytes from below; returns how many were consumed (negative: the connection closes).
  virtual int32_t OnReceive(const char* data, int32_t length) = 0;
  virtual void OnClose() = 0;
  virtual cpStatus SetEventMask(int32_t mask) = 0;
  virtual cpStatus AddEvents(int32_t bits) = 0;
  virtual cpStatus RemoveEvents(int32_t bits) = 0;
  virtual cpStatus Connect(const cpAddress* address) = 0;
  virtual void NotifyConnectedUp() = 0;
  virtual int32_t PassUp(const char* data, int32_t length) = 0;
  virtual cpStatus PassDown(const cpDataRef* data) = 0;

  // Set by the connection's PushLayer; not reference-counted.
  nvIQoSContext* context = nullptr;
};

using nvMessageHandler = void (*)(const char* payload, int32_t payloadLength, void* userData);
using nvRawHandler = int32_t (*)(const char* data, int32_t length, void* userData);

// Cuts received bytes into frames and routes them to handlers (class id 0x2006).
class nvIStreamDispatcher : public nvIUnknown {
 public:
  virtual cpStatus AddHandler(uint16_t group, int32_t type, nvMessageHandler handler, void* userData) = 0;
  virtual cpStatus Dispatch(const char* data, int32_t length, int32_t* consumed) = 0;
};

class nvIQoSContext : public nvIUnknown {
 public:
  virtual cpStatus Open(int32_t actionType, int32_t eventMask, cpSocketRecord* socket) = 0;
  virtual cpStatus SetActionLimit(int32_t kind, const int32_t* bytesPerSecond) = 0;
  virtual cpStatus SetAction(int32_t actionType) = 0;
  virtual cpStatus SetEventMask(int32_t mask) = 0;
  virtual cpStatus AddEvents(int32_t bits) = 0;
  virtual cpStatus RemoveEvents(int32_t bits) = 0;
  virtual cpStatus SetOption(int32_t option, const int32_t* value) = 0;
  virtual cpStatus GetState(int32_t* out) = 0;
  virtual cpStatus Connect(const cpAddress* address) = 0;
  virtual cpStatus ConnectEx(const cpAddress* address) = 0;
  virtual cpStatus PassDown(nwIQoSNetStack* fromLayer, const cpDataRef* data) = 0;
  virtual cpStatus PushLayer(uint32_t classId, bool atBottom) = 0;
  virtual cpStatus FindLayer(uint32_t classId, void** out) = 0;
  virtual cpStatus Rearm() = 0;
  virtual cpStatus AddStreamHandler(uint16_t group, int32_t type, nvMessageHandler handler,
                                    void* userData) = 0;
  virtual cpStatus SetAddress(const cpAddress* address) = 0;
  virtual cpStatus GetAddress(cpAddress** out) = 0;
  virtual cpStatus Close() = 0;
  virtual cpStatus PostFailure() = 0;
  // The top layer's object (its service interface), not add-ref'd; null without layers.
  virtual nvIUnknown* GetTopLayer() = 0;
  virtual void NotifyConnectedUp(nwIQoSNetStack* fromLayer) = 0;
  virtual int32_t PassUp(nwIQoSNetStack* fromLayer, const char* data, int32_t length) = 0;
  virtual cpStatus GetSendBuffer(const char** data, int32_t* size) = 0;
  virtual cpStatus Send(const char* data, int32_t length) = 0;
  virtual cpStatus GetReceiveRate(int32_t* bytesPerSecond) = 0;
  virtual cpStatus GetSendRate(int32_t* bytesPerSecond) = 0;
  virtual cpStatus Reserved() = 0;
  virtual cpStatus GetQueuedBytes(int32_t* out) = 0;
  virtual cpStatus GetHostName(char** out) = 0;
  virtual cpStatus SetHostName(const char* name) = 0;
  virtual cpStatus MarkAddressGood() = 0;
  virtual cpStatus MarkAddressFailed() = 0;
  // Ends a connection whose host cannot be reached, from the message loop (never inside the
  // caller's call): the layers hear of it as of any unreachable host.
  virtual cpStatus PostUnreachable() = 0;
};

// A counted reference to a connection, typed where the connection is made.
using nvQoSContextPtr = nvTSmartPtr<nvIQoSContext>;
