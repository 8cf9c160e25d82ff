#include "pipeline/ArchiveUnpacker.h"
#include "pipeline/IExtractAction.h"

C7ZipExtractAction::C7ZipExtractAction(ExtractLimits limits) : limits_(limits) {}

int C7ZipExtractAction::Extract(const uint8_t* data, int64_t length, const std::string& folder) {
  switch (UnpackArchive(ArchiveFormat::kSevenZip, data, length, folder, limits_)) {
    case UnpackStatus::kOk:
      return kExtractOk;
    case UnpackStatus::kBadArguments:
      return kExtractBadArguments;
    case UnpackStatus::kOpenFailed:
      return kExtract7zOpenFailed;
    case UnpackStatus::kFailed:
      break;
  }
  return kExtract7zFailed;
}
