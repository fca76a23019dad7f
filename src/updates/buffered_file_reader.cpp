// SPDX-License-Identifier: MIT
// The buffered file over a POSIX file descriptor, and its open-failure message.
#include "buffered_file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "platform/message_box.h"

namespace kestrune {
namespace {

// strerror_r comes in two flavours (GNU returns the text, XSI fills the buffer); take either.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ErrorText(const char* result, const char*) {
  return result;
}

// Cuts a text to at most `max` bytes without leaving half of a UTF-8 character at its end.
void TruncateText(std::string& text, std::size_t max) {
  if (text.size() <= max) return;
  std::size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
}

void ShowOpenFailure(MessageBoxes& boxes, const std::string& path, int osError) {
  char buffer[256];
  std::string text = ErrorText(strerror_r(osError, buffer, sizeof buffer), buffer);
  TruncateText(text, BufferedFileReader::kMaxErrorText);
  std::string caption = "Can't open file: " + path;
  TruncateText(caption, BufferedFileReader::kMaxCaption);
  boxes.Show(text, caption, kBoxOk | kBoxIconError);
}

}  // namespace

BufferedFileReader::~BufferedFileReader() {
  Close();
}

int BufferedFileReader::Open(const std::string& path, unsigned flags, std::uint32_t bufferSize, FileOpenError* error,
                             MessageBoxes* boxes) {
  Close();
  int osError = 0;
  if (flags & (kModeWrite | kModeReadWrite)) {
    osError = EINVAL;
  } else if (path.find('\0') != std::string::npos) {
    osError = ENOENT;
  } else {
    const std::uint32_t size = bufferSize ? bufferSize : kDefaultBufferSize;
    // Non-blocking so that opening a FIFO without a writer cannot hang the caller.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    struct stat st;
    if (fd < 0) {
      osError = errno;
    } else if (fstat(fd, &st) != 0) {
      osError = errno;
    } else if (S_ISDIR(st.st_mode)) {
      osError = EISDIR;
    } else {
      buffer_.reset(new (std::nothrow) unsigned char[size]);
      if (!buffer_) osError = ENOMEM;
    }
    if (osError == 0) {
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      fd_ = fd;
      bufferSize_ = size;
      fileLength_ = static_cast<std::uint64_t>(st.st_size);
      denyWrite_ = (flags & kShareDenyWrite) != 0;
      regular_ = S_ISREG(st.st_mode);
      modifiedSec_ = st.st_mtim.tv_sec;
      modifiedNsec_ = st.st_mtim.tv_nsec;
      windowEnd_ = 0;
      bufferPos_ = bufferCount_ = 0;
      readError_ = 0;
      return 1;
    }
    if (fd >= 0) ::close(fd);
    buffer_.reset();
  }
  if (error) {
    error->osError = osError;
    error->path = path;
  }
  if (boxes) ShowOpenFailure(*boxes, path, osError);
  return 0;
}

void BufferedFileReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.reset();
  bufferSize_ = 0;
  windowEnd_ = fileLength_ = 0;
  bufferPos_ = bufferCount_ = 0;
}

bool BufferedFileReader::Refill() {
  bufferPos_ = bufferCount_ = 0;
  if (fd_ < 0) return false;
  ssize_t got;
  do {
    got = ::read(fd_, buffer_.get(), bufferSize_);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    readError_ = errno;
    return false;
  }
  if (denyWrite_ && ChangedSinceOpen()) {
    // Bytes read now may be the new ones; the caller must not get them after the old ones.
    readError_ = ESTALE;
    return false;
  }
  bufferCount_ = static_cast<std::size_t>(got);
  windowEnd_ += bufferCount_;
  return got > 0;
}

bool BufferedFileReader::ChangedSinceOpen() const {
  struct stat st;
  if (fstat(fd_, &st) != 0) return true;
  return static_cast<std::uint64_t>(st.st_size) != fileLength_ || st.st_mtim.tv_sec != modifiedSec_ ||
         st.st_mtim.tv_nsec != modifiedNsec_;
}

std::size_t BufferedFileReader::Read(void* dest, std::size_t count) {
  auto* out = static_cast<unsigned char*>(dest);
  std::size_t delivered = 0;
  while (delivered < count) {
    if (bufferPos_ == bufferCount_ && !Refill()) break;
    const std::size_t take = std::min(count - delivered, bufferCount_ - bufferPos_);
    std::memcpy(out + delivered, buffer_.get() + bufferPos_, take);
    bufferPos_ += take;
    delivered += take;
  }
  return delivered;
}

std::uint64_t BufferedFileReader::GetPosition() const {
  return windowEnd_ - bufferCount_ + bufferPos_;
}

std::uint64_t BufferedFileReader::GetLength() const {
  struct stat st;
  if (fd_ >= 0 && fstat(fd_, &st) == 0) return static_cast<std::uint64_t>(st.st_size);
  return fileLength_;
}

bool BufferedFileReader::Seek(std::int64_t offset, SeekOrigin origin) {
  if (fd_ < 0) return false;
  const std::uint64_t length = GetLength();
  std::int64_t base = 0;
  if (origin == kCurrent)
    base = static_cast<std::int64_t>(GetPosition());
  else if (origin == kEnd)
    base = static_cast<std::int64_t>(length);
  else if (origin != kBegin)
    return false;
  // Lengths and positions stay far below 2^63, so only the offset can overflow the sum.
  std::int64_t target;
  if (__builtin_add_overflow(base, offset, &target)) return false;
  if (target < 0 || static_cast<std::uint64_t>(target) > length) return false;

  const std::uint64_t to = static_cast<std::uint64_t>(target);
  const std::uint64_t windowStart = windowEnd_ - bufferCount_;
  if (to >= windowStart && to < windowEnd_) {
    bufferPos_ = static_cast<std::size_t>(to - windowStart);
    return true;
  }
  if (::lseek(fd_, static_cast<off_t>(to), SEEK_SET) < 0) return false;
  bufferPos_ = bufferCount_ = 0;
  windowEnd_ = to;
  return true;
}

}  // namespace kestrune
