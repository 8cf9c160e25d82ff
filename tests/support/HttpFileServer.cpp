#include "tests/support/HttpFileServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "tests/support/LoopbackSocket.h"
#include "tools/httpcommon/ByteRange.h"
#include "tools/httpcommon/ListenerThread.h"

// How this uses cpp-httplib: httplib parses requests, routes them to one handler and writes the
// response head. Three things are taken out of its hands because it would get them wrong for our
// tests:
//   - the connection loop (process_and_close_socket is overridden): it records each request head
//     byte for byte before httplib parses it (httplib keeps headers sorted by name, which would
//     lose their order), closes after a close-delimited body or a cut, and
//     ends promptly when the server stops instead of waiting out httplib's time-outs;
//   - ranges: httplib 0.11.4 answers "Range" itself and gets it wrong (a malformed range gets a
//     bare 416; "bytes=20-" of 10 bytes gets "Content-Range: bytes 20-9/10"; an end past the size
//     is not cut, so the body runs past the content), so the header is renamed in the buffered
//     head before httplib reads it, and ranges are answered here (tools/httpcommon, as
//     orba-devserver does);
//   - bodies always go through a content provider with a length (or, close-delimited, without
//     one and not chunked): httplib never compresses those and never chunks them.
// Each connection runs on its own thread (httplib's pool has a fixed size and would queue the
// ninth keep-alive connection).

namespace testsupport {

namespace {

constexpr int64_t kIdleMs = 5000;         // keep-alive wait, and read time-out inside a request
constexpr int64_t kWriteStallMs = 60000;  // how long a client may read nothing before we give up
constexpr size_t kMaxHeadBytes = 65536;
constexpr size_t kChunkBytes = 65536;
constexpr char kHiddenRange[] = "X-Test-Server-Range";

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// ---- routes ----

struct Route {
  enum class Kind { Resource, Redirect, Status };
  Kind kind = Kind::Resource;
  std::shared_ptr<const std::string> body;  // shared: a response may outlive a replaced route
  HttpResourceOptions options;
  int status = 200;
  std::string location;
  std::vector<std::pair<std::string, std::string>> headers;
};

struct RouteCounters {
  int responses = 0;
  int cuts = 0;
};

// What one request gets, decided when its head arrived (before httplib parses it).
struct Exchange {
  bool found = false;
  Route route;
  bool fail = false;
  bool cut = false;
  int64_t bytesPerSecond = 0;
  std::string range;
  size_t record = 0;
  bool CloseAfter() const {
    return found && route.kind == Route::Kind::Resource && route.options.closeDelimited && !fail;
  }
};

// The exchange of the request the current connection thread is answering: httplib calls the
// handler synchronously on that thread, with only its own request type.
thread_local Exchange* tExchange = nullptr;

// ---- body writing ----

// Writes one response body in chunks, paced and cut as the exchange says. Shared by the calls of
// one content provider (httplib copies providers, so the state cannot live in the lambda).
struct BodyWriter {
  std::shared_ptr<const std::string> body;
  size_t first = 0;
  size_t length = 0;
  int64_t bytesPerSecond = 0;
  int64_t cutAfter = -1;
  const StopSignal* stop = nullptr;
  int64_t startMs = -1;

  // Writes the chunk at `offset` (relative to `first`); false aborts the response.
  bool WriteAt(size_t offset, httplib::DataSink& sink) {
    if (cutAfter >= 0 && offset >= static_cast<size_t>(cutAfter)) return false;
    size_t chunk = std::min(kChunkBytes, length - offset);
    if (cutAfter >= 0) chunk = std::min(chunk, static_cast<size_t>(cutAfter) - offset);
    if (bytesPerSecond > 0) {
      chunk = std::min(chunk, std::max<size_t>(1, static_cast<size_t>(bytesPerSecond / 20)));
      if (startMs < 0) startMs = NowMs();
      int64_t due = startMs + static_cast<int64_t>(offset) * 1000 / bytesPerSecond;
      int64_t wait = due - NowMs();
      if (wait > 0 && !stop->SleepFor(wait)) return false;
    }
    return sink.write(body->data() + first + offset, chunk);
  }
};

// ---- the connection's stream ----

// A socket stream for httplib with a read buffer we can look into (to record and adjust the
// request head before httplib parses it) and with waits that end when the server stops.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(int fd, const StopSignal& stop) : fd_(fd), stop_(stop) {}

