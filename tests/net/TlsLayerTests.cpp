// The TLS layer and its connection object. First the connection object alone against a TLS server
// over memory, step by step and without sockets (records split between receives, one record per
// step, verification, SNI); then the layer under the HTTP client layer on real loopback
// connections to a TLS server whose certificates the test made (pending writes, split records,
// closes from inside the listener, servers that drop or stall mid-handshake, refused
// certificates, the verification switch).
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/cpCHostAddressBook.h"
#include "core/cpCQoSContext.h"
#include "core/cpLog.h"
#include "core/nvSmartPtr.h"
#include "net/Lib_SSL/COpenSSL.h"
#include "net/Lib_SSL/TlsRuntime.h"
#include "net/nwCHttpClientExLayer.h"
#include "net/nwCSecureSocketClientLayer.h"
#include "net/nwRegisterClasses.h"
#include "platform/Socket.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/HttpLayerRecorder.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/ScopedResolver.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsHttpServer.h"

namespace {

using testsupport::ScopedEnvironment;
using testsupport::TestCertificate;
using testsupport::TestCertificates;
using testsupport::TlsHttpServer;
using testsupport::TlsServerFault;
using testsupport::TlsServerOptions;

std::string Bytes(size_t size, uint32_t seed = 1) { return testsupport::PatternedBytes(size, seed); }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// One certificate authority for the whole program: making keys is cheap, but there is no need.
const TestCertificates& Pki() {
  static const TestCertificates pki;
  return pki;
}

// ---- the connection object over memory ----

// A TLS server over memory BIOs, driven by hand.
// The library's runtime root ends TLS when it is finalised; here the test program plays that part,
// so the trust stores shared by connection objects are freed before the process ends.
class TlsRuntimeEnd final : public ::testing::Environment {
 public:
  void TearDown() override { TlsShutdown(); }
};
[[maybe_unused]] ::testing::Environment* const kTlsRuntimeEnd =
    ::testing::AddGlobalTestEnvironment(new TlsRuntimeEnd);

class MemoryServer {
 public:
  explicit MemoryServer(const TestCertificate& certificate) {
    context_ = SSL_CTX_new(TLS_server_method());
    BIO* certificateBio = BIO_new_mem_buf(certificate.certificatePem.data(),
                                          static_cast<int>(certificate.certificatePem.size()));
    BIO* keyBio = BIO_new_mem_buf(certificate.keyPem.data(), static_cast<int>(certificate.keyPem.size()));
    X509* cert = PEM_read_bio_X509(certificateBio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    SSL_CTX_use_certificate(context_, cert);
    SSL_CTX_use_PrivateKey(context_, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certificateBio);
    BIO_free(keyBio);
    ssl_ = SSL_new(context_);
    input_ = BIO_new(BIO_s_mem());
    output_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, input_, output_);
    SSL_set_accept_state(ssl_);
  }
  ~MemoryServer() {
    SSL_free(ssl_);
    SSL_CTX_free(context_);
  }
  MemoryServer(const MemoryServer&) = delete;
  MemoryServer& operator=(const MemoryServer&) = delete;

