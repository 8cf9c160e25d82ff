#pragma once
// The files the self-updater still has to fetch, and the reader of the update manifest that fills
// the list.

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "pipeline/CDownloadFile.h"

class CDownloadFileList final : public IDownloadFileEventListener {
 public:
  CDownloadFileList() = default;
  CDownloadFileList(const CDownloadFileList&) = delete;
  CDownloadFileList& operator=(const CDownloadFileList&) = delete;

  // Adds a file unless one with the same key is listed. Returns the file added, or null.
  CDownloadFile* AddFile(const std::string& url, const std::string& hashUrl, const std::string& folder,
                         const std::string& name, const std::string& signatureUrl = std::string());
  // The first file, in order, that is not in progress and may be tried once more (a try is used
  // up by the pick); null when there is none. The pick marks it in progress.
  CDownloadFile* PickNextPending();
  // The end of a fetch of the file named `key`: success removes it; a failure drops what was to
  // be fetched first when there is such a thing, and otherwise removes the file once it has no try
  // left. A refused file goes at once. Returns true when a file was given up without success.
  bool Settle(const std::string& key, bool success, bool refused = false);
  void SetUnlimited(bool unlimited);

  bool Empty() const { return files_.empty(); }
  size_t Count() const { return files_.size(); }
  const std::string& NewVersion() const { return newVersion_; }

  int32_t OnManifest(CDownloadFile* cookie, const char* data, int64_t length) override;
  int32_t OnArchive(CDownloadFile* cookie, const std::vector<uint8_t>* hashData, const char* data,
                    int64_t length) override;

 private:
  std::list<std::unique_ptr<CDownloadFile>>::iterator Find(const std::string& key);

  std::list<std::unique_ptr<CDownloadFile>> files_;
  std::string newVersion_;
  bool unsignedNoted_ = false;  // the log says once per update that the manifest went unverified
};
