// Socket primitives, the status mapping, readiness notices through a real loopback socket (with
// their one-shot re-enabling rules) and the notification window's turning of notices into
// manager events.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "core/cpCQoS.h"
#include "core/cpCQoSContext.h"
#include "core/cpSocket.h"
#include "tests/core/QoSTestSupport.h"
#include "tests/support/CoreRuntime.h"
#include "tests/support/ScriptedServer.h"

namespace {

using qostest::FakeLayer;
using qostest::LayerLog;
using qostest::Loopback;
using testsupport::Gate;
using testsupport::Script;
using testsupport::ScriptedServer;
using Log = std::vector<std::string>;

// Closes a record (and its socket) at the end of a test.
struct RecordCloser {
  void operator()(cpSocketRecord* record) const {
    if (record != nullptr) cpSocketClose(record);
  }
};
using RecordPtr = std::unique_ptr<cpSocketRecord, RecordCloser>;

RecordPtr NewStreamSocket() {
  cpSocketRecord* record = nullptr;
  EXPECT_EQ(CP_S_OK, cpSocketCreate(&record, 0));
  return RecordPtr(record);
}

bool IsOpenDescriptor(int fd) { return fcntl(fd, F_GETFD) != -1; }

uint16_t LocalPort(int fd) {
  sockaddr_in local{};
  socklen_t length = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
  return ntohs(local.sin_port);
}

// ---- status mapping ----

struct ErrorCase {
  int error;
  cpStatus status;
};

void PrintTo(const ErrorCase& c, std::ostream* out) {
  *out << "Error";
  if (c.error < 0) *out << "Minus";
  *out << (c.error < 0 ? -c.error : c.error);
}

class SocketStatusTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(SocketStatusTest, PlatformErrorMapsToStatus) {
  EXPECT_EQ(GetParam().status, cpSocketStatusFromError(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(Table, SocketStatusTest,
                         ::testing::Values(ErrorCase{10035, CP_E_WOULDBLOCK},
                                           ErrorCase{10036, CP_E_INPROGRESS}, ErrorCase{10037, CP_E_ALREADY},
                                           ErrorCase{10038, CP_E_NOTSOCK}, ErrorCase{10055, CP_E_NOBUFS},
                                           ErrorCase{10061, CP_E_REFUSED}, ErrorCase{0, CP_E_FAIL},
                                           ErrorCase{10054, CP_E_FAIL}, ErrorCase{10060, CP_E_FAIL},
                                           ErrorCase{10065, CP_E_FAIL}, ErrorCase{-1, CP_E_FAIL}));

struct ErrnoCase {
  int error;
  int winsock;
};

void PrintTo(const ErrnoCase& c, std::ostream* out) { *out << "Errno" << c.error << "_Winsock" << c.winsock; }

class SocketErrnoTest : public ::testing::TestWithParam<ErrnoCase> {};

TEST_P(SocketErrnoTest, ErrnoMapsToWinsockNumber) {
  EXPECT_EQ(GetParam().winsock, platform::SocketErrorFromErrno(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(Table, SocketErrnoTest,
                         ::testing::Values(ErrnoCase{0, 0}, ErrnoCase{EAGAIN, 10035},
                                           // A non-blocking connect under way answers would-block.
                                           ErrnoCase{EINPROGRESS, 10035}, ErrnoCase{EALREADY, 10037},
                                           ErrnoCase{EBADF, 10038}, ErrnoCase{ENOTSOCK, 10038},
                                           ErrnoCase{ENOBUFS, 10055}, ErrnoCase{ECONNREFUSED, 10061},
                                           ErrnoCase{EHOSTUNREACH, 10065}, ErrnoCase{ENETUNREACH, 10065},
                                           ErrnoCase{ETIMEDOUT, 10060}, ErrnoCase{ECONNRESET, 10054},
                                           ErrnoCase{EPIPE, 10054}));

// ---- primitives ----

TEST(SocketPrimitiveTest, AllocateAnswersByTheRecordsHandle) {
  cpSocketRecord* record = nullptr;
  ASSERT_EQ(CP_S_OK, cpSocketAllocate(&record));
  ASSERT_NE(nullptr, record);
  RecordPtr owner(record);
  EXPECT_EQ(0, record->kind);
  EXPECT_EQ(0u, record->nonBlocking);
  EXPECT_EQ(nullptr, record->window);
  // No socket in it yet.
  EXPECT_EQ(CP_E_FAIL, cpSocketAllocate(&record));
  record->handle = platform::kInvalidSocket;
  EXPECT_EQ(CP_E_NOTSOCK, cpSocketAllocate(&record));
  EXPECT_EQ(CP_E_NOTSOCK, cpSocketCheck(record));
  EXPECT_EQ(CP_E_BADRECORD, cpSocketCheck(nullptr));
}

TEST(SocketPrimitiveTest, CreateOnARecordWithASocketKeepsIt) {
  RecordPtr record = NewStreamSocket();
  cpSocketRecord* raw = record.get();
  int handle = raw->handle;
  ASSERT_TRUE(IsOpenDescriptor(handle));
  EXPECT_EQ(CP_E_EXISTS, cpSocketCreate(&raw, 0));
  EXPECT_EQ(record.get(), raw);
  EXPECT_EQ(handle, raw->handle);
  EXPECT_TRUE(IsOpenDescriptor(handle));
  EXPECT_EQ(CP_E_EXISTS, cpSocketCreate(&raw, 1));
  EXPECT_EQ(0, raw->kind);
  EXPECT_EQ(CP_E_EXISTS, cpSocketAllocate(&raw));
}

TEST(SocketPrimitiveTest, StreamSocketResetsOnClose) {
  RecordPtr record = NewStreamSocket();
  EXPECT_EQ(0, record->kind);
  linger value{};
  socklen_t length = sizeof value;
  ASSERT_EQ(0, getsockopt(record->handle, SOL_SOCKET, SO_LINGER, &value, &length));
  EXPECT_EQ(1, value.l_onoff);
  EXPECT_EQ(0, value.l_linger);
  int type = 0;
  length = sizeof type;
  getsockopt(record->handle, SOL_SOCKET, SO_TYPE, &type, &length);
  EXPECT_EQ(SOCK_STREAM, type);
}

TEST(SocketPrimitiveTest, CreateMakesADatagramSocketOrNoneForOtherKinds) {
  cpSocketRecord* datagram = nullptr;
  ASSERT_EQ(CP_S_OK, cpSocketCreate(&datagram, 1));
  RecordPtr datagramOwner(datagram);
  int type = 0;
  socklen_t length = sizeof type;
  getsockopt(datagram->handle, SOL_SOCKET, SO_TYPE, &type, &length);
  EXPECT_EQ(SOCK_DGRAM, type);
  EXPECT_EQ(1, datagram->kind);

  cpSocketRecord* other = nullptr;
  ASSERT_EQ(CP_S_OK, cpSocketCreate(&other, 7));
  RecordPtr otherOwner(other);
  EXPECT_EQ(7, other->kind);
  EXPECT_EQ(CP_E_FAIL, cpSocketAllocate(&other));  // still no socket
  // A later create makes the socket in the existing record.
  ASSERT_EQ(CP_S_OK, cpSocketCreate(&other, 0));
  EXPECT_EQ(otherOwner.get(), other);
  EXPECT_TRUE(IsOpenDescriptor(other->handle));
}

TEST(SocketPrimitiveTest, CreateInARecordWhoseCreationFailedMakesTheSocket) {
  cpSocketRecord* record = nullptr;
  ASSERT_EQ(CP_S_OK, cpSocketAllocate(&record));
  RecordPtr owner(record);
  record->handle = platform::kInvalidSocket;
  ASSERT_EQ(CP_S_OK, cpSocketCreate(&record, 0));
  EXPECT_EQ(owner.get(), record);
  EXPECT_TRUE(IsOpenDescriptor(record->handle));
}

TEST(SocketPrimitiveTest, BlockingSwitchSetsTheFlagAndTheDescriptor) {
  RecordPtr record = NewStreamSocket();
  EXPECT_EQ(CP_S_OK, cpSocketSetBlocking(record.get(), false));
  EXPECT_EQ(1u, record->nonBlocking);
  EXPECT_NE(0, fcntl(record->handle, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(CP_S_OK, cpSocketSetBlocking(record.get(), true));
  EXPECT_EQ(0u, record->nonBlocking);
  EXPECT_EQ(0, fcntl(record->handle, F_GETFL) & O_NONBLOCK);
}

TEST(SocketPrimitiveTest, ConnectSendAndReceiveOverLoopback) {
  ScriptedServer server(Script().ReadBytes(5).Send("world").Stall());
  RecordPtr record = NewStreamSocket();
  cpAddress address = Loopback(server.Port());
  ASSERT_EQ(CP_S_OK, cpSocketConnect(record.get(), &address));
  EXPECT_EQ(address.port, record->socketAddress.port);
  EXPECT_EQ(16, record->addressLength);
  int32_t sent = 0;
  ASSERT_EQ(CP_S_OK, cpSocketSend(record.get(), "hello", 5, &sent));
  EXPECT_EQ(5, sent);
  ASSERT_TRUE(qostest::WaitForUnread(record->handle, 5));
  char buffer[16] = {};
  int32_t received = 0;
  ASSERT_EQ(CP_S_OK, cpSocketReceive(record.get(), buffer, sizeof buffer, &received));
  EXPECT_EQ("world", std::string(buffer, static_cast<size_t>(received)));
  ASSERT_TRUE(server.WaitForConnections(1));
  EXPECT_TRUE(testsupport::WaitUntil([&] { return server.Received(0) == "hello"; }));
}

TEST(SocketPrimitiveTest, NonBlockingReceiveWithNothingWaitingWouldBlock) {
  ScriptedServer server(Script().Stall());
  RecordPtr record = NewStreamSocket();
  cpAddress address = Loopback(server.Port());
  ASSERT_EQ(CP_S_OK, cpSocketConnect(record.get(), &address));
  ASSERT_EQ(CP_S_OK, cpSocketSetBlocking(record.get(), false));
  char buffer[8];
  int32_t received = 0;
  EXPECT_EQ(CP_E_WOULDBLOCK, cpSocketReceive(record.get(), buffer, sizeof buffer, &received));
  EXPECT_EQ(-1, received);
}

TEST(SocketPrimitiveTest, ReceiveOfZeroBytesAfterThePeerClosedIsAFailure) {
  ScriptedServer server(Script().Send("ab").Close());
  RecordPtr record = NewStreamSocket();
  cpAddress address = Loopback(server.Port());
  ASSERT_EQ(CP_S_OK, cpSocketConnect(record.get(), &address));
  ASSERT_TRUE(server.WaitForFinished(1));
  char buffer[8];
  int32_t received = 0;
  ASSERT_EQ(CP_S_OK, cpSocketReceive(record.get(), buffer, sizeof buffer, &received));
  EXPECT_EQ(2, received);
  EXPECT_EQ(CP_E_FAIL, cpSocketReceive(record.get(), buffer, sizeof buffer, &received));
  EXPECT_EQ(0, received);
}

TEST(SocketPrimitiveTest, ConnectToAClosedPortIsRefused) {
  testsupport::ClosedPort closed;
  RecordPtr blocking = NewStreamSocket();
  cpAddress address = Loopback(closed.Port());
  EXPECT_EQ(CP_E_REFUSED, cpSocketConnect(blocking.get(), &address));
  // Non-blocking, the answer comes later; the call says would-block.
  RecordPtr nonBlocking = NewStreamSocket();
  ASSERT_EQ(CP_S_OK, cpSocketSetBlocking(nonBlocking.get(), false));
  EXPECT_EQ(CP_E_WOULDBLOCK, cpSocketConnect(nonBlocking.get(), &address));
}

// The operations no part of the library uses, in one place: a TCP listener that accepts over
// loopback, and a datagram pair with the broadcast option.
TEST(SocketPrimitiveTest, ObjectFormListensAcceptsAndExchangesDatagrams) {
  nvSmartPtr listenerObject;
  ASSERT_TRUE(listenerObject.CreateInstance(CLSID_cpCSocket));
  auto* listener = nvCast<cpCSocket>(listenerObject.Get());
  ASSERT_EQ(CP_S_OK, listener->Create(0));
  cpAddress any = Loopback(0);
  ASSERT_EQ(CP_S_OK, listener->Bind(&any));
  ASSERT_EQ(CP_S_OK, listener->Listen());
  uint16_t port = LocalPort(listener->Record()->handle);
  ASSERT_NE(0, port);

  nvSmartPtr clientObject;
  ASSERT_TRUE(clientObject.CreateInstance(CLSID_cpCSocket));
  auto* client = nvCast<cpCSocket>(clientObject.Get());
  ASSERT_EQ(CP_S_OK, client->Create(0));
  cpAddress target = Loopback(port);
  ASSERT_EQ(CP_S_OK, client->Connect(&target));

  cpAddress peer;
  cpStatus status = CP_E_FAIL;
  cpSocketRecord* accepted = listener->Accept(&peer, &status);
  ASSERT_EQ(CP_S_OK, status);
  ASSERT_NE(nullptr, accepted);
  RecordPtr acceptedOwner(accepted);
  EXPECT_EQ(0, accepted->kind);
  EXPECT_EQ(htonl(INADDR_LOOPBACK), peer.address);
  // The peer's port as the socket address holds it: network byte order.
  EXPECT_EQ(htons(LocalPort(client->Record()->handle)), peer.port);
  linger value{};
  socklen_t length = sizeof value;
  getsockopt(accepted->handle, SOL_SOCKET, SO_LINGER, &value, &length);
  EXPECT_EQ(1, value.l_onoff);

  int32_t sent = 0;
  ASSERT_EQ(CP_S_OK, client->Send("ping", 4, &sent));
  ASSERT_TRUE(qostest::WaitForUnread(accepted->handle, 4));
  char buffer[16];
  int32_t received = 0;
  ASSERT_EQ(CP_S_OK, cpSocketReceive(accepted, buffer, sizeof buffer, &received));
  EXPECT_EQ("ping", std::string(buffer, static_cast<size_t>(received)));

  EXPECT_EQ(CP_E_BADRECORD, cpSocketAccept(listener->Record(), &peer, nullptr));
  EXPECT_EQ(CP_S_OK, client->Close());
  EXPECT_EQ(nullptr, client->Record());

  // Datagrams: send-to and receive-from, and the broadcast option.
  nvSmartPtr receiverObject;
  ASSERT_TRUE(receiverObject.CreateInstance(CLSID_cpCSocket));
  auto* receiver = nvCast<cpCSocket>(receiverObject.Get());
  ASSERT_EQ(CP_S_OK, receiver->Create(1));
  ASSERT_EQ(CP_S_OK, receiver->Bind(&any));
  port = LocalPort(receiver->Record()->handle);

  nvSmartPtr senderObject;
  ASSERT_TRUE(senderObject.CreateInstance(CLSID_cpCSocket));
  auto* sender = nvCast<cpCSocket>(senderObject.Get());
  ASSERT_EQ(CP_S_OK, sender->Create(1));
  EXPECT_EQ(CP_S_OK, sender->SetOption(0));
  EXPECT_EQ(CP_E_FAIL, sender->SetOption(1));
  int broadcast = 0;
  length = sizeof broadcast;
  getsockopt(sender->Record()->handle, SOL_SOCKET, SO_BROADCAST, &broadcast, &length);
  EXPECT_NE(0, broadcast);

  target = Loopback(port);
  sent = 0;
  ASSERT_EQ(CP_S_OK, sender->SendTo("datagram", 8, &target, &sent));
  EXPECT_EQ(8, sent);
  EXPECT_EQ(port, sender->Record()->socketAddress.port);

  cpAddress from;
  from.address = 0x01020304;
  from.port = 77;
  ASSERT_EQ(CP_S_OK, receiver->ReceiveFrom(buffer, sizeof buffer, &from, &received));
  EXPECT_EQ("datagram", std::string(buffer, static_cast<size_t>(received)));
  // The sender, with its port in host byte order; the record kept what `from` held before.
  EXPECT_EQ(htonl(INADDR_LOOPBACK), from.address);
  EXPECT_EQ(LocalPort(sender->Record()->handle), from.port);
  EXPECT_EQ(0x01020304u, receiver->Record()->socketAddress.address);
  EXPECT_EQ(77, receiver->Record()->socketAddress.port);

  EXPECT_EQ(CP_E_BADRECORD, receiver->ReceiveFrom(buffer, sizeof buffer, nullptr, &received));
  EXPECT_EQ(CP_E_BADRECORD, cpSocketSendTo(nullptr, "x", 1, &target, &sent));
  EXPECT_EQ(CP_E_BADRECORD, cpSocketReceiveFrom(nullptr, buffer, sizeof buffer, &from, &received));
}

TEST(SocketPrimitiveTest, AcceptWithNothingPendingGivesNoRecord) {
  nvSmartPtr listenerObject;
  ASSERT_TRUE(listenerObject.CreateInstance(CLSID_cpCSocket));
  auto* listener = nvCast<cpCSocket>(listenerObject.Get());
  ASSERT_EQ(CP_S_OK, listener->Create(0));
  cpAddress any = Loopback(0);
  ASSERT_EQ(CP_S_OK, listener->Bind(&any));
  ASSERT_EQ(CP_S_OK, listener->Listen());
  ASSERT_EQ(CP_S_OK, cpSocketSetBlocking(listener->Record(), false));
  cpStatus status = CP_S_OK;
  cpAddress peer;
  EXPECT_EQ(nullptr, listener->Accept(&peer, &status));
  EXPECT_EQ(CP_E_WOULDBLOCK, status);
}

TEST(SocketPrimitiveTest, UnselectNeedsASelectedRecord) {
  RecordPtr record = NewStreamSocket();
  cpNotifyWindowRecord window;
  window.window = 0;
  int32_t slot = 9;
  record->slot = -1;
  EXPECT_EQ(CP_E_FAIL, cpSocketUnselect(&window, record.get(), &slot));
  EXPECT_EQ(-1, slot);
  record->slot = 12;
  slot = 0;
  cpSocketUnselect(&window, record.get(), &slot);
  EXPECT_EQ(12, slot);
  EXPECT_EQ(-1, record->slot);
  // Without a window the socket cannot be re-armed.
  EXPECT_EQ(CP_E_FAIL, cpSocketRearm(record.get()));
}

TEST(SocketPrimitiveTest, ByteOrderResolutionAndStartUp) {
  uint16_t value = 0;
  EXPECT_EQ(CP_S_OK, cpHtons(0x1234, &value));
  EXPECT_EQ(htons(0x1234), value);
  EXPECT_EQ(CP_S_OK, cpNtohs(htons(0x1234), &value));
  EXPECT_EQ(0x1234, value);
  uint32_t address = 0;
  EXPECT_EQ(CP_S_OK, cpResolveHost("127.0.0.1", &address));
  EXPECT_EQ(htonl(INADDR_LOOPBACK), address);
  EXPECT_EQ(CP_E_FAIL, cpResolveHost("", &address));
  std::vector<uint32_t> all{7};
  EXPECT_EQ(CP_S_OK, cpResolveHostAll("127.0.0.2", &all));
  ASSERT_EQ(2u, all.size());
  EXPECT_EQ(7u, all[0]);
  EXPECT_EQ(htonl(0x7F000002), all[1]);
  EXPECT_EQ(NW_S_OK, cpNetStartup());
  EXPECT_EQ(NW_S_OK, cpNetCleanup());
}

// ---- readiness through a real socket ----

// A window of the test thread that records the readiness notices it is sent.
class NoticeWindow {
 public:
  struct Notice {
    uint32_t message;
    uintptr_t socket;
    uint32_t notice;
    int32_t error;
  };

  NoticeWindow() { record_.window = platform::CreateMessageWindow(&NoticeWindow::Procedure, this); }
  ~NoticeWindow() { platform::DestroyMessageWindow(record_.window); }

  cpNotifyWindowRecord* Record() { return &record_; }
  const std::vector<Notice>& Notices() const { return notices_; }
  int Count(uint32_t notice) const {
    int count = 0;
    for (const Notice& entry : notices_) count += entry.notice == notice ? 1 : 0;
    return count;
  }
  std::vector<uint32_t> Kinds() const {
    std::vector<uint32_t> kinds;
    for (const Notice& entry : notices_) kinds.push_back(entry.notice);
    return kinds;
  }

 private:
  static intptr_t Procedure(void* context, platform::WindowHandle /*window*/, uint32_t message,
                            uintptr_t wParam, intptr_t lParam) {
    auto* self = static_cast<NoticeWindow*>(context);
    auto bits = static_cast<uint32_t>(lParam);
    self->notices_.push_back(Notice{message, wParam, bits & 0xFFFFu, static_cast<int32_t>(bits >> 16)});
    return 0;
  }

  cpNotifyWindowRecord record_;
  std::vector<Notice> notices_;
};

class SocketReadinessTest : public ::testing::Test {
 protected:
  static constexpr int32_t kSlot = 5;

  // A non-blocking stream socket whose notices come to the test window as slot kSlot.
  RecordPtr SelectedSocket() {
    RecordPtr record = NewStreamSocket();
    EXPECT_EQ(CP_S_OK, cpSocketSetBlocking(record.get(), false));
    EXPECT_EQ(CP_S_OK, cpSocketSelect(window_.Record(), record.get(), kSlot));
    return record;
  }

  // Connects and waits for the connect and first write notices.
  RecordPtr ConnectedSocket(uint16_t port) {
    RecordPtr record = SelectedSocket();
    cpAddress address = Loopback(port);
    EXPECT_EQ(CP_E_WOULDBLOCK, cpSocketConnect(record.get(), &address));
    EXPECT_TRUE(runtime_.PumpUntil([&] { return window_.Count(platform::kFdWrite) == 1; }));
    return record;
  }

  std::string ReceiveUpTo(cpSocketRecord* record, int32_t size) {
    std::string bytes(static_cast<size_t>(size), '\0');
    int32_t received = 0;
    EXPECT_EQ(CP_S_OK, cpSocketReceive(record, bytes.data(), size, &received));
    bytes.resize(static_cast<size_t>(std::max(received, 0)));
    return bytes;
  }

  testsupport::CoreRuntime runtime_;
  NoticeWindow window_;
};

TEST_F(SocketReadinessTest, ConnectIsReportedOnceThenTheSocketIsWritable) {
  ScriptedServer server(Script().Stall());
  RecordPtr record = ConnectedSocket(server.Port());
  ASSERT_EQ(2u, window_.Notices().size());
  EXPECT_EQ(platform::kFdConnect, window_.Notices()[0].notice);
  EXPECT_EQ(0, window_.Notices()[0].error);
  EXPECT_EQ(platform::kFdWrite, window_.Notices()[1].notice);
  for (const NoticeWindow::Notice& notice : window_.Notices()) {
    EXPECT_EQ(CP_MSG_SOCKET_FIRST + kSlot, notice.message);
    EXPECT_EQ(static_cast<uintptr_t>(record->handle), notice.socket);
  }
  EXPECT_EQ(kSlot, record->slot);
  EXPECT_EQ(window_.Record(), record->window);
  // Neither is repeated while nothing re-enables it.
  runtime_.Pump();
  runtime_.Pump();
  EXPECT_EQ(2u, window_.Notices().size());
}

TEST_F(SocketReadinessTest, AnUnconnectedSocketReportsNothing) {
  RecordPtr record = SelectedSocket();
  runtime_.Pump();
  EXPECT_TRUE(window_.Notices().empty());
}

TEST_F(SocketReadinessTest, ReadIsNotRepeatedUntilAReceive) {
  Gate more;
  Gate sent;
  ScriptedServer server(Script().Send("abc").WaitFor(more).Send("def").Notify(sent).Stall());
  RecordPtr record = ConnectedSocket(server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return window_.Count(platform::kFdRead) == 1; }));
  more.Open();
  ASSERT_TRUE(sent.WaitOpen());
  ASSERT_TRUE(qostest::WaitForUnread(record->handle, 6));
  runtime_.Pump();
  EXPECT_EQ(1, window_.Count(platform::kFdRead)) << "no second notice before a receive";

  // A receive that leaves bytes behind re-enables the notice, and it comes at once.
  EXPECT_EQ("ab", ReceiveUpTo(record.get(), 2));
  runtime_.Pump();
  EXPECT_EQ(2, window_.Count(platform::kFdRead));

  // A receive that takes the rest re-enables it too, but nothing is readable any more.
  EXPECT_EQ("cdef", ReceiveUpTo(record.get(), 64));
  runtime_.Pump();
  EXPECT_EQ(2, window_.Count(platform::kFdRead));
  EXPECT_EQ(0, window_.Count(platform::kFdClose));
}

TEST_F(SocketReadinessTest, WriteIsReportedAgainOnlyAfterASendThatWouldBlock) {
  Gate drain;
  ScriptedServer server(Script().WaitFor(drain).ReadToEnd());
  RecordPtr record = ConnectedSocket(server.Port());
  int32_t sent = 0;
  ASSERT_EQ(CP_S_OK, cpSocketSend(record.get(), "small", 5, &sent));
  runtime_.Pump();
  EXPECT_EQ(1, window_.Count(platform::kFdWrite)) << "still writable, but not reported again";

  std::string chunk(65536, 'x');
  cpStatus status = CP_S_OK;
  for (int i = 0; i < 4096 && status == CP_S_OK; ++i) {
    status = cpSocketSend(record.get(), chunk.data(), static_cast<int32_t>(chunk.size()), &sent);
  }
  ASSERT_EQ(CP_E_WOULDBLOCK, status);
  drain.Open();
  EXPECT_TRUE(runtime_.PumpUntil([&] { return window_.Count(platform::kFdWrite) == 2; }));
  runtime_.Pump();
  EXPECT_EQ(2, window_.Count(platform::kFdWrite));
}

TEST_F(SocketReadinessTest, CloseFollowsTheLastUnreadByteAfterAHalfClose) {
  Gate closed;
  ScriptedServer server(Script().Send("hello").HalfClose().Notify(closed).Stall());
  RecordPtr record = ConnectedSocket(server.Port());
  ASSERT_TRUE(closed.WaitOpen());
  ASSERT_TRUE(testsupport::WaitUntil([&] {
    pollfd entry{record->handle, POLLRDHUP, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLRDHUP) != 0;
  }));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return window_.Count(platform::kFdRead) == 1; }));
  runtime_.Pump();
  EXPECT_EQ(0, window_.Count(platform::kFdClose)) << "five bytes are still unread";

  EXPECT_EQ("he", ReceiveUpTo(record.get(), 2));
  runtime_.Pump();
  EXPECT_EQ(2, window_.Count(platform::kFdRead));
  EXPECT_EQ(0, window_.Count(platform::kFdClose)) << "three bytes are still unread";

  EXPECT_EQ("llo", ReceiveUpTo(record.get(), 3));
  runtime_.Pump();
  ASSERT_EQ(1, window_.Count(platform::kFdClose));
  EXPECT_EQ(platform::kFdClose, window_.Notices().back().notice);
  EXPECT_EQ(0, window_.Notices().back().error);
  EXPECT_EQ(2, window_.Count(platform::kFdRead));

  // The end of the stream: zero bytes, which is not a success.
  char buffer[4];
  int32_t received = -5;
  EXPECT_EQ(CP_E_FAIL, cpSocketReceive(record.get(), buffer, sizeof buffer, &received));
  EXPECT_EQ(0, received);
  runtime_.Pump();
  EXPECT_EQ(1, window_.Count(platform::kFdClose)) << "reported once";
}

TEST_F(SocketReadinessTest, AResetIsReportedAsClose) {
  Gate reset;
  ScriptedServer server(Script().WaitFor(reset).Reset());
  RecordPtr record = ConnectedSocket(server.Port());
  reset.Open();
  ASSERT_TRUE(runtime_.PumpUntil([&] { return window_.Count(platform::kFdClose) == 1; }));
  EXPECT_EQ(platform::kSockConnectionReset, window_.Notices().back().error);
  runtime_.Pump();
  EXPECT_EQ(1, window_.Count(platform::kFdClose));
}

TEST_F(SocketReadinessTest, ARefusedConnectIsReportedWithItsError) {
  testsupport::ClosedPort closed;
  RecordPtr record = SelectedSocket();
  cpAddress address = Loopback(closed.Port());
  ASSERT_EQ(CP_E_WOULDBLOCK, cpSocketConnect(record.get(), &address));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return !window_.Notices().empty(); }));
  runtime_.Pump();
  ASSERT_EQ(1u, window_.Notices().size()) << "a failed connect reports nothing more";
  EXPECT_EQ(platform::kFdConnect, window_.Notices()[0].notice);
  EXPECT_EQ(platform::kSockRefused, window_.Notices()[0].error);
}

TEST_F(SocketReadinessTest, AnImmediateConnectErrorComesLaterAsTheConnectNotice) {
  // TCP refuses a multicast or broadcast peer at once ("network unreachable").
  for (uint32_t peer : {htonl(0xE0000001), htonl(0xFFFFFFFF)}) {
    cpAddress address;
    address.address = peer;
    address.port = 9;
    RecordPtr plain = NewStreamSocket();
    EXPECT_EQ(CP_E_FAIL, cpSocketConnect(plain.get(), &address)) << "not selected: the error at once";

    RecordPtr record = SelectedSocket();
    size_t before = window_.Notices().size();
    ASSERT_EQ(CP_E_WOULDBLOCK, cpSocketConnect(record.get(), &address));
    EXPECT_EQ(before, window_.Notices().size()) << "nothing inside the call";
    runtime_.Pump();
    ASSERT_EQ(before + 1, window_.Notices().size()) << "one notice, and nothing more after it";
    EXPECT_EQ(platform::kFdConnect, window_.Notices().back().notice);
    EXPECT_EQ(platform::kSockHostUnreachable, window_.Notices().back().error);
    EXPECT_EQ(static_cast<uintptr_t>(record->handle), window_.Notices().back().socket);
  }
}

TEST_F(SocketReadinessTest, BytesBeforeAResetAreReadableBeforeTheCloseNotice) {
  Gate reset;
  ScriptedServer server(Script().WaitFor(reset).Send("last").Reset());
  RecordPtr record = ConnectedSocket(server.Port());
  reset.Open();
  ASSERT_TRUE(qostest::WaitForHangUp(record->handle));
  runtime_.Pump();
  EXPECT_EQ(1, window_.Count(platform::kFdRead));
  EXPECT_EQ(0, window_.Count(platform::kFdClose)) << "four bytes are still unread";
  EXPECT_EQ("last", ReceiveUpTo(record.get(), 64));
  char buffer[8];
  int32_t received = 0;
  EXPECT_EQ(CP_E_FAIL, cpSocketReceive(record.get(), buffer, sizeof buffer, &received)) << "then the reset";
  runtime_.Pump();
  ASSERT_EQ(1, window_.Count(platform::kFdClose));
  EXPECT_EQ(platform::kSockConnectionReset, window_.Notices().back().error);
  EXPECT_EQ(1, window_.Count(platform::kFdWrite)) << "nothing is written to a reset connection";
}

// A reset that arrives before the socket is selected anew leaves it without a peer; it is still
// the connected socket it was, so its last bytes and its close are reported.
TEST_F(SocketReadinessTest, ASocketSelectedAnewAfterAResetStillReportsItsBytesAndClose) {
  Gate reset;
  ScriptedServer server(Script().WaitFor(reset).Send("last").Reset());
  RecordPtr record = ConnectedSocket(server.Port());
  reset.Open();
  ASSERT_TRUE(qostest::WaitForHangUp(record->handle));
  ASSERT_EQ(CP_S_OK, cpSocketRearm(record.get()));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return window_.Count(platform::kFdRead) >= 1; }));
  EXPECT_EQ("last", ReceiveUpTo(record.get(), 64));
  ASSERT_TRUE(runtime_.PumpUntil([&] { return window_.Count(platform::kFdClose) == 1; }));
  EXPECT_EQ(platform::kSockConnectionReset, window_.Notices().back().error);
}

