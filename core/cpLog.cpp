#include "core/cpLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace {

std::atomic<cpLogWriter> g_writer{nullptr};

}  // namespace

void cpSetLogWriter(cpLogWriter writer) { g_writer.store(writer); }

void cpLog(const char* message) {
  if (cpLogWriter writer = g_writer.load(); writer != nullptr && message != nullptr) writer(message);
}

void cpLogFormat(const char* format, ...) {
  cpLogWriter writer = g_writer.load();
  if (writer == nullptr || format == nullptr) return;
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  if (length >= 0) {
    std::string text(static_cast<size_t>(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, again);
    writer(text.c_str());
  }
  va_end(again);
}