  void Feed(const std::string& ciphertext) {
    if (!ciphertext.empty()) BIO_write(input_, ciphertext.data(), static_cast<int>(ciphertext.size()));
  }
  // One handshake step over what was fed; true once the handshake is done.
  bool Handshake() {
    ERR_clear_error();
    int result = SSL_do_handshake(ssl_);
    if (result != 1 && SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ) {
      char line[256];
      ERR_error_string_n(ERR_peek_error(), line, sizeof line);
      error_ = line;
    }
    return result == 1;
  }
  // The ciphertext the server wrote since the last call.
  std::string Take() {
    std::string bytes(BIO_ctrl_pending(output_), '\0');
    if (!bytes.empty()) BIO_read(output_, bytes.data(), static_cast<int>(bytes.size()));
    return bytes;
  }
  // Encrypts `plaintext` as one record and returns its ciphertext.
  std::string Record(const std::string& plaintext) {
    SSL_write(ssl_, plaintext.data(), static_cast<int>(plaintext.size()));
    return Take();
  }
  std::string Read() {
    std::string text;
    char buffer[4096];
    int n;
    while ((n = SSL_read(ssl_, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
    return text;
  }
  // close_notify: the server ends the session in order.
  std::string Shutdown() {
    SSL_shutdown(ssl_);
    return Take();
  }
  std::optional<std::string> ServerName() const {
    const char* name = SSL_get_servername(ssl_, TLSEXT_NAMETYPE_host_name);
    if (name == nullptr) return std::nullopt;
    return std::string(name);
  }
  const std::string& Error() const { return error_; }

 private:
  SSL_CTX* context_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* input_ = nullptr;
  BIO* output_ = nullptr;
  std::string error_;
};

// The connection object with the callbacks a layer gives it, and a receive buffer that keeps
// what a step did not consume, as the connection does.
class MemoryClient {
 public:
  explicit MemoryClient(COpenSSL::Options options) {
    COpenSSL::Callbacks callbacks;
    callbacks.owner = this;
    callbacks.sendDown = [](const char* data, int32_t length, void* self) {
      static_cast<MemoryClient*>(self)->sent_.append(data, static_cast<size_t>(length));
    };
    callbacks.handshakeDone = [](void* self) { static_cast<MemoryClient*>(self)->done = true; };
    callbacks.plaintextUp = [](const char* data, int32_t length, void* self) {
      static_cast<MemoryClient*>(self)->plaintext.append(data, static_cast<size_t>(length));
    };
    tls = COpenSSL::Create(callbacks, cpAddress{}, options);
  }

  // Adds `bytes` to the receive buffer and steps while steps consume; the consumed count of each
  // step goes to `steps`. False when a step failed.
  bool Offer(const std::string& bytes, std::vector<int32_t>* steps = nullptr) {
    buffered_ += bytes;
    while (!buffered_.empty()) {
      int32_t consumed = 0;
      if (!tls->Step(buffered_.data(), static_cast<int32_t>(buffered_.size()), &consumed)) return false;
      if (steps != nullptr) steps->push_back(consumed);
      if (consumed <= 0) break;
      buffered_.erase(0, static_cast<size_t>(consumed));
    }
    return true;
  }
  std::string TakeSent() {
    std::string bytes;
    bytes.swap(sent_);
    return bytes;
  }
  size_t Buffered() const { return buffered_.size(); }

  std::unique_ptr<COpenSSL> tls;
  bool done = false;
  std::string plaintext;

 private:
  std::string sent_;
  std::string buffered_;
};

COpenSSL::Options Trusting(const std::string& host = "localhost") {
  COpenSSL::Options options;
  options.host = host;
  options.verify = true;
  options.caFile = Pki().CaFile();
  return options;
}

// Runs the handshake between the two; false when the client refused.
bool Connect(MemoryClient& client, MemoryServer& server) {
  if (!client.tls || !client.tls->Start()) return false;
  bool serverDone = false;
  for (int round = 0; round < 8 && !(client.done && serverDone); ++round) {
    server.Feed(client.TakeSent());
    serverDone = server.Handshake();
    if (!client.Offer(server.Take())) {
      server.Feed(client.TakeSent());  // the client's alert
      server.Handshake();
      return false;
    }
  }
  server.Feed(client.TakeSent());
  serverDone = server.Handshake() || serverDone;
  return client.done && serverDone;
}

TEST(TlsConnectionObject, HandshakeOverMemoryAndOneRecordPerStep) {
  MemoryServer server(Pki().Issue());
  MemoryClient client(Trusting());
  ASSERT_TRUE(Connect(client, server));
  EXPECT_TRUE(client.tls->HandshakeDone());
  EXPECT_EQ("localhost", server.ServerName().value_or("<none>"));
  // The session tickets the server sends after the handshake are no plaintext.
  ASSERT_TRUE(client.Offer(server.Take()));
  EXPECT_EQ("", client.plaintext);

  std::string first = server.Record("first");
  std::string second = server.Record("second");
  std::vector<int32_t> steps;
  ASSERT_TRUE(client.Offer(first + second, &steps));
  EXPECT_EQ((std::vector<int32_t>{static_cast<int32_t>(first.size()), static_cast<int32_t>(second.size())}),
            steps);
  EXPECT_EQ("firstsecond", client.plaintext);

  ASSERT_TRUE(client.tls->Write("ping", 4));
  server.Feed(client.TakeSent());
  EXPECT_EQ("ping", server.Read());
}

TEST(TlsConnectionObject, RecordSplitAcrossTwoReceivesIsCompletedByTheSecond) {
  MemoryServer server(Pki().Issue());
  MemoryClient client(Trusting());
  ASSERT_TRUE(Connect(client, server));
  ASSERT_TRUE(client.Offer(server.Take()));
  std::string payload = Bytes(1000, 2);
  std::string record = server.Record(payload);
  ASSERT_GT(record.size(), 600u);

  // The record header and the part that came: consumed, nothing decrypted yet.
  std::vector<int32_t> steps;
  ASSERT_TRUE(client.Offer(record.substr(0, 600), &steps));
  EXPECT_EQ(std::vector<int32_t>{600}, steps);
  EXPECT_EQ(0u, client.Buffered());
  EXPECT_EQ("", client.plaintext);

  steps.clear();
  ASSERT_TRUE(client.Offer(record.substr(600), &steps));
  EXPECT_EQ(std::vector<int32_t>{static_cast<int32_t>(record.size() - 600)}, steps);
  EXPECT_TRUE(client.plaintext == payload);
}

TEST(TlsConnectionObject, RecordHeaderSplitByteByByte) {
  MemoryServer server(Pki().Issue());
  MemoryClient client(Trusting());
  ASSERT_TRUE(Connect(client, server));
  ASSERT_TRUE(client.Offer(server.Take()));
  std::string record = server.Record("tiny pieces");
  for (char byte : record) ASSERT_TRUE(client.Offer(std::string(1, byte)));
  EXPECT_EQ("tiny pieces", client.plaintext);
}

TEST(TlsConnectionObject, CertificateOfAnotherHostIsRefused) {
  MemoryServer server(Pki().Issue({"DNS:other.example"}));
  MemoryClient client(Trusting());
  EXPECT_FALSE(Connect(client, server));
  EXPECT_FALSE(client.tls->HandshakeDone());
  EXPECT_TRUE(Contains(client.tls->LastError(), "hostname mismatch")) << client.tls->LastError();
  // The client said so with an alert.
  EXPECT_TRUE(Contains(server.Error(), "alert")) << server.Error();
}

TEST(TlsConnectionObject, SelfSignedCertificateIsRefused) {
  MemoryServer server(Pki().SelfSigned());
  MemoryClient client(Trusting());
  EXPECT_FALSE(Connect(client, server));
  EXPECT_TRUE(Contains(client.tls->LastError(), "self")) << client.tls->LastError();
}

TEST(TlsConnectionObject, TheSystemStoreDoesNotKnowTheTestAuthority) {
  MemoryServer server(Pki().Issue());
  COpenSSL::Options options = Trusting();
  options.caFile.clear();
  MemoryClient client(options);
  EXPECT_FALSE(Connect(client, server));
  EXPECT_TRUE(Contains(client.tls->LastError(), "local issuer")) << client.tls->LastError();
}

TEST(TlsConnectionObject, UnreadableCaFileRefusesAndSaysWhy) {
  MemoryServer server(Pki().Issue());
  COpenSSL::Options options = Trusting();
  options.caFile = Pki().CaFile() + ".missing";
  MemoryClient client(options);
  EXPECT_FALSE(Connect(client, server));
  EXPECT_TRUE(Contains(client.tls->LastError(), "cannot be read")) << client.tls->LastError();
}

TEST(TlsConnectionObject, WithoutVerificationAnyCertificateIsTaken) {
  for (const TestCertificate& certificate : {Pki().SelfSigned(), Pki().Issue({"DNS:other.example"})}) {
    MemoryServer server(certificate);
    COpenSSL::Options options;
    options.host = "localhost";
    options.verify = false;
    MemoryClient client(options);
    ASSERT_TRUE(Connect(client, server));
    EXPECT_EQ("localhost", server.ServerName().value_or("<none>"));
  }
}

TEST(TlsConnectionObject, AnAddressIsCheckedAgainstIpNamesAndSendsNoServerName) {
  {
    MemoryServer server(Pki().Issue());
    MemoryClient client(Trusting("127.0.0.1"));
    ASSERT_TRUE(Connect(client, server));
    EXPECT_FALSE(server.ServerName().has_value());
  }
  MemoryServer server(Pki().Issue({"DNS:localhost"}));
  MemoryClient client(Trusting("127.0.0.1"));
  EXPECT_FALSE(Connect(client, server));
  EXPECT_TRUE(Contains(client.tls->LastError(), "IP address mismatch")) << client.tls->LastError();
}

TEST(TlsConnectionObject, VerificationNeedsAHostName) {
  MemoryClient nameless(Trusting(""));
  EXPECT_EQ(nullptr, nameless.tls) << "nothing to check the certificate's names against";
  COpenSSL::Options off = Trusting("");
  off.verify = false;
  MemoryClient unverified(off);
  EXPECT_NE(nullptr, unverified.tls);
}

TEST(TlsConnectionObject, ServerEndingTheSessionIsAnOrderlyClose) {
  MemoryServer server(Pki().Issue());
  MemoryClient client(Trusting());
  ASSERT_TRUE(Connect(client, server));
  ASSERT_TRUE(client.Offer(server.Take()));
  std::string record = server.Record("last words");
  ASSERT_TRUE(client.Offer(record));
  EXPECT_EQ("last words", client.plaintext);
  EXPECT_FALSE(client.Offer(server.Shutdown()));
  EXPECT_TRUE(client.tls->PeerClosed());
}

TEST(TlsRuntime, TheBioMethodOutlivesShutdownUntilItsLastUserIsGone) {
  auto client = std::make_unique<MemoryClient>(Trusting());
  ASSERT_TRUE(client->tls);
  TlsShutdown();
  // Still usable: its BIOs reach the method while OpenSSL works and when they are freed.
  MemoryServer server(Pki().Issue());
  ASSERT_TRUE(Connect(*client, server));
  client.reset();
  TlsStartup();
  MemoryServer again(Pki().Issue());
  MemoryClient later(Trusting());
  EXPECT_TRUE(Connect(later, again));
}

TEST(TlsRuntime, TrustedCertificatesAreLoadedOncePerSourceAndSharedUntilShutdown) {
  X509_STORE* first = TlsAcquireTrustStore(Pki().CaFile());
  X509_STORE* second = TlsAcquireTrustStore(Pki().CaFile());
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(first, second);
  EXPECT_EQ(nullptr, TlsAcquireTrustStore(Pki().CaFile() + ".missing"));
  TlsShutdown();
  TlsStartup();
  X509_STORE* third = TlsAcquireTrustStore(Pki().CaFile());
  // A reference held across the shutdown still works; the new start loaded afresh.
  EXPECT_NE(first, third);
  EXPECT_NE(nullptr, X509_STORE_get0_objects(first));
  X509_STORE_free(first);
  X509_STORE_free(second);
  X509_STORE_free(third);
}

// ---- the layer on real connections ----

constexpr int32_t kConnectTimeoutSeconds = 4;
constexpr int32_t kIdleLimitSeconds = 4;

std::vector<std::string>& LogLines() {
  static std::vector<std::string> lines;
  return lines;
}
void CaptureLog(const char* message) { LogLines().emplace_back(message); }

using Events = std::vector<std::string>;

// A stand-in for the layer above TLS: writes given blocks when told of the connect (the
// handshake has only begun then) and keeps every plaintext byte passed up. It borrows the class id
// of the agent layer, which these tests do not use; the fixture puts the real class back.
constexpr uint32_t kProbeClassId = CLSID_nwCAgentLayer;
class nvIProbeLayer : public nvIUnknown {};
class ProbeLayer final : public nwTLayer<nvIProbeLayer> {
 public:
  static inline ProbeLayer* last = nullptr;
  std::vector<std::string> onConnected;  // blocks to write in OnConnected
  std::string received;
  bool handshakeDoneAtConnect = true;
  bool closed = false;

  ProbeLayer() {
    Dispatcher().SetRawHandler(&Up, this);
    last = this;
  }
  ~ProbeLayer() override {
    if (last == this) last = nullptr;
  }
  static nvIUnknown* Make() { return Create<ProbeLayer>(); }

  void Send(const std::string& block) {
    cpDataRef data{block.data(), static_cast<int32_t>(block.size())};
    PassDown(&data);
  }
  bool OnConnected() override {
    void* object = nullptr;
    if (!cpFailed(FindLayer(CLSID_nwCSecureSocketClientLayer, &object))) {
      auto* tls = static_cast<nwCSecureSocketClientLayer*>(
          static_cast<nvISecureSocketClientLayer*>(static_cast<nvIUnknown*>(object)));
      handshakeDoneAtConnect = tls->HandshakeDone();
    }
    for (const std::string& block : onConnected) Send(block);
    return true;
  }
  void OnShutdown() override { closed = true; }

 private:
  static int32_t Up(const char* data, int32_t length, void* self) {
    static_cast<ProbeLayer*>(self)->received.append(data, static_cast<size_t>(length));
    return length;
  }
};

class TlsLayerTest : public ::testing::Test {
 protected:
  TlsLayerTest() {
    nwRegisterClasses();
    nvRegisterClass(kProbeClassId, &ProbeLayer::Make);
    LogLines().clear();
    cpSetLogWriter(&CaptureLog);
  }
  ~TlsLayerTest() override {
    if (context) Connection()->Close();
    runtime.Pump();
    cpSetLogWriter(nullptr);
    nwRegisterClasses();
  }

  // An HTTP connection as the sessions open it, with `recorder` listening; sends a GET of `url`.
  cpStatus Get(const std::string& url) {
    EXPECT_TRUE(context.CreateInstance(CLSID_cpCQoSContext));
    nvIHttpClientExLayer* layer =
        testsupport::OpenHttpConnection(Connection(), &recorder, kConnectTimeoutSeconds, kIdleLimitSeconds);
    cpStatus status = layer->OpenUrl(url.c_str());
    layer->SendGet();
    return status;
  }

  // A connection with the probe above TLS, to `port` on localhost.
  ProbeLayer* OpenProbe(uint16_t port, const std::vector<std::string>& onConnected) {
    EXPECT_TRUE(context.CreateInstance(CLSID_cpCQoSContext));
    auto* connection = Connection();
    EXPECT_EQ(CP_S_OK, connection->Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED | QOS_EV_IDLE, nullptr));
    EXPECT_EQ(CP_S_OK, connection->PushLayer(kProbeClassId, false));
    EXPECT_EQ(CP_S_OK, connection->PushLayer(CLSID_nwCSecureSocketClientLayer, true));
    ProbeLayer* probe = ProbeLayer::last;
    probe->onConnected = onConnected;
    cpAddress address{testsupport::LoopbackAddress(), port};
    connection->SetHostName("localhost");
    connection->SetAddress(&address);
    return probe;
  }
  void ConnectProbe(uint16_t port) {
    cpAddress address{testsupport::LoopbackAddress(), port};
    Connection()->Connect(&address);
  }

  cpCQoSContext* Connection() const { return nvCast<cpCQoSContext>(context.Get()); }
  bool PumpUntilEnded(int64_t timeoutMs = 4000) {
    return runtime.PumpUntil([&] { return recorder.Ended(); }, timeoutMs);
  }
  bool PumpUntilComplete(int64_t timeoutMs = 4000) {
    return runtime.PumpUntil([&] { return recorder.Count("complete") > 0 || recorder.Ended(); }, timeoutMs) &&
           recorder.Count("complete") > 0;
  }
  int LogCount(const std::string& part) const {
    return static_cast<int>(std::count_if(LogLines().begin(), LogLines().end(),
                                          [&](const std::string& line) { return Contains(line, part); }));
  }

  // Settings as a fresh installation has them, whatever the environment of the test run.
  ScopedEnvironment verify_{"ORBA_TLS_VERIFY", std::nullopt};
  ScopedEnvironment caFile_{"ORBA_TLS_CA_FILE", std::nullopt};
  testsupport::CoreRuntime runtime{true};
  testsupport::ScopedResolver resolver_{testsupport::ScopedResolver::Only("localhost")};
  testsupport::HttpLayerRecorder recorder;
  nvSmartPtr context;
};

TEST_F(TlsLayerTest, GetOverHttpsIsByteExactAndTheServerSeesTheHostAsServerName) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  std::string body = Bytes(200000, 3);
  server.AddResource("/file.bin", body);
  ASSERT_EQ(NW_S_OK, Get(server.Url("/file.bin")));
  ASSERT_TRUE(PumpUntilComplete());
  EXPECT_EQ(200, recorder.status);
  EXPECT_TRUE(recorder.body == body);
  EXPECT_EQ((Events{"connected", "headers", "complete"}), recorder.Milestones());
  ASSERT_EQ(1, server.ConnectionCount());
  testsupport::TlsServerConnection seen = server.Connection(0);
  EXPECT_TRUE(seen.sentServerName);
  EXPECT_EQ("localhost", seen.serverName);
  ASSERT_EQ(1, server.RequestCount());
  EXPECT_EQ("/file.bin", server.Requests()[0].target);
  EXPECT_EQ("localhost", server.Requests()[0].Header("Host"));
  EXPECT_EQ(0, LogCount("TLS"));
}

TEST_F(TlsLayerTest, DataWrittenBeforeTheHandshakeEndsArrivesAfterItInOrder) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  server.AddResource("/a", "first body");
  server.AddResource("/b", "second");
  // Two pipelined requests cut at odd places: one part before the TCP connect, the rest while
  // the handshake runs.
  std::string requests =
      "GET /a HTTP/1.1\r\nHost: localhost\r\n\r\nGET /b HTTP/1.1\r\nHost: localhost\r\n\r\n";
  ProbeLayer* probe =
      OpenProbe(server.Port(), {requests.substr(10, 25), requests.substr(35, 1), requests.substr(36)});
  probe->Send(requests.substr(0, 10));
  ConnectProbe(server.Port());
  ASSERT_TRUE(runtime.PumpUntil([&] { return Contains(probe->received, "second"); }));
  EXPECT_FALSE(probe->handshakeDoneAtConnect);
  EXPECT_EQ(requests, server.Connection(0).received);
  ASSERT_EQ(2, server.RequestCount());
  EXPECT_EQ("/a", server.Requests()[0].target);
  EXPECT_EQ("/b", server.Requests()[1].target);
  EXPECT_TRUE(Contains(probe->received, "first body"));
  EXPECT_LT(probe->received.find("first body"), probe->received.find("second"));

