// SPDX-License-Identifier: MIT
// Line settings kept in the profile: defaults, masking, what Save writes and its one message.
#include "serial/saved_line_settings.h"

#include <gtest/gtest.h>

#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "pty_pair.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::TempDir;

// Flag word of an empty profile: binary, parity checking, DTR on, RTS on.
constexpr uint32_t kDefaultFlags = 0x1 | 0x2 | (1u << 4) | (1u << 12);

class SavedLineSettingsTest : public testing::Test {
 protected:
  void SetUp() override { SelectProfile(dir_ / "profile.ini"); }
  // Makes the profile at `path` the one the objects under test are given from now on.
  void SelectProfile(const std::string& path) { context_ = std::make_unique<test::TestContext>(path); }
  Profile& profile() { return context_->profile; }
  const RunContext& run() { return context_->run; }
  MessageBoxes& boxes() { return context_->boxes; }
  TempDir dir_;
  std::unique_ptr<test::TestContext> context_;
};

TEST_F(SavedLineSettingsTest, EmptyProfileGives115200EightNoneOneWithDtrAndRtsOn) {
  SavedLineSettings d(run(), "serial");
  EXPECT_EQ(d.DCBlength, 28u);
  EXPECT_EQ(d.BaudRate, 115200u);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, kNoParity);
  EXPECT_EQ(d.StopBits, kOneStopBit);
  EXPECT_EQ(d.flags, kDefaultFlags);  // no CTS, DSR or XON/XOFF flow
  EXPECT_EQ(d.XonChar, 0);
  EXPECT_EQ(d.Section(), "serial");
  EXPECT_EQ(SavedLineSettings(run()).Section(), ProgramName(test::TestProgramPath()));
}

TEST_F(SavedLineSettingsTest, ProfileValuesAreMaskedToTheirFieldWidths) {
  const struct {
    const char* entry;
    int value;
    uint32_t flags;
    uint8_t byteSize, parity;
  } rows[] = {
      {"OutCts", 3, kDefaultFlags | (1u << 2), 8, 0},      // one bit only
      {"OutX", 2, kDefaultFlags, 8, 0},                    // bit 1 of 2 falls outside
      {"DtrControl", 7, kDefaultFlags | (3u << 4), 8, 0},  // two bits
      {"RtsControl", 6, (kDefaultFlags & ~(3u << 12)) | (2u << 12), 8, 0},
      {"InDsr", -1, kDefaultFlags | (1u << 6), 8, 0},
      {"bits", 263, kDefaultFlags, 7, 0},  // one byte
      {"parity", 0x104, kDefaultFlags, 8, 4},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.entry);
    TempDir dir;
    SelectProfile(dir / "p.ini");
    ASSERT_TRUE(profile().WriteInt("serial", r.entry, r.value));
    SavedLineSettings d(run(), "serial");
    EXPECT_EQ(d.flags, r.flags);
    EXPECT_EQ(d.ByteSize, r.byteSize);
    EXPECT_EQ(d.Parity, r.parity);
  }
}

TEST_F(SavedLineSettingsTest, SaveWritesItsEightEntriesInOrderAndLeavesTheDsrAndDtrEntriesAlone) {
  ASSERT_TRUE(profile().WriteInt("serial", "InDsr", 1));
  SavedLineSettings d(run(), "serial");
  d.BaudRate = 57600;
  d.Set(kDcbOutX, 1);
  d.Set(kDcbOutxDsrFlow, 1);
  d.Set(kDcbDtrControl, kDtrControlDisable);
  d.Save();
  EXPECT_EQ(test::ReadFileBytes(profile().Path()),
            "[serial]\nInDsr=1\nbaud=57600\nbits=8\nparity=0\nstop=0\nOutCts=0\nRtsControl=1\nOutX=1\nInX=0\n");
}

TEST_F(SavedLineSettingsTest, SaveStoresWhatThePortReallyHasAfterOtherChanges) {
  test::PtyPair pty;
  ASSERT_GE(pty.slave, 0);
  // 7 data bits and even parity: a pseudo-terminal keeps neither, so the port stays 8N.
  ASSERT_TRUE(profile().WriteInt("serial", "bits", 7));
  ASSERT_TRUE(profile().WriteInt("serial", "parity", kEvenParity));
  SavedLineSettings d(run(), "serial", pty.slave);  // applies 115200 7E1 as far as the port takes it
  EXPECT_EQ(d.ByteSize, 7);
  termios t = pty.SlaveTermios();
  EXPECT_EQ(cfgetospeed(&t), B115200);
  // Someone else changes the port to 9600, two stop bits, CTS/RTS and XON output flow.
  cfsetospeed(&t, B9600);
  cfsetispeed(&t, B9600);
  t.c_cflag |= CSTOPB | CRTSCTS;
  t.c_iflag |= IXON;
  ASSERT_EQ(tcsetattr(pty.slave, TCSANOW, &t), 0);
  d.Save();
  const struct {
    const char* entry;
    int value;
  } expected[] = {{"baud", 9600}, {"bits", 8},       {"parity", 0}, {"stop", 2},
                  {"OutCts", 1},  {"RtsControl", 2}, {"OutX", 1},   {"InX", 0}};
  for (const auto& e : expected) EXPECT_EQ(profile().GetInt("serial", e.entry, -1), e.value) << e.entry;
}

TEST_F(SavedLineSettingsTest, SetAppliesToThePortAndStoresTheFourValues) {
  test::PtyPair pty;
  SavedLineSettings d(run(), "serial", pty.slave);
  EXPECT_TRUE(d.Set(460800, 7, kTwoStopBits, kSpaceParity));
  const termios t = pty.SlaveTermios();
  EXPECT_EQ(cfgetospeed(&t), B460800);
  EXPECT_EQ(t.c_cflag & (CMSPAR | CSTOPB), CMSPAR | CSTOPB);
  EXPECT_EQ(profile().GetInt("serial", "baud", 0), 460800);
  EXPECT_EQ(profile().GetInt("serial", "parity", 0), kSpaceParity);
  // Values the port cannot take are stored but refused by the port, which keeps its state.
  EXPECT_FALSE(d.Set(115200, 9, kOneStopBit, kNoParity));
  const termios after = pty.SlaveTermios();
  EXPECT_EQ(cfgetospeed(&after), B460800);
  EXPECT_EQ(profile().GetInt("serial", "bits", 0), 9);
}

TEST_F(SavedLineSettingsTest, UnwritableProfileShowsOneBoxPerSaveAndNonePerSet) {
  test::WriteFileBytes(dir_ / "file", "not a folder");
  const std::string path = dir_ / "file/romsend.ini";  // its folder can never be made
  SelectProfile(path);
  RecorderMessageBox recorder;
  ScopedMessageBox scoped(boxes(), recorder);
  SavedLineSettings d(run(), "serial");
  d.Save();
  d.Save();
  EXPECT_FALSE(d.Set(9600, 8, kOneStopBit, kNoParity));
  const auto boxes = recorder.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  for (const auto& b : boxes) {
    EXPECT_EQ(b.text, path);
    EXPECT_EQ(b.title, "Cannot write to INI file");
    EXPECT_EQ(b.style, kBoxIconWarning);
  }
}

}  // namespace
}  // namespace kestrune
