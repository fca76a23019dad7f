// SPDX-License-Identifier: MIT
// Reading a decimal number the way C's atoi does, without its overflow hazard.
#pragma once

#include <string_view>

namespace kestrune {

// Leading blanks, one optional sign, then the digits up to the first other character; 0 when
// there are none. Values beyond the int range are clamped to it.
int LeadingDecimal(std::string_view text);

}  // namespace kestrune
