#pragma once
// One line of the server's request log on standard error. Lines from the listener threads never
// interleave.

#include <string>

namespace devserver {

void LogLine(const std::string& line);

}  // namespace devserver
