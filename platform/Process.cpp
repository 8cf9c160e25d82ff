#include "platform/Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "platform/Clock.h"
#include "platform/Environment.h"
#include "platform/FileSystem.h"

namespace platform {
namespace {

bool EndsWithIgnoringCase(const std::string& text, const std::string& suffix) {
  if (text.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    char a = text[text.size() - suffix.size() + i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a + 32);
    if (a != suffix[i]) return false;
  }
  return true;
}

bool ReadFully(int fd, void* buffer, size_t size) {
  auto* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, bytes + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// In the program's child, right before exec; async-signal-safe calls only. The program starts as a
// desktop shell would start it: default signal handling (an ignored SIGPIPE would otherwise stay
// ignored across exec), nothing blocked, and none of our descriptors left open (a daemon must not
// keep this process's sockets and files alive).
void PrepareProgramChild() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) sigaction(signal, &standard, nullptr);
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
    // Kernels before 5.11: mark them one by one (the report pipe is close-on-exec already).
    for (int fd = 3; fd < 4096; ++fd) {
      int flags = fcntl(fd, F_GETFD);
      if (flags >= 0 && (flags & FD_CLOEXEC) == 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
  }
}

constexpr int64_t kProbeTimeoutMs = 1000;

// Kinds of the records the children of StartProcess write to the report pipe.
constexpr int64_t kReportForked = 1;  // value: the program's process id
constexpr int64_t kReportFailed = 2;  // value: errno of the failed fork or exec

}  // namespace

ProcessStart StartProcess(const std::string& program, const std::vector<std::string>& arguments) {
  ProcessStart result;
  if (program.empty()) {
    result.error = ENOENT;
    return result;
  }
  // Everything the children need is prepared before fork: after it only async-signal-safe calls.
  std::vector<std::string> strings;
  strings.push_back(program);
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  // Both children report through one pipe in whole 16-byte records {kind, value}; a write of
  // that size is atomic, but the two writers race, so the records may come in either order.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    result.error = errno;
    return result;
  }
  // A detached program gets no terminal of ours: a runner waiting for our output must not wait for it.
  int nullDevice = open("/dev/null", O_RDWR | O_CLOEXEC);
  pid_t intermediate = fork();
  if (intermediate < 0) {
    result.error = errno;
    close(report[0]);
    close(report[1]);
    if (nullDevice >= 0) close(nullDevice);
    return result;
  }
  if (intermediate == 0) {
    // The intermediate child forks the program and ends, so the program is adopted by init.
    close(report[0]);
    setsid();
    pid_t program_pid = fork();
    if (program_pid != 0) {
      int error = errno;
      int64_t record[2] = {program_pid > 0 ? kReportForked : kReportFailed,
                           program_pid > 0 ? program_pid : error};
      [[maybe_unused]] ssize_t written = write(report[1], record, sizeof record);
      _exit(0);
    }
    if (nullDevice >= 0) {
      dup2(nullDevice, STDIN_FILENO);
      dup2(nullDevice, STDOUT_FILENO);
      dup2(nullDevice, STDERR_FILENO);
    }
    PrepareProgramChild();
    execv(argv[0], argv.data());
    int64_t record[2] = {kReportFailed, errno};
    [[maybe_unused]] ssize_t written = write(report[1], record, sizeof record);
    _exit(127);
  }
  close(report[1]);
  if (nullDevice >= 0) close(nullDevice);
  int status = 0;
  while (waitpid(intermediate, &status, 0) < 0 && errno == EINTR) {
  }
  // The pipe ends when the intermediate child has ended and the program has exec'd or ended.
  int64_t pid = -1;
  bool failed = false;
  int error = 0;
  int64_t record[2];
  while (ReadFully(report[0], record, sizeof record)) {
    if (record[0] == kReportForked) pid = record[1];
    if (record[0] == kReportFailed && !failed) {
      failed = true;
      error = static_cast<int>(record[1]);
    }
  }
  if (failed) {
    result.error = error != 0 ? error : ECHILD;
  } else if (pid > 0) {
    result.started = true;
    result.pid = pid;
  } else {
    result.error = ECHILD;
  }
  close(report[0]);
  return result;
}

namespace {

// A program of this system: an ELF binary or a script with an interpreter line.
bool IsNativeProgram(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  std::ifstream in(path, std::ios::binary);
  char head[4] = {};
  in.read(head, sizeof head);
  std::streamsize count = in.gcount();
  if (count >= 2 && head[0] == '#' && head[1] == '!') return true;
  return count == 4 && head[0] == 0x7f && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
}

// Adds execute permission wherever read permission is.
bool MakeExecutable(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return false;
  mode_t mode = info.st_mode & 07777;
  return chmod(path.c_str(), mode | ((mode & 0444) >> 2)) == 0;
}

}  // namespace

ProcessStart ShellOpen(const std::string& path) {
  // Downloads carry no executable bit. A program of this system is started directly, as the
  // Windows shell starts a downloaded .exe, whatever its name says.
  if (IsNativeProgram(path)) {
    if (!IsExecutableFile(path) && !MakeExecutable(path)) {
      ProcessStart result;
      result.error = errno;
      return result;
    }
    return StartProcess(path, {});
  }
  if (EndsWithIgnoringCase(path, ".exe")) {
    std::string wine = FindInPath("wine");
    if (!wine.empty()) return StartProcess(wine, {path});
  }
  if (IsExecutableFile(path)) return StartProcess(path, {});
  std::string opener = FindInPath("xdg-open");
  if (opener.empty()) {
    ProcessStart result;
    result.error = PathExists(path) ? ENOEXEC : ENOENT;
    return result;
  }
  return StartProcess(opener, {path});
}

bool ProcessAlive(int64_t pid) {
  if (pid <= 0) return false;
  // EPERM: the process exists but belongs to another user.
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  // A zombie that nobody reaped yet has ended all the same.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  std::string::size_type close_paren = line.rfind(')');
  if (close_paren == std::string::npos || close_paren + 2 >= line.size()) return true;
  return line[close_paren + 2] != 'Z';
}

bool IsExecutableFile(const std::string& path) {
  struct stat info {};
  return !path.empty() && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         access(path.c_str(), X_OK) == 0;
}

std::string FindInPath(const std::string& name) {
  if (name.empty()) return std::string();
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : std::string();
  std::string path = GetEnvironment("PATH").value_or("/usr/local/bin:/usr/bin:/bin");
  std::string::size_type start = 0;
  while (start <= path.size()) {
    std::string::size_type end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string folder = path.substr(start, end - start);
    if (!folder.empty()) {
      std::string candidate = folder + "/" + name;
      if (IsExecutableFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  return std::string();
}

bool LoopbackAccepts(uint16_t port) {
  // Non-blocking with a bounded wait: a listener whose backlog is full drops the handshake, and a
  // blocking connect would then hang for minutes on the caller's thread.
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool accepted = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  if (!accepted && errno == EINPROGRESS) {
    int64_t deadline = MonotonicMilliseconds() + kProbeTimeoutMs;
    pollfd entry{fd, POLLOUT, 0};
    int ready = 0;
    for (;;) {
      int64_t left = deadline - MonotonicMilliseconds();
      ready = poll(&entry, 1, static_cast<int>(left > 0 ? left : 0));
      if (ready >= 0 || errno != EINTR) break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    accepted = ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  close(fd);
  return accepted;
}

std::string CurrentExecutablePath() {
  char buffer[4096];
  ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<size_t>(length));
}

}  // namespace platform
