#include "tests/library/EngineTestSupport.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "pipeline/CGetPath_V32.h"
#include "tests/library/LibraryTestEnvironment.h"

namespace enginetest {

const char* const kManifestPath = "/norvik/qtxdownload/update/v3_32/qtxdownload_updater.xml";

std::string InstalledEngine() {
  std::string path;
  PathResolver().GetExecutablePath(path);
  return path;
}

void KillInstalledEngines() {
  std::error_code error;
  const std::string engine = InstalledEngine();
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    std::error_code ignored;
    const std::filesystem::path exe = std::filesystem::read_symlink(entry.path() / "exe", ignored);
    if (!ignored && exe == engine) kill(std::stoi(entry.path().filename()), SIGKILL);
  }
}

int UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

int LogCount(const std::string& fragment) {
  int count = 0;
  for (const std::string& line : testsupport::LogLines(LibraryTestFolders().LogPath())) {
    count += line.find(fragment) != std::string::npos ? 1 : 0;
  }
  return count;
}

bool LogHas(const std::string& fragment) { return LogCount(fragment) > 0; }

}  // namespace enginetest
