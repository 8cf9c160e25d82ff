#include "platform/Environment.h"

#include <pwd.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

// Sets or unsets a variable for the lifetime of this object.
class ScopedVariable {
 public:
  ScopedVariable(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) previous_ = old;
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ~ScopedVariable() {
    if (previous_) {
      setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

std::string PasswordHome() {
  const passwd* entry = getpwuid(getuid());
  return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

TEST(EnvironmentTest, GetEnvironmentTellsUnsetFromEmpty) {
  ScopedVariable unset("ORBA_TEST_UNSET", std::nullopt);
  ScopedVariable empty("ORBA_TEST_EMPTY", "");
  ScopedVariable value("ORBA_TEST_VALUE", "a b=c");
  EXPECT_EQ(platform::GetEnvironment("ORBA_TEST_UNSET"), std::nullopt);
  EXPECT_EQ(platform::GetEnvironment("ORBA_TEST_EMPTY"), std::optional<std::string>(""));
  EXPECT_EQ(platform::GetEnvironment("ORBA_TEST_VALUE"), std::optional<std::string>("a b=c"));
}

TEST(EnvironmentTest, HomeFolderComesFromHomeWithoutTrailingSlash) {
  ScopedVariable home("HOME", "/home/player//");
  EXPECT_EQ(platform::HomeFolder(), "/home/player");
}

TEST(EnvironmentTest, HomeFolderFallsBackToThePasswordDatabase) {
  std::string expected = PasswordHome();
  while (expected.size() > 1 && expected.back() == '/') expected.pop_back();
  {
    ScopedVariable home("HOME", std::nullopt);
    EXPECT_EQ(platform::HomeFolder(), expected);
  }
  {
    ScopedVariable home("HOME", "");
    EXPECT_EQ(platform::HomeFolder(), expected);
  }
}

TEST(EnvironmentTest, ApplicationDataFolderTakesAnAbsoluteXdgDataHome) {
  ScopedVariable home("HOME", "/home/player");
  ScopedVariable data("XDG_DATA_HOME", "/srv/data/");
  EXPECT_EQ(platform::ApplicationDataFolder(), "/srv/data");
}

TEST(EnvironmentTest, ApplicationDataFolderIgnoresARelativeXdgDataHome) {
  ScopedVariable home("HOME", "/home/player");
  ScopedVariable data("XDG_DATA_HOME", "relative/data");
  EXPECT_EQ(platform::ApplicationDataFolder(), "/home/player/.local/share");
}

TEST(EnvironmentTest, ApplicationDataFolderDefaultsBelowHome) {
  ScopedVariable home("HOME", "/home/player/");
  {
    ScopedVariable data("XDG_DATA_HOME", std::nullopt);
    EXPECT_EQ(platform::ApplicationDataFolder(), "/home/player/.local/share");
  }
  {
    ScopedVariable data("XDG_DATA_HOME", "");
    EXPECT_EQ(platform::ApplicationDataFolder(), "/home/player/.local/share");
  }
}

TEST(EnvironmentTest, ApplicationDataFolderWithoutHomeUsesThePasswordDatabase) {
  std::string passwordHome = PasswordHome();
  if (passwordHome.empty()) GTEST_SKIP() << "no password entry for this user";
  while (passwordHome.size() > 1 && passwordHome.back() == '/') passwordHome.pop_back();
  ScopedVariable home("HOME", std::nullopt);
  ScopedVariable data("XDG_DATA_HOME", std::nullopt);
  std::string expected = (passwordHome == "/" ? "" : passwordHome) + "/.local/share";
  EXPECT_EQ(platform::ApplicationDataFolder(), expected);
}

TEST(EnvironmentTest, RootHomeGivesNoDoubleSlash) {
  ScopedVariable home("HOME", "/");
  ScopedVariable data("XDG_DATA_HOME", std::nullopt);
  ScopedVariable config("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(platform::HomeFolder(), "/");
  EXPECT_EQ(platform::ApplicationDataFolder(), "/.local/share");
  EXPECT_EQ(platform::ConfigurationFolder(), "/.config");
}

TEST(EnvironmentTest, ConfigurationFolderFollowsTheSameRules) {
  ScopedVariable home("HOME", "/home/player");
  {
    ScopedVariable config("XDG_CONFIG_HOME", "/etc/player/");
    EXPECT_EQ(platform::ConfigurationFolder(), "/etc/player");
  }
  {
    ScopedVariable config("XDG_CONFIG_HOME", "./config");
    EXPECT_EQ(platform::ConfigurationFolder(), "/home/player/.config");
  }
  {
    ScopedVariable config("XDG_CONFIG_HOME", std::nullopt);
    EXPECT_EQ(platform::ConfigurationFolder(), "/home/player/.config");
  }
}

}  // namespace
