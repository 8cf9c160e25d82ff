#pragma once
// Points the per-user data and configuration folders of this test process at a fresh temporary
// folder, so the library's log and settings never touch the real home folder.

#include <memory>
#include <string>
#include <vector>

#include "tests/support/TempFolder.h"

namespace testsupport {

class IsolatedUserFolders {
 public:
  IsolatedUserFolders();
  ~IsolatedUserFolders();
  IsolatedUserFolders(const IsolatedUserFolders&) = delete;
  IsolatedUserFolders& operator=(const IsolatedUserFolders&) = delete;

  const std::string& Root() const { return folder_.Path(); }
  std::string DataFolder() const { return folder_ / "data"; }
  // Where the library writes its log under this data folder.
  std::string LogPath() const { return DataFolder() + "/Norvik/qtxDownloadV32/config/service.log"; }

 private:
  TempFolder folder_;
};

// The lines of a log file without their "\r\n" ends; each line must have that ending.
std::vector<std::string> LogLines(const std::string& path);
// A line's message: the text after "[<24-character time>] ", or "" when the line is malformed.
std::string LogMessage(const std::string& line);

}  // namespace testsupport
