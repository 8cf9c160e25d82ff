// The HTTP client layer on a real connection: the request bytes on the wire, the cutting of the
// response into a header block and a body, and every way a connection can end, against scripted
// servers on loopback. Time-outs run on the manual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "core/cpCQoSContext.h"
#include "core/nvSmartPtr.h"
#include "net/nwCHttpClientExLayer.h"
#include "net/nwRegisterClasses.h"
#include "platform/Socket.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/HttpLayerRecorder.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScopedResolver.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/StalledPort.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::Gate;
using testsupport::HttpOk;
using testsupport::HttpResponse;
using testsupport::ScopedResolver;
using testsupport::Script;
using testsupport::ScriptedServer;

constexpr int32_t kConnectTimeoutSeconds = 4;
constexpr int32_t kIdleLimitSeconds = 4;

// Deterministic pseudo-random bytes, different for each seed.
std::string Bytes(size_t size, uint32_t seed = 1) { return testsupport::PatternedBytes(size, seed); }

std::string Head(int status, const std::vector<std::pair<std::string, std::string>>& headers) {
  return HttpResponse(status, headers);
}

// A stand-in for the secure socket layer: it passes bytes through unchanged and records what came
// from above, so the request can be checked where it leaves the HTTP layer and on the wire.
class nvIStandInSecureLayer : public nvIUnknown {};

class StandInSecureLayer final : public nwTLayer<nvIStandInSecureLayer> {
 public:
  static inline StandInSecureLayer* last = nullptr;
  std::string written;

  StandInSecureLayer() {
    Dispatcher().SetRawHandler(&Up, this);
    last = this;
  }
  ~StandInSecureLayer() override {
    if (last == this) last = nullptr;
  }
  static nvIUnknown* Make() { return Create<StandInSecureLayer>(); }

  cpStatus Write(const cpDataRef* data) override {
    written.append(data->data, static_cast<size_t>(data->length));
    return PassDown(data);
  }
  bool OnConnected() override { return true; }
  void OnShutdown() override {}

 private:
  static int32_t Up(const char* data, int32_t length, void* self) {
    return static_cast<StandInSecureLayer*>(self)->PassUp(data, length);
  }
};

using Events = std::vector<std::string>;

class HttpClientLayerTest : public ::testing::Test {
 protected:
  HttpClientLayerTest() { nwRegisterClasses(); }
  ~HttpClientLayerTest() override {
    if (context) Connection()->Close();
    nwRegisterClasses();  // the real classes again, after a stand-in
  }

  // A connection as the sessions open it, with the layer on top and `recorder` as its listener.
  nvIHttpClientExLayer* OpenConnection() {
    EXPECT_TRUE(context.CreateInstance(CLSID_cpCQoSContext));
    return testsupport::OpenHttpConnection(Connection(), &recorder, kConnectTimeoutSeconds,
                                           kIdleLimitSeconds);
  }

  // Opens a connection and sends a GET of `url`; returns the result of OpenUrl.
  cpStatus Get(const std::string& url) {
    nvIHttpClientExLayer* layer = OpenConnection();
    cpStatus status = layer->OpenUrl(url.c_str());
    layer->SendGet();
    return status;
  }

  cpCQoSContext* Connection() const { return nvCast<cpCQoSContext>(context.Get()); }
  nvIHttpClientExLayer* Layer() const {
    return static_cast<nvIHttpClientExLayer*>(Connection()->GetTopLayer());
  }

  bool PumpUntilEnded(int64_t timeoutMs = 4000) {
    return runtime.PumpUntil([&] { return recorder.Ended(); }, timeoutMs);
  }
  // Pumps until the library read every byte the server's kernel saw acknowledged (a script step
  // AwaitAck then Notify(`delivered`)): what those bytes cause has happened by then.
  bool PumpUntilRead(const Gate& delivered) {
    return runtime.PumpUntil(
        [&] { return delivered.IsOpen() && testsupport::UnreadBytes(Connection()->Socket()->handle) == 0; });
  }

  testsupport::CoreRuntime runtime{true};
  testsupport::HttpLayerRecorder recorder;
  nvSmartPtr context;
};

// ---- the request ----

