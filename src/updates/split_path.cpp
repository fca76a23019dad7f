// SPDX-License-Identifier: MIT
// Path parts on POSIX: '/' separates folders, the last '.' of the last component starts the
// extension (so ".profile" is all extension, as the update-file patterns expect).
#include "split_path.h"

#include <algorithm>

namespace kestrune {

PathParts SplitPathParts(std::string_view path) {
  PathParts parts;
  const std::size_t slash = path.rfind('/');
  const std::size_t nameStart = slash == std::string_view::npos ? 0 : slash + 1;
  parts.folder.assign(path.substr(0, nameStart));
  const std::string_view file = path.substr(nameStart);
  const std::size_t dot = file.rfind('.');
  if (dot == std::string_view::npos) {
    parts.name.assign(file);
  } else {
    parts.name.assign(file.substr(0, dot));
    parts.ext.assign(file.substr(dot));
  }
  return parts;
}

SplitPath::SplitPath(std::string_view path) {
  const PathParts parts = SplitPathParts(path);
  if (!(SetDrive(parts.drive) && SetFolder(parts.folder) && SetName(parts.name) && SetExt(parts.ext))) {
    drive_.fill('\0');
    folder_.fill('\0');
    name_.fill('\0');
    ext_.fill('\0');
  }
}

bool SplitPath::SetDrive(std::string_view drive) {
  return Store(drive_.data(), drive_.size(), drive);
}
bool SplitPath::SetFolder(std::string_view folder) {
  return Store(folder_.data(), folder_.size(), folder);
}
bool SplitPath::SetName(std::string_view name) {
  return Store(name_.data(), name_.size(), name);
}
bool SplitPath::SetExt(std::string_view ext) {
  return Store(ext_.data(), ext_.size(), ext);
}

// A text with a NUL inside is refused too: the field would silently end at it.
bool SplitPath::Store(char* field, std::size_t size, std::string_view text) {
  if (text.size() >= size || text.find('\0') != std::string_view::npos) {
    valid_ = false;
    return false;
  }
  std::copy(text.begin(), text.end(), field);
  field[text.size()] = '\0';
  return true;
}

bool SplitPath::Rebuild(std::string& path) const {
  path.clear();
  if (!valid_) return false;
  std::string joined = drive_.data();
  joined += folder_.data();
  if (folder_[0] != '\0' && joined.back() != '/') joined += '/';
  joined += name_.data();
  if (ext_[0] != '\0' && ext_[0] != '.') joined += '.';
  joined += ext_.data();
  if (joined.size() > kMaxPath) return false;
  path = std::move(joined);
  return true;
}

}  // namespace kestrune
