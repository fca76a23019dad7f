// SPDX-License-Identifier: MIT
// The update list's entries: search, entry texts and sort orders.
#include "update_entries.h"

#include <QCollator>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>

#include "app/byte_text.h"
#include "platform/file_system.h"
#include "updates/update_kind.h"
#include "updates/update_title.h"

namespace kestrune {
namespace {

constexpr const char* kBadFileMark = " !! Bad File !!";
constexpr qsizetype kShortPathLength = 32;
// Date fields are read as far as this; larger numbers are taken as this, so building a time
// from them can never overflow an int.
constexpr long long kDateFieldLimit = 99999999;

std::string FormatDate(time_t when, int sortMode) {
  struct tm local {};
  if (!localtime_r(&when, &local)) return {};
  char text[64];
  size_t length;
  if (sortMode == kSortDateAscending || sortMode == kSortDateDescending)
    length = std::strftime(text, sizeof text, "(%m/%d/%y %H:%M:%S)", &local);
  else
    length = std::strftime(text, sizeof text, "%m/%d/%y", &local);
  return std::string(text, length);
}

// One "%d" field the way sscanf reads it: blanks, an optional sign, at least one digit.
bool ReadDateNumber(const char*& s, int& value) {
  while (std::isspace(static_cast<unsigned char>(*s))) ++s;
  const char* p = s;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  long long v = 0;
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) v = std::min(v * 10 + (*p - '0'), kDateFieldLimit);
  value = static_cast<int>(negative ? -v : v);
  s = p;
  return true;
}

struct DateKey {
  bool valid;  // false when the calendar cannot represent the time
  time_t time;
};

// The time in the part after the text's last '(', read as "%d/%d/%d %d:%d:%d" up to the first
// field that does not match.
DateKey EntryDateKey(const QString& text) {
  const qsizetype open = text.lastIndexOf(QLatin1Char('('));
  const QByteArray part = (open < 0 ? text : text.mid(open + 1)).toUtf8();
  int fields[6] = {1, 1, 0, 0, 0, 0};  // month, day, year, hour, minute, second
  static constexpr char kSeparators[] = {'/', '/', ' ', ':', ':'};
  const char* s = part.constData();
  for (int i = 0; i < 6; ++i) {
    if (i > 0) {
      const char separator = kSeparators[i - 1];
      if (separator == ' ') {
        while (std::isspace(static_cast<unsigned char>(*s))) ++s;
      } else if (*s == separator) {
        ++s;
      } else {
        break;
      }
    }
    if (!ReadDateNumber(s, fields[i])) break;
  }
  const int year = fields[2] < 50 ? 2000 + fields[2] : 1900 + fields[2];
  struct tm when {};
  when.tm_mon = fields[0] - 1;
  when.tm_mday = fields[1];
  when.tm_year = year - 1900;
  when.tm_hour = fields[3];
  when.tm_min = fields[4];
  when.tm_sec = fields[5];
  when.tm_isdst = -1;  // daylight saving as the calendar has it on that day
  errno = 0;
  const time_t time = std::mktime(&when);
  return {!(time == static_cast<time_t>(-1) && errno != 0), time};
}

int CompareDateKeys(const DateKey& a, const DateKey& b) {
  if (a.valid != b.valid) return a.valid ? 1 : -1;
  if (a.valid && a.time != b.time) return a.time < b.time ? -1 : 1;
  return 0;
}

int Sign(int value) {
  return (value > 0) - (value < 0);
}

}  // namespace

QString ShortPath(const std::string& path) {
  const QString text = BytesToText(path);
  // Counted in characters, so a name is never cut inside one.
  const QList<uint> characters = text.toUcs4();
  if (characters.size() <= kShortPathLength) return text;
  const QList<uint> tail = characters.mid(characters.size() - kShortPathLength);
  return QStringLiteral("...") + QString::fromUcs4(reinterpret_cast<const char32_t*>(tail.constData()), tail.size());
}

UpdateEntry MakeUpdateEntry(const std::string& path, int sortMode) {
  std::string date;
  const std::optional<FileInfo> info = PathInfo(path);
  if (info) date = FormatDate(static_cast<time_t>(info->modifiedSec), sortMode);
  if (const std::optional<std::string> title = ReadBamTitle(path)) {
    return {BytesToText(*title) + QStringLiteral("\t(") + ShortPath(path) + QStringLiteral(")\t") +
                QString::fromLatin1(date.data(), static_cast<qsizetype>(date.size())),
            path};
  }
  // Only a regular file (links followed) can be sent: a device or FIFO named like a HEX file
  // would never end, so it is a bad entry like any other file that is no update.
  if (Classify(path) != kKindBam && info && info->IsRegular()) return {BytesToText(path), path};
  return {BytesToText(path) + QString::fromLatin1(kBadFileMark), std::nullopt};
}

int CompareEntryText(const QString& a, const QString& b) {
  QCollator collator;  // the default locale's collation
  collator.setCaseSensitivity(Qt::CaseSensitive);
  return Sign(collator.compare(a, b));
}

int CompareEntryDate(const QString& a, const QString& b) {
  const int byDate = CompareDateKeys(EntryDateKey(a), EntryDateKey(b));
  return byDate != 0 ? byDate : CompareEntryText(a, b);
}

void SortUpdateEntries(std::vector<UpdateEntry>& entries, int sortMode) {
  if (entries.size() < 2 || sortMode < kSortTextAscending || sortMode > kSortDateDescending) return;
  const bool byDate = sortMode == kSortDateAscending || sortMode == kSortDateDescending;
  QCollator collator;
  collator.setCaseSensitivity(Qt::CaseSensitive);
  // Each entry's time is worked out once, so the comparison stays consistent through the sort.
  std::vector<DateKey> keys;
  if (byDate) {
    keys.reserve(entries.size());
    for (const UpdateEntry& entry : entries) keys.push_back(EntryDateKey(entry.text));
  }
  std::vector<size_t> order(entries.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    int result = byDate ? CompareDateKeys(keys[a], keys[b]) : 0;
    if (result == 0) result = collator.compare(entries[a].text, entries[b].text);
    return result < 0;
  });
  std::vector<UpdateEntry> sorted;
  sorted.reserve(entries.size());
  for (size_t i : order) sorted.push_back(std::move(entries[i]));
  if (sortMode == kSortTextDescending || sortMode == kSortDateDescending) std::reverse(sorted.begin(), sorted.end());
  entries = std::move(sorted);
}

int UpdateFileSearch::FileFound(const std::string& path) {
  entries_.push_back(MakeUpdateEntry(path, sortMode_));
  return 0;
}

std::vector<UpdateEntry> FindUpdateEntries(const std::vector<std::string>& patterns, int sortMode) {
  std::vector<std::string> searched;
  for (const std::string& pattern : patterns) {
    if (!pattern.empty()) searched.push_back(pattern);
  }
  if (searched.empty()) searched.assign(std::begin(kDefaultUpdatePatterns), std::end(kDefaultUpdatePatterns));
  std::vector<UpdateEntry> entries;
  UpdateFileSearch search(entries, sortMode);
  for (const std::string& pattern : searched) search.Search(pattern);
  return entries;
}

}  // namespace kestrune
