// SPDX-License-Identifier: MIT
// Version text forms and the about-box caption.
#include "updates/version_text.h"

#include <gtest/gtest.h>

#include "kestrune_version.h"

namespace kestrune {
namespace {

TEST(VersionText, TwoOrFourNumbers) {
  const struct {
    int major, minor, build, revision;
    const char* text;
  } rows[] = {
      {1, 61, 0, 0, "1.61"},
      {1, 61, 2, 0, "1.61.2.0"},
      {1, 61, 0, 3, "1.61.0.3"},
      {2, 0, 7, 9, "2.0.7.9"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(FormatVersion(row.major, row.minor, row.build, row.revision), row.text) << row.text;

  EXPECT_EQ(VersionText(), FormatVersion(KESTRUNE_VERSION_MAJOR, KESTRUNE_VERSION_MINOR, KESTRUNE_VERSION_BUILD,
                                         KESTRUNE_VERSION_REVISION));
  int id = 0;
  std::string text;
  EXPECT_TRUE(SetVersionCaption(
      [&](int controlId, const std::string& caption) {
        id = controlId;
        text = caption;
      },
      1008, "Romsend"));
  EXPECT_EQ(id, 1008);
  EXPECT_EQ(text, "Romsend V" + VersionText());
}

}  // namespace
}  // namespace kestrune
