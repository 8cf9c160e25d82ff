// Tests of the test servers themselves (tests/support): the scripted raw TCP server and the HTTP
// file server, driven by plain sockets so every byte on the wire is checked.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/HttpFileServer.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"
#include "tests/support/WaitUntil.h"

namespace {

using testsupport::ClosedPort;
using testsupport::Gate;
using testsupport::HttpFileServer;
using testsupport::HttpResourceOptions;
using testsupport::HttpResponse;
using testsupport::Script;
using testsupport::ScriptedServer;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return bytes;
}

// A blocking loopback client with bounded waits.
class RawClient {
 public:
  enum class End { Open, Eof, Reset, Error };

  explicit RawClient(uint16_t port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) connectError_ = errno;
  }
  ~RawClient() {
    if (fd_ >= 0) close(fd_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  int ConnectError() const { return connectError_; }
  End Ended() const { return end_; }

  void Send(const std::string& bytes) {
    ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }
  void CloseWrite() { shutdown(fd_, SHUT_WR); }
  void Close() {
    close(fd_);
    fd_ = -1;
  }

  int Unread() const { return testsupport::UnreadBytes(fd_); }

  bool Readable(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
  }

  // One receive (waits up to timeoutMs); "" on EOF, error or time-out (see Ended()).
  std::string ReadSome(int timeoutMs = 5000) {
    if (!Readable(timeoutMs)) return {};
    char buffer[65536];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n > 0) return std::string(buffer, static_cast<size_t>(n));
    end_ = n == 0 ? End::Eof : (errno == ECONNRESET ? End::Reset : End::Error);
    return {};
  }

  std::string ReadExactly(size_t count, int timeoutMs = 5000) {
    std::string data;
    int64_t deadline = NowMs() + timeoutMs;
    while (data.size() < count && end_ == End::Open && NowMs() < deadline) {
      data += ReadSome(static_cast<int>(deadline - NowMs()));
    }
    return data;
  }

  std::string ReadUntil(const std::string& delimiter, int timeoutMs = 5000) {
    int64_t deadline = NowMs() + timeoutMs;
    while (data_.find(delimiter) == std::string::npos && end_ == End::Open && NowMs() < deadline) {
      data_ += ReadSome(static_cast<int>(deadline - NowMs()));
    }
    size_t end = data_.find(delimiter);
    if (end == std::string::npos) return {};
    std::string head = data_.substr(0, end + delimiter.size());
    data_.erase(0, end + delimiter.size());
    return head;
  }

  // Reads until the peer ends the connection (EOF or reset) or timeoutMs passed.
  std::string ReadToEnd(int timeoutMs = 5000) {
    std::string data;
    data.swap(data_);
    int64_t deadline = NowMs() + timeoutMs;
    while (end_ == End::Open && NowMs() < deadline) data += ReadSome(static_cast<int>(deadline - NowMs()));
    return data;
  }

  // Bytes read past a ReadUntil delimiter and not taken yet.
  std::string TakeBuffered() {
    std::string data;
    data.swap(data_);
    return data;
  }

 private:
  int fd_;
  int connectError_ = 0;
  End end_ = End::Open;
  std::string data_;
};

struct HttpAnswer {
  int status = 0;
  std::string head;
  testsupport::ReceivedRequest headers;  // the response head parsed like a request: status line ignored
  std::string body;
  std::string Header(const std::string& name) const { return headers.Header(name); }
  bool Has(const std::string& name) const { return headers.HasHeader(name); }
};

