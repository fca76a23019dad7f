// SPDX-License-Identifier: MIT
// Reading the title record at the start of a BAM file for the update list.
#include "update_title.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrune {
namespace {

// Reads until `count` bytes arrived, the file ended or a read failed; returns the bytes read.
size_t ReadFully(int fd, unsigned char* dest, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = read(fd, dest + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace

std::optional<std::string> ReadBamTitle(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> title;
  struct stat st {};
  unsigned char record[128];  // L + 1 bytes, L at most 127
  unsigned char length = 0;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ReadFully(fd, &length, 1) == 1 && length < 0x80) {
    const size_t want = length + 1u;
    if (ReadFully(fd, record, want) == want) {
      const size_t textLength = strnlen(reinterpret_cast<const char*>(record), want);
      // A title needs its NUL inside the record and at least one character.
      if (textLength < want && textLength >= 1 && textLength + 2 == length) {
        title.emplace(reinterpret_cast<const char*>(record), textLength);
        std::replace(title->begin(), title->end(), '_', ' ');
      }
    }
  }
  close(fd);
  return title;
}

}  // namespace kestrune
