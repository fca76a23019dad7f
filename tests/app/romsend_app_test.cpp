// SPDX-License-Identifier: MIT
// romsend start-up: flags reach the main page and the sheet, the ZT770 rule, the window.
#include "app/romsend_app.h"

#include <gtest/gtest.h>

#include <QPushButton>
#include <QTabWidget>

#include "app/main_page.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "qt_app.h"
#include "romsend_plumbing.h"
#include "setup/romsend_sheet.h"
#include "test_env.h"
#include "updates/hex_line_transfer.h"

namespace kestrune {
namespace {

struct StartUp {
  test::RomsendPlumbing plumbing;
  RecorderMessageBox& boxes = plumbing.boxes;
  int lookups = 0;
  std::string bridge;  // what the bridge lookup finds
  std::unique_ptr<RomsendApp> app;

  MainPage* Start(std::vector<const char*> args) {
    args.insert(args.begin(), "romsend");
    app = std::make_unique<RomsendApp>(plumbing.context, [this] {
      ++lookups;
      return bridge;
    });
    EXPECT_FALSE(app->InitInstance(static_cast<int>(args.size()), args.data(), false));
    return static_cast<MainPage*>(app->Sheet()->GetPage(0));
  }
};

TEST(RomsendApp, FlagsReachTheMainPageAndTheSheet) {
  StartUp run;
  MainPage* main = run.Start({"*.hex?", "/batch", "-sort", "3", "/port:/dev/ttyUSB1"});
  EXPECT_EQ(main->batchFlag, 1);
  EXPECT_EQ(main->sortMode, 3);
  EXPECT_EQ(run.app->Sheet()->portText, "/dev/ttyUSB1");  // a device path keeps its case
  EXPECT_EQ(main->searchPatterns, std::vector<std::string>{"*.hex?"});
  EXPECT_EQ(run.lookups, 0);
  EXPECT_TRUE(run.boxes.Boxes().empty());
  // The profile is the company's: a later read sees what the sheet writes there.
  EXPECT_EQ(RomsendProfilePath(test::TestProgramPath()),
            XdgConfigHome() + "/Kestrune/" + ProgramName(test::TestProgramPath()) + ".ini");
  EXPECT_EQ(run.plumbing.profile.Path(), RomsendProfilePath(test::TestProgramPath()));
  // The run's diagnostic log starts with the command line.
  const std::string log = test::ReadFileBytes(ReplaceExtension(test::TestProgramPath(), ".log"));
  EXPECT_NE(log.find(") romsend started: *.hex? /batch -sort 3 /port:/dev/ttyUSB1"), std::string::npos) << log;

  // The unattended switch is a row of the same table, and implies batch.
  StartUp unattended;
  MainPage* quiet = unattended.Start({"-UNA"});
  EXPECT_EQ(quiet->unattendedFlag, 1);
  EXPECT_EQ(quiet->batchFlag, 1);
}

TEST(RomsendApp, Zt770PortAsksForTheBridgeAndWarnsOnceWhenAbsent) {
  const struct {
    std::vector<const char*> args;
    int lookups;
    std::string port;
  } rows[] = {{{"/port:zt770"}, 1, ""},
              {{"/port", "ZT770+"}, 1, ""},
              {{"/port:Zt770"}, 1, ""},
              {{"/port:MYZT770"}, 0, "MYZT770"},
              {{"/port:com3"}, 0, "com3"}};
  for (const auto& row : rows) {
    StartUp run;
    run.Start(row.args);
    EXPECT_EQ(run.lookups, row.lookups) << row.args.back();
    EXPECT_EQ(run.app->Sheet()->portText, row.port) << row.args.back();
    const auto boxes = run.boxes.Boxes();
    ASSERT_EQ(boxes.size(), static_cast<size_t>(row.lookups)) << row.args.back();
    if (!boxes.empty()) {
      EXPECT_EQ(boxes[0].text, "Cannot find ZT770+");
      EXPECT_EQ(boxes[0].title, "Problem");
      EXPECT_EQ(boxes[0].style, kBoxOk | kBoxIconWarning);
    }
  }
  StartUp found;
  found.bridge = "/dev/ttyACM3";
  found.Start({"/port:zt770"});
  EXPECT_EQ(found.app->Sheet()->portText, "/dev/ttyACM3");
  EXPECT_TRUE(found.boxes.Boxes().empty());
}

TEST(RomsendApp, SheetShowsTheMainPageUnderItsTabsAndButtons) {
  StartUp run;
  run.Start({});
  RomsendSheet* sheet = run.app->Sheet();
  sheet->show();
  EXPECT_EQ(sheet->windowTitle(), "Kestrune Update Utility");
  EXPECT_EQ(sheet->TabText(0), "Operate ..");
  EXPECT_EQ(sheet->Button(RomsendSheet::kIdFinished)->text(), "Finished");
  EXPECT_TRUE(sheet->Button(RomsendSheet::kIdCancel)->isHidden());
  auto* main = static_cast<MainPage*>(sheet->GetPage(0));
  ASSERT_TRUE(main->IsCreated());
  // Without "SerialReset" only the list, the status line and Send show.
  EXPECT_FALSE(main->Control(MainPage::kIdSend)->isHidden());
  EXPECT_TRUE(main->Control(MainPage::kIdStop)->isHidden());
  EXPECT_TRUE(main->Control(MainPage::kIdReboot)->isHidden());
  EXPECT_TRUE(main->Control(MainPage::kIdSerial)->isHidden());
  const QImage shot = sheet->grab().toImage();
  EXPECT_FALSE(shot.isNull());
  if (const char* out = std::getenv("KESTRUNE_SCREENSHOT")) shot.save(out);
  sheet->close();
}

TEST(RomsendApp, SerialResetShowsRebootAndSerialButtons) {
  test::EnsureQtApp();
  ASSERT_TRUE(Profile(RomsendProfilePath(test::TestProgramPath())).WriteInt("Romsend", "SerialReset", 1));
  StartUp run;
  run.Start({});
  run.app->Sheet()->show();
  auto* main = static_cast<MainPage*>(run.app->Sheet()->GetPage(0));
  EXPECT_EQ(main->ControlAs<QPushButton>(MainPage::kIdReboot)->text(), "Reboot");
  EXPECT_EQ(main->ControlAs<QPushButton>(MainPage::kIdSerial)->text(), "Serial");
  EXPECT_FALSE(main->Control(MainPage::kIdReboot)->isHidden());
  run.app->Sheet()->close();
}

TEST(RomsendApp, SheetRefusesToCloseWhileATransferRunsAndRetitlesWhenMinimised) {
  StartUp run;
  run.Start({});
  RomsendSheet* sheet = run.app->Sheet();
  sheet->show();
  run.plumbing.engine->Transfer().running = true;
  sheet->Button(RomsendSheet::kIdFinished)->click();
  sheet->close();
  EXPECT_TRUE(sheet->isVisible());
  run.plumbing.engine->Transfer().running = false;
  sheet->showMinimized();
  QApplication::processEvents();
  EXPECT_EQ(sheet->windowTitle(), "Romsend");
  sheet->showNormal();
  QApplication::processEvents();
  EXPECT_EQ(sheet->windowTitle(), "Kestrune Update Utility");
  sheet->Button(RomsendSheet::kIdFinished)->click();
  EXPECT_FALSE(sheet->isVisible());
  EXPECT_EQ(sheet->result(), QDialog::Accepted);
}

}  // namespace
}  // namespace kestrune
