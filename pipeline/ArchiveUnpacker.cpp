#include "pipeline/ArchiveUnpacker.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

#include "core/Settings.h"
#include "pipeline/Log.h"
#include "platform/FileSystem.h"
#include "platform/FileTree.h"

namespace {

// Entries are decoded and written in pieces of this size; no entry is held whole in memory.
constexpr size_t kPieceSize = 65536;
// An update archive carries a handful of files; far more is an archive built to exhaust the disk's
// file table rather than its space.
constexpr int64_t kMaxEntries = 65536;
// Names in the log are cut to this length.
constexpr size_t kMaxLoggedName = 200;

constexpr int64_t kDefaultMaxUnpackedBytes = ExtractLimits{}.maxUnpackedBytes;

const char* FormatName(ArchiveFormat format) { return format == ArchiveFormat::kZip ? "zip" : "7z"; }

std::string ErrorText(int error) { return std::error_code(error, std::generic_category()).message(); }

// A name as one log line: control characters (a line end above all) become '?'.
std::string Printable(const char* text) {
  std::string shown = text == nullptr ? std::string() : std::string(text);
  if (shown.size() > kMaxLoggedName) shown = shown.substr(0, kMaxLoggedName) + "...";
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return shown;
}

std::string ReaderError(archive* reader) {
  const char* text = archive_error_string(reader);
  return Printable(text == nullptr ? "no reason given" : text);
}

size_t FirstCharacterLength(const std::string& name) {
  unsigned char lead = static_cast<unsigned char>(name[0]);
  size_t length = lead < 0x80           ? 1
                  : (lead >> 5) == 0x6  ? 2
                  : (lead >> 4) == 0xe  ? 3
                  : (lead >> 3) == 0x1e ? 4
                                        : 1;
  return length < name.size() ? length : name.size();
}

struct ReaderDeleter {
  void operator()(archive* reader) const { archive_read_free(reader); }
};
using Reader = std::unique_ptr<archive, ReaderDeleter>;

// A reader of the one format on the archive in memory; null (and a log line) when it refuses it.
// No outer compression filter is enabled: zip and 7z carry their own, and some of libarchive's
// filters would run external programs. A zip is read through its central directory only: reading
// local headers one after another would take an archive cut short for a complete one.
Reader OpenReader(ArchiveFormat format, const uint8_t* data, size_t size) {
  Reader reader(archive_read_new());
  if (!reader) return nullptr;
  archive* a = reader.get();
  int supported = ARCHIVE_OK;
  if (format == ArchiveFormat::kSevenZip) {
    supported = archive_read_support_format_7zip(a);
  } else if (size >= 4 && std::memcmp(data, "PK\5\6", 4) == 0) {
    // Nothing but the end record: an empty zip, which only the sequential reader accepts (and it
    // can find no entry before the end).
    supported = archive_read_support_format_zip_streamable(a);
  } else {
    supported = archive_read_support_format_zip_seekable(a);
  }
  if (supported != ARCHIVE_OK) {
    LogFormat("[TessenLib] Extract failed: no %s reader (%s)", FormatName(format), ReaderError(a).c_str());
    return nullptr;
  }
  // Zip names are UTF-8 whatever the entry's flags say (7z names are UTF-16 and converted anyway).
  if (format == ArchiveFormat::kZip) archive_read_set_format_option(a, "zip", "hdrcharset", "UTF-8");
  if (archive_read_open_memory(a, data, size) != ARCHIVE_OK) {
    LogFormat("[TessenLib] Extract failed: %s archive not opened (%s)", FormatName(format),
              ReaderError(a).c_str());
    return nullptr;
  }
  return reader;
}

enum class Next { kEntry, kEnd, kDamaged };

Next NextEntry(archive* reader, ArchiveFormat format, archive_entry** entry) {
  int result = archive_read_next_header(reader, entry);
  if (result == ARCHIVE_EOF) return Next::kEnd;
  if (result == ARCHIVE_OK || result == ARCHIVE_WARN) return Next::kEntry;
  LogFormat("[TessenLib] Extract failed: %s archive damaged (%s)", FormatName(format),
            ReaderError(reader).c_str());
  return Next::kDamaged;
}

struct EntryPlan {
  std::string place;  // below the folder; "" is the folder itself
  bool directory = false;
  unsigned mode = 0644;
};

// Whether the entry may be unpacked, and where; a refusal is logged with its reason.
bool PlanEntry(archive_entry* entry, EntryPlan* plan) {
  const char* utf8 = archive_entry_pathname_utf8(entry);
  std::string shown = Printable(utf8 != nullptr ? utf8 : archive_entry_pathname(entry));
  auto refuse = [&shown](const char* why) {
    LogFormat("[TessenLib] Extract refused: %s (%s)", why, shown.c_str());
    return false;
  };
  if (archive_entry_hardlink(entry) != nullptr) return refuse("hard link entry");
  if (archive_entry_symlink(entry) != nullptr) return refuse("link entry");
  switch (archive_entry_filetype(entry)) {
    case AE_IFREG:
      plan->directory = false;
      break;
    case AE_IFDIR:
      plan->directory = true;
      break;
    case AE_IFLNK:
      return refuse("link entry");
    case AE_IFCHR:
    case AE_IFBLK:
      return refuse("device entry");
    case AE_IFIFO:
      return refuse("FIFO entry");
    case AE_IFSOCK:
      return refuse("socket entry");
    default:
      return refuse("entry of unknown type");
  }
  if (utf8 == nullptr) return refuse("name not UTF-8");
  std::string name = utf8;
  // Windows tools write a folder as an empty file whose name ends with a separator.
  if (!name.empty() && (name.back() == '/' || name.back() == '\\')) plan->directory = true;
  const char* why = nullptr;
  std::optional<std::string> place = EntryPlace(name, plan->directory, &why);
  if (!place) return refuse(why);
  plan->place = std::move(*place);
  // The engine must stay executable; nothing becomes writable for others, and the owner can
  // always replace what was unpacked.
  unsigned permissions = static_cast<unsigned>(archive_entry_perm(entry));
  plan->mode = permissions == 0 ? 0644u : (permissions & 0755u) | 0600u;
  return true;
}

enum class Survey { kFits, kNotOpened, kRefused };

// The first pass: every entry's header, before anything is written. Refuses a refused entry, a
// damaged archive, and sizes declared past the cap.
Survey SurveyArchive(ArchiveFormat format, const uint8_t* data, size_t size, int64_t cap) {
  Reader reader = OpenReader(format, data, size);
  if (!reader) return Survey::kNotOpened;
  int64_t declared = 0;
  for (int64_t entries = 0;; ++entries) {
    archive_entry* entry = nullptr;
    switch (NextEntry(reader.get(), format, &entry)) {
      case Next::kEnd:
        return Survey::kFits;
      case Next::kDamaged:
        // A 7z reader reads the archive's table of entries only now: not readable is not opened.
        return entries == 0 ? Survey::kNotOpened : Survey::kRefused;
      case Next::kEntry:
        break;
    }
    if (entries >= kMaxEntries) {
      LogFormat("[TessenLib] Extract refused: more than %lld entries", static_cast<long long>(kMaxEntries));
      return Survey::kRefused;
    }
    EntryPlan plan;
    if (!PlanEntry(entry, &plan)) return Survey::kRefused;
    if (!plan.directory && archive_entry_size_is_set(entry)) {
      int64_t entrySize = archive_entry_size(entry);
      if (entrySize < 0 || entrySize > cap - declared) {
        LogFormat("[TessenLib] Extract refused: unpacked size over %lld bytes", static_cast<long long>(cap));
        return Survey::kRefused;
      }
      declared += entrySize;
    }
    if (archive_read_data_skip(reader.get()) != ARCHIVE_OK) {
      LogFormat("[TessenLib] Extract failed: %s archive damaged (%s)", FormatName(format),
                ReaderError(reader.get()).c_str());
      return Survey::kRefused;
    }
  }
}

bool MakeFolders(const std::string& path) {
  if (int error = platform::CreateDirectories(path); error != 0) {
    LogFormat("[TessenLib] Extract failed: folder not created (%s): %s", Printable(path.c_str()).c_str(),
              ErrorText(error).c_str());
    return false;
  }
  return true;
}

// Decodes the current entry's data into `path`, counting every decoded byte against the cap.
bool WriteEntry(archive* reader, archive_entry* entry, const EntryPlan& plan, const std::string& path,
                std::vector<char>& piece, int64_t cap, int64_t* decoded) {
  platform::NewFile file;
  if (int error = file.Create(path, plan.mode); error != 0) {
    LogFormat("[TessenLib] Extract failed: file not created (%s): %s", Printable(plan.place.c_str()).c_str(),
              ErrorText(error).c_str());
    return false;
  }
  for (;;) {
    la_ssize_t got = archive_read_data(reader, piece.data(), piece.size());
    if (got == 0) break;
    if (got < 0) {
      LogFormat("[TessenLib] Extract failed: entry not decoded (%s): %s",
                Printable(plan.place.c_str()).c_str(), ReaderError(reader).c_str());
      return false;
    }
    // The headers may lie: what counts is what comes out.
    if (got > cap - *decoded) {
      LogFormat("[TessenLib] Extract refused: unpacked size over %lld bytes while decoding (%s)",
                static_cast<long long>(cap), Printable(plan.place.c_str()).c_str());
      return false;
    }
    *decoded += got;
    if (int error = file.Write(piece.data(), static_cast<size_t>(got)); error != 0) {
      LogFormat("[TessenLib] Extract failed: write error (%s): %s", Printable(plan.place.c_str()).c_str(),
                ErrorText(error).c_str());
      return false;
    }
  }
  if (archive_entry_mtime_is_set(entry)) {
    file.SetModificationTime(archive_entry_mtime(entry), archive_entry_mtime_nsec(entry));
  }
  if (int error = file.Close(); error != 0) {
    LogFormat("[TessenLib] Extract failed: write error (%s): %s", Printable(plan.place.c_str()).c_str(),
              ErrorText(error).c_str());
    return false;
  }
  return true;
}

// The second pass: every entry unpacked below `aside`.
bool UnpackAside(ArchiveFormat format, const uint8_t* data, size_t size, int64_t cap,
                 const std::string& aside) {
  Reader reader = OpenReader(format, data, size);
  if (!reader) return false;
  std::vector<char> piece(kPieceSize);
  int64_t decoded = 0;
  for (;;) {
    archive_entry* entry = nullptr;
    switch (NextEntry(reader.get(), format, &entry)) {
      case Next::kEnd:
        return true;
      case Next::kDamaged:
        return false;
      case Next::kEntry:
        break;
    }
    EntryPlan plan;
    if (!PlanEntry(entry, &plan)) return false;
    if (plan.place.empty()) continue;  // the folder itself
    std::string path = aside + "/" + plan.place;
    if (plan.directory) {
      if (!MakeFolders(path)) return false;
      continue;
    }
    std::string::size_type slash = plan.place.find_last_of('/');
    if (slash != std::string::npos && !MakeFolders(aside + "/" + plan.place.substr(0, slash))) return false;
    if (!WriteEntry(reader.get(), entry, plan, path, piece, cap, &decoded)) return false;
  }
}

}  // namespace

