// SPDX-License-Identifier: MIT
// The sheet's serial page: hidden page buttons, kill-active as OK, transport reopen.
#include "setup/comms_serial_page.h"

#include <QPushButton>

#include "protocol/protocol_engine.h"
#include "setup/romsend_sheet.h"
#include "transport/serial_transport.h"

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
  if (Changed()) {
    // The port chosen here is this run's from now on, also for a transport already built.
    if (RomsendSheet* sheet = RomsendSheet::Instance()) sheet->SetRunPort(Model().portText);
    if (ProtocolEngine* engine = TheSender()) {
      if (auto* serial = dynamic_cast<SerialTransport*>(engine->Driver()); serial && serial->FixedPort())
        serial->SetFixedPort(Model().portText);
      engine->ReopenIfIdle();
    }
  }
}

bool CommsSerialPage::OnKillActive() {
  OnOK();
  return true;
}

}  // namespace kestrune
