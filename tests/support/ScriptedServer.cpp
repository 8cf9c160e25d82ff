#include "tests/support/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "tests/support/WaitUntil.h"

namespace testsupport {

namespace {

constexpr int64_t kPollMs = 5;  // how often gates and conditions are looked at

const char* ReasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 303:
      return "See Other";
    case 304:
      return "Not Modified";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 416:
      return "Range Not Satisfiable";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

}  // namespace

// ---- Gate ----

void Gate::Open() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
  }
  opened_.notify_all();
}

bool Gate::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_;
}

bool Gate::WaitOpen(int64_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return opened_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return open_; });
}

// ---- Script ----

Script::Step Script::Make(Kind kind) {
  Step step;
  step.kind = kind;
  return step;
}

Script& Script::Add(Step step) {
  steps_.push_back(std::move(step));
  return *this;
}

Script& Script::ReadUntil(std::string delimiter) {
  Step step = Make(Kind::ReadUntil);
  step.bytes = std::move(delimiter);
  return Add(std::move(step));
}

Script& Script::ReadBytes(size_t count) {
  Step step = Make(Kind::ReadBytes);
  step.count = count;
  return Add(std::move(step));
}

Script& Script::ReadToEnd() { return Add(Make(Kind::ReadToEnd)); }

Script& Script::Send(std::string bytes) {
  Step step = Make(Kind::Send);
  step.bytes = std::move(bytes);
  return Add(std::move(step));
}

Script& Script::SendInPieces(std::string bytes, std::vector<size_t> pieceSizes, int64_t pauseMs) {
  Step step = Make(Kind::Send);
  step.bytes = std::move(bytes);
  step.pieces = std::move(pieceSizes);
  step.milliseconds = pauseMs;
  return Add(std::move(step));
}

Script& Script::AwaitAck() { return Add(Make(Kind::AwaitAck)); }

Script& Script::Pause(int64_t milliseconds) {
  Step step = Make(Kind::Pause);
  step.milliseconds = milliseconds;
  return Add(std::move(step));
}

Script& Script::WaitFor(const Gate& gate) {
  Step step = Make(Kind::WaitGate);
  step.gate = &gate;
  return Add(std::move(step));
}

Script& Script::WaitFor(std::function<bool()> condition) {
  Step step = Make(Kind::WaitCondition);
  step.condition = std::move(condition);
  return Add(std::move(step));
}

Script& Script::Notify(Gate& gate) {
  Step step = Make(Kind::Notify);
  step.notify = &gate;
  return Add(std::move(step));
}

Script& Script::HalfClose() { return Add(Make(Kind::HalfClose)); }
Script& Script::Reset() { return Add(Make(Kind::Reset)); }
Script& Script::Close() { return Add(Make(Kind::Close)); }
Script& Script::Stall() { return Add(Make(Kind::Stall)); }

// ---- ScriptedServer ----

ScriptedServer::ScriptedServer(Script script) : scripts_{std::move(script)} { Start(64, true); }

ScriptedServer::ScriptedServer(std::vector<Script> scripts) : scripts_(std::move(scripts)) {
  if (scripts_.empty()) scripts_.emplace_back();
  Start(64, true);
}

ScriptedServer::ScriptedServer(AcceptNothing) { Start(16, false); }

void ScriptedServer::Start(int backlog, bool accept) {
  listenFd_ = ListenOnLoopback(backlog, &port_);
  if (listenFd_ >= 0 && accept) acceptThread_ = std::thread([this] { AcceptLoop(); });
}

ScriptedServer::~ScriptedServer() {
  stop_.Raise();
  if (acceptThread_.joinable()) acceptThread_.join();
  // The accept thread has ended, so no thread is added any more.
  for (std::thread& thread : threads_) thread.join();
  if (listenFd_ >= 0) close(listenFd_);
}

