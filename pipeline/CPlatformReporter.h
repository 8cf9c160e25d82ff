#pragma once
// Sends, for every job the direct downloader finished or stopped, one report of the files that
// received bytes to the agent relay server. Reports are queued, a connection is opened when one
// is needed, everything queued goes out once connected, and the connection closes when the server
// has answered and nothing is left. Fire-and-forget: nothing is ever told back to a job, and a
// report never waits for a name server or a slow relay.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "core/nvCGuard.h"
#include "core/nvSmartPtr.h"
#include "core/nvTSmartPtr.h"
#include "net/nwCAgentLayer.h"
#include "pipeline/CPlatformSession.h"

class CPlatformReporter final : public nvCGuarded, private nwIAgentListener {
 public:
  // While the relay cannot be resolved or reached, the newest blocks are kept and older ones
  // dropped, so memory stays bounded however many jobs end meanwhile.
  static constexpr size_t kMaxQueuedBlocks = 64;
  static constexpr int32_t kConnectTimeoutSeconds = 5;
  static constexpr int32_t kIdleLimitSeconds = 5;
  static constexpr uint16_t kDefaultRelayPort = 54547;

  CPlatformReporter();
  // Detaches from the connection, closes it and frees every queued block.
  ~CPlatformReporter();
  CPlatformReporter(const CPlatformReporter&) = delete;
  CPlatformReporter& operator=(const CPlatformReporter&) = delete;

  // Copies `count` entries into a new block and queues it; then connects, or sends at once on the
  // connection that already exists. A count below 1 or no entries queue nothing.
  void QueueReport(int32_t count, const FileReportEntry* entries);

  size_t QueuedBlocks() const { return queue_.size(); }
  bool HasConnection() const { return static_cast<bool>(context_); }
  bool IsResolving() const { return static_cast<bool>(waiter_); }

 private:
  struct Block {
    int32_t count;
    std::vector<uint8_t> bytes;  // count records of FileReportEntry::kSize bytes
  };
  class ResolveWaiter;

  // True when a new connection was started or is waiting for the relay's address.
  bool Connect();
  void OpenConnection(const char* host, uint16_t port, uint32_t address);
  void OnRelayResolved(const ResolveWaiter* waiter, bool found, uint32_t address);
  void SendQueue();
  nvIAgentLayer* Layer() const;

  void OnAgentConnected(nwListenerCookie cookie) override;
  void OnAgentReply(nwListenerCookie cookie, uint8_t result) override;
  void OnAgentClosed(nwListenerCookie cookie) override;
  void OnAgentConnectFailed(nwListenerCookie cookie) override;
  void OnAgentIdle(nwListenerCookie cookie) override;

  nvQoSContextPtr context_;
  std::deque<Block> queue_;
  nvTSmartPtr<ResolveWaiter> waiter_;  // the pending name lookup (the address book holds it too)
};
