// orba-devserver as the demo and other tests meet it: a child process on free loopback ports,
// reached with plain sockets and httplib clients.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/DevServerProcess.h"

namespace {

using namespace devservertest;

std::string Sha256Hex(const std::string& bytes) {
  unsigned char hash[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), hash, &length, EVP_sha256(), nullptr);
  std::string hex;
  static constexpr char kHex[] = "0123456789abcdef";
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[hash[i] >> 4];
    hex += kHex[hash[i] & 0xf];
  }
  return hex;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

// A TCP connection to 127.0.0.1 with a receive time-out, for the raw exchanges.
class RawConnection {
 public:
  explicit RawConnection(int port) {
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval timeout{30, 0};
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawConnection() { close(socket_); }

  bool Connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    return send(socket_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Exactly `count` bytes, or fewer when the peer closed first.
  std::string Receive(size_t count) {
    std::string bytes;
    char chunk[65536];
    while (bytes.size() < count) {
      ssize_t n = recv(socket_, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
      if (n <= 0) break;
      bytes.append(chunk, static_cast<size_t>(n));
    }
    return bytes;
  }
  std::string ReceiveUntilClosed() { return Receive(SIZE_MAX); }

 private:
  int socket_ = -1;
  bool connected_ = false;
};

class DevServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.Path().empty());
    root_ = folder_.Path() / "root";
    fs::create_directories(root_);
  }

  void StartServer(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--root",      root_.string(),
                                  "--cert-dir",  (folder_.Path() / "tls").string(),
                                  "--relay-log", RelayLog().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(server_.Start(args, folder_.Path() / "server.log"))
        << ReadFile(folder_.Path() / "server.log");
  }

  // Time-outs far above httplib's 5 s: the machine running the suite may be busy.
  httplib::Client Http() {
    httplib::Client client("127.0.0.1", server_.Port("http_url"));
    client.set_read_timeout(30, 0);
    client.set_write_timeout(30, 0);
    return client;
  }
  fs::path RelayLog() const { return folder_.Path() / "relay.log"; }

  TempFolder folder_;
  fs::path root_;
  DevServer server_;
};

TEST_F(DevServerTest, ServesAFileByteExactOverHttpAndHttpsWithItsCa) {
  std::string bytes = PatternBytes(3 * 1024 * 1024 + 17);
  WriteFile(root_ / "data.bin", bytes);
  StartServer();

  auto plain = Http().Get("/data.bin");
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->status, 200);
  EXPECT_TRUE(plain->body == bytes);
  EXPECT_EQ(plain->get_header_value("Content-Length"), std::to_string(bytes.size()));

  ASSERT_FALSE(server_.Value("ca_file").empty());
  httplib::SSLClient secure("127.0.0.1", server_.Port("https_url"));
  secure.set_ca_cert_path(server_.Value("ca_file").c_str());
  secure.enable_server_certificate_verification(true);
  secure.set_read_timeout(30, 0);
  auto tls = secure.Get("/data.bin");
  ASSERT_TRUE(tls) << httplib::to_string(tls.error());
  EXPECT_EQ(tls->status, 200);
  EXPECT_TRUE(tls->body == bytes);
}

TEST_F(DevServerTest, TextIsNeitherCompressedNorChunked) {
  std::string text(100000, 'a');
  WriteFile(root_ / "list.txt", text);
  StartServer();

  auto answer = Http().Get("/list.txt", {{"Accept-Encoding", "gzip, deflate, br"}});
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->status, 200);
  EXPECT_FALSE(answer->has_header("Content-Encoding"));
  EXPECT_FALSE(answer->has_header("Transfer-Encoding"));
  EXPECT_EQ(answer->get_header_value("Content-Length"), "100000");
  EXPECT_EQ(answer->body, text);
}

TEST_F(DevServerTest, AnswersOneRangeWith206AndARangePastTheEndWith416) {
  std::string bytes = PatternBytes(1000);
  WriteFile(root_ / "data.bin", bytes);
  StartServer();
  httplib::Client client = Http();

  auto middle = client.Get("/data.bin", {{"Range", "bytes=100-199"}});
  ASSERT_TRUE(middle);
  EXPECT_EQ(middle->status, 206);
  EXPECT_EQ(middle->get_header_value("Content-Range"), "bytes 100-199/1000");
  EXPECT_EQ(middle->get_header_value("Content-Length"), "100");
  EXPECT_EQ(middle->body, bytes.substr(100, 100));

  auto tail = client.Get("/data.bin", {{"Range", "bytes=990-5000"}});
  ASSERT_TRUE(tail);
  EXPECT_EQ(tail->status, 206);
  EXPECT_EQ(tail->get_header_value("Content-Range"), "bytes 990-999/1000");
  EXPECT_EQ(tail->body, bytes.substr(990));

  auto suffix = client.Get("/data.bin", {{"Range", "bytes=-10"}});
  ASSERT_TRUE(suffix);
  EXPECT_EQ(suffix->status, 206);
  EXPECT_EQ(suffix->body, bytes.substr(990));

  auto past = client.Get("/data.bin", {{"Range", "bytes=1000-"}});
  ASSERT_TRUE(past);
  EXPECT_EQ(past->status, 416);
  EXPECT_EQ(past->get_header_value("Content-Range"), "bytes */1000");
  EXPECT_TRUE(past->body.empty());

  auto head = client.Head("/data.bin");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 200);
  EXPECT_EQ(head->get_header_value("Content-Length"), "1000");
  EXPECT_EQ(head->get_header_value("Accept-Ranges"), "bytes");
  EXPECT_TRUE(head->body.empty());
}

