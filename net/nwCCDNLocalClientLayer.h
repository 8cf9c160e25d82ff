#pragma once
// The layer of the connection to the local download engine: turns the send operations into frames
// (group 0x0100, the file list 0x0102) and the engine's frames into listener calls. It keeps no
// protocol state; the job bookkeeping is the engine downloader's. A frame of an unknown type or
// group, or one whose fields run past its payload, closes the connection.

#include <cstdint>

#include "net/nwCApplicationStack.h"
#include "protocol/EngineMessages.h"

// Handed back with every listener call (the same type as the other layers' cookies).
using nwEngineCookie = uintptr_t;

// Every call passes the cookie the listener was set with. Decoded messages are valid during the
// call only.
class nwICDNLocalClientEventListener {
 public:
  virtual void OnEngineConnected(nwEngineCookie cookie) = 0;
  virtual void OnJobAccepted(const engineproto::JobAccepted* message, nwEngineCookie cookie) = 0;
  virtual void OnJobFailed(const engineproto::JobFailed* message, nwEngineCookie cookie) = 0;
  virtual void OnJobProgress(const engineproto::JobProgress* message, nwEngineCookie cookie) = 0;
  virtual void OnFileDone(const engineproto::FileDone* message, nwEngineCookie cookie) = 0;
  virtual void OnFileDoneEx(const engineproto::FileDoneEx* message, nwEngineCookie cookie) = 0;
  virtual void OnJobFinished(const engineproto::JobFinished* message, nwEngineCookie cookie) = 0;
  virtual void OnJobWarning(const engineproto::JobWarning* message, nwEngineCookie cookie) = 0;
  virtual void OnEngineNetworkDown(nwEngineCookie cookie) = 0;
  virtual void OnEngineNetworkUp(nwEngineCookie cookie) = 0;
  virtual void OnEngineClosed(nwEngineCookie cookie) = 0;
  virtual void OnEngineConnectFailed(nwEngineCookie cookie) = 0;
  virtual void OnResumeQuery(int32_t jobSeq, nwEngineCookie cookie) = 0;
  virtual void OnEngineMode(int32_t mode, nwEngineCookie cookie) = 0;

 protected:
  ~nwICDNLocalClientEventListener() = default;
};

// The send operations return NW_S_OK once the frame is passed down (it waits in the send queue
// while the connection is not yet up), NW_E_FAIL for a missing record or one that cannot be framed.
class nvICDNLocalClientLayer : public nvIUnknown {
 public:
  virtual cpStatus SetListener(nwICDNLocalClientEventListener* listener, nwEngineCookie cookie) = 0;
  virtual cpStatus SendJobMode(const engineproto::JobMode* record) = 0;
  virtual cpStatus SendEngineTag(const engineproto::EngineTag* record) = 0;
  virtual cpStatus SendJobFiles(const engineproto::JobFiles* record) = 0;
  virtual cpStatus SendJobBegin(const engineproto::JobBegin* record) = 0;
  virtual cpStatus SendJobFile(const engineproto::FileRecord* record) = 0;
  virtual cpStatus SendJobEnd(int32_t jobSeq) = 0;
  virtual cpStatus SendStopJob(const engineproto::StopJob* record) = 0;
  // At most 259 characters of the text are sent.
  virtual cpStatus SendServiceCode(const char* text) = 0;
  virtual cpStatus SendJobFlag(const engineproto::JobFlag* record) = 0;
  virtual cpStatus SendJobReport(int32_t jobSeq) = 0;
  virtual cpStatus SendResumeAnswer(const engineproto::ResumeAnswer* record) = 0;
  virtual cpStatus SendType22() = 0;
};

class nwCCDNLocalClientLayer final : public nwTLayer<nvICDNLocalClientLayer> {
 public:
  nwCCDNLocalClientLayer();
  ~nwCCDNLocalClientLayer() override;

  cpStatus SetListener(nwICDNLocalClientEventListener* listener, nwEngineCookie cookie) override;
  cpStatus SendJobMode(const engineproto::JobMode* record) override;
  cpStatus SendEngineTag(const engineproto::EngineTag* record) override;
  cpStatus SendJobFiles(const engineproto::JobFiles* record) override;
  cpStatus SendJobBegin(const engineproto::JobBegin* record) override;
  cpStatus SendJobFile(const engineproto::FileRecord* record) override;
  cpStatus SendJobEnd(int32_t jobSeq) override;
  cpStatus SendStopJob(const engineproto::StopJob* record) override;
  cpStatus SendServiceCode(const char* text) override;
  cpStatus SendJobFlag(const engineproto::JobFlag* record) override;
  cpStatus SendJobReport(int32_t jobSeq) override;
  cpStatus SendResumeAnswer(const engineproto::ResumeAnswer* record) override;
  cpStatus SendType22() override;

  bool OnConnected() override;
  void OnShutdown() override;
  bool OnConnectFailed() override;

 private:
  void RegisterHandlers();
  template <typename Message>
  void Register();
  template <typename Message>
  static void OnMessage(const char* payload, int32_t payloadLength, void* self);
  template <typename Message>
  cpStatus Send(const Message* record);

  void Deliver(const engineproto::JobAccepted& message);
  void Deliver(const engineproto::JobProgress& message);
  void Deliver(const engineproto::JobFinished& message);
  void Deliver(const engineproto::FileDone& message);
  void Deliver(const engineproto::JobWarning& message);
  void Deliver(const engineproto::NetworkDown& message);
  void Deliver(const engineproto::NetworkUp& message);
  void Deliver(const engineproto::JobFailed& message);
  void Deliver(const engineproto::FileDoneEx& message);
  void Deliver(const engineproto::ResumeQuery& message);
  void Deliver(const engineproto::EngineMode& message);

  nwICDNLocalClientEventListener* listener_ = nullptr;
  nwEngineCookie cookie_ = 0;
};
