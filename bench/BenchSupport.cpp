#include "bench/BenchSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <thread>

namespace bench {

namespace {

constexpr size_t kBlockBytes = 64 * 1024;
constexpr size_t kBlockWords = kBlockBytes / sizeof(uint64_t);

uint64_t Mix(uint64_t value) {
  value += 0x9E3779B97F4A7C15ull;
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

}  // namespace

ContentGenerator::ContentGenerator(uint64_t seed) : seed_(seed), pattern_(kBlockWords) {
  uint64_t state = Mix(seed) | 1;
  for (uint64_t& word : pattern_) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    word = state;
  }
}

void ContentGenerator::FillBlock(int64_t block, char* out) const {
  const uint64_t key = Mix(seed_ ^ Mix(static_cast<uint64_t>(block)));
  for (size_t i = 0; i < kBlockWords; ++i) {
    uint64_t word = pattern_[i] ^ key;
    std::memcpy(out + i * sizeof word, &word, sizeof word);
  }
}

void ContentGenerator::Fill(int64_t offset, char* out, size_t length) const {
  thread_local std::vector<char> scratch(kBlockBytes);
  while (length > 0) {
    const int64_t block = offset / static_cast<int64_t>(kBlockBytes);
    const size_t within = static_cast<size_t>(offset % static_cast<int64_t>(kBlockBytes));
    const size_t count = std::min(length, kBlockBytes - within);
    if (within == 0 && count == kBlockBytes) {
      FillBlock(block, out);
    } else {
      FillBlock(block, scratch.data());
      std::memcpy(out, scratch.data() + within, count);
    }
    out += count;
    offset += static_cast<int64_t>(count);
    length -= count;
  }
}

uint64_t SeedOf(const std::string& path) {
  uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a
  for (unsigned char c : path) hash = (hash ^ c) * 0x100000001B3ull;
  return hash;
}

std::string Content(const std::string& path, int64_t size) {
  std::string bytes(static_cast<size_t>(size), '\0');
  ContentGenerator(SeedOf(path)).Fill(0, bytes.data(), bytes.size());
  return bytes;
}

bool FileMatches(const std::string& filePath, const std::string& path, int64_t size) {
  int fd = open(filePath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info {};
  bool same = fstat(fd, &info) == 0 && info.st_size == size;
  const ContentGenerator generator(SeedOf(path));
  const size_t piece = 1 << 20;
  std::vector<char> got(piece), want(piece);
  int64_t offset = 0;
  while (same && offset < size) {
    const size_t count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(piece), size - offset));
    size_t have = 0;
    while (have < count) {
      ssize_t n = pread(fd, got.data() + have, count - have, offset + static_cast<int64_t>(have));
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
    if (have != count) {
      same = false;
      break;
    }
    generator.Fill(offset, want.data(), count);
    same = std::memcmp(got.data(), want.data(), count) == 0;
    offset += static_cast<int64_t>(count);
  }
  close(fd);
  return same;
}

ContentServer::ContentServer(const std::vector<std::pair<std::string, int64_t>>& files) {
  int report[2];
  if (pipe(report) != 0) std::abort();
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) std::abort();
  if (pid_ == 0) {
    close(report[0]);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(0);
    httplib::Server server;
    // One route for every path: a regex route per file would make each request try them all.
    std::map<std::string, std::pair<std::shared_ptr<const ContentGenerator>, size_t>> bodies;
    for (const auto& [path, size] : files)
      bodies[path] = {std::make_shared<const ContentGenerator>(SeedOf(path)), static_cast<size_t>(size)};
    server.Get(".*", [&bodies](const httplib::Request& request, httplib::Response& response) {
      auto found = bodies.find(request.path);
      if (found == bodies.end()) {
        response.status = 404;
        return;
      }
      auto generator = found->second.first;
      response.set_content_provider(found->second.second, "application/octet-stream",
                                    [generator](size_t offset, size_t remaining, httplib::DataSink& sink) {
                                      thread_local std::vector<char> buffer(256 * 1024);
                                      const size_t count = std::min(remaining, buffer.size());
                                      generator->Fill(static_cast<int64_t>(offset), buffer.data(), count);
                                      return sink.write(buffer.data(), count);
                                    });
    });
    int port = server.bind_to_any_port("127.0.0.1");
    if (write(report[1], &port, sizeof port) != sizeof port) _exit(1);
    close(report[1]);
    server.listen_after_bind();
    _exit(0);
  }
  close(report[1]);
  if (read(report[0], &port_, sizeof port_) != sizeof port_) std::abort();
  close(report[0]);
}

