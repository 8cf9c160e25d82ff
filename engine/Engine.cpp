#include "engine/Engine.h"

#include <algorithm>

#include "platform/Clock.h"

namespace engine {

namespace {

constexpr int kWaitMs = 100;  // the longest wait between two looks at the clock
constexpr int64_t kNetworkCheckEveryMs = 5000;
constexpr int32_t kHighSpeedMode = 2;

uint32_t Loopback() {
  uint32_t address = 0;
  platform::ParseIPv4("127.0.0.1", &address);
  return address;
}

int64_t Now() { return platform::CurrentClock().NowMilliseconds(); }

// Decodes a payload into its message; false when the fields run past the payload.
template <typename Message>
bool Decode(std::string_view payload, Message* message) {
  return engineproto::DecodePayload(payload, message);
}

}  // namespace

// A job's messages go to the connection that sent the job, while it is there.
class Engine::Output final : public JobOutput {
 public:
  explicit Output(LibraryLink* link) : link_(link) {}
  void Detach() { link_ = nullptr; }

  void Accepted(const engineproto::JobAccepted& message) override { Send(message); }
  void Progress(const engineproto::JobProgress& message) override { Send(message); }
  void FileDone(const engineproto::FileDone& message) override { Send(message); }
  void Warning(const engineproto::JobWarning& message) override { Send(message); }
  void Failed(const engineproto::JobFailed& message) override { Send(message); }
  void Finished(const engineproto::JobFinished& message) override { Send(message); }
  void ResumeQuery(const engineproto::ResumeQuery& message) override { Send(message); }