TEST_F(SocketReadinessTest, RearmReportsReadabilityAndWritabilityAgain) {
  ScriptedServer server(Script().Send("x").Stall());
  RecordPtr record = ConnectedSocket(server.Port());
  ASSERT_TRUE(runtime_.PumpUntil([&] { return window_.Count(platform::kFdRead) == 1; }));
  runtime_.Pump();
  EXPECT_EQ(1, window_.Count(platform::kFdWrite));
  ASSERT_EQ(CP_S_OK, cpSocketRearm(record.get()));
  runtime_.Pump();
  EXPECT_EQ(2, window_.Count(platform::kFdRead));
  EXPECT_EQ(2, window_.Count(platform::kFdWrite));
}

TEST_F(SocketReadinessTest, UnselectStopsTheNotices) {
  Gate send;
  ScriptedServer server(Script().WaitFor(send).Send("late").Stall());
  RecordPtr record = ConnectedSocket(server.Port());
  int32_t slot = -1;
  ASSERT_EQ(CP_S_OK, cpSocketUnselect(window_.Record(), record.get(), &slot));
  EXPECT_EQ(kSlot, slot);
  size_t before = window_.Notices().size();
  send.Open();
  ASSERT_TRUE(qostest::WaitForUnread(record->handle, 4));
  runtime_.Pump();
  EXPECT_EQ(before, window_.Notices().size());
}

