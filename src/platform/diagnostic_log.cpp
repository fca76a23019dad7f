// SPDX-License-Identifier: MIT
// Diagnostic log file handling.
#include "diagnostic_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <ctime>
#include <memory>

#include "log_file.h"
#include "program_info.h"

namespace kestrune {
namespace {

constexpr size_t kMaxEntryText = 1023;

// Opens the log for a new run. The earlier run's log is kept as "<path>.1" (one generation),
// so the notices of a failed transfer survive the next start. `refused` tells whether the name
// holds something that is no regular file (a link, a FIFO, a folder).
std::FILE* CreateLog(const std::string& path, bool& refused) {
  refused = false;
  int fd = OpenLogFile(path, false);
  if (fd < 0) {
    refused = errno == ELOOP || errno == EINVAL;
    return nullptr;
  }
  // A second running copy neither empties nor interleaves into the first one's file: the file
  // is touched only once its lock is held.
  struct stat st {};
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &st) != 0) {
    close(fd);
    return nullptr;
  }
  if (st.st_size > 0) {
    // Renaming replaces a link named "<path>.1" itself, never what it points to. The new file
    // must be a new one: anything that took the name meanwhile is left alone.
    close(fd);
    if (rename(path.c_str(), (path + ".1").c_str()) != 0) return nullptr;
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
      if (fd >= 0) close(fd);
      return nullptr;
    }
  } else if (ftruncate(fd, 0) != 0) {
    close(fd);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, "wb");
  if (!f) close(fd);
  return f;
}

}  // namespace

DiagnosticLog::~DiagnosticLog() {
  if (file_) std::fclose(file_);
}

void DiagnosticLog::OpenOnce() {
  if (triedOpen_) return;
  triedOpen_ = true;
  const std::string beside = ReplaceExtension(programPath_, ".log");
  bool refused = false;
  if (!programPath_.empty() && (file_ = CreateLog(beside, refused))) {
    filePath_ = beside;
    return;
  }
  const std::string folder = XdgStateHome() + "/Kestrune";
  if (!MakeFolders(folder)) return;
  std::string name = beside.substr(beside.rfind('/') + 1);
  if (name.empty() || name == ".log") name = "romsend.log";
  const std::string fallback = folder + "/" + name;
  bool fallbackRefused = false;
  if (!(file_ = CreateLog(fallback, fallbackRefused))) return;
  filePath_ = fallback;
  // Whoever looks beside the program finds no log there; this says why.
  if (refused) WriteEntry("log " + beside + " is a link or no regular file; not written");
}

void DiagnosticLog::Write(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  OpenOnce();
  WriteEntry(text);
}

void DiagnosticLog::WriteEntry(const std::string& text) {
  if (!file_) return;
  char stamp[64];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  // Two-digit year: the entry format is fixed.
  const size_t n = std::strftime(stamp, sizeof stamp, "\r\n(%d/%m/%y %H:%M:%S) ", &local);
  std::fwrite(stamp, 1, n, file_);
  std::fwrite(text.data(), 1, std::min(text.size(), kMaxEntryText), file_);
  std::fflush(file_);
}

std::string DiagnosticLog::FilePath() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return filePath_;
}

void DiagnosticLog::Printf(const char* format, ...) {
  char text[kMaxEntryText + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  Write(text);
}

}  // namespace kestrune
