#include "tools/httpcommon/ListenerThread.h"

#include <httplib.h>

#include <functional>

namespace httpcommon {

ListenerThread::~ListenerThread() { Stop(); }

void ListenerThread::Start(httplib::Server& server) {
  // Held until the wait below: the loop's start and end need it too, so a Stop from another
  // thread sees thread_ set.
  std::unique_lock lock(mutex_);
  if (started_) return;
  started_ = true;
  server_ = &server;
  std::function<httplib::TaskQueue*()> make = server.new_task_queue;
  // cpp-httplib marks the server running before it makes the loop's task queue.
  server.new_task_queue = [this, make]() -> httplib::TaskQueue* {
    httplib::TaskQueue* queue = make ? make() : new httplib::ThreadPool(CPPHTTPLIB_THREAD_POOL_COUNT);
    {
      std::lock_guard guard(mutex_);
      looping_ = true;
    }
    changed_.notify_all();
    return queue;
  };
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    {
      std::lock_guard guard(mutex_);
      ended_ = true;
    }
    changed_.notify_all();
  });
  changed_.wait(lock, [this] { return looping_ || ended_; });
}

void ListenerThread::Stop() {
  std::lock_guard serialised(stopMutex_);
  {
    std::unique_lock lock(mutex_);
    if (!started_) return;
    changed_.wait(lock, [this] { return looping_ || ended_; });
  }
  if (server_->is_running()) server_->stop();
  if (thread_.joinable()) thread_.join();
}

}  // namespace httpcommon
