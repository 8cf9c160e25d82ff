#pragma once
// The relay server that the downloader's transfer reports go to. Frames are little-endian: a
// 14-byte header {uint16 group, uint16 type, 6 zero bytes, uint32 payload length} and a payload
// padded so the frame is a multiple of 8 bytes. A report (group 0x0300, type 154) is
// int32 count + count records of 298 bytes {char tag[33], char url[256], int64 received, ...};
// each gets a reply (type 131, one result byte, 1 = stored) and each of its records becomes a line
// "tag<TAB>url<TAB>received" in the log file. Any other frame closes the connection.

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

namespace devserver {

class RelayServer {
 public:
  // `logFile`: where the reports' lines are appended (empty: standard error only).
  explicit RelayServer(std::string logFile);
  ~RelayServer();
  RelayServer(const RelayServer&) = delete;
  RelayServer& operator=(const RelayServer&) = delete;

  // Binds 127.0.0.1 on `port` (0: a free one).
  bool Bind(int port, std::string* error);
  int Port() const { return port_; }

  // Accepts on a thread of its own. Connections queue from Bind on, and Stop reaches the accept
  // thread through a pipe that stays readable, so a Stop right after Start is never lost.
  void Start();
  // Ends the listener and every connection, and waits for their threads.
  void Stop();

 private:
  struct Connection {
    int socket = -1;
    std::thread thread;
    bool done = false;
  };

  void Accept();
  void Serve(Connection* connection);
  // Handles one complete frame; false closes the connection.
  bool HandleFrame(int socket, uint16_t group, uint16_t type, const std::string& payload);
  void Record(const std::string& lines);
  void ReapFinished();

  std::string logFile_;
  int listener_ = -1;
  int wakePipe_[2] = {-1, -1};
  int port_ = 0;
  std::thread acceptThread_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;  // guards connections_ and the log file
  std::list<Connection> connections_;
};

}  // namespace devserver