TEST_F(HttpClientLayerTest, GetRequestBytesAreExact) {
  testsupport::ScopedEnvironment referer("ORBA_REFERER", "http://site.test/from");
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("x")).Close());
  nvIHttpClientExLayer* layer = OpenConnection();
  ASSERT_EQ(NW_S_OK, layer->OpenUrl(server.Url("/dir/a b//c%20d/?q=1 2&drop&k=v").c_str()));
  ASSERT_EQ(NW_S_OK, layer->AddHeader("X-Note", "a b"));
  ASSERT_EQ(NW_S_OK, layer->AddHeader("Range", "bytes=5-"));
  ASSERT_EQ(NW_S_OK, layer->AddHeader("Cookie", "id=a b; t=1"));
  ASSERT_EQ(NW_S_OK, layer->AddHeader("X-Path", "/p~q"));
  ASSERT_EQ(NW_S_OK, layer->SendGet());
  ASSERT_TRUE(PumpUntilEnded());
  ASSERT_EQ(1u, server.Reads(0).size());
  EXPECT_EQ(
      "GET /dir/a%20b/c%20d?q=1%202&k=v HTTP/1.1\r\n"
      "Accept: */*\r\n"
      "Referer: http://site.test/from\r\n"
      "Accept-Language: ko\r\n"
      "User-Agent: OskelClient\r\n"
      "Range: bytes=5-\r\n"
      "Host: 127.0.0.1\r\n"
      "Connection: Keep-Alive\r\n"
      "X-Note: a%20b\r\n"
      "Cookie: id=a b; t=1\r\n"
      "X-Path: %2Fp%7Eq\r\n"
      "\r\n",
      server.Reads(0)[0]);
  EXPECT_EQ("x", recorder.body);
}

TEST_F(HttpClientLayerTest, CallerValuesReplaceDefaultsInTheirRowUnencoded) {
  testsupport::ScopedEnvironment referer("ORBA_REFERER", "http://site.test/");
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("x")).Close());
  nvIHttpClientExLayer* layer = OpenConnection();
  ASSERT_EQ(NW_S_OK, layer->AddHeader("connection", "close"));
  ASSERT_EQ(NW_S_OK, layer->AddHeader("user-agent", "Test Agent/1"));
  ASSERT_EQ(NW_S_OK, layer->AddHeader("Accept", "text/plain"));
  ASSERT_EQ(NW_S_OK, layer->OpenUrl(server.Url("/").c_str()));
  ASSERT_EQ(NW_S_OK, layer->SendGet());
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ(
      "GET / HTTP/1.1\r\n"
      "Accept: text/plain\r\n"
      "Referer: http://site.test/\r\n"
      "Accept-Language: ko\r\n"
      "User-Agent: Test Agent/1\r\n"
      "Host: 127.0.0.1\r\n"
      "Connection: close\r\n"
      "\r\n",
      server.Reads(0)[0]);
}

TEST_F(HttpClientLayerTest, EmptyRefererSettingLeavesTheRowOut) {
  testsupport::ScopedEnvironment referer("ORBA_REFERER", "");
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("x")).Close());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/a")));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ(
      "GET /a HTTP/1.1\r\n"
      "Accept: */*\r\n"
      "Accept-Language: ko\r\n"
      "User-Agent: OskelClient\r\n"
      "Host: 127.0.0.1\r\n"
      "Connection: Keep-Alive\r\n"
      "\r\n",
      server.Reads(0)[0]);
}

TEST_F(HttpClientLayerTest, UrlWithoutPathAsksForTheRoot) {
  testsupport::ScopedEnvironment referer("ORBA_REFERER", "");
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("x")).Close());
  ASSERT_EQ(NW_S_OK, Get("http://127.0.0.1:" + std::to_string(server.Port())));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ(0u, server.Reads(0)[0].rfind("GET / HTTP/1.1\r\n", 0)) << server.Reads(0)[0];
}

TEST_F(HttpClientLayerTest, AddedParameterOverridesTheSameNameFromTheUrl) {
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("x")).Close());
  nvIHttpClientExLayer* layer = OpenConnection();
  ASSERT_EQ(NW_S_OK, layer->OpenUrl(server.Url("/p?x=1&k=v").c_str()));
  ASSERT_EQ(NW_S_OK, layer->AddParam("X", "2"));
  ASSERT_EQ(NW_S_OK, layer->AddParam("new", "a b"));
  ASSERT_EQ(NW_S_OK, layer->SendGet());
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ("/p?x=2&k=v&new=a%20b", testsupport::ParseRequestHead(server.Reads(0)[0]).target);
}

