// SPDX-License-Identifier: MIT
// DCB <-> termios: line settings of a POSIX terminal device.
#include "serial/port_state.h"

#include "serial/line_speed.h"
#include "serial/termios_map_posix.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <cerrno>

namespace kestrune {
namespace {

struct SpeedRow {
  uint32_t baud;
  speed_t code;
};

// The speeds a termios port takes by constant.
constexpr SpeedRow kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(uint32_t baud, speed_t& code) {
  for (const SpeedRow& r : kSpeeds) {
    if (r.baud == baud) {
      code = r.code;
      return true;
    }
  }
  return false;
}

bool BaudOf(speed_t code, uint32_t& baud) {
  for (const SpeedRow& r : kSpeeds) {
    if (r.code == code) {
      baud = r.baud;
      return true;
    }
  }
  return false;
}

constexpr char kDefaultXon = 0x11;
constexpr char kDefaultXoff = 0x13;

void SetModemLine(PortHandle port, int line, bool on) {
  // Pseudo-terminals and some adapters have no modem lines; their refusal changes nothing.
  ioctl(port, on ? TIOCMBIS : TIOCMBIC, &line);
}

// Raw bytes in both directions: no line editing, echo, signals or character translation.
void MakeRaw(termios& t) {
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY |
                                      INPCK | IGNPAR | IMAXBEL | IUCLC);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CREAD | CLOCAL;
  // Reads return whatever has arrived; callers wait in poll() and open without blocking.
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
}

// Everything of `dcb` but the speed; false for values termios cannot express.
bool FrameToTermios(const DCB& dcb, termios& t) {
  tcflag_t size;
  switch (dcb.ByteSize) {
    case 5:
      size = CS5;
      break;
    case 6:
      size = CS6;
      break;
    case 7:
      size = CS7;
      break;
    case 8:
      size = CS8;
      break;
    default:
      return false;
  }
  tcflag_t parity;
  switch (dcb.Parity) {
    case kNoParity:
      parity = 0;
      break;
    case kOddParity:
      parity = PARENB | PARODD;
      break;
    case kEvenParity:
      parity = PARENB;
      break;
    case kMarkParity:
      parity = PARENB | PARODD | CMSPAR;
      break;
    case kSpaceParity:
      parity = PARENB | CMSPAR;
      break;
    default:
      return false;
  }
  if (dcb.StopBits > kTwoStopBits) return false;

  MakeRaw(t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t.c_cflag |= size | parity;
  if (dcb.StopBits != kOneStopBit) t.c_cflag |= CSTOPB;
  if (parity != 0 && dcb.Get(kDcbParity)) t.c_iflag |= INPCK;
  if (dcb.Get(kDcbOutxCtsFlow) || dcb.Get(kDcbRtsControl) == kRtsControlHandshake) t.c_cflag |= CRTSCTS;
  if (dcb.Get(kDcbOutX)) t.c_iflag |= IXON;
  if (dcb.Get(kDcbInX)) t.c_iflag |= IXOFF;
  // A DCB read from a profile has no flow characters; the usual DC1/DC3 stand in.
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar ? dcb.XonChar : kDefaultXon);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar ? dcb.XoffChar : kDefaultXoff);
  return true;
}

}  // namespace

bool DcbToTermios(const DCB& dcb, termios& t) {
  speed_t speed;
  if (!SpeedCode(dcb.BaudRate, speed) || !FrameToTermios(dcb, t)) return false;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return true;
}

LineRefusal ApplyLineSettings(PortHandle port, const DCB& dcb, int& error) {
  error = 0;
  termios t{};
  if (port < 0 || tcgetattr(port, &t) != 0) {
    error = port < 0 ? EBADF : errno;
    return LineRefusal::kPort;
  }
  // Raw first, whatever else the port refuses: a port left cooked echoes what it receives,
  // and the far end takes its own replies for commands.
  MakeRaw(t);
  if (tcsetattr(port, TCSANOW, &t) != 0) {
    error = errno;
    return LineRefusal::kPort;
  }
  if (!FrameToTermios(dcb, t)) return LineRefusal::kFrame;
  speed_t speed;
  const bool standard = SpeedCode(dcb.BaudRate, speed);
  if (standard) {
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
  }
  if (tcsetattr(port, TCSANOW, &t) != 0) {
    error = errno;
    return LineRefusal::kPort;
  }
  // Any other rate goes through the kernel's arbitrary-rate interface.
  if (!standard && !SetLineSpeed(port, dcb.BaudRate, error)) return LineRefusal::kSpeed;
  // DTR handshake has no equivalent here and keeps the line on, as enabled does.
  SetModemLine(port, TIOCM_DTR, dcb.Get(kDcbDtrControl) != kDtrControlDisable);
  // With RTS handshake the driver moves RTS itself.
  const uint32_t rts = dcb.Get(kDcbRtsControl);
  if (rts != kRtsControlHandshake) SetModemLine(port, TIOCM_RTS, rts != kRtsControlDisable);
  return LineRefusal::kNone;
}

