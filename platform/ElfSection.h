#pragma once
// Reading one named section of an ELF program without running it: the self-updater learns the
// installed engine's version from its ".qtx_version" section.

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The bytes of the section `name` of the 64-bit little-endian ELF file at `path`; none when the
// file is missing, is not such a file, has no such section, or the section is larger than
// `maxBytes`. Every offset is checked against the file's size, so a damaged file reads as none.
std::optional<std::string> ReadElfSection(const std::string& path, const std::string& name, int64_t maxBytes);

}  // namespace platform
