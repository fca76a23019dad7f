// SPDX-License-Identifier: MIT
// The title a BAM file shows in the update list, read from its title record.
#pragma once

#include <optional>
#include <string>

namespace kestrune {

// The title of a BAM file for the list, underscores shown as blanks; none when the file does
// not start with a readable title record (a length byte L of 3 to 127, then L + 1 bytes whose
// NUL-terminated text at their start is L - 2 characters long). At most 129 bytes are read;
// only plain files are opened, so a FIFO or device among the files cannot block the search.
std::optional<std::string> ReadBamTitle(const std::string& path);

}  // namespace kestrune
