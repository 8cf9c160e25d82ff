#include "pipeline/CDownloadFileList.h"

#include <algorithm>
#include <string_view>

#include "core/ctCMD4.h"
#include "net/nwHttpLocation.h"
#include "pipeline/CGetPath_V32.h"
#include "pipeline/FileVersion.h"
#include "pipeline/IExtractAction.h"
#include "pipeline/Log.h"
#include "pipeline/UpdateTrust.h"
#include "platform/Clock.h"
#include "platform/FileSystem.h"
#include "xml/CXMLParserNorvik.h"

namespace {

// The buffer the manifest's attribute values are read into.
constexpr size_t kValueBufferSize = 256;

std::string Attribute(const XMLElement* element, const char* name) {
  char value[kValueBufferSize] = {};
  int32_t length = CXMLParserNorvik::GetAttributeValue(element, name, value, sizeof value);
  return length > 0 ? std::string(value, static_cast<size_t>(length)) : std::string();
}

// The element at root / outer / inner, or null.
const XMLElement* Descendant(const XMLElement* root, const char* outer, const char* inner) {
  const XMLElement* parent = CXMLParserNorvik::FindChild(root, outer);
  return parent != nullptr ? CXMLParserNorvik::FindChild(parent, inner) : nullptr;
}

// An address in the manifest is absolute, or relative to the manifest's own address.
std::string Resolve(const std::string& manifestUrl, const std::string& address) {
  if (address.empty()) return address;
  return nwResolveLocation(manifestUrl, address).url;
}

int64_t ParseSize(const std::string& text) {
  if (text.empty() || text.size() > 15 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return -1;
  }
  return std::stoll(text);
}

// Whether the manifest's bytes are to be trusted; a refusal is logged with its reason. `verified`
// tells whether the manifest carries a good signature (its further promises are then enforced).
bool ManifestTrusted(const CDownloadFile& manifest, std::string_view bytes, bool* verified,
                     bool* unsignedNoted) {
  *verified = false;
  const std::optional<std::string>& signature = manifest.Signature();
  if (signature) {
    if (!VerifyEd25519(BuiltInUpdateKey(), bytes, *signature)) {
      WriteLog("[TessenLib] Update refused: the manifest's signature does not verify");
      return false;
    }
    *verified = true;
    return true;
  }
  if (UpdateSignatureRequired()) {
    WriteLog("[TessenLib] Update refused: the manifest is not signed");
    return false;
  }
  if (!*unsignedNoted) {
    WriteLog("[TessenLib] Update manifest not verified: signatures are not required, MD4 lists only");
    *unsignedNoted = true;
  }
  return true;
}

}  // namespace

CDownloadFile* CDownloadFileList::AddFile(const std::string& url, const std::string& hashUrl,
                                          const std::string& folder, const std::string& name,
                                          const std::string& signatureUrl) {
  if (Find(url) != files_.end()) return nullptr;
  files_.push_back(std::make_unique<CDownloadFile>(this, url, hashUrl, folder, name, signatureUrl));
  return files_.back().get();
}

std::list<std::unique_ptr<CDownloadFile>>::iterator CDownloadFileList::Find(const std::string& key) {
  return std::find_if(files_.begin(), files_.end(),
                      [&key](const std::unique_ptr<CDownloadFile>& file) { return file->Key() == key; });
}

CDownloadFile* CDownloadFileList::PickNextPending() {
  for (const std::unique_ptr<CDownloadFile>& file : files_) {
    if (file->inProgress) continue;
    if (!file->unlimited) {
      if (file->triesLeft <= 0) continue;
      --file->triesLeft;
    }
    file->inProgress = true;
    return file.get();
  }
  return nullptr;
}

bool CDownloadFileList::Settle(const std::string& key, bool success, bool refused) {
  auto it = Find(key);
  if (it == files_.end()) return false;
  CDownloadFile& file = **it;
  file.inProgress = false;
  if (success || refused) {
    files_.erase(it);
    return !success;
  }
  if (file.HasPendingPrelude()) {
    file.DropPrelude();
  } else if (file.triesLeft <= 0 && !file.unlimited) {
    files_.erase(it);
    return true;
  }
  return false;
}

void CDownloadFileList::SetUnlimited(bool unlimited) {
  for (const std::unique_ptr<CDownloadFile>& file : files_) file->unlimited = unlimited;
}

