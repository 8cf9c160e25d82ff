#pragma once
// What every protocol layer has in common: the layer interface the connection drives (with
// pass-through defaults for what a layer does not care about), an embedded stream dispatcher that
// cuts received bytes into messages, the helpers that reach the connection, and the framing of
// the binary protocols.

#include <cstdint>
#include <utility>

#include "core/nvSmartPtr.h"
#include "core/nwIQoSNetStack.h"
#include "net/nwCStreamDispatcher.h"

struct cpAddress;

class nwCApplicationStack : public nwIQoSNetStack {
 public:
  cpStatus GetReceiveRate(int32_t* bytesPerSecond) override;
  cpStatus GetSendRate(int32_t* bytesPerSecond) override;
  cpStatus Write(const cpDataRef* data) override;
  cpStatus Close() override;
  bool OnHostUnreachable() override { return true; }
  bool OnEvent(int32_t code, int32_t reserved) override;
  int32_t OnReceive(const char* data, int32_t length) override;
  void OnClose() override;
  cpStatus SetEventMask(int32_t mask) override;
  cpStatus AddEvents(int32_t bits) override;
  cpStatus RemoveEvents(int32_t bits) override;
  cpStatus Connect(const cpAddress* address) override;
  void NotifyConnectedUp() override;
  int32_t PassUp(const char* data, int32_t length) override;
  cpStatus PassDown(const cpDataRef* data) override;

  // Hooks of OnClose and OnEvent.
  virtual void OnShutdown() = 0;
  virtual bool OnConnectFailed() { return true; }
  virtual bool OnSendDrained() { return true; }
  virtual bool OnIdleTimeout() { return true; }
  virtual bool OnTimerEvent() { return true; }

  // Framed protocols: a zeroed payload area of `payloadLength` bytes inside a padded frame, and
  // its sending (header written in front, passed down, storage freed).
  static char* AllocFrame(int32_t payloadLength);
  cpStatus SendFrame(uint16_t type, char* payload, int32_t payloadLength, uint16_t group);

 protected:
  nwCApplicationStack() = default;
  ~nwCApplicationStack() override = default;

  cpStatus FindLayer(uint32_t classId, void** out);
  cpStatus PushLayer(uint32_t classId, bool atBottom);
  cpStatus SetAddress(const cpAddress* address);
  cpStatus GetAddress(cpAddress** out);
  cpStatus SetHostName(const char* name);
  cpStatus GetHostName(char** out);

  nwCStreamDispatcher& Dispatcher() { return dispatcher_; }

 private:
  nwCStreamDispatcher dispatcher_;
};

// A concrete layer: its service interface and its layer interface share one plain reference
// count; QueryInterface answers the layer interface only.
template <class Service>
class nwTLayer : public Service, public nwCApplicationStack {
 public:
  cpStatus AddRef() override {
    ++refCount_;
    return CP_S_REF;
  }
  cpStatus Release() override {
    if (refCount_-- == 1) delete this;
    return CP_S_REF;
  }
  cpStatus QueryInterface(int32_t interfaceId, void** out) override {
    if (interfaceId != NW_IID_QOS_NET_STACK || out == nullptr) return NW_E_FAIL;
    *out = static_cast<nwIQoSNetStack*>(this);
    return NW_S_OK;
  }
  int32_t RefCount() const { return refCount_; }

  // The factory's form of a layer: its service interface.
  template <class Layer>
  static nvIUnknown* Create() {
    return static_cast<Service*>(new Layer());
  }

 protected:
  nwTLayer() = default;

 private:
  int32_t refCount_ = 0;
};
