// SPDX-License-Identifier: MIT
// The entries of the update file list: which files are looked for, how each becomes one entry
// (its text and the path it carries) and the sort orders.
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "updates/wildcard_search.h"

namespace kestrune {

// One list entry: the text shown and the path of the file it stands for. Entries without a path
// (files marked " !! Bad File !!") cannot be sent.
struct UpdateEntry {
  QString text;
  std::optional<std::string> path;
};

// Sort modes of the "sort" flag; any other value keeps the order of the search.
enum UpdateSortMode : int {
  kSortNone = 0,
  kSortTextAscending = 1,
  kSortTextDescending = 2,
  kSortDateAscending = 3,
  kSortDateDescending = 4,
};

// The patterns searched when the command line gives none, in this order.
inline constexpr const char* kDefaultUpdatePatterns[] = {"*.bam", "*.hex?"};

// The path as the list shows it: whole up to 32 characters, else "..." and its last 32.
QString ShortPath(const std::string& path);

// Builds the entry for one found file. The date uses the file's modification time in local
// time, with the time of day and in parentheses for the date sort modes (3 and 4). Only a
// regular file (links followed) gets a path; anything else is a " !! Bad File !!" entry.
UpdateEntry MakeUpdateEntry(const std::string& path, int sortMode);

// Entry text order of the process's locale (QLocale's default), letter case significant:
// negative, 0 or positive.
int CompareEntryText(const QString& a, const QString& b);

// Order by the date and time in the part after an entry text's last '(': -1, 0 or 1. Missing
// fields count as 1/1/00 00:00:00, two-digit years below 50 as 20xx. Fields out of range carry
// over as the calendar does (month 13 is January of the next year); a time the calendar cannot
// represent sorts before every other. Equal times fall back to CompareEntryText.
int CompareEntryDate(const QString& a, const QString& b);

// Reorders `entries` by a sort mode; each entry keeps its path. Descending modes give exactly
// the reverse of the ascending order.
void SortUpdateEntries(std::vector<UpdateEntry>& entries, int sortMode);

// The search bound to the update list: every file found becomes an entry at the list's end.
class UpdateFileSearch : public WildcardSearch {
 public:
  UpdateFileSearch(std::vector<UpdateEntry>& entries, int sortMode) : entries_(entries), sortMode_(sortMode) {}
  int FileFound(const std::string& path) override;

 private:
  std::vector<UpdateEntry>& entries_;
  int sortMode_;
};

// Searches the patterns (each on its own, in order; none or only empty ones: "*.bam" then
// "*.hex?") and returns the entries in search order.
std::vector<UpdateEntry> FindUpdateEntries(const std::vector<std::string>& patterns, int sortMode);

}  // namespace kestrune