TEST_F(HttpClientLayerTest, TheRequestIsSentOnce) {
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("x")).Close());
  nvIHttpClientExLayer* layer = OpenConnection();
  ASSERT_EQ(NW_S_OK, layer->OpenUrl(server.Url("/once").c_str()));
  layer->SendGet();
  layer->SendGet();
  ASSERT_TRUE(PumpUntilEnded());
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.WaitForFinished(1, 0); }));
  std::string received = server.Received(0);
  EXPECT_EQ(std::string::npos, received.find("GET", 1)) << received;
}

// The URL of the example, on a port of our own and without TLS: scheme in any case, host name
// kept as written for the Host header (no port), the pair without '=' dropped.
TEST_F(HttpClientLayerTest, UrlWithPortConnectsThereAndSendsHostWithoutPort) {
  ScopedResolver resolver(ScopedResolver::Only("Host"));
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("hello")).Close());
  ASSERT_EQ(NW_S_OK, Get("HTTP://Host:" + std::to_string(server.Port()) + "/a b/c?x=1&y"));
  ASSERT_TRUE(PumpUntilEnded());
  testsupport::ReceivedRequest request = testsupport::ParseRequestHead(server.Reads(0)[0]);
  EXPECT_EQ("/a%20b/c?x=1", request.target);
  EXPECT_EQ("Host", request.Header("Host"));
  EXPECT_EQ("hello", recorder.body);
  EXPECT_EQ((Events{"connected", "headers", "complete", "closed"}), recorder.Milestones());
  char* hostName = nullptr;
  Connection()->GetHostName(&hostName);
  EXPECT_STREQ("Host", hostName);
}

TEST_F(HttpClientLayerTest, SecureUrlGoesThroughTheLayerPushedBelowBeforeAnythingIsSent) {
  ScopedResolver resolver(ScopedResolver::Only("Host"));
  nvRegisterClass(CLSID_nwCSecureSocketClientLayer, &StandInSecureLayer::Make);
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("sealed")).Close());
  // The URL of the example, on a port of our own.
  ASSERT_EQ(NW_S_OK, Get("HTTPS://Host:" + std::to_string(server.Port()) + "/a b/c?x=1&y"));
  ASSERT_EQ(2, Connection()->LayerCount());
  EXPECT_EQ(CLSID_nwCHttpClientExLayer, Connection()->LayerClassAt(0));
  EXPECT_EQ(CLSID_nwCSecureSocketClientLayer, Connection()->LayerClassAt(1));
  ASSERT_NE(nullptr, StandInSecureLayer::last);
  // The request went down through the layer at once, before the connection was up.
  EXPECT_EQ(0u, StandInSecureLayer::last->written.rfind("GET /a%20b/c?x=1 HTTP/1.1\r\n", 0));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ(StandInSecureLayer::last->written, server.Reads(0)[0]);
  EXPECT_EQ("Host", testsupport::ParseRequestHead(server.Reads(0)[0]).Header("Host"));
  EXPECT_EQ("sealed", recorder.body);
  EXPECT_EQ((Events{"connected", "headers", "complete", "closed"}), recorder.Milestones());
}

TEST_F(HttpClientLayerTest, NothingIsQueuedBeforeTheUrlIsOpen) {
  ScopedResolver resolver(ScopedResolver::Only("Host"));
  nvRegisterClass(CLSID_nwCSecureSocketClientLayer, &StandInSecureLayer::Make);
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("sealed")).Close());
  nvIHttpClientExLayer* layer = OpenConnection();
  // Queued now, a request would sit above the TLS layer the URL pushes below it: in the clear.
  EXPECT_EQ(NW_E_FAIL, layer->SendGet());
  EXPECT_EQ(NW_E_FAIL, layer->SendPost(5));
  const char* queued = nullptr;
  int32_t size = -1;
  Connection()->GetSendBuffer(&queued, &size);
  EXPECT_EQ(0, size);
  ASSERT_EQ(NW_S_OK, layer->OpenUrl(("https://Host:" + std::to_string(server.Port()) + "/after").c_str()));
  ASSERT_EQ(NW_S_OK, layer->SendGet());
  ASSERT_TRUE(PumpUntilEnded());
  ASSERT_NE(nullptr, StandInSecureLayer::last);
  EXPECT_EQ(StandInSecureLayer::last->written, server.Received(0)) << "every byte went through it";
  EXPECT_EQ(0u, server.Received(0).rfind("GET /after HTTP/1.1\r\n", 0));
  EXPECT_EQ("sealed", recorder.body);
}

