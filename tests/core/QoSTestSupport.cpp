#include "tests/core/QoSTestSupport.h"

#include <algorithm>

namespace qostest {

namespace {

int g_nextLayer = 1;

template <uint32_t ClassId>
nvIUnknown* MakeFake() {
  auto* layer = new FakeLayer(ClassId, "L" + std::to_string(g_nextLayer++));
  CreatedLayers().push_back(layer);
  return layer;
}

}  // namespace

std::vector<std::string>& LayerLog() {
  static std::vector<std::string> log;
  return log;
}

std::vector<FakeLayer*>& CreatedLayers() {
  static std::vector<FakeLayer*> layers;
  return layers;
}

std::vector<std::string>& DestroyedLayers() {
  static std::vector<std::string> names;
  return names;
}

void RegisterFakeLayers() {
  ASSERT_TRUE(nvRegisterClass(kFakeLayer, &MakeFake<kFakeLayer>));
  ASSERT_TRUE(nvRegisterClass(kFakeBottomLayer, &MakeFake<kFakeBottomLayer>));
}

void ResetFakeLayers() {
  LayerLog().clear();
  CreatedLayers().clear();
  DestroyedLayers().clear();
  g_nextLayer = 1;
}

FakeLayer::FakeLayer(uint32_t classId, std::string name) : classId_(classId), name_(std::move(name)) {}

FakeLayer::~FakeLayer() {
  DestroyedLayers().push_back(name_);
  for (FakeLayer*& layer : CreatedLayers()) {
    if (layer == this) layer = nullptr;
  }
}

void FakeLayer::Record(const std::string& call) { LayerLog().push_back(name_ + "." + call); }

cpStatus FakeLayer::QueryInterface(int32_t interfaceId, void** out) {
  if (interfaceId != NW_IID_QOS_NET_STACK || out == nullptr) return CP_E_NOTIMPL;
  *out = static_cast<nwIQoSNetStack*>(this);
  return CP_S_OK;
}

cpStatus FakeLayer::Write(const cpDataRef* data) {
  std::string bytes = data != nullptr && data->data != nullptr
                          ? std::string(data->data, static_cast<size_t>(data->length))
                          : "";
  Record("Write(" + bytes + ")");
  writes.push_back(bytes);
  if (passWritesDown) return context->PassDown(this, data);
  return CP_S_OK;
}

bool FakeLayer::OnConnected() {
  Record("OnConnected");
  if (whenConnected) whenConnected();
  return connectedResult;
}

bool FakeLayer::OnHostUnreachable() {
  Record("OnHostUnreachable");
  return unreachableResult;
}

bool FakeLayer::OnEvent(int32_t code, int32_t /*reserved*/) {
  Record("OnEvent(" + std::to_string(code) + ")");
  if (whenEvent) whenEvent(code);
  return eventResult;
}

int32_t FakeLayer::OnReceive(const char* data, int32_t length) {
  Record("OnReceive(" + std::to_string(length) + ")");
  offers.emplace_back(data, static_cast<size_t>(length));
  int32_t consumed = consume ? consume(data, length) : length;
  if (consumed > 0) taken.append(data, static_cast<size_t>(std::min(consumed, length)));
  return consumed;
}

void FakeLayer::OnClose() {
  Record("OnClose");
  ++closeCount;
  if (whenClosed) whenClosed();
}

cpAddress Loopback(uint16_t port) { return testsupport::LoopbackAddress(port); }

bool WaitForUnread(int fd, int count, int64_t timeoutMs) {
  return testsupport::WaitUntil([&] { return UnreadBytes(fd) >= count; }, timeoutMs);
}

bool WaitForHangUp(int fd, int64_t timeoutMs) {
  return testsupport::WaitUntil(
      [&] {
        pollfd entry{fd, 0, 0};
        return poll(&entry, 1, 0) == 1 && (entry.revents & (POLLERR | POLLHUP)) != 0;
      },
      timeoutMs);
}

intptr_t Deliver(platform::WindowHandle window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  platform::Message posted;
  posted.window = window;
  posted.message = message;
  posted.wParam = wParam;
  posted.lParam = lParam;
  return platform::DispatchMessageToWindow(posted);
}

intptr_t SocketNotice(uint32_t notice, int32_t error) {
  return static_cast<intptr_t>(notice | (static_cast<uint32_t>(error) << 16));
}

std::vector<platform::Message> TakeReadyMessages() {
  std::vector<platform::Message> taken;
  platform::Message message;
  while (platform::PeekNextMessage(&message)) taken.push_back(message);
  return taken;
}

bool TakeMessagesUntil(const std::function<bool(const platform::Message&)>& wanted,
                       std::vector<platform::Message>* taken, int64_t timeoutMs) {
  bool found = false;
  testsupport::WaitUntil(
      [&] {
        platform::Message message;
        while (!found && platform::PeekNextMessage(&message)) {
          taken->push_back(message);
          found = wanted(message);
        }
        return found;
      },
      timeoutMs);
  return found;
}

cpCQoSContext* Connections::New() {
  nvSmartPtr object;
  EXPECT_TRUE(object.CreateInstance(CLSID_cpCQoSContext));
  held_.push_back(object);
  return nvCast<cpCQoSContext>(object.Get());
}

cpCQoSContext* Connections::Open(int32_t actionType, int32_t mask) {
  cpCQoSContext* context = New();
  EXPECT_EQ(CP_S_OK, context->Open(actionType, mask, nullptr));
  return context;
}

void Connections::CloseAll() {
  for (nvSmartPtr& held : held_) {
    if (held) nvCast<cpCQoSContext>(held.Get())->Close();
  }
  held_.clear();
}

void Connections::Forget(cpCQoSContext* context) {
  for (nvSmartPtr& held : held_) {
    if (held.Get() == context) held.Attach(nullptr);
  }
}

FakeLayer* PushFake(cpCQoSContext* context, bool atBottom, uint32_t classId) {
  size_t before = CreatedLayers().size();
  EXPECT_EQ(CP_S_OK, context->PushLayer(classId, atBottom));
  if (CreatedLayers().size() != before + 1) return nullptr;
  return CreatedLayers().back();
}

}  // namespace qostest
