// QTXDownloadV32: the local download engine. It binds its port first thing, so the library (which
// waits until the port accepts) knows at once that it runs, and a second copy exits quietly.

#include <cstdio>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/EngineLog.h"
#include "engine/EngineOptions.h"
#include "engine/EngineSettings.h"
#include "engine/EngineVersion.h"
#include "platform/Process.h"

int main(int argc, char** argv) {
  std::vector<std::string> arguments(argv + 1, argv + argc);
  engine::EngineOptions options = engine::ParseEngineOptions(arguments);
  if (!options.error.empty()) {
    std::fprintf(stderr, "QTXDownloadV32: %s (see --help)\n", options.error.c_str());
    return 2;
  }
  if (options.showHelp) {
    std::fputs(engine::EngineHelpText().c_str(), stdout);
    return 0;
  }
  if (options.showVersion) {
    std::printf("%s\n", engine::EngineVersion());
    return 0;
  }

  engine::EngineSettings settings = engine::LoadEngineSettings();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  engine::EngineLog log;
  engine::Engine server(settings, &log);
  int error = server.Listen(options.port.value_or(settings.port));
  if (error == platform::kSockAddressInUse) return 0;  // another engine serves
  if (error != 0) {
    std::fprintf(stderr, "QTXDownloadV32: cannot listen on 127.0.0.1 (socket error %d)\n", error);
    return 1;
  }
  std::printf("listening 127.0.0.1:%u\n", static_cast<unsigned>(server.Port()));
  std::fflush(stdout);

  std::string folder = options.logFolder;
  if (folder.empty()) {
    std::string program = platform::CurrentExecutablePath();
    folder = program.substr(0, program.rfind('/'));
  }
  log.Open(folder);
  log.Write(std::string("QTXDownloadV32 ") + engine::EngineVersion() + " started on port " +
            std::to_string(server.Port()));
  server.Run(static_cast<int64_t>(options.idleExitSeconds) * 1000);
  curl_global_cleanup();
  return 0;
}
