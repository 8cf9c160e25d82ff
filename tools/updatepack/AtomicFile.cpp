#include "tools/updatepack/AtomicFile.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace updatepack {

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error) {
  std::string temporary = path + ".tmp-XXXXXX";
  int fd = mkstemp(temporary.data());
  if (fd < 0) {
    *error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return false;
  }
  auto fail = [&](const std::string& what) {
    *error = what + " " + temporary + ": " + std::strerror(errno);
    close(fd);
    unlink(temporary.c_str());
    return false;
  };
  // mkstemp makes the file private; the deployment is for everyone to read.
  if (fchmod(fd, 0644) != 0) return fail("cannot set the mode of");
  for (size_t written = 0; written < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("cannot write");
    written += static_cast<size_t>(n);
  }
  if (fsync(fd) != 0) return fail("cannot flush");
  if (close(fd) != 0) {
    *error = "cannot close " + temporary + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + temporary + " to " + path + ": " + std::strerror(errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace updatepack
