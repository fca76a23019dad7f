// SPDX-License-Identifier: MIT
// ZT770+ lookup: the bridge is a USB CDC device found by its USB ids.
#include "bridge_port.h"

#include "serial/usb_port_discovery.h"

namespace kestrune {

std::string FindBridgePort() {
  return FindDevicePort(kZt770BridgeTarget);
}

}  // namespace kestrune
