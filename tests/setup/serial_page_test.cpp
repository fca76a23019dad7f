// SPDX-License-Identifier: MIT
// The serial settings page with real widgets: lists and their order, selections from the
// profile, the port text cleanup, OK writing the profile and reopening the transport, and the
// sheet variant's hidden buttons.
#include "setup/serial_page.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <QTest>

#include "fake_sysfs.h"
#include "platform/profile.h"
#include "protocol/protocol_engine.h"
#include "qt_app.h"
#include "scripted_driver.h"
#include "setup/comms_serial_page.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::TempDir;

QStringList Entries(const QComboBox* list) {
  QStringList texts;
  for (int i = 0; i < list->count(); ++i) texts << list->itemText(i);
  return texts;
}

class SerialPageTest : public testing::Test {
 protected:
  void SetUp() override {
    test::EnsureQtApp();
    // Listed in natural order: ttyS0, ttyS2, ttyS10.
    for (const char* tty : {"ttyS10", "ttyS0", "ttyS2"}) sys_.AddBuiltInTty(tty);
    engine_ = std::make_unique<ProtocolEngine>(context_.run, dir_ / "romsend.txt");
    driver_ = new test::ScriptedDriver;
    engine_->SetDriver(std::unique_ptr<Transport>(driver_));
  }
  // A comms page told, as the program tells it, to reopen the engine's idle transport when
  // the settings changed.
  void Wire(CommsSerialPage& page) {
    page.SetPortChosen([this](const std::string&) { engine_->ReopenIfIdle(); });
  }

  Profile& profile() { return context_.profile; }
  std::string Port(const char* tty) const { return sys_.DevPath(tty); }
  static QComboBox* List(const SerialPage& page, int id) { return page.ControlAs<QComboBox>(id); }

  TempDir dir_;
  test::TestContext context_{dir_ / "romsend.ini"};
  test::FakeSysfs sys_;
  std::unique_ptr<ProtocolEngine> engine_;
  test::ScriptedDriver* driver_ = nullptr;  // owned by the engine
};

TEST_F(SerialPageTest, ListsHoldTheTablesInOrderAndAnEmptyProfileSelectsTheDefaults) {
  CommsSerialPage page(context_.run);
  Wire(page);
  page.Create();
  EXPECT_EQ(page.Caption(), "Serial");
  EXPECT_EQ(page.TemplateId(), 7);
  EXPECT_EQ(page.PageKind(), 2);

  EXPECT_EQ(Entries(List(page, SerialPage::kIdPort)),
            (QStringList{QString::fromStdString(Port("ttyS0")), QString::fromStdString(Port("ttyS2")),
                         QString::fromStdString(Port("ttyS10"))}));
  EXPECT_EQ(Entries(List(page, SerialPage::kIdBaud)),
            (QStringList{"460800", "230400", "115200", "57600", "38400", "19200", "9600", "2400"}));
  EXPECT_EQ(Entries(List(page, SerialPage::kIdDataBits)), (QStringList{"5", "6", "7", "8"}));
  EXPECT_EQ(Entries(List(page, SerialPage::kIdParity)),
            (QStringList{"none", "odd", "even", "sticky odd", "sticky even"}));
  EXPECT_EQ(Entries(List(page, SerialPage::kIdStopBits)), (QStringList{"1", "1.5", "2"}));
  const QStringList flow = Entries(List(page, SerialPage::kIdFlowControl));
  ASSERT_EQ(flow.size(), 16);
  EXPECT_EQ(flow[0], "Local CTS/RTS-Remote CTS/RTS");
  EXPECT_EQ(flow[4], "none");
  EXPECT_EQ(flow[10], "Local DSR/DTR-Remote DSR/DTR ");
  EXPECT_EQ(flow[11], "Local DSR/DTR-Remote DSR/DTR");
  EXPECT_EQ(flow[14], "Local XOFF/XON- Remote CTS/RTS");
  EXPECT_EQ(flow[15], "Local XOFF/XON-Remote DSR/DTR");

  EXPECT_EQ(List(page, SerialPage::kIdPort)->currentText().toStdString(), Port("ttyS0"));
  EXPECT_EQ(List(page, SerialPage::kIdBaud)->currentText(), "115200");
  EXPECT_EQ(List(page, SerialPage::kIdDataBits)->currentText(), "8");
  EXPECT_EQ(List(page, SerialPage::kIdParity)->currentText(), "none");
  EXPECT_EQ(List(page, SerialPage::kIdStopBits)->currentText(), "1");
  EXPECT_EQ(List(page, SerialPage::kIdFlowControl)->currentText(), "Local CTS/RTS-Remote CTS/RTS");
  EXPECT_FALSE(List(page, SerialPage::kIdFlowControl)->isEnabled());
  EXPECT_TRUE(List(page, SerialPage::kIdBaud)->isEnabled());

  // Opening the page wrote nothing.
  EXPECT_FALSE(test::FileExists(profile().Path()));
}