TEST_F(DevServerTest, RedirectChainEndsAtTheFile) {
  WriteFile(root_ / "a.bin", "payload");
  StartServer();
  httplib::Client client = Http();
  int port = server_.Port("http_url");

  auto first = client.Get("/redirect/3/a.bin?x=1");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 302);
  EXPECT_EQ(first->get_header_value("Location"),
            "http://127.0.0.1:" + std::to_string(port) + "/redirect/2/a.bin?x=1");

  client.set_follow_location(true);
  auto followed = client.Get("/redirect/3/a.bin");
  ASSERT_TRUE(followed);
  EXPECT_EQ(followed->status, 200);
  EXPECT_EQ(followed->body, "payload");
}

TEST_F(DevServerTest, StatusRouteAndMissingFiles) {
  StartServer();
  httplib::Client client = Http();
  auto unavailable = client.Get("/status/503");
  ASSERT_TRUE(unavailable);
  EXPECT_EQ(unavailable->status, 503);
  auto missing = client.Get("/nothing.bin");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  WriteFile(folder_.Path() / "outside.txt", "secret");
  auto escape = client.Get("/%2e%2e/outside.txt");
  ASSERT_TRUE(escape);
  EXPECT_EQ(escape->status, 404);
}

TEST_F(DevServerTest, CutClosesTheConnectionAfterTheGivenBodyBytes) {
  WriteFile(root_ / "data.bin", PatternBytes(500000));
  StartServer();
  RawConnection connection(server_.Port("http_url"));
  ASSERT_TRUE(connection.Connected());
  ASSERT_TRUE(connection.Send("GET /cut/1000/data.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  std::string answer = connection.ReceiveUntilClosed();
  size_t headEnd = answer.find("\r\n\r\n");
  ASSERT_NE(headEnd, std::string::npos);
  std::string head = answer.substr(0, headEnd);
  EXPECT_NE(head.find("HTTP/1.1 200"), std::string::npos) << head;
  EXPECT_NE(head.find("Content-Length: 500000"), std::string::npos) << head;
  EXPECT_EQ(answer.size() - headEnd - 4, 1000u);
}

TEST_F(DevServerTest, RatePacesEveryResponse) {
  std::string bytes = PatternBytes(300000);
  WriteFile(root_ / "data.bin", bytes);
  StartServer({"--rate", "200000"});
  Clock::time_point start = Clock::now();
  auto answer = Http().Get("/data.bin");
  auto elapsed = Clock::now() - start;
  ASSERT_TRUE(answer);
  EXPECT_TRUE(answer->body == bytes);
  // 1.5 s of data; the first chunk leaves at once, the last one after 1.45 s.
  EXPECT_GE(elapsed, std::chrono::milliseconds(1300));
}

TEST_F(DevServerTest, SlowRoutePacesOneResponse) {
  WriteFile(root_ / "data.bin", PatternBytes(100000));
  StartServer();
  Clock::time_point start = Clock::now();
  auto answer = Http().Get("/slow/100000/data.bin");
  auto elapsed = Clock::now() - start;
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body.size(), 100000u);
  EXPECT_GE(elapsed, std::chrono::milliseconds(850));
}

// A relay frame: little-endian header {group, type, 6 zero bytes, padded length}, payload padded
// so the whole frame is a multiple of 8.
std::string Frame(uint16_t group, uint16_t type, std::string payload) {
  size_t padding = (8 - (14 + payload.size()) % 8) % 8;
  payload.append(padding, '\0');
  std::string frame;
  auto put = [&frame](uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) frame.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  };
  put(group, 2);
  put(type, 2);
  put(0, 6);
  put(payload.size(), 4);
  return frame + payload;
}

std::string ReportRecord(const std::string& tag, const std::string& url, int64_t received) {
  std::string record(298, '\0');
  record.replace(0, tag.size(), tag);
  record.replace(33, url.size(), url);
  for (int i = 0; i < 8; ++i)
    record[289 + static_cast<size_t>(i)] =
        static_cast<char>((static_cast<uint64_t>(received) >> (8 * i)) & 0xff);
  record[297] = 1;
  return record;
}

