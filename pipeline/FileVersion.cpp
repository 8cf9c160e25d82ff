#include "pipeline/FileVersion.h"

#include <optional>

#include "platform/ElfSection.h"

namespace {

// A version text is short; a larger section is not one.
constexpr int64_t kMaxVersionBytes = 256;

}  // namespace

std::string ReadFileVersion(const std::string& path) {
  std::optional<std::string> section = platform::ReadElfSection(path, ".qtx_version", kMaxVersionBytes);
  if (!section) return std::string();
  return section->substr(0, section->find('\0'));
}
