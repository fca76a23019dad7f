// ZT770+ lookup. USB serial discovery is not part of the serial library yet, so no bridge is
// ever found and a "ZT770" port flag falls back to the stored comms settings.
#include "bridge_port.h"

namespace kestrune {

std::string FindBridgePort() { return {}; }

}  // namespace kestrune
