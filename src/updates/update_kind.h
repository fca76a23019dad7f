// SPDX-License-Identifier: MIT
// What kind of update a file is, told from its name, and the Intel HEX record texts that
// romsend composes itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrune {

// Values are stored and compared as plain ints by the callers.
enum UpdateKind : int { kKindBam = 0, kKindHex = 1, kKindHex2 = 2 };

// The kind by a substring search over the whole lower-cased path: ".hex2" anywhere makes HEX2,
// else ".hex", ".hex1" or ".ihx" makes HEX, else BAM. A folder name counts as much as the file's.
int Classify(const std::string& path);

// One Intel HEX record as text: ':' then byte count, address (four digits), record type, the
// data bytes and the checksum, each byte as two lower-case hex digits. At most 255 data bytes
// are written (the byte count is one byte); the checksum covers what was written.
std::string HexRecord(uint16_t address, uint8_t type, const uint8_t* data, size_t count);

// The record that opens a HEX line transfer: type 0x64, address 0, data 00 08 for HEX2 and
// 00 04 for any other kind.
std::string StartRecord(int kind);

// Whole seconds still to go when `done` of `total` units took `elapsedMs`: the remaining units
// at the rate so far. 0 when nothing is left or no rate can be told yet; never overflows.
int SecondsLeft(double total, double done, double elapsedMs);

}  // namespace kestrune
