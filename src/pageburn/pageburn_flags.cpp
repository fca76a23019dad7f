// SPDX-License-Identifier: MIT
// pageburn's flag table.
#include "pageburn/pageburn_flags.h"

namespace kestrune {

PageburnFlags::PageburnFlags(std::string_view discoveredPort)
    : table_{GetcmdEntry{"<source file>", {}, kGetcmdTypePositional},
             GetcmdEntry{"port", port_.Target(), kGetcmdTypeText},
             GetcmdEntry{"waiterr", &waitOnError_, kGetcmdTypeSwitch},
             GetcmdEntry{"verify", &verify_, kGetcmdTypeInteger}, GetcmdEntry{}} {
  port_.Set(discoveredPort);
}

}  // namespace kestrune
