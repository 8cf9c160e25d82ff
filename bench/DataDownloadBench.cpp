// The in-memory data download of a 64 MiB body from a local server, next to curl fetching the
// same body in the same run: wall time and CPU seconds per MiB of the downloading process.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "DownloadLib.h"
#include "bench/BenchSupport.h"

namespace {

std::atomic<int> g_outcome{0};

void OnEvent(int32_t code, intptr_t /*lParam*/, void* /*userData*/) {
  if (code == DL_EV_DATA_DONE || code == DL_EV_DATA_FAILED) g_outcome = code;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t size = argc > 1 ? std::atoll(argv[1]) : 64ll * 1024 * 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
  const double mib = static_cast<double>(size) / (1024.0 * 1024.0);
  bench::ContentServer server({{"/body.bin", size}});
  std::string url = server.Url("/body.bin");
  const std::string expected = bench::Content("/body.bin", size);

  if (DownloadLibInitialize(nullptr, &OnEvent, nullptr) != DL_OK) return 1;
  std::printf("data download of %.0f MiB from 127.0.0.1, %d rounds\n", mib, rounds);
  for (int round = 0; round < rounds; ++round) {
    g_outcome = 0;
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    double start = bench::NowSeconds();
    DownloadLibDownloadData(url.c_str());
    while (g_outcome == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double wall = bench::NowSeconds() - start;
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    int64_t got = 0;
    DownloadLibGetDataSize(&got);
    std::string bytes(static_cast<size_t>(got), '\0');
    DataBuffer buffer{bytes.data(), got};
    bool exact = g_outcome == DL_EV_DATA_DONE && DownloadLibGetData(&buffer) == DL_OK && bytes == expected;
    double cpu = bench::CpuSeconds(after) - bench::CpuSeconds(before);
    std::printf("  library  wall %6.3f s  %7.1f MiB/s  cpu %6.2f ms/MiB  %s\n", wall, mib / wall,
                cpu * 1000 / mib, exact ? "byte-exact" : "WRONG");
    if (bench::ProgramAvailable("curl")) {
      bench::Usage curl = bench::RunProgram({"curl", "-s", "-o", "/dev/null", url});
      std::printf("  curl     wall %6.3f s  %7.1f MiB/s  cpu %6.2f ms/MiB\n", curl.wallSeconds,
                  mib / curl.wallSeconds, curl.cpuSeconds * 1000 / mib);
    }
  }
  DownloadLibFinalize();
  return 0;
}
