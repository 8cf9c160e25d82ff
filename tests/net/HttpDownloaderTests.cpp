// The in-memory HTTP downloader against real local servers: bodies byte-exact, redirects (never
// from https down to http), the statuses it refuses, retries of an unreachable host, cancellation,
// memory that follows the bytes received, and time-outs on the manual clock. Also the address
// helpers every download shares: URL alternatives and redirect targets.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "core/nvSmartPtr.h"
#include "net/nwBodyBuffer.h"
#include "net/nwCHTTPDownloader.h"
#include "net/nwCHttpClientExLayer.h"
#include "net/nwHttpLocation.h"
#include "net/nwRegisterClasses.h"
#include "platform/Socket.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScopedResolver.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/StalledPort.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsHttpServer.h"

namespace {

using testsupport::Gate;
using testsupport::HttpFileServer;
using testsupport::HttpOk;
using testsupport::HttpResourceOptions;
using testsupport::HttpResponse;
using testsupport::ScopedResolver;
using testsupport::Script;
using testsupport::ScriptedServer;

std::string Bytes(size_t size, uint32_t seed = 1) { return testsupport::PatternedBytes(size, seed); }

// Counts the HTTP layers made, that is the requests started (retries included).
std::atomic<int> g_layersMade{0};
nvIUnknown* CountedLayer() {
  ++g_layersMade;
  return nwCHttpClientExLayer::Create<nwCHttpClientExLayer>();
}

struct Outcome {
  enum Kind { Downloaded, Failed, Unreachable } kind;
  int32_t key;
  int32_t userValue;
  std::string data;
};

class Recorder final : public nwIHTTPDownloaderEventListener {
 public:
  std::vector<Outcome> outcomes;
  std::function<void(const Outcome&)> after;

  void OnDownloaded(int32_t key, int32_t userValue, const char* data, int32_t size) override {
    Add({Outcome::Downloaded, key, userValue, std::string(data, static_cast<size_t>(size))});
  }
  void OnDownloadFailed(int32_t key, int32_t userValue) override {
    Add({Outcome::Failed, key, userValue, {}});
  }
  void OnDownloadUnreachable(int32_t key, int32_t userValue) override {
    Add({Outcome::Unreachable, key, userValue, {}});
  }
  int Count(Outcome::Kind kind) const {
    int n = 0;
    for (const Outcome& outcome : outcomes) n += outcome.kind == kind ? 1 : 0;
    return n;
  }

 private:
  void Add(const Outcome& outcome) {
    outcomes.push_back(outcome);
    if (after) after(outcomes.back());
  }
};

class HttpDownloaderTest : public ::testing::Test {
 protected:
  HttpDownloaderTest() {
    nwRegisterClasses();
    nvRegisterClass(CLSID_nwCHttpClientExLayer, &CountedLayer);
    g_layersMade = 0;
    EXPECT_TRUE(object.CreateInstance(CLSID_nwCHTTPDownloader));
    Downloader()->SetListener(&recorder);
  }
  ~HttpDownloaderTest() override {
    object.Attach(nullptr);
    nwRegisterClasses();
  }

  nwCHTTPDownloader* Downloader() const { return nvCast<nwCHTTPDownloader>(object.Get()); }

  bool PumpUntilOutcomes(size_t count, int64_t timeoutMs = 4000) {
    return runtime.PumpUntil([&] { return recorder.outcomes.size() >= count; }, timeoutMs);
  }
  // Exactly one outcome, of `kind`, for key 1 and user value 2 (the default request).
  void ExpectOnly(Outcome::Kind kind) {
    runtime.Pump();
    ASSERT_EQ(1u, recorder.outcomes.size());
    EXPECT_EQ(kind, recorder.outcomes[0].kind);
    EXPECT_EQ(1, recorder.outcomes[0].key);
    EXPECT_EQ(2, recorder.outcomes[0].userValue);
    EXPECT_EQ(0, Downloader()->RequestCount());
  }