  // After the handshake a write goes out at once.
  probe->Send("GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n");
  ASSERT_TRUE(server.WaitForRequests(3));
  EXPECT_EQ(requests + "GET /a HTTP/1.1\r\nHost: localhost\r\n\r\n", server.Connection(0).received);
}

TEST_F(TlsLayerTest, RecordsArrivingInTinyTcpPiecesAreReassembled) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsServerOptions options{Pki().Issue()};
  options.pieceBytes = 5;
  options.pauseMs = 1;
  TlsHttpServer server(options);
  std::string body = Bytes(1500, 4);
  server.AddResource("/pieces.bin", body);
  ASSERT_EQ(NW_S_OK, Get(server.Url("/pieces.bin")));
  ASSERT_TRUE(PumpUntilComplete(5000));
  EXPECT_TRUE(recorder.body == body);
  EXPECT_EQ(1, recorder.Count("headers"));
}

TEST_F(TlsLayerTest, LargeRecordsSplitAcrossReceivesAreReassembled) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsServerOptions options{Pki().Issue()};
  options.pieceBytes = 3001;  // records of 16 KiB cut in five or six pieces
  options.pauseMs = 1;
  TlsHttpServer server(options);
  std::string body = Bytes(100000, 5);
  server.AddResource("/big.bin", body);
  ASSERT_EQ(NW_S_OK, Get(server.Url("/big.bin")));
  ASSERT_TRUE(PumpUntilComplete(5000));
  EXPECT_TRUE(recorder.body == body);
}

