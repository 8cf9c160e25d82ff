#include "pipeline/ArchiveUnpacker.h"
#include "pipeline/IExtractAction.h"

CGZipExtractAction::CGZipExtractAction(ExtractLimits limits) : limits_(limits) {}

int CGZipExtractAction::Extract(const uint8_t* data, int64_t length, const std::string& folder) {
  switch (UnpackArchive(ArchiveFormat::kZip, data, length, folder, limits_)) {
    case UnpackStatus::kOk:
      return kExtractOk;
    case UnpackStatus::kBadArguments:
      return kExtractBadArguments;
    case UnpackStatus::kOpenFailed:
    case UnpackStatus::kFailed:
      break;
  }
  return kExtractZipFailed;
}
