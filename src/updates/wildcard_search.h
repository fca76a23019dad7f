// SPDX-License-Identifier: MIT
// Finding files by wildcard pattern: the update file list uses it to find the update files.
#pragma once

#include <string>

namespace kestrune {

// Case-insensitive match of `name` against `pattern`: '?' matches any one character and also the
// end of the name; '*' skips name characters up to the first one equal to the pattern character
// after it (no backtracking). Pattern characters left over once the name has ended are ignored,
// so ".hex?" matches ".hex", ".hex1" and ".hex2", and "*" matches every name. 1 for a match,
// else 0. Null is taken as an empty text.
int wildcardMatch(const char* name, const char* pattern);

// A wildcard file search that reports each match to a hook. Runs on the caller's thread.
class WildcardSearch {
 public:
  enum SearchFlags : unsigned { kSearchSubfolders = 1 };

  virtual ~WildcardSearch() = default;

  // A matching file: its path is the pattern's folder part followed by the file's name (a bare
  // name for a pattern without a folder). Non-zero stops the search with that result.
  virtual int FileFound(const std::string& path) = 0;
  // A subfolder about to be searched (only with kSearchSubfolders); the result is not used.
  virtual int FolderFound(const std::string& path);

  // Searches the folder named by `pattern` (relative to the current folder when it has no
  // folder part) for files whose name and extension match the pattern's name and extension
  // parts, after one leading and one trailing double quote are dropped. With kSearchSubfolders
  // the subfolders (except those whose name begins with '.') are searched first, depth first.
  // Returns the first non-zero hook result, else 0. A folder that cannot be listed yields no
  // files. Symbolic links to folders are not followed, so a link loop cannot trap the search.
  int Search(const std::string& pattern, unsigned flags = 0);

 private:
  int SearchFolder(const std::string& folder, const std::string& namePattern, const std::string& extPattern,
                   unsigned flags);
};

}  // namespace kestrune
