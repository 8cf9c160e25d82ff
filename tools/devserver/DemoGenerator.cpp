#include "tools/devserver/DemoGenerator.h"

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string_view>

#include "tools/devserver/DemoBanner.h"

namespace devserver {

namespace {

struct DataFile {
  const char* name;
  uint64_t size;
};

constexpr uint64_t kMiB = 1024 * 1024;
// Sizes that are not multiples of a buffer or a block, as real files are not.
constexpr std::array<DataFile, 4> kDataFiles = {{
    {"orba_base.pak", 8 * kMiB - 4321},
    {"orba_maps.pak", 6 * kMiB + 777},
    {"orba_sound.pak", 5 * kMiB},
    {"orba_patch.pak", 3 * kMiB + 1},
}};

constexpr std::string_view kInstaller =
    "#!/bin/sh\n"
    "# ORBA demo installer: installs nothing. It records that it ran, so the demo can check.\n"
    "marker=\"${ORBA_DEMO_INSTALLER_MARKER:-$(dirname \"$0\")/installer-ran.txt}\"\n"
    "printf 'ORBA demo installer ran as %s\\n' \"$0\" > \"$marker.tmp\" && mv -f \"$marker.tmp\" "
    "\"$marker\"\n"
    "echo \"ORBA demo installer: nothing to install (wrote $marker)\"\n";

// Deterministic bytes from the file's name: splitmix64 seeded with the name's FNV-1a hash.
class ContentStream {
 public:
  explicit ContentStream(std::string_view name) {
    state_ = 0xcbf29ce484222325ULL;
    for (char c : name) state_ = (state_ ^ static_cast<uint8_t>(c)) * 0x100000001b3ULL;
  }
  void Fill(char* data, size_t size) {
    for (size_t i = 0; i < size; i += 8) {
      uint64_t value = Next();
      for (size_t j = 0; j < 8 && i + j < size; ++j)
        data[i + j] = static_cast<char>((value >> (8 * j)) & 0xff);
    }
  }

 private:
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  uint64_t state_;
};

// Writes a file and returns its SHA-256 in hex (empty on failure).
class DigestingWriter {
 public:
  explicit DigestingWriter(const std::filesystem::path& path)
      : out_(path, std::ios::binary | std::ios::trunc), digest_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
    ok_ = out_.is_open() && digest_ && EVP_DigestInit_ex(digest_.get(), EVP_sha256(), nullptr) == 1;
  }
  void Write(const char* data, size_t size) {
    out_.write(data, static_cast<std::streamsize>(size));
    ok_ = ok_ && out_ && EVP_DigestUpdate(digest_.get(), data, size) == 1;
  }
  std::string Finish() {
    out_.close();
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok_ || !out_ || EVP_DigestFinal_ex(digest_.get(), hash, &length) != 1) return std::string();
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
      hex += kHex[hash[i] >> 4];
      hex += kHex[hash[i] & 0xf];
    }
    return hex;
  }

 private:
  std::ofstream out_;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest_;
  bool ok_ = false;
};

std::string WriteData(const std::filesystem::path& path, const DataFile& file) {
  DigestingWriter writer(path);
  ContentStream content(file.name);
  std::string buffer(kMiB, '\0');
  for (uint64_t left = file.size; left > 0;) {
    size_t chunk = left < buffer.size() ? static_cast<size_t>(left) : buffer.size();
    content.Fill(buffer.data(), chunk);
    writer.Write(buffer.data(), chunk);
    left -= chunk;
  }
  return writer.Finish();
}

std::string WriteText(const std::filesystem::path& path, std::string_view text) {
  DigestingWriter writer(path);
  writer.Write(text.data(), text.size());
  return writer.Finish();
}

}  // namespace

bool DemoGenerator::Generate(const std::string& folder, const std::string& baseUrl,
                             DemoDeployment* deployment, std::string* error) {
  std::filesystem::path base(folder);
  std::error_code failure;
  std::filesystem::create_directories(base, failure);
  if (failure) {
    *error = "cannot create " + folder + ": " + failure.message();
    return false;
  }
  std::string sums;
  std::string list;
  deployment->listed.clear();
  auto add = [&](const std::string& name, const std::string& digest) {
    if (digest.empty()) return false;
    sums += digest + "  " + name + "\n";
    list += baseUrl + name + "\r\n";
    deployment->listed.push_back(name);
    return true;
  };
  for (const DataFile& file : kDataFiles) {
    if (!add(file.name, WriteData(base / file.name, file))) {
      *error = std::string("cannot write ") + file.name;
      return false;
    }
  }
  std::filesystem::path installer = base / kInstallerName;
  if (!add(kInstallerName, WriteText(installer, kInstaller))) {
    *error = std::string("cannot write ") + kInstallerName;
    return false;
  }
  // Executable here too, so that it can be tried straight from the served folder.
  std::filesystem::permissions(installer,
                               std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec |
                                   std::filesystem::perms::others_exec,
                               std::filesystem::perm_options::add, failure);
  deployment->sumsFile = (base / "SHA256SUMS").string();
  if (WriteText(base / "filelist.txt", list).empty() || WriteText(deployment->sumsFile, sums).empty() ||
      WriteText(base / "ORBA.gif", DemoBanner::MakeGif()).empty()) {
    *error = "cannot write the list, the digests or the banner into " + folder;
    return false;
  }
  deployment->fileListUrl = baseUrl + "filelist.txt";
  deployment->bannerUrl = baseUrl + "ORBA.gif";
  return true;
}

}  // namespace devserver
