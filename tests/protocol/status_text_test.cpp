// SPDX-License-Identifier: MIT
// What a status printer shows for a format and its one argument.
#include <gtest/gtest.h>

#include "protocol/protocol_engine.h"

namespace kestrune {
namespace {

TEST(FormatStatus, PercentSignsArgumentsAndLength) {
  EXPECT_EQ(FormatStatus("Copying ... 42%% done. Left: 1:05", nullptr), "Copying ... 42% done. Left: 1:05");
  EXPECT_EQ(FormatStatus("Processing \"%s\"", "A_B"), "Processing \"A_B\"");
  EXPECT_EQ(FormatStatus("%s", "100% sure"), "100% sure");  // a unit's text is shown, not read as a format
  EXPECT_EQ(FormatStatus("%s", nullptr), "");
  EXPECT_EQ(FormatStatus("E%d %x %", "arg"), "E%d %x %");  // nothing but %s reads the argument
  EXPECT_EQ(FormatStatus(nullptr, "x"), "");
  EXPECT_EQ(FormatStatus("%s", std::string(400, 'x').c_str()).size(), kMaxStatusText);
  EXPECT_EQ(FormatStatus(std::string(300, '%').c_str(), nullptr), std::string(150, '%'));
}

}  // namespace
}  // namespace kestrune
