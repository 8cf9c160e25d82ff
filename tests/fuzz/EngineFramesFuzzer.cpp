// Fuzz target: a byte stream as the engine's or the library's receiver sees it, cut into frames,
// each payload decoded as every message of its type. Every payload is copied into a buffer of its
// exact size, so that a decoder reading past it is caught by AddressSanitizer. A message that
// decodes must encode again and decode to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/EngineMessages.h"
#include "protocol/nwFrame.h"

namespace {

using namespace engineproto;

template <typename Message>
void Check(const std::vector<char>& payload) {
  Message message;
  if (!DecodePayload(std::string_view(payload.data(), payload.size()), &message)) return;
  std::optional<std::string> again = EncodePayload(message);
  if (!again) return;  // a field the wire form cannot carry (a URL beyond 16 bits)
  Message back;
  if (!DecodePayload(*again, &back) || EncodePayload(back) != again) std::abort();
}

void CheckEveryMessageOf(uint16_t group, uint16_t type, const std::vector<char>& payload) {
  if (group == kGroupFileList) {
    if (type == JobFiles::kType) Check<JobFiles>(payload);
    return;
  }
  if (group != kGroupControl) return;
  switch (type) {
    case JobMode::kType:
      Check<JobMode>(payload);
      break;
    case EngineTag::kType:
      Check<EngineTag>(payload);
      break;
    case StopJob::kType:
      Check<StopJob>(payload);
      break;
    case JobAccepted::kType:
      Check<JobAccepted>(payload);
      break;
    case JobProgress::kType:
      Check<JobProgress>(payload);
      break;
    case JobFinished::kType:
      Check<JobFinished>(payload);
      break;
    case FileDone::kType:
      Check<FileDone>(payload);
      break;
    case JobWarning::kType:
      Check<JobWarning>(payload);
      break;
    case NetworkDown::kType:
      Check<NetworkDown>(payload);
      break;
    case NetworkUp::kType:
      Check<NetworkUp>(payload);
      break;
    case JobFailed::kType:
      Check<JobFailed>(payload);
      break;
    case ServiceCode::kType:
      Check<ServiceCode>(payload);
      break;
    case JobFlag::kType:
      Check<JobFlag>(payload);
      break;
    case FileDoneEx::kType:
      Check<FileDoneEx>(payload);
      break;
    case ResumeQuery::kType:
      Check<ResumeQuery>(payload);
      break;
    case JobReport::kType:
      Check<JobReport>(payload);
      break;
    case ResumeAnswer::kType:
      Check<ResumeAnswer>(payload);
      break;
    case JobBegin::kType:
      Check<JobBegin>(payload);
      break;
    case JobFile::kType:
      Check<JobFile>(payload);
      break;
    case JobEnd::kType:
      Check<JobEnd>(payload);
      break;
    case EngineMode::kType:  // both directions use type 22
      Check<EngineMode>(payload);
      Check<ModeRequest>(payload);
      break;
    default:
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t offset = 0;
  while (input.size() - offset >= static_cast<size_t>(kFrameHeaderSize)) {
    nwFrameHeader header = nwDecodeFrameHeader(input.data() + offset);
    if (header.payloadLength > kFrameMaxPayload) break;
    size_t begin = offset + kFrameHeaderSize;
    if (header.payloadLength > input.size() - begin) break;  // an incomplete frame waits for more
    std::vector<char> payload(input.begin() + static_cast<std::ptrdiff_t>(begin),
                              input.begin() + static_cast<std::ptrdiff_t>(begin + header.payloadLength));
    CheckEveryMessageOf(header.group, header.type, payload);
    offset = begin + header.payloadLength;
  }
  return 0;
}
