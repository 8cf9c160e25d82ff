// Direct download of one large file (1 GiB by default) over https with the player's consent, from
// a local TLS server in a child process whose certificate a test authority made here; the library
// trusts that authority through ORBA_TLS_CA_FILE, and curl fetches the same file with --cacert in
// the same run. Reported: throughput (and, for the library, its share of the 104857600 B/s
// receive budget a job is paced to) and CPU seconds per GiB of the downloading process, next to
// curl paced to the same budget (the goal, <= 1.5x; see the direct benchmark for why the rate
// matters) and unpaced. Every downloaded file is checked byte for byte against the served content.
// Usage: orba_bench_https_download [rounds] [bytes]
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/LibraryJob.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TlsHttpServer.h"

namespace {

constexpr double kBudget = 104857600.0;  // bytes per second with consent
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr int64_t kNeededFree = 3ll * 1024 * 1024 * 1024;
constexpr double kCpuGoal = 1.5;  // CPU seconds per GiB, as a multiple of curl's

// The TLS server in a child process, so that its CPU is nobody's figure; its bodies are the
// generated content of the plain-http benchmarks, made while they are sent.
class TlsContentServer {
 public:
  TlsContentServer(const testsupport::TestCertificate& certificate, const std::string& path, int64_t size) {
    int report[2];
    if (pipe(report) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      close(report[0]);
      testsupport::TlsHttpServer server({certificate});
      bench::ContentGenerator content(bench::SeedOf(path));
      server.AddResource(path, static_cast<uint64_t>(size),
                         [&content](uint64_t offset, char* out, size_t length) {
                           content.Fill(static_cast<int64_t>(offset), out, length);
                         });
      int port = server.Port();
      if (write(report[1], &port, sizeof port) != sizeof port) _exit(1);
      close(report[1]);
      for (;;) pause();  // until the parent ends it
    }
    close(report[1]);
    if (read(report[0], &port_, sizeof port_) != sizeof port_) std::abort();
    close(report[0]);
  }
  ~TlsContentServer() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  TlsContentServer(const TlsContentServer&) = delete;
  TlsContentServer& operator=(const TlsContentServer&) = delete;

