#pragma once
// Socket helpers shared by the test servers: a loopback listener, and waits, sends and sleeps that
// end at once when the server shuts down, so no server thread can outlive its destructor for long.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace testsupport {

// Raised once, when a server stops. Every wait below that is given the signal returns then.
class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  void Raise();
  bool Raised() const { return raised_.load(); }
  // Sleeps up to `milliseconds`; false when the signal was raised before or meanwhile.
  bool SleepFor(int64_t milliseconds) const;
  // A descriptor that becomes (and stays) readable once the signal is raised.
  int Descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  std::atomic<bool> raised_{false};
};

enum class SocketEvent { Readable, Writable };
enum class WaitResult { Ready, Stopped, TimedOut };

// Waits until `fd` is readable/writable (an error or hang-up counts as ready, so the next call
// reports it), the signal is raised, or `timeoutMs` passed (negative: no limit).
WaitResult WaitForSocket(int fd, SocketEvent event, const StopSignal& stop, int64_t timeoutMs);

// Sends every byte without ever blocking in send(); false when the peer failed, the signal was
// raised, or the peer took nothing for `timeoutMs` (negative: no limit).
bool SendAll(int fd, const char* data, size_t size, const StopSignal& stop, int64_t timeoutMs = -1);

// A listening TCP socket bound to 127.0.0.1 on an ephemeral port; -1 on failure.
int ListenOnLoopback(int backlog, uint16_t* port);

// Appends to `out` what has already arrived, without waiting. False once the peer closed or failed.
bool ReadPending(int fd, std::string* out);

// Bytes that arrived on `fd` and were not read yet.
int UnreadBytes(int fd);
// Bytes sent on `fd` that the peer's kernel has not acknowledged yet (0 once every byte sent
// reached the peer's socket).
int UnacknowledgedBytes(int fd);

// Closes so that the peer sees a FIN: bytes that arrived but were never read are read first
// (appended to `drained` when given), because closing with unread input makes the kernel send RST.
void CloseGracefully(int fd, std::string* drained = nullptr);

// Closes with SO_LINGER {1, 0}: the peer sees RST (ECONNRESET) instead of an orderly end.
void CloseWithReset(int fd);

}  // namespace testsupport