// Reads one response: the head, then Content-Length bytes (none for HEAD), or up to the close.
HttpAnswer ReadAnswer(RawClient& client, bool head = false) {
  HttpAnswer answer;
  answer.head = client.ReadUntil("\r\n\r\n");
  if (answer.head.size() > 12) answer.status = std::stoi(answer.head.substr(9, 3));
  answer.headers = testsupport::ParseRequestHead(answer.head);
  std::string buffered = client.TakeBuffered();
  if (head) return answer;
  if (answer.Has("Content-Length")) {
    size_t length = std::stoul(answer.Header("Content-Length"));
    answer.body = buffered;
    if (answer.body.size() < length) answer.body += client.ReadExactly(length - answer.body.size());
  } else {
    answer.body = buffered + client.ReadToEnd();
  }
  return answer;
}

// A request as our HTTP client writes it.
std::string GetRequest(const std::string& target, const std::string& range = {},
                       const std::string& method = "GET") {
  std::string text = method + " " + target +
                     " HTTP/1.1\r\nAccept: */*\r\nReferer: http://www.orba.example/\r\n"
                     "Accept-Language: ko\r\nUser-Agent: OskelClient\r\n";
  if (!range.empty()) text += "Range: " + range + "\r\n";
  return text + "Host: 127.0.0.1\r\nConnection: Keep-Alive\r\n\r\n";
}

// ---------------------------------------------------------------------------------------------
// ScriptedServer

TEST(ScriptedServerTest, ReadRequestCapturesTheExactBytesAndTheAnswerFollows) {
  ScriptedServer server(Script().ReadRequest().Send(HttpResponse(200, {{"Content-Length", "2"}}, "hi")));
  ASSERT_NE(server.Port(), 0);
  RawClient client(server.Port());
  std::string request = GetRequest("/a%20b?x=1", "bytes=5-");
  client.Send(request);
  EXPECT_EQ(client.ReadToEnd(), "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi");
  EXPECT_EQ(client.Ended(), RawClient::End::Eof);  // the script's end closes with FIN
  ASSERT_TRUE(server.WaitForFinished(1));
  EXPECT_EQ(server.ConnectionCount(), 1);
  EXPECT_EQ(server.Reads(0), std::vector<std::string>{request});
  EXPECT_EQ(server.Request(0).target, "/a%20b?x=1");
  EXPECT_EQ(server.Request(0).Header("range"), "bytes=5-");
  EXPECT_FALSE(server.Connection(0).failed);
}

TEST(ScriptedServerTest, ReadStepsTakeTheirBytesInOrder) {
  ScriptedServer server(Script().ReadUntil("\r\n\r\n").ReadBytes(3).ReadToEnd());
  RawClient client(server.Port());
  client.Send("abc\r\n\r\nxyz");
  client.Send("tail");
  client.CloseWrite();
  ASSERT_TRUE(server.WaitForFinished(1));
  testsupport::ScriptedConnection connection = server.Connection(0);
  EXPECT_EQ(connection.reads, (std::vector<std::string>{"abc\r\n\r\n", "xyz", "tail"}));
  EXPECT_EQ(connection.received, "abc\r\n\r\nxyztail");
  EXPECT_TRUE(connection.peerClosed);
}

TEST(ScriptedServerTest, SendInPiecesWritesSeparatelyWithPauses) {
  std::string text = "HTTP/1.1 200 OK\r\n\r\n";
  ScriptedServer server(Script().SendInPieces(text, {4, 6}, 80));
  RawClient client(server.Port());
  std::vector<std::string> receives;
  std::string all;
  int64_t start = NowMs();
  while (client.Ended() == RawClient::End::Open) {
    std::string piece = client.ReadSome();
    if (piece.empty()) break;
    receives.push_back(piece);
    all += piece;
  }
  EXPECT_EQ(all, text);
  // Pieces of 4, 6, 6 and 3 bytes with three pauses: the client cannot get them in one receive.
  ASSERT_GE(receives.size(), 2u);
  EXPECT_EQ(receives.front().substr(0, 4), "HTTP");
  EXPECT_EQ(receives.front().size() % 2, 0u);  // ends where a piece ends (4 or 10 or 16 bytes)
  EXPECT_GE(NowMs() - start, 3 * 80 - 20);
}

