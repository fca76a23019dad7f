// SPDX-License-Identifier: MIT
// The instructions and about pages: which help file is shown, the built-in text, the about box.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <filesystem>

#include "app/about_page.h"
#include "app/help_dialog.h"
#include "platform/program_info.h"
#include "qt_app.h"
#include "test_env.h"

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using test::WriteFileBytes;

// The test program stands in <root>/bin, as an installed romsend stands in <prefix>/bin; the
// help files beside it and under <root>/share/romsend are removed again at the end.
class HelpFiles {
 public:
  HelpFiles()
      : bin_(fs::path(test::TestProgramPath()).parent_path()), share_(bin_.parent_path() / "share" / "romsend") {
    fs::create_directories(bin_);
    fs::create_directories(share_);
  }
  ~HelpFiles() {
    std::error_code ec;
    for (const char* name : {"help.txt", "midi_help.txt"}) fs::remove_all(bin_ / name, ec);
    fs::remove_all(share_.parent_path(), ec);
  }
  std::string Beside(const char* name) const { return (bin_ / name).string(); }
  std::string Shared(const char* name) const { return (share_ / name).string(); }

 private:
  fs::path bin_;
  fs::path share_;
};

QString Shown(const HelpDialog& page) {
  return page.ControlAs<QPlainTextEdit>(HelpDialog::kIdText)->toPlainText();
}

TEST(HelpDialog, HelpFileByCommsModeReadAfreshEachShowing) {
  test::EnsureQtApp();
  HelpFiles files;
  WriteFileBytes(files.Beside("help.txt"), "Serial steps\r\nStep two\n");
  WriteFileBytes(files.Beside("midi_help.txt"), "MIDI steps");
  int commsMode = 0;
  HelpDialog page(test::TestProgramPath(), commsMode);
  EXPECT_EQ(page.Caption(), QStringLiteral("Instructions"));
  page.Create();
  page.OnSetActive();
  EXPECT_EQ(Shown(page), QStringLiteral("Serial steps\nStep two\n"));
  EXPECT_EQ(page.instructions, QStringLiteral("Serial steps\r\nStep two\n"));

  commsMode = 1;  // switched on the comms page
  page.OnSetActive();
  EXPECT_EQ(Shown(page), QStringLiteral("MIDI steps"));

  WriteFileBytes(files.Beside("midi_help.txt"), "Edited while running");
  page.OnSetActive();
  EXPECT_EQ(Shown(page), QStringLiteral("Edited while running"));

  // An installed program finds its help under <prefix>/share/romsend; the file beside it wins.
  WriteFileBytes(files.Shared("midi_help.txt"), "Installed MIDI help");
  page.OnSetActive();
  EXPECT_EQ(Shown(page), QStringLiteral("Edited while running"));
  fs::remove(files.Beside("midi_help.txt"));
  page.OnSetActive();
  EXPECT_EQ(Shown(page), QStringLiteral("Installed MIDI help"));
  EXPECT_EQ(HelpFileCandidates(test::TestProgramPath(), 1),
            (std::vector<std::string>{files.Beside("midi_help.txt"), files.Shared("midi_help.txt")}));

  // Not in a bin folder: only beside the program.
  EXPECT_EQ(HelpFileCandidates("/opt/kestrune/romsend", 0), std::vector<std::string>{"/opt/kestrune/help.txt"});
  EXPECT_EQ(HelpFileCandidates("/usr/local/bin/romsend", 0),
            (std::vector<std::string>{"/usr/local/bin/help.txt", "/usr/local/share/romsend/help.txt"}));
}

TEST(HelpDialog, BuiltInTextWithoutHelpFiles) {
  test::EnsureQtApp();
  HelpFiles files;
  const std::string text = kBuiltInInstructions;
  EXPECT_EQ(text.size(), 729u);
  EXPECT_EQ(text.rfind("Read any release notes for the update carefully before starting.\r\n\r\n1) Power down the "
                       "Quellotron(R).\r\n\r\n2) Connect a 9 pin serial cable",
                       0),
            0u);
  const std::string end =
      "\r\n\r\nThe download process can take up to ten minutes, or longer at lower speeds.\r\n\r\nThe use of this "
      "program on Macs is not currently supported.";
  EXPECT_EQ(text.substr(text.size() - end.size()), end);
  EXPECT_NE(
      text.find("3) If necessary, configure the COM port (\"Comms Setup\"). Use the default settings unless you "
                "have a valid reason to do otherwise.\r\n\r\n4) Power up the Quellotron, holding down the '2' key "
                "until asked to release it.\r\n\r\n5) For Brantle, make sure the version number in the "
                "\"Powering On..\" message is V1.080 or above.\r\n\r\n6) Hit 'Send' or double-click on the name "
                "of the update you want to send.\r\n\r\n"),
      std::string::npos);

  for (int commsMode : {0, 1}) {
    HelpDialog page(test::TestProgramPath(), commsMode);
    page.Create();
    page.OnSetActive();
    EXPECT_EQ(page.instructions.toStdString(), text);
    const QString shown = Shown(page);
    EXPECT_TRUE(
        shown.startsWith(QStringLiteral("Read any release notes for the update carefully before starting.\n\n1)")));
    EXPECT_EQ(shown.count(QLatin1Char('\n')), 16);
  }
}

