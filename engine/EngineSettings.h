#pragma once
// The engine's settings: the same file and environment as the library's, read once at start.

#include <cstdint>
#include <string>

namespace engine {

struct EngineSettings {
  uint16_t port = 38006;
  int connectionsPerServer = 16;
  int connections = 32;
  bool tlsVerify = true;
  std::string tlsCaFile;
  std::string networkState = "auto";  // auto / online / offline
};

EngineSettings LoadEngineSettings();

// Whether the computer is online now, as the network_state setting says ("auto": asks the system).
bool NetworkOnline(const EngineSettings& settings);

}  // namespace engine
