#include "tools/devserver/RelayServer.h"

// Plain POSIX sockets: the tool stays independent of the platform layer it helps to test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>

#include "tools/devserver/Log.h"

namespace devserver {

namespace {

constexpr size_t kHeaderBytes = 14;
constexpr uint16_t kReportGroup = 0x0300;
constexpr uint16_t kReportType = 154;
constexpr uint16_t kReplyType = 131;
constexpr uint8_t kStored = 1;
constexpr size_t kRecordBytes = 298;
constexpr size_t kTagBytes = 33;
constexpr size_t kUrlBytes = 256;
constexpr size_t kReceivedAt = 289;
constexpr uint32_t kMaxPayload = 16 * 1024 * 1024;  // far above any real report; guards the buffer

uint64_t ReadLittleEndian(const char* data, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(data[i]);
  return value;
}

void PutLittleEndian(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

// A fixed-size text field up to its first NUL, with line breaks and tabs made harmless for the log.
std::string Field(const char* data, size_t size) {
  std::string text(data, strnlen(data, size));
  for (char& c : text) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

bool SendAll(int socket, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string Hex(unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04x", value);
  return text;
}

}  // namespace

RelayServer::RelayServer(std::string logFile) : logFile_(std::move(logFile)) {}

RelayServer::~RelayServer() {
  Stop();
  if (listener_ >= 0) close(listener_);
  for (int fd : wakePipe_) {
    if (fd >= 0) close(fd);
  }
}

bool RelayServer::Bind(int port, std::string* error) {
  if (!logFile_.empty()) {
    std::ofstream log(logFile_, std::ios::app);  // exists from the start, even before any report
    if (!log) {
      *error = "cannot open the relay log " + logFile_;
      return false;
    }
  }
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0 || pipe2(wakePipe_, O_CLOEXEC) != 0) {
    *error = std::string("relay socket: ") + std::strerror(errno);
    return false;
  }
  int one = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 64) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    *error = "cannot bind 127.0.0.1 port " + std::to_string(port) + " for the relay: " + std::strerror(errno);
    return false;
  }
  port_ = ntohs(address.sin_port);
  return true;
}

void RelayServer::Start() {
  acceptThread_ = std::thread([this] { Accept(); });
}

void RelayServer::Stop() {
  if (stopping_.exchange(true)) return;
  if (acceptThread_.joinable()) {
    char wake = 0;
    ssize_t ignored = write(wakePipe_[1], &wake, 1);
    (void)ignored;
    acceptThread_.join();
  }
  std::list<Connection> ending;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Connection& connection : connections_) shutdown(connection.socket, SHUT_RDWR);
    ending.splice(ending.end(), connections_);  // the elements keep their addresses
  }
  for (Connection& connection : ending) {
    connection.thread.join();
    close(connection.socket);
  }
}

void RelayServer::Accept() {
  while (!stopping_) {
    pollfd waits[2] = {{listener_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (waits[1].revents != 0) break;
    if ((waits[0].revents & POLLIN) == 0) continue;
    int socket = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (socket < 0) continue;
    ReapFinished();
    std::lock_guard<std::mutex> lock(mutex_);
    Connection& connection = connections_.emplace_back();
    connection.socket = socket;
    connection.thread = std::thread([this, &connection] { Serve(&connection); });
  }
}

void RelayServer::ReapFinished() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = connections_.begin(); it != connections_.end();) {
    if (!it->done) {
      ++it;
      continue;
    }
    it->thread.join();  // past its last use of the lock
    close(it->socket);
    it = connections_.erase(it);
  }
}

void RelayServer::Serve(Connection* connection) {
  const int socket = connection->socket;
  LogLine("relay: connection opened");
  std::string buffer;
  char chunk[65536];
  bool open = true;
  while (open && !stopping_) {
    ssize_t n = recv(socket, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    buffer.append(chunk, static_cast<size_t>(n));
    while (open && buffer.size() >= kHeaderBytes) {
      auto group = static_cast<uint16_t>(ReadLittleEndian(buffer.data(), 2));
      auto type = static_cast<uint16_t>(ReadLittleEndian(buffer.data() + 2, 2));
      auto length = static_cast<uint32_t>(ReadLittleEndian(buffer.data() + 10, 4));
      if (length > kMaxPayload) {
        LogLine("relay: a frame announces " + std::to_string(length) + " bytes; closing");
        open = false;
        break;
      }
      if (buffer.size() < kHeaderBytes + length) break;  // the rest of the frame is still coming
      std::string payload = buffer.substr(kHeaderBytes, length);
      buffer.erase(0, kHeaderBytes + length);
      open = HandleFrame(socket, group, type, payload);
    }
  }
  LogLine("relay: connection closed");
  shutdown(socket, SHUT_RDWR);  // the peer sees the end now; the socket is closed when reaped
  std::lock_guard<std::mutex> lock(mutex_);
  connection->done = true;
}

bool RelayServer::HandleFrame(int socket, uint16_t group, uint16_t type, const std::string& payload) {
  if (group != kReportGroup || type != kReportType) {
    LogLine("relay: unexpected frame group " + Hex(group) + " type " + std::to_string(type) + "; closing");
    return false;
  }
  if (payload.size() < 4) {
    LogLine("relay: report without a count; closing");
    return false;
  }
  auto count = static_cast<int32_t>(ReadLittleEndian(payload.data(), 4));
  if (count < 0 || static_cast<uint64_t>(count) * kRecordBytes > payload.size() - 4) {
    LogLine("relay: report of " + std::to_string(count) + " records does not fit its " +
            std::to_string(payload.size()) + " bytes; closing");
    return false;
  }
  std::string lines;
  for (int32_t i = 0; i < count; ++i) {
    const char* record = payload.data() + 4 + static_cast<size_t>(i) * kRecordBytes;
    auto received = static_cast<int64_t>(ReadLittleEndian(record + kReceivedAt, 8));
    std::string line = Field(record, kTagBytes) + "\t" + Field(record + kTagBytes, kUrlBytes) + "\t" +
                       std::to_string(received);
    LogLine("relay: report " + line);
    lines += line + "\n";
  }
  // Logged before the reply, so whoever saw the reply finds the lines in the file.
  Record(lines);
  std::string reply;
  PutLittleEndian(&reply, kReportGroup, 2);
  PutLittleEndian(&reply, kReplyType, 2);
  reply.append(6, '\0');
  PutLittleEndian(&reply, 2, 4);  // one result byte, padded to a 16-byte frame
  reply.push_back(static_cast<char>(kStored));
  reply.push_back('\0');
  return SendAll(socket, reply);
}

void RelayServer::Record(const std::string& lines) {
  if (logFile_.empty() || lines.empty()) return;
  std::lock_guard<std::mutex> lock(mutex_);
  std::ofstream log(logFile_, std::ios::app | std::ios::binary);
  log << lines;
}

}  // namespace devserver
