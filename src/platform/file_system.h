// SPDX-License-Identifier: MIT
// Reading files and folders: the few file-system calls the layers above need, with the system's
// error number taken once, at the call that failed, and kept with its text.
//
// Error convention of the platform layer: a call that can fail returns `bool` (true on
// success) or a SystemError (empty on success), or an empty optional / null when it must also
// hand back a value. The system's error number is saved at the failed call and handed up in a
// SystemError (OpenLogFile, used inside this layer, still leaves it in errno).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kestrune {

// A failed system call's error number (errno on POSIX), saved where the call failed; 0 when
// nothing failed. The number is what logs, tests and the texts below work with.
struct SystemError {
  int code = 0;

  explicit operator bool() const { return code != 0; }
  // The system's words for the error ("No such file or directory"). Thread-safe.
  std::string Text() const;
  // The name, or a folder on its way, does not exist.
  bool IsMissing() const;
};

// The system's error number for a few conditions the layers above report by themselves.
int ErrorNumberFolder();    // EISDIR: a folder where a file was wanted
int ErrorNumberNoMemory();  // ENOMEM
int ErrorNumberMissing();   // ENOENT
int ErrorNumberInvalid();   // EINVAL
int ErrorNumberStale();     // ESTALE: the file changed under an open reader

enum class FileType { kRegular, kFolder, kOther };

// What the file system says of a file (links followed).
struct FileInfo {
  FileType type = FileType::kOther;
  std::uint64_t size = 0;
  std::int64_t modifiedSec = 0;  // last modification, seconds since the epoch
  long modifiedNsec = 0;         // and its nanoseconds

  bool IsRegular() const { return type == FileType::kRegular; }
  bool IsFolder() const { return type == FileType::kFolder; }
};

// The file `path` names, links followed; empty when it cannot be looked at (`error`, when
// given, tells why).
std::optional<FileInfo> PathInfo(const std::string& path, SystemError* error = nullptr);

// A file opened for reading only. Owns its descriptor; closes it when destroyed. Not
// thread-safe; one owner uses it.
class ReadOnlyFile {
 public:
  ReadOnlyFile() = default;
  ~ReadOnlyFile();
  ReadOnlyFile(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile& operator=(ReadOnlyFile&& other) noexcept;
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  // Opens `path` without waiting (a FIFO without a writer cannot stall the open), never as
  // the controlling terminal and not inherited by child programs. An open file is closed first.
  SystemError Open(const std::string& path);
  bool IsOpen() const { return fd_ >= 0; }
  void Close();

  // What the open file is now.
  SystemError Info(FileInfo& info) const;
  // From now on reads wait for data (a device or FIFO); regular files read the same either way.
  void SetBlocking();
  // Reads up to `count` bytes (an interrupted read is tried again): the count read, 0 at the
  // end of the file, -1 on failure with `error` (when given) telling why.
  std::ptrdiff_t ReadSome(void* dest, std::size_t count, SystemError* error = nullptr);
  // Reads until `count` bytes came, the file ended or a read failed; returns the bytes read.
  std::size_t ReadFully(void* dest, std::size_t count);
  // Moves the read position to `offset` bytes from the start.
  SystemError SeekTo(std::uint64_t offset);
  // Hands the open file to a C stream for binary reading; this object is closed afterwards
  // either way. Null when no stream could be made (the file is closed then too).
  std::FILE* ReleaseToStream();

 private:
  int fd_ = -1;
};

// One name of a folder listing.
struct FolderEntry {
  std::string name;
  bool isFolder;      // a folder, or a link to one: never reported as a file
  bool isRealFolder;  // a folder itself, not a link
};

// Every name in `folder` (the current folder when empty), "." and ".." included, in the
// order the system gives them. The whole listing is read and the folder closed before this
// returns. A folder that cannot be listed gives no names.
std::vector<FolderEntry> ListFolder(const std::string& folder);

}  // namespace kestrune
