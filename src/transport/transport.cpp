// SPDX-License-Identifier: MIT
// Texts of the transport codes that every driver shares.
#include "transport.h"

namespace kestrune {

std::string Transport::ErrorText(int code) {
  switch (code) {
    case kTransportOk:
      return "No problem";
    case kTransportTimeout:
      return "Comms timeout";
    case kTransportError:
      return "Comms Problem";
    case kTransportDisconnect:
      return "Comms Disconnect";
    default:
      return "Can't Explain";
  }
}

}  // namespace kestrune