TEST(ScriptedServerTest, WaitForGateHoldsTheConnectionUntilTheTestOpensIt) {
  Gate release;
  Gate reached;
  ScriptedServer server(Script().Send("a").Notify(reached).WaitFor(release).Send("b"));
  RawClient client(server.Port());
  EXPECT_EQ(client.ReadExactly(1), "a");
  ASSERT_TRUE(reached.WaitOpen());
  EXPECT_FALSE(client.Readable(0));  // held: nothing more, and no close
  release.Open();
  EXPECT_EQ(client.ReadToEnd(), "b");
  EXPECT_EQ(client.Ended(), RawClient::End::Eof);
}

TEST(ScriptedServerTest, WaitForConditionAndPause) {
  std::atomic<bool> go{false};
  ScriptedServer server(Script().WaitFor([&go] { return go.load(); }).Send("x").Pause(150).Send("y"));
  RawClient client(server.Port());
  EXPECT_FALSE(client.Readable(0));  // nothing is sent before the condition holds
  go = true;
  EXPECT_EQ(client.ReadExactly(1), "x");
  int64_t start = NowMs();
  EXPECT_EQ(client.ReadExactly(1), "y");
  EXPECT_GE(NowMs() - start, 120);
}

TEST(ScriptedServerTest, HalfCloseEndsTheClientsInputButTheServerStillReads) {
  ScriptedServer server(Script().Send("x").HalfClose().ReadUntil("bye"));
  RawClient client(server.Port());
  EXPECT_EQ(client.ReadToEnd(), "x");
  EXPECT_EQ(client.Ended(), RawClient::End::Eof);
  client.Send("bye");
  ASSERT_TRUE(server.WaitForFinished(1));
  EXPECT_EQ(server.Reads(0), std::vector<std::string>{"bye"});
}

TEST(ScriptedServerTest, ResetGivesTheClientConnectionReset) {
  ScriptedServer server(Script().ReadRequest().Reset());
  RawClient client(server.Port());
  client.Send(GetRequest("/"));
  EXPECT_EQ(client.ReadToEnd(), "");
  EXPECT_EQ(client.Ended(), RawClient::End::Reset);
}

TEST(ScriptedServerTest, CloseIsOrderlyEvenWithUnreadInput) {
  Gate sent;
  ScriptedServer server(Script().WaitFor(sent).Send("done").Close());
  RawClient client(server.Port());
  client.Send("never read by the script");
  sent.Open();
  EXPECT_EQ(client.ReadToEnd(), "done");
  EXPECT_EQ(client.Ended(), RawClient::End::Eof);  // FIN, not RST
  ASSERT_TRUE(server.WaitForFinished(1));
  EXPECT_EQ(server.Received(0), "never read by the script");
}

TEST(ScriptedServerTest, StallKeepsTheConnectionOpenUntilTheServerIsDestroyed) {
  auto server = std::make_unique<ScriptedServer>(Script().ReadRequest().Stall());
  RawClient client(server->Port());
  client.Send(GetRequest("/"));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return server->Reads(0).size() == 1; }));
  EXPECT_FALSE(client.Readable(0));
  server.reset();  // a stall has no time-out of its own: a destructor that waited would hang
  EXPECT_EQ(client.ReadToEnd(), "");
  EXPECT_EQ(client.Ended(), RawClient::End::Eof);
}

TEST(ScriptedServerTest, StallWithGateGoesOnWhenTheGateOpens) {
  Gate go;
  ScriptedServer server(Script().Stall(go).Send("late"));
  RawClient client(server.Port());
  EXPECT_FALSE(client.Readable(0));
  go.Open();
  EXPECT_EQ(client.ReadToEnd(), "late");
}

