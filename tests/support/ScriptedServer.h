#pragma once
// A raw TCP server on 127.0.0.1 that plays a small script on every accepted connection, to make a
// server misbehave exactly as a test needs: stall, answer in pieces, close half-way, reset.
//
//   testsupport::Gate release;
//   testsupport::ScriptedServer server({
//       testsupport::Script().ReadRequest().Reset(),                          // 1st connection
//       testsupport::Script().ReadRequest().Send(head).WaitFor(release).Send(body),  // 2nd, 3rd, ...
//   });
//   ... point the client at server.Url("/file") ...
//   EXPECT_EQ(testsupport::ParseRequestHead(server.Reads(1)[0]).Header("Range"), "bytes=0-");
//
// Each connection runs on its own thread. After the last step the connection is closed as by
// Close(). The destructor stops every script at its current step (waits, pauses, stalls and sends
// end at once), closes every socket and joins every thread.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/LoopbackSocket.h"
#include "tests/support/ReceivedRequest.h"

namespace testsupport {

// A latch a test opens to let a script go on (Script::WaitFor), or a script opens to tell the test
// it got that far (Script::Notify). Declare gates before the server that uses them: a script keeps
// a reference, so the gate must outlive the server.
class Gate {
 public:
  Gate() = default;
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;

  void Open();
  bool IsOpen() const;
  // Waits until the gate is open or `timeoutMs` passed; true when open.
  bool WaitOpen(int64_t timeoutMs = 5000) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable opened_;
  bool open_ = false;
};

// The steps one connection runs, in order. Every method appends a step and returns the script.
class Script {
 public:
  // Reads until `delimiter` arrived; the bytes up to and including it are one entry of Reads().
  Script& ReadUntil(std::string delimiter);
  // ReadUntil("\r\n\r\n"): one HTTP request head.
  Script& ReadRequest() { return ReadUntil("\r\n\r\n"); }
  // Reads exactly `count` bytes (one entry of Reads()).
  Script& ReadBytes(size_t count);
  // Reads until the peer closes its sending side (one entry of Reads(); PeerClosed() then holds).
  Script& ReadToEnd();

  Script& Send(std::string bytes);
  // Sends `bytes` as separate writes of the given sizes in order; when the sizes run out the last
  // one repeats ({1} sends byte by byte). With `pauseMs` > 0 the server waits between writes, so
  // the pieces reach the client as separate receives (the socket has TCP_NODELAY).
  Script& SendInPieces(std::string bytes, std::vector<size_t> pieceSizes, int64_t pauseMs = 0);

  // Waits until the client's kernel acknowledged every byte sent so far: they wait in its socket
  // (UnreadBytes) or were read. With a Notify after it, a test knows what reached the client.
  Script& AwaitAck();
  // Waits a fixed time. Prefer WaitFor(gate) where the test can say when to go on.
  Script& Pause(int64_t milliseconds);
  // Holds the connection (open and silent) until the test opens the gate.
  Script& WaitFor(const Gate& gate);
  // Holds the connection until `condition` holds (polled every few milliseconds on the server's
  // thread; it must be thread-safe).
  Script& WaitFor(std::function<bool()> condition);
  // Opens `gate`, so the test can wait until the script reached this point.
  Script& Notify(Gate& gate);

  // shutdown(SHUT_WR): the client reads EOF; the server can still read.
  Script& HalfClose();
  // Closes with SO_LINGER {1, 0}: the client sees RST. Ends the script.
  Script& Reset();
  // Orderly close (FIN); input that arrived unread is read first so the kernel does not send RST.
  // Ends the script.
  Script& Close();
  // Keeps the connection open and silent until the server is destroyed.
  Script& Stall();
  // Keeps the connection open and silent until the gate opens, then goes on.
  Script& Stall(const Gate& gate) { return WaitFor(gate); }

