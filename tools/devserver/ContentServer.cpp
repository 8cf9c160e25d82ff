#include "tools/devserver/ContentServer.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "tools/devserver/Log.h"
#include "tools/httpcommon/ByteRange.h"

namespace devserver {

namespace {

constexpr size_t kChunkBytes = 64 * 1024;
constexpr auto kLongestSleep = std::chrono::milliseconds(100);  // a stop is noticed this soon
constexpr size_t kConnectionThreads = 32;  // per listener: parallel downloads keep connections open
// How long an idle keep-alive connection is kept. A stop waits for every connection's thread, and
// httplib looks at a stop only between requests, so this bounds how long an idle client holds it.
constexpr time_t kKeepAliveSeconds = 1;

using Clock = std::chrono::steady_clock;

// "<prefix>N/" at the start of `path`: N, and `path` moves past it (keeping the last "/").
std::optional<int64_t> TakeNumberedPrefix(std::string_view* path, std::string_view prefix, bool lastSegment) {
  if (path->substr(0, prefix.size()) != prefix) return std::nullopt;
  size_t end = prefix.size();
  int64_t number = 0;
  while (end < path->size() && (*path)[end] >= '0' && (*path)[end] <= '9' && end - prefix.size() < 15) {
    number = number * 10 + ((*path)[end] - '0');
    ++end;
  }
  if (end == prefix.size()) return std::nullopt;
  bool atEnd = end == path->size();
  if (lastSegment ? !atEnd : (atEnd || (*path)[end] != '/')) return std::nullopt;
  path->remove_prefix(end);
  return number;
}

std::string ContentType(const std::filesystem::path& file) {
  std::string extension = file.extension().string();
  if (extension == ".txt" || file.filename() == "SHA256SUMS") return "text/plain; charset=utf-8";
  if (extension == ".gif") return "image/gif";
  if (extension == ".html") return "text/html; charset=utf-8";
  if (extension == ".xml") return "application/xml";
  return "application/octet-stream";
}

// One response body: a slice of a file or a text, paced and possibly cut. Shared by the copies
// of the provider that httplib makes.
struct Body {
  std::ifstream file;
  std::string text;    // used when no file is open
  uint64_t first = 0;  // of the file or the text
  int64_t bytesPerSecond = 0;
  int64_t cutAfter = -1;
  std::optional<Clock::time_point> start;
  const std::atomic<bool>* stopping = nullptr;

