// https through the shared library, seen only through the public interface, against a local TLS
// server whose certificates the test made: with the test authority trusted (tls_ca_file) the
// data download, the size check and whole jobs work byte-exact; with the default settings a
// self-signed server and a certificate for another host are refused through each caller's
// ordinary failure path; with tls_verify = 0 both are accepted and one log line says so.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DownloadLib.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsHttpServer.h"

namespace {

using testsupport::Script;
using testsupport::ScriptedServer;
using testsupport::TestCertificate;
using testsupport::TestCertificates;
using testsupport::TlsHttpServer;
using testsupport::TlsServerFault;
using testsupport::TlsServerOptions;

std::string Content(size_t size, uint32_t seed) { return testsupport::PatternedBytes(size, seed); }

std::string ReadFile(const std::string& path) { return testsupport::ReadFileText(path); }

bool FileExists(const std::string& path) { return std::ifstream(path).good(); }

const TestCertificates& Pki() {
  static const TestCertificates pki;
  return pki;
}

class Events {
 public:
  static void Callback(int32_t code, intptr_t /*lParam*/, void* self) {
    auto* events = static_cast<Events*>(self);
    {
      std::lock_guard lock(events->mutex_);
      events->codes_.push_back(code);
    }
    events->changed_.notify_all();
  }
  bool WaitFor(int32_t code, int count = 1, double seconds = 5) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return CountLocked(code) >= count; });
  }
  int Count(int32_t code) {
    std::lock_guard lock(mutex_);
    return CountLocked(code);
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    codes_.clear();
  }

 private:
  int CountLocked(int32_t code) const {
    int count = 0;
    for (int32_t c : codes_) count += c == code ? 1 : 0;
    return count;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<int32_t> codes_;
};

// Sets or unsets one variable for the test and gives the old state back.
class Variable {
 public:
  Variable(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(value);
  }
  ~Variable() { Set(old_); }
  Variable(const Variable&) = delete;
  Variable& operator=(const Variable&) = delete;

 private:
  void Set(const std::optional<std::string>& value) {
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::optional<std::string> old_;
};

// The relay answers every report frame with a one-byte result.
std::string ReplyFrame() {
  std::string frame(16, '\0');
  frame[1] = 0x03;
  frame[2] = static_cast<char>(131);
  frame[10] = 2;
  frame[14] = 1;
  return frame;
}

class HostHttpsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &Events::Callback, &events_)); }
  void TearDown() override { DownloadLibFinalize(); }

  // Waits for 522 or 523 and a moment more, so that a second report would show.
  bool DataSucceeded(const std::string& url) {
    events_.Clear();
    if (DownloadLibDownloadData(url.c_str()) != DL_OK) return false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (events_.Count(DL_EV_DATA_DONE) + events_.Count(DL_EV_DATA_FAILED) == 0 && std::chrono::steady_clock::now() < deadline) {
      events_.WaitFor(DL_EV_DATA_DONE, 1, 0.05);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return events_.Count(DL_EV_DATA_DONE) == 1 && events_.Count(DL_EV_DATA_FAILED) == 0;
  }
  std::string Data() {
    int64_t size = 0;
    if (DownloadLibGetDataSize(&size) != DL_OK) return "<none>";
    std::string bytes(static_cast<size_t>(size), '\0');
    DataBuffer buffer{bytes.data(), size};
    return DownloadLibGetData(&buffer) == DL_OK ? bytes : "<none>";
  }

  JobHandle NewJob() {
    JobHandle job = 0;
    EXPECT_EQ(DL_OK, DownloadLibCreateJob(&job, "ORB", "ORBA-SVC"));
    return job;
  }
  std::vector<JobNotice> Notices(JobHandle job, std::vector<std::string>* texts) {
    std::vector<JobNotice> notices;
    for (;;) {
      int32_t length = 0;
      DownloadLibGetNoticeLength(job, &length);
      std::string text(static_cast<size_t>(length > 0 ? length : 1), '\0');
      JobNotice notice{0, text.data()};
      DownloadLibGetNotice(job, &notice);
      if (notice.code == DL_OK) break;
      notices.push_back(notice);
      if (texts != nullptr) texts->push_back(length > 0 ? std::string(text.c_str()) : std::string());
    }
    return notices;
  }

  // The library's log: every start empties it, so it holds this test's lines only.
  static std::string LogText() {
    const char* data = std::getenv("XDG_DATA_HOME");
    std::string folder = data != nullptr ? data : std::string(std::getenv("HOME")) + "/.local/share";
    return ReadFile(folder + "/Norvik/qtxDownloadV32/config/service.log");
  }
  static int LogCount(const std::string& part) {
    std::string text = LogText();
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
  }

  ScriptedServer relay_{Script().ReadBytes(16).Send(ReplyFrame()).Close()};
  Variable relayHost_{"ORBA_RELAY_HOST", std::string("127.0.0.1")};
  Variable relayPort_{"ORBA_RELAY_PORT", std::to_string(relay_.Port())};
  Variable online_{"ORBA_NETWORK_STATE", std::string("online")};
  Variable verify_{"ORBA_TLS_VERIFY", std::nullopt};
  Variable caFile_{"ORBA_TLS_CA_FILE", std::nullopt};
  testsupport::TempFolder folder_;
  Events events_;
};

