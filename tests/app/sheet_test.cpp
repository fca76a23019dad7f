// SPDX-License-Identifier: MIT
// romsend's sheet as the program builds it: tab order and texts, the comms mode and its page,
// a command-line port, F1, and a screenshot of every page.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <memory>

#include "app/help_dialog.h"
#include "app/main_page.h"
#include "app/romsend_app.h"
#include "app/update_list.h"
#include "bam_image.h"
#include "platform/message_box.h"
#include "platform/midi_loopback.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "qt_app.h"
#include "romsend_plumbing.h"
#include "setup/config_page.h"
#include "setup/romsend_sheet.h"
#include "simulated_unit.h"
#include "test_env.h"

namespace kestrune {
namespace {

struct Program {
  test::RomsendPlumbing plumbing;
  RecorderMessageBox& boxes = plumbing.boxes;
  MidiLoopback midi;
  std::unique_ptr<RomsendApp> app;

  Program() {
    midi.AddDevice("USB Audio Device");
    plumbing.run.midiPorts = midi.PortsFactory();
  }
  ~Program() {
    app.reset();
    plumbing.run.midiPorts = {};
  }
  Profile& profile() { return plumbing.profile; }
  // Starts romsend with `args` after `prepare` ran on its fresh profile.
  RomsendSheet* Start(std::vector<const char*> args, const std::function<void()>& prepare = {}) {
    args.insert(args.begin(), "romsend");
    app = std::make_unique<RomsendApp>(plumbing.context, [] { return std::string(); });
    std::remove(profile().Path().c_str());
    if (prepare) prepare();
    app->InitInstance(static_cast<int>(args.size()), args.data(), false);
    return app->Sheet();
  }
  static std::vector<std::string> Tabs(RomsendSheet* sheet) {
    std::vector<std::string> tabs;
    for (int i = 0; i < sheet->PageCount(); ++i) tabs.push_back(sheet->TabText(i).toStdString());
    return tabs;
  }
  static int CommsKind(RomsendSheet* sheet) {
    const auto* page = dynamic_cast<ConfigPage*>(sheet->GetPage(sheet->PageCount() - 1));
    for (int i = 0; i < sheet->PageCount() && !page; ++i) page = dynamic_cast<ConfigPage*>(sheet->GetPage(i));
    return page ? page->PageKind() : -1;
  }
};

TEST(RomsendSheet, PagesInOrderUnderTheirTabs) {
  Program p;
  RomsendSheet* sheet = p.Start({});
  sheet->show();
  EXPECT_EQ(Program::Tabs(sheet), (std::vector<std::string>{"Operate ..", "Comms Setup", "Instructions", "About ..."}));
  EXPECT_EQ(Program::CommsKind(sheet), ConfigPage::kKindSerial);
  EXPECT_EQ(sheet->Button(RomsendSheet::kIdFinished)->text(), "Finished");
  EXPECT_TRUE(sheet->Button(RomsendSheet::kIdCancel)->isHidden());
  // F1 without "romsend.hlp" brings the instructions.
  QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
  QApplication::sendEvent(sheet, &f1);
  EXPECT_EQ(sheet->ActiveIndex(), 2);
  sheet->close();
}

TEST(RomsendSheet, MidiModeFromTheProfileKeepsTheSerialPageAtStart) {
  Program p;
  RomsendSheet* sheet = p.Start({}, [&p] { p.profile().WriteInt("Config", "CommsMode", 1); });
  sheet->show();
  EXPECT_EQ(Program::CommsKind(sheet), ConfigPage::kKindSerial);
  EXPECT_EQ(static_cast<MainPage*>(sheet->GetPage(0))->commsMode, 1);
  EXPECT_EQ(static_cast<HelpDialog*>(sheet->GetPage(2))->commsMode, 1);
  sheet->close();
}

TEST(RomsendSheet, ACommandLinePortSwitchesToSerialAndIsStored) {
  Program p;
  RomsendSheet* sheet = p.Start({"/port:/dev/ttyUSB7"}, [&p] { p.profile().WriteInt("Config", "CommsMode", 1); });
  sheet->show();
  EXPECT_EQ(sheet->commsMode, 0);
  EXPECT_EQ(p.profile().GetInt("Config", "CommsMode", -1), 0);
  EXPECT_EQ(p.profile().GetString("serial", "port", ""), "/dev/ttyUSB7");
  // The new serial page is the last tab, under its own caption, and active.
  EXPECT_EQ(Program::Tabs(sheet).back(), "Serial");
  EXPECT_EQ(sheet->ActiveIndex(), sheet->PageCount() - 1);
  sheet->close();

  // The same port again writes nothing.
  Program again;
  std::string before;
  RomsendSheet* second = again.Start({"/port:/dev/ttyUSB7"}, [&before, &again] {
    again.profile().WriteString("serial", "port", "/dev/ttyUSB7");
    before = test::ReadFileBytes(again.profile().Path());
  });
  second->show();
  EXPECT_EQ(test::ReadFileBytes(again.profile().Path()), before);
  second->close();
}

TEST(RomsendSheet, SwitchingTheCommsModeReplacesTheCommsPage) {
  Program p;
  RomsendSheet* sheet = p.Start({});
  sheet->show();
  sheet->SetCommsMode(1);
  QApplication::processEvents();
  EXPECT_EQ(Program::CommsKind(sheet), ConfigPage::kKindMidi);
  EXPECT_EQ(Program::Tabs(sheet), (std::vector<std::string>{"Operate ..", "Instructions", "About ...", "MIDI Config"}));
  EXPECT_EQ(sheet->ActiveIndex(), 3);
  EXPECT_EQ(p.profile().GetInt("Config", "CommsMode", -1), 1);
  EXPECT_EQ(static_cast<MainPage*>(sheet->GetPage(0))->commsMode, 1);
  sheet->SetCommsMode(0);
  QApplication::processEvents();
  EXPECT_EQ(Program::Tabs(sheet).back(), "Serial");
  EXPECT_EQ(p.profile().GetInt("Config", "CommsMode", -1), 0);
  sheet->close();
}

// Renders every page at the default font into the build folder, for a look at the layout, and
// checks that no control reaches past its page.
TEST(RomsendSheet, Screenshots) {
  Program p;
  // The sample files as a user would have them, and one that is not an update.
  const std::vector<uint8_t> bam = bamgen::BuildBam(bamgen::SampleBam());
  test::WriteFileBytes("Kestrune_Demo.bam", std::string(bam.begin(), bam.end()));
  test::WriteFileBytes("Kestrune_Demo.hex", bamgen::SampleHex());
  test::WriteFileBytes("Notes_Only.bam", "");
  // The README's picture shows the window in the middle of sending the sample BAM file.
  sim::SimulatedUnit unit;
  ASSERT_TRUE(unit.Start()) << unit.LastError();
  RomsendSheet* sheet = p.Start({});
  p.profile().WriteString("serial", "port", unit.SlavePath());
  sheet->show();
  const QString dir = QStringLiteral(KESTRUNE_APP_SHOT_DIR "/screenshots");
  QDir().mkpath(dir);
  QApplication::processEvents();
  auto* main = static_cast<MainPage*>(sheet->GetPage(0));
  auto* list = main->ControlAs<QListWidget>(MainPage::kIdList);
  for (int i = 0; i < list->count(); ++i) {
    const auto path = UpdateEntryPath(list->item(i));
    if (path && path->ends_with("Kestrune_Demo.bam")) list->setCurrentRow(i);
  }
  bool shot = false;
  const QMetaObject::Connection watch = QObject::connect(
      main->ControlAs<QLineEdit>(MainPage::kIdStatus), &QLineEdit::textChanged, [&](const QString& text) {
        if (shot || !text.startsWith(QStringLiteral("Copying")) || text.startsWith(QStringLiteral("Copying ... 100")))
          return;
        shot = true;
        EXPECT_FALSE(main->ControlAs<QProgressBar>(MainPage::kIdProgress)->isHidden());
        EXPECT_TRUE(sheet->grab().save(dir + QStringLiteral("/romsend_window.png")));
      });
  main->OnSend();
  QObject::disconnect(watch);
  EXPECT_TRUE(shot) << main->ControlAs<QLineEdit>(MainPage::kIdStatus)->text().toStdString();
  sheet->SetCommsMode(1);
  sheet->SetCommsMode(0);
  QApplication::processEvents();
  for (int i = 0; i < sheet->PageCount(); ++i) {
    sheet->SetActivePage(i);
    QApplication::processEvents();
    PropertyPage* page = sheet->GetPage(i);
    for (QWidget* child : page->findChildren<QWidget*>()) {
      if (child->isHidden() || child->parentWidget() != page) continue;
      EXPECT_TRUE(page->rect().contains(child->geometry())) << sheet->TabText(i).toStdString();
    }
    EXPECT_TRUE(sheet->grab().save(dir + QStringLiteral("/sheet_page_%1.png").arg(i)));
  }
  sheet->SetCommsMode(1);
  QApplication::processEvents();
  EXPECT_TRUE(sheet->grab().save(dir + QStringLiteral("/sheet_midi.png")));
  sheet->close();
  // The unit's line stays until the window is gone: going back to serial reopens the stored
  // port, and the name of a closed pseudo-terminal may by then be another test's line.
  unit.Stop();
}

}  // namespace
}  // namespace kestrune
