// SPDX-License-Identifier: MIT
// File kinds by name and the HEX record writer.
#include "update_kind.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>

namespace kestrune {

int Classify(const std::string& path) {
  std::string lower(path);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.find(".hex2") != std::string::npos) return kKindHex2;
  // ".hex1" contains ".hex"; it is listed with the rest for the reader's sake.
  for (const char* mark : {".hex", ".hex1", ".ihx"}) {
    if (lower.find(mark) != std::string::npos) return kKindHex;
  }
  return kKindBam;
}

std::string HexRecord(uint16_t address, uint8_t type, const uint8_t* data, size_t count) {
  count = std::min<size_t>(count, 255);
  std::string text = ":";
  uint8_t sum = 0;
  auto put = [&](uint8_t byte) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
    sum = static_cast<uint8_t>(sum + byte);
  };
  put(static_cast<uint8_t>(count));
  put(static_cast<uint8_t>(address >> 8));
  put(static_cast<uint8_t>(address & 0xff));
  put(type);
  for (size_t i = 0; i < count; ++i) put(data[i]);
  put(static_cast<uint8_t>(-sum));
  return text;
}

std::string StartRecord(int kind) {
  const uint8_t data[2] = {0x00, static_cast<uint8_t>(kind == kKindHex2 ? 0x08 : 0x04)};
  return HexRecord(0x0000, 0x64, data, sizeof data);
}

int SecondsLeft(double total, double done, double elapsedMs) {
  const double rate = done / elapsedMs * 1000.0;  // units per second; infinite when no time passed
  const double seconds = (total - done) / rate;
  if (!std::isfinite(seconds) || seconds <= 0) return 0;
  return seconds >= INT_MAX ? INT_MAX : static_cast<int>(seconds);
}

}  // namespace kestrune
