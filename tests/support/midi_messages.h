// SPDX-License-Identifier: MIT
// The SysEx messages of the unit's own kind, as tests build them: F0 7D 70 01, the type letter,
// the data as given, F7.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

namespace kestrune::test {

inline std::vector<uint8_t> OwnMessage(uint8_t type, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> m(data.size() + 6);
  const uint8_t head[] = {0xF0, 0x7D, 0x70, 0x01, type};
  std::copy(std::begin(head), std::end(head), m.begin());
  std::copy(data.begin(), data.end(), m.begin() + 5);
  m.back() = 0xF7;
  return m;
}

}  // namespace kestrune::test
