#include "platform/NetworkState.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

namespace platform {

bool NetworkInterfaceConnected() {
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return false;
  bool connected = false;
  for (ifaddrs* item = interfaces; item != nullptr && !connected; item = item->ifa_next) {
    if (item->ifa_addr == nullptr) continue;
    int family = item->ifa_addr->sa_family;
    unsigned flags = item->ifa_flags;
    connected = (family == AF_INET || family == AF_INET6) && (flags & IFF_UP) != 0 &&
                (flags & IFF_RUNNING) != 0 && (flags & IFF_LOOPBACK) == 0;
  }
  freeifaddrs(interfaces);
  return connected;
}

}  // namespace platform
