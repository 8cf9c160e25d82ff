#pragma once
// The engine's settings: the same file and environment as the library's, read once at start.

#include <cstdint>
#include <functional>
#include <string>

namespace engine {

struct EngineSettings {
  uint16_t port = 38006;
  int connectionsPerServer = 16;
  int connections = 32;
  bool tlsVerify = true;
  std::string tlsCaFile;
  // Whether the computer is online now; asked every few seconds.
  std::function<bool()> networkOnline = [] { return true; };
};

EngineSettings LoadEngineSettings();

// Whether the computer is online now, as the network_state setting says when it is read (so a
// changed config file counts at once): "online", "offline", or "auto" to ask the system.
bool NetworkOnlineNow();

}  // namespace engine
