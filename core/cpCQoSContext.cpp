#include "core/cpCQoSContext.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <utility>

#include "core/Settings.h"
#include "core/cpCHostAddressBook.h"
#include "core/cpCQoS.h"
#include "core/cpCTimer.h"

namespace {

constexpr int32_t kConnectTimerTag = 0x1000003;
// Internal to the FIFO, never passed to a layer as such: the host cannot be reached; the
// connection receives too slowly (the layers hear of it as of an idle time-out).
constexpr int32_t kEventUnreachable = 0x100;
constexpr int32_t kEventTooSlow = 0x101;

}  // namespace

bool cpCQoSContext::IsLegalTransition(int32_t from, int32_t to) {
  switch (to) {
    case QOS_ST_OPENING:
      return from == QOS_ST_NEW;
    case QOS_ST_CREATED:
      return from == QOS_ST_OPENING;
    case QOS_ST_CONNECTING:
      return from == QOS_ST_CREATED;
    case QOS_ST_CONNECTED:
      // From failed: a connect that completed while its time-out was already on its way.
      return from == QOS_ST_OPENING || from == QOS_ST_CONNECTING || from == QOS_ST_FAILED;
    case QOS_ST_FAILED:
      // From opening: no slot or no socket; again from failed: an unreachable host reported
      // after the open had failed.
      return from == QOS_ST_OPENING || from == QOS_ST_CREATED || from == QOS_ST_CONNECTING ||
             from == QOS_ST_FAILED;
    case QOS_ST_SENDING:
      return from == QOS_ST_CONNECTED || from == QOS_ST_RECEIVING || from == QOS_ST_READY;
    case QOS_ST_RECEIVING:
      return from == QOS_ST_CONNECTED || from == QOS_ST_SENDING || from == QOS_ST_READY;
    case QOS_ST_READY:
      return from == QOS_ST_SENDING || from == QOS_ST_RECEIVING;
    case QOS_ST_CLOSING:
      return from != QOS_ST_NEW && from != QOS_ST_CLOSING && from != QOS_ST_CLOSED;
    case QOS_ST_CLOSED:
      return from == QOS_ST_CLOSING;
    default:
      return false;
  }
}

void cpCQoSContext::SetState(int32_t state) {
  bool legal = IsLegalTransition(state_, state);
  if (stateTrace_ != nullptr) {
    char line[kHostNameCapacity + 96];
    std::snprintf(line, sizeof line, "[TessenLib_D] QoS %s state %d -> %d%s", hostName_, state_, state,
                  legal ? "" : " (not in the state table)");
    stateTrace_(line);
  }
  assert(legal && "connection state change outside the state table");
  state_ = state;
}

void cpCQoSContext::RateWindow::Count(int32_t n) {
  if (start.seconds == 0 && start.milliseconds == 0) cpNowPrecise(&start);
  bytes += static_cast<uint32_t>(n);
}

int32_t cpCQoSContext::RateWindow::TakeRate() {
  int32_t elapsed = (start.seconds == 0 && start.milliseconds == 0) ? 0 : cpElapsedMs(&start);
  int32_t rate = elapsed > 0 ? static_cast<int32_t>(static_cast<int64_t>(bytes) * 1000 / elapsed) : 0;
  bytes = 0;
  start = cpPreciseTime{};
  return rate;
}

cpCQoSContext::cpCQoSContext() = default;

cpCQoSContext::~cpCQoSContext() {
  StopConnectTimer();
  // A layer held elsewhere outlives the connection: it must not reach back into it.
  for (LayerEntry& entry : layers_) entry.layer->context = nullptr;
  layers_.clear();
}

cpStatus cpCQoSContext::AddRef() {
  refCount_.fetch_add(1, std::memory_order_relaxed);
  return CP_S_REF;
}

