// SPDX-License-Identifier: MIT
// DCB <-> termios on plain structs, every row both ways (ports on pseudo-terminals cannot show
// data bits or parity, so those are checked here).
#include "serial/termios_map_posix.h"

#include <gtest/gtest.h>

namespace kestrune {
namespace {

DCB Line(uint32_t baud, uint8_t bits, uint8_t parity, uint8_t stop) {
  DCB d{};
  d.DCBlength = 28;
  d.BaudRate = baud;
  d.ByteSize = bits;
  d.Parity = parity;
  d.StopBits = stop;
  d.Set(kDcbBinary, 1);
  d.Set(kDcbParity, 1);
  d.Set(kDcbDtrControl, kDtrControlEnable);
  d.Set(kDcbRtsControl, kRtsControlEnable);
  return d;
}

TEST(TermiosMap, EachSettingTranslatesAndReadsBack) {
  const tcflag_t kLine = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
  const struct {
    const char* name;
    DCB dcb;
    speed_t speed;
    tcflag_t cflag;
    tcflag_t iflag;  // of IXON | IXOFF | INPCK
  } rows[] = {
      {"460800 8N1", Line(460800, 8, kNoParity, kOneStopBit), B460800, CS8, 0},
      {"115200 7E2", Line(115200, 7, kEvenParity, kTwoStopBits), B115200, CS7 | PARENB | CSTOPB, INPCK},
      {"9600 6O1", Line(9600, 6, kOddParity, kOneStopBit), B9600, CS6 | PARENB | PARODD, INPCK},
      {"2400 5 mark", Line(2400, 5, kMarkParity, kOneStopBit), B2400, CS5 | PARENB | PARODD | CMSPAR, INPCK},
      {"300 8 space", Line(300, 8, kSpaceParity, kOneStopBit), B300, CS8 | PARENB | CMSPAR, INPCK},
      {"4000000 8N1", Line(4000000, 8, kNoParity, kOneStopBit), B4000000, CS8, 0},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    termios t{};
    t.c_lflag = ICANON | ECHO | ISIG;
    t.c_iflag = ICRNL | IXANY;
    t.c_oflag = OPOST | ONLCR;
    ASSERT_TRUE(DcbToTermios(r.dcb, t));
    EXPECT_EQ(cfgetospeed(&t), r.speed);
    EXPECT_EQ(cfgetispeed(&t), r.speed);
    EXPECT_EQ(t.c_cflag & kLine, r.cflag);
    EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), tcflag_t{CREAD | CLOCAL});
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | INPCK | ICRNL | IXANY), r.iflag);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    DCB back = Line(0, 0, 0, 0);
    TermiosToDcb(t, back);
    EXPECT_EQ(back.BaudRate, r.dcb.BaudRate);
    EXPECT_EQ(back.ByteSize, r.dcb.ByteSize);
    EXPECT_EQ(back.Parity, r.dcb.Parity);
    EXPECT_EQ(back.StopBits, r.dcb.StopBits);
    EXPECT_EQ(back.flags, r.dcb.flags);
  }
}

TEST(TermiosMap, FlowControlAndStopBitsKeepWhatTermiosCannotTell) {
  DCB d = Line(19200, 8, kNoParity, kOne5StopBits);  // sent as two stop bits, remembered as 1.5
  d.Set(kDcbOutX, 1);
  d.Set(kDcbInX, 1);
  termios t{};
  ASSERT_TRUE(DcbToTermios(d, t));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(t.c_cc[VSTART], 0x11);  // a DCB without flow characters gets DC1/DC3
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  DCB back = d;
  TermiosToDcb(t, back);
  EXPECT_EQ(back.StopBits, kOne5StopBits);
  EXPECT_EQ(back.Get(kDcbOutX), 1u);

  // CTS output flow alone and RTS handshake alone both become CRTSCTS and read back unchanged;
  // CRTSCTS set by someone else reads as both.
  for (const auto& [cts, rts] : {std::pair{1u, +kRtsControlEnable}, std::pair{0u, +kRtsControlHandshake}}) {
    DCB f = Line(9600, 8, kNoParity, kOneStopBit);
    f.Set(kDcbOutxCtsFlow, cts);
    f.Set(kDcbRtsControl, rts);
    termios ft{};
    ASSERT_TRUE(DcbToTermios(f, ft));
    EXPECT_TRUE(ft.c_cflag & CRTSCTS);
    DCB fb = f;
    TermiosToDcb(ft, fb);
    EXPECT_EQ(fb.flags, f.flags);
  }
  DCB plain = Line(9600, 8, kNoParity, kOneStopBit);
  termios ct{};
  ASSERT_TRUE(DcbToTermios(plain, ct));
  ct.c_cflag |= CRTSCTS;
  TermiosToDcb(ct, plain);
  EXPECT_EQ(plain.Get(kDcbOutxCtsFlow), 1u);
  EXPECT_EQ(plain.Get(kDcbRtsControl), kRtsControlHandshake);
}

TEST(TermiosMap, ValuesTermiosCannotExpressAreRefused) {
  const DCB bad[] = {Line(12345, 8, kNoParity, kOneStopBit), Line(0, 8, kNoParity, kOneStopBit),
                     Line(9600, 4, kNoParity, kOneStopBit),  Line(9600, 9, kNoParity, kOneStopBit),
                     Line(9600, 8, 5, kOneStopBit),          Line(9600, 8, kNoParity, 3)};
  for (const DCB& d : bad) {
    termios t{};
    EXPECT_FALSE(DcbToTermios(d, t)) << d.BaudRate << " " << int{d.ByteSize} << int{d.Parity} << int{d.StopBits};
  }
}

}  // namespace
}  // namespace kestrune
