// https through the shared library, seen only through the public interface, against a local TLS
// server whose certificates the test made: with the test authority trusted (tls_ca_file) the
// data download, the size check and whole jobs work byte-exact; with the default settings a
// self-signed server and a certificate for another host are refused through each caller's
// ordinary failure path; with tls_verify = 0 both are accepted and one log line says so.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "DownloadLib.h"
#include "tests/host/HostTestSupport.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsHttpServer.h"
#include "tests/support/WaitUntil.h"

namespace {

using hosttest::Events;
using hosttest::FileExists;
using hosttest::LogText;
using hosttest::NewJob;
using hosttest::Notices;
using hosttest::RelayReplyFrame;
using testsupport::ScopedEnvironment;
using testsupport::Script;
using testsupport::ScriptedServer;
using testsupport::TestCertificate;
using testsupport::TestCertificates;
using testsupport::TlsHttpServer;
using testsupport::TlsServerFault;
using testsupport::TlsServerOptions;

std::string Content(size_t size, uint32_t seed) { return testsupport::PatternedBytes(size, seed); }

std::string ReadFile(const std::string& path) { return testsupport::ReadFileText(path); }

// Local servers and small bodies: an event that takes longer than this is a failure here.
constexpr double kWaitSeconds = 5;

const TestCertificates& Pki() {
  static const TestCertificates pki;
  return pki;
}

class HostHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sentinel_.AddResource("/sentinel", "s");
    ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &Events::Callback, &events_));
  }
  void TearDown() override { DownloadLibFinalize(); }

  // Waits for 522 or 523, and for every event raised before a sentinel after it, so that a second
  // report would show.
  bool DataSucceeded(const std::string& url) {
    events_.Clear();
    if (DownloadLibDownloadData(url.c_str()) != DL_OK) return false;
    testsupport::WaitUntil(
        [&] { return events_.Count(DL_EV_DATA_DONE) + events_.Count(DL_EV_DATA_FAILED) > 0; },
        static_cast<int64_t>(kWaitSeconds * 1000));
    WaitForEarlierEvents();
    return events_.Count(DL_EV_DATA_DONE) == 1 && events_.Count(DL_EV_DATA_FAILED) == 0;
  }
  void WaitForEarlierEvents() { hosttest::WaitForEarlierEvents(events_, sentinel_.Url("/sentinel")); }
  std::string Data() {
    int64_t size = 0;
    if (DownloadLibGetDataSize(&size) != DL_OK) return "<none>";
    std::string bytes(static_cast<size_t>(size), '\0');
    DataBuffer buffer{bytes.data(), size};
    return DownloadLibGetData(&buffer) == DL_OK ? bytes : "<none>";
  }

  static int LogCount(const std::string& part) {
    std::string text = LogText();
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
      ++count;
    return count;
  }

  ScriptedServer relay_{Script().ReadBytes(16).Send(RelayReplyFrame()).Close()};
  ScopedEnvironment relayHost_{"ORBA_RELAY_HOST", std::string("127.0.0.1")};
  ScopedEnvironment relayPort_{"ORBA_RELAY_PORT", std::to_string(relay_.Port())};
  ScopedEnvironment online_{"ORBA_NETWORK_STATE", std::string("online")};
  ScopedEnvironment verify_{"ORBA_TLS_VERIFY", std::nullopt};
  ScopedEnvironment caFile_{"ORBA_TLS_CA_FILE", std::nullopt};
  testsupport::TempFolder folder_;
  Events events_;
  testsupport::HttpFileServer sentinel_;
};