  // By name, so that the client sends it as SNI and checks it against the certificate.
  std::string Url(const std::string& path) const {
    return "https://localhost:" + std::to_string(port_) + path;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

using bench::Samples;
using bench::Verdict;

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int64_t size = argc > 2 ? std::atoll(argv[2]) : 1024ll * 1024 * 1024;
  const double gib = static_cast<double>(size) / kGiB;

  bench::TempFolder temp("orba-bench-https");
  const int64_t free = bench::FreeBytes(temp.Path());
  std::printf(
      "direct download of %.2f GiB over https from localhost with consent, %d rounds, median figures\n", gib,
      rounds);
  if (free >= 0 && free < kNeededFree) {
    std::printf("  SKIPPED: %.2f GiB free in %s, at least 3 GiB needed\n", static_cast<double>(free) / kGiB,
                temp.Path().c_str());
    return 0;
  }
  testsupport::TestCertificates authority;
  setenv("XDG_DATA_HOME", temp.Sub("data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", temp.Sub("config").c_str(), 1);
  setenv("ORBA_NETWORK_STATE", "online", 1);
  setenv("ORBA_TLS_CA_FILE", authority.CaFile().c_str(), 1);
  unsetenv("ORBA_TLS_VERIFY");
  // The relay report goes to a loopback port nothing listens on: nothing leaves the machine.
  setenv("ORBA_RELAY_HOST", "127.0.0.1", 1);
  setenv("ORBA_RELAY_PORT", std::to_string(bench::UnusedLoopbackPort()).c_str(), 1);

  const std::string path = "/orba/big.bin";
  TlsContentServer server(authority.Issue(), path, size);
  const std::string url = server.Url(path);
  const bool haveCurl = bench::ProgramAvailable("curl");
  const std::string loadBefore = bench::LoadAverage();

  Samples library, curlPaced, curl;
  bool failed = false;
  for (int round = 1; round <= rounds; ++round) {
    {
      const std::string folder = temp.Sub("library");
      bench::JobOutcome outcome = bench::RunLibraryJob({{url, -1}}, folder, 600);
      const bool exact = outcome.filesDone == 1 && bench::FileMatches(folder + "/big.bin", path, size);
      bench::AddLibraryRound(library, round, "library", outcome, exact);
      failed = failed || library.exact < library.rounds;
      std::filesystem::remove_all(folder);
    }
    auto peer = [&](const char* name, Samples& samples, std::vector<std::string> extra) {
      const std::string folder = temp.Sub("curl");
      const std::string file = folder + "/big.bin";
      // -4: the server listens on 127.0.0.1 only.
      std::vector<std::string> argv = {"curl", "-s", "-S", "-4", "--cacert", authority.CaFile(),
                                       "-o",   file, url};
      argv.insert(argv.begin() + 1, extra.begin(), extra.end());
      bench::Usage usage = bench::RunProgram(argv);
      const bool exact = usage.exitCode == 0 && bench::FileMatches(file, path, size);
      samples.Add(round, name, usage.wallSeconds, usage.cpuSeconds, usage.peakRssKiB, exact);
      std::filesystem::remove_all(folder);
    };
    if (haveCurl) peer("curl at the budget", curlPaced, {"--limit-rate", "104857600"});
    if (haveCurl) peer("curl", curl, {});
  }
  const std::string loadAfter = bench::LoadAverage();

  std::printf("\nhttps direct download, %.2f GiB, median of %d rounds; load average before %s, after %s\n",
              gib, rounds, loadBefore.c_str(), loadAfter.c_str());
  bench::Table figures(
      {"program", "wall s", "MiB/s", "share of budget", "CPU s", "CPU s/GiB", "files exact"});
  auto row = [&](const char* name, const Samples& samples, bool budgeted) {
    if (samples.rounds == 0) {
      figures.Add({name, "not installed"});
      return;
    }
    const double wall = bench::Median(samples.wall);
    const double rate = static_cast<double>(size) / wall;
    figures.Add({name, bench::Format("%.3f", wall), bench::Format("%.1f", rate / kMiB),
                 budgeted ? bench::Format("%.3f", rate / kBudget) : std::string("(unpaced)"),
                 bench::Format("%.3f", bench::Median(samples.cpu)),
                 bench::Format("%.3f", bench::Median(samples.cpu) / gib),
                 bench::Format("%d/%d", samples.exact, samples.rounds)});
  };
  row("library", library, true);
  row("curl at the budget", curlPaced, true);
  row("curl", curl, false);
  figures.Print();
  const bool allExact = library.rounds > 0 && library.exact == library.rounds;
  const double share =
      library.rounds > 0 ? static_cast<double>(size) / bench::Median(library.wall) / kBudget : 0;
  std::printf("\n");
  bench::Table goals({"goal", "figure", "target", "result"});
  goals.Add({"throughput share of 104857600 B/s", bench::Format("%.3f", share), ">= 0.95",
             Verdict(allExact && share >= 0.95)});
  if (curlPaced.rounds > 0) {
    const double cpuPerGiB = bench::Median(library.cpu) / gib;
    const double pacedPerGiB = bench::Median(curlPaced.cpu) / gib;
    const double curlPerGiB = bench::Median(curl.cpu) / gib;
    goals.Add({"CPU s/GiB over https next to curl at the same rate",
               bench::Format("%.3f vs curl %.3f = %.2fx", cpuPerGiB, pacedPerGiB, cpuPerGiB / pacedPerGiB),
               "<= 1.5x curl", Verdict(allExact && cpuPerGiB / pacedPerGiB <= kCpuGoal)});
    goals.Add({"    (next to curl unpaced, for reference)",
               bench::Format("%.3f vs curl %.3f = %.2fx", cpuPerGiB, curlPerGiB, cpuPerGiB / curlPerGiB), "",
               ""});
  } else {
    goals.Add(
        {"CPU s/GiB over https next to curl at the same rate", "curl not installed", "<= 1.5x curl", "MISS"});
  }
  goals.Print();
  std::printf("\n");
  return failed ? 1 : 0;
}
