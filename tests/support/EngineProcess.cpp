#include "tests/support/EngineProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

extern char** environ;

namespace testsupport {

namespace {

constexpr char kListening[] = "listening 127.0.0.1:";

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::vector<std::string> MergedEnvironment(const EngineProcess::Environment& extra) {
  std::vector<std::string> merged;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    const bool replaced =
        std::any_of(extra.begin(), extra.end(), [&](const auto& variable) { return variable.first == name; });
    if (!replaced) merged.push_back(text);
  }
  for (const auto& [name, value] : extra) merged.push_back(name + "=" + value);
  return merged;
}

struct Child {
  pid_t pid = -1;
  int output = -1;  // read end of its stdout
};

// Everything the child needs is built before fork: after it, only async-signal-safe calls.
Child Spawn(const std::string& program, const std::vector<std::string>& args,
            const EngineProcess::Environment& environment) {
  std::vector<std::string> argvText{program};
  argvText.insert(argvText.end(), args.begin(), args.end());
  const std::vector<std::string> envText = MergedEnvironment(environment);
  std::vector<char*> argv, envp;
  for (const std::string& arg : argvText) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  for (const std::string& variable : envText) envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);

  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return {};
  const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    close(channel[0]);
    close(channel[1]);
    if (null >= 0) close(null);
    return {};
  }
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (null >= 0) dup2(null, STDIN_FILENO);
    dup2(channel[1], STDOUT_FILENO);  // the duplicate does not close on exec
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(channel[1]);
  if (null >= 0) close(null);
  return {pid, channel[0]};
}

// Reaps `pid` when it ended within `timeoutMs`.
std::optional<int> Reap(pid_t pid, int64_t timeoutMs) {
  const int64_t deadline = NowMs() + timeoutMs;
  for (;;) {
    int status = 0;
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return ExitCodeOf(status);
    if (done < 0 && errno != EINTR) return -1;  // not our child any more: nothing to wait for
    if (NowMs() >= deadline) return std::nullopt;
    usleep(2000);
  }
}

// Reads what is there, waiting up to `timeoutMs` for something; false at the end of the stream.
bool ReadSome(int fd, std::string* out, int64_t timeoutMs) {
  pollfd ready{fd, POLLIN, 0};
  const int count = poll(&ready, 1, static_cast<int>(std::max<int64_t>(timeoutMs, 0)));
  if (count < 0) return errno == EINTR;
  if (count == 0) return true;
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n > 0) {
    out->append(buffer, static_cast<size_t>(n));
    return true;
  }
  return n < 0 && (errno == EINTR || errno == EAGAIN);
}

// The port of a complete `listening 127.0.0.1:<port>` line of `text`; 0 when there is none yet.
uint16_t ListeningPort(const std::string& text) {
  size_t lineStart = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', lineStart)) {
    const std::string line = text.substr(lineStart, end - lineStart);
    lineStart = end + 1;
    if (line.rfind(kListening, 0) != 0) continue;
    const std::string digits = line.substr(sizeof kListening - 1);
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    const long port = std::strtol(digits.c_str(), nullptr, 10);
    if (port > 0 && port <= 65535) return static_cast<uint16_t>(port);
  }
  return 0;
}

}  // namespace

EngineProcess::~EngineProcess() {
  Kill();
  StopReader();
}

bool EngineProcess::Start(const std::string& program, const std::vector<std::string>& args,
                          const Environment& environment, int timeoutMs) {
  Kill();
  StopReader();
  pid_ = -1;
  exitCode_.reset();
  port_ = 0;
  {
    std::lock_guard lock(outputMutex_);
    outputText_.clear();
  }

  std::vector<std::string> fullArgs;
  if (std::find(args.begin(), args.end(), "--port") == args.end()) fullArgs = {"--port", "0"};
  fullArgs.insert(fullArgs.end(), args.begin(), args.end());
  const Child child = Spawn(program, fullArgs, environment);
  if (child.pid < 0) return false;
  pid_ = child.pid;
  output_ = child.output;

  std::string text;
  const int64_t deadline = NowMs() + timeoutMs;
  bool open = true;
  while (open && (port_ = ListeningPort(text)) == 0) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) break;
    open = ReadSome(output_, &text, left);
  }
  if (port_ == 0) port_ = ListeningPort(text);
  {
    std::lock_guard lock(outputMutex_);
    outputText_ = text;
  }
  if (port_ == 0) {
    if (!open) exitCode_ = Reap(pid_, 2000);
    Kill();
    close(output_);
    output_ = -1;
    return false;
  }

  readerStop_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  reader_ = std::thread([this] {
    for (;;) {
      pollfd fds[2] = {{output_, POLLIN, 0}, {readerStop_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[0].revents != 0) {
        char buffer[4096];
        const ssize_t n = read(output_, buffer, sizeof buffer);
        if (n > 0) {
          std::lock_guard lock(outputMutex_);
          outputText_.append(buffer, static_cast<size_t>(n));
          continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        return;  // end of its stdout
      }
      if (fds[1].revents != 0) return;
    }
  });
  return true;
}

std::string EngineProcess::Output() const {
  std::lock_guard lock(outputMutex_);
  return outputText_;
}

void EngineProcess::Kill() {
  if (pid_ <= 0 || exitCode_) return;
  kill(pid_, SIGKILL);
  exitCode_ = Reap(pid_, 10000);
}

bool EngineProcess::Terminate() { return pid_ > 0 && !exitCode_ && kill(pid_, SIGTERM) == 0; }

std::optional<int> EngineProcess::WaitExit(int timeoutMs) {
  if (pid_ <= 0 || exitCode_) return exitCode_;
  exitCode_ = Reap(pid_, timeoutMs);
  return exitCode_;
}

void EngineProcess::StopReader() {
  if (reader_.joinable()) {
    const uint64_t one = 1;
    const ssize_t written = write(readerStop_, &one, sizeof one);
    (void)written;
    reader_.join();
  }
  if (readerStop_ >= 0) close(readerStop_);
  readerStop_ = -1;
  if (output_ >= 0) close(output_);
  output_ = -1;
}

std::optional<int> EngineProcess::RunToExit(const std::string& program, const std::vector<std::string>& args,
                                            const Environment& environment, int timeoutMs,
                                            std::string* stdoutText) {
  const Child child = Spawn(program, args, environment);
  if (child.pid < 0) return std::nullopt;
  std::string text;
  const int64_t deadline = NowMs() + timeoutMs;
  bool open = true;
  while (open && NowMs() < deadline) open = ReadSome(child.output, &text, deadline - NowMs());
  close(child.output);
  std::optional<int> code = Reap(child.pid, std::max<int64_t>(deadline - NowMs(), 0));
  if (!code) {
    kill(child.pid, SIGKILL);
    Reap(child.pid, 10000);
  }
  if (stdoutText != nullptr) *stdoutText = text;
  return code;
}

}  // namespace testsupport