TEST_F(SerialPageTest, StoredSettingsSelectTheirEntries) {
  const struct {
    const char* name;
    int baud, bits, parity, stop;
    std::string port;
    const char* baudText;
    const char* parityText;
    const char* stopText;  // "" : nothing selected
    int portIndex;         // -1: not listed, shown as typed text
  } rows[] = {
      {"stop bits 1 is 1.5, not 1", 57600, 7, 3, 1, Port("ttyS2"), "57600", "sticky odd", "1.5", 1},
      {"stop bits 2", 9600, 8, 4, 2, Port("ttyS10"), "9600", "sticky even", "2", 2},
      {"stop bits without a name select nothing", 2400, 8, 9, 3, Port("ttyS0"), "2400", "none", "", 0},
      {"an unlisted port is not taken for a longer one", 115200, 8, 0, 0, Port("ttyS1"), "115200", "none", "1", -1},
      {"an old-style port name stays", 115200, 8, 0, 0, "COM3:", "115200", "none", "1", -1},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_TRUE(profile().WriteInt("serial", "baud", r.baud));
    ASSERT_TRUE(profile().WriteInt("serial", "bits", r.bits));
    ASSERT_TRUE(profile().WriteInt("serial", "parity", r.parity));
    ASSERT_TRUE(profile().WriteInt("serial", "stop", r.stop));
    ASSERT_TRUE(profile().WriteString("serial", "port", r.port));
    CommsSerialPage page(context_.run);
    Wire(page);
    page.Create();
    EXPECT_EQ(List(page, SerialPage::kIdBaud)->currentText(), r.baudText);
    EXPECT_EQ(List(page, SerialPage::kIdDataBits)->currentText(), QString::number(r.bits));
    EXPECT_EQ(List(page, SerialPage::kIdParity)->currentText(), r.parityText);
    EXPECT_EQ(List(page, SerialPage::kIdStopBits)->currentText(), r.stopText);
    EXPECT_EQ(List(page, SerialPage::kIdPort)->currentIndex(), r.portIndex);
    EXPECT_EQ(List(page, SerialPage::kIdPort)->currentText().toStdString(), r.port);
  }
}

TEST_F(SerialPageTest, ValuesTheListsCannotShowSurviveOk) {
  // A baud rate outside the table and an unlisted port (a pty, say) must not be replaced by
  // empty texts when the user confirms the page without touching it.
  ASSERT_TRUE(profile().WriteInt("serial", "baud", 4800));
  ASSERT_TRUE(profile().WriteString("serial", "port", "/dev/pts/7"));
  CommsSerialPage page(context_.run);
  Wire(page);
  page.Create();
  EXPECT_EQ(List(page, SerialPage::kIdBaud)->currentIndex(), -1);
  page.OnOK();
  EXPECT_EQ(profile().GetInt("serial", "baud", 0), 4800);
  EXPECT_EQ(profile().GetString("serial", "port", ""), "/dev/pts/7");
}

TEST_F(SerialPageTest, PortTextLosesItsDescriptionOnFocusOutAndOnOk) {
  CommsSerialPage page(context_.run);
  Wire(page);
  page.Create();
  page.show();
  page.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&page));
  QComboBox* port = List(page, SerialPage::kIdPort);
  QComboBox* baud = List(page, SerialPage::kIdBaud);
  const QString described = QString::fromStdString(Port("ttyS2")) + " USB Serial Port (COM3)";

  port->setFocus();
  ASSERT_TRUE(port->hasFocus());
  port->setEditText(described);
  baud->setFocus();
  ASSERT_FALSE(port->hasFocus());
  EXPECT_EQ(port->currentText().toStdString(), Port("ttyS2"));

  // Leaving the list cuts at a blank from index 5 on, OK at a blank from index 4 on.
  port->setFocus();
  port->setEditText("COM3 x");
  baud->setFocus();
  EXPECT_EQ(port->currentText(), "COM3 x");
  page.OnOK();
  EXPECT_EQ(profile().GetString("serial", "port", ""), "COM3");

  port->setEditText(described);
  page.OnOK();
  EXPECT_EQ(profile().GetString("serial", "port", ""), Port("ttyS2"));
  page.close();
}

