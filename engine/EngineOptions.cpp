#include "engine/EngineOptions.h"

#include <charconv>

namespace engine {

namespace {

std::optional<long long> ParseWhole(const std::string& text, long long low, long long high) {
  long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

}  // namespace

EngineOptions ParseEngineOptions(const std::vector<std::string>& arguments) {
  EngineOptions options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& name = arguments[i];
    if (name == "--help" || name == "-h") {
      options.showHelp = true;
      continue;
    }
    if (name == "--version") {
      options.showVersion = true;
      continue;
    }
    if (name != "--port" && name != "--idle-exit" && name != "--log-dir") {
      options.error = "unknown option " + name;
      return options;
    }
    if (i + 1 >= arguments.size()) {
      options.error = name + " needs a value";
      return options;
    }
    const std::string& value = arguments[++i];
    if (name == "--port") {
      std::optional<long long> port = ParseWhole(value, 0, 65535);
      if (!port) {
        options.error = "--port takes a number from 0 to 65535";
        return options;
      }
      options.port = static_cast<uint16_t>(*port);
    } else if (name == "--idle-exit") {
      std::optional<long long> seconds = ParseWhole(value, 1, 86400);
      if (!seconds) {
        options.error = "--idle-exit takes a number of seconds from 1 to 86400";
        return options;
      }
      options.idleExitSeconds = static_cast<int>(*seconds);
    } else {
      options.logFolder = value;
    }
  }
  return options;
}

std::string EngineHelpText() {
  return "Usage: QTXDownloadV32 [options]\n"
         "The local download engine of the ORBA downloader. The downloader's library starts it,\n"
         "connects to it on 127.0.0.1 and hands it download jobs; it is not meant to be used by hand.\n"
         "\n"
         "Options:\n"
         "  --port N         listen on 127.0.0.1 port N (default: the engine_port setting, 38006);\n"
         "                   0 picks a free port. The port in use is printed as\n"
         "                   \"listening 127.0.0.1:<port>\". When the port is taken, another engine\n"
         "                   serves and this one exits with status 0.\n"
         "  --idle-exit S    exit after S seconds with no library connection and no job (default 60)\n"
         "  --log-dir DIR    write engine.log into DIR (default: the program's folder)\n"
         "  --version        print the engine's version and exit\n"
         "  --help           print this text and exit\n"
         "\n"
         "Settings (file $XDG_CONFIG_HOME/Norvik Inc./orba.conf, or ORBA_<KEY> in the environment):\n"
         "  engine_port, engine_connections_per_server (16), engine_connections (32),\n"
         "  tls_verify (1), tls_ca_file, network_state (auto / online / offline).\n";
}

}  // namespace engine
