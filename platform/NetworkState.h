#pragma once

namespace platform {

// Whether this computer has a network connection: an interface other than loopback that is up
// and running with an address.
bool NetworkInterfaceConnected();

}  // namespace platform