// Closing from inside OnData runs while SSL_read's step is still on the stack: the TLS object
// must live until the step has returned (AddressSanitizer reports the use otherwise).
TEST_F(TlsLayerTest, ClosingInsideOnDataEndsTheConnectionOnceAndCleanly) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  server.AddResource("/big.bin", Bytes(300000, 6));
  recorder.after = [&](const std::string& event) {
    if (event == "data") Connection()->Close();
  };
  ASSERT_EQ(NW_S_OK, Get(server.Url("/big.bin")));
  ASSERT_TRUE(PumpUntilEnded());
  runtime.Pump();
  EXPECT_EQ((Events{"connected", "headers", "data", "closed"}), recorder.events);
  EXPECT_EQ(0, LogCount("TLS failed"));
}

TEST_F(TlsLayerTest, ClosingInsideOnHeadersStopsTheBodyOfTheSameRecord) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  server.AddResource("/small", "tiny body");
  recorder.after = [&](const std::string& event) {
    if (event == "headers") Connection()->Close();
  };
  ASSERT_EQ(NW_S_OK, Get(server.Url("/small")));
  ASSERT_TRUE(PumpUntilEnded());
  runtime.Pump();
  EXPECT_EQ((Events{"connected", "headers", "closed"}), recorder.events);
}

