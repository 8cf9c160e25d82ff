#include "tests/support/IsolatedUserFolders.h"

#include <cstdlib>
#include <vector>

namespace testsupport {

IsolatedUserFolders::IsolatedUserFolders() {
  setenv("XDG_DATA_HOME", DataFolder().c_str(), 1);
  setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
  // No engine and no self-update unless a test asks for them: a library started here must not
  // reach out, nor find an engine another test started.
  setenv("ORBA_UPDATE_MANIFEST_URL", "", 1);
  setenv("ORBA_ENGINE_ENABLED", "0", 1);
}

IsolatedUserFolders::~IsolatedUserFolders() = default;

std::vector<std::string> LogLines(const std::string& path) {
  std::string content = ReadFileText(path);
  std::vector<std::string> lines;
  std::string::size_type start = 0;
  while (start < content.size()) {
    std::string::size_type end = content.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back("<unterminated>" + content.substr(start));
      break;
    }
    lines.push_back(content.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string LogMessage(const std::string& line) {
  // "[" + 24 characters of time + "] "
  if (line.size() < 27 || line[0] != '[' || line[25] != ']' || line[26] != ' ') return std::string();
  return line.substr(27);
}

}  // namespace testsupport