  using httplib::Stream::write;

  bool is_readable() const override {
    return pos_ < buffer_.size() ||
           WaitForSocket(fd_, SocketEvent::Readable, stop_, kIdleMs) == WaitResult::Ready;
  }
  bool is_writable() const override {
    return WaitForSocket(fd_, SocketEvent::Writable, stop_, kWriteStallMs) == WaitResult::Ready;
  }
  ssize_t read(char* ptr, size_t size) override {
    if (pos_ >= buffer_.size()) {
      ssize_t n = Fill();
      if (n <= 0) return n;
    }
    size_t count = std::min(size, buffer_.size() - pos_);
    std::memcpy(ptr, buffer_.data() + pos_, count);
    pos_ += count;
    return static_cast<ssize_t>(count);
  }
  ssize_t write(const char* ptr, size_t size) override {
    return SendAll(fd_, ptr, size, stop_, kWriteStallMs) ? static_cast<ssize_t>(size) : -1;
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { Address(false, ip, port); }
  socket_t socket() const override { return fd_; }

  // Buffers until a whole request head is there and copies it (it stays unread for httplib).
  // False on EOF, error, idle time-out, stop, or a head too large.
  bool BufferHead(std::string* head) {
    for (;;) {
      size_t length = HeadLength();
      if (length != std::string::npos) {
        *head = buffer_.substr(pos_, length);
        return true;
      }
      if (buffer_.size() - pos_ > kMaxHeadBytes || Fill() <= 0) return false;
    }
  }

  // Renames the header lines called `name` in the buffered head.
  void RenameHeader(const std::string& name, const std::string& newName) {
    size_t length = HeadLength();
    if (length == std::string::npos) return;
    std::string head = buffer_.substr(pos_, length);
    size_t line = head.find('\n');
    while (line != std::string::npos && line + 1 < head.size()) {
      size_t start = line + 1;
      if (head.size() - start > name.size() && head[start + name.size()] == ':' &&
          strncasecmp(head.c_str() + start, name.c_str(), name.size()) == 0) {
        head.replace(start, name.size(), newName);
      }
      line = head.find('\n', start);
    }
    buffer_.replace(pos_, length, head);
  }

 private:
  size_t HeadLength() const {
    size_t crlf = buffer_.find("\r\n\r\n", pos_);
    size_t lf = buffer_.find("\n\n", pos_);
    if (crlf != std::string::npos && (lf == std::string::npos || crlf <= lf)) return crlf + 4 - pos_;
    if (lf != std::string::npos) return lf + 2 - pos_;
    return std::string::npos;
  }

  ssize_t Fill() {
    if (WaitForSocket(fd_, SocketEvent::Readable, stop_, kIdleMs) != WaitResult::Ready) return -1;
    char chunk[16384];
    ssize_t n;
    do {
      n = recv(fd_, chunk, sizeof chunk, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
      if (pos_ == buffer_.size()) {
        buffer_.clear();
        pos_ = 0;
      }
      buffer_.append(chunk, static_cast<size_t>(n));
    }
    return n;
  }

  void Address(bool remote, std::string& ip, int& port) const {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    sockaddr* raw = reinterpret_cast<sockaddr*>(&address);
    if ((remote ? getpeername(fd_, raw, &length) : getsockname(fd_, raw, &length)) != 0) return;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    ip = text;
    port = ntohs(address.sin_port);
  }

  int fd_;
  const StopSignal& stop_;
  std::string buffer_;
  size_t pos_ = 0;
};

// One thread per connection, all joined at shutdown.
class ConnectionThreads final : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> task) override {
    Reap();
    Worker worker;
    worker.done = std::make_unique<std::atomic<bool>>(false);
    std::atomic<bool>* done = worker.done.get();
    worker.thread = std::thread([task = std::move(task), done] {
      task();
      done->store(true);
    });
    workers_.push_back(std::move(worker));
  }
  void shutdown() override {
    for (Worker& worker : workers_) worker.thread.join();
    workers_.clear();
  }

