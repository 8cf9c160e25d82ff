#pragma once
// The version text a program carries, read without running it.

#include <string>

// The version kept in the program's ".qtx_version" section (up to its first NUL); empty when the
// file, the section or a text is missing.
std::string ReadFileVersion(const std::string& path);