TEST(ScriptedServerTest, AcceptNothingCompletesConnectsButNeverAnswers) {
  ScriptedServer server{ScriptedServer::AcceptNothing{}};
  RawClient client(server.Port());
  EXPECT_EQ(client.ConnectError(), 0);  // the kernel completes the handshake in the backlog
  client.Send(GetRequest("/"));
  EXPECT_FALSE(client.Readable(0));
  EXPECT_EQ(server.ConnectionCount(), 0);
}

TEST(ScriptedServerTest, SuccessiveConnectionsRunSuccessiveScriptsAndTheLastRepeats) {
  ScriptedServer server({Script().ReadRequest().Reset(),
                         Script().ReadRequest().Send(HttpResponse(200, {{"Content-Length", "2"}}, "ok"))});
  for (int i = 0; i < 3; ++i) {
    RawClient client(server.Port());
    client.Send(GetRequest("/" + std::to_string(i)));
    std::string answer = client.ReadToEnd();
    if (i == 0) {
      EXPECT_EQ(client.Ended(), RawClient::End::Reset);
    } else {
      EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    }
  }
  ASSERT_TRUE(server.WaitForFinished(3));
  EXPECT_EQ(server.ConnectionCount(), 3);
  EXPECT_EQ(server.Request(2).target, "/2");
}

TEST(ScriptedServerTest, DestructorDoesNotWaitForAClientThatReadsNothing) {
  auto server = std::make_unique<ScriptedServer>(Script().Send(std::string(16 << 20, 'z')).Stall());
  RawClient reader(server->Port());
  RawClient idle(server->Port());
  ASSERT_TRUE(server->WaitForConnections(2));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return reader.Unread() > 0 && idle.Unread() > 0; }));  // sending
  server.reset();  // sends wait without a time-out of their own: a destructor that waited would hang
}

TEST(ScriptedServerTest, ClosedPortRefusesConnects) {
  ClosedPort closed;
  ASSERT_NE(closed.Port(), 0);
  RawClient client(closed.Port());
  EXPECT_EQ(client.ConnectError(), ECONNREFUSED);

  uint16_t port = testsupport::ClosedLoopbackPort();
  ASSERT_NE(port, 0);
  RawClient other(port);
  EXPECT_EQ(other.ConnectError(), ECONNREFUSED);
}

// ---------------------------------------------------------------------------------------------
// HttpFileServer

class HttpFileServerTest : public ::testing::Test {
 protected:
  HttpAnswer Get(const std::string& target, const std::string& range = {},
                 const std::string& method = "GET") {
    RawClient client(server_.Port());
    client.Send(GetRequest(target, range, method));
    return ReadAnswer(client, method == "HEAD");
  }

  HttpFileServer server_;
  std::string body_ = Pattern(1000);
};

TEST_F(HttpFileServerTest, ServesAResourceWithContentLengthNeverChunked) {
  server_.AddResource("/file.bin", body_);
  HttpAnswer answer = Get("/file.bin");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Header("Content-Length"), "1000");
  EXPECT_FALSE(answer.Has("Transfer-Encoding"));
  EXPECT_FALSE(answer.Has("Content-Encoding"));
  EXPECT_EQ(answer.Header("Accept-Ranges"), "bytes");
  EXPECT_EQ(answer.body, body_);
}

TEST_F(HttpFileServerTest, NeitherCompressesNorChunksForAClientThatWouldAccept) {
  HttpResourceOptions text;
  text.contentType = "text/plain";
  server_.AddResource("/a.txt", std::string(5000, 'x'), text);
  server_.AddStatus("/error", 500, std::string(3000, 'e'));
  httplib::Client client("127.0.0.1", server_.Port());
  httplib::Headers accept{{"Accept-Encoding", "gzip, deflate, br"}};
  for (const char* path : {"/a.txt", "/error"}) {
    auto result = client.Get(path, accept);
    ASSERT_TRUE(result) << path;
    EXPECT_FALSE(result->has_header("Content-Encoding")) << path;
    EXPECT_FALSE(result->has_header("Transfer-Encoding")) << path;
    EXPECT_TRUE(result->has_header("Content-Length")) << path;
  }
}