  testsupport::CoreRuntime runtime{true};
  Recorder recorder;
  nvSmartPtr object;
};

TEST_F(HttpDownloaderTest, MultiMegabyteBodyArrivesByteExact) {
  HttpFileServer server;
  std::string body = Bytes(4 * 1024 * 1024 + 5, 21);
  server.AddResource("/big.bin", body);
  ASSERT_EQ(NW_S_OK, Downloader()->Download(1, server.Url("/big.bin").c_str(), 2));
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Downloaded);
  EXPECT_EQ(body.size(), recorder.outcomes[0].data.size());
  EXPECT_TRUE(recorder.outcomes[0].data == body);
  EXPECT_EQ(1, server.RequestCount());
}

TEST_F(HttpDownloaderTest, PartialContentIsAccepted) {
  ScriptedServer server(
      Script().ReadRequest().Send(HttpResponse(206, {{"Content-Length", "4"}}, "part")).Stall());
  Downloader()->Download(1, server.Url("/range").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Downloaded);
  EXPECT_EQ("part", recorder.outcomes[0].data);
}

TEST_F(HttpDownloaderTest, BytesBeyondContentLengthAreNotStored) {
  std::string body = Bytes(70000, 4);
  ScriptedServer server(Script().ReadRequest().Send(HttpOk(body) + Bytes(9000, 5)).Stall());
  Downloader()->Download(1, server.Url("/junk").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Downloaded);
  EXPECT_TRUE(recorder.outcomes[0].data == body);
}

TEST_F(HttpDownloaderTest, RedirectChainIsFollowed) {
  HttpFileServer server;
  server.AddResource("/final.bin", "final bytes");
  server.AddRedirect("/two", server.Url("/final.bin"), 303);
  server.AddRedirect("/one", server.Url("/two"), 302);
  Downloader()->Download(1, server.Url("/one").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Downloaded);
  EXPECT_EQ("final bytes", recorder.outcomes[0].data);
  EXPECT_EQ(3, server.RequestCount());
  EXPECT_EQ(3, g_layersMade.load());
}

struct LocationCase {
  const char* name;
  std::string (*location)(const HttpFileServer& server);
};

void PrintTo(const LocationCase& c, std::ostream* out) { *out << c.name; }

class HttpDownloaderLocationTest : public HttpDownloaderTest,
                                   public ::testing::WithParamInterface<LocationCase> {};

TEST_P(HttpDownloaderLocationTest, RelativeLocationIsResolvedAgainstTheRequest) {
  HttpFileServer server;
  server.AddResource("/dir/final.bin", "found it");
  server.AddRedirect("/dir/start", GetParam().location(server), 302);
  Downloader()->Download(1, server.Url("/dir/start?from=here/there").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Downloaded);
  EXPECT_EQ("found it", recorder.outcomes[0].data);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, HttpDownloaderLocationTest,
    ::testing::Values(
        LocationCase{"AbsolutePath", [](const HttpFileServer&) { return std::string("/dir/final.bin"); }},
        LocationCase{"SameFolder", [](const HttpFileServer&) { return std::string("final.bin"); }},
        LocationCase{"SchemeRelative",
                     [](const HttpFileServer& s) {
                       return "//127.0.0.1:" + std::to_string(s.Port()) + "/dir/final.bin";
                     }},
        LocationCase{"UpperCaseScheme",
                     [](const HttpFileServer& s) {
                       return "HTTP://127.0.0.1:" + std::to_string(s.Port()) + "/dir/final.bin";
                     }}),
    [](const ::testing::TestParamInfo<LocationCase>& test) { return test.param.name; });

TEST_F(HttpDownloaderTest, RedirectWithoutLocationFails) {
  HttpFileServer server;
  server.AddRedirect("/nowhere", "", 302);
  Downloader()->Download(1, server.Url("/nowhere").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Failed);
  EXPECT_EQ(1, server.RequestCount());
}

TEST_F(HttpDownloaderTest, RedirectLoopEndsWithOneFailure) {
  HttpFileServer server;
  server.AddRedirect("/a", server.Url("/b"), 302);
  server.AddRedirect("/b", server.Url("/a"), 303);
  Downloader()->Download(1, server.Url("/a").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1, 8000));
  ExpectOnly(Outcome::Failed);
  EXPECT_GE(server.RequestCount(), 3);
  EXPECT_LE(server.RequestCount(), 64);
}

