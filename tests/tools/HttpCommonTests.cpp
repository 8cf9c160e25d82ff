// The code orba-devserver and the test servers share: range answers, path decoding, and an accept
// loop that a stop always ends.
#include <httplib.h>

#include <cstdint>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "tools/httpcommon/ByteRange.h"
#include "tools/httpcommon/ListenerThread.h"

namespace {

using httpcommon::ByteRange;
using Kind = httpcommon::ByteRange::Kind;

TEST(ByteRangeTest, ResolvesOneRangeAgainstTheBodySize) {
  struct Case {
    std::string_view header;
    uint64_t size;
    Kind kind;
    uint64_t first;
    uint64_t last;
  };
  const Case cases[] = {
      {"", 1000, Kind::Whole, 0, 0},
      {"bytes=100-199", 1000, Kind::Partial, 100, 199},
      {"bytes=990-5000", 1000, Kind::Partial, 990, 999},  // an end past the body is cut to it
      {"bytes=990-", 1000, Kind::Partial, 990, 999},
      {"bytes=-10", 1000, Kind::Partial, 990, 999},
      {"bytes=-5000", 1000, Kind::Partial, 0, 999},
      {"Bytes = 5 - 9", 1000, Kind::Partial, 5, 9},
      {"bytes=0-99999999999999999999999", 1000, Kind::Partial, 0, 999},  // saturates, never wraps
      {"bytes=1000-", 1000, Kind::Unsatisfiable, 0, 0},
      {"bytes=99999999999999999999999-", 1000, Kind::Unsatisfiable, 0, 0},
      {"bytes=-0", 1000, Kind::Unsatisfiable, 0, 0},
      {"bytes=0-", 0, Kind::Unsatisfiable, 0, 0},
      {"bytes=-5", 0, Kind::Unsatisfiable, 0, 0},
      {"bytes=0-1,5-9", 1000, Kind::Whole, 0, 0},
      {"items=0-9", 1000, Kind::Whole, 0, 0},
      {"bytes=9-5", 1000, Kind::Whole, 0, 0},
      {"bytes=a-b", 1000, Kind::Whole, 0, 0},
      {"bytes=5", 1000, Kind::Whole, 0, 0},
      {"bytes=-", 1000, Kind::Whole, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.header) + " of " + std::to_string(c.size));
    ByteRange range = httpcommon::ResolveRange(c.header, c.size);
    EXPECT_EQ(range.kind, c.kind);
    if (c.kind == Kind::Partial) {
      EXPECT_EQ(range.first, c.first);
      EXPECT_EQ(range.last, c.last);
    }
  }
}

TEST(PercentDecodeTest, DecodesOnlyCompleteEscapes) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"/a%20b", "/a b"}, {"/%2e%2E/x", "/../x"}, {"%41%42", "AB"},
      {"/100%", "/100%"}, {"/%4", "/%4"},         {"/%zz%4g", "/%zz%4g"},
      {"/a+b", "/a+b"},   {"/%%41", "/%A"},       {"/%00x", {"/\0x", 3}},
      {"", ""},
  };
  for (const auto& [encoded, decoded] : cases) {
    SCOPED_TRACE(std::string(encoded));
    EXPECT_EQ(httpcommon::PercentDecode(encoded), decoded);
  }
}

// A stop that comes at once after the start, before the accept loop had a chance to run, still
// ends the loop (cpp-httplib's own stop() is lost then and the join never returns).
TEST(ListenerThreadTest, StopRightAfterStartAlwaysEndsTheLoop) {
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    httplib::Server server;
    ASSERT_GT(server.bind_to_any_port("127.0.0.1"), 0);
    httpcommon::ListenerThread listener;
    listener.Stop();  // before Start: nothing to stop
    listener.Start(server);
    EXPECT_TRUE(server.is_running());
    listener.Stop();
    EXPECT_FALSE(server.is_running());
    listener.Stop();  // again: nothing left to do
  }
}

TEST(ListenerThreadTest, ServesBetweenStartAndStopWithTheServersOwnTaskQueue) {
  httplib::Server server;
  int queues = 0;
  server.new_task_queue = [&queues] {
    ++queues;
    return new httplib::ThreadPool(2);
  };
  server.Get("/ping", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("pong", "text/plain");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  ASSERT_GT(port, 0);
  httpcommon::ListenerThread listener;
  listener.Start(server);
  EXPECT_EQ(queues, 1);

  httplib::Client client("127.0.0.1", port);
  client.set_read_timeout(30, 0);
  auto answer = client.Get("/ping");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_EQ(answer->body, "pong");
  client.stop();
  listener.Stop();
  EXPECT_FALSE(server.is_running());
}

}  // namespace
