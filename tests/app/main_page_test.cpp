// SPDX-License-Identifier: MIT
// The main page driving whole sends: real widgets offscreen, the program's engine and serial
// transport, and the simulated unit on a pty. What the unit received, what the status line
// showed, and how the buttons and the sheet behaved.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <cstdio>
#include <memory>

#include "app/main_page.h"
#include "app/qt_event_pump.h"
#include "app/romsend_app.h"
#include "app/update_list.h"
#include "bam_image.h"
#include "midi_unit.h"
#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "platform/midi_loopback.h"
#include "platform/profile.h"
#include "platform/tick_count.h"
#include "protocol/protocol_engine.h"
#include "qt_app.h"
#include "romsend_plumbing.h"
#include "setup/romsend_sheet.h"
#include "simulated_unit.h"
#include "test_env.h"
#include "updates/hex_line_transfer.h"

namespace kestrune {
namespace {

// romsend started in the test's working folder with a unit attached; the sample files lie in
// the folder. Every text the status line showed is collected. Each one has a profile of its
// own, so no test sees what an earlier one in the same process stored.
// A settings folder of the test's own, in place before the plumbing names its profile there.
struct OwnConfigHome {
  test::TempDir config;
  test::ScopedEnv configHome{"XDG_CONFIG_HOME", config.Path().c_str()};
};

struct Romsend : OwnConfigHome, test::RomsendPlumbing {
  sim::SimulatedUnit unit;
  std::unique_ptr<RomsendApp> app;  // goes first, before the plumbing
  MainPage* main = nullptr;
  std::vector<std::string> shown;
  std::function<void(const std::string&)> onShown;

  Romsend() {
    EXPECT_TRUE(unit.Start()) << unit.LastError();
    const std::vector<uint8_t> bam = bamgen::BuildBam(bamgen::SampleBam());
    test::WriteFileBytes("Kestrune_Demo.bam", std::string(bam.begin(), bam.end()));
    test::WriteFileBytes("Kestrune_Demo.hex", bamgen::SampleHex());
  }

