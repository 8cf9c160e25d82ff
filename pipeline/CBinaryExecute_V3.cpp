#include "pipeline/CBinaryExecute_V3.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>

#include "core/Settings.h"
#include "pipeline/CGetPath_V32.h"
#include "pipeline/Log.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"

namespace {

constexpr long long kDefaultEnginePort = 38006;

std::atomic<bool> gLaunchElevation{false};

// The Windows version test for elevation ("NT 6 or later"); no such prompt exists here.
bool SystemOffersElevation() { return false; }

// Only the "open" verb can be asked for here (see SystemOffersElevation).
platform::ProcessStart ShellStart(const std::string& /*verb*/, const std::string& path) {
  return platform::ShellOpen(path);
}

platform::ProcessStart DirectStart(const std::string& path) { return platform::StartProcess(path, {}); }

}  // namespace

void SetLaunchElevation(bool elevate) { gLaunchElevation.store(elevate, std::memory_order_release); }

bool LaunchElevation() { return gLaunchElevation.load(std::memory_order_acquire); }

CBinaryExecute_V3::CBinaryExecute_V3(ReadinessWait wait, ProgramStarter starter)
    : wait_(std::move(wait)), starter_(std::move(starter)) {
  if (!starter_.shellExecute) starter_.shellExecute = ShellStart;
  if (!starter_.createProcess) starter_.createProcess = DirectStart;
}

int CBinaryExecute_V3::GetExecutablePath(std::string& out) {
  std::string path;
  PathResolver().GetExecutablePath(path);
  if (path.empty() || !platform::FileExists(path)) return 0;
  out = path;
  return 1;
}

void CBinaryExecute_V3::TransformPath(std::string& out, const std::string& in) { out = in; }

int CBinaryExecute_V3::RunExecutable() {
  std::string path;
  if (!GetExecutablePath(path)) {
    WriteLog("[TessenLib] Run Binary (no executable file)");
    return 0;
  }
  const char* verb = SystemOffersElevation() && LaunchElevation() ? "runas" : "open";
  platform::ProcessStart start = starter_.shellExecute(verb, path);
  if (start.started) {
    WriteLog("[TessenLib] Execute OK(0)");
  } else if (start.error == kElevationRefused) {
    LogFormat("[TessenLib] Execute Fail(0) %s:%d", path.c_str(), start.error);
    start = starter_.shellExecute("open", path);
    if (start.started) {
      WriteLog("[TessenLib] Execute OK(1)");
    } else {
      LogFormat("[TessenLib] Execute Fail(1) %s:%d", path.c_str(), start.error);
      start = starter_.createProcess(path);
      if (!start.started) {
        LogFormat("[TessenLib] Execute Fail(2) %s:%d", path.c_str(), start.error);
        return 0;
      }
      WriteLog("[TessenLib] Execute OK(2)");
    }
  } else {
    // Any other shell failure goes straight to the direct start.
    start = starter_.createProcess(path);
    if (!start.started) {
      LogFormat("[TessenLib] Execute Fail(3) %s:%d", path.c_str(), start.error);
      return 0;
    }
    WriteLog("[TessenLib] Execute OK(3)");
  }
  WriteLog("[TessenLib] Begin WFII");
  WaitUntilReady(start.pid);
  WriteLog("[TessenLib] End WFII");
  return 1;
}

// Bounded, unlike an input-idle wait: the library thread must never hang on a program that
// never becomes ready. Real time, since a test's manual clock would never move on its own.
void CBinaryExecute_V3::WaitUntilReady(int64_t pid) const {
  std::function<bool()> ready = wait_.probe;
  if (!ready) {
    long long port = settings::GetInt("engine_port", kDefaultEnginePort);
    if (port <= 0 || port > 65535) port = kDefaultEnginePort;
    ready = [port] { return platform::LoopbackAccepts(static_cast<uint16_t>(port)); };
  }
  const int64_t deadline = platform::MonotonicMilliseconds() + wait_.limitMilliseconds;
  for (;;) {
    if (ready() || !platform::ProcessAlive(pid)) return;
    const int64_t remaining = deadline - platform::MonotonicMilliseconds();
    if (remaining <= 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(remaining, wait_.pollMilliseconds)));
  }
}

CBinaryExecute_V3& BinaryExecutor() {
  static CBinaryExecute_V3 executor;
  return executor;
}