TEST_F(SocketReadinessTest, PostEventQueuesAContextEventForTheSlot) {
  RecordPtr record = SelectedSocket();
  ASSERT_EQ(CP_S_OK, cpSocketPostEvent(record.get()));
  runtime_.Pump();
  ASSERT_EQ(1u, window_.Notices().size());
  EXPECT_EQ(CP_MSG_CONTEXT_EVENT, window_.Notices()[0].message);
  EXPECT_EQ(static_cast<uintptr_t>(kSlot), window_.Notices()[0].socket);
}

// ---- the notification window's procedure ----

// A connection whose connect is never answered, so only the notices a test hands the window
// move it.
class NotifyWindowTest : public ::testing::Test {
 protected:
  NotifyWindowTest() {
    qostest::RegisterFakeLayers();
    qostest::ResetFakeLayers();
  }

  void SetUp() override {
    context_ = connections_.Open(QOS_ACTION_HIGH, QOS_EV_CONNECT_FAILED | QOS_EV_FAILURE);
    bottom_ = qostest::PushFake(context_, true);
    cpAddress address = Loopback(listener_.Port());
    ASSERT_EQ(CP_S_OK, context_->Connect(&address));
    ASSERT_EQ(QOS_ST_CONNECTING, context_->State());
    window_ = cpNotifyWindowHandle();
    ASSERT_NE(0u, window_);
    slot_ = context_->Socket()->slot;
    socket_ = static_cast<uintptr_t>(context_->Socket()->handle);
  }

