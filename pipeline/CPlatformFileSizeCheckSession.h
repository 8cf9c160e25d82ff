#pragma once
// Learns the size of one file of a job from the headers of a GET, trying every alternative URL
// three times, and checks that the file fits into the free space of its folder's file system.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/nvSmartPtr.h"
#include "net/nwCHttpClientExLayer.h"

// The copy of one job entry whose size is being checked.
struct FileSizeRecord {
  int32_t index = 0;
  std::string urlList;  // alternatives separated by '|'
  std::string folder;
  std::string fileName;
  int64_t size = -1;  // -1 until the check found it
  int64_t received = 0;
  int32_t optionA = 0;
  int32_t optionB = 0;
};

// Free bytes of the file system holding a folder; no value when it cannot be measured.
using FreeSpaceFunction = std::function<std::optional<int64_t>(const std::string& folder)>;

class CPlatformFileSizeCheckSession;

class IPlatformFileSizeCheckSessionEventListener {
 public:
  // record->size holds the size found.
  virtual void OnFileSizeKnown(CPlatformFileSizeCheckSession* cookie) = 0;
  // code 517 (no usable answer) or 513 (the file does not fit); text is the record's URL list,
  // valid for the call only. The receiver may destroy the session.
  virtual void OnFileSizeCheckFailed(CPlatformFileSizeCheckSession* cookie, int32_t code,
                                     const char* text) = 0;

 protected:
  ~IPlatformFileSizeCheckSessionEventListener() = default;
};

class CPlatformFileSizeCheckSession final : private nwIHttpClientExEventListener {
 public:
  static constexpr int32_t kConnectTimeoutSeconds = 3;
  static constexpr int32_t kIdleLimitSeconds = 3;
  static constexpr int32_t kTriesPerUrl = 3;
  static constexpr size_t kMaxFailureText = 1023;

  // An empty free-space function measures with platform::FreeSpace.
  CPlatformFileSizeCheckSession(IPlatformFileSizeCheckSessionEventListener* listener,
                                FreeSpaceFunction freeSpace);
  ~CPlatformFileSizeCheckSession();
  CPlatformFileSizeCheckSession(const CPlatformFileSizeCheckSession&) = delete;
  CPlatformFileSizeCheckSession& operator=(const CPlatformFileSizeCheckSession&) = delete;

  // Checks `record` (not owned; must outlive the session). Never reports before it returns.
  void Start(FileSizeRecord* record);
  // No further reports.
  void Detach() { listener_ = nullptr; }

 private:
  void SendRequest();
  // The current alternative cannot serve the file: the next one is asked.
  void NextAlternative();
  void TearDown();
  // Both end the session's work; the report is the last thing it does.
  void ReportSizeKnown();
  void Fail(int32_t code);
  void CloseContext();

  void OnConnected(nwListenerCookie /*cookie*/) override {}
  void OnHeaders(nwListenerCookie cookie) override;
  int32_t OnData(nwListenerCookie cookie, const char* data, int32_t length) override;
  void OnComplete(nwListenerCookie /*cookie*/) override {}
  void OnReadyToSend(nwListenerCookie /*cookie*/) override {}
  void OnClosed(nwListenerCookie cookie) override;
  void OnConnectTimeout(nwListenerCookie cookie) override;
  void OnReceiveTimeout(nwListenerCookie cookie) override;
  void OnUnreachable(nwListenerCookie /*cookie*/) override {}

  IPlatformFileSizeCheckSessionEventListener* listener_;
  FreeSpaceFunction freeSpace_;
  nvQoSContextPtr context_;
  FileSizeRecord* record_ = nullptr;
  int32_t tries_ = 0;
  int32_t urlIndex_ = 0;
  int32_t redirects_ = 0;  // followed for the current alternative
  std::string currentUrl_;
  std::string redirectUrl_;
  std::string requestUrl_;  // the target of the request in flight, for relative Locations
  std::vector<std::string> urls_;
};
