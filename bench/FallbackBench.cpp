// Fallback to direct download when the local engine cannot serve, with the real library and the
// real clock: one job of one file is started right after the library is initialised, in a fresh
// child process with fresh data and config folders, and the time the file server receives its
// first request for the job's file is taken from its counters. Each row is one way the engine fails:
//   1-4  the self-update fails with nothing installed (refused, silent, unresolvable, 404);
//   5    an installed "engine" that exits at once;   6  an engine port that accepts, never answers;
//   7    for comparison, a real engine already running: the job must finish through it, and the
//        direct downloader must not begin.
// Goal: every failure case begins direct download within 20 s of DownloadLibStartJob (case 7:
// job done within 20 s). Every file is checked byte for byte; a wrong file, or a job not done
// within 60 s, makes the exit status non-zero. Usage: orba_bench_fallback
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DownloadLib.h"
#include "bench/BenchSupport.h"
#include "tests/support/EngineProcess.h"

namespace {

constexpr double kGoalSeconds = 20;
constexpr double kLimitSeconds = 60;
constexpr int64_t kFileSize = 16 * 1024 * 1024;
constexpr char kDirectBegin[] = "[TessenLib] CPlatFormDownloader Begin";

// A listener in a child process that accepts every connection and then neither reads nor writes:
// an update server or an engine that hangs. Forked before any thread of this process exists.
class SilentServer {
 public:
  SilentServer() {
    int port = 0;
    const int listener = bench::ListenOnLoopback(64, &port);
    if (listener < 0) std::abort();
    port_ = port;
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      // Accepted sockets stay open and untouched until this child is killed.
      for (;;) accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    }
    close(listener);
  }
  ~SilentServer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  SilentServer(const SilentServer&) = delete;
  SilentServer& operator=(const SilentServer&) = delete;
  int Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

struct Case {
  const char* name;
  std::string manifestUrl;
  int enginePort = 0;
  bool installExitingEngine = false;
  bool expectDirect = true;
};

// What the library's child sends back: plain bytes. Times are seconds after DownloadLibStartJob;
// -1: never.
struct Report {
  double firstRequest;
  double directLogLine;
  double jobDone;
  int32_t filesDone;
  int32_t events;  // bit (code - 513) for each event code seen
};

struct Waiter {
  std::mutex mutex;
  std::condition_variable changed;
  bool done = false;
  std::atomic<int32_t> events{0};
};

void OnEvent(int32_t code, intptr_t /*lParam*/, void* userData) {
  auto* waiter = static_cast<Waiter*>(userData);
  if (code >= DL_EV_JOB_SIZE && code <= DL_EV_ENGINE_MODE) waiter->events |= 1 << (code - DL_EV_JOB_SIZE);
  if (code != DL_EV_JOB_DONE) return;
  {
    std::lock_guard lock(waiter->mutex);
    waiter->done = true;
  }
  waiter->changed.notify_all();
}

bool FileContains(const std::string& path, const char* text) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str().find(text) != std::string::npos;
}