std::string ScriptedServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void ScriptedServer::AcceptLoop() {
  for (;;) {
    if (WaitForSocket(listenFd_, SocketEvent::Readable, stop_, -1) != WaitResult::Ready) return;
    sockaddr_in peer{};
    socklen_t peerLength = sizeof peer;
    int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    if (fd < 0) {
      if (!stop_.SleepFor(1)) return;  // e.g. out of descriptors: do not spin
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard<std::mutex> lock(mutex_);
    if (sentinelPort_ != 0 && ntohs(peer.sin_port) == sentinelPort_) {
      close(fd);
      sentinelAccepted_ = true;
      changed_.notify_all();
      continue;
    }
    int index = static_cast<int>(connections_.size());
    connections_.emplace_back();
    const Script& script = scripts_[std::min(static_cast<size_t>(index), scripts_.size() - 1)];
    threads_.emplace_back([this, index, fd, &script] { Run(index, fd, script); });
    changed_.notify_all();
  }
}

void ScriptedServer::Run(int index, int fd, const Script& script) {
  std::string pending;  // bytes received but not yet taken by a read step
  for (const Script::Step& step : script.steps_) {
    // A failed or stopped step ends the script; so do Reset and Close, which leave no socket.
    if (!RunStep(index, &fd, step, &pending) || fd < 0) break;
  }
  std::string drained;
  CloseGracefully(fd, &drained);
  std::lock_guard<std::mutex> lock(mutex_);
  ScriptedConnection& record = connections_[static_cast<size_t>(index)];
  record.received += drained;
  record.finished = true;
  changed_.notify_all();
}

bool ScriptedServer::ReadMore(int index, int fd, std::string* pending) {
  if (WaitForSocket(fd, SocketEvent::Readable, stop_, -1) != WaitResult::Ready) return false;
  char buffer[16384];
  ssize_t n;
  do {
    n = recv(fd, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  std::lock_guard<std::mutex> lock(mutex_);
  ScriptedConnection& record = connections_[static_cast<size_t>(index)];
  if (n > 0) {
    pending->append(buffer, static_cast<size_t>(n));
    record.received.append(buffer, static_cast<size_t>(n));
    return true;
  }
  if (n == 0) {
    record.peerClosed = true;
  } else {
    record.failed = true;
  }
  changed_.notify_all();
  return false;
}

bool ScriptedServer::HoldUntil(const std::function<bool()>& condition) const {
  return testsupport::WaitUntil(condition, -1, [this] { return stop_.SleepFor(kPollMs); });
}

bool ScriptedServer::RunStep(int index, int* fd, const Script::Step& step, std::string* pending) {
  auto take = [&](size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    connections_[static_cast<size_t>(index)].reads.push_back(pending->substr(0, count));
    pending->erase(0, count);
  };
  switch (step.kind) {
    case Script::Kind::ReadUntil: {
      size_t found;
      while ((found = pending->find(step.bytes)) == std::string::npos) {
        if (!ReadMore(index, *fd, pending)) return false;
      }
      take(found + step.bytes.size());
      return true;
    }
    case Script::Kind::ReadBytes:
      while (pending->size() < step.count) {
        if (!ReadMore(index, *fd, pending)) return false;
      }
      take(step.count);
      return true;
    case Script::Kind::ReadToEnd: {
      while (ReadMore(index, *fd, pending)) {
      }
      take(pending->size());
      std::lock_guard<std::mutex> lock(mutex_);
      return connections_[static_cast<size_t>(index)].peerClosed;
    }
    case Script::Kind::Send: {
      auto sendFailed = [&] {
        if (stop_.Raised()) return false;
        std::lock_guard<std::mutex> lock(mutex_);
        connections_[static_cast<size_t>(index)].failed = true;
        return false;
      };
      if (step.pieces.empty()) {
        return SendAll(*fd, step.bytes.data(), step.bytes.size(), stop_) || sendFailed();
      }
      size_t offset = 0;
      for (size_t piece = 0; offset < step.bytes.size(); ++piece) {
        size_t size = step.pieces[std::min(piece, step.pieces.size() - 1)];
        size = std::clamp<size_t>(size, 1, step.bytes.size() - offset);
        if (piece > 0 && step.milliseconds > 0 && !stop_.SleepFor(step.milliseconds)) return false;
        if (!SendAll(*fd, step.bytes.data() + offset, size, stop_)) return sendFailed();
        offset += size;
      }
      return true;
    }
    case Script::Kind::AwaitAck:
      return HoldUntil([fd = *fd] { return UnacknowledgedBytes(fd) == 0; });
    case Script::Kind::Pause:
      return stop_.SleepFor(step.milliseconds);
    case Script::Kind::WaitGate:
      return HoldUntil([&step] { return step.gate->IsOpen(); });
    case Script::Kind::WaitCondition:
      return HoldUntil(step.condition);
    case Script::Kind::Notify:
      step.notify->Open();
      return true;
    case Script::Kind::HalfClose:
      shutdown(*fd, SHUT_WR);
      return true;
    case Script::Kind::Reset:
      CloseWithReset(*fd);
      *fd = -1;
      return true;
    case Script::Kind::Close: {
      std::string drained;
      CloseGracefully(*fd, &drained);
      *fd = -1;
      std::lock_guard<std::mutex> lock(mutex_);
      connections_[static_cast<size_t>(index)].received += drained;
      return true;
    }
    case Script::Kind::Stall:
      HoldUntil([] { return false; });
      return false;
  }
  return false;
}

int ScriptedServer::ConnectionCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(connections_.size());
}

int ScriptedServer::SettledConnectionCount() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  // Bound first, so the accept loop knows the connection as the server's own before it arrives.
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sentinelPort_ = ntohs(address.sin_port);
    sentinelAccepted_ = false;
  }
  address.sin_port = htons(port_);
  bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  std::unique_lock<std::mutex> lock(mutex_);
  // The limit only keeps a broken server from hanging the test.
  bool accepted =
      connected && changed_.wait_for(lock, std::chrono::seconds(10), [this] { return sentinelAccepted_; });
  sentinelPort_ = 0;
  close(fd);
  return accepted ? static_cast<int>(connections_.size()) : -1;
}

