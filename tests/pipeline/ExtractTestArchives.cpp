#include "tests/pipeline/ExtractTestArchives.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstring>

#include "platform/FileTree.h"

namespace extracttest {

namespace {

la_ssize_t AppendToString(archive* /*writer*/, void* target, const void* bytes, size_t length) {
  static_cast<std::string*>(target)->append(static_cast<const char*>(bytes), length);
  return static_cast<la_ssize_t>(length);
}

unsigned FileType(Kind kind) {
  switch (kind) {
    case Kind::kFile:
    case Kind::kHardlink:
      return AE_IFREG;
    case Kind::kDirectory:
      return AE_IFDIR;
    case Kind::kSymlink:
      return AE_IFLNK;
    case Kind::kCharDevice:
      return AE_IFCHR;
    case Kind::kBlockDevice:
      return AE_IFBLK;
    case Kind::kFifo:
      return AE_IFIFO;
    case Kind::kSocket:
      return AE_IFSOCK;
  }
  return AE_IFREG;
}

uint32_t Load32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = (value << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
  return value;
}

uint16_t Load16(const std::string& bytes, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) | (static_cast<uint8_t>(bytes[at + 1]) << 8));
}

void Store32(std::string& bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// Every record of `signature` in the zip (a scan: test archives hold no such bytes in their data).
std::vector<size_t> Records(const std::string& zip, const char* signature) {
  std::vector<size_t> at;
  for (size_t i = zip.find(signature, 0, 4); i != std::string::npos; i = zip.find(signature, i + 4, 4)) {
    at.push_back(i);
  }
  return at;
}

}  // namespace

Entry File(const std::string& name, const std::string& content, unsigned mode) {
  Entry entry;
  entry.name = name;
  entry.content = content;
  entry.mode = mode;
  return entry;
}

Entry Folder(const std::string& name) {
  Entry entry;
  entry.name = name;
  entry.kind = Kind::kDirectory;
  entry.mode = 0755;
  return entry;
}

Entry Special(const std::string& name, Kind kind, const std::string& link) {
  Entry entry;
  entry.name = name;
  entry.kind = kind;
  entry.link = link;
  return entry;
}

std::string MakeArchive(ArchiveFormat format, const std::vector<Entry>& entries) {
  platform::ScopedUtf8Locale utf8;  // the writer converts names through the locale too
  std::string out;
  archive* writer = archive_write_new();
  if (format == ArchiveFormat::kZip) {
    archive_write_set_format_zip(writer);
  } else {
    archive_write_set_format_7zip(writer);
  }
  archive_write_set_bytes_in_last_block(writer, 1);
  archive_write_open2(writer, &out, nullptr, AppendToString, nullptr, nullptr);
  for (const Entry& spec : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname_utf8(entry, spec.name.c_str());
    archive_entry_set_filetype(entry, FileType(spec.kind));
    archive_entry_set_perm(entry, static_cast<mode_t>(spec.mode));
    if (spec.kind == Kind::kSymlink) archive_entry_set_symlink(entry, spec.link.c_str());
    if (spec.kind == Kind::kHardlink) archive_entry_set_hardlink(entry, spec.link.c_str());
    if (spec.kind == Kind::kCharDevice || spec.kind == Kind::kBlockDevice)
      archive_entry_set_rdev(entry, 0x0103);
    if (spec.mtime != 0) archive_entry_set_mtime(entry, static_cast<time_t>(spec.mtime), 0);
    archive_entry_set_size(entry, static_cast<la_int64_t>(spec.content.size()));
    archive_write_header(writer, entry);
    if (!spec.content.empty()) archive_write_data(writer, spec.content.data(), spec.content.size());
    archive_entry_free(entry);
  }
  archive_write_close(writer);
  archive_write_free(writer);
  return out;
}

std::string WithZipUnixType(std::string zip, const std::string& name, uint32_t type) {
  for (size_t at : Records(zip, "PK\1\2")) {
    size_t nameLength = Load16(zip, at + 28);
    if (zip.compare(at + 46, nameLength, name) != 0) continue;
    zip[at + 5] = 3;  // made on Unix: the upper half of the external attributes is the mode
    uint32_t attributes = Load32(zip, at + 38);
    uint32_t mode = (attributes >> 16) & 07777;
    Store32(zip, at + 38, ((type | mode) << 16) | (attributes & 0xffff));
  }
  return zip;
}

std::string WithZipDeclaredSize(std::string zip, uint32_t size) {
  for (size_t at : Records(zip, "PK\3\4")) {
    if (Load32(zip, at + 22) != 0) Store32(zip, at + 22, size);
  }
  for (size_t at : Records(zip, "PK\7\10")) Store32(zip, at + 12, size);
  for (size_t at : Records(zip, "PK\1\2")) Store32(zip, at + 24, size);
  return zip;
}

std::string WithZipFromDos(std::string zip) {
  for (size_t at : Records(zip, "PK\1\2")) {
    zip[at + 5] = 0;
    Store32(zip, at + 38, Load32(zip, at + 38) & 0xffff);
  }
  return zip;
}

std::vector<std::string> ReadNames(ArchiveFormat format, const std::string& bytes) {
  platform::ScopedUtf8Locale utf8;
  std::vector<std::string> names;
  archive* reader = archive_read_new();
  if (format == ArchiveFormat::kZip) {
    archive_read_support_format_zip(reader);
  } else {
    archive_read_support_format_7zip(reader);
  }
  if (archive_read_open_memory(reader, bytes.data(), bytes.size()) == ARCHIVE_OK) {
    archive_entry* entry = nullptr;
    while (archive_read_next_header(reader, &entry) == ARCHIVE_OK) {
      const char* name = archive_entry_pathname_utf8(entry);
      names.push_back(name != nullptr ? name : "<unreadable>");
    }
  }
  archive_read_free(reader);
  return names;
}

}  // namespace extracttest