class HttpDownloaderStatusTest : public HttpDownloaderTest, public ::testing::WithParamInterface<int> {};

TEST_P(HttpDownloaderStatusTest, StatusThatIsNeitherBodyNorRedirectFails) {
  HttpFileServer server;
  server.AddStatus("/status", GetParam(), "body of the status", {{"Location", "/elsewhere"}});
  server.AddResource("/elsewhere", "must not be fetched");
  Downloader()->Download(1, server.Url("/status").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Failed);
  EXPECT_EQ(1, server.RequestCount());
}

INSTANTIATE_TEST_SUITE_P(Statuses, HttpDownloaderStatusTest, ::testing::Values(404, 500, 301, 307, 204));

TEST_F(HttpDownloaderTest, OkWithoutContentLengthFailsAtOnce) {
  ScriptedServer server(
      Script().ReadRequest().Send(HttpResponse(200, {{"Connection", "close"}}, "some")).Stall());
  Downloader()->Download(1, server.Url("/no-length").c_str(), 2);
  // No time passes and the server never closes: the headers alone decide.
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Failed);
}

TEST_F(HttpDownloaderTest, ZeroContentLengthFails) {
  HttpFileServer server;
  server.AddStatus("/empty", 200, "");
  Downloader()->Download(1, server.Url("/empty").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Failed);
}

TEST_F(HttpDownloaderTest, BodyTooLargeForMemoryIsRefusedAtTheHeaders) {
  ScriptedServer server(
      Script().ReadRequest().Send(HttpResponse(200, {{"Content-Length", "1073741824"}}, "x")).Stall());
  Downloader()->Download(1, server.Url("/huge").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Failed);
}

TEST_F(HttpDownloaderTest, RedirectFromHttpsDownToHttpIsRefused) {
  static const testsupport::TestCertificates pki;
  testsupport::ScopedEnvironment trust("ORBA_TLS_CA_FILE", pki.CaFile());
  HttpFileServer plain;
  plain.AddResource("/file.bin", "in the clear");
  testsupport::TlsHttpServer secure({pki.Issue()});
  secure.AddRedirect("/file.bin", plain.Url("/file.bin"), 302);
  Downloader()->Download(1, secure.Url("/file.bin", "127.0.0.1").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Failed);
  EXPECT_EQ(1, secure.RequestCount());
  EXPECT_EQ(0, plain.RequestCount());
}

TEST_F(HttpDownloaderTest, BodyCutShortFails) {
  HttpFileServer server;
  HttpResourceOptions options;
  options.cutAfter = 1000;
  server.AddResource("/cut", Bytes(50000, 8), options);
  Downloader()->Download(1, server.Url("/cut").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Failed);
}

TEST_F(HttpDownloaderTest, RefusedConnectFailsWithoutRetry) {
  testsupport::ClosedPort closed;
  Downloader()->Download(1, ("http://127.0.0.1:" + std::to_string(closed.Port()) + "/x").c_str(), 2);
  EXPECT_TRUE(recorder.outcomes.empty());
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Failed);
  EXPECT_EQ(1, g_layersMade.load());
}

TEST_F(HttpDownloaderTest, UnreachableHostIsTriedThreeTimesThenReported) {
  ScopedResolver resolver;
  Downloader()->Download(1, "http://nowhere.downloader.test/file", 2);
  EXPECT_TRUE(recorder.outcomes.empty());
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Unreachable);
  EXPECT_EQ(3, g_layersMade.load());
}

struct BadUrl {
  const char* name;
  const char* url;
};

void PrintTo(const BadUrl& c, std::ostream* out) { *out << c.name; }

class HttpDownloaderBadUrlTest : public HttpDownloaderTest, public ::testing::WithParamInterface<BadUrl> {};

TEST_P(HttpDownloaderBadUrlTest, EndsUnreachableOutsideTheCall) {
  Downloader()->Download(1, GetParam().url, 2);
  EXPECT_TRUE(recorder.outcomes.empty());
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Unreachable);
}

