// SPDX-License-Identifier: MIT
// Splitting a path into folder, name and extension, and joining such parts back into a path.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

namespace kestrune {

// The parts of a path, of any length. The folder keeps its trailing '/', the extension its
// dot: "up/date.v2/unit.tar.bam" is "up/date.v2/", "unit.tar", ".bam". There are no drive
// letters here, so the drive part is always empty.
struct PathParts {
  std::string drive;
  std::string folder;
  std::string name;
  std::string ext;
};
PathParts SplitPathParts(std::string_view path);

// The parts of a path in fixed fields, for building a file name beside another (the help text
// beside the program). A part that does not fit its field, or a rebuilt path longer than
// kMaxPath, is refused rather than cut short: a shortened name would be another file's name.
class SplitPath {
 public:
  static constexpr std::size_t kDriveSize = 3;  // field sizes include the terminating NUL
  static constexpr std::size_t kFolderSize = 256;
  static constexpr std::size_t kNameSize = 256;
  static constexpr std::size_t kExtSize = 256;
  static constexpr std::size_t kMaxPath = 260;  // characters of a rebuilt path

  SplitPath() = default;  // all four parts empty
  explicit SplitPath(std::string_view path);

  // False once a part did not fit, from construction or a setter; Rebuild then refuses.
  bool IsValid() const { return valid_; }

  const char* Drive() const { return drive_.data(); }
  const char* Folder() const { return folder_.data(); }
  const char* Name() const { return name_.data(); }
  const char* Ext() const { return ext_.data(); }

  // Replace one part. A part too long for its field leaves the field as it was, returns false
  // and makes the whole split invalid.
  bool SetDrive(std::string_view drive);
  bool SetFolder(std::string_view folder);
  bool SetName(std::string_view name);
  bool SetExt(std::string_view ext);

  // Joins the parts into `path`: drive, folder (a '/' added when it lacks one), name, extension
  // (a '.' added when it lacks one). False, with `path` emptied, when the split is invalid or the
  // result would be longer than kMaxPath characters.
  bool Rebuild(std::string& path) const;

 private:
  bool Store(char* field, std::size_t size, std::string_view text);

  std::array<char, kDriveSize> drive_{};
  std::array<char, kFolderSize> folder_{};
  std::array<char, kNameSize> name_{};
  std::array<char, kExtSize> ext_{};
  bool valid_ = true;
};

}  // namespace kestrune
