// SPDX-License-Identifier: MIT
// The serial settings model: port list from a fake sysfs tree, texts from the profile, Apply,
// equality and copies.
#include "serial/serial_settings_model.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/profile.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::ScopedEnv;
using test::TempDir;

// A sysfs root with the given tty entries; those marked with hardware get a "device" link.
class FakeSys {
 public:
  FakeSys(std::initializer_list<std::pair<const char*, bool>> ttys)
      : sysfs_(dir_.Path() + "/sys"),
        env_("KESTRUNE_SYSFS_ROOT", sysfs_.c_str()),
        dev_("KESTRUNE_DEV_ROOT", "/devroot") {
    std::filesystem::create_directories(sysfs_ + "/class/tty");
    std::filesystem::create_directories(sysfs_ + "/devices/platform/port");
    for (const auto& [name, hardware] : ttys) {
      const std::string entry = sysfs_ + "/class/tty/" + name;
      std::filesystem::create_directories(entry);
      if (hardware) std::filesystem::create_directory_symlink(sysfs_ + "/devices/platform/port", entry + "/device");
    }
  }

 private:
  TempDir dir_;
  std::string sysfs_;
  ScopedEnv env_, dev_;
};

class SerialSettingsModelTest : public testing::Test {
 protected:
  void SetUp() override { SelectProfile(dir_ / "romsend.ini"); }
  // Makes the profile at `path` the one the objects under test are given from now on.
  void SelectProfile(const std::string& path) { context_ = std::make_unique<test::TestContext>(path); }
  Profile& profile() { return context_->profile; }
  const RunContext& run() { return context_->run; }
  MessageBoxes& boxes() { return context_->boxes; }
  TempDir dir_;
  std::unique_ptr<test::TestContext> context_;
};

TEST_F(SerialSettingsModelTest, PortsWithHardwareAreListedInNaturalOrderAndTheFirstIsTheDefault) {
  FakeSys sys({{"ttyUSB10", true}, {"tty1", false}, {"ttyUSB2", true}, {"console", false}});
  SerialSettingsModel info(run(), "serial");
  ASSERT_EQ(info.PortCount(), 2);
  EXPECT_EQ(info.Ports()[0], "/devroot/ttyUSB2");
  EXPECT_EQ(info.Ports()[1], "/devroot/ttyUSB10");
  EXPECT_EQ(info.portText, "/devroot/ttyUSB2");

  // A stored port stands even when the list does not hold it.
  ASSERT_TRUE(profile().WriteString("serial", "port", "COM3:"));
  EXPECT_EQ(SerialSettingsModel(run(), "serial").portText, "COM3:");
}

TEST_F(SerialSettingsModelTest, WithNoPortsListedAStoredPortIsKeptOnlyWhileItIsACharacterDevice) {
  test::WriteFileBytes(dir_ / "plain", "x");
  const struct {
    const char* stored;  // nullptr: no entry
    std::string text;
  } rows[] = {
      {nullptr, ""},
      {"/dev/null", "/dev/null"},    // stands in for a pty or a by-id link
      {"/dev/null:", "/dev/null:"},  // an old-style trailing colon does no harm
      {"/dev/ttyNoSuchPort", ""},
      {"", ""},
  };
  for (const bool emptyTree : {true, false}) {
    std::unique_ptr<FakeSys> sys;
    std::unique_ptr<ScopedEnv> missing;
    if (emptyTree)
      sys = std::make_unique<FakeSys>(std::initializer_list<std::pair<const char*, bool>>{{"tty0", false}});
    else
      missing = std::make_unique<ScopedEnv>("KESTRUNE_SYSFS_ROOT", (dir_ / "nothing").c_str());
    for (const auto& r : rows) {
      SCOPED_TRACE(r.stored ? r.stored : "(none)");
      TempDir d;
      SelectProfile(d / "p.ini");
      if (r.stored) {
        ASSERT_TRUE(profile().WriteString("serial", "port", r.stored));
      }
      SerialSettingsModel info(run(), "serial");
      EXPECT_EQ(info.PortCount(), 0);
      EXPECT_EQ(info.portText, r.text);
    }
  }
  TempDir d;
  SelectProfile(d / "p.ini");
  ASSERT_TRUE(profile().WriteString("serial", "port", dir_ / "plain"));
  FakeSys none({});
  EXPECT_EQ(SerialSettingsModel(run(), "serial").portText, "");  // a regular file is no port
}