ExtractLimits ExtractLimits::FromSettings() {
  ExtractLimits limits;
  long long value = settings::GetInt("update_max_unpacked_bytes", limits.maxUnpackedBytes);
  if (value > 0) limits.maxUnpackedBytes = value;
  return limits;
}

std::string StripEntryName(std::string name) {
  static const char* const kParentReferences[] = {"\\..\\", "\\../", "/../", "/..\\"};
  for (;;) {
    // Up to the first reference, keeping the separator after it: a reference that shares that
    // separator ("a/../../b") is found next, and the separator goes with the leading ones.
    std::string::size_type first = std::string::npos;
    for (const char* reference : kParentReferences) first = std::min(first, name.find(reference));
    if (first != std::string::npos) {
      name.erase(0, first + 3);
      continue;
    }
    if (name.empty()) return name;
    size_t lead = FirstCharacterLength(name);
    if (name.size() > lead && name[lead] == ':') {
      name.erase(0, lead + 1);
      continue;
    }
    std::string::size_type start = name.find_first_not_of("/\\");
    if (start == 0) return name;
    name.erase(0, start == std::string::npos ? name.size() : start);
  }
}

std::optional<std::string> EntryPlace(const std::string& name, bool directory, const char** why) {
  std::string stripped = StripEntryName(name);
  for (char& c : stripped) {
    if (c == '\\') c = '/';
  }
  if (!stripped.empty() && stripped.front() == '/') {
    *why = "absolute name";
    return std::nullopt;
  }
  std::string place;
  std::string::size_type from = 0;
  while (from <= stripped.size()) {
    std::string::size_type slash = stripped.find('/', from);
    if (slash == std::string::npos) slash = stripped.size();
    std::string level = stripped.substr(from, slash - from);
    from = slash + 1;
    if (level.empty() || level == ".") continue;
    if (level == "..") {
      *why = "parent reference in name";
      return std::nullopt;
    }
    if (!place.empty()) place += '/';
    place += level;
  }
  if (place.empty() && !directory) {
    *why = "empty name";
    return std::nullopt;
  }
  return place;
}

