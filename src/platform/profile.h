// SPDX-License-Identifier: MIT
// The per-user settings store: named integer and text values grouped in sections, kept in an
// INI file ("[section]" headings, "entry=value" lines, integers in decimal).
#pragma once

#include <string>

namespace kestrune {

// One INI file. Every read parses the file afresh (nothing is cached, so two programs or two
// objects see each other's writes); every write is a read-modify-write under an exclusive
// flock on "<path>.lock", written to a temporary file and renamed over the old one, so a crash
// never leaves a torn file and concurrent writers of different entries lose nothing.
//
// A file that is missing, unreadable, larger than 1 MiB or holding NUL bytes (no text at all)
// reads as all defaults; a write to such a file first moves it aside to "<path>.corrupt"
// instead of copying its garbage forward. In a text file, a line that is no heading, entry,
// comment or blank is skipped when reading and kept as it stands when writing, as is a UTF-8
// byte order mark at the start; a heading may carry a comment after its ']'. When the path is
// a symbolic link, writes replace the link's target, and the link stays. Section and entry
// names match without regard to letter case, as the registry they stand in for does.
//
// Thread-safe: no state besides the path.
class Profile {
 public:
  explicit Profile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // Missing or malformed values read as `def`. Integers are 32-bit (values up to 4294967295
  // are accepted and wrap, as a DWORD read into an int does).
  int GetInt(const std::string& section, const std::string& entry, int def) const;
  std::string GetString(const std::string& section, const std::string& entry, const std::string& def) const;

  // True when the value is in the file afterwards. Fails for texts holding CR, LF or NUL,
  // for names holding '[', ']', '=' or line ends or starting with ';' or '#' (a comment), and
  // when the file cannot be written. Names match without their blanks at either end.
  bool WriteInt(const std::string& section, const std::string& entry, int value);
  bool WriteString(const std::string& section, const std::string& entry, const std::string& value);

 private:
  bool Write(const std::string& section, const std::string& entry, const std::string& raw);
  std::string path_;
};

// "<XDG config>/<program name>.ini": the profile of the program at `programPath` when it has
// none of its own.
std::string ProgramProfilePath(const std::string& programPath);

// "<XDG config>/<company>/<program>.ini": where the registry key
// HKEY_CURRENT_USER\Software\<company>\<program> lives on this platform.
std::string CompanyProfilePath(const std::string& company, const std::string& program);

}  // namespace kestrune
