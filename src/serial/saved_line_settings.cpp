// SPDX-License-Identifier: MIT
// Loading and saving line settings through the application profile.
#include "serial/saved_line_settings.h"

#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "serial/port_state.h"

namespace kestrune {
namespace {

enum class Slot { kBaud, kFlag, kByteSize, kParity, kStopBits };

struct Entry {
  const char* name;
  Slot slot;
  DcbField flag;  // for kFlag only
  int def;
};

// Profile entries in the order they are read.
constexpr Entry kEntries[] = {
    {"baud", Slot::kBaud, {}, 115200},
    {"OutCts", Slot::kFlag, kDcbOutxCtsFlow, 0},
    {"OutDsr", Slot::kFlag, kDcbOutxDsrFlow, 0},
    {"DtrControl", Slot::kFlag, kDcbDtrControl, kDtrControlEnable},
    {"InDsr", Slot::kFlag, kDcbDsrSensitivity, 0},
    {"OutX", Slot::kFlag, kDcbOutX, 0},
    {"InX", Slot::kFlag, kDcbInX, 0},
    {"RtsControl", Slot::kFlag, kDcbRtsControl, kRtsControlEnable},
    {"bits", Slot::kByteSize, {}, 8},
    {"parity", Slot::kParity, {}, kNoParity},
    {"stop", Slot::kStopBits, {}, kOneStopBit},
};

}  // namespace

SavedLineSettings::SavedLineSettings(const RunContext& context, const std::string& section, PortHandle port)
    : DCB{}, context_(&context), port_(port), section_(section) {
  if (section_.empty()) section_ = ProgramName(context.programPath);
  DCBlength = sizeof(DCB);
  Set(kDcbBinary, 1);
  Set(kDcbParity, 1);
  if (port_ != kNoPort) ReadPortState(port_, *this);

  const Profile& profile = context_->profile;
  for (const Entry& e : kEntries) {
    const uint32_t v = static_cast<uint32_t>(profile.GetInt(section_, e.name, e.def));
    switch (e.slot) {
      case Slot::kBaud:
        BaudRate = v;
        break;
      case Slot::kFlag:
        Set(e.flag, v);
        break;
      case Slot::kByteSize:
        ByteSize = static_cast<uint8_t>(v);
        break;
      case Slot::kParity:
        Parity = static_cast<uint8_t>(v);
        break;
      case Slot::kStopBits:
        StopBits = static_cast<uint8_t>(v);
        break;
    }
  }
  if (port_ != kNoPort) refusal_ = ApplyLineSettings(port_, *this, refusalError_);
}

void SavedLineSettings::Save() {
  if (port_ != kNoPort) ReadPortState(port_, *this);
  Profile& profile = context_->profile;
  if (!profile.WriteInt(section_, "baud", static_cast<int>(BaudRate)))
    context_->boxes.Show(profile.Path(), "Cannot write to INI file", kBoxIconWarning);
  profile.WriteInt(section_, "bits", ByteSize);
  profile.WriteInt(section_, "parity", Parity);
  profile.WriteInt(section_, "stop", StopBits);
  profile.WriteInt(section_, "OutCts", static_cast<int>(Get(kDcbOutxCtsFlow)));
  profile.WriteInt(section_, "RtsControl", static_cast<int>(Get(kDcbRtsControl)));
  profile.WriteInt(section_, "OutX", static_cast<int>(Get(kDcbOutX)));
  profile.WriteInt(section_, "InX", static_cast<int>(Get(kDcbInX)));
}

bool SavedLineSettings::Set(uint32_t baud, uint8_t dataBits, uint8_t stopBits, uint8_t parity) {
  BaudRate = baud;
  ByteSize = dataBits;
  Parity = parity;
  StopBits = stopBits;
  Profile& profile = context_->profile;
  const bool baudWritten = profile.WriteInt(section_, "baud", static_cast<int>(baud));
  profile.WriteInt(section_, "bits", dataBits);
  profile.WriteInt(section_, "parity", parity);
  profile.WriteInt(section_, "stop", stopBits);
  if (port_ != kNoPort) return ApplyPortState(port_, *this);
  return baudWritten;
}

}  // namespace kestrune