TEST(HelpDialog, OddHelpFilesAreShownSafely) {
  test::EnsureQtApp();
  HelpFiles files;
  int commsMode = 0;
  HelpDialog page(test::TestProgramPath(), commsMode);
  page.Create();

  // Binary: the bytes up to the first NUL; bytes that are not UTF-8 show one character each.
  WriteFileBytes(files.Beside("help.txt"), std::string("Caf\xe9 steps\0\x01\x02 rest", 18));
  page.OnSetActive();
  EXPECT_EQ(Shown(page), QStringLiteral("Caf\u00e9 steps"));

  // Huge: shown up to the limit, not cut inside a character.
  std::string huge = "Caf\xc3\xa9\n";
  huge += std::string(HelpDialog::kMaxHelpBytes - huge.size() - 1, 'x') + "\xc3\xa9" + std::string(100000, 'y');
  WriteFileBytes(files.Beside("help.txt"), huge);
  page.OnSetActive();
  EXPECT_TRUE(Shown(page).startsWith(QStringLiteral("Caf\u00e9\nxxx")));
  EXPECT_EQ(page.instructions.size(), static_cast<qsizetype>(HelpDialog::kMaxHelpBytes - 1 - 1));
  EXPECT_TRUE(page.instructions.endsWith(QLatin1Char('x')));

  // Not a plain file (a FIFO would block a read, a folder cannot be read): the next place.
  fs::remove(files.Beside("help.txt"));
  ASSERT_EQ(mkfifo(files.Beside("help.txt").c_str(), 0600), 0);
  WriteFileBytes(files.Shared("help.txt"), "Shared help");
  page.OnSetActive();
  EXPECT_EQ(Shown(page), QStringLiteral("Shared help"));
  fs::remove(files.Shared("help.txt"));
  fs::create_directory(files.Shared("help.txt"));
  page.OnSetActive();
  EXPECT_EQ(page.instructions.toStdString(), kBuiltInInstructions);

  // An empty help file is a help file: nothing to show.
  fs::remove(files.Beside("help.txt"));
  WriteFileBytes(files.Beside("help.txt"), "");
  page.OnSetActive();
  EXPECT_EQ(Shown(page), QString());
  // The unused one-line control of the template never covers the text.
  EXPECT_TRUE(page.Control(HelpDialog::kIdUnused)->isHidden());
}

TEST(AboutPage, PageAndBoxShowNameVersionAndNotice) {
  test::EnsureQtApp();
  AboutPage page;
  EXPECT_EQ(page.Caption(), QStringLiteral("About ..."));
  page.Create();
  EXPECT_EQ(page.ControlAs<QLabel>(AboutPage::kIdVersion)->text(), QStringLiteral("Romsend Version 1.61"));
  page.OnSetActive();
  EXPECT_EQ(page.ControlAs<QLabel>(AboutPage::kIdVersion)->text(), QStringLiteral("Romsend V1.61"));
  EXPECT_EQ(page.NoticeLabel()->text(), QStringLiteral("Copyright (C) Kestrune"));
  EXPECT_TRUE(page.Control(AboutPage::kIdOk)->isHidden());

  // The box of its own: no visible OK; Esc closes it.
  QDialog* box = AboutPage::CreateBox();
  EXPECT_EQ(box->windowTitle(), QStringLiteral("About ..."));
  auto* inner = box->findChild<AboutPage*>();
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->ControlAs<QLabel>(AboutPage::kIdVersion)->text(), QStringLiteral("Romsend V1.61"));
  EXPECT_TRUE(inner->Control(AboutPage::kIdOk)->isHidden());
  delete box;

  bool escSent = false;
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    ASSERT_NE(modal, nullptr);
    for (QPushButton* button : modal->findChildren<QPushButton*>()) EXPECT_FALSE(button->isVisible());
    QTest::keyClick(modal, Qt::Key_Escape);
    escSent = true;
  });
  EXPECT_EQ(AboutPage::DoModal(), QDialog::Rejected);
  EXPECT_TRUE(escSent);
}

}  // namespace
}  // namespace kestrune