cpStatus cpCQoSContext::Release() {
  if (refCount_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  return CP_S_REF;
}

cpStatus cpCQoSContext::QueryInterface(int32_t interfaceId, void** out) {
  if (layers_.empty()) return CP_E_NOTIMPL;
  return layers_.front().layer->QueryInterface(interfaceId, out);
}

cpStatus cpCQoSContext::Open(int32_t actionType, int32_t eventMask, cpSocketRecord* socket) {
  if (state_ != QOS_ST_NEW) return CP_E_FAIL;
  SetState(QOS_ST_OPENING);
  eventMask_ = eventMask;
  minimumRate_ = std::max<long long>(settings::GetInt("min_rate_bytes", kDefaultMinimumRate), 0);
  cpCQoS* manager = cpCQoS::Instance();
  socket_ = manager != nullptr ? manager->Register(this, socket) : nullptr;
  SetAction(actionType);
  if (socket_ == nullptr) {
    // No slot or no socket: the connection fails from the message loop like a refused connect.
    SetState(QOS_ST_FAILED);
    PostEvent(QOS_EV_CONNECT_FAILED);
    return CP_E_FAIL;
  }
  SetState(socket != nullptr ? QOS_ST_CONNECTED : QOS_ST_CREATED);
  return CP_S_OK;
}

cpStatus cpCQoSContext::SetActionLimit(int32_t kind, const int32_t* bytesPerSecond) {
  if (!action_) return CP_E_FAIL;
  action_->SetLimit(kind, bytesPerSecond);
  return CP_S_OK;
}

cpStatus cpCQoSContext::SetAction(int32_t actionType) {
  if (action_ && action_->GetType() == actionType) return CP_S_OK;
  action_ = cpCQoSContextAction::Create(actionType);
  if (!action_) return CP_E_FAIL;
  action_->Bind(socket_, &current_, &receive_);
  return CP_S_OK;
}

cpStatus cpCQoSContext::SetEventMask(int32_t mask) {
  eventMask_ = mask;
  return CP_S_OK;
}

cpStatus cpCQoSContext::AddEvents(int32_t bits) {
  eventMask_ |= bits;
  return CP_S_OK;
}

cpStatus cpCQoSContext::RemoveEvents(int32_t bits) {
  eventMask_ &= ~bits;
  return CP_S_OK;
}

cpStatus cpCQoSContext::SetOption(int32_t option, const int32_t* value) {
  if (value == nullptr) return CP_E_FAIL;
  switch (option) {
    case QOS_OPT_CONNECT_TIMEOUT:
      connectTimeout_ = value[0];
      return CP_S_OK;
    case QOS_OPT_IDLE_LIMIT:
      idleLimit_ = value[0];
      return CP_S_OK;
    case QOS_OPT_TIMER:
      // Stored, without effect.
      timerOption_[0] = value[0] + secondsAlive_;
      return CP_S_OK;
    default:
      return CP_E_FAIL;
  }
}

cpStatus cpCQoSContext::GetState(int32_t* out) {
  if (out == nullptr) return CP_E_FAIL;
  *out = state_;
  return CP_S_OK;
}

cpStatus cpCQoSContext::Connect(const cpAddress* address) {
  if (state_ != QOS_ST_CREATED || address == nullptr) return CP_E_FAIL;
  SetState(QOS_ST_CONNECTING);
  cpStatus status = cpSocketConnect(socket_, address);
  if (!cpFailed(status)) {
    OnConnected();
  } else if (status == CP_E_WOULDBLOCK) {
    StopConnectTimer();
    cpCQoS* manager = cpCQoS::Instance();
    connectTimer_ =
        cpStartTimer(static_cast<uint32_t>(connectTimeout_) * 1000, &OnConnectTimer, this, kConnectTimerTag,
                     manager != nullptr ? manager->GetLock().Untyped() : nvSmartPtr());
  } else {
    SetState(QOS_ST_FAILED);
    PostFailure();
  }
  return CP_S_OK;
}

void cpCQoSContext::OnConnectTimer(void* self) { static_cast<cpCQoSContext*>(self)->ConnectFailed(); }

void cpCQoSContext::StopConnectTimer() { cpStopTimer(connectTimer_); }

void cpCQoSContext::OnConnected() {
  if (connected_ == 2) return;
  StopConnectTimer();
  connected_ = 2;
  SetState(QOS_ST_CONNECTED);
  nvSmartPtr keep(this);
  // A copy: a layer may push another layer while it hears of the connect.
  std::vector<LayerEntry> layers = layers_;
  for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
    if (!it->layer->OnConnected()) break;
  }
  if (!Pump()) PostFailure();
}

