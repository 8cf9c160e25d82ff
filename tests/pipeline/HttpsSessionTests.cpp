// The sessions over https, against a local TLS server whose certificates the test made, on the
// runtime of the test thread: the data download, the file session and the content-length check
// succeed byte-exact when the test authority is trusted, and a refused certificate, a server
// that drops or stalls mid-handshake, or a redirect down to plain http ends in each session's
// ordinary failure path, exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "core/cpLog.h"
#include "net/Lib_SSL/TlsRuntime.h"
#include "net/nwRegisterClasses.h"
#include "pipeline/CContentLengthChecker.h"
#include "pipeline/CDataDownloadSession.h"
#include "pipeline/CPlatformFileSizeChecker.h"
#include "pipeline/CPlatformSession.h"
#include "pipeline/DownloadLibTypes.h"
#include "pipeline/Log.h"
#include "platform/Socket.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/IsolatedUserFolders.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScopedResolver.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsHttpServer.h"

namespace {

using testsupport::ScopedEnvironment;
using testsupport::TestCertificates;
using testsupport::TlsHttpServer;
using testsupport::TlsServerFault;
using testsupport::TlsServerOptions;

std::string Bytes(size_t size, uint32_t seed) { return testsupport::PatternedBytes(size, seed); }

std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

const TestCertificates& Pki() {
  static const TestCertificates pki;
  return pki;
}

TlsServerOptions WithFault(TlsServerFault fault) {
  TlsServerOptions options{Pki().Issue()};
  options.fault = fault;
  return options;
}

// What every test here shares: its own log and settings folders (given back afterwards), the log
// writer, TLS
// settings as a fresh installation has them, "localhost" resolving to 127.0.0.1, and the runtime
// on the manual clock.
// The library's runtime root ends TLS when it is finalised; here the test program plays that part,
// so the trust stores shared by connection objects are freed before the process ends.
class TlsRuntimeEnd final : public ::testing::Environment {
 public:
  void TearDown() override { TlsShutdown(); }
};
[[maybe_unused]] ::testing::Environment* const kTlsRuntimeEnd =
    ::testing::AddGlobalTestEnvironment(new TlsRuntimeEnd);

class HttpsPipelineTest : public ::testing::Test {
 protected:
  HttpsPipelineTest() {
    nwRegisterClasses();
    ResetLogPathForTesting();
    ResetLog();
    // The network layers write to the library's log as they do inside the library.
    cpSetLogWriter(&WriteLog);
  }
  ~HttpsPipelineTest() override {
    cpSetLogWriter(nullptr);
    ResetLogPathForTesting();
  }

  void TrustTestAuthority() { trust_.emplace("ORBA_TLS_CA_FILE", Pki().CaFile()); }
  std::vector<std::string> Log() const {
    std::vector<std::string> messages;
    for (const std::string& line : testsupport::LogLines(folders_.LogPath()))
      messages.push_back(testsupport::LogMessage(line));
    return messages;
  }
  int LogCount(const std::string& part) const {
    std::vector<std::string> messages = Log();
    return static_cast<int>(std::count_if(messages.begin(), messages.end(), [&](const std::string& m) {
      return m.find(part) != std::string::npos;
    }));
  }