int32_t CDownloadFileList::OnManifest(CDownloadFile* cookie, const char* data, int64_t length) {
  if (cookie == nullptr || data == nullptr || length <= 0) return kUpdateBadArguments;
  const std::string bytes(data, static_cast<size_t>(length));
  CXMLParserNorvik parser;
  parser.Parse(bytes.c_str());
  const XMLElement* root = parser.GetRoot();

  std::string folder, executable;
  PathResolver().GetProgramFolder(folder);
  PathResolver().GetExecutablePath(executable);
  if (platform::CreateDirectories(folder) != 0) return kUpdateFolderFailed;

  bool verified = false;
  if (!ManifestTrusted(*cookie, bytes, &verified, &unsignedNoted_)) return kUpdateRefused;
  if (verified) {
    std::optional<int64_t> expires = ParseUtcTime(Attribute(root, "expires"));
    if (!expires) {
      WriteLog("[TessenLib] Update refused: the manifest has no valid expiry");
      return kUpdateRefused;
    }
    if (*expires <= platform::CurrentClock().NowMilliseconds() / 1000) {
      LogFormat("[TessenLib] Update refused: the manifest expired at %s", Attribute(root, "expires").c_str());
      return kUpdateRefused;
    }
  }

  newVersion_ = Attribute(Descendant(root, "file", kEngineExecutableName), "ver");
  if (newVersion_.empty()) return kUpdateManifestIncomplete;
  const std::string current = ReadFileVersion(executable);
  LogFormat("[TessenLib] Current Version: %s / New Version: %s", current.c_str(), newVersion_.c_str());
  if (verified) {
    std::optional<int> order = CompareVersions(newVersion_, current);
    if (order && *order < 0) {
      LogFormat("[TessenLib] Update refused: version %s is older than the installed %s", newVersion_.c_str(),
                current.c_str());
      newVersion_.clear();
      return kUpdateRefused;
    }
  }

  std::vector<std::string> paths;
  if (newVersion_ != current) {
    paths = {executable, std::string()};
  } else if (!platform::FileExists(executable)) {
    paths = {executable};
  }
  LogFormat("[TessenLib] Update File (Count: %d)", static_cast<int>(paths.size()));

  // Each archive to fetch: where it lands and what the manifest says of it.
  struct Wanted {
    const XMLElement* element;
    std::string folder, name;
  };
  std::vector<Wanted> wanted;
  const XMLElement* files = CXMLParserNorvik::FindChild(root, "file");
  if (static_cast<int32_t>(paths.size()) == CXMLParserNorvik::GetChildCount(files)) {
    wanted.push_back({Descendant(root, "all", "all"), folder, kEngineExecutableName});
  } else {
    for (const std::string& path : paths) {
      if (path.empty()) continue;
      const std::string::size_type slash = path.find_last_of('/');
      std::string name = path.substr(slash + 1);
      wanted.push_back({CXMLParserNorvik::FindChild(files, name.c_str()), path.substr(0, slash + 1), name});
    }
  }
  const std::string& manifestUrl = cookie->Url();
  for (const Wanted& entry : wanted) {
    const std::string url = Resolve(manifestUrl, Attribute(entry.element, "url"));
    if (url.empty()) return kUpdateManifestIncomplete;
    const std::string sha256 = Attribute(entry.element, "sha256");
    const int64_t size = ParseSize(Attribute(entry.element, "size"));
    if (verified && (sha256.size() != 64 || size < 0)) {
      LogFormat("[TessenLib] Update refused: the manifest gives no SHA-256 and size for %s", url.c_str());
      return kUpdateRefused;
    }
    CDownloadFile* added =
        AddFile(url, Resolve(manifestUrl, Attribute(entry.element, "hash")), entry.folder, entry.name);
    if (added != nullptr) added->Expect(sha256, size);
  }
  return kUpdateOk;
}

int32_t CDownloadFileList::OnArchive(CDownloadFile* cookie, const std::vector<uint8_t>* hashData,
                                     const char* data, int64_t length) {
  if (cookie == nullptr || data == nullptr || length <= 0) return kUpdateBadArguments;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  if ((cookie->ExpectedSize() >= 0 && cookie->ExpectedSize() != length) ||
      (!cookie->ExpectedSha256().empty() &&
       cookie->ExpectedSha256() != Sha256Hex(bytes, static_cast<size_t>(length)))) {
    LogFormat("[TessenLib] Update refused: %s differs from the manifest's SHA-256 or size",
              cookie->Url().c_str());
    return kUpdateArchiveMismatch;
  }
  if (hashData != nullptr &&
      !ctDigestListMatches(hashData->data(), hashData->size(), bytes, static_cast<size_t>(length))) {
    return kUpdateArchiveMismatch;
  }
  std::unique_ptr<IExtractAction> action = ChooseExtractAction(cookie->Url());
  if (!action) return kUpdateUnpackFailed;
  return action->Extract(bytes, length, cookie->Folder()) == kExtractOk ? kUpdateOk : kUpdateUnpackFailed;
}
