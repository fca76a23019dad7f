// SPDX-License-Identifier: MIT
// The update file list of the main page: which files are looked for, how each becomes one list
// entry (its text and the path it carries), the sort orders, the entry selected at opening and
// the first status text.
#pragma once

#include <QString>
#include <QStyledItemDelegate>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "updates/wildcard_search.h"

class QLineEdit;
class QListWidget;
class QListWidgetItem;

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

// The item data role under which a list entry carries its path (a QByteArray of the path's bytes).
inline constexpr int kUpdatePathRole = Qt::UserRole;

// Column positions of the entry texts' tab-separated parts, in dialog units.
inline constexpr int kUpdateListTabStops[] = {120, 180};

// The list's first status texts.
inline constexpr const char* kStatusNoFiles = "!! No download files found !!";
inline constexpr const char* kStatusOneFile = "When system is ready, hit 'SEND'";
inline constexpr const char* kStatusPickFile = "select a file and hit 'SEND'";

// The title of a BAM file for the list, underscores shown as blanks; none when the file does
// not start with a readable title record (a length byte L of 3 to 127, then L + 1 bytes whose
// NUL-terminated text at their start is L - 2 characters long). At most 128 bytes are read;
// only plain files are opened, so a FIFO or device among the files cannot block the search.
std::optional<std::string> ReadBamTitle(const std::string& path);

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

struct UpdateListOptions {
  std::vector<std::string> patterns;  // from the command line; empty for the default ones
  int sortMode = kSortTextAscending;
  bool batch = false;  // batch runs keep the first entry whatever "LastFile" says
  // Reads "Romsend"/"LastFile" (default "<none>"); asked only when the choice depends on it.
  // Empty: no entry is chosen by the last file sent.
  std::function<std::string()> readLastFile;
  // When given, the paths of the entries that carry one are appended here.
  std::vector<std::string>* pathList = nullptr;
};

// Fills the list control: search, entries, sort, selection. Returns the first status text and,
// when `status` is given, puts it straight into that control (no resend note, no pause).
// Call PrepareUpdateListControl on the control once before.
QString FillUpdateList(QListWidget* list, QLineEdit* status, const UpdateListOptions& options);

// Sets the list control up for the entries: one selection at a time, and the entries' parts
// drawn as columns at the tab stops.
void PrepareUpdateListControl(QListWidget* list);

// The path an entry of the list carries; none for an entry without one (or a null item).
std::optional<std::string> UpdateEntryPath(const QListWidgetItem* item);

// Draws an item's text split at its tabs, each part starting at the next tab stop beyond the
// end of the part before it (or a blank further on once the stops are used up), as a list box
// with tab stops does. Stops are in dialog units of the view's font.
class TabStopDelegate : public QStyledItemDelegate {
 public:
  TabStopDelegate(std::vector<int> stopsDu, QObject* parent = nullptr);

  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

  // Left edges of the text's parts in pixels from the text's start, for a font.
  std::vector<int> PartPositions(const QFontMetrics& metrics, const QStringList& parts) const;

 private:
  std::vector<int> stopsDu_;
};

}  // namespace kestrune