TEST_F(HostHttpsTest, DataDownloadOverHttpsWithTheTestAuthorityTrusted) {
  ScopedEnvironment trust("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  std::string list = "https://localhost/a.bin\r\nhttps://localhost/b.bin\r\n";
  std::string large = Content(3 * 1024 * 1024 + 11, 1);
  server.AddResource("/filelist.txt", list);
  server.AddResource("/large.bin", large);
  ASSERT_TRUE(DataSucceeded(server.Url("/filelist.txt")));
  EXPECT_EQ(list, Data());
  ASSERT_TRUE(DataSucceeded(server.Url("/large.bin")));
  EXPECT_TRUE(Data() == large);
  // The server name the client sent is the host of the URL.
  for (int i = 0; i < server.ConnectionCount(); ++i)
    EXPECT_EQ("localhost", server.Connection(i).serverName) << i;
  EXPECT_EQ(0, LogCount("TLS"));
}

TEST_F(HostHttpsTest, SizeCheckOverHttpsEndsIn525WithTheTotal) {
  ScopedEnvironment trust("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  server.AddResource("/a", Content(1234, 2));
  server.AddResource("/b", Content(766000, 3));
  ASSERT_EQ(DL_OK, DownloadLibAddSizeCheck(server.Url("/a").c_str()));
  ASSERT_EQ(DL_OK, DownloadLibAddSizeCheck(server.Url("/b").c_str()));
  ASSERT_EQ(DL_OK, DownloadLibStartSizeCheck());
  ASSERT_TRUE(events_.WaitFor(DL_EV_SIZE_CHECK_DONE, 1, kWaitSeconds));
  int64_t total = 0;
  EXPECT_EQ(DL_OK, DownloadLibGetSizeCheckTotal(&total));
  EXPECT_EQ(1234 + 766000, total);
  EXPECT_EQ(0, events_.Count(DL_EV_SIZE_CHECK_FAILED));
}

TEST_F(HostHttpsTest, WholeJobOverHttpsIsByteExact) {
  ScopedEnvironment trust("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  std::vector<std::string> bodies = {Content(2 * 1024 * 1024 + 1, 4), Content(300000, 5), Content(10, 6)};
  JobHandle job = NewJob();
  std::string target = folder_ / "game";
  for (size_t i = 0; i < bodies.size(); ++i) {
    std::string path = "/files/f" + std::to_string(i) + ".bin";
    server.AddResource(path, bodies[i]);
    ASSERT_EQ(DL_OK, DownloadLibAddFile(job, server.Url(path).c_str(), target.c_str(), nullptr, -1, 1));
  }
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_DONE, 1, kWaitSeconds));
  EXPECT_EQ(3, events_.Count(DL_EV_FILE_DONE));
  EXPECT_EQ(0, events_.Count(DL_EV_JOB_NOTICE));
  for (size_t i = 0; i < bodies.size(); ++i) {
    EXPECT_TRUE(ReadFile(target + "/f" + std::to_string(i) + ".bin") == bodies[i]) << i;
  }
  JobResult result{};
  DownloadLibGetJobResult(job, &result);
  EXPECT_EQ(3, result.filesDone);
  for (int i = 0; i < server.ConnectionCount(); ++i)
    EXPECT_EQ("localhost", server.Connection(i).serverName) << i;
}

struct Refused {
  const char* name;
  bool selfSigned;
};

void PrintTo(const Refused& refused, std::ostream* out) { *out << refused.name; }

class HostHttpsRefusalTest : public HostHttpsTest, public ::testing::WithParamInterface<Refused> {
 protected:
  TestCertificate Certificate() const {
    return GetParam().selfSigned ? Pki().SelfSigned() : Pki().Issue({"DNS:other.example"});
  }
};

TEST_P(HostHttpsRefusalTest, DataDownloadFailsExactlyOnce) {
  TlsHttpServer server({Certificate()});
  server.AddResource("/filelist.txt", "never");
  EXPECT_FALSE(DataSucceeded(server.Url("/filelist.txt")));
  EXPECT_EQ(1, events_.Count(DL_EV_DATA_FAILED));
  EXPECT_EQ(0, events_.Count(DL_EV_DATA_DONE));
  EXPECT_EQ(0, server.RequestCount());
  EXPECT_EQ(1, LogCount("TLS failed : localhost : certificate not accepted"));
}

// A file of unknown size is refused at its size check, one of known size at its download: both
// end in notice 517 and never in a completed file.
TEST_P(HostHttpsRefusalTest, JobEndsInNotice517AndNeverCompletesAFile) {
  TlsHttpServer server({Certificate()});
  server.AddResource("/f.bin", Content(1000, 7));
  for (int64_t size : {int64_t{-1}, int64_t{1000}}) {
    events_.Clear();
    JobHandle job = NewJob();
    std::string url = server.Url("/f.bin");
    std::string target = folder_ / ("refused" + std::to_string(size));
    ASSERT_EQ(DL_OK, DownloadLibAddFile(job, url.c_str(), target.c_str(), nullptr, size, 1));
    ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
    ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_NOTICE, 1, kWaitSeconds)) << size;
    WaitForEarlierEvents();
    std::vector<std::string> texts;
    std::vector<JobNotice> notices = Notices(job, &texts);
    ASSERT_EQ(1u, notices.size()) << size;
    EXPECT_EQ(DL_NOTE_DOWNLOAD_FAILED, notices[0].code) << size;
    EXPECT_EQ(url, texts[0]) << size;
    EXPECT_EQ(0, events_.Count(DL_EV_FILE_DONE)) << size;
    EXPECT_EQ(0, events_.Count(DL_EV_JOB_DONE)) << size;
    std::string written = target + "/f.bin";
    EXPECT_TRUE(!FileExists(written) || ReadFile(written).empty()) << size;
    // A failed size check already let go of the job; a failed download still holds it.
    EXPECT_EQ(size < 0 ? DL_ERR_FAILED : DL_OK, DownloadLibStopJob(job)) << size;
  }
  EXPECT_EQ(0, server.RequestCount());
}