TEST_F(HttpFileServerTest, EmptyResourceHasContentLengthZero) {
  server_.AddResource("/empty", "");
  HttpAnswer answer = Get("/empty");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.Header("Content-Length"), "0");
  EXPECT_EQ(answer.body, "");
}

struct RangeCase {
  const char* range;
  int status;
  const char* contentRange;  // "" when absent
  size_t first;
  size_t length;
};

// The Range header spelled with letters, digits and underscores: "bytes=0-1,5-6" is "bytes_0To1And5To6".
void PrintTo(const RangeCase& c, std::ostream* out) {
  for (const char* at = c.range; *at != '\0'; ++at) {
    const char ch = *at;
    if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) {
      *out << ch;
    } else if (ch == '-') {
      *out << "To";
    } else if (ch == ',') {
      *out << "And";
    } else {
      *out << '_';
    }
  }
}

class HttpFileServerRangeTest : public HttpFileServerTest, public ::testing::WithParamInterface<RangeCase> {};

TEST_P(HttpFileServerRangeTest, AnswersRanges) {
  const RangeCase& c = GetParam();
  server_.AddResource("/file.bin", body_);
  HttpAnswer answer = Get("/file.bin", c.range);
  EXPECT_EQ(answer.status, c.status);
  EXPECT_EQ(answer.Header("Content-Range"), c.contentRange);
  EXPECT_EQ(answer.Header("Content-Length"), std::to_string(c.length));
  EXPECT_EQ(answer.body, body_.substr(c.first, c.length));
}

INSTANTIATE_TEST_SUITE_P(Ranges, HttpFileServerRangeTest,
                         ::testing::Values(RangeCase{"bytes=100-199", 206, "bytes 100-199/1000", 100, 100},
                                           RangeCase{"bytes=0-", 206, "bytes 0-999/1000", 0, 1000},
                                           RangeCase{"bytes=990-", 206, "bytes 990-999/1000", 990, 10},
                                           RangeCase{"bytes=999-999", 206, "bytes 999-999/1000", 999, 1},
                                           RangeCase{"bytes=500-5000", 206, "bytes 500-999/1000", 500, 500},
                                           RangeCase{"bytes=-10", 206, "bytes 990-999/1000", 990, 10},
                                           RangeCase{"bytes=-5000", 206, "bytes 0-999/1000", 0, 1000},
                                           RangeCase{"bytes=1000-", 416, "bytes */1000", 0, 0},
                                           RangeCase{"bytes=99999999999999999999999-", 416, "bytes */1000", 0,
                                                     0},
                                           RangeCase{"bytes=-0", 416, "bytes */1000", 0, 0},
                                           RangeCase{"bytes=5-2", 200, "", 0, 1000},  // malformed: ignored
                                           RangeCase{"bytes=0-1,5-6", 200, "", 0, 1000},  // several: ignored
                                           RangeCase{"items=0-1", 200, "", 0, 1000}));

TEST_F(HttpFileServerTest, IgnoreRangeAnswersTheWholeBody) {
  HttpResourceOptions options;
  options.ignoreRange = true;
  server_.AddResource("/file.bin", body_, options);
  HttpAnswer answer = Get("/file.bin", "bytes=10-");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.body, body_);
}

TEST_F(HttpFileServerTest, HeadAnswersLikeGetWithoutBody) {
  server_.AddResource("/file.bin", body_);
  RawClient client(server_.Port());
  client.Send(GetRequest("/file.bin", {}, "HEAD"));
  HttpAnswer whole = ReadAnswer(client, true);
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.Header("Content-Length"), "1000");
  client.Send(GetRequest("/file.bin", "bytes=100-", "HEAD"));  // same connection: nothing came in between
  HttpAnswer partial = ReadAnswer(client, true);
  EXPECT_EQ(partial.status, 206);
  EXPECT_EQ(partial.Header("Content-Length"), "900");
  EXPECT_EQ(partial.Header("Content-Range"), "bytes 100-999/1000");
  client.Send(GetRequest("/file.bin", "bytes=2000-", "HEAD"));
  EXPECT_EQ(ReadAnswer(client, true).status, 416);
}

