// SPDX-License-Identifier: MIT
// The diagnostic log: one file per run, one time-stamped entry per call.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

namespace kestrune {

// Entries are "\r\n(%d/%m/%y %H:%M:%S) " followed by the text (at most 1023 characters, no
// line end of its own). The file is started at the first entry of a run, beside the program
// and named like it with the extension "log"; the earlier run's file is kept as "<log>.1".
// When that folder cannot take the file, or the name holds a link or anything but a regular
// file (never followed or written), the log goes to "<XDG state>/Kestrune/", its first entry
// saying why. When neither can be created, entries are dropped silently. Thread-safe. Each
// program's main owns one and hands it down in its run context.
class DiagnosticLog {
 public:
  // `programPath` is the running program's full path; the log is named after it.
  explicit DiagnosticLog(std::string programPath) : programPath_(std::move(programPath)) {}
  ~DiagnosticLog();
  DiagnosticLog(const DiagnosticLog&) = delete;
  DiagnosticLog& operator=(const DiagnosticLog&) = delete;

  void Write(const std::string& text);
  // printf-style entry; the text is cut to the entry's limit.
  void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The file the entries went to; empty before the first entry or when none could be created.
  std::string FilePath() const;

 private:
  void OpenOnce();
  void WriteEntry(const std::string& text);  // with the mutex held

  mutable std::mutex mutex_;
  std::string programPath_;
  std::string filePath_;
  std::FILE* file_ = nullptr;
  bool triedOpen_ = false;
};

}  // namespace kestrune