void cpCQoSContext::ConnectFailed() {
  SetState(QOS_ST_FAILED);
  StopConnectTimer();
  PostEvent(QOS_EV_CONNECT_FAILED);
}

void cpCQoSContext::HostUnreachable() {
  ConnectFailed();
  // Marked now, not when the queued connect failure comes: a layer that hears of the host may
  // close the connection, and the next connect must pick another address all the same.
  if ((eventMask_ & QOS_EV_CONNECT_FAILED) != 0) MarkAddressFailed();
  nvSmartPtr keep(this);
  std::vector<LayerEntry> layers = layers_;
  for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
    if (!it->layer->OnHostUnreachable()) break;
  }
}

cpStatus cpCQoSContext::PostUnreachable() {
  PostEvent(kEventUnreachable);
  return CP_S_OK;
}

void cpCQoSContext::PostEvent(int32_t code) {
  if (state_ == QOS_ST_CLOSING || state_ == QOS_ST_CLOSED) return;
  events_.push_back(code);
  if (socket_ != nullptr) {
    cpSocketPostEvent(socket_);
    return;
  }
  // Without a socket the window still carries the event, naming the connection itself.
  platform::WindowHandle window = cpNotifyWindowHandle();
  AddRef();
  if (window == 0 ||
      !platform::PostToWindow(window, CP_MSG_DETACHED_EVENT, 0, reinterpret_cast<intptr_t>(this))) {
    events_.pop_back();
    Release();
  }
}

void cpCQoSContext::ProcessEvent(cpSocketRecord* record) {
  // A message left over from an earlier socket touches nothing.
  if (socket_ == nullptr || record != socket_) return;
  ProcessDetachedEvent();
}

void cpCQoSContext::ProcessDetachedEvent() {
  if (events_.empty() || state_ == QOS_ST_CLOSED) return;
  int32_t code = events_.front();
  events_.pop_front();
  nvSmartPtr keep(this);
  if (code == kEventUnreachable) {
    HostUnreachable();
    return;
  }
  if (code == kEventTooSlow) {
    if ((eventMask_ & QOS_EV_IDLE) == 0) return;
    MarkAddressFailed();
    NotifyLayers(QOS_EV_IDLE);
    return;
  }
  if (code == QOS_EV_IDLE) {
    if (idleCounter_ < idleLimit_ || (eventMask_ & QOS_EV_IDLE) == 0) return;
    MarkAddressFailed();
  }
  if (code == QOS_EV_CONNECT_FAILED) {
    if ((eventMask_ & QOS_EV_CONNECT_FAILED) == 0 || connected_ == 2) return;
    MarkAddressFailed();
  }
  NotifyLayers(code);
  if (code == QOS_EV_CONNECT_FAILED || code == QOS_EV_FAILURE) Close(false);
}

void cpCQoSContext::NotifyLayers(int32_t code) {
  if ((eventMask_ & code) == 0) return;
  nvSmartPtr keep(this);
  std::vector<LayerEntry> layers = layers_;
  for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
    if (!it->layer->OnEvent(code, 0)) break;
  }
}

cpStatus cpCQoSContext::Send(const char* data, int32_t length) {
  Enqueue(data, length);
  return CP_S_OK;
}

void cpCQoSContext::Enqueue(const char* data, int32_t length) {
  if (state_ == QOS_ST_FAILED || state_ == QOS_ST_CLOSING || state_ == QOS_ST_CLOSED) return;
  if (data == nullptr || length <= 0) return;
  queue_.push_back(cpSendBlock::Copy(data, length));
  Refill();
  if (!Pump()) PostFailure();
}

