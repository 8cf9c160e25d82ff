#pragma once
// One HTTP exchange of the engine: a GET of one range (or of the whole body) of one file from one
// mirror, on a libcurl easy handle that the transfer pool runs. The transfer reads the answer's
// head and hands the body to its listener, which decides where the bytes go and when to stop.

#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "engine/ResponseHead.h"

namespace engine {

class Transfer;

class TransferListener {
 public:
  virtual ~TransferListener() = default;
  // The answer's head is complete and its first body bytes arrived: false stops the transfer.
  virtual bool OnTransferHead(Transfer& transfer) = 0;
  // Body bytes; returns how many were taken (fewer stops the transfer).
  virtual size_t OnTransferData(Transfer& transfer, const char* data, size_t length) = 0;
  // The pool took the transfer out: `code` is libcurl's result (CURLE_OK: the body ended as announced).
  virtual void OnTransferDone(Transfer& transfer, CURLcode code) = 0;
};

struct TransferRequest {
  std::string url;
  int64_t first = -1;   // Range "bytes=first-last"; -1: no Range header
  int64_t last = -1;    // -1 with first >= 0: open-ended
  std::string ifRange;  // sent as If-Range when not empty
  bool tlsVerify = true;
  std::string caFile;
};

// Why a transfer is to stop before its body ended.
// kRejected: the answer does not fit the file (that mirror is set aside); kFailed: an error answer.
enum class StopReason { kNone, kReachedEnd, kRejected, kFailed, kCancelled, kWriteFailed };

// Where a transfer's bytes go; kept by the job that runs it.
struct TransferPlan {
  int fileIndex = -1;
  int mirror = -1;
  bool probe = false;       // a one-byte request that learns the size and validators
  bool learnsSize = false;  // the first bytes of a file of unknown size: its answer tells the size
  bool stream = false;      // the whole body from offset 0, its length unknown or unsplittable
  int64_t position = 0;     // the next byte of the file it writes
  int64_t end = 0;          // one past the last byte it is to write
  int64_t requestEnd = 0;   // one past the last byte it asked for
  bool racing = false;      // racer, or raced: never raced again
  bool ifRange = false;     // asked with If-Range (a resumed file)
  int64_t bytesThisTick = 0;
  int64_t bytesPerSecond = 0;  // bytes of the last whole second
  int64_t bytesTotal = 0;
  int64_t startedMs = 0;
  int64_t headMs = 0;  // when its answer's head came
  StopReason stop = StopReason::kNone;
  int writeError = 0;
};

class Transfer {
 public:
  Transfer(int id, std::string server, TransferListener* listener);
  ~Transfer();
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Sets the request up; false when libcurl refuses it.
  bool Prepare(const TransferRequest& request);

  int Id() const { return id_; }
  const std::string& Server() const { return server_; }
  CURL* Easy() const { return easy_; }
  TransferListener* Listener() const { return listener_; }
  const ResponseHead& Head() const { return head_; }
  // Whether the head was handed to the listener (and accepted).
  bool HeadSeen() const { return headSeen_; }
  bool HeadAccepted() const { return headAccepted_; }
  // For an answer without a body: hands the head to the listener now.
  bool CheckHead();

  TransferPlan plan;

 private:
  static size_t OnHeader(char* data, size_t size, size_t count, void* self);
  static size_t OnWrite(char* data, size_t size, size_t count, void* self);

  int id_;
  std::string server_;
  TransferListener* listener_;
  CURL* easy_ = nullptr;
  curl_slist* headers_ = nullptr;
  std::string range_;
  ResponseHead head_;
  bool headSeen_ = false;
  bool headAccepted_ = false;
};

}  // namespace engine
