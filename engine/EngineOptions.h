#pragma once
// The engine's command line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace engine {

struct EngineOptions {
  std::optional<uint16_t> port;  // overrides the engine_port setting; 0 picks a free port
  int idleExitSeconds = 60;      // exit after this long with no library connection and no job
  std::string logFolder;         // where engine.log goes; empty: the program's folder
  bool showVersion = false;
  bool showHelp = false;
  std::string error;  // not empty: the command line is wrong, and this says why
};

EngineOptions ParseEngineOptions(const std::vector<std::string>& arguments);
std::string EngineHelpText();

}  // namespace engine