 private:
  struct Worker {
    std::thread thread;
    std::unique_ptr<std::atomic<bool>> done;
  };
  void Reap() {
    auto finished = std::remove_if(workers_.begin(), workers_.end(), [](Worker& worker) {
      if (!worker.done->load()) return false;
      worker.thread.join();
      return true;
    });
    workers_.erase(finished, workers_.end());
  }
  std::vector<Worker> workers_;
};

}  // namespace

// ---- the server ----

class HttpFileServer::Impl final : public httplib::Server {
 public:
  Impl() {
    new_task_queue = [] { return new ConnectionThreads(); };
    set_keep_alive_max_count(100);
    set_keep_alive_timeout(kIdleMs / 1000);
    Handler respond = [this](const httplib::Request& request, httplib::Response& response) {
      Respond(request, response);
    };
    Get(".*", respond);
    Post(".*", respond);
    Put(".*", respond);
    Patch(".*", respond);
    Delete(".*", respond);
    Options(".*", respond);
    int bound = bind_to_any_port("127.0.0.1");
    if (bound <= 0) return;
    port_ = static_cast<uint16_t>(bound);
    listener_.Start(*this);
  }

  ~Impl() override {
    stop_.Raise();
    listener_.Stop();
  }

  uint16_t Port() const { return port_; }

