#pragma once
// The content server: the files of one folder over http and https on 127.0.0.1, with byte ranges,
// redirect chains, fixed answers, cut and slow bodies, and an optional pace for every response.
//
// Routes (N a decimal number; prefixes combine, e.g. /redirect/2/slow/65536/a.bin):
//   /<path>                  the file <path> below the folder (GET and HEAD)
//   /redirect/N/<rest>       302 to /redirect/N-1/<rest>, the last one to /<rest> (same scheme and host)
//   /status/N                answer N (200-599) with a short text body
//   /slow/N/<rest>           <rest> at most N bytes per second
//   /cut/N/<rest>            <rest>, but the connection closes after N body bytes
//   the update deployment's routes (UpdateRoutes.h), when there is one; ranges, /slow/ and /cut/
//   apply to them too
// Ranges: one "bytes=a-b", "bytes=a-" or "bytes=-n" gets 206 with Content-Range (an end past the
// file is cut to it); a start at or past the end, or "bytes=-0", gets 416 "bytes */size"; several
// ranges or another unit get the whole file (200). Every body has an exact Content-Length; bodies
// are never chunked and never compressed.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "tools/devserver/CertificateMaker.h"
#include "tools/devserver/UpdateRoutes.h"
#include "tools/httpcommon/ListenerThread.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace devserver {

struct ContentServerOptions {
  std::string root;            // the folder served
  int64_t bytesPerSecond = 0;  // pace of every response (hence of every connection); 0: unpaced
  CertificateFiles certificates;
  std::shared_ptr<const UpdateRoutes> update;  // null: no update deployment
};

class ContentServer {
 public:
  explicit ContentServer(ContentServerOptions options);
  ~ContentServer();
  ContentServer(const ContentServer&) = delete;
  ContentServer& operator=(const ContentServer&) = delete;

  // Binds 127.0.0.1 on the two ports (0: a free one).
  bool Bind(int httpPort, int httpsPort, std::string* error);
  int HttpPort() const { return httpPort_; }
  int HttpsPort() const { return httpsPort_; }

  // Serves on two listener threads until Stop; returns once both accept loops run, so a Stop
  // that follows at once is never lost.
  void Start();
  // Ends the listeners; paced bodies end early; waits for the connections' threads.
  void Stop();

 private:
  void Configure(httplib::Server& server, bool secure);
  void Respond(const httplib::Request& request, httplib::Response& response, bool secure);
  void ServeFile(const std::string& path, const std::string& range, int64_t bytesPerSecond, int64_t cutAfter,
                 httplib::Response& response);

  ContentServerOptions options_;
  std::unique_ptr<httplib::Server> http_;
  std::unique_ptr<httplib::Server> https_;
  int httpPort_ = 0;
  int httpsPort_ = 0;
  httpcommon::ListenerThread httpListener_;
  httpcommon::ListenerThread httpsListener_;
  std::atomic<bool> stopping_{false};
};

}  // namespace devserver
