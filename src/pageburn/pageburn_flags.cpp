// pageburn's flag table.
#include "pageburn/pageburn_flags.h"

namespace kestrune {

PageburnFlags::PageburnFlags(std::string_view discoveredPort)
    : table_{FlagEntry{"<source file>", {}, kFlagPositional}, FlagEntry{"port", port_.Target(), kFlagText},
             FlagEntry{"waiterr", &waitOnError_, kFlagSwitch}, FlagEntry{}} {
  port_.Set(discoveredPort);
}

}  // namespace kestrune
