#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The local time of `secondsSinceEpoch` as the C library's ctime writes it, without the final
// newline: "Wed Jun 30 21:49:08 1993".
std::string CtimeText(int64_t secondsSinceEpoch);

}  // namespace platform
