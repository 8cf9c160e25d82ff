// Fuzzes the extraction actions: the first byte picks the reader (even: zip, odd: 7z), the rest is
// the archive. Whatever the archive says, the result is a known code, nothing appears beside the
// target folder (two empty levels above it catch a name that climbs out), no temporary folder is
// left behind, a failure leaves no target, a success holds only folders and files within the cap,
// and the current directory stays where it was.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "pipeline/IExtractAction.h"
#include "pipeline/Log.h"

namespace {

namespace fs = std::filesystem;

constexpr int64_t kCap = 4 * 1048576;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "archive extract fuzzer: %s\n", what.c_str());
  std::abort();
}

struct Place {
  fs::path base;  // <tmp>/orba-fuzz-archive-<pid>, holding a/b/target and nothing else
  fs::path target;
  Place() {
    // The log cannot be written below a file: it would only grow, run after run.
    setenv("XDG_DATA_HOME", "/dev/null", 1);
    ResetLogPathForTesting();
    base = fs::path("/tmp") / ("orba-fuzz-archive-" + std::to_string(getpid()));
    target = base / "a/b/target";
    fs::remove_all(base);
    fs::create_directories(base / "a/b");
  }
  ~Place() {
    std::error_code error;
    fs::remove_all(base, error);
  }
  Place(const Place&) = delete;
  Place& operator=(const Place&) = delete;
};

// `folder` holds nothing, or only `name`.
void ExpectOnly(const fs::path& folder, const std::string& name) {
  for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
    if (entry.path().filename() != name) Fail("unexpected " + entry.path().string());
  }
}

void ExpectFoldersAndFilesWithinCap(const fs::path& target) {
  uintmax_t total = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(target)) {
    fs::file_status status = entry.symlink_status();
    if (fs::is_regular_file(status)) {
      total += entry.file_size();
    } else if (!fs::is_directory(status)) {
      Fail("neither folder nor file: " + entry.path().string());
    }
  }
  if (total > static_cast<uintmax_t>(kCap)) Fail("more than the cap unpacked");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Place place;
  if (size < 2) return 0;
  fs::path directory = fs::current_path();
  ExtractLimits limits;
  limits.maxUnpackedBytes = kCap;
  bool sevenZip = (data[0] & 1) != 0;
  std::unique_ptr<IExtractAction> action;
  if (sevenZip) {
    action = std::make_unique<C7ZipExtractAction>(limits);
  } else {
    action = std::make_unique<CGZipExtractAction>(limits);
  }
  int result = action->Extract(data + 1, static_cast<int64_t>(size - 1), place.target.string());

  bool known =
      result == kExtractOk ||
      (sevenZip ? result == kExtract7zFailed || result == kExtract7zOpenFailed : result == kExtractZipFailed);
  if (!known) Fail("result " + std::to_string(result));
  if (fs::current_path() != directory) Fail("the current directory changed");
  ExpectOnly(place.base, "a");
  ExpectOnly(place.base / "a", "b");
  ExpectOnly(place.base / "a/b", "target");
  if (result == kExtractOk) {
    if (!fs::is_directory(place.target)) Fail("no target after success");
    ExpectFoldersAndFilesWithinCap(place.target);
  } else if (fs::exists(place.target)) {
    Fail("a failure left a target behind");
  }
  fs::remove_all(place.target);
  return 0;
}
