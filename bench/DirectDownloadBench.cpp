// Direct download of one 1 GiB file with the player's consent, from a local server, next to curl
// and wget fetching the same file in the same run:
//   (a) throughput as a share of the 104857600 B/s receive budget (goal >= 0.95) and CPU seconds
//       per GiB of the downloading process (goal <= 1.5x curl's at the same rate: curl paced to the
//       budget; unpaced curl is shown too). The rate matters on a virtual machine that hands freed
//       memory back to its host: a download spread over ten seconds writes most of its file into
//       page-cache pages the host has to back again, and that cost lands in the writer's CPU time,
//       while a download as fast as the disk takes pages freed a moment before;
//   (c) peak resident memory of the process hosting the library while it downloads (goal <= 64 MiB).
// Every downloaded file is checked byte for byte against the served content; a round whose file
// is wrong fails every goal. Usage: orba_bench_direct_download [rounds] [bytes]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/LibraryJob.h"

namespace {

constexpr double kBudget = 104857600.0;  // bytes per second with consent
constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr int64_t kNeededFree = 3ll * 1024 * 1024 * 1024;
constexpr double kCpuGoal = 1.5;  // CPU seconds per GiB, as a multiple of curl's

using bench::Samples;
using bench::Verdict;

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int64_t size = argc > 2 ? std::atoll(argv[2]) : 1024ll * 1024 * 1024;
  const double gib = static_cast<double>(size) / kGiB;

  bench::TempFolder temp("orba-bench-direct");
  const int64_t free = bench::FreeBytes(temp.Path());
  std::printf("direct download of %.2f GiB from 127.0.0.1 with consent, %d rounds, median figures\n", gib,
              rounds);
  if (free >= 0 && free < kNeededFree) {
    std::printf("  SKIPPED (a) and (c): %.2f GiB free in %s, at least 3 GiB needed\n", free / kGiB,
                temp.Path().c_str());
    return 0;
  }
  setenv("XDG_DATA_HOME", temp.Sub("data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", temp.Sub("config").c_str(), 1);
  setenv("ORBA_NETWORK_STATE", "online", 1);
  // The relay report goes to a loopback port nothing listens on: nothing leaves the machine.
  setenv("ORBA_RELAY_HOST", "127.0.0.1", 1);
  setenv("ORBA_RELAY_PORT", std::to_string(bench::UnusedLoopbackPort()).c_str(), 1);

  const std::string path = "/orba/big.bin";
  bench::ContentServer server({{path, size}});
  const std::string url = server.Url(path);
  const bool haveCurl = bench::ProgramAvailable("curl");
  const bool haveWget = bench::ProgramAvailable("wget");
  const std::string loadBefore = bench::LoadAverage();

  Samples library, curlPaced, curl, wget;
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
    auto peer = [&](const char* name, Samples& samples, std::vector<std::string> argv,
                    const std::string& file) {
      bench::Usage usage = bench::RunProgram(argv);
      const bool exact = usage.exitCode == 0 && bench::FileMatches(file, path, size);
      samples.Add(round, name, usage.wallSeconds, usage.cpuSeconds, usage.peakRssKiB, exact);
      std::filesystem::remove(file);
    };
    const std::string peerFolder = temp.Sub("peers");
    if (haveCurl)
      peer("curl at the budget", curlPaced,
           {"curl", "-s", "-S", "--limit-rate", "104857600", "-o", peerFolder + "/big.bin", url},
           peerFolder + "/big.bin");
    if (haveCurl)
      peer("curl", curl, {"curl", "-s", "-S", "-o", peerFolder + "/big.bin", url}, peerFolder + "/big.bin");
    if (haveWget)
      peer("wget", wget, {"wget", "-q", "-O", peerFolder + "/big.bin", url}, peerFolder + "/big.bin");
  }
  const std::string loadAfter = bench::LoadAverage();

  std::printf("\n(a)+(c) direct download, %.2f GiB, median of %d rounds; load average before %s, after %s\n",
              gib, rounds, loadBefore.c_str(), loadAfter.c_str());
  bench::Table figures(
      {"program", "wall s", "MiB/s", "share of budget", "CPU s", "CPU s/GiB", "peak RSS MiB", "files exact"});
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
                 bench::Format("%.1f", bench::Median(samples.rssMiB)),
                 bench::Format("%d/%d", samples.exact, samples.rounds)});
  };
  row("library", library, true);
  row("curl at the budget", curlPaced, true);
  row("curl", curl, false);
  row("wget", wget, false);
  figures.Print();

  const bool allExact = library.exact == library.rounds;
  const double share = static_cast<double>(size) / bench::Median(library.wall) / kBudget;
  const double cpuPerGiB = bench::Median(library.cpu) / gib;
  const double peakMiB = bench::Median(library.rssMiB);
  const double worstPeakMiB = *std::max_element(library.rssMiB.begin(), library.rssMiB.end());
  std::printf("\n");
  bench::Table goals({"goal", "figure", "target", "result"});
  goals.Add({"(a) throughput share of 104857600 B/s", bench::Format("%.3f", share), ">= 0.95",
             Verdict(allExact && share >= 0.95)});
  if (curlPaced.rounds > 0) {
    const double pacedPerGiB = bench::Median(curlPaced.cpu) / gib;
    const double ratio = cpuPerGiB / pacedPerGiB;
    goals.Add({"(a) CPU s/GiB next to curl at the same rate",
               bench::Format("%.3f vs curl %.3f = %.2fx", cpuPerGiB, pacedPerGiB, ratio), "<= 1.5x curl",
               Verdict(allExact && ratio <= kCpuGoal)});
    const double curlPerGiB = bench::Median(curl.cpu) / gib;
    goals.Add({"    (next to curl unpaced, for reference)",
               bench::Format("%.3f vs curl %.3f = %.2fx", cpuPerGiB, curlPerGiB, cpuPerGiB / curlPerGiB), "",
               ""});
  } else {
    goals.Add({"(a) CPU s/GiB next to curl at the same rate",
               bench::Format("%.3f, curl not installed", cpuPerGiB), "<= 1.5x curl", "MISS"});
  }
  goals.Add({"(c) peak RSS while downloading", bench::Format("%.1f MiB (worst %.1f)", peakMiB, worstPeakMiB),
             "<= 64 MiB", Verdict(allExact && worstPeakMiB <= 64.0)});
  goals.Print();
  std::printf("\n");
  return failed ? 1 : 0;
}
