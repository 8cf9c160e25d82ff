#include "protocol/EngineMessages.h"

#include <limits>

#include "protocol/WireCodec.h"

namespace engineproto {

namespace {

constexpr size_t kUnreadCode = 33;     // the char[33] before a local path, not read
constexpr size_t kUnreadTrailer = 16;  // the 16 bytes that end several engine messages
constexpr size_t kJobModeReserved = 16;

// The fields a file record shares in types 14 and 20, up to its URL.
void WriteFileHead(WireWriter& out, const FileRecord& file) {
  out.U8(file.optionA);
  out.U8(file.optionB);
  out.I64(file.size);
  out.Fixed(file.folder, kPathField);
  out.Fixed(file.fileName, kPathField);
}

void ReadFileHead(WireReader& in, FileRecord* file) {
  file->optionA = in.U8();
  file->optionB = in.U8();
  file->size = in.I64();
  file->folder = in.Fixed(kPathField);
  file->fileName = in.Fixed(kPathField);
}

std::optional<std::string> Done(WireWriter& out) { return out.Take(); }

}  // namespace

// ---- From the library to the engine --------------------------------------------------------

std::optional<std::string> EncodePayload(const JobMode& message) {
  WireWriter out;
  out.U8(message.mode);
  out.Zeros(kJobModeReserved);
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobMode* message) {
  WireReader in(payload);
  message->mode = in.U8();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const EngineTag& message) {
  WireWriter out;
  out.Fixed(message.tag, kEngineTagField);
  return Done(out);
}

bool DecodePayload(std::string_view payload, EngineTag* message) {
  WireReader in(payload);
  message->tag = in.Fixed(kEngineTagField);
  return in.Ok();
}

std::optional<std::string> EncodePayload(const StopJob& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  out.I32(message.engineJobId);
  return Done(out);
}

bool DecodePayload(std::string_view payload, StopJob* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  message->engineJobId = in.I32();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const ServiceCode& message) {
  WireWriter out;
  out.Fixed(message.code, kServiceCodeField);
  return Done(out);
}

bool DecodePayload(std::string_view payload, ServiceCode* message) {
  WireReader in(payload);
  message->code = in.Fixed(kServiceCodeField);
  return in.Ok();
}

std::optional<std::string> EncodePayload(const JobFlag& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  out.I32(message.engineJobId);
  out.U8(message.value);
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobFlag* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  message->engineJobId = in.I32();
  message->value = in.U8();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const JobFiles& message) {
  if (message.files.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return std::nullopt;
  WireWriter out;
  out.I32(message.jobSeq);
  out.I32(static_cast<int32_t>(message.files.size()));
  out.Fixed(message.serviceCode, kJobCodeField);
  for (const FileRecord& file : message.files) {
    WriteFileHead(out, file);
    out.Text(file.url);
  }
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobFiles* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  int32_t count = in.I32();
  message->serviceCode = in.Fixed(kJobCodeField);
  message->files.clear();
  if (count < 0) return false;
  // Each entry takes at least its fixed part and a NUL: a count the payload cannot hold is refused
  // before anything is stored for it.
  if (static_cast<uint64_t>(count) * 531 > payload.size()) return false;
  for (int32_t i = 0; i < count && in.Ok(); ++i) {
    FileRecord file;
    file.jobSeq = message->jobSeq;
    file.fileIndex = i;
    ReadFileHead(in, &file);
    file.url = in.Text();
    message->files.push_back(std::move(file));
  }
  return in.Ok();
}

std::optional<std::string> EncodePayload(const JobReport& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobReport* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const ResumeAnswer& message) {
  WireWriter out;
  out.I32(message.engineJobId);
  out.I32(message.jobSeq);
  out.U8(message.resume);
  out.U8(message.applyToAll);
  return Done(out);
}

bool DecodePayload(std::string_view payload, ResumeAnswer* message) {
  WireReader in(payload);
  message->engineJobId = in.I32();
  message->jobSeq = in.I32();
  message->resume = in.U8();
  message->applyToAll = in.U8();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const JobBegin& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  out.I32(message.fileCount);
  out.Fixed(message.serviceCode, kJobCodeField);
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobBegin* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  message->fileCount = in.I32();
  message->serviceCode = in.Fixed(kJobCodeField);
  return in.Ok();
}

std::optional<std::string> EncodePayload(const JobFile& message) {
  const FileRecord& file = message.file;
  if (file.url.size() > std::numeric_limits<uint16_t>::max()) return std::nullopt;
  WireWriter out;
  out.I32(file.jobSeq);
  out.I32(file.fileIndex);
  WriteFileHead(out, file);
  out.U16(static_cast<uint16_t>(file.url.size()));
  out.Raw(file.url);
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobFile* message) {
  WireReader in(payload);
  FileRecord& file = message->file;
  file.jobSeq = in.I32();
  file.fileIndex = in.I32();
  ReadFileHead(in, &file);
  uint16_t length = in.U16();
  file.url = in.Raw(length);
  return in.Ok();
}

std::optional<std::string> EncodePayload(const JobEnd& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobEnd* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const ModeRequest& /*message*/) { return std::string(); }

bool DecodePayload(std::string_view /*payload*/, ModeRequest* /*message*/) { return true; }

// ---- From the engine to the library --------------------------------------------------------

std::optional<std::string> EncodePayload(const JobAccepted& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  out.I32(message.engineJobId);
  out.I32(message.fileCount);
  out.I64(message.totalBytes);
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobAccepted* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  message->engineJobId = in.I32();
  message->fileCount = in.I32();
  message->totalBytes = in.I64();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const JobProgress& message) {
  if (message.entries.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return std::nullopt;
  WireWriter out;
  out.I32(message.jobSeq);                                // 0
  out.I32(message.engineJobId);                           // 4
  out.I32(0);                                             // 8, not read
  out.I32(message.fileCount);                             // 12
  out.I32(message.filesDone);                             // 16
  out.I64(message.totalBytes);                            // 20
  out.I64(message.doneBytes);                             // 28
  out.I32(message.bytesPerSecond);                        // 36
  out.Zeros(4);                                           // 40, not read
  out.I64(message.elapsedSeconds);                        // 44
  out.Zeros(8);                                           // 52, not read
  out.I32(static_cast<int32_t>(message.entries.size()));  // 60
  for (const ProgressEntry& entry : message.entries) {
    out.Zeros(33);  // not read
    out.I64(entry.fileSize);
    out.I64(entry.fileDone);
    out.I32(entry.fileBytesPerSecond);
    out.Zeros(12);  // not read
    out.Text(entry.text);
  }
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobProgress* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  message->engineJobId = in.I32();
  in.Skip(4);
  message->fileCount = in.I32();
  message->filesDone = in.I32();
  message->totalBytes = in.I64();
  message->doneBytes = in.I64();
  message->bytesPerSecond = in.I32();
  in.Skip(4);
  message->elapsedSeconds = in.I64();
  in.Skip(8);
  int32_t count = in.I32();
  message->entries.clear();
  if (!in.Ok() || count < 0) return false;
  // Each entry takes at least its fixed part and a NUL: a count the payload cannot hold is refused
  // before anything is stored for it.
  if (static_cast<uint64_t>(count) * (JobProgress::kEntryFixedSize + 1) > payload.size() - in.Offset())
    return false;
  for (int32_t i = 0; i < count && in.Ok(); ++i) {
    ProgressEntry entry;
    in.Skip(33);
    entry.fileSize = in.I64();
    entry.fileDone = in.I64();
    entry.fileBytesPerSecond = in.I32();
    in.Skip(12);
    entry.text = in.Text();
    message->entries.push_back(std::move(entry));
  }
  return in.Ok();
}

std::optional<std::string> EncodePayload(const JobFinished& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  out.I32(message.engineJobId);
  out.I32(0);  // not read
  out.I32(message.filesDone);
  out.I32(message.result);
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobFinished* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  message->engineJobId = in.I32();
  in.Skip(4);
  message->filesDone = in.I32();
  message->result = in.I32();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const FileDone& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  out.I32(message.engineJobId);
  out.Zeros(kUnreadCode);
  out.Fixed(message.localPath, kPathField);
  out.Text(message.source);
  return Done(out);
}

bool DecodePayload(std::string_view payload, FileDone* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  message->engineJobId = in.I32();
  in.Skip(kUnreadCode);
  message->localPath = in.Fixed(kPathField);
  message->source = in.Text();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const JobWarning& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  out.I32(message.engineJobId);
  out.U8(message.code);
  out.Text(message.text);
  out.Zeros(kUnreadTrailer);
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobWarning* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  message->engineJobId = in.I32();
  message->code = in.U8();
  message->text = in.Text();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const NetworkDown& /*message*/) {
  return std::string(kUnreadTrailer, '\0');
}

bool DecodePayload(std::string_view /*payload*/, NetworkDown* /*message*/) { return true; }

std::optional<std::string> EncodePayload(const NetworkUp& /*message*/) {
  return std::string(kUnreadTrailer, '\0');
}

bool DecodePayload(std::string_view /*payload*/, NetworkUp* /*message*/) { return true; }

std::optional<std::string> EncodePayload(const JobFailed& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  out.I32(0);  // not read
  out.Text(message.reason);
  out.Zeros(kUnreadTrailer);
  return Done(out);
}

bool DecodePayload(std::string_view payload, JobFailed* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  in.Skip(4);
  message->reason = in.Text();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const FileDoneEx& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  out.I32(message.engineJobId);
  out.Zeros(kUnreadCode);
  out.Fixed(message.localPath, kPathField);
  out.Fixed(message.text, kPathField);
  out.Text(message.source);
  return Done(out);
}

bool DecodePayload(std::string_view payload, FileDoneEx* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  message->engineJobId = in.I32();
  in.Skip(kUnreadCode);
  message->localPath = in.Fixed(kPathField);
  message->text = in.Fixed(kPathField);
  message->source = in.Text();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const ResumeQuery& message) {
  WireWriter out;
  out.I32(message.jobSeq);
  return Done(out);
}

bool DecodePayload(std::string_view payload, ResumeQuery* message) {
  WireReader in(payload);
  message->jobSeq = in.I32();
  return in.Ok();
}

std::optional<std::string> EncodePayload(const EngineMode& message) {
  WireWriter out;
  out.I32(message.mode);
  return Done(out);
}

bool DecodePayload(std::string_view payload, EngineMode* message) {
  WireReader in(payload);
  message->mode = in.I32();
  return in.Ok();
}

}  // namespace engineproto
