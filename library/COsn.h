#pragma once
// The library's runtime root: starts the process-wide services the network objects rely on when
// the library starts, and ends them, in reverse order, when it ends.

#include <memory>

#include "core/cpCMutex.h"

class cpCTimerService;
class cpCQoS;

class COsn {
 public:
  // Runs on the library thread with the library lock held.
  explicit COsn(cpCMutexPtr lock);
  ~COsn();
  COsn(const COsn&) = delete;
  COsn& operator=(const COsn&) = delete;

  // At the end of the library thread: stops the socket library and the TLS state.
  void Shutdown();

 private:
  std::unique_ptr<cpCTimerService> timerService_;
  std::unique_ptr<cpCQoS> qos_;
};
