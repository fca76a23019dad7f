// SPDX-License-Identifier: MIT
// Log files opened without following links and only as regular files.
#include "log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kestrune {

int OpenLogFile(const std::string& path, bool append) {
  const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : 0);
  const int fd = open(path.c_str(), flags, 0644);
  if (fd < 0) {
    // A FIFO without a reader or a folder fails on its own errno; tell them apart from a
    // folder that cannot be written.
    const int error = errno;
    struct stat st {};
    errno = lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) ? (S_ISLNK(st.st_mode) ? ELOOP : EINVAL) : error;
    return -1;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  // Writes to a regular file never wait for long; blocking mode keeps them whole.
  const int status = fcntl(fd, F_GETFL);
  if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::FILE* OpenLogStream(const std::string& path, bool append, SystemError* error) {
  const int fd = OpenLogFile(path, append);
  std::FILE* stream = fd >= 0 ? fdopen(fd, append ? "ab" : "wb") : nullptr;
  const int failure = stream ? 0 : errno;
  if (fd >= 0 && !stream) close(fd);
  if (error) error->code = failure;
  return stream;
}

}  // namespace kestrune
