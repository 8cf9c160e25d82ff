#include "tools/updatepack/ArchiveWriter.h"

#include <archive.h>
#include <archive_entry.h>

#include <memory>

namespace updatepack {

namespace {

la_ssize_t Append(struct archive*, void* client, const void* buffer, size_t length) {
  static_cast<std::string*>(client)->append(static_cast<const char*>(buffer), length);
  return static_cast<la_ssize_t>(length);
}

}  // namespace

bool MakeArchive(ArchiveKind kind, const ArchiveEntry& entry, std::string* archive, std::string* error) {
  std::unique_ptr<struct archive, decltype(&archive_write_free)> writer(archive_write_new(),
                                                                        archive_write_free);
  std::unique_ptr<struct archive_entry, decltype(&archive_entry_free)> header(archive_entry_new(),
                                                                              archive_entry_free);
  if (!writer || !header) {
    *error = "out of memory";
    return false;
  }
  auto failed = [&](const char* step) {
    const char* reason = archive_error_string(writer.get());
    *error = std::string(step) + ": " + (reason != nullptr ? reason : "libarchive failed");
    return false;
  };
  archive->clear();
  int format = kind == ArchiveKind::SevenZip ? archive_write_set_format_7zip(writer.get())
                                             : archive_write_set_format_zip(writer.get());
  if (format != ARCHIVE_OK) return failed("cannot choose the archive format");
  // No padding after the last byte: the archive ends where its format says.
  archive_write_set_bytes_in_last_block(writer.get(), 1);
  if (archive_write_open2(writer.get(), archive, nullptr, Append, nullptr, nullptr) != ARCHIVE_OK)
    return failed("cannot start the archive");

  archive_entry_set_pathname(header.get(), entry.name.c_str());
  archive_entry_set_filetype(header.get(), AE_IFREG);
  archive_entry_set_perm(header.get(), static_cast<mode_t>(entry.permissions));
  archive_entry_set_size(header.get(), static_cast<la_int64_t>(entry.bytes.size()));
  archive_entry_set_mtime(header.get(), static_cast<time_t>(entry.modified), 0);
  archive_entry_set_uid(header.get(), 0);
  archive_entry_set_gid(header.get(), 0);
  if (archive_write_header(writer.get(), header.get()) != ARCHIVE_OK) return failed("cannot add the entry");
  size_t written = 0;
  while (written < entry.bytes.size()) {
    la_ssize_t chunk =
        archive_write_data(writer.get(), entry.bytes.data() + written, entry.bytes.size() - written);
    if (chunk <= 0) return failed("cannot write the entry");
    written += static_cast<size_t>(chunk);
  }
  if (archive_write_finish_entry(writer.get()) != ARCHIVE_OK) return failed("cannot finish the entry");
  if (archive_write_close(writer.get()) != ARCHIVE_OK) return failed("cannot finish the archive");
  return true;
}

}  // namespace updatepack
