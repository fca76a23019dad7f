// Main page: its controls in the template's places and its opening steps.
#include "c_romsend_dlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "platform/profile.h"

namespace kestrune {

CRomsendDlg::CRomsendDlg(int& mode, QWidget* parent)
    : PropertyPage(kTemplateId, QStringLiteral("Kestrune Update"), 345, 79, parent), commsMode(mode) {}

void CRomsendDlg::OnInitDialog() {
  auto* list = new QListWidget;
  list->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  AddControl(kIdList, list, 7, 7, 331, 44);
  AddControl(kIdStatusLabel, new QLabel(QStringLiteral("Status")), 7, 59, 21, 8);
  auto* status = new QLineEdit;
  status->setReadOnly(true);
  AddControl(kIdStatus, status, 32, 58, 200, 14);
  AddControl(kIdReboot, new QPushButton(QStringLiteral("Setup")), 235, 58, 27, 14);
  AddControl(kIdSerial, new QPushButton(QStringLiteral("Quit")), 262, 58, 24, 14);
  AddControl(kIdStop, new QPushButton(QStringLiteral("Stop")), 287, 58, 24, 14);
  auto* send = new QPushButton(QStringLiteral("Send"));
  send->setDefault(true);
  AddControl(kIdSend, send, 314, 58, 24, 14);

  serialReset_ = AppProfile().GetInt("Romsend", "SerialReset", 0);
  Control(kIdStop)->hide();
  if (serialReset_ != 0) {
    ControlAs<QPushButton>(kIdReboot)->setText(QStringLiteral("Reboot"));
    ControlAs<QPushButton>(kIdSerial)->setText(QStringLiteral("Serial"));
  } else {
    Control(kIdReboot)->hide();
    Control(kIdSerial)->hide();
  }
}

}  // namespace kestrune
