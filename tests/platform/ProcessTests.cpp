#include "platform/Process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "tests/platform/PlatformTestSupport.h"
#include "tests/support/StalledPort.h"
#include "tests/support/TempFolder.h"

namespace {

using platform::ProcessStart;
using testsupport::ReadFileText;
using testsupport::TempFolder;
using testsupport::WaitUntil;
using testsupport::WriteFileText;

std::string WriteScript(const TempFolder& folder, const std::string& name, const std::string& body,
                        mode_t mode = 0755) {
  std::string path = folder / name;
  WriteFileText(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), mode);
  return path;
}

// A marker is written to a side file and renamed into place, so it never appears half-written.
std::string WriteMarkerCommand(const std::string& text, const std::string& target) {
  return "printf '%s' \"" + text + "\" > \"" + target + ".part\" && mv \"" + target + ".part\" \"" + target +
         "\"\n";
}

bool WaitForFile(const std::string& path) {
  return WaitUntil([&] { return platform::FileExists(path); }, 5000);
}

// Ends a started program that would otherwise outlive the test.
void KillAndWait(int64_t pid) {
  if (pid <= 0) return;
  kill(static_cast<pid_t>(pid), SIGKILL);
  EXPECT_TRUE(WaitUntil([pid] { return !platform::ProcessAlive(pid); }));
}

TEST(ProcessTest, StartProcessRunsTheProgramWithItsArguments) {
  TempFolder folder;
  std::string marker = folder / "marker";
  std::string script = WriteScript(folder, "writer.sh", WriteMarkerCommand("$# $2", "$1"));
  ProcessStart start = platform::StartProcess(script, {marker, "second argument"});
  ASSERT_TRUE(start.started) << "error " << start.error;
  EXPECT_EQ(start.error, 0);
  EXPECT_GT(start.pid, 0);
  ASSERT_TRUE(WaitForFile(marker));
  EXPECT_EQ(ReadFileText(marker), "2 second argument");
}

TEST(ProcessTest, StartedProgramRunsInASessionOfItsOwn) {
  TempFolder folder;
  std::string marker = folder / "marker";
  // Field 6 of the stat line is the session id; the program is not in ours.
  std::string script =
      WriteScript(folder, "session.sh",
                  "sid=$(cut -d')' -f2 /proc/$$/stat | cut -d' ' -f5)\n" + WriteMarkerCommand("$sid", "$1"));
  ProcessStart start = platform::StartProcess(script, {marker});
  ASSERT_TRUE(start.started) << "error " << start.error;
  ASSERT_TRUE(WaitForFile(marker));
  EXPECT_NE(ReadFileText(marker), std::to_string(getsid(0)));
  EXPECT_NE(ReadFileText(marker), "");
}

TEST(ProcessTest, StartProcessOfAMissingFileReportsEnoent) {
  TempFolder folder;
  ProcessStart start = platform::StartProcess(folder / "no-such-program", {});
  EXPECT_FALSE(start.started);
  EXPECT_EQ(start.error, ENOENT);
  EXPECT_EQ(start.pid, 0);
}

TEST(ProcessTest, FailedStartsReportTheirOwnErrorEvenWhenStartedConcurrently) {
  // The failing program and the child that forked it report at the same time; the error must not
  // depend on which of them comes first. Starts from several threads make both orders happen.
  TempFolder folder;
  std::atomic<int> wrong{0};
  std::vector<std::thread> starters;
  for (int i = 0; i < 4; ++i) {
    starters.emplace_back([&] {
      for (int attempt = 0; attempt < 50; ++attempt) {
        ProcessStart start = platform::StartProcess(folder / "absent", {});
        if (start.started || start.error != ENOENT) ++wrong;
      }
    });
  }
  for (std::thread& starter : starters) starter.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(ProcessTest, StartProcessOfAnEmptyPathReportsEnoent) {
  ProcessStart start = platform::StartProcess("", {});
  EXPECT_FALSE(start.started);
  EXPECT_EQ(start.error, ENOENT);
}

TEST(ProcessTest, StartProcessOfANonExecutableFileFails) {
  TempFolder folder;
  std::string marker = folder / "marker";
  std::string script = WriteScript(folder, "plain.sh", WriteMarkerCommand("ran", marker), 0644);
  ProcessStart start = platform::StartProcess(script, {});
  EXPECT_FALSE(start.started);
  EXPECT_EQ(start.error, EACCES);
  EXPECT_EQ(start.pid, 0);
  EXPECT_FALSE(platform::FileExists(marker));
}

TEST(ProcessTest, StartProcessOfAnExecutableThatIsNoProgramFails) {
  TempFolder folder;
  std::string path = folder / "not-a-program";
  WriteFileText(path, "\x01\x02\x03 this is neither a script nor a binary\n");
  chmod(path.c_str(), 0755);
  ProcessStart start = platform::StartProcess(path, {});
  EXPECT_FALSE(start.started);
  EXPECT_EQ(start.error, ENOEXEC);
}

TEST(ProcessTest, StartedProgramInheritsNoDescriptorsBeyondTheStandardOnes) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);  // deliberately without close-on-exec
  std::string sleeper = platform::FindInPath("sleep");
  ASSERT_FALSE(sleeper.empty());
  ProcessStart start = platform::StartProcess(sleeper, {"30"});
  ASSERT_TRUE(start.started) << "error " << start.error;
  // The exec closes descriptors one by one and the report pipe may go first: allow a moment.
  std::vector<std::string> inherited;
  auto onlyStandard = [&] {
    inherited.clear();
    std::error_code error;
    for (const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(start.pid) + "/fd", error)) {
      std::string name = entry.path().filename().string();
      if (name != "0" && name != "1" && name != "2") inherited.push_back(name);
    }
    return !error && inherited.empty();
  };
  EXPECT_TRUE(WaitUntil(onlyStandard, 2000))
      << "extra descriptor: " << (inherited.empty() ? "?" : inherited.front());
  KillAndWait(start.pid);
  close(fds[0]);
  close(fds[1]);
}