 private:
  template <typename Message>
  void Send(const Message& message) {
    if (link_ != nullptr && !link_->Closed()) link_->Send(message);
  }
  LibraryLink* link_;
};

Engine::Engine(EngineSettings settings, EngineLog* log)
    : settings_(std::move(settings)),
      log_(log),
      pool_(settings_.connections, settings_.connectionsPerServer) {}

Engine::~Engine() {
  for (JobEntry& entry : jobs_) entry.job->Stop();
  jobs_.clear();
  links_.clear();
  if (listener_ != platform::kInvalidSocket) platform::SocketClose(listener_);
}

void Engine::Log(const std::string& line) {
  if (log_ != nullptr) log_->Write(line);
}

int Engine::Listen(uint16_t port) {
  listener_ = platform::SocketOpen(platform::SocketKind::kStream);
  if (listener_ == platform::kInvalidSocket) return platform::LastSocketError();
  platform::SocketSetReuseAddress(listener_);
  if (platform::SocketBind(listener_, Loopback(), port) != 0 || platform::SocketListen(listener_, 16) != 0) {
    int error = platform::LastSocketError();
    platform::SocketClose(listener_);
    listener_ = platform::kInvalidSocket;
    return error;
  }
  platform::SocketSetNonBlocking(listener_, true);
  platform::SocketLocalName(listener_, nullptr, &port_);
  Log("listens on 127.0.0.1:" + std::to_string(port_));
  return 0;
}

void Engine::RequestStop() {
  stop_.store(true);
  pool_.Wakeup();
}

void Engine::Run(int64_t idleExitMs) {
  int64_t idleSince = Now();
  online_ = settings_.networkOnline();
  nextNetworkCheckMs_ = idleSince + kNetworkCheckEveryMs;
  while (!stop_.load()) {
    std::vector<WaitSocket> sockets;
    sockets.push_back({listener_, false, false});
    std::vector<int> linkIds;
    for (auto& [id, link] : links_) {
      sockets.push_back({link->Socket(), link->WantsWrite(), false});
      linkIds.push_back(id);
    }
    pool_.Run(&sockets, kWaitMs);
    if (sockets[0].ready) Accept();
    for (size_t i = 0; i < linkIds.size(); ++i) {
      auto it = links_.find(linkIds[i]);
      if (it == links_.end()) continue;
      LibraryLink& link = *it->second;
      if (sockets[i + 1].ready) {
        link.Receive([&](uint16_t group, uint16_t type, std::string_view payload) {
          return OnFrame(link, group, type, payload);
        });
      }
      if (link.WantsWrite()) link.Flush();
    }

    int64_t now = Now();
    CheckNetwork(now);
    for (JobEntry& entry : jobs_) {
      entry.job->Tick(now);
      entry.job->Pump(now);
    }
    RemoveEndedJobs();
    for (auto& [id, link] : links_) {
      if (link->WantsWrite()) link->Flush();
    }
    std::vector<int> closed;
    for (auto& [id, link] : links_) {
      if (link->Closed()) closed.push_back(id);
    }
    for (int id : closed) CloseLink(id);

    if (!links_.empty() || !jobs_.empty()) {
      idleSince = now;
    } else if (now - idleSince >= idleExitMs) {
      Log("idle: exits");
      break;
    }
  }
}

void Engine::Accept() {
  for (;;) {
    platform::SocketHandle socket = platform::SocketAccept(listener_, nullptr, nullptr);
    if (socket == platform::kInvalidSocket) return;
    int id = nextLinkId_++;
    links_.emplace(id, std::make_unique<LibraryLink>(id, socket));
    Log("library connection " + std::to_string(id) + " opened");
  }
}

void Engine::RemoveEndedJobs() {
  std::erase_if(jobs_, [](const JobEntry& entry) { return entry.job->Ended(); });
}

void Engine::CloseLink(int linkId) {
  // The library relaunches and sends its jobs again; their parts stay for the resume question.
  for (JobEntry& entry : jobs_) {
    if (entry.linkId == linkId) {
      entry.output->Detach();
      entry.job->Stop();
    }
  }
  RemoveEndedJobs();
  links_.erase(linkId);
  Log("library connection " + std::to_string(linkId) + " closed");
}

void Engine::CheckNetwork(int64_t nowMs) {
  if (nowMs < nextNetworkCheckMs_) return;
  nextNetworkCheckMs_ = nowMs + kNetworkCheckEveryMs;
  bool online = settings_.networkOnline();
  if (online == online_) return;
  online_ = online;
  Log(online ? "network up" : "network down");
  for (auto& [id, link] : links_) {
    if (!link->greeted) continue;
    if (online) {
      link->Send(engineproto::NetworkUp());
    } else {
      link->Send(engineproto::NetworkDown());
    }
  }
  for (JobEntry& entry : jobs_) entry.job->SetOnline(online);
}

EngineJob* Engine::FindJob(int linkId, int32_t jobSeq) {
  for (JobEntry& entry : jobs_) {
    if (entry.linkId == linkId && entry.job->JobSeq() == jobSeq && !entry.job->Ended())
      return entry.job.get();
  }
  return nullptr;
}

void Engine::RefuseJob(LibraryLink& link, int32_t jobSeq, const std::string& reason) {
  Log("job " + std::to_string(jobSeq) + " refused: " + reason);
  engineproto::JobFailed failed;
  failed.jobSeq = jobSeq;
  failed.reason = reason;
  link.Send(failed);
}

void Engine::StartJob(LibraryLink& link, JobRequest request, int64_t nowMs) {
  if (EngineJob* old = FindJob(link.Id(), request.jobSeq)) old->Stop();  // sent again: the new list holds
  JobEntry entry;
  entry.linkId = link.Id();
  entry.output = std::make_unique<Output>(&link);
  entry.job = std::make_unique<EngineJob>(nextEngineJobId_++, std::move(request), &pool_, &settings_, log_,
                                          entry.output.get());
  entry.job->SetOnline(online_);
  entry.job->Start(nowMs);
  entry.job->Pump(nowMs);
  jobs_.push_back(std::move(entry));
}

bool Engine::OnFrame(LibraryLink& link, uint16_t group, uint16_t type, std::string_view payload) {
  using namespace engineproto;
  bool listGroup = type == JobFiles::kType;
  if (group != (listGroup ? kGroupFileList : kGroupControl)) {
    Log("connection " + std::to_string(link.Id()) + ": frame of group " + std::to_string(group) + " type " +
        std::to_string(type) + " refused");
    return false;
  }
  if (!link.greeted && type != ServiceCode::kType) {
    Log("connection " + std::to_string(link.Id()) + ": type " + std::to_string(type) +
        " before the service code");
    return false;
  }
  // Each message is decoded whole before it is used; one whose fields run past its payload is garbage.
  auto with = [payload](auto message, auto&& use) {
    if (!Decode(payload, &message)) return false;
    use(message);
    return true;
  };
  auto assemble = [&](auto message) {
    return with(std::move(message), [&](auto& decoded) {
      AssemblyResult result = link.assembler.Take(std::move(decoded));
      if (result.refusedJob) RefuseJob(link, *result.refusedJob, result.reason);
      if (result.job) StartJob(link, std::move(*result.job), Now());
    });
  };
  auto sendMode = [&] {
    EngineMode mode;
    mode.mode = kHighSpeedMode;
    link.Send(mode);
  };
  switch (type) {
    case ServiceCode::kType:
      return with(ServiceCode(), [&](const ServiceCode& message) {
        link.serviceCode = message.code;
        if (!link.greeted) sendMode();
        link.greeted = true;
      });
    case JobMode::kType:
      return with(JobMode(), [&](const JobMode& message) { link.assembler.TakeMode(message); });
    case EngineTag::kType:
      return with(EngineTag(), [&](const EngineTag& message) { link.assembler.TakeTag(message); });
    case JobReport::kType:
      return with(JobReport(), [&](const JobReport&) { link.assembler.TakeReport(); });
    case JobFlag::kType:
      return with(JobFlag(), [](const JobFlag&) {});  // no meaning in this engine
    case ModeRequest::kType:
      sendMode();
      return true;
    case StopJob::kType:
      return with(StopJob(), [&](const StopJob& message) {
        if (EngineJob* job = FindJob(link.Id(), message.jobSeq)) job->Stop();
      });
    case ResumeAnswer::kType:
      return with(ResumeAnswer(), [&](const ResumeAnswer& message) {
        if (EngineJob* job = FindJob(link.Id(), message.jobSeq)) job->OnResumeAnswer(message);
      });
    case JobFiles::kType:
      return assemble(JobFiles());
    case JobBegin::kType:
      return assemble(JobBegin());
    case JobFile::kType:
      return assemble(JobFile());
    case JobEnd::kType:
      return assemble(JobEnd());
    default:
      Log("connection " + std::to_string(link.Id()) + ": unknown message type " + std::to_string(type));
      return false;
  }
}

}  // namespace engine
