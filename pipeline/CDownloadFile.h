#pragma once
// One file the self-updater still has to fetch: the manifest, or an archive with its digest list.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a session needs of the file it fetches.
class IProgressFile {
 public:
  // The address to fetch next (signature, digest list, then the file itself); returns 1.
  virtual int GetUrl(std::string& out) = 0;
  // False while the file still has its own body to come after what was delivered last.
  virtual bool IsFinished() = 0;
  // Takes the body fetched from `address`; `type` receives the delivery type. Returns a result code.
  virtual int32_t DeliverBody(const std::string& address, const char* data, int64_t length,
                              int32_t* type) = 0;
  virtual int32_t GetDeliveryType(const std::string& address) = 0;
  virtual ~IProgressFile() = default;
};

// Delivery types.
enum UpdateDelivery : int32_t {
  kDeliveryNone = 0,
  kDeliveryDigestList = 1,
  kDeliveryManifest = 2,
  kDeliveryArchive = 3,
  kDeliverySignature = 4,  // the manifest's detached signature, fetched before the manifest
};

// Result codes of DeliverBody.
enum UpdateCode : int32_t {
  kUpdateOk = 0,
  kUpdateUnknownAddress = 1,
  kUpdateBadArguments = 2,
  kUpdateManifestIncomplete = 3,  // no version for the engine, or no "url" for a file to fetch
  kUpdateArchiveMismatch = 4,     // differs from its digest list, its SHA-256 or its size
  kUpdateUnpackFailed = 5,
  kUpdateFolderFailed = 7,
  kUpdateRefused = 8,  // the manifest is not trusted (signature, expiry, an older version)
};

class CDownloadFile;

class IDownloadFileEventListener {
 public:
  virtual int32_t OnManifest(CDownloadFile* cookie, const char* data, int64_t length) = 0;
  virtual int32_t OnArchive(CDownloadFile* cookie, const std::vector<uint8_t>* hashData, const char* data,
                            int64_t length) = 0;

 protected:
  ~IDownloadFileEventListener() = default;
};

class CDownloadFile final : public IProgressFile {
 public:
  static constexpr int32_t kTries = 3;

  // An archive (folder and name set) or the manifest (both empty). A hash address makes the file
  // hold its digest list; a signature address is the manifest's.
  CDownloadFile(IDownloadFileEventListener* listener, std::string url, std::string hashUrl,
                std::string folder, std::string name, std::string signatureUrl = std::string());

  int GetUrl(std::string& out) override;
  bool IsFinished() override;
  int32_t DeliverBody(const std::string& address, const char* data, int64_t length, int32_t* type) override;
  int32_t GetDeliveryType(const std::string& address) override;

  // The address that names this file in the list: what it fetches first.
  const std::string& Key() const;
  bool IsManifest() const { return !hashData_ && folder_.empty() && name_.empty(); }

  // Losing what was fetched first: the file is then fetched without it.
  bool HasPendingPrelude() const { return !signatureUrl_.empty() || !hashUrl_.empty(); }
  void DropPrelude();

  const std::string& Url() const { return url_; }
  const std::string& HashUrl() const { return hashUrl_; }
  const std::string& Folder() const { return folder_; }
  const std::string& Name() const { return name_; }
  const std::optional<std::vector<uint8_t>>& HashData() const { return hashData_; }
  const std::optional<std::string>& Signature() const { return signature_; }

  // What a signed manifest says of the archive: its SHA-256 (hex) and size (-1: not said).
  void Expect(std::string sha256, int64_t size) {
    expectedSha256_ = std::move(sha256);
    expectedSize_ = size;
  }
  const std::string& ExpectedSha256() const { return expectedSha256_; }
  int64_t ExpectedSize() const { return expectedSize_; }

  bool inProgress = false;
  bool unlimited = false;
  int32_t triesLeft = kTries;

 private:
  IDownloadFileEventListener* listener_;
  std::string url_;
  std::string hashUrl_;
  std::string folder_;
  std::string name_;
  std::string signatureUrl_;
  int32_t lastType_ = kDeliveryNone;
  std::optional<std::vector<uint8_t>> hashData_;
  std::optional<std::string> signature_;
  std::string expectedSha256_;
  int64_t expectedSize_ = -1;
};
