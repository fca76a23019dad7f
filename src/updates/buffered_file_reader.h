// SPDX-License-Identifier: MIT
// A buffered read-only file: the HEX line transfer reads its file a character at a time, and
// this keeps that to one system read per buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/file_system.h"

namespace kestrune {

class MessageBoxes;

// Why an open failed: the system error number saved at the failure, and the path.
struct FileOpenError {
  int osError = 0;
  std::string path;
};

// Not thread-safe; one owner reads it. Closing (or destroying) frees the buffer and the file.
class BufferedFileReader {
 public:
  // Open flags with the values of the framework's file-mode flags they stand for. The file is
  // only ever read; a write mode is refused. POSIX cannot keep writers away, so "writers
  // denied" is kept the other way round: once the file's contents or length change while it is
  // open, every further read fails (ESTALE), and a reader never mixes old and new bytes.
  enum OpenFlags : unsigned {
    kModeRead = 0x0000,
    kModeWrite = 0x0001,
    kModeReadWrite = 0x0002,
    kShareDenyWrite = 0x0020,
    kShareDenyNone = 0x0040,
  };
  enum SeekOrigin { kBegin = 0, kCurrent = 1, kEnd = 2 };

  // Buffer size used when open is given 0.
  static constexpr std::uint32_t kDefaultBufferSize = 4096;
  // Lengths of the open-failure box's texts, to fit the message box's buffers.
  static constexpr std::size_t kMaxErrorText = 89;
  static constexpr std::size_t kMaxCaption = 255;

  BufferedFileReader() = default;
  ~BufferedFileReader();
  BufferedFileReader(const BufferedFileReader&) = delete;
  BufferedFileReader& operator=(const BufferedFileReader&) = delete;

  // Opens `path` for reading with a buffer of `bufferSize` bytes. True on success. On
  // failure `error` (when given) gets the reason, and with `boxes` a message box with the
  // system's error text and the caption "Can't open file: <path>" is shown (stop icon).
  // A folder cannot be opened. An open file is closed first.
  bool Open(const std::string& path, unsigned flags, std::uint32_t bufferSize, FileOpenError* error = nullptr,
            MessageBoxes* boxes = nullptr);
  bool IsOpen() const { return file_.IsOpen(); }
  // Whether what was opened is a regular file (links followed), as it stood at the open.
  bool IsRegular() const { return file_.IsOpen() && regular_; }
  void Close();

  // Copies up to `count` bytes at the current position to `dest` and returns how many were
  // delivered: fewer at the end of the file, or when the system read fails (LastReadError()).
  std::size_t Read(void* dest, std::size_t count);

  // Moves the current position to `offset` from the origin. A target before the start or past
  // the end of the file is refused (false, position unchanged). Targets inside the buffered
  // bytes cost no system call.
  bool Seek(std::int64_t offset, SeekOrigin origin);
  std::uint64_t GetPosition() const;
  // The file's length as the system reports it now (the length at open when it cannot).
  std::uint64_t GetLength() const;
  // errno of the last failed system read, 0 when none failed since open.
  int LastReadError() const { return readError_; }

 private:
  bool Refill();
  bool ChangedSinceOpen() const;

  ReadOnlyFile file_;
  std::uint32_t bufferSize_ = 0;
  std::uint64_t windowEnd_ = 0;   // file offset just past the buffered bytes
  std::uint64_t fileLength_ = 0;  // taken at open
  bool denyWrite_ = false;        // opened with kShareDenyWrite
  bool regular_ = false;          // a regular file at the open
  std::int64_t modifiedSec_ = 0;  // last-modification time at open
  long modifiedNsec_ = 0;
  std::size_t bufferPos_ = 0;    // next buffered byte to hand out
  std::size_t bufferCount_ = 0;  // bytes held in the buffer
  std::unique_ptr<unsigned char[]> buffer_;
  int readError_ = 0;
};

}  // namespace kestrune