TEST_F(SerialPageTest, OkWritesTheProfileAndAsksTheEngineToReopen) {
  CommsSerialPage page(context_.run);
  Wire(page);
  page.Create();
  // Finished without touching the page: the flow-control list always shows an entry, so the
  // settings count as changed, are written and reach the transport.
  page.OnOK();
  EXPECT_EQ(page.Changed(), 1);
  EXPECT_EQ(profile().GetString("serial", "port", ""), Port("ttyS0"));
  EXPECT_EQ(profile().GetInt("serial", "baud", 0), 115200);
  EXPECT_EQ(profile().GetInt("serial", "bits", 0), 8);
  EXPECT_EQ(profile().GetInt("serial", "parity", -1), 0);
  EXPECT_EQ(profile().GetInt("serial", "stop", -1), 0);
  EXPECT_EQ(driver_->closes, 1);
  EXPECT_EQ(driver_->opens, 1);

  // Leaving the page for another tab confirms the new choice.
  List(page, SerialPage::kIdBaud)->setCurrentText("57600");
  List(page, SerialPage::kIdStopBits)->setCurrentText("1.5");
  List(page, SerialPage::kIdParity)->setCurrentText("even");
  List(page, SerialPage::kIdPort)->setCurrentIndex(2);
  EXPECT_TRUE(page.OnKillActive());
  EXPECT_EQ(profile().GetInt("serial", "baud", 0), 57600);
  EXPECT_EQ(profile().GetInt("serial", "stop", -1), 1);
  EXPECT_EQ(profile().GetInt("serial", "parity", -1), 2);
  EXPECT_EQ(profile().GetString("serial", "port", ""), Port("ttyS10"));
  EXPECT_EQ(driver_->opens, 2);

  // Nothing changed since: nothing written, no reopen.
  ASSERT_TRUE(profile().WriteInt("serial", "baud", 19200));
  page.OnOK();
  EXPECT_EQ(page.Changed(), 0);
  EXPECT_EQ(profile().GetInt("serial", "baud", 0), 19200);
  EXPECT_EQ(driver_->opens, 2);

  // The plain page writes the profile but leaves the transport alone.
  SerialPage plain(context_.run);
  plain.Create();
  plain.ControlAs<QPushButton>(SerialPage::kIdOk)->click();
  EXPECT_EQ(plain.Changed(), 1);
  EXPECT_EQ(profile().GetInt("serial", "baud", 0), 19200);
  EXPECT_EQ(driver_->opens, 2);
}

TEST_F(SerialPageTest, SheetVariantHidesThePageButtons) {
  SerialPage plain(context_.run);
  plain.Create();
  EXPECT_EQ(plain.ControlAs<QPushButton>(SerialPage::kIdOk)->text(), "OK");
  EXPECT_EQ(plain.ControlAs<QPushButton>(SerialPage::kIdCancel)->text(), "Cancel");
  EXPECT_FALSE(plain.Control(SerialPage::kIdOk)->isHidden());
  EXPECT_FALSE(plain.Control(SerialPage::kIdCancel)->isHidden());

  CommsSerialPage page(context_.run);

  Wire(page);
  std::vector<int> modes;
  page.SetCommsModeSwitch([&](int mode) { modes.push_back(mode); });
  page.Create();
  for (const int id : {SerialPage::kIdOk, SerialPage::kIdCancel, SerialPage::kIdUseMidi})
    EXPECT_TRUE(page.Control(id)->isHidden()) << id;
  auto* useMidi = page.ControlAs<QPushButton>(SerialPage::kIdUseMidi);
  EXPECT_EQ(useMidi->text(), "Use MIDI");
  useMidi->click();
  EXPECT_EQ(modes, std::vector<int>{1});
}

