#include "platform/LocalTime.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

// Sets TZ for the lifetime of this object.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& zone) {
    if (const char* old = std::getenv("TZ")) previous_ = old;
    setenv("TZ", zone.c_str(), 1);
  }
  ~ScopedTimeZone() {
    if (previous_) {
      setenv("TZ", previous_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

 private:
  std::optional<std::string> previous_;
};

// Switches every locale category for the lifetime of this object; `applied` says whether the
// locale exists here.
class ScopedLocale {
 public:
  explicit ScopedLocale(const char* name) : previous_(std::setlocale(LC_ALL, nullptr)) {
    applied = std::setlocale(LC_ALL, name) != nullptr;
  }
  ~ScopedLocale() { std::setlocale(LC_ALL, previous_.c_str()); }
  ScopedLocale(const ScopedLocale&) = delete;
  ScopedLocale& operator=(const ScopedLocale&) = delete;
  bool applied = false;

 private:
  std::string previous_;
};

std::string CtimeWithoutNewline(int64_t seconds) {
  time_t value = static_cast<time_t>(seconds);
  const char* text = std::ctime(&value);
  if (text == nullptr) return std::string();
  std::string result(text);
  if (!result.empty() && result.back() == '\n') result.pop_back();
  return result;
}

const std::vector<int64_t> kInstants = {
    0,              // Thu Jan  1 1970
    -1,             // the last second of 1969
    1'000'000'000,  // Sun Sep  9 2001
    951'782'400,    // Tue Feb 29 2000
    1'709'596'800,  // Tue Mar  5 2024: a single-digit day
    1'704'067'199,  // the last second of 2023
    1'700'000'000,
    1'719'792'000,  // Mon Jul  1 2024: summer time where there is any
    2'147'483'647,  // the end of 32-bit time
    4'102'444'800,  // Fri Jan  1 2100
};

const std::vector<std::string> kZones = {
    "UTC0", "JST-9", "EST5EDT,M3.2.0,M11.1.0", "NZST-12NZDT,M9.5.0,M4.1.0/3", "IST-5:30",
};

TEST(LocalTimeTest, KnownInstantInUtc) {
  ScopedTimeZone zone("UTC0");
  EXPECT_EQ(platform::CtimeText(0), "Thu Jan  1 00:00:00 1970");
  EXPECT_EQ(platform::CtimeText(1'709'596'800), "Tue Mar  5 00:00:00 2024");
  EXPECT_EQ(platform::CtimeText(1'000'000'000), "Sun Sep  9 01:46:40 2001");
  EXPECT_EQ(platform::CtimeText(1'702'650'000), "Fri Dec 15 14:20:00 2023");
}

TEST(LocalTimeTest, MatchesCtimeInSeveralZones) {
  for (const std::string& name : kZones) {
    ScopedTimeZone zone(name);
    for (int64_t instant : kInstants) {
      EXPECT_EQ(platform::CtimeText(instant), CtimeWithoutNewline(instant))
          << "TZ=" << name << " at " << instant;
    }
  }
}

TEST(LocalTimeTest, FollowsAZoneChangeJustAsCtimeDoes) {
  ScopedTimeZone first("UTC0");
  std::string before = platform::CtimeText(1'700'000'000);
  ScopedTimeZone second("JST-9");
  // No other time call in between: CtimeText itself must notice the new zone.
  std::string after = platform::CtimeText(1'700'000'000);
  EXPECT_NE(before, after);
  EXPECT_EQ(after, CtimeWithoutNewline(1'700'000'000));
}

TEST(LocalTimeTest, MatchesCtimeWithANamedZoneWhenInstalled) {
  std::FILE* file = std::fopen("/usr/share/zoneinfo/Europe/Berlin", "rb");
  if (file == nullptr) GTEST_SKIP() << "no time zone database";
  std::fclose(file);
  ScopedTimeZone zone("Europe/Berlin");
  for (int64_t instant : kInstants) {
    EXPECT_EQ(platform::CtimeText(instant), CtimeWithoutNewline(instant)) << instant;
  }
}

TEST(LocalTimeTest, IsIndependentOfTheProgramsLocale) {
  ScopedTimeZone zone("UTC0");
  const std::string expected = "Sun Sep  9 01:46:40 2001";
  int applied = 0;
  for (const char* name : {"C.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8", "zh_TW.UTF-8", "ja_JP.UTF-8", ""}) {
    ScopedLocale locale(name);
    if (!locale.applied) continue;
    ++applied;
    EXPECT_EQ(platform::CtimeText(1'000'000'000), expected) << "locale " << name;
    EXPECT_EQ(platform::CtimeText(1'000'000'000), CtimeWithoutNewline(1'000'000'000));
  }
  EXPECT_GT(applied, 0);
}

TEST(LocalTimeTest, HasNoTrailingNewline) {
  std::string text = platform::CtimeText(1'700'000'000);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
  EXPECT_EQ(text.size(), 24u);
}

}  // namespace