void cpCQoSContext::Refill() {
  if (current_) return;
  if (queue_.empty()) NotifyLayers(QOS_EV_SEND_DRAINED);
  if (queue_.empty()) return;
  current_ = std::move(queue_.front());
  queue_.pop_front();
}

bool cpCQoSContext::Pump() {
  if (socket_ == nullptr || !current_ || !action_) return true;
  if (state_ != QOS_ST_CONNECTED && state_ != QOS_ST_RECEIVING && state_ != QOS_ST_READY) return true;
  SetState(QOS_ST_SENDING);
  bool ok = true;
  while (current_) {
    int32_t sent = 0;
    ok = action_->Send(&sent);
    if ((eventMask_ & QOS_EV_COUNT_SENT) != 0 && sent >= 0) sendRate_.Count(sent);
    if (current_ && current_->Complete()) current_.reset();
    if (!ok || current_) break;
    Refill();
    // A layer asked for more may have closed the connection instead.
    if (state_ != QOS_ST_SENDING) return ok;
  }
  if (state_ == QOS_ST_SENDING) SetState(QOS_ST_READY);
  return ok;
}

void cpCQoSContext::OnWritable() {
  Refill();
  if (!Pump()) PostFailure();
}

void cpCQoSContext::OnReadable() {
  if (socket_ == nullptr || !action_) return;
  if (state_ != QOS_ST_CONNECTED && state_ != QOS_ST_SENDING && state_ != QOS_ST_READY) return;
  idleCounter_ = 0;
  SetState(QOS_ST_RECEIVING);
  int32_t received = action_->Receive();
  if (received > 0) receivedThisSecond_ += received;
  if (received > 0 && (eventMask_ & QOS_EV_COUNT_RECEIVED) != 0) receiveRate_.Count(received);
  if (state_ == QOS_ST_RECEIVING) SetState(QOS_ST_READY);
  if (received > 0) Deliver();
}

void cpCQoSContext::Deliver() {
  if (state_ == QOS_ST_CLOSING || state_ == QOS_ST_CLOSED) return;
  nvSmartPtr keep(this);  // the handlers and layers may close and release the connection
  if (layers_.empty()) {
    if (!dispatcher_) return;
    nvTSmartPtr<nvIStreamDispatcher> dispatcher = dispatcher_;
    int32_t length = receive_.Length();
    int32_t consumed = 0;
    dispatcher->Dispatch(receive_.Data(), length, &consumed);
    if (consumed < 0 || consumed > length) {
      Close(false);
      return;
    }
    // What the handlers took is gone; the rest waits for more bytes, or for the layers they
    // installed. Offered again, it would be dispatched twice, and the buffer would only grow.
    if (consumed == length) {
      receive_.Free();
    } else {
      receive_.Consume(consumed);
    }
    if (layers_.empty() || state_ == QOS_ST_CLOSING || state_ == QOS_ST_CLOSED) return;
    dispatcher_.Reset();
    if (receive_.Length() == 0) return;
  }
  nwIQoSNetStack* bottom = layers_.back().layer;
  nvSmartPtr keepLayer(layers_.back().object);
  int32_t length = receive_.Length();
  int32_t consumed = bottom->OnReceive(receive_.Data(), length);
  if (consumed < 0 || consumed > length) {
    Close(false);
  } else if (consumed == length) {
    receive_.Free();
  } else {
    receive_.Consume(consumed);
  }
}

cpStatus cpCQoSContext::PassDown(nwIQoSNetStack* fromLayer, const cpDataRef* data) {
  if (data == nullptr || layers_.empty()) return CP_S_OK;
  if (fromLayer == layers_.back().layer) {
    Enqueue(data->data, data->length);
    return CP_S_OK;
  }
  int32_t index = IndexOf(fromLayer);
  if (index >= 0 && index + 1 < LayerCount()) layers_[static_cast<size_t>(index) + 1].layer->Write(data);
  return CP_S_OK;
}

