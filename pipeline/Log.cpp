#include "pipeline/Log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "pipeline/CGetPath_V32.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "platform/LocalTime.h"

namespace {

// Messages are short; only the rare long one pays for a heap buffer.
constexpr size_t kLocalFormatBufferSize = 512;

// The lock guards only the building of the path, never the writing of a line.
struct LogPathState {
  std::mutex mutex;
  std::optional<std::string> path;
};

LogPathState& PathState() {
  static LogPathState state;
  return state;
}

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

std::string LogPath() {
  LogPathState& state = PathState();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.path) {
    std::string folder;
    PathResolver().GetProgramFolder(folder);
    state.path = folder + "config/service.log";
  }
  return *state.path;
}

void ResetLogPathForTesting() {
  LogPathState& state = PathState();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.path.reset();
}

void ResetLog() {
  std::string path = LogPath();
  // From the second character on, so the root of an absolute path is never a level to create.
  for (size_t i = 1; i < path.size(); ++i) {
    if (!IsSeparator(path[i])) continue;
    std::string folder = path.substr(0, i);
    if (!platform::PathExists(folder)) platform::CreateDirectoryLevel(folder);
  }
  platform::RemoveFile(path);
  if (std::FILE* file = std::fopen(path.c_str(), "w")) std::fclose(file);
}

void WriteLog(const char* message) {
  if (message == nullptr) return;
  std::string path = LogPath();
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return;
  int64_t seconds = platform::CurrentClock().NowMilliseconds() / 1000;
  // One write per line, so lines of two threads interleave only as whole lines.
  std::string line = "[" + platform::CtimeText(seconds) + "] " + message + "\r\n";
  std::fwrite(line.data(), 1, line.size(), file);
  std::fclose(file);
}

void LogFormat(const char* format, ...) {
  if (format == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  char local[kLocalFormatBufferSize];
  int length = std::vsnprintf(local, sizeof local, format, arguments);
  va_end(arguments);
  if (length < 0) {
    va_end(again);
    return;
  }
  size_t needed = static_cast<size_t>(length) + 1;
  if (needed <= sizeof local) {
    va_end(again);
    WriteLog(local);
    return;
  }
  std::unique_ptr<char[]> heap(new (std::nothrow) char[needed]);
  if (!heap) {
    va_end(again);
    return;
  }
  std::vsnprintf(heap.get(), needed, format, again);
  va_end(again);
  WriteLog(heap.get());
}

void TraceDiagnostic(const char* /*message*/) {}