  ScopedEnvironment keepDataHome_{"XDG_DATA_HOME", Environment("XDG_DATA_HOME")};
  ScopedEnvironment keepConfigHome_{"XDG_CONFIG_HOME", Environment("XDG_CONFIG_HOME")};
  testsupport::IsolatedUserFolders folders_;
  ScopedEnvironment verify_{"ORBA_TLS_VERIFY", std::nullopt};
  ScopedEnvironment caFile_{"ORBA_TLS_CA_FILE", std::nullopt};
  std::optional<ScopedEnvironment> trust_;
  testsupport::ScopedResolver resolver_{testsupport::ScopedResolver::Only("localhost")};
  testsupport::CoreRuntime runtime{true};
};

// ---- the data download ----

class DataRecorder final : public IDataDownloadSessionEventListener {
 public:
  std::vector<std::string> outcomes;
  std::string data;
  void OnDataCompleted(const char* buffer, int64_t length) override {
    data.assign(buffer, static_cast<size_t>(length));
    outcomes.push_back("completed");
  }
  void OnDataFailed(int32_t code) override { outcomes.push_back("failed " + std::to_string(code)); }
  void OnDataTick() override {}
};

class HttpsDataSessionTest : public HttpsPipelineTest {
 protected:
  // Runs `url` to its end, then lets every time-out pass: the outcomes seen by then.
  std::vector<std::string> Run(const std::string& url) {
    session.StartData(url.c_str());
    runtime.PumpUntil([&] { return !recorder.outcomes.empty(); }, 5000);
    runtime.Pump();
    runtime.AdvanceSeconds(CDataDownloadSession::kIdleLimitSeconds + 2);
    return recorder.outcomes;
  }

  DataRecorder recorder;
  CDataDownloadSession session{&recorder};
};

TEST_F(HttpsDataSessionTest, BodyArrivesByteExactWithTheAuthorityTrusted) {
  TrustTestAuthority();
  TlsHttpServer server({Pki().Issue()});
  std::string body = Bytes(2 * 1024 * 1024 + 3, 1);
  server.AddResource("/list.txt", body);
  EXPECT_EQ(std::vector<std::string>{"completed"}, Run(server.Url("/list.txt")));
  EXPECT_TRUE(recorder.data == body);
  EXPECT_EQ("localhost", server.Connection(0).serverName);
}

TEST_F(HttpsDataSessionTest, RefusedCertificatesFailOnceAsAConnectionClosedEarly) {
  for (const testsupport::TestCertificate& certificate :
       {Pki().SelfSigned(), Pki().Issue({"DNS:other.example"})}) {
    TlsHttpServer server({certificate});
    server.AddResource("/list.txt", "never");
    recorder.outcomes.clear();
    EXPECT_EQ(std::vector<std::string>{"failed 6"}, Run(server.Url("/list.txt")));
    EXPECT_EQ(0, server.RequestCount());
    int64_t size = 0;
    EXPECT_EQ(DL_ERR_FAILED, session.GetDataSize(&size));
  }
  EXPECT_EQ(2, LogCount("[TessenLib] TLS failed : localhost : certificate not accepted"));
}

TEST_F(HttpsDataSessionTest, ServerClosingAfterTheClientHelloFailsOnce) {
  TrustTestAuthority();
  TlsHttpServer server(WithFault(TlsServerFault::kCloseAfterClientHello));
  EXPECT_EQ(std::vector<std::string>{"failed 6"}, Run(server.Url("/list.txt")));
  EXPECT_EQ(1, server.ConnectionCount());
}

TEST_F(HttpsDataSessionTest, ServerStallingAfterTheClientHelloFailsOnceAtTheIdleLimit) {
  TrustTestAuthority();
  TlsHttpServer server(WithFault(TlsServerFault::kStallAfterClientHello));
  session.StartData(server.Url("/list.txt").c_str());
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.Connection(0).clientHelloRead; }));
  runtime.Pump();
  EXPECT_TRUE(recorder.outcomes.empty());
  runtime.AdvanceSeconds(CDataDownloadSession::kIdleLimitSeconds + 2);
  EXPECT_EQ(std::vector<std::string>{"failed 5"}, recorder.outcomes);
}

// ---- the file session ----

int g_cookieTarget = 0;
void* const kCookie = &g_cookieTarget;