UnpackStatus UnpackArchive(ArchiveFormat format, const uint8_t* data, int64_t length,
                           const std::string& folder, const ExtractLimits& limits) {
  if (data == nullptr || length <= 0 || folder.empty()) return UnpackStatus::kBadArguments;
  std::string target = folder;
  for (char& c : target) {
    if (c == '\\') c = '/';
  }
  while (target.size() > 1 && target.back() == '/') target.pop_back();
  int64_t cap = limits.maxUnpackedBytes > 0 ? limits.maxUnpackedBytes : kDefaultMaxUnpackedBytes;
  size_t size = static_cast<size_t>(length);
  // The reader converts names through the thread's locale; UTF-8 keeps every name intact.
  platform::ScopedUtf8Locale utf8;

  switch (SurveyArchive(format, data, size, cap)) {
    case Survey::kFits:
      break;
    case Survey::kNotOpened:
      return UnpackStatus::kOpenFailed;
    case Survey::kRefused:
      return UnpackStatus::kFailed;
  }

  std::string aside;
  if (int error = platform::MakeTemporaryDirectoryBeside(target, &aside); error != 0) {
    LogFormat("[TessenLib] Extract failed: no folder beside %s: %s", Printable(target.c_str()).c_str(),
              ErrorText(error).c_str());
    return UnpackStatus::kFailed;
  }
  bool unpacked = UnpackAside(format, data, size, cap, aside);
  if (unpacked) {
    if (int error = platform::MoveTreeInto(aside, target); error != 0) {
      LogFormat("[TessenLib] Extract failed: files not moved into %s: %s", Printable(target.c_str()).c_str(),
                ErrorText(error).c_str());
      unpacked = false;
    }
  }
  platform::RemoveTree(aside);
  return unpacked ? UnpackStatus::kOk : UnpackStatus::kFailed;
}
