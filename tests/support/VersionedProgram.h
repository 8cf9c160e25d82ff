#pragma once
// A minimal 64-bit ELF file whose ".qtx_version" section holds a version text: what the
// self-updater reads from an installed engine, without building one per version.

#include <string>

namespace testsupport {

// `extra` is appended to the section after the text's NUL (a section may carry padding).
std::string MakeVersionedProgram(const std::string& version, const std::string& extra = std::string());

}  // namespace testsupport
