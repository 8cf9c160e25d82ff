#pragma once
// orba-devserver as a child process, and the files and folders its tests share.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace devservertest {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(60);  // generous: the machine may be busy

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

inline void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Bytes that differ at every position, so a shifted or repeated slice shows.
inline std::string PatternBytes(size_t size) {
  std::string bytes(size, '\0');
  uint32_t state = 12345;
  for (char& c : bytes) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return bytes;
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "orba-devserver-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

// The server as a child process; its key=value lines up to "ready" are kept.
class DevServer {
 public:
  ~DevServer() {
    if (pid_ > 0) Stop();
  }

  // Starts the server with `args`; true when it printed "ready".
  bool Start(const std::vector<std::string>& args, const fs::path& logFile) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a crashed test
      dup2(out[1], STDOUT_FILENO);
      int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (log >= 0) dup2(log, STDERR_FILENO);
      std::vector<char*> argv{const_cast<char*>(ORBA_DEVSERVER)};
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string pending;
    Clock::time_point deadline = Clock::now() + kStartTimeout;
    bool ready = false;
    while (!ready && Clock::now() < deadline) {
      pollfd wait{out[0], POLLIN, 0};
      if (poll(&wait, 1, 200) <= 0) continue;
      char chunk[4096];
      ssize_t n = read(out[0], chunk, sizeof chunk);
      if (n <= 0) break;
      pending.append(chunk, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
        std::string line = pending.substr(0, end);
        if (line == "ready") ready = true;
        size_t equals = line.find('=');
        if (equals != std::string::npos) values_[line.substr(0, equals)] = line.substr(equals + 1);
      }
    }
    close(out[0]);
    return ready;
  }

  // SIGTERM, then the exit code (-1 when it had to be killed or did not exit normally).
  int Stop() {
    kill(pid_, SIGTERM);
    int status = 0;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(30);
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (Clock::now() > deadline) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  std::string Value(const std::string& key) const {
    auto found = values_.find(key);
    return found == values_.end() ? std::string() : found->second;
  }
  int Port(const std::string& urlKey) const {
    std::string url = Value(urlKey);
    size_t colon = url.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(url.c_str() + colon + 1);
  }

 private:
  pid_t pid_ = -1;
  std::map<std::string, std::string> values_;
};

// Runs `argv` to its end, standard output and error into `output`; its exit code, or -1.
inline int RunProgram(const std::vector<std::string>& argv, const fs::path& output) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace devservertest