TEST_F(TlsLayerTest, ServerThatClosesAfterTheClientHelloEndsTheConnection) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsServerOptions options{Pki().Issue()};
  options.fault = TlsServerFault::kCloseAfterClientHello;
  TlsHttpServer server(options);
  ASSERT_EQ(NW_S_OK, Get(server.Url("/x")));
  ASSERT_TRUE(PumpUntilEnded());
  runtime.Pump();
  EXPECT_EQ((Events{"connected", "closed"}), recorder.events);
  EXPECT_TRUE(server.Connection(0).clientHelloRead);
  EXPECT_EQ("localhost", server.Connection(0).serverName);
  EXPECT_EQ(0, server.RequestCount());
}

TEST_F(TlsLayerTest, ServerThatStallsAfterTheClientHelloReachesTheIdleLimit) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsServerOptions options{Pki().Issue()};
  options.fault = TlsServerFault::kStallAfterClientHello;
  TlsHttpServer server(options);
  ASSERT_EQ(NW_S_OK, Get(server.Url("/x")));
  ASSERT_TRUE(runtime.PumpUntil([&] { return server.Connection(0).clientHelloRead; }));
  runtime.Pump();
  EXPECT_EQ(Events{"connected"}, recorder.events);
  runtime.AdvanceSeconds(kIdleLimitSeconds + 2);
  EXPECT_EQ((Events{"connected", "receive-timeout"}), recorder.events);
}

