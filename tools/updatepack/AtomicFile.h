#pragma once
// Files replaced whole: a reader (the devserver, a running build) sees the old file or the new
// one, never a part.

#include <string>
#include <string_view>

namespace updatepack {

// Writes `bytes` into a temporary file beside `path` (mode 0644), flushes it to disk and renames
// it over `path`. False with the reason in `error`; the temporary file is then removed.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string* error);

}  // namespace updatepack
