// orba-updatepack: makes the update deployment of the download engine from the engine program:
// the manifest (signed when a key is given), a 7z and a zip archive of the program, and their MD4
// digest lists, in <out>/norvik/qtxdownload/update/v3_32/.
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/updatecommon/UpdateDigests.h"
#include "tools/updatecommon/UpdateManifest.h"
#include "tools/updatepack/ArchiveWriter.h"
#include "tools/updatepack/AtomicFile.h"

namespace {

namespace fs = std::filesystem;
using updatecommon::ArchiveFields;

constexpr const char* kHelp = R"(usage: orba-updatepack --engine FILE --version TEXT --out DIR [options]

Writes the update deployment of the download engine into DIR/norvik/qtxdownload/update/v3_32/:
  qtxdownload_updater.xml       the manifest: the engine's version, and per archive its address
                                (relative to the manifest's), its MD4 digest list's address, its
                                SHA-256 and size; it expires after --expires-days
  qtxdownload_updater.xml.sig   the manifest's Ed25519 signature, 64 raw bytes (with --sign-key;
                                without it an older one is removed)
  QTXDownloadV32.7z, qtxdownload_all.zip
                                the engine program as their one entry "QTXDownloadV32" (0755)
  QTXDownloadV32.7z.md4, qtxdownload_all.zip.md4
                                the MD4 of every 1 MiB block of the archive, then the MD4 of those
Every file is replaced whole; the manifest is written last.

  --engine FILE        the engine program
  --version TEXT       its version text, as the manifest states it (e.g. 3.5.0.2)
  --out DIR            where the deployment goes (created when missing)
  --sign-key PEM       the Ed25519 private key that signs the manifest
  --expires-days N     days from now until the manifest expires (default 365)
  --help
)";

struct Options {
  std::string engine;
  std::string version;
  std::string out;
  std::string signKey;
  int64_t expiresDays = 365;
};

int Fail(const std::string& message) {
  std::cerr << "orba-updatepack: " << message << "\n";
  return 1;
}

// Prints the reason and returns nullopt on a mistake.
std::optional<Options> ParseOptions(int argc, char** argv, bool* help) {
  Options options;
  std::vector<std::string_view> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view name = args[i];
    if (name == "--help" || name == "-h") {
      *help = true;
      return options;
    }
    if (i + 1 >= args.size()) {
      std::cerr << "orba-updatepack: " << name << " needs a value (see --help)\n";
      return std::nullopt;
    }
    std::string_view value = args[++i];
    bool ok = !value.empty();
    if (name == "--engine") {
      options.engine = value;
    } else if (name == "--version") {
      options.version = value;
      ok = updatecommon::IsPlainVersion(value);
    } else if (name == "--out") {
      options.out = value;
    } else if (name == "--sign-key") {
      options.signKey = value;
    } else if (name == "--expires-days") {
      int64_t days = 0;
      for (char c : value) {
        ok = ok && c >= '0' && c <= '9' && days < 100000;
        if (ok) days = days * 10 + (c - '0');
      }
      ok = ok && days >= 1 && days <= 36500;
      options.expiresDays = days;
    } else {
      std::cerr << "orba-updatepack: unknown option " << name << " (see --help)\n";
      return std::nullopt;
    }
    if (!ok) {
      std::cerr << "orba-updatepack: bad value for " << name << ": \"" << value << "\"";
      if (name == "--version") std::cerr << " (printable ASCII without quotes, <, > or &; at most 64)";
      if (name == "--expires-days") std::cerr << " (a whole number of days, 1 to 36500)";
      std::cerr << "\n";
      return std::nullopt;
    }
  }
  for (auto [value, name] : {std::pair{&options.engine, "--engine"}, std::pair{&options.version, "--version"},
                             std::pair{&options.out, "--out"}}) {
    if (value->empty()) {
      std::cerr << "orba-updatepack: " << name << " is missing (see --help)\n";
      return std::nullopt;
    }
  }
  return options;
}

