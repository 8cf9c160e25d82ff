#include "tools/updatecommon/UpdateManifest.h"

#include <utility>

namespace updatecommon {

namespace {

std::string ArchiveAttributes(const ArchiveFields& archive) {
  return "url=\"" + archive.url + "\" hash=\"" + archive.hash + "\" sha256=\"" + archive.sha256 +
         "\" size=\"" + std::to_string(archive.size) + "\"";
}

// Where the value of attribute `name` starts and how long it is.
std::optional<std::pair<size_t, size_t>> FindAttribute(std::string_view manifest, std::string_view name) {
  std::string key = " " + std::string(name) + "=\"";
  size_t start = manifest.find(key);
  if (start == std::string_view::npos) return std::nullopt;
  start += key.size();
  size_t end = manifest.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  return std::make_pair(start, end - start);
}

}  // namespace

bool IsPlainVersion(std::string_view version) {
  if (version.empty() || version.size() > 64) return false;
  for (char c : version) {
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\'' || c == '<' || c == '>' || c == '&') return false;
  }
  return true;
}

std::string ComposeManifest(const ManifestFields& fields) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  text += "<qtxdownload_updater expires=\"" + fields.expires + "\">\n";
  text += "<file>\n";
  text += "<" + std::string(kEngineName) + " ver=\"" + fields.version + "\" " +
          ArchiveAttributes(fields.engine) + "/>\n";
  text += "</file>\n";
  text += "<all>\n";
  text += "<all " + ArchiveAttributes(fields.all) + "/>\n";
  text += "</all>\n";
  text += "</qtxdownload_updater>\n";
  return text;
}

std::string FormatUtc(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::optional<std::time_t> ParseUtc(std::string_view text) {
  // Exactly the shape FormatUtc writes.
  constexpr std::string_view kShape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kShape.size()) return std::nullopt;
  for (size_t i = 0; i < text.size(); ++i) {
    bool digit = text[i] >= '0' && text[i] <= '9';
    if (kShape[i] == 'd' ? !digit : text[i] != kShape[i]) return std::nullopt;
  }
  auto number = [&](size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
  };
  std::tm parts{};
  parts.tm_year = number(0, 4) - 1900;
  parts.tm_mon = number(5, 2) - 1;
  parts.tm_mday = number(8, 2);
  parts.tm_hour = number(11, 2);
  parts.tm_min = number(14, 2);
  parts.tm_sec = number(17, 2);
  if (parts.tm_mon > 11 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
      parts.tm_min > 59 || parts.tm_sec > 60) {
    return std::nullopt;
  }
  return timegm(&parts);
}

std::optional<std::string> ReplaceAttribute(std::string_view manifest, std::string_view name,
                                            std::string_view value) {
  auto found = FindAttribute(manifest, name);
  if (!found) return std::nullopt;
  std::string changed(manifest);
  changed.replace(found->first, found->second, value);
  return changed;
}

std::optional<std::string> AttributeValue(std::string_view manifest, std::string_view name) {
  auto found = FindAttribute(manifest, name);
  if (!found) return std::nullopt;
  return std::string(manifest.substr(found->first, found->second));
}

}  // namespace updatecommon
