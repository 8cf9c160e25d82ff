#pragma once
// The demo deployment, written into a folder that the content server then serves:
//   filelist.txt   the URLs of the files to download (CR LF lines), the installer last
//   orba_*.pak     game data, a few MiB each, the same bytes on every run
//   setup.exe      the installer: a small shell script that records that it ran (below)
//   SHA256SUMS     the digests of every listed file, as `sha256sum` writes them
//   ORBA.gif       the banner
// Only filelist.txt depends on the run (it names the server's port).
//
// The installer writes a line into the file named by the environment variable
// ORBA_DEMO_INSTALLER_MARKER, or, when that is not set, into installer-ran.txt next to itself.
// It is named .exe because the downloader picks the last completed .exe of a list as its installer.

#include <string>
#include <vector>

namespace devserver {

struct DemoDeployment {
  std::string fileListUrl;
  std::string bannerUrl;
  std::string sumsFile;             // path of SHA256SUMS
  std::vector<std::string> listed;  // file names, in list order
};

class DemoGenerator {
 public:
  static constexpr const char* kInstallerName = "setup.exe";
  static constexpr const char* kMarkerVariable = "ORBA_DEMO_INSTALLER_MARKER";

  // `baseUrl` ends with "/" (e.g. "http://127.0.0.1:8080/"). The folder is created when missing;
  // files of an earlier run are overwritten.
  static bool Generate(const std::string& folder, const std::string& baseUrl, DemoDeployment* deployment,
                       std::string* error);
};

}  // namespace devserver