std::optional<std::string> ReadWhole(const std::string& path, std::string* error) {
  std::error_code failure;
  if (!fs::is_regular_file(path, failure)) {
    *error = "not a file: " + path;
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    *error = "cannot read " + path;
    return std::nullopt;
  }
  if (bytes.empty()) {
    *error = "the engine program " + path + " is empty";
    return std::nullopt;
  }
  return bytes;
}

// One archive of the deployment with its digest list.
struct Packed {
  std::string archive;
  std::string digestList;
  ArchiveFields fields;
};

bool Pack(updatepack::ArchiveKind kind, std::string_view name, std::string_view engine, Packed* packed,
          std::string* error) {
  updatepack::ArchiveEntry entry{std::string(updatecommon::kEngineName), engine, 0755, 0};
  if (!updatepack::MakeArchive(kind, entry, &packed->archive, error)) {
    *error = std::string(name) + ": " + *error;
    return false;
  }
  std::optional<std::string> list = updatecommon::Md4List(packed->archive);
  if (!list) {
    *error = "OpenSSL offers no MD4 (its legacy provider is missing)";
    return false;
  }
  packed->digestList = std::move(*list);
  packed->fields.url = name;
  packed->fields.hash = std::string(name) + std::string(updatecommon::kDigestListSuffix);
  packed->fields.sha256 = updatecommon::Sha256Hex(packed->archive);
  packed->fields.size = packed->archive.size();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool help = false;
  std::optional<Options> options = ParseOptions(argc, argv, &help);
  if (!options) return 2;
  if (help) {
    std::cout << kHelp;
    return 0;
  }

  std::string error;
  std::optional<std::string> engine = ReadWhole(options->engine, &error);
  if (!engine) return Fail(error);
  // The key is read before anything is written: a bad key leaves an earlier deployment whole.
  std::unique_ptr<updatecommon::SigningKey> key;
  if (!options->signKey.empty()) {
    key = updatecommon::SigningKey::Load(options->signKey, &error);
    if (!key) return Fail(error);
  }

  Packed sevenZip;
  Packed zip;
  if (!Pack(updatepack::ArchiveKind::SevenZip, updatecommon::kEngineArchiveName, *engine, &sevenZip,
            &error) ||
      !Pack(updatepack::ArchiveKind::Zip, updatecommon::kAllArchiveName, *engine, &zip, &error)) {
    return Fail(error);
  }
  updatecommon::ManifestFields fields;
  fields.expires = updatecommon::FormatUtc(std::time(nullptr) + options->expiresDays * 86400);
  fields.version = options->version;
  fields.engine = sevenZip.fields;
  fields.all = zip.fields;
  std::string manifest = updatecommon::ComposeManifest(fields);
  std::optional<std::string> signature;
  if (key) {
    signature = key->Sign(manifest);
    if (!signature) return Fail("cannot sign the manifest with " + options->signKey);
  }

  fs::path folder = fs::path(options->out) / updatecommon::kDeploymentFolder;
  std::error_code failure;
  fs::create_directories(folder, failure);
  if (failure) return Fail("cannot create " + folder.string() + ": " + failure.message());
  auto write = [&](std::string_view name, std::string_view bytes) {
    return updatepack::WriteFileAtomically((folder / name).string(), bytes, &error);
  };
  std::string signatureName =
      std::string(updatecommon::kManifestName) + std::string(updatecommon::kSignatureSuffix);
  if (!write(sevenZip.fields.url, sevenZip.archive) || !write(sevenZip.fields.hash, sevenZip.digestList) ||
      !write(zip.fields.url, zip.archive) || !write(zip.fields.hash, zip.digestList)) {
    return Fail(error);
  }
  if (signature) {
    if (!write(signatureName, *signature)) return Fail(error);
  } else {
    // A signature of an earlier manifest would not match this one.
    fs::remove(folder / signatureName, failure);
    if (failure) return Fail("cannot remove " + (folder / signatureName).string() + ": " + failure.message());
  }
  if (!write(updatecommon::kManifestName, manifest)) return Fail(error);
  std::cout << "orba-updatepack: version " << options->version << " in " << folder.string() << " ("
            << (signature ? "signed" : "unsigned") << ", expires " << fields.expires << ")\n";
  return 0;
}