TEST_F(HttpFileServerTest, RedirectsAndChains) {
  server_.AddResource("/final.bin", body_);
  server_.AddRedirect("/first", "/second", 302);
  server_.AddRedirect("/second", server_.Url("/final.bin"), 303);
  HttpAnswer first = Get("/first");
  EXPECT_EQ(first.status, 302);
  EXPECT_EQ(first.Header("Location"), "/second");
  EXPECT_EQ(first.Header("Content-Length"), "0");
  HttpAnswer second = Get("/second");
  EXPECT_EQ(second.status, 303);
  EXPECT_EQ(second.Header("Location"), server_.Url("/final.bin"));

  httplib::Client client("127.0.0.1", server_.Port());
  client.set_follow_location(true);
  auto result = client.Get("/first");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 200);
  EXPECT_EQ(result->body, body_);
  std::vector<std::string> paths;
  for (const auto& request : server_.Requests()) paths.push_back(request.target);
  EXPECT_EQ(paths, (std::vector<std::string>{"/first", "/second", "/first", "/second", "/final.bin"}));
}

TEST_F(HttpFileServerTest, RedirectWithoutLocation) {
  server_.AddRedirect("/nowhere", "", 302);
  HttpAnswer answer = Get("/nowhere");
  EXPECT_EQ(answer.status, 302);
  EXPECT_FALSE(answer.Has("Location"));
}

TEST_F(HttpFileServerTest, StatusRoutesAndUnknownPaths) {
  server_.AddStatus("/broken", 500, "oops", {{"X-Why", "test"}});
  server_.AddStatus("/gone", 410);
  HttpAnswer broken = Get("/broken");
  EXPECT_EQ(broken.status, 500);
  EXPECT_EQ(broken.body, "oops");
  EXPECT_EQ(broken.Header("Content-Length"), "4");
  EXPECT_EQ(broken.Header("X-Why"), "test");
  HttpAnswer gone = Get("/gone");
  EXPECT_EQ(gone.status, 410);
  EXPECT_EQ(gone.Header("Content-Length"), "0");
  HttpAnswer missing = Get("/missing");
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.Header("Content-Length"), "0");
}

TEST_F(HttpFileServerTest, FailFirstThenServe) {
  HttpResourceOptions options;
  options.failFirst = 2;
  options.failStatus = 503;
  server_.AddResource("/flaky", body_, options);
  EXPECT_EQ(Get("/flaky").status, 503);
  EXPECT_EQ(Get("/flaky").status, 503);
  HttpAnswer third = Get("/flaky");
  EXPECT_EQ(third.status, 200);
  EXPECT_EQ(third.body, body_);
}

TEST_F(HttpFileServerTest, CloseDelimitedBodyHasNoLengthAndEndsWithTheConnection) {
  HttpResourceOptions options;
  options.closeDelimited = true;
  server_.AddResource("/stream", body_, options);
  RawClient client(server_.Port());
  client.Send(GetRequest("/stream"));
  HttpAnswer answer = ReadAnswer(client);
  EXPECT_EQ(answer.status, 200);
  EXPECT_FALSE(answer.Has("Content-Length"));
  EXPECT_FALSE(answer.Has("Transfer-Encoding"));
  EXPECT_EQ(answer.Header("Connection"), "close");
  EXPECT_EQ(answer.body, body_);
  EXPECT_EQ(client.Ended(), RawClient::End::Eof);

  HttpAnswer partial = Get("/stream", "bytes=900-");
  EXPECT_EQ(partial.status, 206);
  EXPECT_EQ(partial.Header("Content-Range"), "bytes 900-999/1000");
  EXPECT_EQ(partial.body, body_.substr(900));
}

