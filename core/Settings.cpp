#include "core/Settings.h"

#include <charconv>
#include <fstream>
#include <optional>

#include "platform/Environment.h"

namespace settings {
namespace {

struct DefaultEntry {
  const char* key;
  const char* value;
};

constexpr DefaultEntry kDefaults[] = {
    {"file_list_url", "http://download.orba.example/download/orba/qtxdownload/filelist.txt"},
    {"banner_url", "http://download.orba.example/download/orba/qtxdownload/ORBA.gif"},
    {"update_manifest_url",
     "http://update.orba.example/norvik/qtxdownload/update/v3_32/qtxdownload_updater.xml"},
    {"relay_host", "relay.orba.example"},
    {"relay_port", "54547"},
    {"engine_port", "38006"},
    {"engine_enabled", "1"},
    {"referer", "http://www.orba.example/"},
    {"network_state", "auto"},
    {"tls_verify", "1"},
    {"tls_ca_file", ""},
    {"min_rate_bytes", "1024"},
    {"engine_connections_per_server", "16"},
    {"engine_connections", "32"},
    {"update_require_signature", "1"},
    {"update_max_unpacked_bytes", "1073741824"},
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string Trimmed(const std::string& text) {
  std::string::size_type begin = 0;
  std::string::size_type end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// A '#' starts a comment at the start of a line or after a blank, so values such as URLs with a
// fragment keep their '#'.
std::string WithoutComment(const std::string& line) {
  for (std::string::size_type i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || IsBlank(line[i - 1]))) return line.substr(0, i);
  }
  return line;
}

// The last `key = value` line of the config file for `key`; nothing when the file or line is absent.
std::optional<std::string> FromConfigFile(const std::string& key) {
  std::string path = ConfigFilePath();
  if (path.empty()) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::optional<std::string> found;
  std::string line;
  while (std::getline(in, line)) {
    line = WithoutComment(line);
    std::string::size_type equals = line.find('=');
    if (equals == std::string::npos) continue;
    if (Trimmed(line.substr(0, equals)) == key) found = Trimmed(line.substr(equals + 1));
  }
  return found;
}

}  // namespace

std::string Get(const std::string& key) {
  if (key.empty()) return std::string();
  if (std::optional<std::string> value = platform::GetEnvironment(EnvironmentName(key))) return *value;
  if (std::optional<std::string> value = FromConfigFile(key)) return *value;
  return Default(key);
}

long long GetInt(const std::string& key, long long fallback) {
  std::string text = Trimmed(Get(key));
  if (text.empty()) return fallback;
  long long value = 0;
  const char* end = text.data() + text.size();
  auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return fallback;
  return value;
}

std::string Default(const std::string& key) {
  for (const DefaultEntry& entry : kDefaults) {
    if (key == entry.key) return entry.value;
  }
  return std::string();
}

std::string EnvironmentName(const std::string& key) {
  std::string name = "ORBA_";
  for (char c : key) name += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  return name;
}

std::string ConfigFilePath() {
  std::string folder = platform::ConfigurationFolder();
  if (folder.empty()) return std::string();  // no home: no file, rather than one below "/"
  if (folder.back() != '/') folder += '/';
  return folder + "Norvik Inc./orba.conf";
}

}  // namespace settings
