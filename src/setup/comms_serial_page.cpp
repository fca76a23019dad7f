// SPDX-License-Identifier: MIT
// The sheet's serial page: hidden page buttons, kill-active as OK, the chosen port passed on.
#include "setup/comms_serial_page.h"

#include <QPushButton>

namespace kestrune {

void CommsSerialPage::OnInitDialog() {
  SerialPage::OnInitDialog();
  connect(ControlAs<QPushButton>(kIdUseMidi), &QPushButton::clicked, this, [this] { UseMidi(); });
  // The sheet has its own "Finished" button and switches modes itself.
  for (const int id : {kIdOk, kIdCancel, kIdUseMidi}) Control(id)->hide();
}

void CommsSerialPage::UseMidi() {
  if (modeSwitch_) modeSwitch_(1);
}

void CommsSerialPage::OnOK() {
  SerialPage::OnOK();
  if (Changed() && portChosen_) portChosen_(Model().portText);
}

bool CommsSerialPage::OnKillActive() {
  OnOK();
  return true;
}

}  // namespace kestrune