INSTANTIATE_TEST_SUITE_P(Urls, HttpDownloaderBadUrlTest,
                         ::testing::Values(BadUrl{"OtherScheme", "ftp://127.0.0.1/x"},
                                           BadUrl{"EmptyRest", "http://"}, BadUrl{"Null", nullptr}),
                         [](const ::testing::TestParamInfo<BadUrl>& test) { return test.param.name; });

TEST_F(HttpDownloaderTest, RedirectToAnUnreachableHostEndsUnreachable) {
  ScopedResolver resolver;
  HttpFileServer server;
  server.AddRedirect("/away", "http://gone.downloader.test/x", 302);
  Downloader()->Download(1, server.Url("/away").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  ExpectOnly(Outcome::Unreachable);
  EXPECT_EQ(1 + 3, g_layersMade.load());
}

TEST_F(HttpDownloaderTest, CancelWhileTheNameIsResolvingReportsNothing) {
  auto answer = std::make_shared<Gate>();
  auto asked = std::make_shared<Gate>();
  ScopedResolver resolver([answer, asked](const std::string&) {
    asked->Open();
    answer->WaitOpen(10000);
    return std::vector<uint32_t>{};
  });
  Downloader()->Download(1, "http://slow-dns.downloader.test/x", 2);
  ASSERT_TRUE(asked->WaitOpen());
  Downloader()->Cancel(1);
  // The closed connection is released meanwhile; only the layer waits for the answer.
  runtime.AdvanceSeconds(10);
  answer->Open();
  // The answer is posted before its thread counts itself out: one pump then delivers it.
  ASSERT_TRUE(testsupport::WaitUntil([] { return cpAddressBookResolutionsInFlight() == 0; }));
  runtime.Pump();
  runtime.AdvanceSeconds(10);
  EXPECT_TRUE(recorder.outcomes.empty());
  EXPECT_EQ(0, Downloader()->RequestCount());
}

TEST_F(HttpDownloaderTest, NameServerThatNeverAnswersFailsAtTheIdleLimit) {
  auto answer = std::make_shared<Gate>();
  ScopedResolver resolver([answer](const std::string&) {
    answer->WaitOpen(10000);
    return std::vector<uint32_t>{};
  });
  Downloader()->Download(1, "http://slower-dns.downloader.test/x", 2);
  runtime.Pump();
  runtime.AdvanceSeconds(nwCHTTPDownloader::kIdleLimitSeconds);
  EXPECT_TRUE(recorder.outcomes.empty());
  runtime.AdvanceSeconds(1);
  answer->Open();
  ExpectOnly(Outcome::Failed);
}

TEST_F(HttpDownloaderTest, TwoDownloadsWithTheSameKeyRunIndependently) {
  HttpFileServer server;
  std::string first = Bytes(300000, 31);
  std::string second = Bytes(200000, 32);
  server.AddResource("/first", first);
  server.AddResource("/second", second);
  Downloader()->Download(7, server.Url("/first").c_str(), 1);
  Downloader()->Download(7, server.Url("/second").c_str(), 2);
  EXPECT_EQ(2, Downloader()->RequestCount());
  ASSERT_TRUE(PumpUntilOutcomes(2));
  runtime.Pump();
  ASSERT_EQ(2u, recorder.outcomes.size());
  for (const Outcome& outcome : recorder.outcomes) {
    EXPECT_EQ(Outcome::Downloaded, outcome.kind);
    EXPECT_EQ(7, outcome.key);
    EXPECT_TRUE(outcome.data == (outcome.userValue == 1 ? first : second)) << outcome.userValue;
  }
  EXPECT_NE(recorder.outcomes[0].userValue, recorder.outcomes[1].userValue);
}

TEST_F(HttpDownloaderTest, CancelRemovesEveryRequestOfTheKeyAndReportsNothingForThem) {
  Gate release;
  ScriptedServer server(Script().ReadRequest().WaitFor(release).Send(HttpOk("done")).ReadToEnd());
  Downloader()->Download(5, server.Url("/a").c_str(), 1);
  Downloader()->Download(6, server.Url("/c").c_str(), 3);
  Downloader()->Download(5, server.Url("/b").c_str(), 2);
  ASSERT_TRUE(server.WaitForConnections(3));
  ASSERT_EQ(NW_S_OK, Downloader()->Cancel(5));
  EXPECT_EQ(1, Downloader()->RequestCount());
  runtime.Pump();
  EXPECT_TRUE(recorder.outcomes.empty());
  release.Open();
  ASSERT_TRUE(PumpUntilOutcomes(1));
  // Every connection got its answer and was closed by then.
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.WaitForFinished(3, 0); }));
  runtime.Pump();
  ASSERT_EQ(1u, recorder.outcomes.size());
  EXPECT_EQ(Outcome::Downloaded, recorder.outcomes[0].kind);
  EXPECT_EQ(6, recorder.outcomes[0].key);
  EXPECT_EQ(3, recorder.outcomes[0].userValue);
  EXPECT_EQ("done", recorder.outcomes[0].data);
}

