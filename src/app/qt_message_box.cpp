// SPDX-License-Identifier: MIT
// Maps the message-box style bits onto QMessageBox icons and buttons.
#include "qt_message_box.h"

#include <QMessageBox>
#include <QWidget>

namespace kestrune {

int QtMessageBox::Show(const std::string& text, const std::string& title, unsigned style, void* owner) {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  switch (style & kBoxIconMask) {
    case kBoxIconError:
      icon = QMessageBox::Critical;
      break;
    case kBoxIconQuestion:
      icon = QMessageBox::Question;
      break;
    case kBoxIconWarning:
      icon = QMessageBox::Warning;
      break;
    case kBoxIconInformation:
      icon = QMessageBox::Information;
      break;
    default:
      break;
  }
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
  switch (style & kBoxButtonMask) {
    case kBoxOkCancel:
      buttons = QMessageBox::Ok | QMessageBox::Cancel;
      break;
    case kBoxYesNo:
      buttons = QMessageBox::Yes | QMessageBox::No;
      break;
    default:
      break;
  }
  QMessageBox box(icon, QString::fromLocal8Bit(title.c_str()), QString::fromLocal8Bit(text.c_str()), buttons,
                  static_cast<QWidget*>(owner));
  switch (box.exec()) {
    case QMessageBox::Cancel:
      return kAnswerCancel;
    case QMessageBox::Yes:
      return kAnswerYes;
    case QMessageBox::No:
      return kAnswerNo;
    default:
      return kAnswerOk;
  }
}

}  // namespace kestrune
