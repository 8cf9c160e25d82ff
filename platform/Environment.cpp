#include "platform/Environment.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace platform {
namespace {

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// An XDG folder variable counts only when it is an absolute path.
std::string XdgFolder(const char* variable, const char* fallbackBelowHome) {
  std::optional<std::string> value = GetEnvironment(variable);
  if (value && !value->empty() && (*value)[0] == '/') return WithoutTrailingSlash(*value);
  std::string home = HomeFolder();
  if (home.empty()) return std::string();
  // A home of "/" (service accounts) must not give "//.local/share".
  return (home == "/" ? home : home + "/") + fallbackBelowHome;
}

}  // namespace

std::optional<std::string> GetEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::string HomeFolder() {
  std::optional<std::string> home = GetEnvironment("HOME");
  if (home && !home->empty()) return WithoutTrailingSlash(*home);
  if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr) {
    return WithoutTrailingSlash(entry->pw_dir);
  }
  return std::string();
}

std::string ApplicationDataFolder() { return XdgFolder("XDG_DATA_HOME", ".local/share"); }

std::string ConfigurationFolder() { return XdgFolder("XDG_CONFIG_HOME", ".config"); }

}  // namespace platform