// Bit of `signal` in a "SigIgn:"/"SigBlk:" line of /proc/<pid>/status.
bool SignalBitSet(const std::string& status, const std::string& field, int signal) {
  std::istringstream lines(status);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(field, 0) == 0) {
      unsigned long long mask = std::strtoull(line.c_str() + field.size(), nullptr, 16);
      return ((mask >> (signal - 1)) & 1u) != 0;
    }
  }
  ADD_FAILURE() << field << " missing in: " << status;
  return true;
}

TEST(ProcessTest, StartedProgramGetsDefaultSignalHandlingAndNoBlockedSignals) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction previousPipe {};
  sigaction(SIGPIPE, &ignore, &previousPipe);
  sigset_t blockUsr2;
  sigemptyset(&blockUsr2);
  sigaddset(&blockUsr2, SIGUSR2);
  sigset_t previousMask;
  pthread_sigmask(SIG_BLOCK, &blockUsr2, &previousMask);

  TempFolder folder;
  std::string marker = folder / "marker";
  // grep reports its own state (the shell blocks signals for a moment around each fork).
  std::string script = WriteScript(folder, "signals.sh",
                                   "grep -E '^Sig(Ign|Blk):' /proc/self/status > \"$1.part\"\n"
                                   "mv \"$1.part\" \"$1\"\n");
  ProcessStart start = platform::StartProcess(script, {marker});

  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  sigaction(SIGPIPE, &previousPipe, nullptr);

  ASSERT_TRUE(start.started) << "error " << start.error;
  ASSERT_TRUE(WaitForFile(marker));
  std::string status = ReadFileText(marker);
  EXPECT_FALSE(SignalBitSet(status, "SigIgn:", SIGPIPE)) << status;
  EXPECT_FALSE(SignalBitSet(status, "SigBlk:", SIGUSR2)) << status;
}

TEST(ProcessTest, ShellOpenStartsAnExecutableScriptDirectly) {
  TempFolder folder;
  std::string marker = folder / "marker";
  // Started directly, the script gets no arguments.
  std::string script = WriteScript(folder, "open-me.sh", WriteMarkerCommand("args=$#", marker));
  ProcessStart start = platform::ShellOpen(script);
  ASSERT_TRUE(start.started) << "error " << start.error;
  EXPECT_GT(start.pid, 0);
  ASSERT_TRUE(WaitForFile(marker));
  EXPECT_EQ(ReadFileText(marker), "args=0");
}

TEST(ProcessTest, ShellOpenStartsADownloadedScriptWithoutItsExecutableBit) {
  TempFolder folder;
  std::string marker = folder / "marker";
  // Named like a Windows installer and written as a download is: readable, not executable.
  std::string installer = folder / "setup.exe";
  WriteFileText(installer, "#!/bin/sh\n" + WriteMarkerCommand("ran", marker));
  ASSERT_FALSE(platform::IsExecutableFile(installer));
  ProcessStart start = platform::ShellOpen(installer);
  ASSERT_TRUE(start.started) << "error " << start.error;
  ASSERT_TRUE(WaitForFile(marker));
  EXPECT_EQ(ReadFileText(marker), "ran");
  EXPECT_TRUE(platform::IsExecutableFile(installer));
}

TEST(ProcessTest, ShellOpenWithoutAnOpenerReportsWhyNothingStarted) {
  if (!platform::FindInPath("xdg-open").empty()) GTEST_SKIP() << "xdg-open is installed";
  TempFolder folder;
  std::string document = folder / "notes.txt";
  WriteFileText(document, "text");
  ProcessStart existing = platform::ShellOpen(document);
  EXPECT_FALSE(existing.started);
  EXPECT_EQ(existing.error, ENOEXEC);
  ProcessStart missing = platform::ShellOpen(folder / "missing.txt");
  EXPECT_FALSE(missing.started);
  EXPECT_EQ(missing.error, ENOENT);
}

