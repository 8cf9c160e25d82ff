#include "platform/LocalTime.h"

#include <cstdio>
#include <ctime>
#include <mutex>

namespace platform {

std::string CtimeText(int64_t secondsSinceEpoch) {
  time_t seconds = static_cast<time_t>(secondsSinceEpoch);
  tm local{};
  {
    // localtime_r reads TZ only once per process; ctime reads it on every call. Re-reading keeps
    // the two alike when the zone changes while the program runs. glibc guards its zone state
    // with a lock of its own; this one lets the threads of the library take turns visibly to
    // ThreadSanitizer, which cannot see glibc's.
    static std::mutex zoneMutex;
    std::lock_guard lock(zoneMutex);
    tzset();
    if (localtime_r(&seconds, &local) == nullptr) return std::string();
  }
  // ctime's own layout and English names, whatever locale the host program set.
  static const char kDays[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char kMonths[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  int length = std::snprintf(text, sizeof text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kDays[local.tm_wday % 7],
                             kMonths[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min,
                             local.tm_sec, 1900 + local.tm_year);
  if (length < 0) return std::string();
  return std::string(text, static_cast<size_t>(length));
}

}  // namespace platform
