// SPDX-License-Identifier: MIT
// Serial settings page: lists from the model's tables, selection rules, port text cleanup and
// the write-back on OK.
#include "setup/serial_page.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QEvent>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <algorithm>
#include <limits>

namespace kestrune {
namespace {

// One list in its labelled group box; geometry in dialog units. `dropHeight` is the height of
// the opened list, which sets how many entries it shows at once.
struct ListLayout {
  int id;
  const char* label;
  int groupX, groupY, groupWidth, groupHeight;
  int x, y, width, dropHeight;
};

constexpr ListLayout kListLayouts[] = {
    {SerialPage::kIdPort, "&Port", 5, 4, 72, 26, 9, 14, 64, 101},
    {SerialPage::kIdBaud, "&Baud Rate", 80, 4, 64, 26, 84, 14, 55, 122},
    {SerialPage::kIdDataBits, "&Data Bits", 147, 4, 37, 26, 151, 14, 28, 76},
    {SerialPage::kIdStopBits, "&Stop Bits", 5, 36, 37, 26, 9, 46, 28, 102},
    {SerialPage::kIdParity, "&Parity", 45, 36, 56, 26, 49, 46, 48, 86},
    {SerialPage::kIdFlowControl, "&Flow Control", 103, 36, 132, 26, 107, 46, 124, 135},
};

struct ButtonLayout {
  int id;
  const char* text;
  int x, y, width, height;
};

constexpr ButtonLayout kButtonLayouts[] = {
    {SerialPage::kIdUseMidi, "Use MIDI", 188, 7, 50, 14},
    {SerialPage::kIdOk, "OK", 185, 7, 50, 14},
    {SerialPage::kIdCancel, "Cancel", 184, 23, 50, 14},
};

// The lists of the first row end before x = 185, where the buttons stand.
constexpr int kSecondRowY = 36;

// A closed drop-down list is 12 dialog units high; an entry of the opened list about 8.
constexpr int kClosedListHeightDu = 12;
constexpr int kEntryHeightDu = 8;

QString ToQt(std::string_view text) {
  return QString::fromLocal8Bit(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromQt(const QString& text) {
  return text.toLocal8Bit().toStdString();
}

// Port names are device paths of any length (by-id links run long): the port list grows for
// names up to this one and elides longer ones.
constexpr char kLongPortSample[] = "/dev/ttyUSB10";
constexpr int kMaxPortGrowthDu = 64;

// Width in pixels of the list's longest entry.
int WidestEntry(const QComboBox* list) {
  int widest = 0;
  for (int i = 0; i < list->count(); ++i)
    widest = std::max(widest, list->fontMetrics().horizontalAdvance(list->itemText(i)));
  return widest;
}

// Width in pixels of the text field of a closed list.
int TextFieldWidth(const QComboBox* list) {
  QStyleOptionComboBox option;
  option.initFrom(list);
  option.editable = list->isEditable();
  option.frame = true;
  return list->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list).width();
}

// Width in pixels a group box needs to show its whole label.
int LabelNeed(const QGroupBox* group) {
  QStyleOptionGroupBox option;
  option.initFrom(group);
  option.text = group->title();
  option.lineWidth = 1;
  option.textAlignment = group->alignment();
  option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
  const QRect label = group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, group);
  return label.right() + 1 + std::max(label.left(), 0);
}

template <class Table>
void AddEntries(QComboBox* list, const Table& table) {
  for (const auto& entry : table) list->addItem(ToQt(entry));
}

// The first entry that begins with `text`, ignoring letter case, as a drop-down list's own
// search does; -1 when none does.
int FindPrefix(const QComboBox* list, const QString& text) {
  for (int i = 0; i < list->count(); ++i)
    if (list->itemText(i).startsWith(text, Qt::CaseInsensitive)) return i;
  return -1;
}

// The entry equal to `text`; -1 when none is.
int FindExact(const QComboBox* list, const QString& text) {
  for (int i = 0; i < list->count(); ++i)
    if (list->itemText(i) == text) return i;
  return -1;
}

// The selected entry's text; `fallback` when nothing is selected, so that a stored value the
// list cannot show survives an OK instead of being replaced by an empty text.
std::string SelectedText(const QComboBox* list, const std::string& fallback) {
  return list->currentIndex() >= 0 ? FromQt(list->currentText()) : fallback;
}

}  // namespace

std::string CutAtBlank(const std::string& text, size_t from) {
  const size_t blank = text.find(' ', from);
  return blank == std::string::npos ? text : text.substr(0, blank);
}

SerialPage::SerialPage(const RunContext& context, QWidget* parent)
    : ConfigPage(kTemplateId, QStringLiteral("Serial"), kWidthDu, kHeightDu, parent), info_(context, "serial") {}

QComboBox* SerialPage::List(int id) const {
  return ControlAs<QComboBox>(id);
}

void SerialPage::OnInitDialog() {
  const QFontMetrics metrics = fontMetrics();
  for (const ListLayout& l : kListLayouts) {
    auto* group = new QGroupBox(QString::fromLatin1(l.label), this);
    group->setGeometry(DialogUnitsToPixels(metrics, l.groupX, l.groupY, l.groupWidth, l.groupHeight));
    group->show();
    auto* list = new QComboBox;
    AddControl(l.id, list, l.x, l.y, l.width, kClosedListHeightDu);
    // Inside its group box, so that the label's shortcut key moves the focus to the list.
    const QPoint at = list->pos() - group->pos();
    list->setParent(group);
    list->move(at);
    list->resize(list->width(), std::max(list->height(), list->sizeHint().height()));
    list->show();
    list->setMaxVisibleItems(std::max(1, (l.dropHeight - kClosedListHeightDu) / kEntryHeightDu));
  }
  for (const ButtonLayout& b : kButtonLayouts) {
    AddControl(b.id, new QPushButton(QString::fromLatin1(b.text)), b.x, b.y, b.width, b.height);
  }

  // The port list also takes a typed device path: pseudo-terminals and /dev/serial/by-id
  // links are never listed but open like any port.
  QComboBox* port = List(kIdPort);
  port->setEditable(true);
  port->setInsertPolicy(QComboBox::NoInsert);
  port->lineEdit()->setMaxLength(kMaxPortText);
  port->installEventFilter(this);

  FillLists();
  SelectModelTexts();
  List(kIdFlowControl)->setEnabled(FlowControlEditable() != 0);
  FitToFont();

  connect(ControlAs<QPushButton>(kIdOk), &QPushButton::clicked, this, [this] { OnOK(); });
  connect(ControlAs<QPushButton>(kIdCancel), &QPushButton::clicked, this, [this] { OnCancel(); });
  // This page has nothing to switch to; the sheet's variant shows and handles the button.
  Control(kIdUseMidi)->hide();
}

void SerialPage::FillLists() {
  AddEntries(List(kIdBaud), kBaudTexts);
  AddEntries(List(kIdParity), kParityTexts);
  if (info_.PortCount() > 0) AddEntries(List(kIdPort), info_.Ports());
  AddEntries(List(kIdDataBits), kDataBitsTexts);
  AddEntries(List(kIdStopBits), kStopBitsTexts);
  AddEntries(List(kIdFlowControl), kFlowControlTexts);
  // Opened lists are as wide as their longest entry, even where the closed list is narrower
  // (long port paths).
  for (const ListLayout& l : kListLayouts) {
    QComboBox* list = List(l.id);
    list->view()->setMinimumWidth(WidestEntry(list) + 2 * list->fontMetrics().averageCharWidth() + 24);
  }
}

void SerialPage::FitToFont() {
  // The template's sizes suit the font it was drawn for; a wider font or a larger list arrow
  // would clip entries such as "sticky even". A list too narrow for its entries (or a group
  // too narrow for its label) widens, and what stands right of it in its row moves along.
  int rowShift[2] = {0, 0};
  for (const ListLayout& l : kListLayouts) {
    QComboBox* list = List(l.id);
    auto* group = static_cast<QGroupBox*>(list->parentWidget());
    int& shift = rowShift[l.groupY >= kSecondRowY ? 1 : 0];
    group->move(group->x() + shift, group->y());
    int widest = WidestEntry(list);
    int limit = std::numeric_limits<int>::max();
    if (l.id == kIdPort) {
      widest = std::max(widest, list->fontMetrics().horizontalAdvance(QString::fromLatin1(kLongPortSample)));
      limit = list->width() + DialogUnitsToPixels(fontMetrics(), 0, 0, kMaxPortGrowthDu, 0).width();
    }
    const int listNeed = std::min(limit, list->width() - TextFieldWidth(list) + widest + 2);
    const int grow = std::max({0, listNeed - list->width(), LabelNeed(group) - group->width()});
    if (grow == 0) continue;
    list->resize(list->width() + grow, list->height());
    group->resize(group->width() + grow, group->height());
    shift += grow;
  }
  for (const ButtonLayout& b : kButtonLayouts) {
    QWidget* button = Control(b.id);
    button->move(button->x() + rowShift[0], button->y());
  }
  setMinimumWidth(minimumWidth() + std::max(rowShift[0], rowShift[1]));
}

void SerialPage::SelectModelTexts() {
  const std::pair<int, const std::string*> prefixed[] = {{kIdBaud, &info_.baudText},
                                                         {kIdParity, &info_.parityText},
                                                         {kIdDataBits, &info_.dataBitsText},
                                                         {kIdFlowControl, &info_.flowControlText}};
  for (const auto& [id, text] : prefixed) List(id)->setCurrentIndex(FindPrefix(List(id), ToQt(*text)));
  // Exact for stop bits, so that "1" never selects "1.5".
  List(kIdStopBits)->setCurrentIndex(FindExact(List(kIdStopBits), ToQt(info_.stopBitsText)));
  SelectPort();
}

void SerialPage::SelectPort() {
  QComboBox* port = List(kIdPort);
  // Device paths are matched whole: a prefix would take /dev/ttyUSB10 for a stored
  // /dev/ttyUSB1. A port that is not listed stays as typed text so that OK keeps it.
  const int index = FindExact(port, ToQt(info_.portText));
  port->setCurrentIndex(index);
  if (index < 0) port->setEditText(ToQt(info_.portText));
}

void SerialPage::SetPortText(const std::string& port) {
  info_.portText = port;
  if (IsCreated()) SelectPort();
}

bool SerialPage::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut && watched == Control(kIdPort)) OnPortFocusLost();
  return ConfigPage::eventFilter(watched, event);
}

void SerialPage::OnPortFocusLost() {
  QComboBox* port = List(kIdPort);
  const std::string text = FromQt(port->currentText());
  const std::string cut = CutAtBlank(text, kPortCutOnFocusOut);
  if (cut != text) port->setEditText(ToQt(cut));
}

void SerialPage::OnOK() {
  if (!IsCreated()) return;  // never shown: the lists hold nothing to take
  const SerialSettingsModel before = info_;
  info_.portText = CutAtBlank(FromQt(List(kIdPort)->currentText()), kPortCutOnOk);
  info_.baudText = SelectedText(List(kIdBaud), info_.baudText);
  info_.parityText = SelectedText(List(kIdParity), info_.parityText);
  info_.dataBitsText = SelectedText(List(kIdDataBits), info_.dataBitsText);
  info_.stopBitsText = SelectedText(List(kIdStopBits), info_.stopBitsText);
  info_.flowControlText = SelectedText(List(kIdFlowControl), info_.flowControlText);
  changed_ = info_ == before ? 0 : 1;
  if (changed_) info_.Apply();
  ConfigPage::OnOK();
}

}  // namespace kestrune
