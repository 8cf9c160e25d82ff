#include "bench/BenchSupport.h"

#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace bench {

std::string Content(int64_t size) {
  std::string bytes(static_cast<size_t>(size), '\0');
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (char& c : bytes) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    c = static_cast<char>(state);
  }
  return bytes;
}

ContentServer::ContentServer(const std::vector<std::pair<std::string, int64_t>>& files) {
  int report[2];
  if (pipe(report) != 0) std::abort();
  pid_ = fork();
  if (pid_ == 0) {
    close(report[0]);
    httplib::Server server;
    // One shared body per distinct size keeps memory at the largest file.
    static std::vector<std::pair<std::string, std::string>> bodies;
    for (const auto& [path, size] : files) {
      std::string body = Content(size);
      server.Get(path, [body](const httplib::Request&, httplib::Response& response) {
        response.set_content(body, "application/octet-stream");
      });
    }
    int port = server.bind_to_any_port("127.0.0.1");
    if (write(report[1], &port, sizeof port) != sizeof port) _exit(1);
    close(report[1]);
    server.listen_after_bind();
    _exit(0);
  }
  close(report[1]);
  if (read(report[0], &port_, sizeof port_) != sizeof port_) std::abort();
  close(report[0]);
}

ContentServer::~ContentServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

std::string ContentServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double NowSeconds() {
  using namespace std::chrono;
  return duration_cast<duration<double>>(steady_clock::now().time_since_epoch()).count();
}

bool ProgramAvailable(const std::string& name) {
  std::string command = "command -v " + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

Usage RunProgram(const std::vector<std::string>& argv) {
  Usage result;
  double start = NowSeconds();
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  result.wallSeconds = NowSeconds() - start;
  result.cpuSeconds = CpuSeconds(usage);
  result.peakRssKiB = usage.ru_maxrss;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace bench
