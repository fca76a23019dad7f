// SPDX-License-Identifier: MIT
// The buffered file over the platform's read-only file, and its open-failure message.
#include "buffered_file_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/message_box.h"

namespace kestrune {
namespace {

// Cuts a text to at most `max` bytes without leaving half of a UTF-8 character at its end.
void TruncateText(std::string& text, std::size_t max) {
  if (text.size() <= max) return;
  std::size_t cut = max;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
}

void ShowOpenFailure(MessageBoxes& boxes, const std::string& path, int osError) {
  std::string text = SystemError{osError}.Text();
  TruncateText(text, BufferedFileReader::kMaxErrorText);
  std::string caption = "Can't open file: " + path;
  TruncateText(caption, BufferedFileReader::kMaxCaption);
  boxes.Show(text, caption, kBoxOk | kBoxIconError);
}

}  // namespace

BufferedFileReader::~BufferedFileReader() {
  Close();
}

bool BufferedFileReader::Open(const std::string& path, unsigned flags, std::uint32_t bufferSize, FileOpenError* error,
                              MessageBoxes* boxes) {
  Close();
  int osError = 0;
  if (flags & (kModeWrite | kModeReadWrite)) {
    osError = ErrorNumberInvalid();
  } else if (path.find('\0') != std::string::npos) {
    osError = ErrorNumberMissing();
  } else {
    const std::uint32_t size = bufferSize ? bufferSize : kDefaultBufferSize;
    // Non-blocking so that opening a FIFO without a writer cannot hang the caller.
    ReadOnlyFile file;
    FileInfo info;
    if (const SystemError failed = file.Open(path)) {
      osError = failed.code;
    } else if (const SystemError unknown = file.Info(info)) {
      osError = unknown.code;
    } else if (info.IsFolder()) {
      osError = ErrorNumberFolder();
    } else {
      buffer_.reset(new (std::nothrow) unsigned char[size]);
      if (!buffer_) osError = ErrorNumberNoMemory();
    }
    if (osError == 0) {
      file.SetBlocking();
      file_ = std::move(file);
      bufferSize_ = size;
      fileLength_ = info.size;
      denyWrite_ = (flags & kShareDenyWrite) != 0;
      regular_ = info.IsRegular();
      modifiedSec_ = info.modifiedSec;
      modifiedNsec_ = info.modifiedNsec;
      windowEnd_ = 0;
      bufferPos_ = bufferCount_ = 0;
      readError_ = 0;
      return true;
    }
    buffer_.reset();
  }
  if (error) {
    error->osError = osError;
    error->path = path;
  }
  if (boxes) ShowOpenFailure(*boxes, path, osError);
  return false;
}

void BufferedFileReader::Close() {
  file_.Close();
  buffer_.reset();
  bufferSize_ = 0;
  windowEnd_ = fileLength_ = 0;
  bufferPos_ = bufferCount_ = 0;
}

bool BufferedFileReader::Refill() {
  bufferPos_ = bufferCount_ = 0;
  if (!file_.IsOpen()) return false;
  SystemError error;
  const std::ptrdiff_t got = file_.ReadSome(buffer_.get(), bufferSize_, &error);
  if (got < 0) {
    readError_ = error.code;
    return false;
  }
  if (denyWrite_ && ChangedSinceOpen()) {
    // Bytes read now may be the new ones; the caller must not get them after the old ones.
    readError_ = ErrorNumberStale();
    return false;
  }
  bufferCount_ = static_cast<std::size_t>(got);
  windowEnd_ += bufferCount_;
  return got > 0;
}

bool BufferedFileReader::ChangedSinceOpen() const {
  FileInfo info;
  if (file_.Info(info)) return true;
  return info.size != fileLength_ || info.modifiedSec != modifiedSec_ || info.modifiedNsec != modifiedNsec_;
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
  FileInfo info;
  if (file_.IsOpen() && !file_.Info(info)) return info.size;
  return fileLength_;
}

bool BufferedFileReader::Seek(std::int64_t offset, SeekOrigin origin) {
  if (!file_.IsOpen()) return false;
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
  if (file_.SeekTo(to)) return false;
  bufferPos_ = bufferCount_ = 0;
  windowEnd_ = to;
  return true;
}

}  // namespace kestrune