  intptr_t Notify(uint32_t notice, int32_t error, uintptr_t socket) {
    return qostest::Deliver(window_, CP_MSG_SOCKET_FIRST + static_cast<uint32_t>(slot_), socket,
                            qostest::SocketNotice(notice, error));
  }

  testsupport::CoreRuntime runtime_{true};
  testsupport::StalledPort listener_;
  qostest::Connections connections_;
  cpCQoSContext* context_ = nullptr;
  FakeLayer* bottom_ = nullptr;
  platform::WindowHandle window_ = 0;
  int32_t slot_ = -1;
  uintptr_t socket_ = 0;
};

TEST_F(NotifyWindowTest, ConnectTimedOutProducesNoEvent) {
  Notify(platform::kFdConnect, platform::kSockTimedOut, socket_);
  runtime_.Pump();
  EXPECT_EQ(QOS_ST_CONNECTING, context_->State());
  EXPECT_TRUE(LayerLog().empty());
}

TEST_F(NotifyWindowTest, ConnectRefusedFailsTheConnection) {
  Notify(platform::kFdConnect, platform::kSockRefused, socket_);
  EXPECT_EQ(QOS_ST_FAILED, context_->State());
  runtime_.Pump();
  EXPECT_EQ((Log{"L1.OnEvent(1)", "L1.OnClose"}), LayerLog());
  EXPECT_EQ(QOS_ST_CLOSED, context_->State());
}