TEST_F(SerialPageTest, ACommandLinePortReachesTheShownList) {
  CommsSerialPage page(context_.run);
  Wire(page);
  page.SetPortText(Port("ttyS2"));  // before the first showing
  page.Create();
  EXPECT_EQ(List(page, SerialPage::kIdPort)->currentIndex(), 1);
  page.SetPortText("/dev/ttyACM4");  // after it
  EXPECT_EQ(List(page, SerialPage::kIdPort)->currentText(), "/dev/ttyACM4");
}

TEST_F(SerialPageTest, NoPortsLeaveThePortListEmpty) {
  test::ScopedEnv none("KESTRUNE_SYSFS_ROOT", (dir_ / "nothing").c_str());
  CommsSerialPage page(context_.run);
  Wire(page);
  page.Create();
  EXPECT_EQ(List(page, SerialPage::kIdPort)->count(), 0);
  EXPECT_EQ(List(page, SerialPage::kIdPort)->currentText(), "");
}

// Every table entry fits its closed list, every label its group box and every control the
// page at the default font; the pictures are left in the build folder for a look.
TEST_F(SerialPageTest, ScreenshotShowsNothingClipped) {
  test::ScopedEnv realNames("KESTRUNE_DEV_ROOT", "/dev");
  CommsSerialPage page(context_.run);
  Wire(page);
  page.Create();
  page.show();
  QApplication::processEvents();
  const QRect pageRect(QPoint(0, 0), page.minimumSize());
  const std::pair<int, const char*> lists[] = {
      {SerialPage::kIdPort, "&Port"},          {SerialPage::kIdBaud, "&Baud Rate"},
      {SerialPage::kIdDataBits, "&Data Bits"}, {SerialPage::kIdStopBits, "&Stop Bits"},
      {SerialPage::kIdParity, "&Parity"},      {SerialPage::kIdFlowControl, "&Flow Control"}};
  for (const auto& [id, title] : lists) {
    QComboBox* list = List(page, id);
    QStyleOptionComboBox option;
    option.initFrom(list);
    option.editable = list->isEditable();
    option.frame = true;
    const QRect field = list->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, list);
    QStringList entries = Entries(list);
    if (id == SerialPage::kIdPort) entries = QStringList{"/dev/ttyUSB1", "/dev/ttyACM0"};
    for (const QString& entry : entries)
      EXPECT_LE(list->fontMetrics().horizontalAdvance(entry), field.width()) << entry.toStdString();

    auto* group = qobject_cast<QGroupBox*>(list->parentWidget());
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->title(), title);
    QStyleOptionGroupBox box;
    box.initFrom(group);
    box.text = group->title();
    box.lineWidth = 1;
    box.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
    const QRect label = group->style()->subControlRect(QStyle::CC_GroupBox, &box, QStyle::SC_GroupBoxLabel, group);
    EXPECT_TRUE(group->rect().contains(label)) << group->title().toStdString();
    EXPECT_TRUE(group->rect().contains(list->geometry())) << group->title().toStdString();
    EXPECT_TRUE(pageRect.contains(group->geometry())) << group->title().toStdString();
  }
  const QImage shot = page.grab().toImage();
  ASSERT_FALSE(shot.isNull());
  EXPECT_TRUE(shot.save(QStringLiteral(KESTRUNE_SETUP_SHOT_DIR "/serial_page.png")));

  // The plain page shows its OK and Cancel buttons inside the page, clear of the lists.
  SerialPage plain(context_.run);
  plain.Create();
  plain.show();
  QApplication::processEvents();
  const QRect plainRect(QPoint(0, 0), plain.minimumSize());
  for (const int id : {SerialPage::kIdOk, SerialPage::kIdCancel}) {
    const QWidget* button = plain.Control(id);
    EXPECT_TRUE(plainRect.contains(button->geometry())) << id;
    EXPECT_FALSE(button->geometry().intersects(plain.Control(SerialPage::kIdDataBits)->parentWidget()->geometry()));
  }
  EXPECT_TRUE(plain.grab().toImage().save(QStringLiteral(KESTRUNE_SETUP_SHOT_DIR "/serial_page_plain.png")));
}

}  // namespace
}  // namespace kestrune