 private:
  friend class ScriptedServer;
  enum class Kind {
    ReadUntil,
    ReadBytes,
    ReadToEnd,
    Send,
    AwaitAck,
    Pause,
    WaitGate,
    WaitCondition,
    Notify,
    HalfClose,
    Reset,
    Close,
    Stall
  };
  struct Step {
    Kind kind = Kind::Close;
    std::string bytes;
    size_t count = 0;
    std::vector<size_t> pieces;
    int64_t milliseconds = 0;
    const Gate* gate = nullptr;
    Gate* notify = nullptr;
    std::function<bool()> condition;
  };
  static Step Make(Kind kind);
  Script& Add(Step step);

  std::vector<Step> steps_;
};

// What the server saw on one connection.
struct ScriptedConnection {
  std::string received;            // every byte read from the connection, in order
  std::vector<std::string> reads;  // the bytes each read step took
  bool peerClosed = false;         // a read met the client's EOF
  bool failed = false;             // a read or send failed (e.g. reset by the client)
  bool finished = false;           // the script ended (or was stopped) and the socket is closed
};

class ScriptedServer {
 public:
  // Every connection runs `script`.
  explicit ScriptedServer(Script script);
  // Connection i runs scripts[i]; connections after the last script run the last one again.
  explicit ScriptedServer(std::vector<Script> scripts);
  // Listens but never accepts: connects complete in the kernel's backlog, nothing is ever read.
  struct AcceptNothing {};
  explicit ScriptedServer(AcceptNothing);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t Port() const { return port_; }
  // "http://127.0.0.1:<port>" followed by `path`.
  std::string Url(const std::string& path = "/") const;

  int ConnectionCount() const;
  // The connections accepted once every connect that completed before this call was accepted too:
  // the server connects to itself and waits until the kernel's queue, which it serves in order,
  // hands over that connection (not counted, runs no script). For "no connection was made".
  int SettledConnectionCount();
  // Waits until at least `count` connections were accepted; true when they were.
  bool WaitForConnections(int count, int64_t timeoutMs = 5000) const;
  // Waits until the scripts of the first `count` connections ended; true when they did.
  bool WaitForFinished(int count, int64_t timeoutMs = 5000) const;

  // A copy of what connection `index` (0-based, in accept order) saw; empty when no such one.
  ScriptedConnection Connection(int index) const;
  std::string Received(int index) const { return Connection(index).received; }
  std::vector<std::string> Reads(int index) const { return Connection(index).reads; }
  // The first read of connection `index` parsed as an HTTP request head.
  ReceivedRequest Request(int index) const;

 private:
  void Start(int backlog, bool accept);
  void AcceptLoop();
  void Run(int index, int fd, const Script& script);
  bool ReadMore(int index, int fd, std::string* pending);
  bool RunStep(int index, int* fd, const Script::Step& step, std::string* pending);
  // Holds the connection until `condition` holds; false when the server stops first.
  bool HoldUntil(const std::function<bool()>& condition) const;

  std::vector<Script> scripts_;
  StopSignal stop_;
  int listenFd_ = -1;
  uint16_t port_ = 0;
  std::thread acceptThread_;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<ScriptedConnection> connections_;
  std::vector<std::thread> threads_;
  uint16_t sentinelPort_ = 0;  // local port of the server's own connection, while it is awaited
  bool sentinelAccepted_ = false;
};

// A loopback port on which a connect is refused (ECONNREFUSED): the port stays bound, without
// listening, for the object's lifetime, so no other socket can take it meanwhile.
class ClosedPort {
 public:
  ClosedPort();
  ~ClosedPort();
  ClosedPort(const ClosedPort&) = delete;
  ClosedPort& operator=(const ClosedPort&) = delete;
  uint16_t Port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// A loopback port that had nothing listening when it was returned (bound, then closed). Another
// process could take it later; ClosedPort cannot be taken and is preferred.
uint16_t ClosedLoopbackPort();

// "HTTP/1.1 <status> <reason>\r\n" + each "Name: value\r\n" + "\r\n" + body. Adds no header of its
// own (no Content-Length), so a script can send exactly the response a test needs.
std::string HttpResponse(int status, const std::vector<std::pair<std::string, std::string>>& headers,
                         const std::string& body = {});
// A 200 response with its Content-Length and `body`.
std::string HttpOk(const std::string& body);
// The head alone of a 200 response that announces `length` bytes.
std::string HttpOkHead(int64_t length);

}  // namespace testsupport
