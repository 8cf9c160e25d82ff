#pragma once
// An HTTP/1.1 file server on 127.0.0.1 (cpp-httplib underneath) for tests of the download stack:
// in-memory resources and files of a folder, HEAD, single byte ranges, redirects, fixed status
// answers, pacing, and faults (cut after N body bytes, close-delimited body, failing first tries).
// It records every request it received, headers in arrival order.
//
//   testsupport::HttpFileServer server;
//   server.AddResource("/file.bin", bytes);
//   server.AddRedirect("/old", server.Url("/file.bin"), 302);
//   ... download server.Url("/old") ...
//   EXPECT_EQ(server.Requests()[1].Header("Range"), "bytes=0-");
//
// Answers are never chunked and never compressed: every body has a Content-Length, except for
// resources marked closeDelimited, whose body ends with the connection. Ranges are answered by
// this server, not by cpp-httplib:
//   - "bytes=a-b", "bytes=a-", "bytes=-n" inside the resource: 206, Content-Range
//     "bytes first-last/size", Content-Length = last - first + 1 (b past the end is cut to the end);
//   - a range starting at or past the end (or "bytes=-0"): 416, Content-Range "bytes */size", no body;
//   - anything else (several ranges, bad syntax, another unit): ignored, 200 with the whole body.
// Unknown paths answer 404 with an empty body. HEAD answers like GET without the body.
// Connections stay open between requests (keep-alive) until the client closes them, 5 s pass idle,
// or the server is destroyed; each runs on its own thread. The destructor ends every connection
// at once (paced and stalled writes included) and joins every thread.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/ReceivedRequest.h"

namespace testsupport {

struct HttpResourceOptions {
  std::string contentType = "application/octet-stream";
  // Extra response headers, sent as given (e.g. {"ETag", "\"v1\""}).
  std::vector<std::pair<std::string, std::string>> headers;
  // Pace of the body in bytes per second for each response (0: the server's default, see
  // SetRateLimit). The writes themselves are paced: chunks of about 1/20 s of data.
  int64_t bytesPerSecond = 0;
  // >= 0: after this many body bytes the connection is closed, although the headers announced the
  // whole length (a download cut short).
  int64_t cutAfter = -1;
  // How many responses cutAfter applies to, counted from the first; -1: all of them.
  int cutResponses = -1;
  // With cutAfter: end the connection with RST instead of FIN.
  bool resetOnCut = false;
  // No Content-Length; the body ends when the server closes the connection ("Connection: close").
  bool closeDelimited = false;
  // Answer every request with 200 and the whole body, whatever Range says.
  bool ignoreRange = false;
  // The first `failFirst` requests get `failStatus` with an empty body instead of the resource.
  int failFirst = 0;
  int failStatus = 503;
};

class HttpFileServer {
 public:
  // Binds 127.0.0.1 on an ephemeral port and starts serving.
  HttpFileServer();
  ~HttpFileServer();
  HttpFileServer(const HttpFileServer&) = delete;
  HttpFileServer& operator=(const HttpFileServer&) = delete;

  uint16_t Port() const;
  // "http://127.0.0.1:<port>"
  std::string BaseUrl() const;
  // BaseUrl() + path
  std::string Url(const std::string& path) const;

  // Routes. Paths are matched without the query, first as sent, then percent-decoded. Adding a
  // route replaces any route of the same path; routes may change while the server runs.
  void AddResource(const std::string& path, std::string bytes, HttpResourceOptions options = {});
  // Files below `folder` answer at their relative path (e.g. /sub/a.bin), read at each request,
  // when no route matches. Paths with ".." segments are never served from the folder.
  void ServeDirectory(const std::string& folder, HttpResourceOptions options = {});
  // `status` (302, 303, 301, 307, ...) with "Location: <location>" and an empty body; an empty
  // location sends no Location header at all (a redirect without a usable target).
  void AddRedirect(const std::string& path, const std::string& location, int status = 302);
  // Any status, with an optional body (with Content-Length) and extra headers.
  void AddStatus(const std::string& path, int status, std::string body = {},
                 std::vector<std::pair<std::string, std::string>> headers = {});
  void Remove(const std::string& path);
  // Default pace, in bytes per second, of every body whose resource sets none (0: unpaced).
  void SetRateLimit(int64_t bytesPerSecond);

  // Every request whose head arrived, in arrival order (the body is added when it was read).
  std::vector<ReceivedRequest> Requests() const;
  int RequestCount() const;
  // Requests whose path (without query) is `path`.
  int RequestCount(const std::string& path) const;
  int ConnectionCount() const;
  // Waits until at least `count` requests arrived; true when they did.
  bool WaitForRequests(int count, int64_t timeoutMs = 5000) const;
  // Forgets the recorded requests (connection numbering goes on).
  void ClearRequests();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport
