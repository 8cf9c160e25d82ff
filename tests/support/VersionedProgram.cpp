#include "tests/support/VersionedProgram.h"

#include <elf.h>

#include <cstring>

namespace testsupport {

std::string MakeVersionedProgram(const std::string& version, const std::string& extra) {
  const std::string names = std::string("\0.shstrtab\0.qtx_version\0", 24);
  std::string section = version;
  section.push_back('\0');
  section += extra;
  const size_t namesOffset = sizeof(Elf64_Ehdr);
  const size_t sectionOffset = namesOffset + names.size();
  const size_t headersOffset = (sectionOffset + section.size() + 7) / 8 * 8;

  Elf64_Ehdr header{};
  std::memcpy(header.e_ident, ELFMAG, SELFMAG);
  header.e_ident[EI_CLASS] = ELFCLASS64;
  header.e_ident[EI_DATA] = ELFDATA2LSB;
  header.e_ident[EI_VERSION] = EV_CURRENT;
  header.e_type = ET_EXEC;
  header.e_machine = EM_X86_64;
  header.e_version = EV_CURRENT;
  header.e_ehsize = sizeof(Elf64_Ehdr);
  header.e_shoff = headersOffset;
  header.e_shentsize = sizeof(Elf64_Shdr);
  header.e_shnum = 3;
  header.e_shstrndx = 1;

  Elf64_Shdr sections[3] = {};
  sections[1].sh_name = 1;
  sections[1].sh_type = SHT_STRTAB;
  sections[1].sh_offset = namesOffset;
  sections[1].sh_size = names.size();
  sections[2].sh_name = 11;
  sections[2].sh_type = SHT_PROGBITS;
  sections[2].sh_offset = sectionOffset;
  sections[2].sh_size = section.size();

  std::string file(reinterpret_cast<const char*>(&header), sizeof header);
  file += names;
  file += section;
  file.resize(headersOffset, '\0');
  file.append(reinterpret_cast<const char*>(sections), sizeof sections);
  return file;
}

}  // namespace testsupport