int32_t cpCQoSContext::PassUp(nwIQoSNetStack* fromLayer, const char* data, int32_t length) {
  int32_t index = IndexOf(fromLayer);
  if (index <= 0) return 0;
  return layers_[static_cast<size_t>(index) - 1].layer->OnReceive(data, length);
}

void cpCQoSContext::NotifyConnectedUp(nwIQoSNetStack* fromLayer) {
  int32_t index = IndexOf(fromLayer);
  if (index > 0) layers_[static_cast<size_t>(index) - 1].layer->OnConnected();
}

int32_t cpCQoSContext::IndexOf(const nwIQoSNetStack* layer) const {
  for (size_t i = 0; i < layers_.size(); ++i) {
    if (layers_[i].layer == layer) return static_cast<int32_t>(i);
  }
  return -1;
}

cpStatus cpCQoSContext::PushLayer(uint32_t classId, bool atBottom) {
  nvSmartPtr object;
  if (!object.CreateInstance(classId)) return CP_E_FAIL;
  void* interface = nullptr;
  if (!object.QueryInterface(NW_IID_QOS_NET_STACK, &interface) || interface == nullptr) return CP_E_FAIL;
  auto* layer = static_cast<nwIQoSNetStack*>(interface);
  layer->context = this;
  LayerEntry entry{object, layer, classId};
  if (atBottom) {
    layers_.push_back(std::move(entry));
  } else {
    layers_.insert(layers_.begin(), std::move(entry));
  }
  return CP_S_OK;
}

cpStatus cpCQoSContext::FindLayer(uint32_t classId, void** out) {
  for (const LayerEntry& entry : layers_) {
    if (entry.classId == classId) {
      if (out != nullptr) *out = entry.object.Get();
      return CP_S_OK;
    }
  }
  return CP_E_FAIL;
}

nvIUnknown* cpCQoSContext::GetTopLayer() { return layers_.empty() ? nullptr : layers_.front().object.Get(); }

cpStatus cpCQoSContext::Rearm() { return socket_ != nullptr ? cpSocketRearm(socket_) : CP_E_FAIL; }

cpStatus cpCQoSContext::AddStreamHandler(uint16_t group, int32_t type, nvMessageHandler handler,
                                         void* userData) {
  if (!dispatcher_) dispatcher_ = nvTSmartPtr<nvIStreamDispatcher>::Create(nvStreamDispatcherClassId);
  if (!dispatcher_) return CP_E_FAIL;
  return dispatcher_->AddHandler(group, type, handler, userData);
}

cpStatus cpCQoSContext::SetAddress(const cpAddress* address) {
  if (address == nullptr) return CP_E_FAIL;
  address_ = *address;
  return CP_S_OK;
}

cpStatus cpCQoSContext::GetAddress(cpAddress** out) {
  if (out == nullptr) return CP_E_FAIL;
  *out = &address_;
  return CP_S_OK;
}

cpStatus cpCQoSContext::Close() {
  Close(false);
  return CP_S_OK;
}

void cpCQoSContext::Close(bool /*peerClosed*/) {
  if (state_ == QOS_ST_NEW || state_ == QOS_ST_CLOSING || state_ == QOS_ST_CLOSED) return;
  nvSmartPtr keep(this);  // the manager's slot may hold the last reference
  StopConnectTimer();
  SetState(QOS_ST_CLOSING);
  if (socket_ != nullptr) {
    cpSocketRecord* socket = socket_;
    socket_ = nullptr;
    if (action_) action_->Bind(nullptr, &current_, &receive_);
    if (cpCQoS* manager = cpCQoS::Instance()) {
      manager->Unregister(this, socket);
    } else {
      cpSocketClose(socket);
    }
  }
  std::vector<LayerEntry> layers = layers_;
  for (auto it = layers.rbegin(); it != layers.rend(); ++it) it->layer->OnClose();
  SetState(QOS_ST_CLOSED);
}

