// SPDX-License-Identifier: MIT
// romsend start-up: profile, sheet, flags, the ZT770 bridge lookup, the modal run.
#include "romsend_app.h"

#include <cctype>
#include <memory>

#include "app/about_page.h"
#include "app/flag_parser.h"
#include "app/help_dialog.h"
#include "app/main_page.h"
#include "app/run_mode.h"
#include "app/stop_signals.h"
#include "platform/diagnostic_log.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "setup/comms_serial_page.h"
#include "setup/midi_page.h"
#include "setup/romsend_sheet.h"
#include "transport/serial_transport.h"

namespace kestrune {

struct RomsendApp::Parsing {
  FlagEntry table[kRomsendFlagRows];
  std::unique_ptr<FlagParser> info;
};

RomsendApp::RomsendApp(const RomsendContext& context, BridgeFinder findBridge)
    : context_(context), findBridge_(std::move(findBridge)) {}

RomsendApp::~RomsendApp() {
  Finish();
}

std::string RomsendProfilePath(const std::string& programPath) {
  const std::string name = ProgramName(programPath);
  return CompanyProfilePath("Kestrune", name.empty() ? "romsend" : name);
}

std::string ResolvePortName(const std::string& typed, const RomsendApp::BridgeFinder& findBridge, MessageBoxes& boxes) {
  if (typed.empty()) return typed;
  std::string upper = typed;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.rfind("ZT770", 0) != 0) return typed;
  const std::string found = findBridge ? findBridge() : std::string();
  if (found.empty()) {
    boxes.Show("Cannot find ZT770+", "Problem", kBoxOk | kBoxIconWarning);
    return {};
  }
  return found;
}

namespace {

// The port chosen on the serial page is this run's from now on, also for a transport already
// built; an idle transport reopens so that an open port takes the new settings.
void UsePortFromNowOn(RomsendSheet& sheet, const std::string& port) {
  sheet.SetRunPort(port);
  ProtocolEngine& engine = sheet.Context().engine;
  if (auto* serial = dynamic_cast<SerialTransport*>(engine.Driver()); serial && serial->FixedPort())
    serial->SetFixedPort(port);
  engine.ReopenIfIdle();
}

}  // namespace

RomsendSheet::Pages RomsendPages() {
  RomsendSheet::Pages pages;
  pages.main = [](RomsendSheet& sheet) -> PropertyPage* {
    auto* main = new MainPage(sheet);
    main->showAbout = [main] { AboutPage::DoModal(main); };
    return main;
  };
  pages.comms = [](RomsendSheet& sheet) -> PropertyPage* {
    auto* page = new CommsSerialPage(sheet.Context().run);
    page->SetCommsModeSwitch([&sheet](int mode) { sheet.SetCommsMode(mode); });
    page->SetPortChosen([&sheet](const std::string& port) { UsePortFromNowOn(sheet, port); });
    return page;
  };
  pages.help = [](RomsendSheet& sheet) -> PropertyPage* {
    return new HelpDialog(sheet.Context().run.programPath, sheet.commsMode);
  };
  pages.about = [](RomsendSheet&) -> PropertyPage* { return new AboutPage; };
  pages.midi = [](RomsendSheet& sheet) -> PropertyPage* {
    auto* page = new CommsMidiPage(sheet.Context().run);
    page->SetCommsModeSwitch([&sheet](int mode) { sheet.SetCommsMode(mode); });
    return page;
  };
  return pages;
}

bool RomsendApp::InitInstance(int argc, const char* const* argv, bool runModal) {
  // Each run's log starts with how the program was started, so a report can be matched to it.
  std::string commandLine;
  for (int i = 1; i < argc; ++i) commandLine += std::string(" ") + (argv[i] ? argv[i] : "");
  context_.run.log.Printf("romsend started:%s", commandLine.c_str());

  sheet_ = new RomsendSheet(context_, QStringLiteral("Kestrune Update Utility"), RomsendPages(), nullptr, 0);

  auto* main = static_cast<MainPage*>(sheet_->GetPage(0));
  parsing_ = new Parsing{};
  FillRomsendFlagTable(parsing_->table, &main->batchFlag, &main->sortMode, &sheet_->portText, &main->unattendedFlag);
  parsing_->info = std::make_unique<FlagParser>(parsing_->table, context_.run.boxes, context_.run.programPath);
  main->searchPatterns = ParseCommandLine(*parsing_->info, argc, argv);
  if (main->unattendedFlag) main->batchFlag = 1;

  const std::string typedPort = sheet_->portText;
  sheet_->portText = ResolvePortName(typedPort, findBridge_, context_.run.boxes);

  exitStatus_ = kExitSent;
  bool run = FirstPipedStopSignal() == 0;
  if (main->unattendedFlag) {
    // Nobody is there to notice a flag that was not taken, or a bridge that is not attached:
    // sending the profile's choice instead could update another unit.
    if (const auto doubtful = DoubtfulArgument(*parsing_->info, main->searchPatterns.size(), argc, argv)) {
      context_.run.boxes.Show("Not taken: " + *doubtful + " (see romsend --help)", "Bad command line", kBoxOk);
      exitStatus_ = kExitNothingToSend;
      run = false;
    } else if (!typedPort.empty() && sheet_->portText.empty()) {
      exitStatus_ = kExitNoContact;
      run = false;
    }
  }

  if (runModal) {
    if (run) {
      sheet_->exec();
      exitStatus_ = main->batchFlag ? main->exitStatus : kExitSent;
    }
    if (const int signal = FirstPipedStopSignal()) exitStatus_ = kExitSignalBase + signal;
    Finish();
  }
  return false;
}

void RomsendApp::Finish() {
  if (parsing_) {
    // The parameter file, if asked for, is written from the fields' final values.
    parsing_->info.reset();
    delete parsing_;
    parsing_ = nullptr;
  }
  delete sheet_;
  sheet_ = nullptr;
}

}  // namespace kestrune
