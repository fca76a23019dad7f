// SPDX-License-Identifier: MIT
// Reading the title record at the start of a BAM file for the update list.
#include "update_title.h"

#include <algorithm>
#include <cstring>

#include "platform/file_system.h"

namespace kestrune {

std::optional<std::string> ReadBamTitle(const std::string& path) {
  ReadOnlyFile file;
  if (file.Open(path)) return std::nullopt;
  std::optional<std::string> title;
  FileInfo info;
  unsigned char record[128];  // L + 1 bytes, L at most 127
  unsigned char length = 0;
  if (!file.Info(info) && info.IsRegular() && file.ReadFully(&length, 1) == 1 && length < 0x80) {
    const size_t want = length + 1u;
    if (file.ReadFully(record, want) == want) {
      const size_t textLength = strnlen(reinterpret_cast<const char*>(record), want);
      // A title needs its NUL inside the record and at least one character.
      if (textLength < want && textLength >= 1 && textLength + 2 == length) {
        title.emplace(reinterpret_cast<const char*>(record), textLength);
        std::replace(title->begin(), title->end(), '_', ' ');
      }
    }
  }
  return title;
}

}  // namespace kestrune