TEST_F(NotifyWindowTest, HostUnreachableTellsTheLayersThenFails) {
  Notify(platform::kFdConnect, platform::kSockHostUnreachable, socket_);
  EXPECT_EQ(QOS_ST_FAILED, context_->State());
  EXPECT_EQ((Log{"L1.OnHostUnreachable"}), LayerLog());
  runtime_.Pump();
  EXPECT_EQ((Log{"L1.OnHostUnreachable", "L1.OnEvent(1)", "L1.OnClose"}), LayerLog());
}

TEST_F(NotifyWindowTest, ConnectWithoutErrorConnects) {
  Notify(platform::kFdConnect, 0, socket_);
  EXPECT_EQ(QOS_ST_CONNECTED, context_->State());
  EXPECT_EQ((Log{"L1.OnConnected"}), LayerLog());
}

TEST_F(NotifyWindowTest, CloseWithAnyErrorClosesTheConnection) {
  Notify(platform::kFdClose, platform::kSockConnectionAborted, socket_);
  EXPECT_EQ(QOS_ST_CLOSED, context_->State());
  EXPECT_EQ((Log{"L1.OnClose"}), LayerLog());
  EXPECT_EQ(nullptr, runtime_.Qos().ContextAt(static_cast<uint32_t>(slot_)));
}