TEST_F(HttpClientLayerTest, PortIsCutTo16Bits) {
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("w")).Close());
  ASSERT_EQ(NW_S_OK, Get("http://127.0.0.1:" + std::to_string(server.Port() + 65536) + "/wrap"));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ("w", recorder.body);
}

// ---- the response ----

TEST_F(HttpClientLayerTest, HeaderBlockSplitAcrossReceivesIsParsedOnce) {
  std::string body = Bytes(3000, 7);
  std::string head =
      Head(200, {{"Content-Length", std::to_string(body.size())}, {"X-Long", std::string(500, 'h')}});
  // Pieces of 7 bytes: the blank line's CR LF CR LF is cut between receives too.
  ScriptedServer server(Script().ReadRequest().SendInPieces(head + body, {7}, 1).Stall());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/split")));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.Count("complete") == 1; }));
  EXPECT_EQ(1, recorder.Count("headers"));
  EXPECT_EQ(200, recorder.status);
  EXPECT_EQ(3000, recorder.contentLength);
  EXPECT_TRUE(recorder.body == body);
  nvCString raw;
  ASSERT_EQ(NW_S_OK, Layer()->GetRawHeader(&raw));
  EXPECT_EQ(head, raw.GetBuffer());
}

TEST_F(HttpClientLayerTest, BlankLineSplitBetweenItsTwoLineEnds) {
  std::string head = Head(200, {{"Content-Length", "4"}});
  std::string first = head.substr(0, head.size() - 2);
  Gate sent;
  Gate more;
  ScriptedServer server(
      Script().ReadRequest().Send(first).AwaitAck().Notify(sent).WaitFor(more).Send("\r\nbody").Stall());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/blank")));
  ASSERT_TRUE(PumpUntilRead(sent));
  EXPECT_EQ(static_cast<int32_t>(first.size()), Connection()->ReceiveBuffer().Length()) << "kept, not parsed";
  EXPECT_EQ(0, recorder.Count("headers"));
  nvCString raw;
  EXPECT_EQ(NW_E_FAIL, Layer()->GetRawHeader(&raw));
  more.Open();
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.Count("complete") == 1; }));
  EXPECT_EQ(1, recorder.Count("headers"));
  EXPECT_EQ("body", recorder.body);
}

TEST_F(HttpClientLayerTest, BytesBeyondContentLengthAreNeverOffered) {
  std::string body = Bytes(10, 3);
  std::string second = HttpResponse(200, {{"Content-Length", "5"}}, "later");
  Gate sent;
  ScriptedServer server(Script().ReadRequest().Send(HttpOk(body) + second).AwaitAck().Notify(sent).Stall());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/two")));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.Count("complete") == 1; }));
  ASSERT_TRUE(PumpUntilRead(sent));
  EXPECT_EQ(body, recorder.body);
  int32_t offered = 0;
  for (int32_t n : recorder.offers) offered += n;
  EXPECT_EQ(10, offered);
  EXPECT_EQ(1, recorder.Count("headers"));
  EXPECT_EQ(1, recorder.Count("complete"));
  EXPECT_EQ(0, recorder.Count("closed"));
}

TEST_F(HttpClientLayerTest, BytesArrivingAfterCompletionAreDropped) {
  Gate more;
  ScriptedServer server(
      Script().ReadRequest().Send(HttpOk("abc")).WaitFor(more).Send(std::string(5000, 'z')).Close());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/late")));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.Count("complete") == 1; }));
  more.Open();
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ("abc", recorder.body);
  EXPECT_EQ((Events{"connected", "headers", "complete", "closed"}), recorder.Milestones());
}

