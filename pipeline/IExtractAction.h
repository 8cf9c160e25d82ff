#pragma once
// Unpacking an update archive held in memory into a folder.

#include <cstdint>
#include <memory>
#include <string>

// Results of Extract.
enum ExtractResult : int {
  kExtractOk = 0,            // every entry unpacked and moved into place
  kExtract7zFailed = 1,      // 7z: an entry could not be written, was refused, or the reader failed
  kExtract7zOpenFailed = 2,  // 7z: the archive could not be opened
  kExtractBadArguments = 3,  // no data, a length of 0 or less, no or empty folder
  kExtractZipFailed = 4,     // zip: not opened, an entry could not be unpacked, or was refused
};

// What an archive may unpack to. A total past the cap refuses the archive before anything is
// written (sizes the archive declares) or as soon as decoding passes it (sizes it hid).
struct ExtractLimits {
  int64_t maxUnpackedBytes = 1073741824;
  // The setting update_max_unpacked_bytes, or the default above.
  static ExtractLimits FromSettings();
};

class IExtractAction {
 public:
  // Unpacks `data` into `folder` (created when missing; '/' and '\' both separate, a trailing one
  // is optional). Entries are written into a temporary folder beside it and moved into place only
  // when every entry succeeded, so a failure leaves the folder as it was. Links, devices and names
  // that lead out of the folder refuse the whole archive. Never changes the current directory.
  // Returns an ExtractResult.
  virtual int Extract(const uint8_t* data, int64_t length, const std::string& folder) = 0;
  virtual ~IExtractAction() = default;
};

class CGZipExtractAction final : public IExtractAction {
 public:
  explicit CGZipExtractAction(ExtractLimits limits = ExtractLimits::FromSettings());
  int Extract(const uint8_t* data, int64_t length, const std::string& folder) override;

 private:
  ExtractLimits limits_;
};

class C7ZipExtractAction final : public IExtractAction {
 public:
  explicit C7ZipExtractAction(ExtractLimits limits = ExtractLimits::FromSettings());
  int Extract(const uint8_t* data, int64_t length, const std::string& folder) override;

 private:
  ExtractLimits limits_;
};

// The action for an archive address, by the text after its last "." (lower-cased): "7z" or "zip";
// none for anything else, or when the only "." is the first character.
std::unique_ptr<IExtractAction> ChooseExtractAction(const std::string& address);