namespace {

constexpr size_t kMaxStalls = 8;

// Counters the server child updates and the parent reads: lock-free atomics in a shared mapping.
struct SharedCounters {
  std::atomic<int64_t> connections{0};
  std::atomic<int64_t> requests{0};
  std::atomic<int64_t> rangeRequests{0};
  std::atomic<int64_t> stalled{0};
  std::atomic<int64_t> bodyBytes{0};
  std::atomic<int64_t> stallSeen[kMaxStalls] = {};
};

struct ServedFile {
  std::shared_ptr<const ContentGenerator> generator;
  int64_t size = 0;
  std::string etag;
};

struct ServerSetup {
  std::map<std::string, ServedFile> files;
  ServeOptions options;
  SharedCounters* counters = nullptr;
};

bool SendEvery(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

enum class RangeAsk { None, Satisfiable, Unsatisfiable };

// One "bytes=first-last", "bytes=first-" or "bytes=-suffix" range; anything else (several ranges, a
// malformed one) is ignored and the whole body served, as a server may.
RangeAsk ParseRange(const std::string& value, int64_t size, int64_t* first, int64_t* last) {
  const std::string text = Trim(value);
  if (text.rfind("bytes=", 0) != 0) return RangeAsk::None;
  const std::string asked = Trim(text.substr(6));
  const size_t dash = asked.find('-');
  if (asked.empty() || dash == std::string::npos || asked.find(',') != std::string::npos)
    return RangeAsk::None;
  const std::string from = Trim(asked.substr(0, dash)), to = Trim(asked.substr(dash + 1));
  auto number = [](const std::string& digits, int64_t* out) {
    if (digits.empty() || digits.size() > 18 || digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *out = std::strtoll(digits.c_str(), nullptr, 10);
    return true;
  };
  int64_t a = 0, b = 0;
  if (from.empty()) {
    if (!number(to, &b)) return RangeAsk::None;
    if (b == 0 || size == 0) return RangeAsk::Unsatisfiable;
    *first = std::max<int64_t>(0, size - b);
    *last = size - 1;
    return RangeAsk::Satisfiable;
  }
  if (!number(from, &a)) return RangeAsk::None;
  if (to.empty()) {
    b = size - 1;
  } else if (!number(to, &b) || b < a) {
    return RangeAsk::None;
  }
  if (a >= size) return RangeAsk::Unsatisfiable;
  *first = a;
  *last = std::min(b, size - 1);
  return RangeAsk::Satisfiable;
}

// Waits until the client closes a stalled connection, reading (and dropping) whatever it sends.
void HoldSilently(int fd) {
  char sink[4096];
  for (;;) {
    pollfd wait{fd, POLLIN | POLLRDHUP, 0};
    if (poll(&wait, 1, -1) < 0 && errno != EINTR) return;
    const ssize_t n = recv(fd, sink, sizeof sink, 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
  }
}

// Sends body bytes [first, first + length) of `file`, paced when asked; false when the connection
// failed or the response stalled (the connection is then done either way).
bool SendBody(int fd, const ServerSetup& setup, const ServedFile& file, int64_t first, int64_t length,
              int64_t stallAfter) {
  const double rate = setup.options.bytesPerSecond;
  // Small pieces when paced, so that the rate holds over short spans too.
  const size_t piece =
      rate > 0 ? std::clamp<size_t>(static_cast<size_t>(rate / 100), 4096, 64 * 1024) : 256 * 1024;
  thread_local std::vector<char> buffer(256 * 1024);
  double next = NowSeconds();  // when the next piece may go
  int64_t sent = 0;
  const int64_t limit = stallAfter >= 0 ? std::min(stallAfter, length) : length;
  while (sent < limit) {
    if (rate > 0) {
      const double now = NowSeconds();
      if (next > now) {
        std::this_thread::sleep_for(std::chrono::duration<double>(next - now));
      } else {
        // A client that read nothing for a while gets at most 50 ms of credit, not a burst.
        next = std::max(next, now - 0.05);
      }
    }
    const size_t count = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(piece), limit - sent));
    file.generator->Fill(first + sent, buffer.data(), count);
    if (!SendEvery(fd, buffer.data(), count)) return false;
    sent += static_cast<int64_t>(count);
    setup.counters->bodyBytes += static_cast<int64_t>(count);
    if (rate > 0) next += static_cast<double>(count) / rate;
  }
  if (stallAfter >= 0) {
    ++setup.counters->stalled;
    std::fprintf(stderr, "  (server: a response of %lld bytes from offset %lld stalls after %lld bytes)\n",
                 static_cast<long long>(length), static_cast<long long>(first),
                 static_cast<long long>(limit));
    HoldSilently(fd);
    return false;
  }
  return true;
}

// One connection: requests one after the other until the client closes or asks to.
void ServeConnection(int fd, const ServerSetup& setup) {
  ++setup.counters->connections;
  std::string input;
  char chunk[8192];
  for (;;) {
    size_t end;
    while ((end = input.find("\r\n\r\n")) == std::string::npos) {
      if (input.size() > 64 * 1024) return;
      const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      input.append(chunk, static_cast<size_t>(n));
    }
    const std::string head = input.substr(0, end);
    input.erase(0, end + 4);
    ++setup.counters->requests;

    const size_t lineEnd = head.find("\r\n");
    const std::string requestLine = head.substr(0, lineEnd);
    const size_t space1 = requestLine.find(' ');
    const size_t space2 = requestLine.find(' ', space1 == std::string::npos ? 0 : space1 + 1);
    if (space1 == std::string::npos || space2 == std::string::npos) return;
    const std::string method = requestLine.substr(0, space1);
    std::string target = requestLine.substr(space1 + 1, space2 - space1 - 1);
    const std::string version = requestLine.substr(space2 + 1);
    target = target.substr(0, target.find('?'));
    std::string range, connection;
    size_t at = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (at < head.size()) {
      size_t next = head.find("\r\n", at);
      if (next == std::string::npos) next = head.size();
      const std::string line = head.substr(at, next - at);
      at = next + 2;
      const size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      const std::string name = Lower(Trim(line.substr(0, colon)));
      if (name == "range") range = line.substr(colon + 1);
      if (name == "connection") connection = Lower(Trim(line.substr(colon + 1)));
    }
    const bool keepAlive = version == "HTTP/1.1" ? connection != "close" : connection == "keep-alive";
    const bool headOnly = method == "HEAD";

    auto found = setup.files.find(target);
    if ((method != "GET" && !headOnly) || found == setup.files.end()) {
      const std::string reply = method != "GET" && !headOnly
                                    ? "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n"
                                    : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
      if (!SendEvery(fd, reply.data(), reply.size()) || !keepAlive) return;
      continue;
    }
    const ServedFile& file = found->second;
    int64_t first = 0, last = file.size - 1;
    const RangeAsk ask = range.empty() ? RangeAsk::None : ParseRange(range, file.size, &first, &last);
    std::string reply;
    const char* common =
        "Content-Type: application/octet-stream\r\nAccept-Ranges: bytes\r\n"
        "Last-Modified: Tue, 01 Dec 2026 08:00:00 GMT\r\n";
    if (ask == RangeAsk::Unsatisfiable) {
      reply = Format(
          "HTTP/1.1 416 Range Not Satisfiable\r\n%sETag: %s\r\nContent-Range: bytes */%lld\r\n"
          "Content-Length: 0\r\n%s\r\n",
          common, file.etag.c_str(), static_cast<long long>(file.size),
          keepAlive ? "" : "Connection: close\r\n");
      if (!SendEvery(fd, reply.data(), reply.size()) || !keepAlive) return;
      continue;
    }
    const bool partial = ask == RangeAsk::Satisfiable;
    const int64_t length = partial ? last - first + 1 : file.size;
    if (partial) {
      reply = Format("HTTP/1.1 206 Partial Content\r\n%sETag: %s\r\nContent-Range: bytes %lld-%lld/%lld\r\n",
                     common, file.etag.c_str(), static_cast<long long>(first), static_cast<long long>(last),
                     static_cast<long long>(file.size));
    } else {
      reply = Format("HTTP/1.1 200 OK\r\n%sETag: %s\r\n", common, file.etag.c_str());
    }
    reply += Format("Content-Length: %lld\r\n%s\r\n", static_cast<long long>(length),
                    keepAlive ? "" : "Connection: close\r\n");
    if (!SendEvery(fd, reply.data(), reply.size())) return;
    if (headOnly) {
      if (!keepAlive) return;
      continue;
    }
    int64_t stallAfter = -1;
    if (partial) {
      ++setup.counters->rangeRequests;
      for (size_t i = 0; i < setup.options.stalls.size() && i < kMaxStalls; ++i) {
        const ServeOptions::Stall& stall = setup.options.stalls[i];
        if (stall.path != target) continue;
        if (++setup.counters->stallSeen[i] == stall.response && stallAfter < 0)
          stallAfter = static_cast<int64_t>(stall.fraction * static_cast<double>(length));
      }
    }
    if (!SendBody(fd, setup, file, first, length, stallAfter) || !keepAlive) return;
  }
}

}  // namespace

ContentServer::ContentServer(const std::vector<std::pair<std::string, int64_t>>& files,
                             const ServeOptions& options) {
  void* memory =
      mmap(nullptr, sizeof(SharedCounters), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) std::abort();
  shared_ = new (memory) SharedCounters();
  int report[2];
  if (pipe(report) != 0) std::abort();
  std::fflush(nullptr);
  const pid_t parent = getpid();
  pid_ = fork();
  if (pid_ < 0) std::abort();
  if (pid_ == 0) {
    close(report[0]);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(0);
    auto* setup = new ServerSetup;  // lives as long as the child
    setup->options = options;
    setup->counters = static_cast<SharedCounters*>(shared_);
    for (const auto& [path, size] : files) {
      const uint64_t seed = SeedOf(path);
      setup->files[path] = {std::make_shared<const ContentGenerator>(seed), size,
                            Format("\"%016llx-%llx\"", static_cast<unsigned long long>(seed),
                                   static_cast<unsigned long long>(size))};
    }
    int port = 0;
    const int listener = ListenOnLoopback(512, &port);
    if (listener < 0) _exit(1);
    if (write(report[1], &port, sizeof port) != sizeof port) _exit(1);
    close(report[1]);
    for (;;) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED || errno == EMFILE || errno == ENFILE) continue;
        _exit(1);
      }
      std::thread([fd, setup] {
        ServeConnection(fd, *setup);
        close(fd);
      }).detach();
    }
  }
  close(report[1]);
  if (read(report[0], &port_, sizeof port_) != sizeof port_) std::abort();
  close(report[0]);
}