TEST_F(HttpClientLayerTest, LargeBodyWithTrailingJunkArrivesByteExact) {
  std::string body = Bytes(3 * 1024 * 1024 + 11, 5);
  ScriptedServer server(Script().ReadRequest().Send(HttpOk(body) + Bytes(4096, 6)).Stall());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/large")));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.Count("complete") == 1; }));
  EXPECT_EQ(body.size(), recorder.body.size());
  EXPECT_TRUE(recorder.body == body);
  EXPECT_EQ(1, recorder.Count("complete"));
}

TEST_F(HttpClientLayerTest, ZeroContentLengthNeverCompletes) {
  ScriptedServer server(Script().ReadRequest().Send(Head(200, {{"Content-Length", "0"}})).Close());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/zero")));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ((Events{"connected", "headers", "closed"}), recorder.Milestones());
  EXPECT_EQ(0, recorder.contentLength);
  EXPECT_EQ(200, recorder.status);
}

TEST_F(HttpClientLayerTest, MissingContentLengthDeliversUntilClose) {
  std::string body = Bytes(20000, 9);
  ScriptedServer server(Script().ReadRequest().Send(Head(200, {{"Connection", "close"}}) + body).Close());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/open-ended")));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_TRUE(recorder.body == body);
  EXPECT_EQ(0, recorder.Count("complete"));
  EXPECT_EQ(0, recorder.contentLength);
  EXPECT_EQ("closed", recorder.events.back());
}

TEST_F(HttpClientLayerTest, ContentLengthStartingWithALetterCountsAsNone) {
  ScriptedServer server(Script().ReadRequest().Send(Head(200, {{"Content-Length", "x12"}}) + "12").Close());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/letter")));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ(0, recorder.contentLength);
  EXPECT_EQ("12", recorder.body);
  EXPECT_EQ(0, recorder.Count("complete"));
}

TEST_F(HttpClientLayerTest, HeaderBlockThatNeverEndsClosesTheConnection) {
  std::string endless = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(70 * 1024, 'p');
  ScriptedServer server(Script().ReadRequest().Send(endless).Stall());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/endless")));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ((Events{"connected", "closed"}), recorder.Milestones());
  int32_t state = 0;
  Connection()->GetState(&state);
  EXPECT_EQ(QOS_ST_CLOSED, state);
}

TEST_F(HttpClientLayerTest, HeaderBlockEndingPast64KiBClosesTheConnection) {
  std::string head = Head(200, {{"Content-Length", "2"}, {"X-Pad", std::string(66 * 1024, 'p')}});
  ScriptedServer server(Script().ReadRequest().Send(head + "ok").Stall());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/big-head")));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ(0, recorder.Count("headers"));
  EXPECT_TRUE(recorder.body.empty());
}

TEST_F(HttpClientLayerTest, HeaderBlockJustUnder64KiBIsAccepted) {
  std::string head = Head(200, {{"Content-Length", "2"}, {"X-Pad", std::string(60 * 1024, 'p')}});
  ScriptedServer server(Script().ReadRequest().SendInPieces(head + "ok", {1000}, 1).Stall());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/wide-head")));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.Count("complete") == 1; }));
  EXPECT_EQ("ok", recorder.body);
}

struct StatusCase {
  const char* name;
  int status;
  std::vector<std::pair<std::string, std::string>> headers;
  const char* location;  // expected "Location:" lookup, nullptr: none
};

void PrintTo(const StatusCase& c, std::ostream* out) { *out << c.name; }

class HttpClientLayerStatusTest : public HttpClientLayerTest,
                                  public ::testing::WithParamInterface<StatusCase> {};

