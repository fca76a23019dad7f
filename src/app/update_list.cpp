// SPDX-License-Identifier: MIT
// The update file list: search, entry texts, sort orders, selection and first status text.
#include "update_list.h"

#include <QApplication>
#include <QCollator>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "app/byte_text.h"
#include "platform/file_system.h"
#include "platform/profile.h"
#include "setup/property_page.h"
#include "updates/update_kind.h"

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

std::optional<std::string> ReadBamTitle(const std::string& path) {
  ReadOnlyFile file;
  if (file.Open(path)) return std::nullopt;
  std::optional<std::string> title;
  FileInfo info;
  unsigned char record[128];  // L + 1 bytes, L at most 127
  unsigned char length = 0;
  if (!file.Info(info) && info.IsRegular() && file.ReadFully(&length, 1) == 1 && length < 0x80) {
    const size_t want = length + 1u;
    if (file.ReadFully(record, want) == want) {
      const size_t textLength = strnlen(reinterpret_cast<const char*>(record), want);
      // A title needs its NUL inside the record and at least one character.
      if (textLength < want && textLength >= 1 && textLength + 2 == length) {
        title.emplace(reinterpret_cast<const char*>(record), textLength);
        std::replace(title->begin(), title->end(), '_', ' ');
      }
    }
  }
  return title;
}

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

QString FillUpdateList(QListWidget* list, QLineEdit* status, const UpdateListOptions& options) {
  std::vector<UpdateEntry> entries = FindUpdateEntries(options.patterns, options.sortMode);
  QString statusText;
  int selected = -1;
  if (entries.empty()) {
    statusText = QString::fromLatin1(kStatusNoFiles);
  } else if (entries.size() == 1) {
    selected = 0;
    statusText = QString::fromLatin1(kStatusOneFile);
  } else {
    SortUpdateEntries(entries, options.sortMode);
    selected = 0;
    if (!options.batch) {
      const std::string lastFile =
          options.readLastFile ? options.readLastFile() : AppProfile().GetString("Romsend", "LastFile", "<none>");
      for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].path && *entries[i].path == lastFile) {
          selected = static_cast<int>(i);
          break;
        }
      }
    }
    statusText = QString::fromLatin1(kStatusPickFile);
  }

  if (list) {
    list->clear();
    for (const UpdateEntry& entry : entries) {
      auto* item = new QListWidgetItem(entry.text, list);
      if (entry.path) item->setData(kUpdatePathRole, QByteArray::fromStdString(*entry.path));
    }
    if (selected >= 0) {
      list->setCurrentRow(selected);
      list->scrollToItem(list->item(selected));
    }
  }
  if (options.pathList) {
    for (const UpdateEntry& entry : entries) {
      if (entry.path) options.pathList->push_back(*entry.path);
    }
  }
  if (status) status->setText(statusText);
  return statusText;
}

void PrepareUpdateListControl(QListWidget* list) {
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setItemDelegate(
      new TabStopDelegate(std::vector<int>(std::begin(kUpdateListTabStops), std::end(kUpdateListTabStops)), list));
}

std::optional<std::string> UpdateEntryPath(const QListWidgetItem* item) {
  if (!item) return std::nullopt;
  const QVariant path = item->data(kUpdatePathRole);
  if (!path.isValid()) return std::nullopt;
  return path.toByteArray().toStdString();
}

TabStopDelegate::TabStopDelegate(std::vector<int> stopsDu, QObject* parent)
    : QStyledItemDelegate(parent), stopsDu_(std::move(stopsDu)) {}

std::vector<int> TabStopDelegate::PartPositions(const QFontMetrics& metrics, const QStringList& parts) const {
  std::vector<int> positions;
  int end = 0;
  for (qsizetype i = 0; i < parts.size(); ++i) {
    int x = 0;
    if (i > 0) {
      x = end + metrics.horizontalAdvance(QLatin1Char(' '));
      for (int stop : stopsDu_) {
        const int px = DialogUnitsToPixels(metrics, stop, 0, 0, 0).x();
        if (px > end) {
          x = px;
          break;
        }
      }
    }
    positions.push_back(x);
    end = x + metrics.horizontalAdvance(parts[i]);
  }
  return positions;
}

void TabStopDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyleOptionViewItem opt(option);
  initStyleOption(&opt, index);
  const QStringList parts = opt.text.split(QLatin1Char('\t'));
  opt.text.clear();  // the style draws background, selection and focus; the parts come below
  const QWidget* widget = opt.widget;
  QStyle* style = widget ? widget->style() : QApplication::style();
  style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, &opt, widget) + 1;
  const QRect textRect = opt.rect.adjusted(margin, 0, -margin, 0);
  const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                     : (opt.state & QStyle::State_Active) ? QPalette::Normal
                                                                          : QPalette::Inactive;
  const QPalette::ColorRole role = (opt.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text;
  const std::vector<int> positions = PartPositions(opt.fontMetrics, parts);

  painter->save();
  painter->setClipRect(opt.rect);
  painter->setFont(opt.font);
  painter->setPen(opt.palette.color(group, role));
  for (qsizetype i = 0; i < parts.size(); ++i) {
    const int width = opt.fontMetrics.horizontalAdvance(parts[i]) + opt.fontMetrics.averageCharWidth();
    const QRect partRect(textRect.left() + positions[static_cast<size_t>(i)], textRect.top(), width, textRect.height());
    painter->drawText(partRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, parts[i]);
  }
  painter->restore();
}

QSize TabStopDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QSize size = QStyledItemDelegate::sizeHint(option, index);
  QStyleOptionViewItem opt(option);
  initStyleOption(&opt, index);
  const QStringList parts = opt.text.split(QLatin1Char('\t'));
  const std::vector<int> positions = PartPositions(opt.fontMetrics, parts);
  const QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, &opt, opt.widget) + 1;
  size.setWidth(positions.back() + opt.fontMetrics.horizontalAdvance(parts.back()) + 2 * margin);
  return size;
}

}  // namespace kestrune
