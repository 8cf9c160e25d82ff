#include "engine/EngineSettings.h"

#include <algorithm>

#include "core/Settings.h"
#include "platform/NetworkState.h"

namespace engine {

EngineSettings LoadEngineSettings() {
  EngineSettings result;
  long long port = settings::GetInt("engine_port", 38006);
  result.port = port > 0 && port < 65536 ? static_cast<uint16_t>(port) : uint16_t{38006};
  // A connection limit of 0 would stall every job; the upper bound keeps descriptors in reach.
  result.connectionsPerServer =
      static_cast<int>(std::clamp(settings::GetInt("engine_connections_per_server", 16), 1LL, 64LL));
  result.connections = static_cast<int>(std::clamp(settings::GetInt("engine_connections", 32), 1LL, 256LL));
  result.tlsVerify = settings::Get("tls_verify") != "0";
  result.tlsCaFile = settings::Get("tls_ca_file");
  result.networkOnline = &NetworkOnlineNow;
  return result;
}

bool NetworkOnlineNow() {
  std::string state = settings::Get("network_state");
  if (state == "online") return true;
  if (state == "offline") return false;
  return platform::NetworkInterfaceConnected();
}

}  // namespace engine