ContentServer::~ContentServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (shared_ != nullptr) {
    static_cast<SharedCounters*>(shared_)->~SharedCounters();
    munmap(shared_, sizeof(SharedCounters));
  }
}

ServerCounters ContentServer::Counters() const {
  ServerCounters counters;
  if (shared_ == nullptr) return counters;
  const auto* shared = static_cast<const SharedCounters*>(shared_);
  counters.connections = shared->connections.load();
  counters.requests = shared->requests.load();
  counters.rangeRequests = shared->rangeRequests.load();
  counters.stalled = shared->stalled.load();
  counters.bodyBytes = shared->bodyBytes.load();
  return counters;
}

void ContentServer::ResetCounters() {
  if (shared_ == nullptr) return;
  auto* shared = static_cast<SharedCounters*>(shared_);
  shared->connections = 0;
  shared->requests = 0;
  shared->rangeRequests = 0;
  shared->stalled = 0;
  shared->bodyBytes = 0;
  for (auto& seen : shared->stallSeen) seen = 0;
}

std::string ContentServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double NowSeconds() {
  using namespace std::chrono;
  return duration_cast<duration<double>>(steady_clock::now().time_since_epoch()).count();
}

bool ProgramAvailable(const std::string& name) {
  std::string command = "command -v " + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

Usage RunProgram(const std::vector<std::string>& argv) {
  Usage result;
  double start = NowSeconds();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.wallSeconds = NowSeconds() - start;
  result.cpuSeconds = CpuSeconds(usage);
  result.peakRssKiB = usage.ru_maxrss;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string RunInChild(const std::function<std::string()>& work) {
  int channel[2];
  if (pipe(channel) != 0) return {};
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return {};
  if (pid == 0) {
    close(channel[0]);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::string bytes = work();
    size_t sent = 0;
    while (sent < bytes.size()) {
      ssize_t n = write(channel[1], bytes.data() + sent, bytes.size() - sent);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    close(channel[1]);
    std::fflush(nullptr);
    _exit(0);
  }
  close(channel[1]);
  std::string bytes;
  char buffer[4096];
  for (;;) {
    ssize_t n = read(channel[0], buffer, sizeof buffer);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  close(channel[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return bytes;
}

TempFolder::TempFolder(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

std::string TempFolder::Sub(const std::string& name) const {
  std::string path = path_ + "/" + name;
  std::error_code error;
  std::filesystem::remove_all(path, error);
  std::filesystem::create_directories(path);
  return path;
}

int64_t FreeBytes(const std::string& path) {
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.f_bavail) * static_cast<int64_t>(info.f_frsize);
}

int ListenOnLoopback(int backlog, int* port) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, backlog) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener >= 0) close(listener);
    return -1;
  }
  *port = ntohs(address.sin_port);
  return listener;
}

int UnusedLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(fd);
  return port;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  in >> a >> b >> c;
  return Format("%.2f %.2f %.2f", a, b, c);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void Table::Print() const {
  std::vector<size_t> widths;
  for (const auto& row : rows_) {
    if (widths.size() < row.size()) widths.resize(row.size(), 0);
    for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  auto line = [&](const std::vector<std::string>& row) {
    std::string text = "  ";
    for (size_t i = 0; i < widths.size(); ++i) {
      std::string cell = i < row.size() ? row[i] : "";
      text += cell + std::string(widths[i] - cell.size(), ' ');
      if (i + 1 < widths.size()) text += " | ";
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    std::printf("%s\n", text.c_str());
  };
  for (size_t r = 0; r < rows_.size(); ++r) {
    line(rows_[r]);
    if (r == 0) {
      std::string rule = "  ";
      for (size_t i = 0; i < widths.size(); ++i) {
        rule += std::string(widths[i], '-');
        if (i + 1 < widths.size()) rule += "-+-";
      }
      std::printf("%s\n", rule.c_str());
    }
  }
  std::fflush(stdout);
}

std::string Format(const char* format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

void Samples::Add(int round, const char* name, double wallSeconds, double cpuSeconds, long peakRssKiB,
                  bool exactFiles) {
  std::printf("  round %d  %-22s wall %7.3f s  cpu %6.3f s  peak RSS %7.1f MiB  %s\n", round, name,
              wallSeconds, cpuSeconds, static_cast<double>(peakRssKiB) / 1024.0,
              exactFiles ? "exact" : "WRONG OR INCOMPLETE");
  ++rounds;
  exact += exactFiles ? 1 : 0;
  wall.push_back(wallSeconds);
  cpu.push_back(cpuSeconds);
  rssMiB.push_back(static_cast<double>(peakRssKiB) / 1024.0);
}

const char* Verdict(bool pass) { return pass ? "PASS" : "MISS"; }

}  // namespace bench