class FileRecorder final : public IPlatFormSessionEventListener {
 public:
  std::vector<std::string> events;  // without progress
  void OnAllFilesCompleted(void* /*cookie*/) override { events.push_back("all"); }
  void OnSessionFailed(void* /*cookie*/, const char* url) override {
    events.push_back(std::string("failed ") + url);
  }
  void OnFileCompleted(void* /*cookie*/, const SessionFileRecord* file) override {
    events.push_back("completed " + file->fileName);
  }
  void OnProgress(void* /*cookie*/) override {}
  void OnFileOpened(const char* /*path*/, void* /*cookie*/) override { events.push_back("opened"); }
  void OnSessionError(void* /*cookie*/, int32_t code, const char* /*url*/) override {
    events.push_back("error " + std::to_string(code));
  }
  bool Ended() const {
    return std::any_of(events.begin(), events.end(), [](const std::string& e) {
      return e == "all" || e.rfind("failed", 0) == 0 || e.rfind("error", 0) == 0;
    });
  }
};

class HttpsFileSessionTest : public HttpsPipelineTest {
 protected:
  void Add(const std::string& url, const std::string& name) {
    auto entry = std::make_unique<JobFileEntry>();
    entry->index = static_cast<int32_t>(entries_.size());
    entry->url = url;
    entry->folder = downloads_.Path() + "/";
    entry->fileName = name;
    std::snprintf(entry->serviceCode, sizeof entry->serviceCode, "%s", "ORBA-SVC");
    entries_.push_back(std::move(entry));
  }
  void Start() {
    session_ = std::make_unique<CPlatformSession>();
    session_->SetSessionListener(&recorder_, kCookie);
    session_->SetFullSpeed(1);
    session_->StartFiles(entries_);
  }
  bool WaitEnd() {
    return runtime.PumpUntil([&] { return recorder_.Ended(); }, 5000);
  }
  std::vector<std::string> Without(const std::string& name) const {
    std::vector<std::string> out;
    for (const std::string& e : recorder_.events) {
      if (e != name) out.push_back(e);
    }
    return out;
  }
  ~HttpsFileSessionTest() override { session_.reset(); }

  testsupport::TempFolder downloads_;
  FileRecorder recorder_;
  std::vector<std::unique_ptr<JobFileEntry>> entries_;
  std::unique_ptr<CPlatformSession> session_;
};

TEST_F(HttpsFileSessionTest, SeveralFilesArriveByteExact) {
  TrustTestAuthority();
  TlsHttpServer server({Pki().Issue()});
  std::vector<std::string> bodies = {Bytes(1, 2), Bytes(70000, 3), Bytes(1024 * 1024 + 5, 4)};
  for (size_t i = 0; i < bodies.size(); ++i) {
    server.AddResource("/f" + std::to_string(i), bodies[i]);
    Add(server.Url("/f" + std::to_string(i)), "f" + std::to_string(i) + ".bin");
  }
  Start();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ((std::vector<std::string>{"completed f0.bin", "completed f1.bin", "completed f2.bin", "all"}),
            Without("opened"));
  for (size_t i = 0; i < bodies.size(); ++i) {
    EXPECT_TRUE(testsupport::ReadFileText(downloads_ / ("f" + std::to_string(i) + ".bin")) == bodies[i]) << i;
  }
  for (const testsupport::ReceivedRequest& request : server.Requests())
    EXPECT_EQ("bytes=0-", request.Header("Range"));
}

