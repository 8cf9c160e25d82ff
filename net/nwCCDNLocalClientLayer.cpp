#include "net/nwCCDNLocalClientLayer.h"

#include <cstring>
#include <string_view>

#include "protocol/nwFrame.h"

using namespace engineproto;

nwCCDNLocalClientLayer::nwCCDNLocalClientLayer() { RegisterHandlers(); }

nwCCDNLocalClientLayer::~nwCCDNLocalClientLayer() = default;

void nwCCDNLocalClientLayer::RegisterHandlers() {
  Register<JobAccepted>();
  Register<JobProgress>();
  Register<JobFinished>();
  Register<FileDone>();
  Register<JobWarning>();
  Register<NetworkDown>();
  Register<NetworkUp>();
  Register<JobFailed>();
  Register<FileDoneEx>();
  Register<ResumeQuery>();
  Register<EngineMode>();
}

template <typename Message>
void nwCCDNLocalClientLayer::Register() {
  Dispatcher().AddHandler(kGroupControl, Message::kType, &OnMessage<Message>, this);
}

template <typename Message>
void nwCCDNLocalClientLayer::OnMessage(const char* payload, int32_t payloadLength, void* self) {
  auto* layer = static_cast<nwCCDNLocalClientLayer*>(self);
  Message message;
  if (payloadLength < 0 ||
      !DecodePayload(std::string_view(payload, static_cast<size_t>(payloadLength)), &message)) {
    // A message that does not fit its frame: nothing after it can be trusted either.
    layer->Dispatcher().StopDispatch();
    layer->Close();
    return;
  }
  // The listener may close and let go of the connection inside the call: nothing after it.
  if (layer->listener_ != nullptr) layer->Deliver(message);
}

template <typename Message>
cpStatus nwCCDNLocalClientLayer::Send(const Message* record) {
  if (record == nullptr) return NW_E_FAIL;
  std::optional<std::string> bytes = EncodePayload(*record);
  if (!bytes || nwFrameSize(static_cast<int64_t>(bytes->size())) < 0) return NW_E_FAIL;
  auto length = static_cast<int32_t>(bytes->size());
  char* payload = AllocFrame(length);
  if (payload == nullptr) return NW_E_FAIL;
  if (length > 0) std::memcpy(payload, bytes->data(), bytes->size());
  return SendFrame(Message::kType, payload, length, GroupOf<Message>());
}

cpStatus nwCCDNLocalClientLayer::SetListener(nwICDNLocalClientEventListener* listener,
                                             nwEngineCookie cookie) {
  listener_ = listener;
  cookie_ = cookie;
  return NW_S_OK;
}

cpStatus nwCCDNLocalClientLayer::SendJobMode(const JobMode* record) { return Send(record); }
cpStatus nwCCDNLocalClientLayer::SendEngineTag(const EngineTag* record) { return Send(record); }
cpStatus nwCCDNLocalClientLayer::SendJobFiles(const JobFiles* record) { return Send(record); }
cpStatus nwCCDNLocalClientLayer::SendJobBegin(const JobBegin* record) { return Send(record); }
cpStatus nwCCDNLocalClientLayer::SendStopJob(const StopJob* record) { return Send(record); }
cpStatus nwCCDNLocalClientLayer::SendJobFlag(const JobFlag* record) { return Send(record); }
cpStatus nwCCDNLocalClientLayer::SendResumeAnswer(const ResumeAnswer* record) { return Send(record); }

cpStatus nwCCDNLocalClientLayer::SendJobFile(const FileRecord* record) {
  if (record == nullptr) return NW_E_FAIL;
  JobFile message{*record};
  return Send(&message);
}

cpStatus nwCCDNLocalClientLayer::SendJobEnd(int32_t jobSeq) {
  JobEnd message{jobSeq};
  return Send(&message);
}

cpStatus nwCCDNLocalClientLayer::SendServiceCode(const char* text) {
  ServiceCode message{text != nullptr ? text : ""};
  return Send(&message);
}

cpStatus nwCCDNLocalClientLayer::SendJobReport(int32_t jobSeq) {
  JobReport message{jobSeq};
  return Send(&message);
}

cpStatus nwCCDNLocalClientLayer::SendType22() {
  ModeRequest message;
  return Send(&message);
}

void nwCCDNLocalClientLayer::Deliver(const JobAccepted& message) {
  listener_->OnJobAccepted(&message, cookie_);
}
void nwCCDNLocalClientLayer::Deliver(const JobProgress& message) {
  listener_->OnJobProgress(&message, cookie_);
}
void nwCCDNLocalClientLayer::Deliver(const JobFinished& message) {
  listener_->OnJobFinished(&message, cookie_);
}
void nwCCDNLocalClientLayer::Deliver(const FileDone& message) { listener_->OnFileDone(&message, cookie_); }
void nwCCDNLocalClientLayer::Deliver(const JobWarning& message) {
  listener_->OnJobWarning(&message, cookie_);
}
void nwCCDNLocalClientLayer::Deliver(const NetworkDown& /*message*/) {
  listener_->OnEngineNetworkDown(cookie_);
}
void nwCCDNLocalClientLayer::Deliver(const NetworkUp& /*message*/) { listener_->OnEngineNetworkUp(cookie_); }
void nwCCDNLocalClientLayer::Deliver(const JobFailed& message) { listener_->OnJobFailed(&message, cookie_); }
void nwCCDNLocalClientLayer::Deliver(const FileDoneEx& message) {
  listener_->OnFileDoneEx(&message, cookie_);
}
void nwCCDNLocalClientLayer::Deliver(const ResumeQuery& message) {
  listener_->OnResumeQuery(message.jobSeq, cookie_);
}
void nwCCDNLocalClientLayer::Deliver(const EngineMode& message) {
  listener_->OnEngineMode(message.mode, cookie_);
}

bool nwCCDNLocalClientLayer::OnConnected() {
  if (listener_ != nullptr) listener_->OnEngineConnected(cookie_);
  return true;
}

void nwCCDNLocalClientLayer::OnShutdown() {
  // The listener is kept: the engine downloader lets go of the connection itself.
  if (listener_ != nullptr) listener_->OnEngineClosed(cookie_);
}

bool nwCCDNLocalClientLayer::OnConnectFailed() {
  if (listener_ != nullptr) listener_->OnEngineConnectFailed(cookie_);
  return true;
}
