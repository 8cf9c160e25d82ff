#pragma once
// Starting programs. Started programs are detached: they outlive this process and never become
// zombies of it.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ProcessStart {
  bool started = false;
  int error = 0;    // errno of the failed step when not started
  int64_t pid = 0;  // the started program's process id
};

// Starts `program` (a path) with `arguments` directly, without a shell. The program gets default
// signal handling and inherits no descriptor beyond standard input, output and error.
ProcessStart StartProcess(const std::string& program, const std::vector<std::string>& arguments);

// The "open" verb of a desktop shell: a program of this system (ELF, or a script starting with
// "#!") is made executable and started directly, whatever its name; a Windows ".exe" goes through
// wine when it is installed; another executable file is started directly; anything else goes
// through xdg-open.
ProcessStart ShellOpen(const std::string& path);

bool ProcessAlive(int64_t pid);
// The full path of the running program; empty when the system does not tell.
std::string CurrentExecutablePath();
bool IsExecutableFile(const std::string& path);
// The full path of `name` found in $PATH, or empty.
std::string FindInPath(const std::string& name);

// Whether something accepts TCP connections on 127.0.0.1:port right now; waits at most a second.
bool LoopbackAccepts(uint16_t port);

}  // namespace platform