bool ScriptedServer::WaitForConnections(int count, int64_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return static_cast<int>(connections_.size()) >= count; });
}

bool ScriptedServer::WaitForFinished(int count, int64_t timeoutMs) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    if (static_cast<int>(connections_.size()) < count) return false;
    for (int i = 0; i < count; ++i) {
      if (!connections_[static_cast<size_t>(i)].finished) return false;
    }
    return true;
  });
}

ScriptedConnection ScriptedServer::Connection(int index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || static_cast<size_t>(index) >= connections_.size()) return {};
  return connections_[static_cast<size_t>(index)];
}

ReceivedRequest ScriptedServer::Request(int index) const {
  ScriptedConnection connection = Connection(index);
  ReceivedRequest request =
      ParseRequestHead(connection.reads.empty() ? connection.received : connection.reads.front());
  request.connection = index;
  return request;
}

// ---- ports ----

ClosedPort::ClosedPort() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  // Bound but not listening: the kernel answers a SYN to it with RST.
  if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port_ = ntohs(address.sin_port);
  }
}

ClosedPort::~ClosedPort() {
  if (fd_ >= 0) close(fd_);
}

uint16_t ClosedLoopbackPort() {
  ClosedPort port;
  return port.Port();
}

std::string HttpResponse(int status, const std::vector<std::pair<std::string, std::string>>& headers,
                         const std::string& body) {
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
  return text + "\r\n" + body;
}

std::string HttpOk(const std::string& body) {
  return HttpResponse(200, {{"Content-Length", std::to_string(body.size())}}, body);
}

std::string HttpOkHead(int64_t length) {
  return HttpResponse(200, {{"Content-Length", std::to_string(length)}});
}

}  // namespace testsupport
