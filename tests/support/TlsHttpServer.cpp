#include "tests/support/TlsHttpServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "tools/httpcommon/ByteRange.h"

namespace testsupport {

namespace {

constexpr size_t kWriteChunk = 65536;
constexpr int64_t kSendStallMs = 30000;  // how long a client may read nothing before we give up

// What the ClientHello callback learnt.
struct HelloInfo {
  bool seen = false;
  bool sentName = false;
  std::string name;
};

std::string OpenSslErrors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text;
}

// Reads the server name extension (RFC 6066: list length, then {type 0, length, name}) itself,
// so the name is known even when the handshake goes no further than the ClientHello.
int OnClientHello(SSL* ssl, int* /*alert*/, void* /*arg*/) {
  auto* hello = static_cast<HelloInfo*>(SSL_get_ex_data(ssl, 0));
  if (hello == nullptr) return SSL_CLIENT_HELLO_SUCCESS;
  hello->seen = true;
  const unsigned char* data = nullptr;
  size_t length = 0;
  if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_server_name, &data, &length) == 1) {
    hello->sentName = true;
    if (length >= 5 && data[2] == TLSEXT_NAMETYPE_host_name) {
      size_t nameLength = (static_cast<size_t>(data[3]) << 8) | data[4];
      if (5 + nameLength <= length) hello->name.assign(reinterpret_cast<const char*>(data + 5), nameLength);
    }
  }
  return SSL_CLIENT_HELLO_SUCCESS;
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 404:
      return "Not Found";
    case 416:
      return "Range Not Satisfiable";
    default:
      return "Status";
  }
}

}  // namespace

struct TlsHttpServer::Session {
  int index = -1;
  int fd = -1;
  SSL* ssl = nullptr;
  BIO* input = nullptr;   // ciphertext from the client, read by OpenSSL
  BIO* output = nullptr;  // ciphertext OpenSSL wrote for the client
  HelloInfo hello;
  bool helloRecorded = false;
  bool sentAny = false;
  std::vector<char> scratch;
};

TlsHttpServer::TlsHttpServer(TlsServerOptions options) : options_(std::move(options)) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  BIO* certificateBio = BIO_new_mem_buf(options_.certificate.certificatePem.data(),
                                        static_cast<int>(options_.certificate.certificatePem.size()));
  BIO* keyBio = BIO_new_mem_buf(options_.certificate.keyPem.data(),
                                static_cast<int>(options_.certificate.keyPem.size()));
  X509* certificate = PEM_read_bio_X509(certificateBio, nullptr, nullptr, nullptr);
  EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
  BIO_free(certificateBio);
  BIO_free(keyBio);
  if (context == nullptr || certificate == nullptr || key == nullptr ||
      SSL_CTX_use_certificate(context, certificate) != 1 || SSL_CTX_use_PrivateKey(context, key) != 1) {
    std::fprintf(stderr, "TlsHttpServer: cannot use the certificate: %s\n", OpenSslErrors().c_str());
    std::abort();
  }
  X509_free(certificate);
  EVP_PKEY_free(key);
  SSL_CTX_set_client_hello_cb(context, &OnClientHello, nullptr);
  context_ = context;
  listenFd_ = ListenOnLoopback(64, &port_);
  if (listenFd_ >= 0) acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TlsHttpServer::~TlsHttpServer() {
  stop_.Raise();
  if (acceptThread_.joinable()) acceptThread_.join();
  for (std::thread& thread : threads_) thread.join();
  if (listenFd_ >= 0) close(listenFd_);
  SSL_CTX_free(context_);
}

std::string TlsHttpServer::BaseUrl(const std::string& host) const {
  return "https://" + host + ":" + std::to_string(port_);
}

std::string TlsHttpServer::Url(const std::string& path, const std::string& host) const {
  return BaseUrl(host) + path;
}

void TlsHttpServer::AddResource(const std::string& path, std::string bytes) {
  auto resource = std::make_shared<Resource>();
  resource->size = bytes.size();
  resource->bytes = std::move(bytes);
  std::lock_guard lock(mutex_);
  resources_[path] = std::move(resource);
}

void TlsHttpServer::AddResource(const std::string& path, uint64_t size, TlsContentProvider provider) {
  auto resource = std::make_shared<Resource>();
  resource->size = size;
  resource->provider = std::move(provider);
  std::lock_guard lock(mutex_);
  resources_[path] = std::move(resource);
}

void TlsHttpServer::AddRedirect(const std::string& path, const std::string& location, int status) {
  auto resource = std::make_shared<Resource>();
  resource->redirectStatus = status;
  resource->location = location;
  std::lock_guard lock(mutex_);
  resources_[path] = std::move(resource);
}

