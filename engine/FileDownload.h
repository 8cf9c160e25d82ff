#pragma once
// One file of a job on its way to disk: its mirrors, its size and validators, the bytes already
// written, the partial file <name>.part and the control file beside it that lets a restarted
// engine resume exactly. Only a complete file gets its name.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/ControlFile.h"
#include "engine/FileTarget.h"
#include "engine/RangeSet.h"
#include "engine/ResponseHead.h"
#include "platform/RandomAccessFile.h"

namespace engine {

struct MirrorState {
  MirrorUrl url;
  int failures = 0;            // failed exchanges in a row
  bool setAside = false;       // not used again in this job
  bool noRanges = false;       // answers a range request with the whole body
  int64_t delivered = 0;       // bytes it delivered
  int64_t connectionRate = 0;  // bytes per second of one connection, as its ended transfers ran
};

class FileDownload {
 public:
  FileDownload(int index, std::string urlField, int64_t size, FileTarget target);

  int Index() const { return index_; }
  const std::string& Path() const { return target_.path; }
  // The folder it goes into.
  std::string Folder() const;
  std::string PartPath() const { return target_.path + ".part"; }
  std::string ControlPath() const { return target_.path + ".part.ctrl"; }
  const std::vector<MirrorState>& Mirrors() const { return mirrors_; }
  std::vector<MirrorState>& Mirrors() { return mirrors_; }
  std::vector<std::string> Urls() const;
  // Whether some mirror may still be used.
  bool HasUsableMirror() const;

  int64_t Size() const { return size_; }
  bool SizeKnown() const { return size_ >= 0; }
  void SetSize(int64_t size) { size_ = size; }
  const std::string& ETag() const { return etag_; }
  const std::string& LastModified() const { return lastModified_; }
  // The validator sent with If-Range when resuming; empty when the file has none.
  std::string IfRangeValidator() const;
  // How an answer's validators compare with the file's. The first answer sets them; after that a
  // difference means that mirror serves another version (kOther), unless the validators only came
  // from an earlier run's control file: then the file changed on the server since (kChanged).
  enum class Version { kSame, kOther, kChanged };
  Version CheckVersion(const ResponseHead& head);
  // The file changed on the server: what was written is worth nothing.
  void Restart(const ResponseHead& head);

  // Looks for an earlier run's partial file; true when it belongs to this download (same URLs,
  // size and a partial file of the recorded size), so the player may be asked to resume it.
  bool FindResumable();
  bool Resumable() const { return resumable_; }
  // The answer for a resumable file: keep the recorded ranges or start afresh.
  void ApplyResumeAnswer(bool resume);

  // Opens (and reserves) the partial file. 0 or the error number.
  int Open();
  // Reserves the space of an open file whose size became known after it was opened.
  int Reserve();
  bool IsOpen() const { return part_.IsOpen(); }
  // Writes at `offset`; *added counts the bytes that were not written before. 0 or the error number.
  int Write(int64_t offset, const char* data, size_t length, int64_t* added);
  const RangeSet& Done() const { return done_; }
  int64_t DoneBytes() const { return doneBytes_; }
  bool Complete() const;
  // For a body of unknown length that ended: the file is as long as what arrived.
  void EndStream(int64_t length);

  // Writes the control file when something changed since the last save. 0 or the error number.
  int SaveControl();
  // Saves the control file and closes the partial file (a stop, a pause, a hand-back).
  void Suspend();
  // Renames the complete partial file to its name and removes the control file. 0 or the error number.
  int Finish();
  // The URL that delivered most of the file.
  std::string Source() const;

  bool started = false;
  bool finished = false;
  bool sized = false;  // an answer told the size the list did not know
  int activeTransfers = 0;
  int64_t bytesThisTick = 0;

 private:
  // What was written counts for nothing any more (another version, or the player said restart).
  void ForgetWritten();

  int index_;
  std::string urlField_;
  int64_t size_;
  FileTarget target_;
  std::vector<MirrorState> mirrors_;
  std::string etag_;
  std::string lastModified_;
  bool validatorsKnown_ = false;
  bool validatorsConfirmed_ = false;  // an answer of this run carried them
  RangeSet done_;
  int64_t doneBytes_ = 0;
  bool resumable_ = false;
  bool dirty_ = false;
  platform::RandomAccessFile part_;
};

}  // namespace engine
