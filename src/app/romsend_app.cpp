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

namespace kestrune {

struct RomsendApp::Parsing {
  FlagEntry table[kRomsendFlagRows];
  std::unique_ptr<FlagParser> info;
};

RomsendApp::RomsendApp(BridgeFinder findBridge) : findBridge_(std::move(findBridge)) {}

RomsendApp::~RomsendApp() {
  Finish();
}

std::string ResolvePortName(const std::string& typed, const RomsendApp::BridgeFinder& findBridge) {
  if (typed.empty()) return typed;
  std::string upper = typed;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.rfind("ZT770", 0) != 0) return typed;
  const std::string found = findBridge ? findBridge() : std::string();
  if (found.empty()) {
    ShowMessageBox("Cannot find ZT770+", "Problem", kBoxOk | kBoxIconWarning);
    return {};
  }
  return found;
}

bool RomsendApp::InitInstance(int argc, const char* const* argv, bool runModal) {
  SelectProfile(CompanyProfilePath("Kestrune", ProgramName().empty() ? "romsend" : ProgramName()));

  // Each run's log starts with how the program was started, so a report can be matched to it.
  std::string commandLine;
  for (int i = 1; i < argc; ++i) commandLine += std::string(" ") + (argv[i] ? argv[i] : "");
  WriteLog("romsend started:%s", commandLine.c_str());

  RomsendSheet::Pages pages;
  pages.main = [](int& commsMode) -> PropertyPage* {
    auto* main = new MainPage(commsMode);
    main->showAbout = [main] { AboutPage::DoModal(main); };
    return main;
  };
  pages.comms = [](int&) -> PropertyPage* {
    auto* page = new CommsSerialPage;
    page->SetCommsModeSwitch(RomsendSheet::SetCommsMode);
    return page;
  };
  pages.help = [](int& commsMode) -> PropertyPage* { return new HelpDialog(commsMode); };
  pages.about = [](int&) -> PropertyPage* { return new AboutPage; };
  pages.midi = [](int&) -> PropertyPage* {
    auto* page = new CommsMidiPage;
    page->SetCommsModeSwitch(RomsendSheet::SetCommsMode);
    return page;
  };
  sheet_ = new RomsendSheet(QStringLiteral("Kestrune Update Utility"), pages, nullptr, 0);

  auto* main = static_cast<MainPage*>(sheet_->GetPage(0));
  parsing_ = new Parsing{};
  FillRomsendFlagTable(parsing_->table, &main->batchFlag, &main->sortMode, &sheet_->portText, &main->unattendedFlag);
  parsing_->info = std::make_unique<FlagParser>(parsing_->table);
  main->searchPatterns = ParseCommandLine(*parsing_->info, argc, argv);
  if (main->unattendedFlag) main->batchFlag = 1;

  const std::string typedPort = sheet_->portText;
  sheet_->portText = ResolvePortName(typedPort, findBridge_);

  exitStatus_ = kExitSent;
  bool run = CaughtStopSignal() == 0;
  if (main->unattendedFlag) {
    // Nobody is there to notice a flag that was not taken, or a bridge that is not attached:
    // sending the profile's choice instead could update another unit.
    if (const auto doubtful = DoubtfulArgument(*parsing_->info, main->searchPatterns.size(), argc, argv)) {
      ShowMessageBox("Not taken: " + *doubtful + " (see romsend --help)", "Bad command line", kBoxOk);
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
    if (const int signal = CaughtStopSignal()) exitStatus_ = kExitSignalBase + signal;
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
