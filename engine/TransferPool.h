#pragma once
// The engine's one libcurl multi handle: it runs every transfer of every job on the engine's
// thread, reuses connections per server, and waits on the library connections' sockets too, so
// one wait serves the whole engine.

#include <curl/curl.h>

#include <map>
#include <string>
#include <vector>

#include "engine/Transfer.h"

namespace engine {

struct WaitSocket {
  int socket = -1;
  bool write = false;  // also wait until it takes more bytes
  bool ready = false;  // set by Wait: readable (or writable when asked)
};

class TransferPool {
 public:
  TransferPool(int connections, int connectionsPerServer);
  ~TransferPool();
  TransferPool(const TransferPool&) = delete;
  TransferPool& operator=(const TransferPool&) = delete;

  bool Add(Transfer* transfer);
  // Takes the transfer out without a done notice (the caller is ending it).
  void Remove(Transfer* transfer);

  int Active() const { return active_; }
  int ActiveOn(const std::string& server) const;
  int Connections() const { return connections_; }
  int ConnectionsPerServer() const { return connectionsPerServer_; }

  // Waits up to `timeoutMs` for a transfer's socket or one of `sockets`, then moves every transfer
  // on and delivers each ended transfer's done notice to its listener.
  void Run(std::vector<WaitSocket>* sockets, int timeoutMs);
  // Ends a Run wait early (safe from any thread).
  void Wakeup();

 private:
  CURLM* multi_;
  int connections_;
  int connectionsPerServer_;
  int active_ = 0;
  std::map<std::string, int> perServer_;
};

}  // namespace engine
