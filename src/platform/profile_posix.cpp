// SPDX-License-Identifier: MIT
// INI profile on POSIX: parse, edit and atomically replace the file under an flock.
#include "profile.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "program_info.h"
#include "tick_count.h"

namespace kestrune {
namespace {

constexpr size_t kMaxFileSize = 1u << 20;
constexpr uint32_t kLockWaitMs = 5000;

bool SameName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// Blanks, tabs and stray carriage returns (a line ending in "\r\r\n") around names and values
// are not part of them; a value never holds a CR of its own.
bool Blank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && Blank(s[b])) ++b;
  while (e > b && Blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

enum class FileState { kMissing, kUnreadable, kCorrupt, kGood };

struct Loaded {
  FileState state = FileState::kMissing;
  std::vector<std::string> lines;
  bool bom = false;  // the file starts with a UTF-8 byte order mark, kept when written back
};

constexpr char kBom[] = "\xEF\xBB\xBF";

// A "[section]" heading, which may carry a comment after its closing bracket. False for any
// other line; `name` is the section's name without blanks at either end.
bool Heading(const std::string& line, std::string& name) {
  const std::string t = Trim(line);
  if (t.size() < 3 || t[0] != '[') return false;
  const size_t close = t.find(']');
  if (close == std::string::npos || close < 2) return false;
  const std::string rest = Trim(t.substr(close + 1));
  if (!rest.empty() && rest[0] != ';' && rest[0] != '#') return false;
  name = Trim(t.substr(1, close - 1));
  return !name.empty();
}

Loaded LoadFile(const std::string& path) {
  Loaded out;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    out.state = errno == ENOENT ? FileState::kMissing : FileState::kUnreadable;
    return out;
  }
  std::string data;
  char buf[8192];
  bool tooBig = false;
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      out.state = FileState::kUnreadable;
      return out;
    }
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > kMaxFileSize) {
      tooBig = true;
      break;
    }
    data.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  out.state = FileState::kGood;
  if (tooBig || data.find('\0') != std::string::npos) {
    out.state = FileState::kCorrupt;
    return out;
  }
  size_t pos = 0;
  if (data.compare(0, 3, kBom) == 0) {
    out.bom = true;
    pos = 3;
  }
  while (pos < data.size()) {
    size_t nl = data.find('\n', pos);
    if (nl == std::string::npos) nl = data.size();
    std::string line = data.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // A line that is none of heading, entry, comment or blank is no setting, but it is the
    // user's: it is kept as it stands.
    out.lines.push_back(std::move(line));
    pos = nl + 1;
  }
  return out;
}

// Index range of a section's lines: heading index and one past its last line; nullopt if absent.
struct SectionSpan {
  size_t heading;
  size_t end;
};

std::optional<SectionSpan> FindSection(const std::vector<std::string>& lines, const std::string& section) {
  std::string name;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (Heading(lines[i], name) && SameName(name, section)) {
      size_t end = i + 1;
      while (end < lines.size() && !Heading(lines[end], name)) ++end;
      return SectionSpan{i, end};
    }
  }
  return std::nullopt;
}

bool SplitEntry(const std::string& line, std::string& name, std::string& value) {
  const std::string t = Trim(line);
  if (t.empty() || t[0] == ';' || t[0] == '#' || t[0] == '[') return false;
  const size_t eq = t.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  name = Trim(t.substr(0, eq));
  value = Trim(t.substr(eq + 1));
  return true;
}

// Values with blanks at either end, or starting with a quote, are written in quotes so that
// reading them back (which trims blanks and drops one pair of quotes) gives the same text.
std::string QuoteValue(const std::string& v) {
  const bool needs =
      !v.empty() && (v.front() == ' ' || v.front() == '\t' || v.back() == ' ' || v.back() == '\t' || v.front() == '"');
  return needs ? "\"" + v + "\"" : v;
}

std::string UnquoteValue(const std::string& v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') return v.substr(1, v.size() - 2);
  return v;
}

// Names are looked up without their blanks at either end, as they are written.
std::optional<std::string> FindRaw(const std::string& path, const std::string& sectionName,
                                   const std::string& entryName) {
  const std::string section = Trim(sectionName);
  const std::string entry = Trim(entryName);
  const Loaded file = LoadFile(path);
  if (file.state != FileState::kGood) return std::nullopt;
  const auto span = FindSection(file.lines, section);
  if (!span) return std::nullopt;
  std::string name, value;
  for (size_t i = span->heading + 1; i < span->end; ++i) {
    if (SplitEntry(file.lines[i], name, value) && SameName(name, entry)) return UnquoteValue(value);
  }
  return std::nullopt;
}