TEST_F(HttpFileServerTest, CutAfterAnnouncesTheFullLengthThenCloses) {
  HttpResourceOptions options;
  options.cutAfter = 300;
  options.cutResponses = 1;
  server_.AddResource("/cut.bin", body_, options);
  RawClient client(server_.Port());
  client.Send(GetRequest("/cut.bin"));
  std::string head = client.ReadUntil("\r\n\r\n");
  EXPECT_NE(head.find("Content-Length: 1000\r\n"), std::string::npos) << head;
  std::string body = client.TakeBuffered() + client.ReadToEnd();
  EXPECT_EQ(body, body_.substr(0, 300));
  EXPECT_EQ(client.Ended(), RawClient::End::Eof);

  // Only the first response is cut: the resumed download gets the rest.
  HttpAnswer rest = Get("/cut.bin", "bytes=300-");
  EXPECT_EQ(rest.status, 206);
  EXPECT_EQ(rest.body, body_.substr(300));
}

TEST_F(HttpFileServerTest, CutWithResetEndsWithConnectionReset) {
  HttpResourceOptions options;
  options.cutAfter = 0;
  options.resetOnCut = true;
  server_.AddResource("/reset.bin", body_, options);
  RawClient client(server_.Port());
  client.Send(GetRequest("/reset.bin"));
  client.ReadToEnd();
  EXPECT_EQ(client.Ended(), RawClient::End::Reset);
}

TEST_F(HttpFileServerTest, RecordsRequestsWithHeadersInArrivalOrder) {
  server_.AddResource("/file.bin", body_);
  std::string request = GetRequest("/file.bin?a=1&b=%20", "bytes=10-");
  RawClient client(server_.Port());
  client.Send(request);
  ReadAnswer(client);
  client.Send(GetRequest("/other"));  // the same connection again
  ReadAnswer(client);
  ASSERT_TRUE(server_.WaitForRequests(2));
  std::vector<testsupport::ReceivedRequest> requests = server_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  const testsupport::ReceivedRequest& first = requests[0];
  EXPECT_EQ(first.method, "GET");
  EXPECT_EQ(first.target, "/file.bin?a=1&b=%20");
  EXPECT_EQ(first.Path(), "/file.bin");
  EXPECT_EQ(first.version, "HTTP/1.1");
  EXPECT_EQ(first.rawHead, request);
  EXPECT_EQ(first.HeaderNames(), (std::vector<std::string>{"Accept", "Referer", "Accept-Language",
                                                           "User-Agent", "Range", "Host", "Connection"}));
  EXPECT_EQ(first.Header("Referer"), "http://www.orba.example/");
  EXPECT_EQ(first.Header("User-Agent"), "OskelClient");
  EXPECT_EQ(first.Header("Range"), "bytes=10-");
  EXPECT_EQ(requests[1].target, "/other");
  EXPECT_EQ(first.connection, requests[1].connection);
  EXPECT_EQ(server_.ConnectionCount(), 1);
  EXPECT_EQ(server_.RequestCount(), 2);
  EXPECT_EQ(server_.RequestCount("/file.bin"), 1);
  server_.ClearRequests();
  EXPECT_EQ(server_.RequestCount(), 0);
}

TEST_F(HttpFileServerTest, RecordsThePostBody) {
  httplib::Client client("127.0.0.1", server_.Port());
  auto result = client.Post("/upload", "payload", "application/octet-stream");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 404);
  ASSERT_EQ(server_.RequestCount(), 1);
  EXPECT_EQ(server_.Requests()[0].method, "POST");
  EXPECT_EQ(server_.Requests()[0].body, "payload");
}

