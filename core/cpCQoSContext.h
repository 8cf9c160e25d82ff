#pragma once
// One TCP connection: its socket (registered with the QoS manager), the stack of protocol layers
// between its user and the socket, a send queue and a receive buffer, the action that paces its
// I/O, a connect time-out, and a small FIFO of events it acts on from the message loop rather
// than inside the call that found them.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/cpCQoSContextAction.h"
#include "core/cpCTimer.h"
#include "core/cpLog.h"
#include "core/cpQoSBuffers.h"
#include "core/cpSocket.h"
#include "core/cpTime.h"
#include "core/nvSmartPtr.h"
#include "core/nvTSmartPtr.h"
#include "core/nwIQoSNetStack.h"

enum : int32_t {
  QOS_ST_NEW = 0,
  QOS_ST_OPENING = 1,
  QOS_ST_CREATED = 2,
  QOS_ST_CONNECTING = 3,
  QOS_ST_CONNECTED = 4,
  QOS_ST_FAILED = 5,
  QOS_ST_SENDING = 6,
  QOS_ST_RECEIVING = 7,
  QOS_ST_READY = 8,
  QOS_ST_CLOSING = 9,
  QOS_ST_CLOSED = 10,
};

enum : int32_t {
  QOS_OPT_CONNECT_TIMEOUT = 1,
  QOS_OPT_IDLE_LIMIT = 4,
  QOS_OPT_TIMER = 64,
};

class cpCQoSContext final : public nvIQoSContext {
 public:
  static constexpr int32_t kDefaultIdleLimit = 60;
  static constexpr int32_t kDefaultConnectTimeout = 5;
  static constexpr size_t kHostNameCapacity = 256;
  // A connection with the idle event that, once connected this many manager seconds, received
  // less than this many seconds' worth of the minimum rate (setting min_rate_bytes, bytes per
  // second; 0 turns it off) over the last as many seconds, ends its wait as on an idle time-out:
  // a server that trickles a byte now and then must not hold a request for ever.
  static constexpr int32_t kRateWindowSeconds = 30;
  static constexpr int32_t kDefaultMinimumRate = 1024;

  // Whether the state table allows a change from `from` to `to`.
  static bool IsLegalTransition(int32_t from, int32_t to);

  cpCQoSContext();
  ~cpCQoSContext() override;

  cpStatus AddRef() override;
  cpStatus Release() override;
  cpStatus QueryInterface(int32_t interfaceId, void** out) override;

  cpStatus Open(int32_t actionType, int32_t eventMask, cpSocketRecord* socket) override;
  cpStatus SetActionLimit(int32_t kind, const int32_t* bytesPerSecond) override;
  cpStatus SetAction(int32_t actionType) override;
  cpStatus SetEventMask(int32_t mask) override;
  cpStatus AddEvents(int32_t bits) override;
  cpStatus RemoveEvents(int32_t bits) override;
  cpStatus SetOption(int32_t option, const int32_t* value) override;
  cpStatus GetState(int32_t* out) override;
  cpStatus Connect(const cpAddress* address) override;
  cpStatus ConnectEx(const cpAddress* address) override { return Connect(address); }
  cpStatus PassDown(nwIQoSNetStack* fromLayer, const cpDataRef* data) override;
  cpStatus PushLayer(uint32_t classId, bool atBottom) override;
  cpStatus FindLayer(uint32_t classId, void** out) override;
  cpStatus Rearm() override;
  cpStatus AddStreamHandler(uint16_t group, int32_t type, nvMessageHandler handler, void* userData) override;
  cpStatus SetAddress(const cpAddress* address) override;
  cpStatus GetAddress(cpAddress** out) override;
  cpStatus Close() override;
  cpStatus PostFailure() override;
  nvIUnknown* GetTopLayer() override;
  void NotifyConnectedUp(nwIQoSNetStack* fromLayer) override;
  int32_t PassUp(nwIQoSNetStack* fromLayer, const char* data, int32_t length) override;
  cpStatus GetSendBuffer(const char** data, int32_t* size) override;
  cpStatus Send(const char* data, int32_t length) override;
  cpStatus GetReceiveRate(int32_t* bytesPerSecond) override;
  cpStatus GetSendRate(int32_t* bytesPerSecond) override;
  cpStatus Reserved() override { return CP_S_OK; }
  cpStatus GetQueuedBytes(int32_t* out) override;
  cpStatus GetHostName(char** out) override;
  cpStatus SetHostName(const char* name) override;
  cpStatus MarkAddressGood() override;
  cpStatus MarkAddressFailed() override;