// A name that would make its line a comment could be written but never found again.
bool ValidName(const std::string& s) {
  const std::string t = Trim(s);
  if (t.empty() || t[0] == ';' || t[0] == '#') return false;
  return s.find_first_of("[]=\r\n", 0) == std::string::npos && s.find('\0') == std::string::npos;
}

class FileLock {
 public:
  explicit FileLock(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    const uint32_t deadline = TickCount() + kLockWaitMs;
    // Writers hold the lock for a few milliseconds; a bounded retry keeps a stuck holder
    // from hanging this program.
    while (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) break;
      if (TickReached(TickCount(), deadline)) break;
      usleep(1000);
    }
  }
  ~FileLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the flock
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

 private:
  int fd_ = -1;
};

bool WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Where `path` leads once every symbolic link on its last component is followed; the path
// itself when it is no link. A link to a file not there yet leads to where it would be.
std::string LinkTarget(std::string path) {
  constexpr int kMaxHops = 40;  // the kernel's own limit on links in a row
  for (int hop = 0; hop < kMaxHops; ++hop) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(PATH_MAX, '\0');
    const ssize_t n = readlink(path.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return path;
    target.resize(static_cast<size_t>(n));
    path = target[0] == '/' ? target : FolderOf(path) + "/" + target;
  }
  return path;
}

bool ReplaceFile(const std::string& path, const std::string& content) {
  // A fresh name beside the file, made by the system: writers in other threads and programs
  // never share one.
  std::string tmp = path + ".tmp-XXXXXX";
  const int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = WriteAll(fd, content) && fsync(fd) == 0;
  if (close(fd) != 0 || !ok || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace

int Profile::GetInt(const std::string& section, const std::string& entry, int def) const {
  const auto raw = FindRaw(path_, section, entry);
  if (!raw || raw->empty()) return def;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(raw->c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < -2147483648LL || v > 4294967295LL) return def;
  return static_cast<int>(static_cast<uint32_t>(v));
}

std::string Profile::GetString(const std::string& section, const std::string& entry, const std::string& def) const {
  const auto raw = FindRaw(path_, section, entry);
  return raw ? *raw : def;
}

bool Profile::WriteInt(const std::string& section, const std::string& entry, int value) {
  return Write(section, entry, std::to_string(value));
}

bool Profile::WriteString(const std::string& section, const std::string& entry, const std::string& value) {
  if (value.find_first_of("\r\n") != std::string::npos || value.find('\0') != std::string::npos) return false;
  return Write(section, entry, QuoteValue(value));
}

bool Profile::Write(const std::string& sectionName, const std::string& entryName, const std::string& raw) {
  if (!ValidName(sectionName) || !ValidName(entryName) || path_.empty()) return false;
  const std::string section = Trim(sectionName);
  const std::string entry = Trim(entryName);
  if (!MakeFolders(FolderOf(path_))) return false;
  FileLock lock(path_ + ".lock");
  Loaded file = LoadFile(path_);
  if (file.state == FileState::kUnreadable) return false;
  // A profile made read-only stays as it is: renaming a new file over it would get round that.
  if (file.state != FileState::kMissing && access(path_.c_str(), W_OK) != 0) return false;
  if (file.state == FileState::kCorrupt) {
    // Keep the damaged file for inspection rather than carrying its garbage forward.
    if (rename(path_.c_str(), (path_ + ".corrupt").c_str()) != 0) return false;
    file.lines.clear();
  }
  std::vector<std::string>& lines = file.lines;
  const std::string newLine = Trim(entry) + "=" + raw;
  if (auto span = FindSection(lines, section)) {
    std::string name, value;
    bool replaced = false;
    for (size_t i = span->heading + 1; i < span->end; ++i) {
      if (SplitEntry(lines[i], name, value) && SameName(name, entry)) {
        lines[i] = newLine;
        replaced = true;
        break;
      }
    }
    if (!replaced) {
      // After the section's last non-blank line, so blank separators stay between sections.
      size_t at = span->end;
      while (at > span->heading + 1 && Trim(lines[at - 1]).empty()) --at;
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), newLine);
    }
  } else {
    if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
    lines.push_back("[" + Trim(section) + "]");
    lines.push_back(newLine);
  }
  std::string content = file.bom ? kBom : "";
  for (const auto& l : lines) content += l + "\n";
  // A linked profile (as dotfile managers keep them) is written through to its target.
  return ReplaceFile(LinkTarget(path_), content);
}

std::string ProgramProfilePath(const std::string& programPath) {
  return XdgConfigHome() + "/" + ProgramName(programPath) + ".ini";
}

std::string CompanyProfilePath(const std::string& company, const std::string& program) {
  return XdgConfigHome() + "/" + company + "/" + program + ".ini";
}

}  // namespace kestrune
