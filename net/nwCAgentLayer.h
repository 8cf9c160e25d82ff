#pragma once
// The layer of the connection to the agent relay server: frames per-file transfer reports (group
// 0x0300, type 154) and passes the server's reply (type 131) to its listener. Any other message
// closes the connection.

#include <cstdint>

#include "net/nwCApplicationStack.h"

// Handed back with every listener call (the same type as the HTTP layer's cookie).
using nwListenerCookie = uintptr_t;

constexpr uint16_t kAgentGroup = 0x0300;
constexpr uint16_t kAgentReportType = 154;
constexpr uint16_t kAgentReplyType = 131;
// One report record (a file of the report), sent unchanged.
constexpr int32_t kAgentRecordSize = 298;

// One report: `count` records of kAgentRecordSize bytes each, packed.
struct nwAgentReport {
  int32_t count = 0;
  const uint8_t* records = nullptr;
};

// Every call passes the cookie the listener was set with.
class nwIAgentListener {
 public:
  virtual void OnAgentConnected(nwListenerCookie cookie) = 0;
  virtual void OnAgentReply(nwListenerCookie cookie, uint8_t result) = 0;
  // The connection closed; the layer forgets its listener after this call.
  virtual void OnAgentClosed(nwListenerCookie cookie) = 0;
  virtual void OnAgentConnectFailed(nwListenerCookie cookie) = 0;
  virtual void OnAgentIdle(nwListenerCookie cookie) = 0;

 protected:
  ~nwIAgentListener() = default;
};

class nvIAgentLayer : public nvIUnknown {
 public:
  virtual cpStatus SetListener(nwIAgentListener* listener, nwListenerCookie cookie) = 0;
  // Builds one report frame and passes it down. NW_E_FAIL for a negative count, missing records
  // or a report too large for one frame.
  virtual cpStatus SendReport(const nwAgentReport* report) = 0;
};

class nwCAgentLayer final : public nwTLayer<nvIAgentLayer> {
 public:
  nwCAgentLayer();
  ~nwCAgentLayer() override;

  cpStatus SetListener(nwIAgentListener* listener, nwListenerCookie cookie) override;
  cpStatus SendReport(const nwAgentReport* report) override;

  bool OnConnected() override;
  void OnShutdown() override;
  bool OnConnectFailed() override;
  bool OnIdleTimeout() override;

 private:
  static void OnReplyThunk(const char* payload, int32_t payloadLength, void* self);
  void RegisterHandlers();

  nwIAgentListener* listener_ = nullptr;
  nwListenerCookie cookie_ = 0;
};
