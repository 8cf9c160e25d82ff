#pragma once
// Helpers of the socket, QoS and connection tests: a fake protocol layer that sits in the real
// layer table of a connection and records every call the connection makes, loopback peers that
// refuse or never answer a connect, and small waits on real sockets that never pump the message
// loop (so a test decides when notices are handled).

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "core/cpSocket.h"
#include "core/nvSmartPtr.h"
#include "core/nwIQoSNetStack.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/LoopbackSocket.h"
#include "tests/support/StalledPort.h"
#include "tests/support/WaitUntil.h"

namespace qostest {

// ---- the fake layer ----
//
// The runtime core has no layers of its own and PushLayer creates layers only through the class
// factory. The fake is therefore registered (with nvRegisterClass) under two class ids of its own:
// kFakeLayer for an ordinary layer and kFakeBottomLayer for one pushed at the bottom, as a TLS
// layer would be. Nothing is ever registered under kNoClass.
constexpr uint32_t kFakeLayer = 0x2F01;
constexpr uint32_t kFakeBottomLayer = 0x2F02;
constexpr uint32_t kNoClass = 0x2FFF;

// Every call the fake layers saw, in order, as "<name>.<call>" (e.g. "L2.OnEvent(1)").
std::vector<std::string>& LayerLog();

class FakeLayer final : public nvTRefCounted<nwIQoSNetStack> {
 public:
  FakeLayer(uint32_t classId, std::string name);
  ~FakeLayer() override;

  const std::string& Name() const { return name_; }
  uint32_t ClassId() const { return classId_; }
  nvIQoSContext* Context() const { return context; }

  cpStatus QueryInterface(int32_t interfaceId, void** out) override;

  // Slots that forward to the connection.
  cpStatus GetReceiveRate(int32_t* bytesPerSecond) override {
    return context->GetReceiveRate(bytesPerSecond);
  }
  cpStatus GetSendRate(int32_t* bytesPerSecond) override { return context->GetSendRate(bytesPerSecond); }
  cpStatus Close() override { return context->Close(); }
  cpStatus SetEventMask(int32_t mask) override { return context->SetEventMask(mask); }
  cpStatus AddEvents(int32_t bits) override { return context->AddEvents(bits); }
  cpStatus RemoveEvents(int32_t bits) override { return context->RemoveEvents(bits); }
  cpStatus Connect(const cpAddress* address) override { return context->Connect(address); }
  void NotifyConnectedUp() override { context->NotifyConnectedUp(this); }
  int32_t PassUp(const char* data, int32_t length) override { return context->PassUp(this, data, length); }
  cpStatus PassDown(const cpDataRef* data) override { return context->PassDown(this, data); }

  // Slots the connection calls; each is recorded.
  cpStatus Write(const cpDataRef* data) override;
  bool OnConnected() override;
  bool OnHostUnreachable() override;
  bool OnEvent(int32_t code, int32_t reserved) override;
  int32_t OnReceive(const char* data, int32_t length) override;
  void OnClose() override;

  // Configuration.
  bool connectedResult = true;
  bool unreachableResult = true;
  bool eventResult = true;
  bool passWritesDown = true;
  // Bytes OnReceive reports consumed for an offer; every byte when unset.
  std::function<int32_t(const char* data, int32_t length)> consume;
  // Run inside the callbacks, after recording them.
  std::function<void()> whenConnected;
  std::function<void(int32_t code)> whenEvent;
  std::function<void()> whenClosed;

  // What arrived.
  std::string taken;                // the bytes reported consumed, in stream order
  std::vector<std::string> offers;  // each OnReceive's bytes
  std::vector<std::string> writes;  // each Write's bytes
  int closeCount = 0;

 private:
  void Record(const std::string& call);

  uint32_t classId_;
  std::string name_;
};

// Registers the fake under its two class ids (idempotent).
void RegisterFakeLayers();
// The fake layers created since the last ResetFakeLayers, in creation order ("L1", "L2", ...);
// an entry becomes null when its layer is destroyed.
std::vector<FakeLayer*>& CreatedLayers();
// Clears the log and the creation list and restarts the names at L1.
void ResetFakeLayers();
// Names of the layers destroyed since the last reset, in order.
std::vector<std::string>& DestroyedLayers();

// ---- loopback peers ----

cpAddress Loopback(uint16_t port);

// ---- waits on real sockets that do not pump ----

using testsupport::UnreadBytes;
// Waits (real time, bounded) until at least `count` bytes wait unread on `fd`.
bool WaitForUnread(int fd, int count, int64_t timeoutMs = 5000);
// Waits (real time, bounded) until `fd` reports an error or hang-up (e.g. the peer reset it).
bool WaitForHangUp(int fd, int64_t timeoutMs = 5000);

// Dispatches one message to a window synchronously, as the message loop would.
intptr_t Deliver(platform::WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// A readiness message of the notification window: notice in the low 16 bits, error above.
intptr_t SocketNotice(uint32_t notice, int32_t error);

// The messages that are ready now, taken off the queue without dispatching them (so a test can
// hand them on in an order of its choosing).
std::vector<platform::Message> TakeReadyMessages();
// Takes messages (dispatching none) until one satisfies `wanted`, for at most `timeoutMs`; every
// message taken is appended to `taken`. True when the wanted one came.
bool TakeMessagesUntil(const std::function<bool(const platform::Message&)>& wanted,
                       std::vector<platform::Message>* taken, int64_t timeoutMs = 5000);

// ---- connections ----

// A connection object (class id 0x100A) held by the test; Close() is called for every one that
// is still open when the test ends, so no slot outlives the runtime.
class Connections {
 public:
  ~Connections() { CloseAll(); }
  cpCQoSContext* New();
  // New() + Open(actionType, mask, null); fails the test when Open does.
  cpCQoSContext* Open(int32_t actionType, int32_t mask);
  void CloseAll();
  // Drops the test's own reference (the manager's slot keeps the connection alive).
  void Forget(cpCQoSContext* context);

 private:
  std::vector<nvSmartPtr> held_;
};

// Pushes a fake layer and returns it (the newest created one).
FakeLayer* PushFake(cpCQoSContext* context, bool atBottom, uint32_t classId = kFakeLayer);

}  // namespace qostest
