// SPDX-License-Identifier: MIT
// How a status printer turns a format and its one argument into the line the user reads.
#include <algorithm>
#include <cstring>

#include "protocol/protocol_engine.h"

namespace kestrune {

std::string FormatStatus(const char* format, const char* argument) {
  std::string text;
  if (!format) return text;
  auto add = [&text](const char* from, size_t count) {
    text.append(from, std::min(count, kMaxStatusText - text.size()));
  };
  for (const char* p = format; *p && text.size() < kMaxStatusText; ++p) {
    if (p[0] == '%' && p[1] == '%') {
      add("%", 1);
      ++p;
    } else if (p[0] == '%' && p[1] == 's') {
      if (argument) add(argument, std::strlen(argument));
      ++p;
    } else {
      add(p, 1);
    }
  }
  return text;
}

}  // namespace kestrune
