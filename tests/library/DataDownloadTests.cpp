// The in-memory data download through the flat interface, against real local servers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "library/DownloadLib.h"
#include "pipeline/Log.h"
#include "platform/Clock.h"
#include "tests/library/LibraryTestEnvironment.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/HttpFileServer.h"
#include "tests/support/ScriptedServer.h"

namespace {

using testsupport::EventRecorder;

std::string Bytes(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

class DataDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetLog();
    ASSERT_EQ(DL_OK, DownloadLibInitialize(nullptr, &EventRecorder::Callback, recorder.UserData()));
  }
  void TearDown() override { DownloadLibFinalize(); }

  // Waits for the end of the download: true for 522, false for 523.
  bool Finish(int timeoutMs = 15000) {
    int64_t deadline = platform::MonotonicMilliseconds() + timeoutMs;
    while (platform::MonotonicMilliseconds() < deadline) {
      if (recorder.Count(DL_EV_DATA_DONE, false) + recorder.Count(DL_EV_DATA_FAILED, false) > 0) break;
      recorder.WaitFor(DL_EV_DATA_DONE, 1, 20);
    }
    return recorder.Count(DL_EV_DATA_DONE, false) == 1 && recorder.Count(DL_EV_DATA_FAILED, false) == 0;
  }

  std::string Read() {
    int64_t size = 0;
    if (DownloadLibGetDataSize(&size) != DL_OK) return "<no size>";
    std::string bytes(static_cast<size_t>(size), '\0');
    DataBuffer buffer{bytes.data(), size};
    if (DownloadLibGetData(&buffer) != DL_OK) return "<no data>";
    return bytes;
  }

  EventRecorder recorder;
};

TEST_F(DataDownloadTest, SmallAndLargeBodiesArriveByteExact) {
  testsupport::HttpFileServer server;
  std::string small = "http://h/a\r\nhttp://h/b\r\n";
  std::string large = Bytes(5 * 1024 * 1024 + 17);
  server.AddResource("/list.txt", small);
  server.AddResource("/big.bin", large);
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/list.txt").c_str()));
  ASSERT_TRUE(Finish());
  EXPECT_EQ(small, Read());
  recorder.Clear();
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/big.bin").c_str()));
  ASSERT_TRUE(Finish());
  EXPECT_TRUE(Read() == large);
}

TEST_F(DataDownloadTest, RedirectChainIsFollowed) {
  testsupport::HttpFileServer server;
  server.AddResource("/final.txt", "done");
  server.AddRedirect("/two", server.Url("/final.txt"), 303);
  server.AddRedirect("/one", server.Url("/two"), 302);
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/one").c_str()));
  ASSERT_TRUE(Finish());
  EXPECT_EQ("done", Read());
}

TEST_F(DataDownloadTest, FailuresEndInExactlyOneFailedEvent) {
  testsupport::HttpFileServer server;
  server.AddStatus("/empty", 200, "");
  server.AddRedirect("/nowhere", "", 302);
  testsupport::ClosedPort closed;
  std::vector<std::string> urls = {server.Url("/missing"), server.Url("/empty"), server.Url("/nowhere"),
                                   "http://127.0.0.1:" + std::to_string(closed.Port()) + "/x",
                                   "http://no-such-host.invalid/x", "ftp://h/x"};
  for (const std::string& url : urls) {
    recorder.Clear();
    ASSERT_EQ(DL_OK, DownloadLibDownloadData(url.c_str())) << url;
    EXPECT_FALSE(Finish()) << url;
    EXPECT_EQ(1, recorder.Count(DL_EV_DATA_FAILED, false)) << url;
    int64_t size = 0;
    EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetDataSize(&size)) << url;
  }
}

TEST_F(DataDownloadTest, WrongSizeCopiesNothing) {
  testsupport::HttpFileServer server;
  server.AddResource("/x", "12345");
  ASSERT_EQ(DL_OK, DownloadLibDownloadData(server.Url("/x").c_str()));
  ASSERT_TRUE(Finish());
  char bytes[8] = "zzzzzzz";
  DataBuffer larger{bytes, 6};
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetData(&larger));
  DataBuffer smaller{bytes, 4};
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetData(&smaller));
  DataBuffer none{nullptr, 5};
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibGetData(&none));
  EXPECT_STREQ("zzzzzzz", bytes);
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibDownloadData(""));
  EXPECT_EQ(DL_ERR_FAILED, DownloadLibDownloadData(nullptr));
}

}  // namespace