TEST(ProcessTest, ProcessAliveWhileTheProgramRunsAndNotAfterItEnded) {
  TempFolder folder;
  std::string stopFile = folder / "stop";
  std::string script = WriteScript(folder, "waiter.sh", "while [ ! -e \"$1\" ]; do sleep 0.02; done\n");
  ProcessStart start = platform::StartProcess(script, {stopFile});
  ASSERT_TRUE(start.started) << "error " << start.error;
  EXPECT_TRUE(platform::ProcessAlive(start.pid));
  WriteFileText(stopFile, "");
  EXPECT_TRUE(WaitUntil([&] { return !platform::ProcessAlive(start.pid); }));
}

TEST(ProcessTest, ProcessAliveOfThisProcessAndOfNoProcess) {
  EXPECT_TRUE(platform::ProcessAlive(getpid()));
  EXPECT_FALSE(platform::ProcessAlive(0));
  EXPECT_FALSE(platform::ProcessAlive(-1));
}

TEST(ProcessTest, StartedProgramIsNotAChildOfThisProcess) {
  TempFolder folder;
  std::string marker = folder / "marker";
  // Detached: this process never has to reap it.
  std::string script = WriteScript(folder, "parent.sh", WriteMarkerCommand("$PPID", "$1"));
  ProcessStart start = platform::StartProcess(script, {marker});
  ASSERT_TRUE(start.started) << "error " << start.error;
  ASSERT_TRUE(WaitForFile(marker));
  EXPECT_NE(ReadFileText(marker), std::to_string(getpid()));
}

TEST(ProcessTest, FindInPathFindsTheShell) {
  std::string shell = platform::FindInPath("sh");
  ASSERT_FALSE(shell.empty());
  EXPECT_EQ(shell.substr(shell.size() - 3), "/sh");
  EXPECT_TRUE(platform::IsExecutableFile(shell));
}

TEST(ProcessTest, FindInPathOfUnknownOrEmptyNamesIsEmpty) {
  EXPECT_EQ(platform::FindInPath("orba-no-such-program-here"), "");
  EXPECT_EQ(platform::FindInPath(""), "");
}

TEST(ProcessTest, FindInPathTakesANameWithASlashAsAPath) {
  TempFolder folder;
  std::string script = WriteScript(folder, "tool.sh", "exit 0\n");
  EXPECT_EQ(platform::FindInPath(script), script);
  EXPECT_EQ(platform::FindInPath(folder / "absent.sh"), "");
}

TEST(ProcessTest, FindInPathSearchesTheFoldersOfPathInOrder) {
  TempFolder folder;
  std::filesystem::create_directories(folder / "first");
  std::filesystem::create_directories(folder / "second");
  WriteScript(folder, "second/orba-tool", "exit 0\n");
  WriteScript(folder, "first/orba-tool", "exit 0\n", 0644);  // not executable: skipped
  const char* saved = std::getenv("PATH");
  std::string previous = saved != nullptr ? saved : "";
  setenv("PATH", (folder / "first:" + folder.Path() + "/second").c_str(), 1);
  std::string found = platform::FindInPath("orba-tool");
  setenv("PATH", previous.c_str(), 1);
  EXPECT_EQ(found, folder / "second/orba-tool");
}

TEST(ProcessTest, IsExecutableFileWantsAnExecutableRegularFile) {
  TempFolder folder;
  EXPECT_TRUE(platform::IsExecutableFile(WriteScript(folder, "x.sh", "exit 0\n")));
  EXPECT_FALSE(platform::IsExecutableFile(WriteScript(folder, "y.sh", "exit 0\n", 0644)));
  EXPECT_FALSE(platform::IsExecutableFile(folder.Path()));
  EXPECT_FALSE(platform::IsExecutableFile(folder / "absent"));
  EXPECT_FALSE(platform::IsExecutableFile(""));
}

// A TCP socket bound to 127.0.0.1 on a port the system picks.
struct LoopbackSocket {
  int fd = -1;
  uint16_t port = 0;
  LoopbackSocket() {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~LoopbackSocket() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;
};

TEST(ProcessTest, LoopbackAcceptsAListenerAndNotAClosedPort) {
  LoopbackSocket listener;
  ASSERT_NE(listener.port, 0);
  ASSERT_EQ(listen(listener.fd, 8), 0);
  EXPECT_TRUE(platform::LoopbackAccepts(listener.port));
  uint16_t port = listener.port;
  listener.Close();
  EXPECT_FALSE(platform::LoopbackAccepts(port));
}

TEST(ProcessTest, LoopbackAcceptsIsFalseForABoundPortThatDoesNotListen) {
  LoopbackSocket bound;
  ASSERT_NE(bound.port, 0);
  EXPECT_FALSE(platform::LoopbackAccepts(bound.port));
}

TEST(ProcessTest, LoopbackAcceptsAnswersNoWhenTheBacklogIsFull) {
  // Nobody accepts and the queue is full: the handshake is dropped. A blocking connect would
  // retry for minutes, past the test's time-out; the bounded probe answers no.
  testsupport::StalledPort stalled;
  ASSERT_TRUE(stalled.Stalls());
  EXPECT_FALSE(platform::LoopbackAccepts(stalled.Port()));
}

}  // namespace
