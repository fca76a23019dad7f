// SPDX-License-Identifier: MIT
// The file-system calls over POSIX descriptors, stat and folder listings.
#include "file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace kestrune {
namespace {

// strerror_r comes in two flavours (GNU returns the text, XSI fills the buffer); take either.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
  return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* ErrorText(const char* result, const char*) {
  return result;
}

FileInfo InfoOf(const struct stat& st) {
  FileInfo info;
  info.type = S_ISREG(st.st_mode) ? FileType::kRegular : S_ISDIR(st.st_mode) ? FileType::kFolder : FileType::kOther;
  info.size = static_cast<std::uint64_t>(st.st_size);
  info.modifiedSec = st.st_mtim.tv_sec;
  info.modifiedNsec = st.st_mtim.tv_nsec;
  return info;
}

}  // namespace

std::string SystemError::Text() const {
  char buffer[256];
  return ErrorText(strerror_r(code, buffer, sizeof buffer), buffer);
}

bool SystemError::IsMissing() const {
  return code == ENOENT || code == ENOTDIR;
}

int ErrorNumberFolder() {
  return EISDIR;
}
int ErrorNumberNoMemory() {
  return ENOMEM;
}
int ErrorNumberMissing() {
  return ENOENT;
}
int ErrorNumberInvalid() {
  return EINVAL;
}
int ErrorNumberStale() {
  return ESTALE;
}

std::optional<FileInfo> PathInfo(const std::string& path, SystemError* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (error) error->code = errno;
    return std::nullopt;
  }
  if (error) error->code = 0;
  return InfoOf(st);
}

ReadOnlyFile::~ReadOnlyFile() {
  Close();
}

ReadOnlyFile::ReadOnlyFile(ReadOnlyFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

ReadOnlyFile& ReadOnlyFile::operator=(ReadOnlyFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

SystemError ReadOnlyFile::Open(const std::string& path) {
  Close();
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  return {fd_ < 0 ? errno : 0};
}

void ReadOnlyFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

SystemError ReadOnlyFile::Info(FileInfo& info) const {
  struct stat st {};
  if (fstat(fd_, &st) != 0) return {errno};
  info = InfoOf(st);
  return {};
}

void ReadOnlyFile::SetBlocking() {
  if (fd_ >= 0) fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
}

std::ptrdiff_t ReadOnlyFile::ReadSome(void* dest, std::size_t count, SystemError* error) {
  ssize_t got;
  do {
    got = ::read(fd_, dest, count);
  } while (got < 0 && errno == EINTR);
  if (error) error->code = got < 0 ? errno : 0;
  return got;
}

std::size_t ReadOnlyFile::ReadFully(void* dest, std::size_t count) {
  auto* out = static_cast<unsigned char*>(dest);
  std::size_t done = 0;
  while (done < count) {
    const std::ptrdiff_t n = ReadSome(out + done, count - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

SystemError ReadOnlyFile::SeekTo(std::uint64_t offset) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return {errno};
  return {};
}

std::FILE* ReadOnlyFile::ReleaseToStream() {
  if (fd_ < 0) return nullptr;
  std::FILE* stream = fdopen(fd_, "rb");
  if (stream)
    fd_ = -1;
  else
    Close();
  return stream;
}

std::vector<FolderEntry> ListFolder(const std::string& folder) {
  std::vector<FolderEntry> entries;
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (!dir) return entries;
  const int fd = dirfd(dir);
  while (const dirent* item = readdir(dir)) {
    FolderEntry entry{item->d_name, item->d_type == DT_DIR, item->d_type == DT_DIR};
    if (item->d_type == DT_UNKNOWN || item->d_type == DT_LNK) {
      struct stat st;
      if (fstatat(fd, item->d_name, &st, 0) == 0) entry.isFolder = S_ISDIR(st.st_mode);
      if (item->d_type == DT_UNKNOWN && fstatat(fd, item->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        entry.isRealFolder = S_ISDIR(st.st_mode);
    }
    entries.push_back(std::move(entry));
  }
  closedir(dir);
  return entries;
}

}  // namespace kestrune
