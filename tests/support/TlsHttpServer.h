#pragma once
// An HTTPS/1.1 server on 127.0.0.1 built on OpenSSL alone, for tests of the TLS layer and of
// downloads over https: in-memory resources with Content-Length (GET and HEAD, one byte range
// answered as HttpFileServer answers it), the server name (SNI) each client sent, every request
// and every decrypted byte per connection, and faults a real server can show:
//   - the connection closes (or stalls) right after the ClientHello was read;
//   - every TLS byte to the client leaves in small TCP writes with pauses between them, so TLS
//     records arrive split across the client's receives.
//
//   testsupport::TestCertificates pki;
//   testsupport::TlsHttpServer server({pki.Issue()});
//   server.AddResource("/file.bin", bytes);
//   ... download server.Url("/file.bin") ("https://localhost:<port>/file.bin") ...
//   EXPECT_EQ("localhost", server.Connection(0).serverName);
//
// OpenSSL runs over memory BIOs: the server reads the socket itself and decides how the
// ciphertext goes out. Each connection runs on its own thread; keep-alive connections serve
// request after request until the client closes. The destructor ends every connection at once and
// joins every thread.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/ReceivedRequest.h"
#include "tests/support/TestCertificates.h"

struct ssl_ctx_st;

namespace testsupport {

enum class TlsServerFault {
  kNone,
  // Reads the ClientHello, then closes the connection (FIN) without answering it.
  kCloseAfterClientHello,
  // Reads the ClientHello, then holds the connection open and silent until the server ends.
  kStallAfterClientHello,
};

struct TlsServerOptions {
  TestCertificate certificate;  // what the server presents
  TlsServerFault fault = TlsServerFault::kNone;
  // > 0: every TLS byte to the client leaves in TCP writes of at most this many bytes, with
  // `pauseMs` between the writes (the socket has TCP_NODELAY).
  size_t pieceBytes = 0;
  int64_t pauseMs = 0;
};

// Makes the bytes of a resource on demand: fills `out` with the `length` bytes at `offset`. Called
// on the connection's thread, so it must be thread-safe.
using TlsContentProvider = std::function<void(uint64_t offset, char* out, size_t length)>;

// What the server saw on one connection.
struct TlsServerConnection {
  bool sentServerName = false;  // the ClientHello carried the server name extension
  std::string serverName;       // its host name
  bool clientHelloRead = false;
  bool handshakeDone = false;
  std::string handshakeError;  // why the handshake did not end, as the server's OpenSSL saw it
  std::string received;        // every decrypted byte from the client, in order
  bool finished = false;       // the connection is closed
};

class TlsHttpServer {
 public:
  // Binds 127.0.0.1 on an ephemeral port and starts serving.
  explicit TlsHttpServer(TlsServerOptions options);
  ~TlsHttpServer();
  TlsHttpServer(const TlsHttpServer&) = delete;
  TlsHttpServer& operator=(const TlsHttpServer&) = delete;

  uint16_t Port() const { return port_; }
  // "https://<host>:<port>"
  std::string BaseUrl(const std::string& host = "localhost") const;
  // BaseUrl(host) + path
  std::string Url(const std::string& path, const std::string& host = "localhost") const;

  // Serves `bytes` at `path` (matched without the query); replaces a resource of the same path.
  void AddResource(const std::string& path, std::string bytes);
  // A resource of `size` bytes made piece by piece while it is sent, so a large body needs no
  // memory of its size.
  void AddResource(const std::string& path, uint64_t size, TlsContentProvider provider);
  // `status` (302, 303, ...) with "Location: <location>" and an empty body.
  void AddRedirect(const std::string& path, const std::string& location, int status = 302);

  std::vector<ReceivedRequest> Requests() const;
  int RequestCount() const;
  int ConnectionCount() const;
  int HandshakeCount() const;
  // A copy of what connection `index` (0-based, in accept order) saw; empty when no such one.
  TlsServerConnection Connection(int index) const;
  bool WaitForConnections(int count, int64_t timeoutMs = 5000) const;
  bool WaitForRequests(int count, int64_t timeoutMs = 5000) const;
  // Waits until the first `count` connections are closed.
  bool WaitForFinished(int count, int64_t timeoutMs = 5000) const;

 private:
  struct Session;
  struct Resource {
    std::string bytes;
    uint64_t size = 0;
    TlsContentProvider provider;  // set: the bytes are made on demand
    int redirectStatus = 0;       // set: a redirect to `location` instead of the bytes
    std::string location;
  };
  void AcceptLoop();
  void Run(int index, int fd);
  bool Handshake(Session& session);
  bool ReadCiphertext(Session& session);
  bool Flush(Session& session);
  bool ReadPlaintext(Session& session, std::string* out);
  bool Respond(Session& session, const ReceivedRequest& request);
  bool WritePlaintext(Session& session, const char* data, size_t size);
  template <class Change>
  void Update(int index, Change change);

  TlsServerOptions options_;
  ssl_ctx_st* context_ = nullptr;
  StopSignal stop_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::map<std::string, std::shared_ptr<const Resource>> resources_;
  std::vector<TlsServerConnection> connections_;
  std::vector<ReceivedRequest> requests_;
  std::vector<std::thread> threads_;
};

}  // namespace testsupport
