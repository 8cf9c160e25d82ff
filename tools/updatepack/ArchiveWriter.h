#pragma once
// An archive of one regular file, made in memory with libarchive's writer.

#include <cstdint>
#include <string>
#include <string_view>

namespace updatepack {

enum class ArchiveKind { SevenZip, Zip };

struct ArchiveEntry {
  std::string name;
  std::string_view bytes;
  int permissions = 0755;
  int64_t modified = 0;  // seconds since 1970; fixed, so the same bytes make the same archive
};

// The archive's bytes in `archive`; false with the reason in `error`.
bool MakeArchive(ArchiveKind kind, const ArchiveEntry& entry, std::string* archive, std::string* error);

}  // namespace updatepack