TEST_P(HttpClientLayerStatusTest, StatusAndHeadersAreRead) {
  const StatusCase& c = GetParam();
  ScriptedServer server(Script().ReadRequest().Send(HttpResponse(c.status, c.headers)).Close());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/status")));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ(c.status, recorder.status);
  nvCString location;
  if (c.location != nullptr) {
    ASSERT_EQ(NW_S_OK, Layer()->GetHeader("Location:", &location));
    EXPECT_STREQ(c.location, location.GetBuffer());
  } else {
    EXPECT_EQ(NW_E_FAIL, Layer()->GetHeader("Location:", &location));
  }
  EXPECT_EQ((Events{"connected", "headers", "closed"}), recorder.Milestones());
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, HttpClientLayerStatusTest,
    ::testing::Values(StatusCase{"Partial", 206, {{"Content-Range", "bytes 0-0/1"}}, nullptr},
                      StatusCase{"Found", 302, {{"Location", "http://h/next%20one"}}, "http://h/next one"},
                      StatusCase{"SeeOther", 303, {{"location", "/relative"}}, "/relative"},
                      StatusCase{"FoundWithoutLocation", 302, {}, nullptr},
                      StatusCase{"NotFound", 404, {{"Content-Type", "text/plain"}}, nullptr}),
    [](const ::testing::TestParamInfo<StatusCase>& test) { return test.param.name; });

// ---- ends of a connection ----

TEST_F(HttpClientLayerTest, RefusedConnectEndsThroughTheConnectFailure) {
  testsupport::ClosedPort closed;
  ASSERT_EQ(NW_S_OK, Get("http://127.0.0.1:" + std::to_string(closed.Port()) + "/x"));
  EXPECT_TRUE(recorder.events.empty());
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ((Events{"connect-timeout", "closed"}), recorder.Milestones());
}

TEST_F(HttpClientLayerTest, UnresolvableHostEndsAsUnreachableFromTheMessageLoop) {
  ScopedResolver resolver;
  EXPECT_EQ(NW_S_OK, Get("http://nowhere.layer.test/x"));
  EXPECT_TRUE(recorder.events.empty());
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ((Events{"unreachable", "connect-timeout", "closed"}), recorder.Milestones());
  EXPECT_EQ(1, resolver.Calls());
}

TEST_F(HttpClientLayerTest, UnresolvableHostKnownToTheBookIsRefusedAtOnceButReportedLater) {
  ScopedResolver resolver;
  uint32_t address = 0;
  EXPECT_FALSE(cpAddressBookPick("known-bad.layer.test", 80, &address));
  EXPECT_EQ(NW_E_FAIL, Get("http://known-bad.layer.test/x"));
  EXPECT_TRUE(recorder.events.empty());
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ((Events{"unreachable", "connect-timeout", "closed"}), recorder.Milestones());
}

struct RefusedUrl {
  const char* name;
  const char* url;
};

void PrintTo(const RefusedUrl& c, std::ostream* out) { *out << c.name; }

class HttpClientLayerRefusedUrlTest : public HttpClientLayerTest,
                                      public ::testing::WithParamInterface<RefusedUrl> {};

TEST_P(HttpClientLayerRefusedUrlTest, EndsAsUnreachableFromTheMessageLoop) {
  EXPECT_EQ(NW_E_FAIL, Get(GetParam().url));
  EXPECT_TRUE(recorder.events.empty());
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ((Events{"unreachable", "connect-timeout", "closed"}), recorder.Milestones());
  runtime.Pump();
  EXPECT_EQ(3u, recorder.events.size());
}

INSTANTIATE_TEST_SUITE_P(Urls, HttpClientLayerRefusedUrlTest,
                         ::testing::Values(RefusedUrl{"OtherScheme", "ftp://127.0.0.1/x"},
                                           RefusedUrl{"EmptyRest", "http://"},
                                           RefusedUrl{"NoHost", "http://:80/x"},
                                           RefusedUrl{"NoScheme", "127.0.0.1/x"}, RefusedUrl{"Empty", ""}),
                         [](const ::testing::TestParamInfo<RefusedUrl>& test) { return test.param.name; });

TEST_F(HttpClientLayerTest, PeerCloseBeforeAnyResponseIsSeen) {
  ScriptedServer server(Script().ReadRequest().Close());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/hang-up")));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ((Events{"connected", "closed"}), recorder.Milestones());
}

TEST_F(HttpClientLayerTest, ResetAfterPartOfTheBodyIsSeenAsClose) {
  std::atomic<bool> read{false};  // the reset follows once the client read the part
  recorder.after = [&](const std::string& name) {
    if (name == "data" && recorder.body == "partial") read = true;
  };
  ScriptedServer server(Script()
                            .ReadRequest()
                            .Send(Head(200, {{"Content-Length", "100"}}) + "partial")
                            .WaitFor([&read] { return read.load(); })
                            .Reset());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/reset")));
  ASSERT_TRUE(PumpUntilEnded());
  EXPECT_EQ("partial", recorder.body);
  EXPECT_EQ((Events{"connected", "headers", "closed"}), recorder.Milestones());
}