  // Starts the program with `args` and shows its window (the main page opens); `beforeShow`
  // writes settings into the profile the program selected.
  void Start(std::vector<const char*> args = {}, const std::function<void()>& beforeShow = {}) {
    args.insert(args.begin(), "romsend");
    app = std::make_unique<RomsendApp>(context, [] { return std::string(); });
    app->InitInstance(static_cast<int>(args.size()), args.data(), false);
    // The unit's port, stored after start-up.
    profile.WriteString("serial", "port", unit.SlavePath());
    if (beforeShow) beforeShow();
    app->Sheet()->show();
    main = static_cast<MainPage*>(app->Sheet()->GetPage(0));
    QObject::connect(Status(), &QLineEdit::textChanged, [this](const QString& text) {
      shown.push_back(text.toStdString());
      if (onShown) onShown(shown.back());
    });
  }
  QLineEdit* Status() const { return main->ControlAs<QLineEdit>(MainPage::kIdStatus); }
  QListWidget* List() const { return main->ControlAs<QListWidget>(MainPage::kIdList); }
  QPushButton* Button(int id) const { return main->ControlAs<QPushButton>(id); }
  void Select(const std::string& fileName) {
    for (int i = 0; i < List()->count(); ++i) {
      const auto path = UpdateEntryPath(List()->item(i));
      if (path && path->size() >= fileName.size() &&
          path->compare(path->size() - fileName.size(), fileName.size(), fileName) == 0) {
        List()->setCurrentRow(i);
        return;
      }
    }
    ADD_FAILURE() << fileName << " is not listed";
  }
  bool Shown(const std::string& text) const { return std::find(shown.begin(), shown.end(), text) != shown.end(); }
  // Runs the event loop until `done` or 60 s.
  bool RunUntil(const std::function<bool()>& done) {
    const uint32_t end = TickCount() + 60000;
    while (!done() && !TickReached(TickCount(), end)) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
  }
  bool Idle() const {
    return !main->sendInProgress && Button(MainPage::kIdSend)->isEnabled() && Button(MainPage::kIdStop)->isHidden() &&
           !engine->Transfer().running;
  }
};

TEST(MainPage, SendsTheSelectedBamAndStoresItAsLastFile) {
  Romsend r;
  r.Start();
  r.Select("Kestrune_Demo.bam");
  r.main->OnSend();
  EXPECT_EQ(r.Status()->text().toStdString(), "Transfer Successful");
  EXPECT_EQ(r.unit.Snapshot().imageHeader, bamgen::ImageHeader(bamgen::SampleBam()));
  EXPECT_NE(r.profile.GetString("Romsend", "LastFile", "").find("Kestrune_Demo.bam"), std::string::npos);
  EXPECT_TRUE(r.Idle());

  // The next start selects the file stored as the last one, here the list's second entry.
  r.Select("Kestrune_Demo.hex");
  const std::optional<std::string> hex = UpdateEntryPath(r.List()->currentItem());
  ASSERT_TRUE(hex);
  r.profile.WriteString("Romsend", "LastFile", *hex);
  r.app.reset();
  r.Start();
  EXPECT_EQ(UpdateEntryPath(r.List()->currentItem()), hex);
  EXPECT_NE(r.List()->currentRow(), 0);
}

TEST(MainPage, FailuresStillStoreLastFileAndLeaveTheLastText) {
  Romsend r;
  r.unit.SetReplyFault(sim::kCmdOpen, sim::Stage::kResult, {sim::ReplyFault::Kind::kCode, 4010, "", -1});
  r.Start();
  r.Select("Kestrune_Demo.bam");
  EXPECT_NE(r.main->Send(*UpdateEntryPath(r.List()->currentItem())), 0);
  EXPECT_NE(r.profile.GetString("Romsend", "LastFile", "").find("Kestrune_Demo.bam"), std::string::npos);
  // The transfer's own end text, then the engine's last message.
  EXPECT_TRUE(r.Shown("Transfer Failed ! (E4010)"));
  EXPECT_EQ(r.shown.back(), r.engine->MessageText());
  EXPECT_TRUE(r.Idle());
}

TEST(MainPage, RebootAndSerialButtons) {
  Romsend r;
  r.Start({}, [&r] { r.profile.WriteInt("Romsend", "SerialReset", 1); });
  EXPECT_FALSE(r.Button(MainPage::kIdReboot)->isHidden());
  // A BAM entry: the 'V' request, which a serial unit does not answer with 'W'.
  r.Select("Kestrune_Demo.bam");
  r.main->OnReboot();
  ASSERT_EQ(r.boxes.Boxes().size(), 1u);
  EXPECT_EQ(r.boxes.Boxes()[0].text, "Reboot Unsuccessful");
  EXPECT_EQ(r.boxes.Boxes()[0].title, "Problem !!");
  EXPECT_EQ(r.boxes.Boxes()[0].style, kBoxOk | kBoxIconWarning);
  EXPECT_EQ(r.main->operationMode, 0);
  r.main->OnSerial();  // the same request, answer not looked at
  EXPECT_EQ(r.boxes.Boxes().size(), 1u);
  // A HEX entry: Reboot runs the HEX line transfer.
  r.Select("Kestrune_Demo.hex");
  r.main->OnReboot();
  EXPECT_EQ(r.Status()->text().toStdString(), "Success!");
  EXPECT_FALSE(r.unit.Snapshot().hexLines.empty());
}

TEST(MainPage, RebootOverMidiWhenTheUnitAnswers) {
  Romsend r;
  MidiLoopback midi;
  sim::MidiUnit unit;
  ASSERT_TRUE(unit.Start(midi.AddDevice("USB Audio Device")));
  r.run.midiPorts = midi.PortsFactory();
  r.Start({}, [&r] {
    r.profile.WriteInt("Romsend", "SerialReset", 1);
    r.profile.WriteInt("Config", "CommsMode", 1);
  });
  r.main->commsMode = 1;  // the sheet read its mode before the profile said MIDI
  r.Select("Kestrune_Demo.bam");
  r.main->OnReboot();
  EXPECT_TRUE(r.boxes.Boxes().empty());  // the unit answered 'W'
  unit.SetAnswerReboot(false);
  r.main->OnReboot();
  ASSERT_EQ(r.boxes.Boxes().size(), 1u);
  EXPECT_EQ(r.boxes.Boxes()[0].text, "Reboot Unsuccessful");
  unit.Stop();
}

TEST(MainPage, StopDuringAHexTransfer) {
  Romsend r;
  r.Start();
  r.Select("Kestrune_Demo.hex");
  // A second send asked for meanwhile (a double-click) is ignored.
  bool doubleClickIgnored = false;
  r.onShown = [&r, &doubleClickIgnored](const std::string& text) {
    if (text.rfind("Comparing", 0) != 0 || r.Shown("Stopping.....")) return;
    const size_t before = r.shown.size();
    r.main->OnSend();
    doubleClickIgnored = r.shown.size() == before;
    r.Button(MainPage::kIdStop)->click();
  };
  r.main->OnSend();
  EXPECT_TRUE(doubleClickIgnored);
  ASSERT_TRUE(r.Shown("Stopping....."));
  EXPECT_EQ(r.Status()->text().toStdString(), "Aborted");
  EXPECT_TRUE(r.Idle());
}

// The progress bar over successive sends in one window: hidden until a send's transfer
// reports progress (also after an earlier send left it full), at each progress text the
// percentage that text shows, full after success, where it stopped after a failure.
TEST(MainPage, ProgressBarFollowsEachTransfer) {
  using Fault = sim::HexLineFault;
  struct Row {
    const char* name;
    const char* file;
    std::vector<Fault> faults;  // the unit's answers to the HEX lines
    bool succeeds;
  };
  const Row rows[] = {
      {"BAM sent whole", "Kestrune_Demo.bam", {}, true},
      {"HEX refused midway",
       "Kestrune_Demo.hex",
       {{Fault::Kind::kVerdict, '+', 0, 30}, {Fault::Kind::kVerdict, '!', 0, 7}},
       false},
      // Blank lines after the last record: the last progress text falls short of 100%.
      {"HEX sent whole", "Blank_Tail.hex", {}, true},
  };
  Romsend r;
  test::WriteFileBytes("Blank_Tail.hex", bamgen::SampleHex() + std::string(100, '\n'));
  r.Start();
  auto* bar = r.main->ControlAs<QProgressBar>(MainPage::kIdProgress);
  ASSERT_NE(bar, nullptr);
  EXPECT_TRUE(bar->isHidden());
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    r.unit.SetHexLineFaults(row.faults);
    r.Select(row.file);
    int progressTexts = 0;
    int last = -1;
    r.onShown = [&](const std::string& text) {
      float percent = -1;
      if (std::sscanf(text.c_str(), "Copying ... %f", &percent) != 1 &&
          std::sscanf(text.c_str(), "Comparing ... %f", &percent) != 1) {
        // Contact, title, erase: no transfer has reported progress yet.
        EXPECT_TRUE(progressTexts > 0 || bar->isHidden()) << text;
        return;
      }
      ++progressTexts;
      EXPECT_FALSE(bar->isHidden()) << text;
      EXPECT_EQ(bar->value(), static_cast<int>(percent)) << text;
      last = bar->value();
    };
    r.main->OnSend();
    r.onShown = nullptr;
    ASSERT_GT(progressTexts, 1);
    EXPECT_FALSE(bar->isHidden());
    if (row.succeeds) {
      EXPECT_EQ(bar->value(), 100);
    } else {
      EXPECT_EQ(bar->value(), last);
      EXPECT_LT(last, 100);
    }
  }
}

TEST(MainPage, ResendsShowInEveryLaterText) {
  Romsend r;
  r.unit.SetBadChecksumFrames(3);
  r.Start();
  r.Select("Kestrune_Demo.bam");
  r.main->OnSend();
  EXPECT_EQ(r.Status()->text().toStdString(), "Transfer Successful (3 retries)");
  r.main->OnSend();
  EXPECT_EQ(r.Status()->text().toStdString(), "Transfer Successful (3 retries)");
}

TEST(MainPage, EntriesThatCannotBeSent) {
  Romsend r;
  test::WriteFileBytes("broken.bam", "x");
  r.Start();
  r.profile.WriteString("Romsend", "LastFile", "before");
  // Nothing selected.
  r.List()->setCurrentRow(-1);
  r.main->OnSend();
  ASSERT_EQ(r.boxes.Boxes().size(), 1u);
  EXPECT_EQ(r.boxes.Boxes()[0].text, "Make a selection first");
  EXPECT_EQ(r.boxes.Boxes()[0].title, "Quorle says...");
  // A bad file: refused before anything is built or sent.
  for (int i = 0; i < r.List()->count(); ++i) {
    if (!UpdateEntryPath(r.List()->item(i))) r.List()->setCurrentRow(i);
  }
  ASSERT_FALSE(UpdateEntryPath(r.List()->currentItem()));
  r.main->OnSend();
  EXPECT_EQ(r.Status()->text().toStdString(), "Not an update file: choose another entry");
  EXPECT_EQ(r.unit.Snapshot().bytesReceived, 0u);
  EXPECT_EQ(r.profile.GetString("Romsend", "LastFile", ""), "before");
}

TEST(MainPage, BatchRunClosesAfterSuccessAndPrintsEveryText) {
  Romsend r;
  std::remove("Kestrune_Demo.hex");
  testing::internal::CaptureStdout();
  r.Start({"/batch"});
  EXPECT_TRUE(r.RunUntil([&r] { return !r.app->Sheet()->isVisible(); }));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Processing \"Kestrune_Demo_Update_1.61\"\n"), std::string::npos) << out;
  EXPECT_NE(out.find("\nTransfer Successful\n"), std::string::npos) << out;
  EXPECT_EQ(r.app->Sheet()->result(), 0);
  EXPECT_EQ(r.unit.Snapshot().LastCommand(), sim::kCmdClose);
}

TEST(MainPage, BatchRunStaysOpenAfterFailure) {
  Romsend r;
  std::remove("Kestrune_Demo.hex");
  r.unit.SetReplyFault(sim::kCmdOpen, sim::Stage::kResult, {sim::ReplyFault::Kind::kCode, 4010, "", -1});
  testing::internal::CaptureStdout();
  r.Start({"/batch"});
  EXPECT_TRUE(r.RunUntil([&r] { return r.Shown("Transfer Failed ! (E4010)"); }));
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(r.app->Sheet()->isVisible());
  EXPECT_TRUE(r.Idle());
  // A person who ends the run now ends it with the failure's exit status, not 0.
  EXPECT_EQ(r.main->exitStatus, 1);
}

}  // namespace
}  // namespace kestrune
