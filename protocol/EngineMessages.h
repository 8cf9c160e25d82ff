#pragma once
// The messages between the library and the local download engine, one record each, with plain
// encode and decode of their payloads (the frame around them is the binary frame format: group,
// type, padded payload). Integers are little-endian; fixed character fields are NUL-padded; texts
// are NUL-terminated. Fields the library does not read are kept (as zeros when sent) so that the
// following fields keep their offsets.
//
// EncodePayload gives the payload bytes, or nothing when a field cannot be represented (a URL
// longer than its 16-bit length). DecodePayload refuses a payload whose fields run past its end
// (a text without its NUL, fewer entries than announced); the caller then closes the connection.
// Bytes after the last field (padding, fields nobody reads) are ignored.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace engineproto {

constexpr uint16_t kGroupControl = 0x0100;   // every message but the file list
constexpr uint16_t kGroupFileList = 0x0102;  // the file-list message (type 14)

constexpr size_t kServiceCodeField = 260;  // the service code of a connection
constexpr size_t kJobCodeField = 33;       // the service code inside a job's messages
constexpr size_t kPathField = 260;         // folders, file names, local paths
constexpr size_t kEngineTagField = 20;

// ---- From the library to the engine --------------------------------------------------------

// Type 0: how the job may be served (2: high speed, the player consented; 1: the normal way).
struct JobMode {
  static constexpr uint16_t kType = 0;
  uint8_t mode = 1;
};

// Type 1.
struct EngineTag {
  static constexpr uint16_t kType = 1;
  std::string tag;  // at most 3 characters in practice
};

// Type 3.
struct StopJob {
  static constexpr uint16_t kType = 3;
  int32_t jobSeq = 0;
  int32_t engineJobId = -1;
};

// Type 12: the first message of every connection.
struct ServiceCode {
  static constexpr uint16_t kType = 12;
  std::string code;  // at most 259 characters are sent
};

// Type 13.
struct JobFlag {
  static constexpr uint16_t kType = 13;
  int32_t jobSeq = 0;
  int32_t engineJobId = -1;
  uint8_t value = 0;
};

// One file of a job, as types 14 and 20 carry it.
struct FileRecord {
  int32_t jobSeq = 0;     // type 20 only
  int32_t fileIndex = 0;  // type 20 only, 0-based
  uint8_t optionA = 0;
  uint8_t optionB = 0;
  int64_t size = -1;   // -1: unknown
  std::string folder;  // with its trailing separator
  std::string fileName;
  std::string url;  // one URL or several alternatives separated by "|"
};

// Type 14 (group 0x0102): a whole job in one message.
struct JobFiles {
  static constexpr uint16_t kType = 14;
  int32_t jobSeq = 0;
  std::string serviceCode;
  std::vector<FileRecord> files;  // the file count is their number
};

// Type 17.
struct JobReport {
  static constexpr uint16_t kType = 17;
  int32_t jobSeq = 0;
};

// Type 18: the player's answer to a resume query.
struct ResumeAnswer {
  static constexpr uint16_t kType = 18;
  int32_t engineJobId = -1;
  int32_t jobSeq = 0;
  uint8_t resume = 0;
  uint8_t applyToAll = 0;
};

// Type 19: a large job begins; its files follow one by one (type 20), then type 21.
struct JobBegin {
  static constexpr uint16_t kType = 19;
  int32_t jobSeq = 0;
  int32_t fileCount = 0;
  std::string serviceCode;
};

// Type 20.
struct JobFile {
  static constexpr uint16_t kType = 20;
  FileRecord file;
};

// Type 21.
struct JobEnd {
  static constexpr uint16_t kType = 21;
  int32_t jobSeq = 0;
};

// Type 22 from the library: an empty message.
struct ModeRequest {
  static constexpr uint16_t kType = 22;
};

// ---- From the engine to the library --------------------------------------------------------

// Type 4.
struct JobAccepted {
  static constexpr uint16_t kType = 4;
  int32_t jobSeq = 0;
  int32_t engineJobId = -1;
  int32_t fileCount = 0;
  int64_t totalBytes = 0;
};

// One file of a progress message; only the first (the file in progress) is used.
struct ProgressEntry {
  int64_t fileSize = 0;
  int64_t fileDone = 0;
  int32_t fileBytesPerSecond = 0;
  std::string text;  // not read by the library
};