struct RefusedCase {
  const char* name;
  bool trustTestAuthority;
  bool selfSigned;
  std::vector<std::string> names;
  const char* reason;
};

void PrintTo(const RefusedCase& refused, std::ostream* out) { *out << refused.name; }

class TlsRefusalTest : public TlsLayerTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(TlsRefusalTest, CertificateIsRefusedBeforeAnyRequestLeaves) {
  const RefusedCase& refused = GetParam();
  std::optional<ScopedEnvironment> ca;
  if (refused.trustTestAuthority) ca.emplace("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({refused.selfSigned ? Pki().SelfSigned(refused.names) : Pki().Issue(refused.names)});
  server.AddResource("/x", "never");
  ASSERT_EQ(NW_S_OK, Get(server.Url("/x")));
  ASSERT_TRUE(PumpUntilEnded());
  runtime.Pump();
  EXPECT_EQ((Events{"connected", "closed"}), recorder.events);
  EXPECT_EQ("", recorder.body);
  ASSERT_TRUE(server.WaitForFinished(1));
  testsupport::TlsServerConnection seen = server.Connection(0);
  EXPECT_FALSE(seen.handshakeDone);
  EXPECT_EQ("", seen.received);
  EXPECT_TRUE(Contains(seen.handshakeError, "alert")) << seen.handshakeError;
  ASSERT_EQ(1, LogCount("TLS failed : localhost : certificate not accepted"));
  EXPECT_EQ(1, LogCount(refused.reason)) << (LogLines().empty() ? "" : LogLines().back());
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, TlsRefusalTest,
    ::testing::Values(
        RefusedCase{"SelfSignedWithDefaultSettings", false, true, TestCertificates::DefaultNames(), "self"},
        RefusedCase{"OtherHostWithDefaultSettings", false, false, {"DNS:other.example"}, "local issuer"},
        RefusedCase{
            "OtherHostWithTheAuthorityTrusted", true, false, {"DNS:other.example"}, "hostname mismatch"},
        RefusedCase{"SelfSignedWithTheAuthorityTrusted", true, true, TestCertificates::DefaultNames(),
                    "self"}),
    [](const ::testing::TestParamInfo<RefusedCase>& param) { return std::string(param.param.name); });

TEST_F(TlsLayerTest, WithVerificationOffEveryCertificateIsTakenAndOneLineSaysSo) {
  ScopedEnvironment off("ORBA_TLS_VERIFY", "0");
  TlsStartup();  // a library start: the line is written once per start
  for (const TestCertificate& certificate : {Pki().SelfSigned(), Pki().Issue({"DNS:other.example"})}) {
    TlsHttpServer server({certificate});
    server.AddResource("/x", "accepted");
    if (context) Connection()->Close();
    recorder = testsupport::HttpLayerRecorder();
    ASSERT_EQ(NW_S_OK, Get(server.Url("/x")));
    ASSERT_TRUE(PumpUntilComplete());
    EXPECT_EQ("accepted", recorder.body);
    EXPECT_EQ("localhost", server.Connection(0).serverName);
  }
  EXPECT_EQ(1, LogCount("TLS certificate verification is off"));
}

TEST_F(TlsLayerTest, WithVerificationOnAConnectionWithoutAHostNameFailsBeforeTheHandshake) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  ProbeLayer* probe = OpenProbe(server.Port(), {"GET /x HTTP/1.1\r\n\r\n"});
  ASSERT_EQ(CP_S_OK, Connection()->SetHostName(""));
  ConnectProbe(server.Port());
  ASSERT_TRUE(runtime.PumpUntil([&] { return probe->closed; }));
  EXPECT_EQ("", probe->received);
  ASSERT_TRUE(server.WaitForFinished(1));
  EXPECT_FALSE(server.Connection(0).clientHelloRead);
  EXPECT_EQ(0, server.RequestCount());
  EXPECT_EQ(1, LogCount("TLS failed :  : no host name"));
  void* object = nullptr;
  ASSERT_EQ(CP_S_OK, Connection()->FindLayer(CLSID_nwCSecureSocketClientLayer, &object));
  auto* tls = static_cast<nwCSecureSocketClientLayer*>(
      static_cast<nvISecureSocketClientLayer*>(static_cast<nvIUnknown*>(object)));
  EXPECT_TRUE(Contains(tls->LastError(), "no host name")) << tls->LastError();
}