TEST_F(HostHttpsTest, DataDownloadOverHttpsWithTheTestAuthorityTrusted) {
  Variable trust("ORBA_TLS_CA_FILE", Pki().CaFile());
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
  for (int i = 0; i < server.ConnectionCount(); ++i) EXPECT_EQ("localhost", server.Connection(i).serverName) << i;
  EXPECT_EQ(0, LogCount("TLS"));
}

TEST_F(HostHttpsTest, SizeCheckOverHttpsEndsIn525WithTheTotal) {
  Variable trust("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  server.AddResource("/a", Content(1234, 2));
  server.AddResource("/b", Content(766000, 3));
  ASSERT_EQ(DL_OK, DownloadLibAddSizeCheck(server.Url("/a").c_str()));
  ASSERT_EQ(DL_OK, DownloadLibAddSizeCheck(server.Url("/b").c_str()));
  ASSERT_EQ(DL_OK, DownloadLibStartSizeCheck());
  ASSERT_TRUE(events_.WaitFor(DL_EV_SIZE_CHECK_DONE));
  int64_t total = 0;
  EXPECT_EQ(DL_OK, DownloadLibGetSizeCheckTotal(&total));
  EXPECT_EQ(1234 + 766000, total);
  EXPECT_EQ(0, events_.Count(DL_EV_SIZE_CHECK_FAILED));
}

TEST_F(HostHttpsTest, WholeJobOverHttpsIsByteExact) {
  Variable trust("ORBA_TLS_CA_FILE", Pki().CaFile());
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
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_DONE));
  EXPECT_EQ(3, events_.Count(DL_EV_FILE_DONE));
  EXPECT_EQ(0, events_.Count(DL_EV_JOB_NOTICE));
  for (size_t i = 0; i < bodies.size(); ++i) {
    EXPECT_TRUE(ReadFile(target + "/f" + std::to_string(i) + ".bin") == bodies[i]) << i;
  }
  JobResult result{};
  DownloadLibGetJobResult(job, &result);
  EXPECT_EQ(3, result.filesDone);
  for (int i = 0; i < server.ConnectionCount(); ++i) EXPECT_EQ("localhost", server.Connection(i).serverName) << i;
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
    ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_NOTICE)) << size;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
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
  Variable off("ORBA_TLS_VERIFY", std::string("0"));
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
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_DONE));
  EXPECT_TRUE(ReadFile(target + "/f.bin") == body);
  EXPECT_EQ(1, LogCount("TLS certificate verification is off"));
  EXPECT_EQ(0, LogCount("TLS failed"));
}

INSTANTIATE_TEST_SUITE_P(Certificates, HostHttpsRefusalTest,
                         ::testing::Values(Refused{"SelfSigned", true}, Refused{"OtherHost", false}),
                         [](const ::testing::TestParamInfo<Refused>& param) { return std::string(param.param.name); });

TEST_F(HostHttpsTest, ServerDroppingMidHandshakeFailsTheDataOnceAndTheJobWithNotice517) {
  Variable trust("ORBA_TLS_CA_FILE", Pki().CaFile());
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
  ASSERT_TRUE(events_.WaitFor(DL_EV_JOB_NOTICE));
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
