#include "library/CDownloadLibThread.h"

#include <chrono>

#include "core/cpCMutex.h"
#include "pipeline/Log.h"

CDownloadLibThread::CDownloadLibThread(Options options) : options_(std::move(options)) {}

CDownloadLibThread::~CDownloadLibThread() {
  if (worker_.joinable()) worker_.join();
  delete manager_.exchange(nullptr);
}

bool CDownloadLibThread::Start() {
  running_ = true;
  worker_ = std::thread(&CDownloadLibThread::Run, this);
  std::unique_lock lock(signalMutex_);
  return signal_.wait_for(lock, std::chrono::milliseconds(options_.startTimeoutMs), [this] { return started_; });
}

void CDownloadLibThread::Run() {
  if (options_.beforeStart) options_.beforeStart();
  platform::EnsureMessageQueue();
  workerId_ = platform::CurrentThreadId();

  nvSmartPtr lock;
  lock.CreateInstance(CLSID_cpCMutex);
  auto* mutex = lock.As<cpCMutex>();
  mutex->Lock();
  manager_.store(new CJobManager(lock, options_.downloaders), std::memory_order_release);
  {
    std::lock_guard guard(signalMutex_);
    started_ = true;
  }
  signal_.notify_all();
  mutex->Unlock();

  platform::Message message;
  while (platform::GetNextMessage(&message)) {
    if (!running_) break;
    platform::DispatchMessageToWindow(message);
  }
  WriteLog("[TessenLib] Exit GetMessage Loop");
  Manager()->Shutdown();
  // The worker's own reference goes before the end is signalled: whoever destroys the manager
  // afterwards holds the last one.
  lock.Attach(nullptr);

  std::lock_guard guard(signalMutex_);
  finished_ = true;
  signal_.notify_all();
}

bool CDownloadLibThread::Finished() {
  std::lock_guard guard(signalMutex_);
  return finished_;
}

bool CDownloadLibThread::Stop() {
  running_ = false;
  // A worker still starting has no queue yet; it sees the cleared flag at its first message.
  platform::PostToThread(workerId_, platform::kMsgQuit, 0, 0);
  std::unique_lock lock(signalMutex_);
  bool ended = signal_.wait_for(lock, std::chrono::milliseconds(options_.stopTimeoutMs),
                                [this] { return finished_; });
  lock.unlock();
  if (!ended) {
    worker_.detach();
    return false;
  }
  worker_.join();
  return true;
}