  // httplib calls this until `offset` reaches the length; true without writing means "call again".
  bool Provide(size_t offset, size_t length, httplib::DataSink& sink) {
    if (stopping->load()) return false;
    size_t chunk = std::min(length, kChunkBytes);
    if (cutAfter >= 0) {
      if (offset >= static_cast<uint64_t>(cutAfter)) {
        LogLine("cut the connection after " + std::to_string(offset) + " body bytes");
        return false;
      }
      chunk = std::min(chunk, static_cast<size_t>(cutAfter) - offset);
    }
    if (bytesPerSecond > 0) {
      // Chunks of about 1/20 s; each leaves when the bytes before it have had their time.
      chunk = std::min(chunk, std::max<size_t>(1, static_cast<size_t>(bytesPerSecond) / 20));
      Clock::time_point now = Clock::now();
      if (!start) start = now;
      auto due = *start + std::chrono::microseconds(static_cast<int64_t>(offset) * 1000000 / bytesPerSecond);
      if (now < due) {
        std::this_thread::sleep_for(std::min<Clock::duration>(due - now, kLongestSleep));
        return true;
      }
    }
    if (!file.is_open()) return sink.write(text.data() + first + offset, chunk);
    char buffer[kChunkBytes];
    file.seekg(static_cast<std::streamoff>(first + offset));
    file.read(buffer, static_cast<std::streamsize>(chunk));
    if (static_cast<size_t>(file.gcount()) != chunk) return false;
    return sink.write(buffer, chunk);
  }
};

void SetBody(httplib::Response& response, std::shared_ptr<Body> body, uint64_t length,
             const std::string& type) {
  // An empty body needs no provider: httplib sends "Content-Length: 0" itself.
  if (length == 0) return;
  // A provider with a length: httplib neither chunks nor compresses it.
  response.set_content_provider(length, type,
                                [body](size_t offset, size_t remaining, httplib::DataSink& sink) {
                                  return body->Provide(offset, remaining, sink);
                                });
}

void SetText(httplib::Response& response, std::string text, const std::atomic<bool>* stopping) {
  auto body = std::make_shared<Body>();
  body->text = std::move(text);
  body->stopping = stopping;
  uint64_t length = body->text.size();
  SetBody(response, std::move(body), length, "text/plain; charset=utf-8");
}

int64_t Slower(int64_t a, int64_t b) { return a <= 0 ? b : (b <= 0 ? a : std::min(a, b)); }

// The whole body (200), the slice `range` asks for (206), or 416.
void AnswerRange(std::shared_ptr<Body> body, uint64_t size, const std::string& range, const std::string& type,
                 httplib::Response& response) {
  response.set_header("Accept-Ranges", "bytes");
  using httpcommon::ByteRange;
  ByteRange answer = range.empty() ? ByteRange{} : httpcommon::ResolveRange(range, size);
  switch (answer.kind) {
    case ByteRange::Kind::Unsatisfiable:
      response.status = 416;
      response.set_header("Content-Range", "bytes */" + std::to_string(size));
      return;
    case ByteRange::Kind::Partial:
      response.status = 206;
      response.set_header("Content-Range", "bytes " + std::to_string(answer.first) + "-" +
                                               std::to_string(answer.last) + "/" + std::to_string(size));
      body->first = answer.first;
      SetBody(response, std::move(body), answer.last - answer.first + 1, type);
      return;
    case ByteRange::Kind::Whole:
      response.status = 200;
      SetBody(response, std::move(body), size, type);
      return;
  }
}

}  // namespace

ContentServer::ContentServer(ContentServerOptions options) : options_(std::move(options)) {}

ContentServer::~ContentServer() { Stop(); }

bool ContentServer::Bind(int httpPort, int httpsPort, std::string* error) {
  http_ = std::make_unique<httplib::Server>();
  https_ = std::make_unique<httplib::SSLServer>(options_.certificates.certFile.c_str(),
                                                options_.certificates.keyFile.c_str());
  if (!https_->is_valid()) {
    *error = "cannot load the server certificate " + options_.certificates.certFile;
    return false;
  }
  Configure(*http_, false);
  Configure(*https_, true);
  auto bind = [](httplib::Server& server, int port) {
    if (port == 0) return server.bind_to_any_port("127.0.0.1");
    return server.bind_to_port("127.0.0.1", port) ? port : -1;
  };
  httpPort_ = bind(*http_, httpPort);
  httpsPort_ = bind(*https_, httpsPort);
  if (httpPort_ <= 0 || httpsPort_ <= 0) {
    *error = "cannot bind 127.0.0.1 port " + std::to_string(httpPort_ <= 0 ? httpPort : httpsPort);
    return false;
  }
  return true;
}

void ContentServer::Configure(httplib::Server& server, bool secure) {
  server.new_task_queue = [] { return new httplib::ThreadPool(kConnectionThreads); };
  server.set_tcp_nodelay(true);
  server.set_keep_alive_timeout(kKeepAliveSeconds);
  // A downloader that reuses its connections for a list of files keeps them (the default is 5).
  server.set_keep_alive_max_count(1000);
  auto respond = [this, secure](const httplib::Request& request, httplib::Response& response) {
    Respond(request, response, secure);
  };
  server.Get(".*", respond);  // HEAD too: httplib answers it with the GET handler, without the body
  const char* scheme = secure ? "https" : "http";
  server.set_logger([scheme](const httplib::Request& request, const httplib::Response& response) {
    std::string line = std::string(scheme) + " " + request.remote_addr + ":" +
                       std::to_string(request.remote_port) + " \"" + request.method + " " + request.target +
                       "\"";
    if (request.has_header("Range")) line += " Range: " + request.get_header_value("Range");
    line += " -> " + std::to_string(response.status);
    if (response.has_header("Content-Length"))
      line += " length " + response.get_header_value("Content-Length");
    if (response.has_header("Location")) line += " Location: " + response.get_header_value("Location");
    LogLine(line);
  });
}

void ContentServer::Start() {
  httpListener_.Start(*http_);
  httpsListener_.Start(*https_);
}

void ContentServer::Stop() {
  stopping_ = true;
  httpListener_.Stop();
  httpsListener_.Stop();
}

void ContentServer::Respond(const httplib::Request& request, httplib::Response& response, bool secure) {
  // httplib would apply "Range" to the response itself, and wrongly past the end of a file; this
  // server answers ranges, so httplib is left none. (The request object is httplib's own, not const.)
  const_cast<httplib::Request&>(request).ranges.clear();
  std::string_view target(request.target);
  std::string_view query;
  if (size_t mark = target.find('?'); mark != std::string_view::npos) {
    query = target.substr(mark);
    target = target.substr(0, mark);
  }
  int64_t bytesPerSecond = options_.bytesPerSecond;
  int64_t cutAfter = -1;
  while (true) {
    std::string_view rest = target;
    if (auto hops = TakeNumberedPrefix(&rest, "/redirect/", false)) {
      std::string host = request.get_header_value("Host");
      if (host.empty()) host = "127.0.0.1:" + std::to_string(secure ? httpsPort_ : httpPort_);
      std::string next =
          *hops > 1 ? "/redirect/" + std::to_string(*hops - 1) + std::string(rest) : std::string(rest);
      response.status = 302;
      response.set_header("Location",
                          std::string(secure ? "https://" : "http://") + host + next + std::string(query));
      return;
    }
    if (auto code = TakeNumberedPrefix(&rest, "/status/", true)) {
      if (*code < 200 || *code > 599) {
        response.status = 400;
        SetText(response, "status must be 200-599\n", &stopping_);
        return;
      }
      response.status = static_cast<int>(*code);
      if (*code != 204 && *code != 304)
        SetText(response, "status " + std::to_string(*code) + "\n", &stopping_);
      return;
    }
    if (auto pace = TakeNumberedPrefix(&rest, "/slow/", false)) {
      bytesPerSecond = Slower(bytesPerSecond, *pace == 0 ? 1 : *pace);
    } else if (auto cut = TakeNumberedPrefix(&rest, "/cut/", false)) {
      cutAfter = cutAfter < 0 ? *cut : std::min(cutAfter, *cut);
    } else {
      break;
    }
    target = rest;
  }
  ServeFile(httpcommon::PercentDecode(target), request.get_header_value("Range"), bytesPerSecond, cutAfter,
            response);
}

void ContentServer::ServeFile(const std::string& path, const std::string& range, int64_t bytesPerSecond,
                              int64_t cutAfter, httplib::Response& response) {
  auto body = std::make_shared<Body>();
  body->bytesPerSecond = bytesPerSecond;
  body->cutAfter = cutAfter;
  body->stopping = &stopping_;
  if (options_.update) {
    if (std::optional<UpdateAnswer> answer = options_.update->Answer(path)) {
      if (!answer->found) {
        response.status = 404;
        SetText(response, "not found\n", &stopping_);
        return;
      }
      body->text = std::move(answer->bytes);
      uint64_t size = body->text.size();
      AnswerRange(std::move(body), size, range, ContentType(path), response);
      return;
    }
  }
  std::filesystem::path relative = std::filesystem::path(path).relative_path();
  bool escapes = path.empty() || path[0] != '/' || path.find('\0') != std::string::npos ||
                 std::any_of(relative.begin(), relative.end(), [](const auto& part) { return part == ".."; });
  std::filesystem::path file = std::filesystem::path(options_.root) / relative;
  std::error_code failure;
  if (escapes || !std::filesystem::is_regular_file(file, failure)) {
    response.status = 404;
    SetText(response, "not found\n", &stopping_);
    return;
  }
  uint64_t size = std::filesystem::file_size(file, failure);
  body->file.open(file, std::ios::binary);
  if (failure || !body->file.is_open()) {
    response.status = 403;
    SetText(response, "cannot read\n", &stopping_);
    return;
  }
  AnswerRange(std::move(body), size, range, ContentType(file), response);
}

}  // namespace devserver