TEST_F(TlsLayerTest, AddressUrlNeedsAnIpNameAndSendsNoServerName) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  server.AddResource("/ip", "by address");
  ASSERT_EQ(NW_S_OK, Get(server.Url("/ip", "127.0.0.1")));
  ASSERT_TRUE(PumpUntilComplete());
  EXPECT_EQ("by address", recorder.body);
  EXPECT_FALSE(server.Connection(0).sentServerName);
}

// An upload: the request head waits for the handshake, and each send-drained event during the
// body asks for the next block, which the layer above writes while OpenSSL is still passing the
// previous ciphertext down.
TEST_F(TlsLayerTest, UploadGoesOutWholeAndInOrder) {
  ScopedEnvironment ca("ORBA_TLS_CA_FILE", Pki().CaFile());
  TlsHttpServer server({Pki().Issue()});
  std::vector<std::string> blocks = {Bytes(20000, 7), Bytes(30000, 8), Bytes(7, 9)};
  int64_t total = 0;
  for (const std::string& block : blocks) total += static_cast<int64_t>(block.size());
  size_t next = 0;
  EXPECT_TRUE(context.CreateInstance(CLSID_cpCQoSContext));
  nvIHttpClientExLayer* layer = testsupport::OpenHttpConnection(Connection(), &recorder);
  recorder.after = [&](const std::string& event) {
    if (event == "ready-to-send" && next < blocks.size()) {
      const std::string& block = blocks[next++];
      layer->SendData(block.data(), static_cast<uint32_t>(block.size()));
    }
  };
  ASSERT_EQ(NW_S_OK, layer->OpenUrl(server.Url("/upload").c_str()));
  ASSERT_EQ(NW_S_OK, layer->SendPost(total));
  std::string body = blocks[0] + blocks[1] + blocks[2];
  ASSERT_TRUE(runtime.PumpUntil(
      [&] {
        std::string received = server.Connection(0).received;
        return Contains(received, body) && received.size() >= 4 &&
               received.compare(received.size() - 4, 4, "--\r\n") == 0;
      },
      4000));
  std::string received = server.Connection(0).received;
  EXPECT_EQ(0u, received.rfind("POST /upload HTTP/1.1\r\n", 0));
  EXPECT_EQ(1, static_cast<int>(std::count(recorder.events.begin(), recorder.events.end(), "connected")));
  EXPECT_EQ(0, LogCount("TLS failed"));
}

}  // namespace
