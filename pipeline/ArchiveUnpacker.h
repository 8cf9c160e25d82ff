#pragma once
// What the zip and 7z actions share: reading an archive from memory with libarchive, checking
// every entry, unpacking into a folder built aside, and moving the result into place.

#include <cstdint>
#include <optional>
#include <string>

#include "pipeline/IExtractAction.h"

enum class ArchiveFormat { kZip, kSevenZip };

enum class UnpackStatus {
  kOk,
  kBadArguments,  // no data, a length of 0 or less, no folder
  kOpenFailed,    // the reader refused the archive
  kFailed,        // an entry was refused, could not be read or written, or the result not placed
};

// Unpacks the archive `data` of the given format into `folder` (paths with '/' or '\', a trailing
// separator or none). Nothing in `folder` changes unless every entry was unpacked.
UnpackStatus UnpackArchive(ArchiveFormat format, const uint8_t* data, int64_t length,
                           const std::string& folder, const ExtractLimits& limits);

// An entry's name with what could lead out of the folder taken off, repeatedly until none is left:
// a drive prefix (one character and ':'), leading separators, and everything up to and including
// a parent reference between separators ("\..\", "\../", "/../", "/..\"), so that
// "dir/../../file" is "file". A name that starts with ".." keeps it (and is refused).
std::string StripEntryName(std::string name);

// The entry's place below the folder: the stripped name with '/' separators and without empty or
// "." levels. Nothing when it is refused: still absolute, a ".." level anywhere, or empty for a
// file (an empty directory name is the folder itself: ""). `*why` names the reason.
std::optional<std::string> EntryPlace(const std::string& name, bool directory, const char** why);
