// SPDX-License-Identifier: MIT
// The line-settings, port-configuration and time-out records that both programs and their
// profiles speak in. They keep the Windows layout byte for byte (28-byte DCB with its flag
// word), so settings saved or copied as raw bytes mean the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune {

// One bit field of the DCB flag word: its lowest bit and its width in bits.
struct DcbField {
  uint8_t shift;
  uint8_t width;
  constexpr uint32_t Mask() const { return ((1u << width) - 1u) << shift; }
};

inline constexpr DcbField kDcbBinary{0, 1};
inline constexpr DcbField kDcbParity{1, 1};  // parity checking on received bytes
inline constexpr DcbField kDcbOutxCtsFlow{2, 1};
inline constexpr DcbField kDcbOutxDsrFlow{3, 1};
inline constexpr DcbField kDcbDtrControl{4, 2};
inline constexpr DcbField kDcbDsrSensitivity{6, 1};
inline constexpr DcbField kDcbTXContinueOnXoff{7, 1};
inline constexpr DcbField kDcbOutX{8, 1};
inline constexpr DcbField kDcbInX{9, 1};
inline constexpr DcbField kDcbErrorChar{10, 1};
inline constexpr DcbField kDcbNull{11, 1};
inline constexpr DcbField kDcbRtsControl{12, 2};
inline constexpr DcbField kDcbAbortOnError{14, 1};

// Values of the Parity, StopBits, fDtrControl and fRtsControl fields.
enum : uint8_t { kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3, kSpaceParity = 4 };
enum : uint8_t { kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2 };
enum : uint8_t { kDtrControlDisable = 0, kDtrControlEnable = 1, kDtrControlHandshake = 2 };
enum : uint8_t { kRtsControlDisable = 0, kRtsControlEnable = 1, kRtsControlHandshake = 2, kRtsControlToggle = 3 };

// Device-control block: the line settings of a port.
struct DCB {
  uint32_t DCBlength;
  uint32_t BaudRate;
  uint32_t flags;  // bit fields, see the kDcb* constants
  uint16_t wReserved;
  uint16_t XonLim;
  uint16_t XoffLim;
  uint8_t ByteSize;
  uint8_t Parity;
  uint8_t StopBits;
  char XonChar;
  char XoffChar;
  char ErrorChar;
  char EofChar;
  char EvtChar;
  uint16_t wReserved1;

  uint32_t Get(DcbField f) const { return (flags & f.Mask()) >> f.shift; }
  // Stores `value` masked to the field's width.
  void Set(DcbField f, uint32_t value) { flags = (flags & ~f.Mask()) | ((value << f.shift) & f.Mask()); }
};
static_assert(sizeof(DCB) == 28);
static_assert(offsetof(DCB, flags) == 8 && offsetof(DCB, ByteSize) == 18 && offsetof(DCB, EvtChar) == 25);

// Port configuration as exchanged by GetConfig/SetConfig.
struct COMMCONFIG {
  uint32_t dwSize;
  uint16_t wVersion;
  uint16_t wReserved;
  DCB dcb;
  uint32_t dwProviderSubType;
  uint32_t dwProviderOffset;
  uint32_t dwProviderSize;
  uint16_t wcProviderData[1];
};
static_assert(sizeof(COMMCONFIG) == 52);
static_assert(offsetof(COMMCONFIG, dcb) == 8 && offsetof(COMMCONFIG, dwProviderSubType) == 36);

inline constexpr uint32_t kProviderSubtypeRs232 = 1;

// Read and write time-outs in milliseconds. A read interval of kMaxDword with both read totals
// 0 means "return at once with what is buffered"; a total of 0 means no total limit.
struct COMMTIMEOUTS {
  uint32_t ReadIntervalTimeout;
  uint32_t ReadTotalTimeoutMultiplier;
  uint32_t ReadTotalTimeoutConstant;
  uint32_t WriteTotalTimeoutMultiplier;
  uint32_t WriteTotalTimeoutConstant;
};
static_assert(sizeof(COMMTIMEOUTS) == 20);

inline constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

// The system's handle of an open port (a file descriptor here); kNoPort for none.
using PortHandle = int;
inline constexpr PortHandle kNoPort = -1;

}  // namespace kestrune