TEST_F(HttpDownloaderTest, CancelAllAndDestructionReportNothing) {
  Gate release;
  ScriptedServer server(Script().ReadRequest().WaitFor(release).Send(HttpOk("late")).ReadToEnd());
  Downloader()->Download(1, server.Url("/a").c_str(), 1);
  Downloader()->Download(2, server.Url("/b").c_str(), 2);
  ASSERT_TRUE(server.WaitForConnections(2));
  Downloader()->CancelAll();
  EXPECT_EQ(0, Downloader()->RequestCount());
  Downloader()->Download(3, server.Url("/c").c_str(), 3);
  ASSERT_TRUE(server.WaitForConnections(3));
  object.Attach(nullptr);
  release.Open();
  ASSERT_TRUE(server.WaitForFinished(3));
  runtime.Pump();
  runtime.AdvanceSeconds(10);
  EXPECT_TRUE(recorder.outcomes.empty());
}

TEST_F(HttpDownloaderTest, StalledBodyHoldsMemoryOnlyForWhatArrivedAndFailsAtTheIdleLimit) {
  Gate sent;
  ScriptedServer server(Script()
                            .ReadRequest()
                            .Send(HttpResponse(200, {{"Content-Length", "268435455"}}, "part"))
                            .Notify(sent)
                            .Stall());
  Downloader()->Download(1, server.Url("/stall").c_str(), 2);
  ASSERT_TRUE(runtime.PumpUntil([&] { return sent.IsOpen() && Downloader()->BodyCapacity() > 0; }));
  runtime.Pump();
  // Not the 256 MiB announced: a trickling server must not pin that much for as long as it likes.
  EXPECT_LE(Downloader()->BodyCapacity(), nwBodyBuffer::kFirstReservation);
  runtime.AdvanceSeconds(nwCHTTPDownloader::kIdleLimitSeconds);
  EXPECT_TRUE(recorder.outcomes.empty());
  runtime.AdvanceSeconds(1);
  ExpectOnly(Outcome::Failed);
}

TEST_F(HttpDownloaderTest, StalledConnectFailsAtTheDefaultConnectTimeout) {
  testsupport::StalledPort port;
  if (!port.Stalls()) GTEST_SKIP() << "the kernel completes every loopback connect here";
  Downloader()->Download(1, ("http://127.0.0.1:" + std::to_string(port.Port()) + "/x").c_str(), 2);
  runtime.Pump();
  runtime.AdvanceMilliseconds(4800);
  EXPECT_TRUE(recorder.outcomes.empty());
  runtime.AdvanceMilliseconds(300);
  ExpectOnly(Outcome::Failed);
}

TEST_F(HttpDownloaderTest, ListenerMayStartTheNextDownloadInsideItsCall) {
  HttpFileServer server;
  server.AddResource("/one", "1");
  server.AddResource("/two", "22");
  recorder.after = [&](const Outcome& outcome) {
    if (outcome.userValue == 1) Downloader()->Download(outcome.key, server.Url("/two").c_str(), 2);
  };
  Downloader()->Download(4, server.Url("/one").c_str(), 1);
  ASSERT_TRUE(PumpUntilOutcomes(2));
  EXPECT_EQ("1", recorder.outcomes[0].data);
  EXPECT_EQ("22", recorder.outcomes[1].data);
}

