#include "pipeline/NetworkState.h"

#include "core/Settings.h"
#include "platform/NetworkState.h"

bool IsInternetConnected() {
  std::string state = settings::Get("network_state");
  if (state == "online") return true;
  if (state == "offline") return false;
  return platform::NetworkInterfaceConnected();
}
