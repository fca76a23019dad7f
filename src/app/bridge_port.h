// SPDX-License-Identifier: MIT
// Where romsend finds the port of an attached ZT770+ USB bridge.
#pragma once

#include <string>

namespace kestrune {

// The port of the first attached ZT770+ bridge, or empty when none is attached.
std::string FindBridgePort();

}  // namespace kestrune