TEST_F(HttpClientLayerTest, StalledBodyRaisesOneReceiveTimeoutAtTheIdleLimit) {
  Gate sent;
  ScriptedServer server(
      Script().ReadRequest().Send(Head(200, {{"Content-Length", "100"}}) + "part").Notify(sent).Stall());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/stall")));
  ASSERT_TRUE(runtime.PumpUntil([&] { return sent.IsOpen(); }));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.body == "part"; }));
  runtime.AdvanceSeconds(kIdleLimitSeconds);
  EXPECT_EQ(0, recorder.Count("receive-timeout"));
  runtime.AdvanceSeconds(1);
  EXPECT_EQ(1, recorder.Count("receive-timeout"));
  // The connection stays open: the listener decides.
  runtime.AdvanceSeconds(3 * kIdleLimitSeconds);
  EXPECT_EQ(1, recorder.Count("receive-timeout"));
  EXPECT_EQ(0, recorder.Count("closed"));
}

TEST_F(HttpClientLayerTest, DataBeforeTheLimitPostponesTheReceiveTimeout) {
  Gate first;
  Gate again;
  Gate sentAgain;
  ScriptedServer server(Script()
                            .ReadRequest()
                            .Send(Head(200, {{"Content-Length", "100"}}) + "a")
                            .Notify(first)
                            .WaitFor(again)
                            .Send("b")
                            .Notify(sentAgain)
                            .Stall());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/trickle")));
  ASSERT_TRUE(runtime.PumpUntil([&] { return first.IsOpen(); }));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.body == "a"; }));
  runtime.AdvanceSeconds(3);
  again.Open();
  ASSERT_TRUE(runtime.PumpUntil([&] { return sentAgain.IsOpen(); }));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.body == "ab"; }));
  runtime.AdvanceSeconds(kIdleLimitSeconds);
  EXPECT_EQ(0, recorder.Count("receive-timeout"));
  runtime.AdvanceSeconds(1);
  EXPECT_EQ(1, recorder.Count("receive-timeout"));
}

// A huge body announced and a byte every three seconds: never idle for the idle limit, yet far
// below the floor of 1024 bytes per second.
TEST_F(HttpClientLayerTest, ATricklingBodyEndsInOneReceiveTimeout) {
  std::atomic<int> released{0};
  Script trickle;
  trickle.ReadRequest().Send(Head(200, {{"Content-Length", "268435455"}}));
  for (int i = 1; i <= 16; ++i) trickle.WaitFor([&released, i] { return released.load() >= i; }).Send("x");
  ScriptedServer server(trickle.Stall());
  testsupport::ScopedEnvironment floor("ORBA_MIN_RATE_BYTES", "1024");
  ASSERT_EQ(NW_S_OK, Get(server.Url("/trickle")));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.Count("headers") == 1; }));
  int timedOutAt = 0;
  for (int second = 1; second <= 45; ++second) {
    if (second % 3 == 1) {
      ++released;
      ASSERT_TRUE(
          runtime.PumpUntil([&] { return recorder.body.size() == static_cast<size_t>(released.load()); }));
    }
    runtime.AdvanceSeconds(1);
    if (timedOutAt == 0 && recorder.Count("receive-timeout") > 0) timedOutAt = second;
  }
  EXPECT_EQ(30, timedOutAt);
  EXPECT_EQ((Events{"connected", "headers", "receive-timeout"}), recorder.Milestones()) << "once";
}

TEST_F(HttpClientLayerTest, StalledConnectTimesOutAtTheConnectTimeout) {
  testsupport::StalledPort port;
  if (!port.Stalls()) GTEST_SKIP() << "the kernel completes every loopback connect here";
  ASSERT_EQ(NW_S_OK, Get("http://127.0.0.1:" + std::to_string(port.Port()) + "/x"));
  runtime.Pump();
  runtime.AdvanceMilliseconds(kConnectTimeoutSeconds * 1000 - 200);
  EXPECT_TRUE(recorder.events.empty());
  runtime.AdvanceMilliseconds(300);
  ASSERT_TRUE(PumpUntilEnded(1000));
  EXPECT_EQ((Events{"connect-timeout", "closed"}), recorder.Milestones());
}

