// SPDX-License-Identifier: MIT
// pageburn's flag table.
#include "pageburn/pageburn_flags.h"

namespace kestrune {

PageburnFlags::PageburnFlags(std::string_view discoveredPort)
    : table_{FlagTableEntry{"<source file>", {}, kFlagTypePositional},
             FlagTableEntry{"port", port_.Target(), kFlagTypeText},
             FlagTableEntry{"waiterr", &waitOnError_, kFlagTypeSwitch},
             FlagTableEntry{"verify", &verify_, kFlagTypeInteger}, FlagTableEntry{}} {
  port_.Set(discoveredPort);
}

}  // namespace kestrune