TEST_P(HostHttpsRefusalTest, WithVerificationOffBothSucceedAndOneLineSaysSo) {
  ScopedEnvironment off("ORBA_TLS_VERIFY", std::string("0"));
  // The log line is written once per library start: start afresh with the setting in place.
  DownloadLibFinalize();
  ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &Events::Callback, &events_));
  TlsHttpServer server({Certificate()});
  std::string body = Content(50000, 8);
  server.AddResource("/f.bin", body);
  ASSERT_TRUE(DataSucceeded(server.Url("/f.bin")));
  EXPECT_TRUE(Data() == body);
  events_.Clear();
  JobHandle job = NewJob();
  std::string target = folder_ / "accepted";
  ASSERT_EQ(DL_OK, DownloadLibAddFile(job, server.Url("/f.bin").c_str(), target.c_str(), nullptr, -1, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_DONE, 1, kWaitSeconds));
  EXPECT_TRUE(ReadFile(target + "/f.bin") == body);
  EXPECT_EQ(1, LogCount("TLS certificate verification is off"));
  EXPECT_EQ(0, LogCount("TLS failed"));
}

INSTANTIATE_TEST_SUITE_P(Certificates, HostHttpsRefusalTest,
                         ::testing::Values(Refused{"SelfSigned", true}, Refused{"OtherHost", false}),
                         [](const ::testing::TestParamInfo<Refused>& param) {
                           return std::string(param.param.name);
                         });

TEST_F(HostHttpsTest, ServerDroppingMidHandshakeFailsTheDataOnceAndTheJobWithNotice517) {
  ScopedEnvironment trust("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsServerOptions options{Pki().Issue()};
  options.fault = TlsServerFault::kCloseAfterClientHello;
  TlsHttpServer server(options);
  EXPECT_FALSE(DataSucceeded(server.Url("/filelist.txt")));
  EXPECT_EQ(1, events_.Count(DL_EV_DATA_FAILED));
  events_.Clear();
  JobHandle job = NewJob();
  std::string url = server.Url("/f.bin");
  ASSERT_EQ(DL_OK, DownloadLibAddFile(job, url.c_str(), (folder_ / "dropped").c_str(), nullptr, 1000, 1));
  ASSERT_EQ(DL_OK, DownloadLibStartJob(job, true));
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_NOTICE, 1, kWaitSeconds));
  std::vector<JobNotice> notices = Notices(job, nullptr);
  ASSERT_EQ(1u, notices.size());
  EXPECT_EQ(DL_NOTE_DOWNLOAD_FAILED, notices[0].code);
  EXPECT_EQ(0, events_.Count(DL_EV_FILE_DONE));
  EXPECT_EQ(0, events_.Count(DL_EV_JOB_DONE));
  // One connection for the data download, three tries for the file.
  EXPECT_EQ(4, server.ConnectionCount());
  EXPECT_EQ(DL_OK, DownloadLibStopJob(job));
}

}  // namespace