TEST_F(HttpDownloaderTest, ListenerMayReleaseTheDownloaderInsideItsCall) {
  HttpFileServer server;
  server.AddStatus("/missing", 404);
  Gate never;
  ScriptedServer slow(Script().ReadRequest().WaitFor(never).ReadToEnd());
  recorder.after = [&](const Outcome&) { object.Attach(nullptr); };
  Downloader()->Download(1, slow.Url("/slow").c_str(), 1);
  Downloader()->Download(1, server.Url("/missing").c_str(), 2);
  ASSERT_TRUE(PumpUntilOutcomes(1));
  runtime.Pump();
  EXPECT_FALSE(object);
  ASSERT_EQ(1u, recorder.outcomes.size());
  EXPECT_EQ(Outcome::Failed, recorder.outcomes[0].kind);
  never.Open();
}

// ---- the addresses of a download ----

struct AlternativesCase {
  const char* name;
  std::string list;
  std::vector<std::string> urls;
};

void PrintTo(const AlternativesCase& c, std::ostream* out) { *out << c.name; }

class AlternativesTest : public ::testing::TestWithParam<AlternativesCase> {};

TEST_P(AlternativesTest, SplitOnBarsWithoutBlanksOrEmptyPieces) {
  EXPECT_EQ(GetParam().urls, nwSplitAlternatives(GetParam().list));
}

INSTANTIATE_TEST_SUITE_P(
    Lists, AlternativesTest,
    ::testing::Values(
        AlternativesCase{"One", "http://a/x.bin", {"http://a/x.bin"}},
        AlternativesCase{
            "BlanksAroundBars", " http://a/x.bin | http://b/x.bin\t", {"http://a/x.bin", "http://b/x.bin"}},
        AlternativesCase{"EmptyPieces", "|http://a/x||  |http://b/y|", {"http://a/x", "http://b/y"}},
        AlternativesCase{"BlankInsideKept", "http://a/x y.bin", {"http://a/x y.bin"}},
        AlternativesCase{"Nothing", " | ", {}}),
    [](const ::testing::TestParamInfo<AlternativesCase>& test) { return test.param.name; });

struct RedirectCase {
  const char* name;
  std::string request;
  std::string location;
  std::string url;  // empty: not followed
  bool downgrade;
};

void PrintTo(const RedirectCase& c, std::ostream* out) { *out << c.name; }

class RedirectTargetTest : public ::testing::TestWithParam<RedirectCase> {};

TEST_P(RedirectTargetTest, ResolvesAgainstTheRequestAndNeverLeavesTls) {
  nwRedirect redirect = nwResolveLocation(GetParam().request, GetParam().location);
  EXPECT_EQ(GetParam().url, redirect.url);
  EXPECT_EQ(GetParam().downgrade, redirect.downgrade);
}

INSTANTIATE_TEST_SUITE_P(
    Targets, RedirectTargetTest,
    ::testing::Values(
        RedirectCase{"HttpToHttps", "http://a/x", "https://b/y", "https://b/y", false},
        RedirectCase{"HttpsToHttps", "https://a/x", "HTTPS://b/y", "HTTPS://b/y", false},
        RedirectCase{"HttpsToHttp", "https://a/x", "http://b/y", "", true},
        RedirectCase{"UpperCaseHttpsToHttp", "HTTPS://a/x", "Http://b/y", "", true},
        RedirectCase{"HttpsRelativeStaysHttps", "https://a/d/x?q=1/2", "y", "https://a/d/y", false},
        RedirectCase{"HttpsSchemeRelativeStaysHttps", "https://a/x", "//b/y", "https://b/y", false},
        RedirectCase{"HttpsToNothing", "https://a/x", "", "", false}),
    [](const ::testing::TestParamInfo<RedirectCase>& test) { return test.param.name; });

}  // namespace
