#pragma once
// The library thread: a worker running a message loop, on which the job manager and every
// library object live. One instance per process at a time.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
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
    // Starts the worker running `body`; empty: a std::thread. May throw std::system_error as
    // std::thread does when the system has no thread to give (lets tests refuse one).
    std::function<std::thread(std::function<void()> body)> startWorker;
  };

  explicit CDownloadLibThread(Options options);
  virtual ~CDownloadLibThread();
  CDownloadLibThread(const CDownloadLibThread&) = delete;
  CDownloadLibThread& operator=(const CDownloadLibThread&) = delete;

  // Starts the worker and waits for its start signal; false on time-out or when no worker could
  // be started.
  bool Start();
  // Asks the worker's loop to end and waits for it. False when it did not end in time: the
  // worker then keeps everything it can touch, and this object must not be destroyed. A worker
  // that has not begun by then never creates anything.
  bool Stop();

  // Null until the worker has created it.
  CJobManager* Manager() const { return published_.load(std::memory_order_acquire); }
  void SetUserData(void* userData) { userData_ = userData; }
  void* UserData() const { return userData_; }
  // True once the worker has left its procedure.
  bool Finished();

 private:
  void Run();

  Options options_;
  // Owned here, created and shut down by the worker; `published_` lets callers of any thread
  // see it without a lock once it exists.
  std::unique_ptr<CJobManager> manager_;
  std::atomic<CJobManager*> published_{nullptr};
  std::thread worker_;
  void* userData_ = nullptr;
  std::atomic<bool> running_{false};

  std::mutex signalMutex_;
  std::condition_variable signal_;
  platform::ThreadId workerId_ = 0;  // under signalMutex_; 0 until the worker's queue exists
  bool started_ = false;             // the start event
  bool finished_ = false;            // the worker left its procedure
};
