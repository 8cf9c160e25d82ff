#include "tools/devserver/UpdateRoutes.h"

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>

#include "tools/devserver/Log.h"
#include "tools/updatecommon/UpdateManifest.h"

namespace devserver {

namespace {

namespace fs = std::filesystem;
using updatecommon::kDigestListSuffix;

constexpr std::string_view kTamperedVersion = "9.9.9.9";
constexpr std::string_view kOlderVersion = "0.0.0.1";

std::string SignatureName() {
  return std::string(updatecommon::kManifestName) + std::string(updatecommon::kSignatureSuffix);
}

bool EndsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

// What an attacker who controls the server does to an archive: change a byte.
std::string Tamper(std::string bytes) {
  if (bytes.empty()) return std::string(1, '\xff');
  bytes.back() = static_cast<char>(bytes.back() ^ 0xff);
  return bytes;
}

}  // namespace

UpdateRoutes::UpdateRoutes(const std::string& root, std::shared_ptr<const updatecommon::SigningKey> key)
    : folder_((fs::path(root) / updatecommon::kDeploymentFolder).string()),
      key_(std::move(key)),
      expiredAt_(updatecommon::FormatUtc(std::time(nullptr) - 86400)) {}

bool UpdateRoutes::Exists() const {
  std::error_code failure;
  return fs::is_directory(folder_, failure);
}

std::string UpdateRoutes::ManifestPath() {
  return "/" + std::string(updatecommon::kDeploymentFolder) + "/" + std::string(updatecommon::kManifestName);
}

std::optional<UpdateAnswer> UpdateRoutes::Answer(std::string_view path) const {
  static constexpr std::array<std::pair<std::string_view, Variant>, 6> kPrefixes = {{
      {"", Variant::Plain},
      {"/update-tampered-archive", Variant::TamperedArchive},
      {"/update-tampered-manifest", Variant::TamperedManifest},
      {"/update-expired", Variant::Expired},
      {"/update-older", Variant::Older},
      {"/update-unsigned", Variant::Unsigned},
  }};
  for (const auto& [prefix, variant] : kPrefixes) {
    std::string start = std::string(prefix) + "/" + std::string(updatecommon::kDeploymentFolder) + "/";
    if (path.substr(0, start.size()) != start) continue;
    std::string name(path.substr(start.size()));
    // One plain file name of the folder; nothing above or below it.
    if (name.empty() || name == "." || name == ".." ||
        name.find_first_of(std::string("/\0", 2)) != std::string::npos)
      return UpdateAnswer{};
    return Serve(variant, name);
  }
  return std::nullopt;
}

UpdateAnswer UpdateRoutes::Serve(Variant variant, const std::string& name) const {
  std::optional<std::string> bytes;
  if (name == updatecommon::kManifestName) {
    bytes = Manifest(variant);
  } else if (name == SignatureName()) {
    bytes = Signature(variant);
  } else if (variant == Variant::TamperedArchive && EndsWith(name, kDigestListSuffix)) {
    // The list of the archive as it is served here, so that only the signed digest catches it.
    if (std::optional<std::string> archive = Read(name.substr(0, name.size() - kDigestListSuffix.size())))
      bytes = updatecommon::Md4List(Tamper(std::move(*archive)));
  } else if (variant == Variant::TamperedArchive) {
    bytes = Read(name);
    if (bytes) bytes = Tamper(std::move(*bytes));
  } else {
    bytes = Read(name);
  }
  if (!bytes) return UpdateAnswer{};
  return UpdateAnswer{true, std::move(*bytes)};
}

std::optional<std::string> UpdateRoutes::Manifest(Variant variant) const {
  std::optional<std::string> original = Read(std::string(updatecommon::kManifestName));
  if (!original) return std::nullopt;
  std::string_view attribute;
  std::string_view value;
  switch (variant) {
    case Variant::TamperedManifest:
      attribute = "ver";
      value = kTamperedVersion;
      break;
    case Variant::Expired:
      attribute = "expires";
      value = expiredAt_;
      break;
    case Variant::Older:
      attribute = "ver";
      value = kOlderVersion;
      break;
    case Variant::Plain:
    case Variant::TamperedArchive:
    case Variant::Unsigned:
      return original;
  }
  std::optional<std::string> changed = updatecommon::ReplaceAttribute(*original, attribute, value);
  if (!changed) LogLine("the update manifest has no " + std::string(attribute) + "; served unchanged");
  return changed ? changed : original;
}

std::optional<std::string> UpdateRoutes::Signature(Variant variant) const {
  switch (variant) {
    case Variant::Unsigned:
      return std::nullopt;
    case Variant::Expired:
    case Variant::Older: {
      std::optional<std::string> manifest = Manifest(variant);
      if (!key_ || !manifest) return std::nullopt;
      return key_->Sign(*manifest);
    }
    case Variant::Plain:
    case Variant::TamperedArchive:
    case Variant::TamperedManifest: {
      // The signature of the manifest as it is on disk, whatever this route then serves.
      if (!key_) return Read(SignatureName());
      std::optional<std::string> manifest = Read(std::string(updatecommon::kManifestName));
      if (!manifest) return std::nullopt;
      return key_->Sign(*manifest);
    }
  }
  return std::nullopt;
}

std::optional<std::string> UpdateRoutes::Read(const std::string& name) const {
  fs::path file = fs::path(folder_) / name;
  std::error_code failure;
  if (!fs::is_regular_file(file, failure)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

}  // namespace devserver