TEST_F(HttpsFileSessionTest, RefusedCertificateRunsTheRetryRuleThenTheNextAlternative) {
  TrustTestAuthority();
  TlsHttpServer refused({Pki().Issue({"DNS:other.example"})});
  TlsHttpServer good({Pki().Issue()});
  good.AddResource("/file.bin", "from the second");
  Add(refused.Url("/file.bin") + "|" + good.Url("/file.bin"), "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  EXPECT_EQ((std::vector<std::string>{"completed file.bin", "all"}), Without("opened"));
  EXPECT_EQ(3, refused.ConnectionCount());
  EXPECT_EQ(0, refused.RequestCount());
  EXPECT_EQ("from the second", testsupport::ReadFileText(downloads_ / "file.bin"));
  EXPECT_EQ(3, LogCount("TLS failed : localhost : certificate not accepted: hostname mismatch"));
}

TEST_F(HttpsFileSessionTest, ServerDroppingMidHandshakeFailsAfterThreeTries) {
  TrustTestAuthority();
  TlsHttpServer server(WithFault(TlsServerFault::kCloseAfterClientHello));
  Add(server.Url("/file.bin"), "file.bin");
  Start();
  ASSERT_TRUE(WaitEnd());
  runtime.Pump();
  EXPECT_EQ(std::vector<std::string>{"failed " + server.Url("/file.bin")}, Without("opened"));
  EXPECT_EQ(3, server.ConnectionCount());
  EXPECT_EQ(1, LogCount("[TessenLib] TryMax Over : " + server.Url("/file.bin")));
}

// ---- the content-length check ----

class HttpsContentLengthTest : public HttpsPipelineTest, public IContentLengthCheckerEventListener {
 protected:
  void OnContentLengthCheckCompleted(int64_t total) override { completed.push_back(total); }
  void OnContentLengthCheckFailed(const char* url) override { failed.push_back(url); }
  void OnContentLengthCheckHostUnreachable() override { ++unreachable; }
  bool WaitReport() {
    return runtime.PumpUntil(
        [&] { return completed.size() + failed.size() + static_cast<size_t>(unreachable) > 0; }, 5000);
  }

  std::vector<int64_t> completed;
  std::vector<std::string> failed;
  int unreachable = 0;
  CContentLengthChecker checker{this};
};

TEST_F(HttpsContentLengthTest, LengthsOverHttpsAreSummed) {
  TrustTestAuthority();
  TlsHttpServer server({Pki().Issue()});
  server.AddResource("/a", Bytes(123456, 5));
  server.AddResource("/b", Bytes(7, 6));
  ASSERT_EQ(DL_OK, checker.AddUrl(server.Url("/a").c_str()));
  ASSERT_EQ(DL_OK, checker.AddUrl(server.Url("/b").c_str()));
  checker.StartCheck();
  ASSERT_TRUE(WaitReport());
  EXPECT_EQ(std::vector<int64_t>{123463}, completed);
  EXPECT_TRUE(failed.empty());
}

TEST_F(HttpsContentLengthTest, SelfSignedServerFailsTheCheck) {
  TlsHttpServer server({Pki().SelfSigned()});
  server.AddResource("/a", "x");
  ASSERT_EQ(DL_OK, checker.AddUrl(server.Url("/a").c_str()));
  checker.StartCheck();
  ASSERT_TRUE(WaitReport());
  runtime.Pump();
  EXPECT_TRUE(completed.empty());
  EXPECT_EQ(std::vector<std::string>{server.Url("/a")}, failed);
  EXPECT_EQ(0, server.RequestCount());
}

// ---- redirects from https down to plain http, in every session ----

// Each runs one session on `url` to its first report and tells how it ended.
std::string RunDataDownload(testsupport::CoreRuntime& runtime, const std::string& url) {
  DataRecorder recorder;
  CDataDownloadSession session(&recorder);
  session.StartData(url.c_str());
  runtime.PumpUntil([&] { return !recorder.outcomes.empty(); }, 5000);
  return recorder.outcomes.empty() ? "nothing" : recorder.outcomes.front();
}

std::string RunFileSession(testsupport::CoreRuntime& runtime, const std::string& url) {
  testsupport::TempFolder folder;
  JobFileEntry entry;
  entry.url = url;
  entry.folder = folder.Path() + "/";
  entry.fileName = "file.bin";
  const JobFileEntry* entries[] = {&entry};
  FileRecorder recorder;
  CPlatformSession session;
  session.SetSessionListener(&recorder, kCookie);
  session.StartFiles(entries);
  runtime.PumpUntil([&] { return recorder.Ended(); }, 5000);
  for (const std::string& event : recorder.events) {
    if (event == "failed " + url) return "failed";
    if (event != "opened") return event;
  }
  return "nothing";
}

std::string RunFileSizeCheck(testsupport::CoreRuntime& runtime, const std::string& url) {
  struct Recorder final : ICheckerEventListener {
    std::string outcome;
    void OnSizeCheckCompleted(void* /*cookie*/, const FileSizeCheckResult& result) override {
      outcome = "completed " + std::to_string(result.totalSize);
    }
    void OnSizeCheckFailed(void* /*cookie*/, int32_t code, const char* /*text*/) override {
      outcome = "failed " + std::to_string(code);
    }
  } recorder;
  JobFileEntry entry;
  entry.url = url;
  entry.folder = "/";
  entry.size = -1;
  const JobFileEntry* entries[] = {&entry};
  CPlatformFileSizeChecker checker;
  checker.SetCheckerListener(&recorder, nullptr);
  checker.SetFreeSpaceFunction([](const std::string&) { return int64_t{1} << 40; });
  checker.RunSizeCheck(entries);
  runtime.PumpUntil([&] { return !recorder.outcome.empty(); }, 5000);
  return recorder.outcome.empty() ? "nothing" : recorder.outcome;
}

std::string RunContentLengthCheck(testsupport::CoreRuntime& runtime, const std::string& url) {
  struct Recorder final : IContentLengthCheckerEventListener {
    std::string outcome;
    void OnContentLengthCheckCompleted(int64_t total) override {
      outcome = "completed " + std::to_string(total);
    }
    void OnContentLengthCheckFailed(const char* /*url*/) override { outcome = "failed"; }
    void OnContentLengthCheckHostUnreachable() override { outcome = "unreachable"; }
  } recorder;
  CContentLengthChecker checker(&recorder);
  checker.AddUrl(url.c_str());
  checker.StartCheck();
  runtime.PumpUntil([&] { return !recorder.outcome.empty(); }, 5000);
  return recorder.outcome.empty() ? "nothing" : recorder.outcome;
}

struct DowngradeCase {
  const char* name;
  std::string (*run)(testsupport::CoreRuntime& runtime, const std::string& url);
  const char* outcome;
  int secureRequests;  // the redirect counts as one of the session's tries where it has tries
  bool logsRefusal;
};

void PrintTo(const DowngradeCase& c, std::ostream* out) { *out << c.name; }

class HttpsDowngradeTest : public HttpsPipelineTest, public ::testing::WithParamInterface<DowngradeCase> {};

TEST_P(HttpsDowngradeTest, RedirectToPlainHttpFailsAndNothingIsAskedInTheClear) {
  TrustTestAuthority();
  testsupport::HttpFileServer plain;
  plain.AddResource("/file.bin", "in the clear");
  TlsHttpServer secure({Pki().Issue()});
  secure.AddRedirect("/file.bin", plain.Url("/file.bin"), 302);
  std::string url = secure.Url("/file.bin");
  EXPECT_EQ(GetParam().outcome, GetParam().run(runtime, url));
  EXPECT_EQ(0, plain.RequestCount());
  EXPECT_EQ(GetParam().secureRequests, secure.RequestCount());
  EXPECT_EQ(GetParam().logsRefusal ? 1 : 0,
            LogCount("[TessenLib] Redirect from https to http refused : " + url));
  EXPECT_EQ(GetParam().logsRefusal ? 1 : 0, LogCount("[TessenLib] eNWHSC_HTTP_SEEOTHER  : " + url));
}

INSTANTIATE_TEST_SUITE_P(
    Sessions, HttpsDowngradeTest,
    ::testing::Values(DowngradeCase{"DataDownload", &RunDataDownload, "failed 4", 1, false},
                      DowngradeCase{"FileSession", &RunFileSession, "failed", 1, true},
                      DowngradeCase{"FileSizeCheck", &RunFileSizeCheck, "failed 517", 1, false},
                      DowngradeCase{"ContentLengthCheck", &RunContentLengthCheck, "failed", 3, false}),
    [](const ::testing::TestParamInfo<DowngradeCase>& test) { return test.param.name; });

}  // namespace
