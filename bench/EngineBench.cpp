// The download engine program (QTXDownloadV32) driven over its loopback port as the library drives
// it, next to aria2c and curl fetching the same files from the same local servers in the same run:
//   (a) every connection capped at 10 MB/s, one 256 MiB file: engine (high speed) time <= aria2c's
//       (-x16 -s16 -k1M), and engine rate >= 0.9 x 16 x 10 MB/s;
//   (b) the same, the 3rd range response stalling after 10 % of its range: engine >= 1.5x as fast
//       as aria2c with the same options;
//   (c) four mirrors, one capped at a tenth of the others' rate: time <= 1.1x the engine's with
//       only the three fast mirrors;
//   (d) uncapped, 1 GiB to disk: engine rate >= 0.9x curl's and >= 2x aria2c's (aria2c with its
//       defaults, as a user runs it);
//   (e) 500 files of 64 KiB in one job: engine time <= 0.3x aria2c -i;
//   (f) peak resident memory of the engine process while it downloads a 4 GiB file <= 64 MiB.
// One run of each; every downloaded file is checked byte for byte against the served content. The
// engine's time runs from the job's first message to its JobFinished (the process is already up
// and connected, as the library keeps it); a peer's is its whole process. MB = 10^6 bytes.
// Usage: orba_bench_engine [a b c d e f ...] (default: all). ORBA_BENCH_ENGINE overrides the
// program's path.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "protocol/EngineMessages.h"
#include "tests/support/EngineClient.h"
#include "tests/support/EngineProcess.h"

