#pragma once
// Real zip and 7z archives for the extraction tests, written in memory with libarchive's writer,
// and the byte patches that make the entries the writer will not write (devices in a zip, sizes
// that lie).

#include <cstdint>
#include <string>
#include <vector>

#include "pipeline/ArchiveUnpacker.h"

namespace extracttest {

enum class Kind { kFile, kDirectory, kSymlink, kHardlink, kCharDevice, kBlockDevice, kFifo, kSocket };

struct Entry {
  std::string name;
  std::string content;
  Kind kind = Kind::kFile;
  std::string link;      // what a link entry points at
  unsigned mode = 0644;  // permission bits
  int64_t mtime = 0;     // 0: none
};

Entry File(const std::string& name, const std::string& content, unsigned mode = 0644);
Entry Folder(const std::string& name);
Entry Special(const std::string& name, Kind kind, const std::string& link = std::string());

// The archive of `entries`, in order. Names are given to the writer as UTF-8.
std::string MakeArchive(ArchiveFormat format, const std::vector<Entry>& entries);

// A zip whose entry `name` (written as a file) claims to be of the Unix file type `type` (S_IF*
// bits, e.g. 0020000 for a character device): its central directory record is rewritten.
std::string WithZipUnixType(std::string zip, const std::string& name, uint32_t type);
// A zip whose every entry declares `size` unpacked bytes, whatever it holds.
std::string WithZipDeclaredSize(std::string zip, uint32_t size);
// A zip whose entries claim to come from MS-DOS, so they carry no permission bits.
std::string WithZipFromDos(std::string zip);

// The entry names as libarchive reads them back (to be sure a test archive holds what it should).
std::vector<std::string> ReadNames(ArchiveFormat format, const std::string& archive);

}  // namespace extracttest
