#pragma once
// Starts the local download engine's executable after a self-update and waits, bounded, until the
// started program is ready.

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Process.h"

// Whether launches ask for elevation where the system offers it. Written once when the library is
// initialised; this system never offers elevation, so launches use the "open" verb regardless.
void SetLaunchElevation(bool elevate);
bool LaunchElevation();

// The error of a shell start whose elevation prompt the user refused.
inline constexpr int kElevationRefused = ECANCELED;

class CBinaryExecBase {
 public:
  // 1 with `out` set when the executable's path is known and the file exists, else 0 with `out`
  // untouched.
  virtual int GetExecutablePath(std::string& out) = 0;
  virtual void TransformPath(std::string& out, const std::string& in) = 0;
  virtual ~CBinaryExecBase() = default;
};

// How programs are started. Tests replace it to script refused and failing starts; members left
// empty start programs for real.
struct ProgramStarter {
  // The desktop shell's start of `path` with a verb ("runas" or "open").
  std::function<platform::ProcessStart(const std::string& verb, const std::string& path)> shellExecute;
  // A direct start of `path` without the shell and without arguments.
  std::function<platform::ProcessStart(const std::string& path)> createProcess;
};

// How long RunExecutable waits for the started program and how it sees that the program is ready.
struct ReadinessWait {
  int64_t limitMilliseconds = 10'000;
  int64_t pollMilliseconds = 20;
  // True once the program is ready; left empty: it accepts on 127.0.0.1:<engine_port setting>.
  std::function<bool()> probe;
};

class CBinaryExecute_V3 final : public CBinaryExecBase {
 public:
  explicit CBinaryExecute_V3(ReadinessWait wait = ReadinessWait(), ProgramStarter starter = ProgramStarter());
  ~CBinaryExecute_V3() override = default;

  // The path resolver's executable path, when the file exists.
  int GetExecutablePath(std::string& out) override;
  // out = in.
  void TransformPath(std::string& out, const std::string& in) override;

  // Starts the executable: a shell start, after a refused elevation a plain shell start, then a
  // direct start; every attempt is logged. Returns 1 when a process was started, else 0. After a
  // start it blocks until the program is ready, has ended, or the wait limit passed.
  int RunExecutable();

 private:
  void WaitUntilReady(int64_t pid) const;

  ReadinessWait wait_;
  ProgramStarter starter_;
};

// The process-wide executor, with real starts and the engine's readiness wait.
CBinaryExecute_V3& BinaryExecutor();