TEST_F(DevServerTest, RelayRepliesToAReportAndLogsEachRecord) {
  StartServer();
  ASSERT_EQ(server_.Value("relay_host"), "127.0.0.1");
  RawConnection connection(std::atoi(server_.Value("relay_port").c_str()));
  ASSERT_TRUE(connection.Connected());
  std::string payload("\x02\0\0\0", 4);
  payload += ReportRecord("tag-one", "http://127.0.0.1/a.pak", 8388608) +
             ReportRecord("tag-two", "http://127.0.0.1/b.pak", int64_t{5} << 32);
  std::string frame = Frame(0x0300, 154, payload);
  ASSERT_EQ(frame.size(), 616u);
  // Split mid-header: the server waits for the whole frame.
  ASSERT_TRUE(connection.Send(frame.substr(0, 9)));
  ASSERT_TRUE(connection.Send(frame.substr(9)));

  std::string reply = connection.Receive(16);
  ASSERT_EQ(reply.size(), 16u);
  EXPECT_EQ(reply.substr(0, 14), std::string("\x00\x03\x83\x00\0\0\0\0\0\0\x02\0\0\0", 14));
  EXPECT_EQ(static_cast<uint8_t>(reply[14]), 1);
  EXPECT_EQ(ReadFile(RelayLog()),
            "tag-one\thttp://127.0.0.1/a.pak\t8388608\n"
            "tag-two\thttp://127.0.0.1/b.pak\t21474836480\n");

  // A second report on the same connection is answered too; an unknown frame ends it.
  ASSERT_TRUE(connection.Send(Frame(0x0300, 154, std::string("\0\0\0\0", 4))));
  EXPECT_EQ(connection.Receive(16).size(), 16u);
  ASSERT_TRUE(connection.Send(Frame(0x0300, 130, "x")));
  EXPECT_EQ(connection.ReceiveUntilClosed(), "");
}

TEST_F(DevServerTest, DemoDigestsMatchItsFilesAndTheInstallerIsLast) {
  fs::path demo = folder_.Path() / "demo";
  StartServer({"--demo", demo.string()});
  std::string base = server_.Value("http_url");
  ASSERT_EQ(server_.Value("file_list_url"), base + "filelist.txt");
  ASSERT_EQ(server_.Value("banner_url"), base + "ORBA.gif");

  std::vector<std::string> sums = Lines(ReadFile(demo / "SHA256SUMS"));
  std::vector<std::string> list = Lines(ReadFile(demo / "filelist.txt"));
  ASSERT_GE(list.size(), 4u);
  ASSERT_EQ(sums.size(), list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    ASSERT_GT(sums[i].size(), 66u);
    std::string digest = sums[i].substr(0, 64);
    std::string name = sums[i].substr(66);
    EXPECT_EQ(sums[i].substr(64, 2), "  ");
    EXPECT_EQ(list[i], base + name);
    std::string bytes = ReadFile(demo / name);
    EXPECT_EQ(Sha256Hex(bytes), digest) << name;
    if (i + 1 < list.size()) {
      EXPECT_GE(bytes.size(), 3u * 1024 * 1024) << name;
    }
  }
  EXPECT_EQ(list.back(), base + server_.Value("installer"));

  // The data files over http, byte for byte.
  auto data = Http().Get("/" + sums[0].substr(66));
  ASSERT_TRUE(data);
  EXPECT_EQ(Sha256Hex(data->body), sums[0].substr(0, 64));

  // The installer records that it ran where the variable says.
  fs::path marker = folder_.Path() / "installer-ran";
  std::string command = std::string(server_.Value("installer_marker_variable")) + "='" + marker.string() +
                        "' sh '" + (demo / server_.Value("installer")).string() + "' >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(fs::exists(marker));

  std::string gif = ReadFile(demo / "ORBA.gif");
  ASSERT_GT(gif.size(), 13u);
  EXPECT_EQ(gif.substr(0, 6), "GIF89a");
  EXPECT_EQ(gif.back(), '\x3b');

  // The same bytes on every run: a second deployment has the same digests.
  DevServer second;
  fs::path again = folder_.Path() / "again";
  ASSERT_TRUE(second.Start({"--demo", again.string()}, folder_.Path() / "second.log"));
  EXPECT_EQ(ReadFile(again / "SHA256SUMS"), ReadFile(demo / "SHA256SUMS"));
  EXPECT_EQ(ReadFile(again / "ORBA.gif"), gif);
}

TEST_F(DevServerTest, StopsWithExitCodeZeroOnSigterm) {
  StartServer();
  // A connection held open does not keep it from ending.
  RawConnection idle(server_.Port("http_url"));
  ASSERT_TRUE(idle.Connected());
  EXPECT_EQ(server_.Stop(), 0);
}

}  // namespace