std::vector<ReceivedRequest> TlsHttpServer::Requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

int TlsHttpServer::RequestCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(requests_.size());
}

int TlsHttpServer::ConnectionCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(connections_.size());
}

int TlsHttpServer::HandshakeCount() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                        [](const TlsServerConnection& c) { return c.handshakeDone; }));
}

TlsServerConnection TlsHttpServer::Connection(int index) const {
  std::lock_guard lock(mutex_);
  if (index < 0 || static_cast<size_t>(index) >= connections_.size()) return {};
  return connections_[static_cast<size_t>(index)];
}

bool TlsHttpServer::WaitForConnections(int count, int64_t timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return static_cast<int>(connections_.size()) >= count; });
}

bool TlsHttpServer::WaitForRequests(int count, int64_t timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return static_cast<int>(requests_.size()) >= count; });
}

bool TlsHttpServer::WaitForFinished(int count, int64_t timeoutMs) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    if (static_cast<int>(connections_.size()) < count) return false;
    for (int i = 0; i < count; ++i) {
      if (!connections_[static_cast<size_t>(i)].finished) return false;
    }
    return true;
  });
}

template <class Change>
void TlsHttpServer::Update(int index, Change change) {
  {
    std::lock_guard lock(mutex_);
    change(connections_[static_cast<size_t>(index)]);
  }
  changed_.notify_all();
}

void TlsHttpServer::AcceptLoop() {
  for (;;) {
    if (WaitForSocket(listenFd_, SocketEvent::Readable, stop_, -1) != WaitResult::Ready) return;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (!stop_.SleepFor(1)) return;
      continue;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    {
      std::lock_guard lock(mutex_);
      int index = static_cast<int>(connections_.size());
      connections_.emplace_back();
      threads_.emplace_back([this, index, fd] { Run(index, fd); });
    }
    changed_.notify_all();
  }
}

void TlsHttpServer::Run(int index, int fd) {
  Session session;
  session.index = index;
  session.fd = fd;
  session.ssl = SSL_new(context_);
  session.input = BIO_new(BIO_s_mem());
  session.output = BIO_new(BIO_s_mem());
  SSL_set_bio(session.ssl, session.input, session.output);
  SSL_set_ex_data(session.ssl, 0, &session.hello);
  SSL_set_accept_state(session.ssl);

  if (Handshake(session)) {
    std::string pending;  // plaintext not yet taken as a request head
    for (;;) {
      size_t end = pending.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (!ReadPlaintext(session, &pending)) break;
        continue;
      }
      ReceivedRequest request = ParseRequestHead(pending.substr(0, end + 4));
      pending.erase(0, end + 4);
      request.connection = index;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
      }
      changed_.notify_all();
      if (!Respond(session, request)) break;
    }
  }
  SSL_free(session.ssl);
  CloseGracefully(fd);
  Update(index, [](TlsServerConnection& c) { c.finished = true; });
}

bool TlsHttpServer::Handshake(Session& session) {
  for (;;) {
    ERR_clear_error();
    int result = SSL_do_handshake(session.ssl);
    int error = SSL_get_error(session.ssl, result);
    if (session.hello.seen && !session.helloRecorded) {
      session.helloRecorded = true;
      HelloInfo hello = session.hello;
      Update(session.index, [&](TlsServerConnection& c) {
        c.clientHelloRead = true;
        c.sentServerName = hello.sentName;
        c.serverName = hello.name;
      });
      // The faults strike before anything of the server's answer leaves.
      if (options_.fault == TlsServerFault::kCloseAfterClientHello) {
        Update(session.index,
               [](TlsServerConnection& c) { c.handshakeError = "closed after the ClientHello"; });
        return false;
      }
      if (options_.fault == TlsServerFault::kStallAfterClientHello) {
        Update(session.index,
               [](TlsServerConnection& c) { c.handshakeError = "stalled after the ClientHello"; });
        while (stop_.SleepFor(1000)) {
        }
        return false;
      }
    }
    if (result == 1) {
      bool flushed = Flush(session);
      Update(session.index, [](TlsServerConnection& c) { c.handshakeDone = true; });
      return flushed;
    }
    if (error == SSL_ERROR_WANT_READ) {
      if (Flush(session) && ReadCiphertext(session)) continue;
      Update(session.index,
             [](TlsServerConnection& c) { c.handshakeError = "the connection ended during the handshake"; });
      return false;
    }
    std::string reason = OpenSslErrors();
    Flush(session);  // the alert, if OpenSSL wrote one
    Update(session.index,
           [&](TlsServerConnection& c) { c.handshakeError = reason.empty() ? "handshake failed" : reason; });
    return false;
  }
}

