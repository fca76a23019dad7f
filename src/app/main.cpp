// romsend: sends firmware update files to a unit in its update mode.
#include <QApplication>

#include "app/bridge_port.h"
#include "app/c_romsend_app.h"
#include "app/c_romsend_dlg.h"
#include "app/qt_event_pump.h"
#include "app/qt_message_box.h"
#include "app/shown_report.h"
#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "protocol/sender.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  kestrune::ReportFirstWindowShownIfAsked(app);
  kestrune::QtEventPump pump;
  kestrune::QtMessageBox boxes;
  kestrune::SetCurrentPump(&pump);
  kestrune::ScopedMessageBox useBoxes(&boxes);

  // The one protocol engine lives from start to end; it opens the result log in the working folder.
  kestrune::mySender engine("romsend.txt");
  engine.SetStatusPrinter(kestrune::PrintStatus);
  kestrune::SetTheSender(&engine);

  kestrune::CRomsendApp theApp(kestrune::FindBridgePort);
  theApp.InitInstance(argc, argv);

  kestrune::SetTheSender(nullptr);
  kestrune::SetCurrentPump(nullptr);
  return 0;
}
