#pragma once
// The library thread: a worker running a message loop, on which the job manager and every
// library object live. One instance per process at a time.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "core/nvSmartPtr.h"
#include "library/CJobManager.h"
#include "platform/MessageLoop.h"

class CDownloadLibThread {
 public:
  struct Options {
    int32_t startTimeoutMs = 3000;
    int32_t stopTimeoutMs = 3000;
    CJobManager::DownloaderFactory downloaders;
    // Runs on the worker before it creates anything (lets tests hold the start back).
    std::function<void()> beforeStart;
  };

  explicit CDownloadLibThread(Options options);
  virtual ~CDownloadLibThread();
  CDownloadLibThread(const CDownloadLibThread&) = delete;
  CDownloadLibThread& operator=(const CDownloadLibThread&) = delete;

  // Starts the worker and waits for its start signal; false on time-out.
  bool Start();
  // Asks the worker's loop to end and waits for it. False when it did not end in time: the
  // worker then keeps everything it can touch, and this object must not be destroyed.
  bool Stop();

  // Null until the worker has created it.
  CJobManager* Manager() const { return manager_.load(std::memory_order_acquire); }
  void SetUserData(void* userData) { userData_ = userData; }
  void* UserData() const { return userData_; }
  // True once the worker has left its procedure.
  bool Finished();

 private:
  void Run();

  Options options_;
  std::atomic<CJobManager*> manager_{nullptr};
  std::thread worker_;
  std::atomic<platform::ThreadId> workerId_{0};
  void* userData_ = nullptr;
  std::atomic<bool> running_{false};

  std::mutex signalMutex_;
  std::condition_variable signal_;
  bool started_ = false;   // the start event
  bool finished_ = false;  // the worker left its procedure
};
