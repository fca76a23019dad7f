// SPDX-License-Identifier: MIT
// The wildcard file search over the platform's folder listings.
#include "wildcard_search.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "platform/file_system.h"
#include "split_path.h"

namespace kestrune {
namespace {

char Upper(char c) {
  return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

}  // namespace

int wildcardMatch(const char* name, const char* pattern) {
  if (!name) name = "";
  if (!pattern) pattern = "";
  const char* p = pattern;
  const std::size_t length = std::strlen(name);
  // One pattern character per name position, the name's terminating NUL included.
  for (std::size_t i = 0; i <= length; ++i) {
    const char want = Upper(*p);
    if (want == '?') {
      ++p;
    } else if (want == '*') {
      const char stop = Upper(p[1]);
      while (name[i] != '\0' && Upper(name[i]) != stop) ++i;
      if (Upper(name[i]) != stop) return 0;
      p += stop == '\0' ? 1 : 2;
    } else {
      if (want != Upper(name[i])) return 0;
      if (want != '\0') ++p;
    }
  }
  return 1;
}

int WildcardSearch::FolderFound(const std::string&) {
  return 0;
}

int WildcardSearch::Search(const std::string& pattern, unsigned flags) {
  // A pattern may come quoted from a command line.
  std::string work = pattern;
  if (!work.empty() && work.front() == '"') work.erase(0, 1);
  if (work.size() >= 2 && work.back() == '"') work.pop_back();
  const PathParts parts = SplitPathParts(work);
  return SearchFolder(parts.drive + parts.folder, parts.name, parts.ext, flags);
}

// `folder` is empty (the current folder) or ends with '/'. Subfolders get the split parts
// rather than a rebuilt pattern, so a folder whose name begins or ends with a double quote is
// searched under its own name.
int WildcardSearch::SearchFolder(const std::string& folder, const std::string& namePattern,
                                 const std::string& extPattern, unsigned flags) {
  // The whole listing is read before any hook runs, so hooks may change the folder and a deep
  // search keeps no more than one folder open. Only real folders are descended into.
  const std::vector<FolderEntry> entries = ListFolder(folder);
  if (flags & kSearchSubfolders) {
    for (const FolderEntry& entry : entries) {
      if (!entry.isRealFolder || entry.name[0] == '.') continue;
      const std::string path = folder + entry.name;
      FolderFound(path);
      if (const int result = SearchFolder(path + "/", namePattern, extPattern, flags)) return result;
    }
  }
  for (const FolderEntry& entry : entries) {
    if (entry.isFolder) continue;
    const PathParts name = SplitPathParts(entry.name);
    if (wildcardMatch(name.name.c_str(), namePattern.c_str()) && wildcardMatch(name.ext.c_str(), extPattern.c_str())) {
      if (const int result = FileFound(folder + entry.name)) return result;
    }
  }
  return 0;
}

}  // namespace kestrune