bool ApplyPortState(PortHandle port, const DCB& dcb) {
  int error = 0;
  return ApplyLineSettings(port, dcb, error) == LineRefusal::kNone;
}

void TermiosToDcb(const termios& t, DCB& dcb) {
  dcb.DCBlength = sizeof(DCB);
  uint32_t baud;
  if (BaudOf(cfgetospeed(&t), baud)) dcb.BaudRate = baud;
  switch (t.c_cflag & CSIZE) {
    case CS5:
      dcb.ByteSize = 5;
      break;
    case CS6:
      dcb.ByteSize = 6;
      break;
    case CS7:
      dcb.ByteSize = 7;
      break;
    default:
      dcb.ByteSize = 8;
      break;
  }
  if (!(t.c_cflag & PARENB))
    dcb.Parity = kNoParity;
  else if (t.c_cflag & CMSPAR)
    dcb.Parity = (t.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
  else
    dcb.Parity = (t.c_cflag & PARODD) ? kOddParity : kEvenParity;
  if (!(t.c_cflag & CSTOPB))
    dcb.StopBits = kOneStopBit;
  else if (dcb.StopBits == kOneStopBit)
    dcb.StopBits = kTwoStopBits;  // one and a half stays as it was set
  dcb.Set(kDcbBinary, 1);
  if (t.c_cflag & PARENB) dcb.Set(kDcbParity, (t.c_iflag & INPCK) ? 1 : 0);
  dcb.Set(kDcbOutX, (t.c_iflag & IXON) ? 1 : 0);
  dcb.Set(kDcbInX, (t.c_iflag & IXOFF) ? 1 : 0);
  dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);

  // CRTSCTS stands for CTS output flow and RTS handshake together; keep whichever of the two
  // was asked for, both when the port got there by other means.
  const bool ctsRts = (t.c_cflag & CRTSCTS) != 0;
  const bool askedCts = dcb.Get(kDcbOutxCtsFlow) != 0;
  const bool askedRts = dcb.Get(kDcbRtsControl) == kRtsControlHandshake;
  if (ctsRts && !askedCts && !askedRts) {
    dcb.Set(kDcbOutxCtsFlow, 1);
    dcb.Set(kDcbRtsControl, kRtsControlHandshake);
  } else if (!ctsRts) {
    dcb.Set(kDcbOutxCtsFlow, 0);
    if (askedRts) dcb.Set(kDcbRtsControl, kRtsControlEnable);
  }
}

bool ReadPortState(PortHandle port, DCB& dcb) {
  termios t{};
  if (port < 0 || tcgetattr(port, &t) != 0) return false;
  TermiosToDcb(t, dcb);
  // A rate set through the arbitrary-rate interface has no constant of its own.
  uint32_t baud = 0;
  speed_t code = cfgetospeed(&t);
  if (!BaudOf(code, baud) && GetLineSpeed(port, baud) && baud != 0) dcb.BaudRate = baud;
  int lines = 0;
  if (ioctl(port, TIOCMGET, &lines) == 0) {
    if (dcb.Get(kDcbDtrControl) != kDtrControlHandshake)
      dcb.Set(kDcbDtrControl, (lines & TIOCM_DTR) ? kDtrControlEnable : kDtrControlDisable);
    const uint32_t rts = dcb.Get(kDcbRtsControl);
    if (rts != kRtsControlHandshake && rts != kRtsControlToggle)
      dcb.Set(kDcbRtsControl, (lines & TIOCM_RTS) ? kRtsControlEnable : kRtsControlDisable);
  }
  return true;
}

}  // namespace kestrune