cpStatus cpCQoSContext::PostFailure() {
  PostEvent(QOS_EV_FAILURE);
  return CP_S_OK;
}

cpStatus cpCQoSContext::GetSendBuffer(const char** data, int32_t* size) {
  if (data != nullptr) *data = current_ ? current_->data.get() : nullptr;
  if (size != nullptr) *size = current_ ? current_->size : 0;
  return CP_S_OK;
}

cpStatus cpCQoSContext::GetReceiveRate(int32_t* bytesPerSecond) {
  if ((eventMask_ & QOS_EV_COUNT_RECEIVED) == 0 || bytesPerSecond == nullptr) return CP_E_FAIL;
  *bytesPerSecond = receiveRate_.TakeRate();
  return CP_S_OK;
}

cpStatus cpCQoSContext::GetSendRate(int32_t* bytesPerSecond) {
  if ((eventMask_ & QOS_EV_COUNT_SENT) == 0 || bytesPerSecond == nullptr) return CP_E_FAIL;
  *bytesPerSecond = sendRate_.TakeRate();
  return CP_S_OK;
}

cpStatus cpCQoSContext::GetQueuedBytes(int32_t* out) {
  if (out == nullptr) return CP_E_FAIL;
  int64_t total = 0;
  for (const auto& block : queue_) total += block->size - block->offset;
  *out = static_cast<int32_t>(total);
  return CP_S_OK;
}

cpStatus cpCQoSContext::GetHostName(char** out) {
  if (out == nullptr) return CP_E_FAIL;
  *out = hostName_;
  return CP_S_OK;
}

cpStatus cpCQoSContext::SetHostName(const char* name) {
  // A name that does not fit is refused rather than cut: a cut name is another host.
  if (name == nullptr || std::strlen(name) >= kHostNameCapacity) return CP_E_FAIL;
  std::strcpy(hostName_, name);
  return CP_S_OK;
}

cpStatus cpCQoSContext::MarkAddressGood() {
  if (hostName_[0] == '\0' || address_.port == 0 || address_.address == 0) return CP_E_FAIL;
  cpAddressBookMarkGood(hostName_, address_.port, address_.address);
  return CP_S_OK;
}

cpStatus cpCQoSContext::MarkAddressFailed() {
  if (hostName_[0] == '\0' || address_.port == 0 || address_.address == 0) return CP_E_FAIL;
  cpAddressBookMarkFailed(hostName_, address_.port, address_.address);
  return CP_S_OK;
}

void cpCQoSContext::SecondTick(int32_t* totals) {
  ++secondsAlive_;
  if (idleCounter_ == idleLimit_ && (eventMask_ & QOS_EV_IDLE) != 0) PostEvent(QOS_EV_IDLE);
  ++idleCounter_;
  CheckMinimumRate();
  if (!action_) return;
  action_->SecondTick(totals);
  if (action_->TakeReceiveBlocked()) {
    Rearm();
  } else if (action_->TakeSendBlocked()) {
    Rearm();
  }
}

void cpCQoSContext::CheckMinimumRate() {
  int64_t received = std::exchange(receivedThisSecond_, 0);
  if (connected_ != 2 || state_ == QOS_ST_CLOSING || state_ == QOS_ST_CLOSED) return;
  recentSeconds_[secondsConnected_ % kRateWindowSeconds] = received;
  ++secondsConnected_;
  if (minimumRate_ == 0 || slowReported_ || (eventMask_ & QOS_EV_IDLE) == 0) return;
  if (secondsConnected_ < kRateWindowSeconds) return;
  int64_t window = std::accumulate(std::begin(recentSeconds_), std::end(recentSeconds_), int64_t{0});
  if (window >= minimumRate_ * kRateWindowSeconds) return;
  slowReported_ = true;
  PostEvent(kEventTooSlow);
}