  cpStatus PostUnreachable() override;

  // Reactions to the QoS manager's events.
  void OnReadable();
  void OnWritable();
  void OnConnected();
  void Close(bool peerClosed);
  void ConnectFailed();
  void HostUnreachable();
  void ProcessEvent(cpSocketRecord* record);
  void ProcessDetachedEvent();
  void SecondTick(int32_t* totals);
  // Writes every state change of this connection through `trace` ("[TessenLib_D] ..."); null
  // (the default) for none.
  void SetStateTrace(cpLogWriter trace) { stateTrace_ = trace; }
  bool OwnsSocket(platform::SocketHandle socket) const {
    return socket_ != nullptr && socket_->handle == socket;
  }

  int32_t State() const { return state_; }
  int32_t EventMask() const { return eventMask_; }
  int32_t IdleCounter() const { return idleCounter_; }
  int32_t SecondsAlive() const { return secondsAlive_; }
  int32_t LayerCount() const { return static_cast<int32_t>(layers_.size()); }
  uint32_t LayerClassAt(int32_t index) const { return layers_[static_cast<size_t>(index)].classId; }
  const cpReceiveBuffer& ReceiveBuffer() const { return receive_; }
  cpCQoSContextAction* Action() const { return action_.get(); }
  const cpSocketRecord* Socket() const { return socket_; }

 private:
  struct LayerEntry {
    nvSmartPtr object;
    nwIQoSNetStack* layer;
    uint32_t classId;
  };
  struct RateWindow {
    cpPreciseTime start;
    uint32_t bytes = 0;
    void Count(int32_t n);
    int32_t TakeRate();
  };

  static void OnConnectTimer(void* self);
  // Every change of state_ goes through here: checked against the state table, and traced.
  void SetState(int32_t state);
  // The per-second step of the minimum transfer rate.
  void CheckMinimumRate();
  void StopConnectTimer();
  void PostEvent(int32_t code);
  void NotifyLayers(int32_t code);
  void Enqueue(const char* data, int32_t length);
  void Refill();
  bool Pump();
  void Deliver();
  // The index of a layer interface in the table, or -1.
  int32_t IndexOf(const nwIQoSNetStack* layer) const;

  std::atomic<int32_t> refCount_{0};
  std::unique_ptr<cpSendBlock> current_;
  cpReceiveBuffer receive_;
  cpSocketRecord* socket_ = nullptr;
  int32_t idleLimit_ = kDefaultIdleLimit;
  int32_t connectTimeout_ = kDefaultConnectTimeout;
  int32_t eventMask_ = 0;
  int32_t state_ = QOS_ST_NEW;
  std::deque<std::unique_ptr<cpSendBlock>> queue_;
  int32_t idleCounter_ = 0;
  int32_t secondsAlive_ = 0;
  std::vector<LayerEntry> layers_;
  cpCTimerPtr connectTimer_;
  nvTSmartPtr<nvIStreamDispatcher> dispatcher_;
  std::unique_ptr<cpCQoSContextAction> action_;
  cpAddress address_;
  RateWindow sendRate_;
  RateWindow receiveRate_;
  int32_t connected_ = 0;
  int32_t timerOption_[4] = {};
  char hostName_[kHostNameCapacity] = {};
  std::deque<int32_t> events_;
  cpLogWriter stateTrace_ = nullptr;
  // The minimum rate: bytes per second (0: off), the bytes of the running manager second, those
  // of the last kRateWindowSeconds seconds since the connect, and whether the floor was reported.
  int64_t minimumRate_ = kDefaultMinimumRate;
  int64_t receivedThisSecond_ = 0;
  int64_t recentSeconds_[kRateWindowSeconds] = {};
  int32_t secondsConnected_ = 0;
  bool slowReported_ = false;
};
