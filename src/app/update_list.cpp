// SPDX-License-Identifier: MIT
// The update file list control: filling it with the entries, the selection and first status
// text, and drawing the entries' parts at the tab stops.
#include "update_list.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>

#include "platform/profile.h"
#include "setup/property_page.h"

namespace kestrune {

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
      const std::string lastFile = options.readLastFile ? options.readLastFile() : std::string("<none>");
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
