// Diagnostic log file handling and the program-wide WriteLog.
#include "diagnostic_log.h"

#include <algorithm>
#include <cstdarg>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

#include "program_info.h"

namespace kestrune {
namespace {

constexpr size_t kMaxEntryText = 1023;

std::FILE* CreateLog(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  // A second running copy neither empties nor interleaves into the first one's file: the file
  // is emptied only once its lock is held.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0) {
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
  if (!programPath_.empty() && (file_ = CreateLog(beside))) {
    filePath_ = beside;
    return;
  }
  const std::string folder = XdgStateHome() + "/Kestrune";
  if (!MakeFolders(folder)) return;
  std::string name = beside.substr(beside.rfind('/') + 1);
  if (name.empty() || name == ".log") name = "romsend.log";
  const std::string fallback = folder + "/" + name;
  if ((file_ = CreateLog(fallback))) filePath_ = fallback;
}

void DiagnosticLog::Write(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  OpenOnce();
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

void WriteLog(const char* format, ...) {
  static DiagnosticLog log(ProgramPath());
  char text[kMaxEntryText + 1];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  log.Write(text);
}

}  // namespace kestrune
