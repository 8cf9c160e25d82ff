#pragma once
// Runs the accept loop of a bound cpp-httplib server on a thread of its own, so that the server
// can be stopped at any moment after Start.
//
// cpp-httplib's stop() does nothing until the loop runs (it only closes the listening socket of a
// running server), so a stop that came between the thread's start and the loop's start was lost
// and the join never returned. Start therefore returns only once the loop runs, and Stop waits
// for that too when it is called from another thread meanwhile.
//
//   httplib::Server server;
//   int port = server.bind_to_any_port("127.0.0.1");  // connections queue from here on
//   httpcommon::ListenerThread listener;
//   listener.Start(server);                           // returns once stop() can end the loop
//   ... serve ...
//   listener.Stop();                                  // ends the loop, waits for its connections

#include <condition_variable>
#include <mutex>
#include <thread>

namespace httplib {
class Server;
}  // namespace httplib

namespace httpcommon {

class ListenerThread {
 public:
  ListenerThread() = default;
  ~ListenerThread();  // stops
  ListenerThread(const ListenerThread&) = delete;
  ListenerThread& operator=(const ListenerThread&) = delete;

  // `server` must be bound and outlive Stop. Its new_task_queue is wrapped (the loop makes its
  // task queue once it runs, which is how the start is noticed), so set that before. Once only.
  void Start(httplib::Server& server);
  // Ends the accept loop and waits until the server's connection tasks ended. Any number of times,
  // from any thread; while Start is still waiting for the loop, Stop waits for it as well. Before
  // Start it does nothing.
  void Stop();

 private:
  httplib::Server* server_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;  // guards the flags; Stop callers are serialised by stopMutex_
  std::mutex stopMutex_;
  std::condition_variable changed_;
  bool started_ = false;  // Start was called
  bool looping_ = false;  // the accept loop runs (or ran): stop() reaches it
  bool ended_ = false;    // the loop returned
};

}  // namespace httpcommon