// Type 5, once a second per job.
struct JobProgress {
  static constexpr uint16_t kType = 5;
  static constexpr size_t kHeaderSize = 64;
  static constexpr size_t kEntryFixedSize = 65;
  int32_t jobSeq = 0;
  int32_t engineJobId = -1;
  int32_t fileCount = 0;
  int32_t filesDone = 0;  // also the index of the file in progress
  int64_t totalBytes = 0;
  int64_t doneBytes = 0;
  int32_t bytesPerSecond = 0;
  int64_t elapsedSeconds = 0;
  std::vector<ProgressEntry> entries;
};

// Type 6: the end of a job (result 0: finished; otherwise the engine gives the job back).
struct JobFinished {
  static constexpr uint16_t kType = 6;
  int32_t jobSeq = 0;
  int32_t engineJobId = -1;
  int32_t filesDone = 0;
  int32_t result = 0;
};

// Type 7: one file is complete.
struct FileDone {
  static constexpr uint16_t kType = 7;
  int32_t jobSeq = 0;
  int32_t engineJobId = -1;
  std::string localPath;
  std::string source;  // the URL it came from
};

// Type 8 (code 1: disk full).
struct JobWarning {
  static constexpr uint16_t kType = 8;
  int32_t jobSeq = 0;
  int32_t engineJobId = -1;
  uint8_t code = 0;
  std::string text;  // not read by the library
};

// Types 9 and 10.
struct NetworkDown {
  static constexpr uint16_t kType = 9;
};
struct NetworkUp {
  static constexpr uint16_t kType = 10;
};

// Type 11.
struct JobFailed {
  static constexpr uint16_t kType = 11;
  int32_t jobSeq = 0;
  std::string reason;
};

// Type 15: one file is complete, with a text.
struct FileDoneEx {
  static constexpr uint16_t kType = 15;
  int32_t jobSeq = 0;
  int32_t engineJobId = -1;
  std::string localPath;
  std::string text;
  std::string source;
};

// Type 16: may the job resume what an earlier run left?
struct ResumeQuery {
  static constexpr uint16_t kType = 16;
  int32_t jobSeq = 0;
};

// Type 22 from the engine (2: high speed available).
struct EngineMode {
  static constexpr uint16_t kType = 22;
  int32_t mode = 0;
};

// The group a message is sent with.
template <typename Message>
constexpr uint16_t GroupOf() {
  return Message::kType == JobFiles::kType ? kGroupFileList : kGroupControl;
}

#define ENGINEPROTO_MESSAGE(Message)                                \
  std::optional<std::string> EncodePayload(const Message& message); \
  bool DecodePayload(std::string_view payload, Message* message);

ENGINEPROTO_MESSAGE(JobMode)
ENGINEPROTO_MESSAGE(EngineTag)
ENGINEPROTO_MESSAGE(StopJob)
ENGINEPROTO_MESSAGE(ServiceCode)
ENGINEPROTO_MESSAGE(JobFlag)
ENGINEPROTO_MESSAGE(JobFiles)
ENGINEPROTO_MESSAGE(JobReport)
ENGINEPROTO_MESSAGE(ResumeAnswer)
ENGINEPROTO_MESSAGE(JobBegin)
ENGINEPROTO_MESSAGE(JobFile)
ENGINEPROTO_MESSAGE(JobEnd)
ENGINEPROTO_MESSAGE(ModeRequest)
ENGINEPROTO_MESSAGE(JobAccepted)
ENGINEPROTO_MESSAGE(JobProgress)
ENGINEPROTO_MESSAGE(JobFinished)
ENGINEPROTO_MESSAGE(FileDone)
ENGINEPROTO_MESSAGE(JobWarning)
ENGINEPROTO_MESSAGE(NetworkDown)
ENGINEPROTO_MESSAGE(NetworkUp)
ENGINEPROTO_MESSAGE(JobFailed)
ENGINEPROTO_MESSAGE(FileDoneEx)
ENGINEPROTO_MESSAGE(ResumeQuery)
ENGINEPROTO_MESSAGE(EngineMode)

#undef ENGINEPROTO_MESSAGE

}  // namespace engineproto
