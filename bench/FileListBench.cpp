// A list of 500 files of 64 KiB from a local server, downloaded as one job with consent, next to
// curl run once per file and aria2c reading the whole list (-i), in the same run:
//   (b) total time of the list (goal: faster than curl run once per file).
// The library runs the job twice per round: as the application adds its files (sizes unknown, so
// the job first checks every size) and with the sizes given. Every file of every program is checked
// byte for byte; a round with a wrong or missing file fails the goal.
// Usage: orba_bench_file_list [rounds] [files] [bytes per file]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/LibraryJob.h"

namespace {

using bench::Samples;
using bench::Verdict;

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  const int count = argc > 2 ? std::max(1, std::atoi(argv[2])) : 500;
  const int64_t size = argc > 3 ? std::atoll(argv[3]) : 64 * 1024;

  bench::TempFolder temp("orba-bench-list");
  setenv("XDG_DATA_HOME", temp.Sub("data").c_str(), 1);
  setenv("XDG_CONFIG_HOME", temp.Sub("config").c_str(), 1);
  setenv("ORBA_NETWORK_STATE", "online", 1);
  // The relay report goes to a loopback port nothing listens on: nothing leaves the machine.
  setenv("ORBA_RELAY_HOST", "127.0.0.1", 1);
  setenv("ORBA_RELAY_PORT", std::to_string(bench::UnusedLoopbackPort()).c_str(), 1);

  std::vector<std::pair<std::string, int64_t>> served;
  std::vector<std::string> names;
  for (int i = 1; i <= count; ++i) {
    names.push_back(bench::Format("f%04d.bin", i));
    served.emplace_back("/list/" + names.back(), size);
  }
  bench::ContentServer server(served);
  std::vector<std::string> urls;
  for (const auto& [path, bytes] : served) urls.push_back(server.Url(path));
  const std::string listFile = temp.Path() + "/list.txt";
  {
    std::ofstream list(listFile);
    for (const std::string& url : urls) list << url << "\n";
  }
  auto allExact = [&](const std::string& folder) {
    for (size_t i = 0; i < served.size(); ++i) {
      if (!bench::FileMatches(folder + "/" + names[i], served[i].first, size)) return false;
    }
    return true;
  };

  std::printf("list of %d files of %lld bytes from 127.0.0.1, %d rounds, median figures\n", count,
              static_cast<long long>(size), rounds);
  const bool haveCurl = bench::ProgramAvailable("curl");
  const bool haveAria = bench::ProgramAvailable("aria2c");
  const std::string loadBefore = bench::LoadAverage();
  Samples unknownSizes, knownSizes, curl, aria;
  bool failed = false;

  auto library = [&](int round, const char* name, Samples& samples, bool sizesGiven) {
    const std::string folder = temp.Sub("library");
    std::vector<bench::JobFile> files;
    for (const std::string& url : urls) files.push_back({url, sizesGiven ? size : -1});
    bench::JobOutcome outcome = bench::RunLibraryJob(files, folder, 600);
    bench::AddLibraryRound(samples, round, name, outcome, outcome.filesDone == count && allExact(folder));
    failed = failed || samples.exact < samples.rounds;
    std::filesystem::remove_all(folder);
  };

  for (int round = 1; round <= rounds; ++round) {
    library(round, "library, sizes unknown", unknownSizes, false);
    library(round, "library, sizes given", knownSizes, true);
    if (haveCurl) {
      const std::string folder = temp.Sub("curl");
      double cpu = 0;
      long peak = 0;
      bool ok = true;
      const double start = bench::NowSeconds();
      for (size_t i = 0; i < urls.size(); ++i) {
        bench::Usage usage = bench::RunProgram({"curl", "-s", "-S", "-o", folder + "/" + names[i], urls[i]});
        cpu += usage.cpuSeconds;
        peak = std::max(peak, usage.peakRssKiB);
        ok = ok && usage.exitCode == 0;
      }
      const double wall = bench::NowSeconds() - start;
      curl.Add(round, "curl once per file", wall, cpu, peak, ok && allExact(folder));
      std::filesystem::remove_all(folder);
    }
    if (haveAria) {
      const std::string folder = temp.Sub("aria2c");
      bench::Usage usage = bench::RunProgram({"aria2c", "-q", "-d", folder, "-i", listFile});
      aria.Add(round, "aria2c -i", usage.wallSeconds, usage.cpuSeconds, usage.peakRssKiB,
               usage.exitCode == 0 && allExact(folder));
      std::filesystem::remove_all(folder);
    }
  }
  const std::string loadAfter = bench::LoadAverage();

  std::printf("\n(b) list of %d x %lld bytes, median of %d rounds; load average before %s, after %s\n", count,
              static_cast<long long>(size), rounds, loadBefore.c_str(), loadAfter.c_str());
  const double curlWall = curl.rounds > 0 ? bench::Median(curl.wall) : 0;
  bench::Table figures(
      {"program", "total s", "ms per file", "vs curl per file", "CPU s", "peak RSS MiB", "rounds exact"});
  auto row = [&](const char* name, const Samples& samples) {
    if (samples.rounds == 0) {
      figures.Add({name, "not installed"});
      return;
    }
    const double wall = bench::Median(samples.wall);
    figures.Add({name, bench::Format("%.3f", wall), bench::Format("%.2f", wall * 1000 / count),
                 curlWall > 0 ? bench::Format("%.2fx", wall / curlWall) : std::string("-"),
                 bench::Format("%.3f", bench::Median(samples.cpu)),
                 bench::Format("%.1f", bench::Median(samples.rssMiB)),
                 bench::Format("%d/%d", samples.exact, samples.rounds)});
  };
  row("library, sizes unknown (as the app adds files)", unknownSizes);
  row("library, sizes given", knownSizes);
  row("curl once per file", curl);
  row("aria2c -i", aria);
  figures.Print();

  std::printf("\n");
  bench::Table goals({"goal", "figure", "target", "result"});
  auto goal = [&](const char* name, const Samples& samples) {
    const double wall = bench::Median(samples.wall);
    const bool exact = samples.exact == samples.rounds;
    if (curl.rounds == 0) {
      goals.Add({name, bench::Format("%.3f s, curl not installed", wall), "< curl once per file", "MISS"});
      return;
    }
    goals.Add({name, bench::Format("%.3f s vs curl %.3f s", wall, curlWall), "< curl once per file",
               Verdict(exact && wall < curlWall)});
  };
  goal("(b) list total, sizes unknown", unknownSizes);
  goal("(b) list total, sizes given", knownSizes);
  goals.Print();
  std::printf("\n");
  return failed ? 1 : 0;
}