namespace {

constexpr double kMB = 1e6;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
constexpr int64_t kMiBBytes = 1024 * 1024;
constexpr double kCap = 10e6;  // bytes per second per connection in (a), (b), (c)

using bench::Format;

const char* Ok(bool pass) { return pass ? "ok" : "MISS"; }

std::string EngineProgram() {
  const char* chosen = std::getenv("ORBA_BENCH_ENGINE");
  return chosen != nullptr && *chosen != '\0' ? chosen : ORBA_ENGINE_PROGRAM;
}

// A field of /proc/<pid>/status in KiB ("VmHWM:   1234 kB"); -1 when the process is gone.
long StatusKiB(pid_t pid, const std::string& field) {
  std::ifstream status(Format("/proc/%d/status", static_cast<int>(pid)));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

// User + system CPU seconds of a running process; -1 when it is gone.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat(Format("/proc/%d/stat", static_cast<int>(pid)));
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');  // the name may hold spaces
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14 || index == 15) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct EngineRun {
  bool finished = false;  // JobFinished came
  int32_t result = -1;
  int filesDone = 0;
  double seconds = 0;
  double cpuSeconds = 0;
  long peakRssKiB = 0;
  std::string problem;  // what went wrong, in words, for the report
};

std::string Printable(std::string text) {
  for (char& c : text) {
    if (c == '\n') c = ' ';
  }
  return text.size() > 300 ? text.substr(0, 300) + "..." : text;
}

// One job in a fresh engine process: started, connected, the job sent, every message taken until
// the job's end; the process is ended afterwards.
EngineRun RunEngine(const std::vector<engineproto::FileRecord>& files, const bench::TempFolder& temp,
                    double timeoutSeconds) {
  EngineRun run;
  const std::string state = temp.Sub("engine-state");
  const testsupport::EngineProcess::Environment environment = {
      {"ORBA_NETWORK_STATE", "online"},       {"XDG_DATA_HOME", state + "/data"},
      {"XDG_CONFIG_HOME", state + "/config"}, {"XDG_STATE_HOME", state + "/state"},
      {"XDG_CACHE_HOME", state + "/cache"},
  };
  testsupport::EngineProcess engine;
  if (!engine.Start(EngineProgram(), {"--idle-exit", "60", "--log-dir", state + "/log"}, environment,
                    10000)) {
    const std::optional<int> code = engine.WaitExit(0);
    run.problem =
        Format("the engine printed no listening line within 10 s (exit code %s, stdout \"%s\")",
               code ? std::to_string(*code).c_str() : "none, killed", Printable(engine.Output()).c_str());
    return run;
  }
  testsupport::EngineClient client;
  if (!client.Connect(engine.Port(), 5000)) {
    run.problem = Format("no connection to the engine on port %u", engine.Port());
    return run;
  }
  const pid_t pid = engine.Pid();
  const double cpuBefore = ProcessCpuSeconds(pid);
  const double start = bench::NowSeconds();
  if (!client.Send(engineproto::ServiceCode{"ORBA"}) || !client.StartJob(1, 2, files)) {
    run.problem = "the job could not be sent";
    return run;
  }
  const double deadline = start + timeoutSeconds;
  std::string notes;
  int64_t lastDone = -1, lastTotal = -1;
  int32_t engineJobId = -1;
  for (;;) {
    run.peakRssKiB = std::max(run.peakRssKiB, StatusKiB(pid, "VmHWM"));
    const double left = deadline - bench::NowSeconds();
    if (left <= 0) {
      run.problem =
          Format("no JobFinished within %.0f s (last progress %lld of %lld bytes)%s", timeoutSeconds,
                 static_cast<long long>(lastDone), static_cast<long long>(lastTotal), notes.c_str());
      break;
    }
    std::optional<testsupport::EngineClient::Message> message =
        client.Next(static_cast<int>(left * 1000) + 1);
    if (!message) {
      if (!client.Closed()) continue;
      const std::optional<int> code = engine.WaitExit(2000);
      run.problem = Format("the engine closed the connection before the job's end (%s)%s",
                           code ? Format("exit code %d", *code).c_str() : "still running", notes.c_str());
      break;
    }
    const std::string& payload = message->payload;
    switch (message->type) {
      case engineproto::JobAccepted::kType: {
        engineproto::JobAccepted accepted;
        if (engineproto::DecodePayload(payload, &accepted)) engineJobId = accepted.engineJobId;
        break;
      }
      case engineproto::FileDone::kType:
        ++run.filesDone;
        break;
      case engineproto::JobProgress::kType: {
        engineproto::JobProgress progress;
        if (engineproto::DecodePayload(payload, &progress)) {
          lastDone = progress.doneBytes;
          lastTotal = progress.totalBytes;
        }
        break;
      }
      case engineproto::ResumeQuery::kType: {
        engineproto::ResumeQuery query;
        engineproto::DecodePayload(payload, &query);
        client.Send(engineproto::ResumeAnswer{engineJobId, query.jobSeq, 0, 1});
        notes += "; it asked whether to resume (answered no)";
        break;
      }
      case engineproto::JobWarning::kType: {
        engineproto::JobWarning warning;
        engineproto::DecodePayload(payload, &warning);
        notes += Format("; warning %u \"%s\"", warning.code, Printable(warning.text).c_str());
        break;
      }
      case engineproto::JobFailed::kType: {
        engineproto::JobFailed failed;
        engineproto::DecodePayload(payload, &failed);
        notes += Format("; JobFailed \"%s\"", Printable(failed.reason).c_str());
        break;
      }
      case engineproto::NetworkDown::kType:
        notes += "; NetworkDown";
        break;
      default:
        break;
    }
    if (message->type == engineproto::JobFinished::kType) {
      engineproto::JobFinished finished;
      engineproto::DecodePayload(payload, &finished);
      run.seconds = bench::NowSeconds() - start;
      run.finished = true;
      run.result = finished.result;
      if (finished.result != 0)
        run.problem = Format("JobFinished with result %d after %d files%s", finished.result,
                             finished.filesDone, notes.c_str());
      else if (!notes.empty())
        run.problem = notes.substr(2);
      break;
    }
  }
  run.peakRssKiB = std::max(run.peakRssKiB, StatusKiB(pid, "VmHWM"));
  const double cpuAfter = ProcessCpuSeconds(pid);
  if (cpuBefore >= 0 && cpuAfter >= 0) run.cpuSeconds = cpuAfter - cpuBefore;
  client.Close();
  engine.Terminate();
  if (!engine.WaitExit(5000)) {
    engine.Kill();
    run.problem += run.problem.empty() ? "" : "; ";
    run.problem += "it did not exit within 5 s of SIGTERM";
  }
  return run;
}

engineproto::FileRecord Record(const std::string& folder, const std::string& name, const std::string& url) {
  engineproto::FileRecord file;
  file.folder = folder + "/";
  file.fileName = name;
  file.url = url;
  file.size = -1;  // as a user hands a URL: the engine finds the size
  return file;
}

// One program's line of a scenario's table.
struct Row {
  std::string name;
  bool ran = false;
  bool exact = false;
  double seconds = 0;
  double cpuSeconds = 0;
  long peakRssKiB = 0;
  bench::ServerCounters served;
  std::string note;
  double Rate(int64_t bytes) const { return seconds > 0 ? static_cast<double>(bytes) / seconds : 0; }
};

// Every scenario's goals, printed once more at the end.
bench::Table summary({"goal", "figure", "target", "result"});
bool engineWrong = false;  // a download of the engine came out wrong or not at all

void PrintRows(const std::vector<Row>& rows, int64_t bytes, bool withServer) {
  std::vector<std::string> header = {"program", "time s", "MB/s", "CPU s", "peak RSS MiB"};
  if (withServer) header.insert(header.end(), {"connections", "range requests", "stalled"});
  header.push_back("files exact");
  bench::Table table(header);
  for (const Row& row : rows) {
    if (!row.ran) {
      table.Add({row.name, row.note.empty() ? "not run" : row.note});
      continue;
    }
    std::vector<std::string> cells = {row.name, Format("%.3f", row.seconds),
                                      Format("%.1f", row.Rate(bytes) / kMB), Format("%.2f", row.cpuSeconds),
                                      Format("%.1f", static_cast<double>(row.peakRssKiB) / 1024.0)};
    if (withServer) {
      cells.push_back(std::to_string(row.served.connections));
      cells.push_back(std::to_string(row.served.rangeRequests));
      cells.push_back(std::to_string(row.served.stalled));
    }
    cells.push_back(row.exact ? "yes" : "NO");
    table.Add(cells);
  }
  table.Print();
  for (const Row& row : rows) {
    if (row.ran && !row.note.empty()) std::printf("  %s: %s\n", row.name.c_str(), row.note.c_str());
  }
}

void Goal(bench::Table& goals, const std::string& name, const std::string& figure, const std::string& target,
          bool pass) {
  goals.Add({name, figure, target, Ok(pass)});
  summary.Add({name, figure, target, Ok(pass)});
}

// Runs the engine on `files`, checks them with `check`, and fills a row.
Row EngineRow(const std::string& name, const std::vector<engineproto::FileRecord>& files,
              const bench::TempFolder& temp, double timeoutSeconds, const std::function<bool()>& check,
              const std::vector<bench::ContentServer*>& servers) {
  for (bench::ContentServer* server : servers) server->ResetCounters();
  Row row;
  row.name = name;
  const EngineRun run = RunEngine(files, temp, timeoutSeconds);
  row.ran = run.finished;
  row.seconds = run.seconds;
  row.cpuSeconds = run.cpuSeconds;
  row.peakRssKiB = run.peakRssKiB;
  row.note = run.problem;
  row.exact = run.finished && run.result == 0 && check();
  for (bench::ContentServer* server : servers) {
    const bench::ServerCounters counters = server->Counters();
    row.served.connections += counters.connections;
    row.served.rangeRequests += counters.rangeRequests;
    row.served.stalled += counters.stalled;
    row.served.bodyBytes += counters.bodyBytes;
  }
  if (!row.exact) {
    engineWrong = true;
    if (row.note.empty()) row.note = "a file came out wrong or missing";
  }
  return row;
}

Row PeerRow(const std::string& name, const std::vector<std::string>& argv, const std::function<bool()>& check,
            const std::vector<bench::ContentServer*>& servers) {
  Row row;
  row.name = name;
  if (!bench::ProgramAvailable(argv[0])) {
    row.note = argv[0] + " not installed";
    return row;
  }
  for (bench::ContentServer* server : servers) server->ResetCounters();
  const bench::Usage usage = bench::RunProgram(argv);
  row.ran = true;
  row.seconds = usage.wallSeconds;
  row.cpuSeconds = usage.cpuSeconds;
  row.peakRssKiB = usage.peakRssKiB;
  row.exact = usage.exitCode == 0 && check();
  if (usage.exitCode != 0) row.note = Format("exit code %d", usage.exitCode);
  for (bench::ContentServer* server : servers) {
    const bench::ServerCounters counters = server->Counters();
    row.served.connections += counters.connections;
    row.served.rangeRequests += counters.rangeRequests;
    row.served.stalled += counters.stalled;
    row.served.bodyBytes += counters.bodyBytes;
  }
  return row;
}

// Skips (with the reason) when the temporary folder's file system has less than `needed` free.
bool EnoughSpace(const bench::TempFolder& temp, int64_t needed, const char* scenario) {
  const int64_t free = bench::FreeBytes(temp.Path());
  if (free >= 0 && free < needed) {
    std::printf("  SKIPPED (%s): %.2f GiB free in %s, %.2f GiB needed\n\n", scenario,
                static_cast<double>(free) / kGiB, temp.Path().c_str(), static_cast<double>(needed) / kGiB);
    summary.Add({Format("(%s)", scenario), "skipped: too little disk space", "", "MISS"});
    return false;
  }
  return true;
}

bool FileIs(const std::string& file, const std::string& path, int64_t size) {
  const bool same = bench::FileMatches(file, path, size);
  std::error_code error;
  std::filesystem::remove(file, error);  // the next program needs the space
  return same;
}

// (a) and (b): one file, every connection capped, with or without a stalling response.
void CappedScenario(bool stall) {
  const char* id = stall ? "b" : "a";
  const std::string path = "/big.bin";
  const int64_t size = 256 * kMiBBytes;
  std::printf("(%s) one %lld MiB file, every connection capped at %.0f MB/s%s\n", id,
              static_cast<long long>(size / kMiBBytes), kCap / kMB,
              stall ? ", the 3rd range response stalling after 10 % of its range" : "");
  std::fflush(stdout);
  bench::TempFolder temp(Format("orba-bench-engine-%s", id));
  if (!EnoughSpace(temp, size + 512 * kMiBBytes, id)) return;
  bench::ServeOptions options;
  options.bytesPerSecond = kCap;
  if (stall) options.stalls.push_back({path, 3, 0.10});
  bench::ContentServer server({{path, size}}, options);
  const std::string folder = temp.Sub("files");
  const std::string file = folder + "/big.bin";
  auto check = [&] { return FileIs(file, path, size); };

  std::vector<Row> rows;
  rows.push_back(EngineRow("engine, high speed", {Record(folder, "big.bin", server.Url(path))}, temp, 300,
                           check, {&server}));
  rows.push_back(PeerRow("aria2c -x16 -s16 -k1M",
                         {"aria2c", "-q", "-x16", "-s16", "-k1M", "--allow-overwrite=true", "-d", folder,
                          "-o", "big.bin", server.Url(path)},
                         check, {&server}));
  PrintRows(rows, size, true);

  const Row& engine = rows[0];
  const Row& aria = rows[1];
  std::printf("\n");
  bench::Table goals({"goal", "figure", "target", "result"});
  if (!stall) {
    Goal(goals, "(a) engine time next to aria2c's",
         aria.ran ? Format("%.3f s vs %.3f s", engine.seconds, aria.seconds) : "aria2c did not run",
         "<= aria2c", engine.exact && aria.ran && engine.seconds <= aria.seconds);
    const double goal = 0.9 * 16 * kCap;
    Goal(goals, "(a) engine rate", Format("%.1f MB/s", engine.Rate(size) / kMB),
         Format(">= %.0f MB/s (0.9 x 16 x %.0f)", goal / kMB, kCap / kMB),
         engine.exact && engine.Rate(size) >= goal);
  } else {
    const double ratio = engine.exact && aria.ran && engine.seconds > 0 ? aria.seconds / engine.seconds : 0;
    Goal(goals, "(b) engine speed as a multiple of aria2c's, one response stalling",
         aria.ran ? Format("%.3f s vs %.3f s = %.2fx", engine.seconds, aria.seconds, ratio)
                  : "aria2c did not run",
         ">= 1.5x", ratio >= 1.5);
  }
  goals.Print();
  std::printf("\n");
}

// (c): the same file from four mirrors, one of them slow, next to the three fast ones alone.
void MirrorScenario() {
  const std::string path = "/big.bin";
  const int64_t size = 256 * kMiBBytes;
  std::printf(
      "(c) one %lld MiB file from four mirrors, each connection capped at %.0f MB/s, the first mirror of the "
      "list at %.1f MB/s\n",
      static_cast<long long>(size / kMiBBytes), kCap / kMB, kCap / 10 / kMB);
  std::fflush(stdout);
  bench::TempFolder temp("orba-bench-engine-c");
  if (!EnoughSpace(temp, size + 512 * kMiBBytes, "c")) return;
  bench::ServeOptions fast, slow;
  fast.bytesPerSecond = kCap;
  slow.bytesPerSecond = kCap / 10;
  bench::ContentServer slowMirror({{path, size}}, slow);
  bench::ContentServer fast1({{path, size}}, fast), fast2({{path, size}}, fast), fast3({{path, size}}, fast);
  const std::vector<bench::ContentServer*> all = {&slowMirror, &fast1, &fast2, &fast3};
  const std::vector<bench::ContentServer*> three = {&fast1, &fast2, &fast3};
  const std::string folder = temp.Sub("files");
  const std::string file = folder + "/big.bin";
  auto check = [&] { return FileIs(file, path, size); };
  auto joined = [&](const std::vector<bench::ContentServer*>& servers, const char* separator) {
    std::string text;
    for (bench::ContentServer* server : servers) {
      if (!text.empty()) text += separator;
      text += server->Url(path);
    }
    return text;
  };
  auto shares = [&](const std::vector<bench::ContentServer*>& servers) {
    std::string text;
    for (bench::ContentServer* server : servers) {
      text += Format("%s%.1f", text.empty() ? "" : " / ",
                     static_cast<double>(server->Counters().bodyBytes) / kMiBBytes);
    }
    return text + " MiB sent by each mirror (the slow one first)";
  };

  std::vector<Row> rows;
  rows.push_back(EngineRow("engine, four mirrors", {Record(folder, "big.bin", joined(all, "|"))}, temp, 300,
                           check, all));
  const std::string fourShares = shares(all);
  rows.push_back(EngineRow("engine, the three fast mirrors", {Record(folder, "big.bin", joined(three, "|"))},
                           temp, 300, check, three));
  std::vector<std::string> ariaAll = {"aria2c", "-q",   "-x16", "-s16",   "-k1M", "--allow-overwrite=true",
                                      "-d",     folder, "-o",   "big.bin"};
  for (bench::ContentServer* server : all) ariaAll.push_back(server->Url(path));
  rows.push_back(PeerRow("aria2c -x16 -s16 -k1M, four mirrors (reference)", ariaAll, check, all));
  const std::string ariaShares = shares(all);
  PrintRows(rows, size, true);
  std::printf("  engine, four mirrors: %s\n", fourShares.c_str());
  if (rows[2].ran) std::printf("  aria2c, four mirrors: %s\n", ariaShares.c_str());

  const Row& four = rows[0];
  const Row& fastOnly = rows[1];
  const double ratio =
      four.exact && fastOnly.exact && fastOnly.seconds > 0 ? four.seconds / fastOnly.seconds : 0;
  std::printf("\n");
  bench::Table goals({"goal", "figure", "target", "result"});
  Goal(goals, "(c) four mirrors, one slow, next to the three fast ones",
       Format("%.3f s vs %.3f s = %.2fx", four.seconds, fastOnly.seconds, ratio), "<= 1.1x",
       ratio > 0 && ratio <= 1.1);
  goals.Print();
  std::printf("\n");
}

// (d): uncapped, one 1 GiB file to disk.
void UncappedScenario() {
  const std::string path = "/big.bin";
  const int64_t size = 1024 * kMiBBytes;
  std::printf("(d) one %lld MiB file uncapped, to disk\n", static_cast<long long>(size / kMiBBytes));
  std::fflush(stdout);
  bench::TempFolder temp("orba-bench-engine-d");
  if (!EnoughSpace(temp, size + 1024 * kMiBBytes, "d")) return;
  bench::ContentServer server({{path, size}}, bench::ServeOptions{});
  const std::string folder = temp.Sub("files");
  const std::string file = folder + "/big.bin";
  auto check = [&] { return FileIs(file, path, size); };
  const std::string url = server.Url(path);

  std::vector<Row> rows;
  rows.push_back(
      EngineRow("engine, high speed", {Record(folder, "big.bin", url)}, temp, 300, check, {&server}));
  rows.push_back(PeerRow("curl", {"curl", "-s", "-S", "-o", file, url}, check, {&server}));
  rows.push_back(PeerRow("aria2c (its defaults: one connection per server)",
                         {"aria2c", "-q", "--allow-overwrite=true", "-d", folder, "-o", "big.bin", url},
                         check, {&server}));
  PrintRows(rows, size, true);

  const Row& engine = rows[0];
  const Row& curl = rows[1];
  const Row& aria = rows[2];
  std::printf("\n");
  bench::Table goals({"goal", "figure", "target", "result"});
  const double curlRatio = curl.ran && curl.exact ? engine.Rate(size) / curl.Rate(size) : 0;
  Goal(goals, "(d) engine rate next to curl's",
       curl.ran
           ? Format("%.1f vs %.1f MB/s = %.2fx", engine.Rate(size) / kMB, curl.Rate(size) / kMB, curlRatio)
           : "curl did not run",
       ">= 0.9x", engine.exact && curlRatio >= 0.9);
  const double ariaRatio = aria.ran && aria.exact ? engine.Rate(size) / aria.Rate(size) : 0;
  Goal(goals, "(d) engine rate next to aria2c's (aria2c defaults)",
       aria.ran
           ? Format("%.1f vs %.1f MB/s = %.2fx", engine.Rate(size) / kMB, aria.Rate(size) / kMB, ariaRatio)
           : "aria2c did not run",
       ">= 2x", engine.exact && ariaRatio >= 2);
  goals.Print();
  std::printf("\n");
}

// (e): many small files in one job.
void FileListScenario() {
  const int count = 500;
  const int64_t size = 64 * 1024;
  std::printf("(e) %d files of %lld KiB in one job\n", count, static_cast<long long>(size / 1024));
  std::fflush(stdout);
  bench::TempFolder temp("orba-bench-engine-e");
  if (!EnoughSpace(temp, count * size * 2 + 256 * kMiBBytes, "e")) return;
  std::vector<std::pair<std::string, int64_t>> served;
  std::vector<std::string> names;
  for (int i = 1; i <= count; ++i) {
    names.push_back(Format("f%04d.bin", i));
    served.emplace_back(Format("/list/%s", names.back().c_str()), size);
  }
  bench::ContentServer server(served, bench::ServeOptions{});
  const std::string folder = temp.Sub("files");
  const std::string listFile = temp.Path() + "/list.txt";
  std::vector<engineproto::FileRecord> files;
  {
    std::ofstream list(listFile);
    for (size_t i = 0; i < served.size(); ++i) {
      list << server.Url(served[i].first) << "\n";
      files.push_back(Record(folder, names[i], server.Url(served[i].first)));
    }
  }
  auto check = [&] {
    bool all = true;
    for (size_t i = 0; i < served.size(); ++i)
      all = FileIs(folder + "/" + names[i], served[i].first, size) && all;
    return all;
  };

  std::vector<Row> rows;
  rows.push_back(EngineRow("engine, high speed, one job", files, temp, 300, check, {&server}));
  rows.push_back(PeerRow("aria2c -i list", {"aria2c", "-q", "-d", folder, "-i", listFile}, check, {&server}));
  PrintRows(rows, count * size, true);

  const Row& engine = rows[0];
  const Row& aria = rows[1];
  const double ratio = engine.exact && aria.ran && aria.seconds > 0 ? engine.seconds / aria.seconds : 0;
  std::printf("\n");
  bench::Table goals({"goal", "figure", "target", "result"});
  Goal(goals, "(e) engine time next to aria2c -i",
       aria.ran ? Format("%.3f s vs %.3f s = %.2fx", engine.seconds, aria.seconds, ratio)
                : "aria2c did not run",
       "<= 0.3x", ratio > 0 && ratio <= 0.3);
  goals.Print();
  std::printf("\n");
}

// (f): the engine's peak memory over a 4 GiB download.
void MemoryScenario() {
  const std::string path = "/huge.bin";
  const int64_t size = 4096 * kMiBBytes;
  std::printf("(f) peak resident memory of the engine process over one %lld MiB file\n",
              static_cast<long long>(size / kMiBBytes));
  std::fflush(stdout);
  bench::TempFolder temp("orba-bench-engine-f");
  if (!EnoughSpace(temp, size + 1024 * kMiBBytes, "f")) return;
  bench::ContentServer server({{path, size}}, bench::ServeOptions{});
  const std::string folder = temp.Sub("files");
  const std::string file = folder + "/huge.bin";
  std::vector<Row> rows;
  rows.push_back(EngineRow("engine, high speed", {Record(folder, "huge.bin", server.Url(path))}, temp, 600,
                           [&] { return FileIs(file, path, size); }, {&server}));
  PrintRows(rows, size, true);
  const Row& engine = rows[0];
  const double peakMiB = static_cast<double>(engine.peakRssKiB) / 1024.0;
  std::printf("\n");
  bench::Table goals({"goal", "figure", "target", "result"});
  Goal(goals, "(f) engine peak RSS (VmHWM) over a 4 GiB file", Format("%.1f MiB", peakMiB), "<= 64 MiB",
       engine.exact && engine.peakRssKiB > 0 && peakMiB <= 64);
  goals.Print();
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> picked(argv + 1, argv + argc);
  auto wanted = [&](const char* id) {
    return picked.empty() || std::find(picked.begin(), picked.end(), id) != picked.end();
  };
  const std::string program = EngineProgram();
  std::printf("engine %s, one run per scenario; load average at start %s\n", program.c_str(),
              bench::LoadAverage().c_str());
  std::string version;
  const std::optional<int> code =
      testsupport::EngineProcess::RunToExit(program, {"--version"}, {}, 5000, &version);
  if (!code) {
    std::printf("  the engine program did not answer --version within 5 s\n");
  } else {
    std::printf("  --version: exit code %d, \"%s\"\n", *code, Printable(version).c_str());
  }
  std::printf("\n");
  std::fflush(stdout);

  if (wanted("a")) CappedScenario(false);
  if (wanted("b")) CappedScenario(true);
  if (wanted("c")) MirrorScenario();
  if (wanted("d")) UncappedScenario();
  if (wanted("e")) FileListScenario();
  if (wanted("f")) MemoryScenario();

  std::printf("all goals; load average at the end %s\n", bench::LoadAverage().c_str());
  summary.Print();
  std::printf("\n");
  return engineWrong ? 1 : 0;
}