  void SetRoute(const std::string& path, Route route) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[path] = std::move(route);
    counters_.erase(path);
  }
  void Remove(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_.erase(path);
    counters_.erase(path);
  }
  void AddDirectory(const std::string& folder, const HttpResourceOptions& options) {
    std::lock_guard<std::mutex> lock(mutex_);
    directories_.emplace_back(folder, options);
  }
  void SetRateLimit(int64_t bytesPerSecond) {
    std::lock_guard<std::mutex> lock(mutex_);
    defaultRate_ = bytesPerSecond;
  }

  std::vector<ReceivedRequest> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  int RequestCount(const std::string* path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (path == nullptr) return static_cast<int>(records_.size());
    return static_cast<int>(std::count_if(records_.begin(), records_.end(),
                                          [&](const ReceivedRequest& r) { return r.Path() == *path; }));
  }
  int ConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
  }
  bool WaitForRequests(int count, int64_t timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return static_cast<int>(records_.size()) >= count; });
  }
  void ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    int connection;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      connection = connections_++;
    }
    ConnectionStream stream(sock, stop_);
    bool reset = false;
    while (!stop_.Raised()) {
      std::string head;
      if (!stream.BufferHead(&head)) break;
      Exchange exchange;
      Plan(head, connection, &exchange);
      stream.RenameHeader("Range", kHiddenRange);
      bool closeAfter = exchange.CloseAfter();
      bool clientAskedClose = false;
      tExchange = &exchange;
      bool ok = process_request(stream, closeAfter, clientAskedClose, nullptr);
      tExchange = nullptr;
      if (!ok) {
        reset = exchange.cut && exchange.route.options.resetOnCut;
        break;
      }
      if (closeAfter || clientAskedClose) break;
    }
    if (reset) {
      CloseWithReset(sock);
    } else {
      CloseGracefully(sock);
    }
    return true;
  }

  // Records the request and decides its answer.
  void Plan(const std::string& head, int connection, Exchange* exchange) {
    ReceivedRequest record = ParseRequestHead(head);
    record.connection = connection;
    exchange->range = record.Header("Range");
    std::string path = record.Path();
    std::lock_guard<std::mutex> lock(mutex_);
    auto route = routes_.find(path);
    if (route == routes_.end()) route = routes_.find(httpcommon::PercentDecode(path));
    if (route != routes_.end()) {
      exchange->found = true;
      exchange->route = route->second;
      path = route->first;
    } else {
      exchange->found = FromDirectory(httpcommon::PercentDecode(path), &exchange->route);
    }
    if (exchange->found && exchange->route.kind == Route::Kind::Resource) {
      const HttpResourceOptions& options = exchange->route.options;
      RouteCounters& counters = counters_[path];
      exchange->fail = counters.responses++ < options.failFirst;
      if (!exchange->fail && options.cutAfter >= 0 &&
          (options.cutResponses < 0 || counters.cuts < options.cutResponses)) {
        exchange->cut = true;
        ++counters.cuts;
      }
      exchange->bytesPerSecond = options.bytesPerSecond > 0 ? options.bytesPerSecond : defaultRate_;
    }
    exchange->record = records_.size();
    records_.push_back(std::move(record));
    changed_.notify_all();
  }

  // Caller holds mutex_.
  bool FromDirectory(const std::string& path, Route* route) const {
    if (path.empty() || path[0] != '/') return false;
    for (const std::string& segment : {std::string("/../"), std::string("/..")}) {
      if (path.find(segment) != std::string::npos) return false;
    }
    for (const auto& [folder, options] : directories_) {
      std::filesystem::path file = std::filesystem::path(folder) / path.substr(1);
      std::error_code error;
      if (!std::filesystem::is_regular_file(file, error)) continue;
      std::ifstream in(file, std::ios::binary);
      std::ostringstream content;
      content << in.rdbuf();
      route->kind = Route::Kind::Resource;
      route->body = std::make_shared<const std::string>(content.str());
      route->options = options;
      return true;
    }
    return false;
  }

  void Respond(const httplib::Request& request, httplib::Response& response) {
    Exchange* exchange = tExchange;
    if (exchange == nullptr) {
      response.status = 500;
      return;
    }
    if (!request.body.empty()) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (exchange->record < records_.size()) records_[exchange->record].body = request.body;
    }
    if (!exchange->found) {
      response.status = 404;
      return;
    }
    const Route& route = exchange->route;
    for (const auto& [name, value] : route.headers) response.set_header(name, value);
    switch (route.kind) {
      case Route::Kind::Redirect:
        response.status = route.status;
        if (!route.location.empty()) response.set_header("Location", route.location);
        return;
      case Route::Kind::Status:
        response.status = route.status;
        SetBody(response, exchange, 0, route.body->size(), "text/plain");
        return;
      case Route::Kind::Resource:
        RespondWithResource(exchange, response);
        return;
    }
  }

  void RespondWithResource(Exchange* exchange, httplib::Response& response) {
    const HttpResourceOptions& options = exchange->route.options;
    for (const auto& [name, value] : options.headers) response.set_header(name, value);
    if (exchange->fail) {
      response.status = options.failStatus;
      return;
    }
    uint64_t size = exchange->route.body->size();
    using httpcommon::ByteRange;
    ByteRange range;
    if (!options.ignoreRange) {
      response.set_header("Accept-Ranges", "bytes");
      if (!exchange->range.empty()) range = httpcommon::ResolveRange(exchange->range, size);
    }
    switch (range.kind) {
      case ByteRange::Kind::Unsatisfiable:
        response.status = 416;
        response.set_header("Content-Range", "bytes */" + std::to_string(size));
        return;
      case ByteRange::Kind::Partial:
        response.status = 206;
        response.set_header("Content-Range", "bytes " + std::to_string(range.first) + "-" +
                                                 std::to_string(range.last) + "/" + std::to_string(size));
        SetBody(response, exchange, range.first, range.last - range.first + 1, options.contentType);
        return;
      case ByteRange::Kind::Whole:
        response.status = 200;
        SetBody(response, exchange, 0, size, options.contentType);
        return;
    }
  }

  void SetBody(httplib::Response& response, const Exchange* exchange, uint64_t first, uint64_t length,
               const std::string& contentType) {
    auto writer = std::make_shared<BodyWriter>();
    writer->body = exchange->route.body;
    writer->first = first;
    writer->length = length;
    writer->bytesPerSecond = exchange->bytesPerSecond;
    writer->cutAfter = exchange->cut ? exchange->route.options.cutAfter : -1;
    writer->stop = &stop_;
    if (exchange->CloseAfter()) {
      // Without a length and not chunked: httplib writes the bytes as they come; the connection
      // loop closes after the response (it was told to, so the head says "Connection: close").
      response.set_content_provider(contentType, [writer](size_t offset, httplib::DataSink& sink) {
        if (offset >= writer->length) {
          sink.done();
          return true;
        }
        return writer->WriteAt(offset, sink);
      });
      return;
    }
    // An empty body needs no provider: httplib then sends "Content-Length: 0" itself (a provider
    // of length 0 would be taken for one without a length).
    if (length == 0) return;
    response.set_content_provider(
        length, contentType,
        [writer](size_t offset, size_t, httplib::DataSink& sink) { return writer->WriteAt(offset, sink); });
  }

  StopSignal stop_;
  uint16_t port_ = 0;
  httpcommon::ListenerThread listener_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, Route> routes_;
  std::map<std::string, RouteCounters> counters_;
  std::vector<std::pair<std::string, HttpResourceOptions>> directories_;
  int64_t defaultRate_ = 0;
  std::vector<ReceivedRequest> records_;
  int connections_ = 0;
};

