#pragma once
// The engine program as a child process of a test or benchmark: started on a free loopback port
// (`--port 0`), with extra arguments and environment variables, its port read from the one line it
// prints once it listens. The child is killed when the object goes, and when the thread that
// started it ends (so a crashed test leaves no engine behind).
//
//   testsupport::EngineProcess engine;
//   ASSERT_TRUE(engine.Start(ORBA_ENGINE_PROGRAM, {"--idle-exit", "5"}, {{"ORBA_NETWORK_STATE", "online"}}));
//   client.Connect(engine.Port());

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

class EngineProcess {
 public:
  // Variables added to (or replacing those of) the current environment.
  using Environment = std::vector<std::pair<std::string, std::string>>;

  EngineProcess() = default;
  ~EngineProcess();
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  // Starts `program --port 0 args...` (no `--port 0` when `args` name a port themselves) and waits
  // up to `timeoutMs` for its `listening 127.0.0.1:<port>` line. False when it could not start,
  // exited, or printed no such line in time; a child that is still running then is killed.
  bool Start(const std::string& program, const std::vector<std::string>& args = {},
             const Environment& environment = {}, int timeoutMs = 10000);

  uint16_t Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  // What it printed on stdout so far, its listening line included.
  std::string Output() const;

  // SIGKILL, then reaps it.
  void Kill();
  // SIGTERM; the caller waits with WaitExit.
  bool Terminate();
  // Its exit code once it ended within `timeoutMs` (128 + the signal's number when a signal ended
  // it); nothing while it still runs.
  std::optional<int> WaitExit(int timeoutMs);

  // Runs `program args...` to its end (stdout collected into `stdoutText` when given); its exit code
  // as WaitExit gives it, or nothing when it ran longer than `timeoutMs` (it is killed then).
  static std::optional<int> RunToExit(const std::string& program, const std::vector<std::string>& args,
                                      const Environment& environment, int timeoutMs,
                                      std::string* stdoutText = nullptr);

 private:
  void StopReader();

  pid_t pid_ = -1;
  std::optional<int> exitCode_;
  uint16_t port_ = 0;
  int output_ = -1;      // read end of the child's stdout
  int readerStop_ = -1;  // eventfd that ends the reader thread
  std::thread reader_;   // drains stdout after the listening line, so the child never blocks on it
  mutable std::mutex outputMutex_;
  std::string outputText_;  // under outputMutex_
};

}  // namespace testsupport