bool TlsHttpServer::ReadCiphertext(Session& session) {
  if (WaitForSocket(session.fd, SocketEvent::Readable, stop_, -1) != WaitResult::Ready) return false;
  char buffer[65536];
  ssize_t n;
  do {
    n = recv(session.fd, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  return BIO_write(session.input, buffer, static_cast<int>(n)) == n;
}

bool TlsHttpServer::Flush(Session& session) {
  size_t pending = BIO_ctrl_pending(session.output);
  if (pending == 0) return true;
  session.scratch.resize(pending);
  int read = BIO_read(session.output, session.scratch.data(), static_cast<int>(pending));
  if (read <= 0) return true;
  const char* data = session.scratch.data();
  size_t size = static_cast<size_t>(read);
  if (options_.pieceBytes == 0) return SendAll(session.fd, data, size, stop_, kSendStallMs);
  for (size_t offset = 0; offset < size;) {
    size_t piece = std::min(options_.pieceBytes, size - offset);
    if (session.sentAny && options_.pauseMs > 0 && !stop_.SleepFor(options_.pauseMs)) return false;
    if (!SendAll(session.fd, data + offset, piece, stop_, kSendStallMs)) return false;
    session.sentAny = true;
    offset += piece;
  }
  return true;
}

bool TlsHttpServer::ReadPlaintext(Session& session, std::string* out) {
  char buffer[16384];
  for (;;) {
    ERR_clear_error();
    int n = SSL_read(session.ssl, buffer, sizeof buffer);
    if (n > 0) {
      out->append(buffer, static_cast<size_t>(n));
      Update(session.index,
             [&](TlsServerConnection& c) { c.received.append(buffer, static_cast<size_t>(n)); });
      return true;
    }
    if (SSL_get_error(session.ssl, n) != SSL_ERROR_WANT_READ) return false;
    if (!Flush(session) || !ReadCiphertext(session)) return false;
  }
}

bool TlsHttpServer::WritePlaintext(Session& session, const char* data, size_t size) {
  for (size_t offset = 0; offset < size;) {
    int chunk = static_cast<int>(std::min(kWriteChunk, size - offset));
    ERR_clear_error();
    if (SSL_write(session.ssl, data + offset, chunk) != chunk) return false;
    if (!Flush(session)) return false;
    offset += static_cast<size_t>(chunk);
  }
  return true;
}

bool TlsHttpServer::Respond(Session& session, const ReceivedRequest& request) {
  std::shared_ptr<const Resource> body;
  {
    std::lock_guard lock(mutex_);
    auto found = resources_.find(request.Path());
    if (found != resources_.end()) body = found->second;
  }
  int status = 404;
  uint64_t first = 0;
  uint64_t count = 0;
  std::string extra;
  if (body && body->redirectStatus != 0) {
    status = body->redirectStatus;
    extra = "Location: " + body->location + "\r\n";
  } else if (body) {
    const uint64_t size = body->size;
    httpcommon::ByteRange range = httpcommon::ResolveRange(request.Header("Range"), size);
    switch (range.kind) {
      case httpcommon::ByteRange::Kind::Unsatisfiable:
        status = 416;
        extra = "Content-Range: bytes */" + std::to_string(size) + "\r\n";
        break;
      case httpcommon::ByteRange::Kind::Partial:
        status = 206;
        first = range.first;
        count = range.last - range.first + 1;
        extra = "Content-Range: bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) +
                "/" + std::to_string(size) + "\r\n";
        break;
      case httpcommon::ByteRange::Kind::Whole:
        status = 200;
        count = size;
        break;
    }
  }
  std::string head =
      "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) +
      "\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(count) + "\r\n" +
      extra + "\r\n";
  if (!WritePlaintext(session, head.data(), head.size())) return false;
  if (request.method == "HEAD" || count == 0) return true;
  if (!body->provider) return WritePlaintext(session, body->bytes.data() + first, static_cast<size_t>(count));
  std::vector<char> chunk(kWriteChunk);
  for (uint64_t offset = 0; offset < count;) {
    size_t length = static_cast<size_t>(std::min<uint64_t>(kWriteChunk, count - offset));
    body->provider(first + offset, chunk.data(), length);
    if (!WritePlaintext(session, chunk.data(), length)) return false;
    offset += length;
  }
  return true;
}

}  // namespace testsupport