// ---- public interface ----

HttpFileServer::HttpFileServer() : impl_(std::make_unique<Impl>()) {}
HttpFileServer::~HttpFileServer() = default;

uint16_t HttpFileServer::Port() const { return impl_->Port(); }
std::string HttpFileServer::BaseUrl() const { return "http://127.0.0.1:" + std::to_string(Port()); }
std::string HttpFileServer::Url(const std::string& path) const { return BaseUrl() + path; }

void HttpFileServer::AddResource(const std::string& path, std::string bytes, HttpResourceOptions options) {
  Route route;
  route.kind = Route::Kind::Resource;
  route.body = std::make_shared<const std::string>(std::move(bytes));
  route.options = std::move(options);
  impl_->SetRoute(path, std::move(route));
}

void HttpFileServer::ServeDirectory(const std::string& folder, HttpResourceOptions options) {
  impl_->AddDirectory(folder, options);
}

void HttpFileServer::AddRedirect(const std::string& path, const std::string& location, int status) {
  Route route;
  route.kind = Route::Kind::Redirect;
  route.status = status;
  route.location = location;
  impl_->SetRoute(path, std::move(route));
}

void HttpFileServer::AddStatus(const std::string& path, int status, std::string body,
                               std::vector<std::pair<std::string, std::string>> headers) {
  Route route;
  route.kind = Route::Kind::Status;
  route.status = status;
  route.body = std::make_shared<const std::string>(std::move(body));
  route.headers = std::move(headers);
  impl_->SetRoute(path, std::move(route));
}

void HttpFileServer::Remove(const std::string& path) { impl_->Remove(path); }
void HttpFileServer::SetRateLimit(int64_t bytesPerSecond) { impl_->SetRateLimit(bytesPerSecond); }

std::vector<ReceivedRequest> HttpFileServer::Requests() const { return impl_->Requests(); }
int HttpFileServer::RequestCount() const { return impl_->RequestCount(nullptr); }
int HttpFileServer::RequestCount(const std::string& path) const { return impl_->RequestCount(&path); }
int HttpFileServer::ConnectionCount() const { return impl_->ConnectionCount(); }
bool HttpFileServer::WaitForRequests(int count, int64_t timeoutMs) const {
  return impl_->WaitForRequests(count, timeoutMs);
}
void HttpFileServer::ClearRequests() { impl_->ClearRequests(); }

}  // namespace testsupport
