#include "library/CDownloadLibThread.h"

#include <chrono>
#include <system_error>

#include "core/cpCMutex.h"
#include "pipeline/Log.h"

CDownloadLibThread::CDownloadLibThread(Options options) : options_(std::move(options)) {}

CDownloadLibThread::~CDownloadLibThread() {
  if (worker_.joinable()) worker_.join();
  published_.store(nullptr);
  manager_.reset();
}

bool CDownloadLibThread::Start() {
  running_ = true;
  try {
    std::function<void()> body = [this] { Run(); };
    worker_ = options_.startWorker ? options_.startWorker(std::move(body)) : std::thread(std::move(body));
  } catch (const std::system_error&) {
    // No worker: nothing will ever signal, and nothing needs stopping.
    running_ = false;
    return false;
  }
  std::unique_lock lock(signalMutex_);
  return signal_.wait_for(lock, std::chrono::milliseconds(options_.startTimeoutMs),
                          [this] { return started_; });
}

void CDownloadLibThread::Run() {
  if (options_.beforeStart) options_.beforeStart();
  {
    std::lock_guard guard(signalMutex_);
    // A worker whose stop began before it did leaves without creating anything: given up at the
    // stop time-out, it would otherwise build a runtime root that takes over the process-wide
    // services (timers, QoS, collector, MIME map) of the library initialised after it.
    if (!running_) {
      finished_ = true;
      signal_.notify_all();
      return;
    }
    // From here on a stop reaches this queue.
    platform::EnsureMessageQueue();
    workerId_ = platform::CurrentThreadId();
  }

  cpCMutexPtr lock = cpCMutexPtr::Create(CLSID_cpCMutex);
  lock->Lock();
  manager_ = std::make_unique<CJobManager>(lock, options_.downloaders);
  published_.store(manager_.get(), std::memory_order_release);
  {
    std::lock_guard guard(signalMutex_);
    started_ = true;
  }
  signal_.notify_all();
  lock->Unlock();

  platform::Message message;
  while (platform::GetNextMessage(&message)) {
    if (!running_) break;
    platform::DispatchMessageToWindow(message);
  }
  WriteLog("[TessenLib] Exit GetMessage Loop");
  manager_->Shutdown();
  // The worker's own reference goes before the end is signalled: whoever destroys the manager
  // afterwards holds the last one.
  lock.Reset();

  std::lock_guard guard(signalMutex_);
  finished_ = true;
  signal_.notify_all();
}

bool CDownloadLibThread::Finished() {
  std::lock_guard guard(signalMutex_);
  return finished_;
}

bool CDownloadLibThread::Stop() {
  if (!worker_.joinable()) return true;  // no worker was ever started
  platform::ThreadId worker = 0;
  {
    // Together with the worker's check: either it sees the cleared flag and creates nothing, or
    // its queue exists and gets the quit message.
    std::lock_guard guard(signalMutex_);
    running_ = false;
    worker = workerId_;
  }
  if (worker != 0) platform::PostToThread(worker, platform::kMsgQuit, 0, 0);
  std::unique_lock lock(signalMutex_);
  bool ended =
      signal_.wait_for(lock, std::chrono::milliseconds(options_.stopTimeoutMs), [this] { return finished_; });
  lock.unlock();
  if (!ended) {
    worker_.detach();
    return false;
  }
  worker_.join();
  return true;
}
