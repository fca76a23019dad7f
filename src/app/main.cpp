// SPDX-License-Identifier: MIT
// romsend: sends firmware update files to a unit in its update mode.
#include <QApplication>
#include <cstdio>

#include "app/bridge_port.h"
#include "app/main_page.h"
#include "app/qt_event_pump.h"
#include "app/qt_message_box.h"
#include "app/romsend_app.h"
#include "app/run_mode.h"
#include "app/shown_report.h"
#include "app/stop_signals.h"
#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "protocol/protocol_engine.h"

int main(int argc, char** argv) {
  // Answered before any window or setting is touched, as a Linux user expects.
  if (const auto answered = kestrune::AnswerInfoRequest(argc, argv, stdout)) return *answered;
  const bool unattended = kestrune::AsksForUnattended(argc, argv);
  if (!kestrune::PrepareDisplay(unattended, stderr)) return kestrune::kExitNothingToSend;

  // Qt's own warnings go to the diagnostic log in an unattended run: its standard error is for
  // the program's one-line messages.
  if (unattended) qInstallMessageHandler(kestrune::LogQtMessage);
  QApplication app(argc, argv);
  kestrune::ReportFirstWindowShownIfAsked(app);
  kestrune::QtEventPump pump;
  kestrune::QtMessageBox windowBoxes;
  kestrune::UnattendedMessageBox quietBoxes;
  kestrune::SetCurrentPump(&pump);
  kestrune::ScopedMessageBox useBoxes(unattended ? static_cast<kestrune::MessageBoxService*>(&quietBoxes)
                                                 : &windowBoxes);
  kestrune::StopSignals stopSignals(kestrune::StopOnSignal);

  // The one protocol engine lives from start to end; it opens the result log in the working folder.
  kestrune::ProtocolEngine engine("romsend.txt");
  engine.SetStatusPrinter(kestrune::PrintStatus);
  kestrune::SetTheSender(&engine);

  kestrune::RomsendApp theApp(kestrune::FindBridgePort);
  theApp.InitInstance(argc, argv);

  kestrune::SetTheSender(nullptr);
  kestrune::SetCurrentPump(nullptr);
  return theApp.ExitStatus();
}