// Runs in the forked child: the library's process-wide state is fresh for every case.
std::string RunJob(const bench::ContentServer& server, const std::string& url, const std::string& folder,
                   const std::string& logPath) {
  Report report{-1, -1, -1, 0, 0};
  Waiter waiter;
  JobHandle job = 0;
  if (DownloadLibInitialize(nullptr, &OnEvent, &waiter) != DL_OK ||
      DownloadLibCreateJob(&job, "ORB", "BENCH") != DL_OK ||
      DownloadLibAddFile(job, url.c_str(), folder.c_str(), nullptr, -1, 1) != DL_OK)
    return {};
  const double start = bench::NowSeconds();
  // Polled rather than told: the server is another process, and the log is the library's own.
  std::atomic<bool> stop{false};
  std::thread watcher([&] {
    while (!stop) {
      const double now = bench::NowSeconds() - start;
      if (report.firstRequest < 0 && server.Counters().requests > 0) report.firstRequest = now;
      if (report.directLogLine < 0 && FileContains(logPath, kDirectBegin)) report.directLogLine = now;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const bool started = DownloadLibStartJob(job, true) == DL_OK;
  {
    std::unique_lock lock(waiter.mutex);
    if (started && waiter.changed.wait_for(lock, std::chrono::duration<double>(kLimitSeconds),
                                           [&] { return waiter.done; }))
      report.jobDone = bench::NowSeconds() - start;
  }
  stop = true;
  watcher.join();
  JobResult result{};
  DownloadLibGetJobResult(job, &result);
  report.filesDone = result.filesDone;
  report.events = waiter.events;
  DownloadLibStopJob(job);
  DownloadLibDeleteJob(job);
  DownloadLibFinalize();
  return std::string(reinterpret_cast<const char*>(&report), sizeof report);
}

std::string Seconds(double seconds) {
  return seconds < 0 ? std::string("never") : bench::Format("%.2f", seconds);
}

// The engine's update and mode events among those seen, as codes.
std::string EngineEvents(int32_t events) {
  std::string text;
  for (int code : {DL_EV_ENGINE_UPDATE_FILE, DL_EV_ENGINE_UPDATE_PROGRESS, DL_EV_ENGINE_READY,
                   DL_EV_ENGINE_UPDATE_FAILED, DL_EV_ENGINE_MODE}) {
    if ((events & (1 << (code - DL_EV_JOB_SIZE))) == 0) continue;
    if (!text.empty()) text.push_back(' ');
    text.append(std::to_string(code));
  }
  return text.empty() ? std::string("-") : text;
}

// Which of the library's reasons to give the engine up shows in the log.
std::string GiveUpReason(const std::string& logPath) {
  if (FileContains(logPath, "CEngineDownloader No Answer")) return "no answer for 15 s";
  if (FileContains(logPath, "CEngineDownloader MaxTry Over")) return "short-lived connections";
  if (FileContains(logPath, kDirectBegin)) return "update failed";
  return "-";
}

void PrintLog(const std::string& logPath) {
  std::ifstream in(logPath, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::printf("      | %s\n", line.c_str());
  }
}

}  // namespace

int main() {
  bench::TempFolder temp("orba-bench-fallback");
  setenv("ORBA_NETWORK_STATE", "online", 1);
  // The relay report goes to a loopback port nothing listens on: nothing leaves the machine.
  setenv("ORBA_RELAY_HOST", "127.0.0.1", 1);
  setenv("ORBA_RELAY_PORT", std::to_string(bench::UnusedLoopbackPort()).c_str(), 1);
  setenv("ORBA_ENGINE_ENABLED", "1", 1);

  // Servers first: they fork, and the engine of case 7 brings a thread along.
  std::vector<std::pair<std::string, int64_t>> files;
  for (int i = 1; i <= 7; ++i) files.emplace_back(bench::Format("/orba/case%d.bin", i), kFileSize);
  bench::ContentServer server(files, bench::ServeOptions{});
  bench::ContentServer missing({}, bench::ServeOptions{});  // answers 404 to everything
  SilentServer silent;
  const std::string manifest = "/norvik/qtxdownload/update/qtxdownload_updater.xml";
  auto on = [&](int port) { return bench::Format("http://127.0.0.1:%d%s", port, manifest.c_str()); };
  // "update.invalid" would be asked of the configured name server, off this machine. glibc refuses
  // a label longer than 63 bytes before it builds a query, so this name fails inside the resolver.
  const std::string unresolvable = "http://" + std::string(64, 'u') + ".update.invalid" + manifest;
  const int enginePort = bench::UnusedLoopbackPort();

  std::vector<Case> cases = {
      {"1 update server refuses", on(bench::UnusedLoopbackPort())},
      {"2 update server silent", on(silent.Port())},
      {"3 update host unresolvable", unresolvable},
      {"4 update deployment missing (404)", missing.Url(manifest)},
      {"5 installed engine exits at once", "", 0, true},
      {"6 engine port silent", "", silent.Port()},
      {"7 engine running (comparison)", "", enginePort, false, false},
  };
  std::printf("fallback to direct download: one %lld MiB file per job from 127.0.0.1, one child per case\n",
              static_cast<long long>(kFileSize >> 20));
  bench::Table table({"case", "engine events", "first direct GET s", "direct log line s", "job done s",
                      "file exact", "engine given up on", "goal", "result"});
  bool failed = false;
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& item = cases[i];
    const std::string caseFolder = temp.Sub(bench::Format("case%zu", i + 1));
    const std::string data = caseFolder + "/data";
    const std::string program = data + "/Norvik/qtxDownloadV32/";
    const std::string logPath = program + "config/service.log";
    const std::string folder = caseFolder + "/downloads";
    std::filesystem::create_directories(program);
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (caseFolder + "/config").c_str(), 1);
    setenv("ORBA_UPDATE_MANIFEST_URL", item.manifestUrl.c_str(), 1);
    setenv("ORBA_ENGINE_PORT",
           std::to_string(item.enginePort != 0 ? item.enginePort : bench::UnusedLoopbackPort()).c_str(), 1);
    if (item.installExitingEngine) {
      std::ofstream(program + "QTXDownloadV32") << "#!/bin/sh\nexit 0\n";
      std::filesystem::permissions(program + "QTXDownloadV32", std::filesystem::perms::owner_all);
    }
    testsupport::EngineProcess engine;
    if (!item.expectDirect &&
        !engine.Start(ORBA_ENGINE_PROGRAM, {"--port", std::to_string(enginePort), "--idle-exit", "60",
                                            "--log-dir", caseFolder + "/engine"})) {
      table.Add({item.name, "-", "-", "-", "-", "-", "the engine did not start", "", "MISS"});
      failed = true;
      continue;
    }
    server.ResetCounters();
    const std::string path = files[i].first;
    const std::string bytes =
        bench::RunInChild([&] { return RunJob(server, server.Url(path), folder, logPath); });
    Report report{-1, -1, -1, 0, 0};
    const bool ran = bytes.size() == sizeof report;
    if (ran) std::memcpy(&report, bytes.data(), sizeof report);
    const std::string name = path.substr(path.rfind('/') + 1);
    const bool exact = report.filesDone == 1 && bench::FileMatches(folder + "/" + name, path, kFileSize);
    const bool done = ran && report.jobDone >= 0;
    // From the whole log, not the samples: a job may end between two looks at it.
    const bool directBegan = FileContains(logPath, kDirectBegin);
    bool pass;
    if (item.expectDirect) {
      pass = done && exact && directBegan && report.firstRequest >= 0 && report.firstRequest <= kGoalSeconds;
    } else {
      pass = done && exact && !directBegan && report.jobDone <= kGoalSeconds;
    }
    table.Add(
        {item.name, EngineEvents(report.events),
         item.expectDirect ? Seconds(report.firstRequest) : std::string("-"),
         report.directLogLine < 0 && directBegan ? std::string("before done") : Seconds(report.directLogLine),
         Seconds(report.jobDone), exact ? "yes" : "NO",
         item.expectDirect ? GiveUpReason(logPath) : (directBegan ? "DIRECT BEGAN" : "(served)"),
         item.expectDirect ? "direct <= 20 s" : "done <= 20 s, no direct", bench::Verdict(pass)});
    std::printf("  %-36s %s\n", item.name, bench::Verdict(pass));
    if (!pass) PrintLog(logPath);
    failed = failed || !done || !exact;
  }
  std::printf("\n");
  table.Print();
  std::printf("\n");
  return failed ? 1 : 0;
}
