#include "engine/Transfer.h"

#include <string_view>

#include "engine/EngineVersion.h"

namespace engine {

namespace {

// Large receive pieces: fewer write calls per megabyte, still small beside the memory goal.
constexpr long kReceiveBuffer = 256 * 1024;

}  // namespace

Transfer::Transfer(int id, std::string server, TransferListener* listener)
    : id_(id), server_(std::move(server)), listener_(listener), easy_(curl_easy_init()) {}

Transfer::~Transfer() {
  if (easy_ != nullptr) curl_easy_cleanup(easy_);
  if (headers_ != nullptr) curl_slist_free_all(headers_);
}

bool Transfer::Prepare(const TransferRequest& request) {
  if (easy_ == nullptr) return false;
  bool https = request.url.size() >= 8 && std::string_view(request.url).substr(0, 8) == "https://";
  std::string agent = std::string("QTXDownloadV32/") + EngineVersion();
  bool ok = curl_easy_setopt(easy_, CURLOPT_URL, request.url.c_str()) == CURLE_OK;
  ok = ok && curl_easy_setopt(easy_, CURLOPT_PRIVATE, this) == CURLE_OK;
  curl_easy_setopt(easy_, CURLOPT_USERAGENT, agent.c_str());
  curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &Transfer::OnHeader);
  curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &Transfer::OnWrite);
  curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy_, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, 10000L);
  curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, 5L);
  // Never from https down to http, and never to another scheme.
  ok = ok && curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, https ? "https" : "http,https") == CURLE_OK;
  ok = ok && curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, https ? "https" : "http,https") == CURLE_OK;
  curl_easy_setopt(easy_, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_2TLS));
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, request.tlsVerify ? 1L : 0L);
  curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, request.tlsVerify ? 2L : 0L);
  if (!request.caFile.empty()) curl_easy_setopt(easy_, CURLOPT_CAINFO, request.caFile.c_str());
  // Bodies are written as they come: a compressed body would not match its byte ranges.
  curl_easy_setopt(easy_, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  if (request.first >= 0) {
    range_ = std::to_string(request.first) + "-" +
             (request.last >= 0 ? std::to_string(request.last) : std::string());
    curl_easy_setopt(easy_, CURLOPT_RANGE, range_.c_str());
  }
  if (!request.ifRange.empty()) {
    headers_ = curl_slist_append(headers_, ("If-Range: " + request.ifRange).c_str());
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headers_);
  }
  return ok;
}

bool Transfer::CheckHead() {
  if (!headSeen_) {
    headSeen_ = true;
    headAccepted_ = listener_->OnTransferHead(*this);
  }
  return headAccepted_;
}

size_t Transfer::OnHeader(char* data, size_t size, size_t count, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  transfer->head_.TakeLine(std::string_view(data, size * count));
  return size * count;
}

size_t Transfer::OnWrite(char* data, size_t size, size_t count, void* self) {
  auto* transfer = static_cast<Transfer*>(self);
  size_t length = size * count;
  if (!transfer->CheckHead()) return 0;
  if (length == 0) return 0;
  return transfer->listener_->OnTransferData(*transfer, data, length);
}

}  // namespace engine