// ---- a listener acting inside its calls ----

TEST_F(HttpClientLayerTest, ListenerClosingAndReleasingInsideDataStopsDelivery) {
  std::string body = Bytes(256 * 1024, 11);
  ScriptedServer server(Script().ReadRequest().Send(HttpOk(body)).Stall());
  recorder.after = [&](const std::string& name) {
    if (name != "data" || !context) return;
    nvSmartPtr last = std::move(context);  // the test's own reference goes away inside the call
    nvCast<cpCQoSContext>(last.Get())->Close();
  };
  ASSERT_EQ(NW_S_OK, Get(server.Url("/close-in-data")));
  ASSERT_TRUE(PumpUntilEnded());
  runtime.Pump();
  EXPECT_FALSE(context);
  EXPECT_EQ(1, recorder.Count("data"));
  EXPECT_EQ(0, recorder.Count("complete"));
  EXPECT_EQ((Events{"connected", "headers", "closed"}), recorder.Milestones());
}

TEST_F(HttpClientLayerTest, ListenerClosingInsideHeadersGetsNoBody) {
  ScriptedServer server(
      Script().ReadRequest().Send(HttpResponse(404, {{"Content-Length", "9"}}, "not found")).Stall());
  recorder.after = [&](const std::string& name) {
    if (name == "headers") Connection()->Close();
  };
  ASSERT_EQ(NW_S_OK, Get(server.Url("/close-in-headers")));
  ASSERT_TRUE(PumpUntilEnded());
  runtime.Pump();
  EXPECT_EQ((Events{"connected", "headers", "closed"}), recorder.Milestones());
  EXPECT_TRUE(recorder.body.empty());
}

TEST_F(HttpClientLayerTest, BytesTakenInPartAreOfferedAgainAtOnce) {
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("0123456789")).Stall());
  recorder.consume = [&](int32_t offered) {
    return recorder.offers.size() == 1 ? std::min(offered, 4) : offered;
  };
  ASSERT_EQ(NW_S_OK, Get(server.Url("/partial-take")));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.Count("complete") == 1; }));
  EXPECT_EQ("0123456789", recorder.body);
  EXPECT_EQ((std::vector<int32_t>{10, 6}), recorder.offers);
}

TEST_F(HttpClientLayerTest, BytesNotTakenWaitForTheNextReceive) {
  Gate first;
  Gate more;
  ScriptedServer server(Script()
                            .ReadRequest()
                            .Send(HttpResponse(200, {{"Content-Length", "12"}}, "0123456789"))
                            .AwaitAck()
                            .Notify(first)
                            .WaitFor(more)
                            .Send("ab")
                            .Stall());
  recorder.consume = [&](int32_t offered) { return recorder.offers.size() == 1 ? 0 : offered; };
  ASSERT_EQ(NW_S_OK, Get(server.Url("/nothing-taken")));
  ASSERT_TRUE(PumpUntilRead(first));
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.offers.size() == 1; }));
  runtime.Pump();
  EXPECT_EQ(1u, recorder.offers.size());
  EXPECT_EQ(10, Connection()->ReceiveBuffer().Length());
  more.Open();
  ASSERT_TRUE(runtime.PumpUntil([&] { return recorder.Count("complete") == 1; }));
  EXPECT_EQ("0123456789ab", recorder.body);
  EXPECT_EQ((std::vector<int32_t>{10, 12}), recorder.offers);
}

TEST_F(HttpClientLayerTest, NoListenerCallsAfterTheListenerIsCleared) {
  ScriptedServer server(Script().ReadRequest().Send(HttpOk("abc")).Close());
  ASSERT_EQ(NW_S_OK, Get(server.Url("/quiet")));
  Layer()->SetListener(nullptr, 0);
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.WaitForFinished(1, 0); }));
  // The server's close reaches the connection, which ends: everything before it was read.
  ASSERT_TRUE(runtime.PumpUntil([&] { return Connection()->State() == QOS_ST_CLOSED; }));
  EXPECT_TRUE(recorder.events.empty());
}

}  // namespace
