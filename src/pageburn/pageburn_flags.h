// SPDX-License-Identifier: MIT
// pageburn's own flag table: the firmware file as its positional parameter, "port", "waiterr"
// and "verify".
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "pageburn/flag_table_parser.h"

namespace kestrune {

// The variables and the table that binds them. The firmware path is not kept here: the
// program reads it from argv[1] itself. Not copyable (the table points into the object).
class PageburnFlags {
 public:
  static constexpr uint8_t kMaxPortLength = 80;

  // `discoveredPort` is the port's default, shown in the usage text and overridden by the INI
  // file or the command line. One longer than kMaxPortLength cannot be held and is not taken.
  explicit PageburnFlags(std::string_view discoveredPort = {});
  PageburnFlags(const PageburnFlags&) = delete;
  PageburnFlags& operator=(const PageburnFlags&) = delete;

  const FlagTableEntry* Table() const { return table_.data(); }
  std::string Port() const { return std::string(port_.Text()); }
  // Nonzero: wait for a key press after an error.
  int32_t WaitOnError() const { return waitOnError_; }
  // Nonzero: read every written word back before the boot bit is set.
  int32_t Verify() const { return verify_; }

 private:
  FlagText<kMaxPortLength> port_;
  int32_t waitOnError_ = 1;
  int32_t verify_ = 0;
  std::array<FlagTableEntry, 5> table_;
};

}  // namespace kestrune