TEST_F(SerialSettingsModelTest, TextsComeFromTheStoredValues) {
  FakeSys sys({});
  const struct {
    const char* name;
    std::vector<std::pair<const char*, int>> stored;
    const char *baud, *bits, *parity, *stop;
  } rows[] = {
      {"empty profile", {}, "115200", "8", "none", "1"},
      {"stop 1", {{"stop", 1}}, "115200", "8", "none", "1.5"},
      {"sticky parities", {{"parity", 3}, {"baud", 460800}, {"bits", 7}}, "460800", "7", "sticky odd", "1"},
      {"values without a name", {{"parity", 5}, {"stop", 3}}, "115200", "8", "", ""},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    TempDir d;
    SelectProfile(d / "p.ini");
    for (const auto& [entry, value] : r.stored) ASSERT_TRUE(profile().WriteInt("serial", entry, value));
    SerialSettingsModel info(run(), "serial");
    EXPECT_EQ(info.baudText, r.baud);
    EXPECT_EQ(info.dataBitsText, r.bits);
    EXPECT_EQ(info.parityText, r.parity);
    EXPECT_EQ(info.stopBitsText, r.stop);
    EXPECT_EQ(info.flowControlText, "");
  }
}

TEST_F(SerialSettingsModelTest, ApplyStoresTheTextsAsValues) {
  FakeSys sys({{"ttyACM0", true}});
  const struct {
    const char *baud, *bits, *parity, *stop;
    int baudValue, bitsValue, parityValue, stopValue;
  } rows[] = {
      {"57600", "7", "sticky even", "2", 57600, 7, 4, 2},
      {"9600", "5", "odd", "1.5", 9600, 5, 1, 1},
      {"2400", "8", "Sticky even", "3", 2400, 8, 0, 0},  // not in the tables: index 0
      {"fast", "eight", "", "", 0, 0, 0, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.baud);
    SerialSettingsModel info(run(), "serial");
    info.portText = "/dev/ttyUSB7";
    info.baudText = r.baud;
    info.dataBitsText = r.bits;
    info.parityText = r.parity;
    info.stopBitsText = r.stop;
    info.flowControlText = std::string(kFlowControlTexts[0]);
    info.Apply();
    EXPECT_EQ(profile().GetString("serial", "port", ""), "/dev/ttyUSB7");
    EXPECT_EQ(profile().GetInt("serial", "baud", -1), r.baudValue);
    EXPECT_EQ(profile().GetInt("serial", "bits", -1), r.bitsValue);
    EXPECT_EQ(profile().GetInt("serial", "parity", -1), r.parityValue);
    EXPECT_EQ(profile().GetInt("serial", "stop", -1), r.stopValue);
    EXPECT_EQ(profile().GetString("serial", "flow", "<none>"), "<none>");
  }
  // Texts from the tables come back unchanged.
  SerialSettingsModel first(run(), "serial");
  first.baudText = "38400";
  first.parityText = "even";
  first.stopBitsText = "2";
  first.dataBitsText = "6";
  first.Apply();
  EXPECT_TRUE(SerialSettingsModel(run(), "serial") == first);
}

TEST_F(SerialSettingsModelTest, EqualityCoversTheSixTextsAndCopiesShareThePortList) {
  FakeSys sys({{"ttyS0", true}, {"ttyS1", true}});
  SerialSettingsModel a(run(), "serial");
  SerialSettingsModel b(run(), "serial");
  EXPECT_TRUE(a == b);
  b.flowControlText = std::string(kFlowControlTexts[4]);
  EXPECT_FALSE(a == b);
  for (std::string SerialSettingsModel::*text :
       {&SerialSettingsModel::baudText, &SerialSettingsModel::portText, &SerialSettingsModel::parityText,
        &SerialSettingsModel::dataBitsText, &SerialSettingsModel::stopBitsText}) {
    SerialSettingsModel c = a;
    EXPECT_TRUE(c == a);
    c.*text += "x";
    EXPECT_FALSE(c == a);
  }
  const SerialSettingsModel copy = a;
  EXPECT_EQ(&copy.Ports(), &a.Ports());
  EXPECT_EQ(copy.Section(), "serial");
  EXPECT_EQ(copy.BaudRate, a.BaudRate);
}

}  // namespace
}  // namespace kestrune