TEST_F(NotifyWindowTest, NoticeWithoutASocketIsDropped) {
  Notify(platform::kFdConnect, platform::kSockRefused, static_cast<uintptr_t>(-1));
  Notify(platform::kFdClose, 0, static_cast<uintptr_t>(-1));
  runtime_.Pump();
  EXPECT_EQ(QOS_ST_CONNECTING, context_->State());
  EXPECT_TRUE(LayerLog().empty());
}

TEST_F(NotifyWindowTest, NoticeForAnotherSocketOfTheSlotIsDropped) {
  Notify(platform::kFdClose, 0, socket_ + 1000);
  runtime_.Pump();
  EXPECT_EQ(QOS_ST_CONNECTING, context_->State());
  EXPECT_TRUE(LayerLog().empty());
}

TEST_F(NotifyWindowTest, OutOfBandAndAcceptNoticesProduceNothing) {
  Notify(platform::kFdOob, 0, socket_);
  Notify(platform::kFdAccept, 0, socket_);
  Notify(0x40, 0, socket_);
  runtime_.Pump();
  EXPECT_EQ(QOS_ST_CONNECTING, context_->State());
  EXPECT_TRUE(LayerLog().empty());
}

TEST_F(NotifyWindowTest, MessagesAboveTheSlotRangeAreNotSocketMessages) {
  // 0x40A + 64 would be slot 64, which does not exist.
  qostest::Deliver(window_, CP_MSG_SOCKET_FIRST + CP_SOCKET_SLOTS, socket_,
                   qostest::SocketNotice(platform::kFdConnect, platform::kSockRefused));
  runtime_.Pump();
  EXPECT_EQ(QOS_ST_CONNECTING, context_->State());
  EXPECT_TRUE(LayerLog().empty());
}

TEST_F(NotifyWindowTest, WithoutALiveWindowSocketMessagesGetDefaultHandling) {
  runtime_.Qos().Shutdown();
  EXPECT_EQ(0u, cpNotifyWindowHandle());
  EXPECT_EQ(0, Notify(platform::kFdConnect, platform::kSockRefused, socket_));
  EXPECT_EQ(0, Notify(platform::kFdClose, 0, socket_));
  runtime_.Pump();
  EXPECT_EQ(QOS_ST_CONNECTING, context_->State());
  EXPECT_TRUE(LayerLog().empty());
  // The manager still holds the connection; closing it gives its slot and socket back.
  context_->Close();
  EXPECT_EQ(nullptr, runtime_.Qos().ContextAt(static_cast<uint32_t>(slot_)));
}

}  // namespace
