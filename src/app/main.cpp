// SPDX-License-Identifier: MIT
// romsend: sends firmware update files to a unit in its update mode.
#include <QApplication>
#include <cstdio>
#include <string>

#include "app/bridge_port.h"
#include "app/main_page.h"
#include "app/qt_event_pump.h"
#include "app/qt_message_box.h"
#include "app/romsend_app.h"
#include "app/run_mode.h"
#include "app/shown_report.h"
#include "app/stop_signals.h"
#include "platform/diagnostic_log.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "platform/run_context.h"
#include "protocol/protocol_engine.h"
#include "setup/romsend_context.h"

int main(int argc, char** argv) {
  // Answered before any window or setting is touched, as a Linux user expects.
  if (const auto answered = kestrune::AnswerInfoRequest(argc, argv, stdout)) return *answered;
  const bool unattended = kestrune::AsksForUnattended(argc, argv);
  if (!kestrune::PrepareDisplay(unattended, stderr)) return kestrune::kExitNothingToSend;

  // The program's path and its diagnostic log, read and made once here and handed down.
  const std::string programPath = kestrune::ProgramPath();
  kestrune::DiagnosticLog log(programPath);
  // Qt's own warnings go to the diagnostic log in an unattended run: its standard error is for
  // the program's one-line messages.
  const kestrune::QtMessagesToLog qtMessages(log, unattended);
  QApplication app(argc, argv);
  kestrune::ReportFirstWindowShownIfAsked(app);

  // What every layer uses of the program, made once here and handed down.
  kestrune::QtEventPump pump;
  kestrune::QtMessageBox windowBoxes;
  kestrune::UnattendedMessageBox quietBoxes;
  kestrune::MessageBoxes boxes(unattended ? static_cast<kestrune::MessageBoxService&>(quietBoxes) : windowBoxes);
  kestrune::Profile profile(kestrune::RomsendProfilePath(programPath));
  const kestrune::RunContext run{pump, boxes, profile, log, programPath};

  // The one protocol engine lives from start to end; it opens the result log in the working folder.
  kestrune::ProtocolEngine engine(run, "romsend.txt");
  const kestrune::RomsendContext context{run, engine};

  kestrune::RomsendApp theApp(context, kestrune::FindBridgePort);
  kestrune::StopSignals stopSignals([&theApp](int) { kestrune::StopOnSignal(theApp.Sheet()); });
  theApp.InitInstance(argc, argv);
  return theApp.ExitStatus();
}
