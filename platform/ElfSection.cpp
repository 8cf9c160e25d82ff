#include "platform/ElfSection.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace platform {

namespace {

// Section headers and names of a sane program; more means a damaged or hostile file.
constexpr uint64_t kMaxSections = 4096;
constexpr uint64_t kMaxNamesBytes = 1 << 20;

class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~ReadOnlyFile() {
    if (fd_ >= 0) close(fd_);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  bool Open() const { return fd_ >= 0; }
  std::optional<uint64_t> Size() const {
    struct stat info {};
    if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
  }
  bool ReadAt(uint64_t offset, void* out, uint64_t length) const {
    auto* bytes = static_cast<char*>(out);
    while (length > 0) {
      ssize_t n = pread(fd_, bytes, length, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      offset += static_cast<uint64_t>(n);
      length -= static_cast<uint64_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

bool Within(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

}  // namespace

std::optional<std::string> ReadElfSection(const std::string& path, const std::string& name,
                                          int64_t maxBytes) {
  ReadOnlyFile file(path);
  if (!file.Open() || maxBytes < 0) return std::nullopt;
  std::optional<uint64_t> size = file.Size();
  Elf64_Ehdr header{};
  if (!size || !file.ReadAt(0, &header, sizeof header)) return std::nullopt;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
      header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_shentsize != sizeof(Elf64_Shdr) ||
      header.e_shnum == 0 || header.e_shnum > kMaxSections || header.e_shstrndx >= header.e_shnum ||
      !Within(header.e_shoff, uint64_t{header.e_shnum} * sizeof(Elf64_Shdr), *size)) {
    return std::nullopt;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  if (!file.ReadAt(header.e_shoff, sections.data(), sections.size() * sizeof(Elf64_Shdr)))
    return std::nullopt;
  const Elf64_Shdr& namesHeader = sections[header.e_shstrndx];
  if (namesHeader.sh_size > kMaxNamesBytes || !Within(namesHeader.sh_offset, namesHeader.sh_size, *size)) {
    return std::nullopt;
  }
  std::string names(namesHeader.sh_size, '\0');
  if (!file.ReadAt(namesHeader.sh_offset, names.data(), names.size())) return std::nullopt;
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_name >= names.size()) continue;
    // A name runs to its NUL; one cut off by the table's end is not ours.
    std::string::size_type end = names.find('\0', section.sh_name);
    if (end == std::string::npos || names.compare(section.sh_name, end - section.sh_name, name) != 0)
      continue;
    if (section.sh_type == SHT_NOBITS || section.sh_size > static_cast<uint64_t>(maxBytes) ||
        !Within(section.sh_offset, section.sh_size, *size)) {
      return std::nullopt;
    }
    std::string bytes(section.sh_size, '\0');
    if (!file.ReadAt(section.sh_offset, bytes.data(), bytes.size())) return std::nullopt;
    return bytes;
  }
  return std::nullopt;
}

}  // namespace platform
