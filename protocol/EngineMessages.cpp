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

// One field list per message, walked by the writer to encode and by the reader to decode, so
// the two directions cannot disagree. The lists whose length depends on a count (the file list,
// the progress entries) and the one with a length-prefixed URL are written out below.
template <typename Wire, typename M>
void Fields(Wire& w, M& m, const JobMode*) {
  w.U8(m.mode);
  w.Tail(kJobModeReserved);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const EngineTag*) {
  w.Fixed(m.tag, kEngineTagField);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const StopJob*) {
  w.I32(m.jobSeq);
  w.I32(m.engineJobId);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const ServiceCode*) {
  w.Fixed(m.code, kServiceCodeField);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const JobFlag*) {
  w.I32(m.jobSeq);
  w.I32(m.engineJobId);
  w.U8(m.value);
}

// Types 17, 21 and 16 carry only the job's sequence number.
template <typename Wire, typename M>
void Fields(Wire& w, M& m, const JobReport*) {
  w.I32(m.jobSeq);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const JobEnd*) {
  w.I32(m.jobSeq);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const ResumeQuery*) {
  w.I32(m.jobSeq);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const ResumeAnswer*) {
  w.I32(m.engineJobId);
  w.I32(m.jobSeq);
  w.U8(m.resume);
  w.U8(m.applyToAll);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const JobBegin*) {
  w.I32(m.jobSeq);
  w.I32(m.fileCount);
  w.Fixed(m.serviceCode, kJobCodeField);
}

template <typename Wire, typename M>
void Fields(Wire& /*w*/, M& /*m*/, const ModeRequest*) {}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const JobAccepted*) {
  w.I32(m.jobSeq);
  w.I32(m.engineJobId);
  w.I32(m.fileCount);
  w.I64(m.totalBytes);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const JobFinished*) {
  w.I32(m.jobSeq);
  w.I32(m.engineJobId);
  w.Pad(4);
  w.I32(m.filesDone);
  w.I32(m.result);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const FileDone*) {
  w.I32(m.jobSeq);
  w.I32(m.engineJobId);
  w.Pad(kUnreadCode);
  w.Fixed(m.localPath, kPathField);
  w.Text(m.source);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const JobWarning*) {
  w.I32(m.jobSeq);
  w.I32(m.engineJobId);
  w.U8(m.code);
  w.Text(m.text);
  w.Tail(kUnreadTrailer);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& /*m*/, const NetworkDown*) {
  w.Tail(kUnreadTrailer);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& /*m*/, const NetworkUp*) {
  w.Tail(kUnreadTrailer);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const JobFailed*) {
  w.I32(m.jobSeq);
  w.Pad(4);
  w.Text(m.reason);
  w.Tail(kUnreadTrailer);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const FileDoneEx*) {
  w.I32(m.jobSeq);
  w.I32(m.engineJobId);
  w.Pad(kUnreadCode);
  w.Fixed(m.localPath, kPathField);
  w.Fixed(m.text, kPathField);
  w.Text(m.source);
}

template <typename Wire, typename M>
void Fields(Wire& w, M& m, const EngineMode*) {
  w.I32(m.mode);
}

template <typename M>
std::optional<std::string> EncodeFields(const M& message) {
  WireWriter out;
  Fields(out, message, static_cast<const M*>(nullptr));
  return Done(out);
}

template <typename M>
bool DecodeFields(std::string_view payload, M* message) {
  WireReader in(payload);
  Fields(in, *message, static_cast<const M*>(nullptr));
  return in.Ok();
}

#define ENGINEPROTO_BY_FIELDS(Message)                                                               \
  std::optional<std::string> EncodePayload(const Message& message) { return EncodeFields(message); } \
  bool DecodePayload(std::string_view payload, Message* message) { return DecodeFields(payload, message); }

ENGINEPROTO_BY_FIELDS(JobMode)
ENGINEPROTO_BY_FIELDS(EngineTag)
ENGINEPROTO_BY_FIELDS(StopJob)
ENGINEPROTO_BY_FIELDS(ServiceCode)
ENGINEPROTO_BY_FIELDS(JobFlag)
ENGINEPROTO_BY_FIELDS(JobReport)
ENGINEPROTO_BY_FIELDS(ResumeAnswer)
ENGINEPROTO_BY_FIELDS(JobBegin)
ENGINEPROTO_BY_FIELDS(JobEnd)
ENGINEPROTO_BY_FIELDS(ModeRequest)
ENGINEPROTO_BY_FIELDS(JobAccepted)
ENGINEPROTO_BY_FIELDS(JobFinished)
ENGINEPROTO_BY_FIELDS(FileDone)
ENGINEPROTO_BY_FIELDS(JobWarning)
ENGINEPROTO_BY_FIELDS(NetworkDown)
ENGINEPROTO_BY_FIELDS(NetworkUp)
ENGINEPROTO_BY_FIELDS(JobFailed)
ENGINEPROTO_BY_FIELDS(FileDoneEx)
ENGINEPROTO_BY_FIELDS(ResumeQuery)
ENGINEPROTO_BY_FIELDS(EngineMode)
#undef ENGINEPROTO_BY_FIELDS

// ---- Messages whose length depends on their content --------------------------------------

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

}  // namespace engineproto