TEST_F(HttpFileServerTest, ServesFilesOfAFolder) {
  testsupport::TempFolder folder;
  std::filesystem::create_directory(folder / "sub");
  testsupport::WriteFileText(folder / "sub/a b.bin", body_);
  server_.ServeDirectory(folder.Path());
  HttpAnswer whole = Get("/sub/a%20b.bin");
  EXPECT_EQ(whole.status, 200);
  EXPECT_EQ(whole.body, body_);
  HttpAnswer partial = Get("/sub/a%20b.bin", "bytes=10-19");
  EXPECT_EQ(partial.status, 206);
  EXPECT_EQ(partial.body, body_.substr(10, 10));
  EXPECT_EQ(Get("/sub/../sub/a%20b.bin").status, 404);
  EXPECT_EQ(Get("/sub/missing").status, 404);
}

TEST_F(HttpFileServerTest, RoutesCanChangeWhileServing) {
  server_.AddResource("/v", "one");
  EXPECT_EQ(Get("/v").body, "one");
  server_.AddResource("/v", "two");
  EXPECT_EQ(Get("/v").body, "two");
  server_.Remove("/v");
  EXPECT_EQ(Get("/v").status, 404);
}

TEST_F(HttpFileServerTest, PacesTheWritesOfAThrottledBody) {
  // 300 KB at 300 KB/s: about one second, arriving bit by bit, not all at once.
  HttpResourceOptions options;
  options.bytesPerSecond = 300 * 1024;
  std::string big = Pattern(300 * 1024);
  server_.AddResource("/slow.bin", big, options);
  RawClient client(server_.Port());
  int64_t start = NowMs();
  client.Send(GetRequest("/slow.bin"));
  client.ReadUntil("\r\n\r\n");
  std::string body = client.TakeBuffered();
  size_t atQuarter = 0;
  while (body.size() < big.size() && client.Ended() == RawClient::End::Open) {
    body += client.ReadSome();
    if (NowMs() - start < 250) atQuarter = body.size();
  }
  int64_t elapsed = NowMs() - start;
  EXPECT_EQ(body, big);
  EXPECT_GE(elapsed, 850);
  EXPECT_LT(atQuarter, big.size() / 2);
}

TEST_F(HttpFileServerTest, DefaultRateLimitAppliesToEveryResource) {
  server_.SetRateLimit(100 * 1024);
  server_.AddResource("/a", Pattern(30 * 1024));
  int64_t start = NowMs();
  EXPECT_EQ(Get("/a").body.size(), 30u * 1024);
  EXPECT_GE(NowMs() - start, 200);  // 5 KB chunks every 50 ms: the last one leaves after 250 ms
}

TEST(HttpFileServerLifetimeTest, DestructorEndsOpenAndStalledConnectionsPromptly) {
  auto server = std::make_unique<HttpFileServer>();
  HttpResourceOptions slow;
  slow.bytesPerSecond = 1024;
  server->AddResource("/slow", std::string(1 << 20, 's'), slow);
  server->AddResource("/big", std::string(16 << 20, 'b'));  // more than the socket buffers hold
  RawClient idle(server->Port());                           // never sends anything
  RawClient halfRequest(server->Port());
  halfRequest.Send("GET /big HTTP/1.1\r\nHost: x\r\n");
  RawClient throttled(server->Port());
  throttled.Send(GetRequest("/slow"));
  RawClient notReading(server->Port());
  notReading.Send(GetRequest("/big"));
  ASSERT_TRUE(server->WaitForRequests(2));
  ASSERT_TRUE(testsupport::WaitUntil([&] { return throttled.Unread() > 0 && notReading.Unread() > 0; }));
  int64_t start = NowMs();
  server.reset();
  // Not a speed goal: the server's own shortest time-out (its 5 s idle wait) is what a destructor
  // that waited for a connection instead of ending it would take.
  EXPECT_LT(NowMs() - start, 5000);
  throttled.ReadToEnd(2000);
  EXPECT_NE(throttled.Ended(), RawClient::End::Open);
}

}  // namespace
