// SPDX-License-Identifier: MIT
// The update file list control of the main page: the entries it shows (update_entries.h), the
// entry selected at opening, the first status text and the entries' columns.
#pragma once

#include <QString>
#include <QStyledItemDelegate>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/update_entries.h"

class QLineEdit;
class QListWidget;
class QListWidgetItem;

namespace kestrune {

// The item data role under which a list entry carries its path (a QByteArray of the path's bytes).
inline constexpr int kUpdatePathRole = Qt::UserRole;

// Column positions of the entry texts' tab-separated parts, in dialog units.
inline constexpr int kUpdateListTabStops[] = {120, 180};

// The list's first status texts.
inline constexpr const char* kStatusNoFiles = "!! No download files found !!";
inline constexpr const char* kStatusOneFile = "When system is ready, hit 'SEND'";
inline constexpr const char* kStatusPickFile = "select a file and hit 'SEND'";

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
