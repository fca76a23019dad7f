// SPDX-License-Identifier: MIT
// The serial settings model and the list of serial ports read from sysfs.
#include "serial/serial_settings_model.h"

#include <dirent.h>
#include <sys/stat.h>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>

#include "platform/profile.h"
#include "serial/serial_handle.h"
#include "serial/usb_port_discovery.h"

namespace kestrune {
namespace {

// Orders digit runs by value, so ttyUSB2 comes before ttyUSB10.
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
      size_t ie = i, je = j;
      while (ie < a.size() && std::isdigit(static_cast<unsigned char>(a[ie]))) ++ie;
      while (je < b.size() && std::isdigit(static_cast<unsigned char>(b[je]))) ++je;
      // Compare as numbers without converting: drop leading zeros, then length, then digits.
      size_t is = i, js = j;
      while (is + 1 < ie && a[is] == '0') ++is;
      while (js + 1 < je && b[js] == '0') ++js;
      if (ie - is != je - js) return ie - is < je - js;
      const int c = a.compare(is, ie - is, b, js, je - js);
      if (c != 0) return c < 0;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}

bool IsCharDevice(const std::string& path) {
  struct stat st {};
  return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

// The table index of `text`, 0 when it is none of them (exact comparison).
template <size_t N>
uint8_t IndexOf(const std::array<std::string_view, N>& table, const std::string& text) {
  for (size_t i = 0; i < N; ++i)
    if (table[i] == text) return static_cast<uint8_t>(i);
  return 0;
}

template <size_t N>
std::string NameAt(const std::array<std::string_view, N>& table, unsigned index) {
  return index < N ? std::string(table[index]) : std::string();
}

// A decimal number as the user typed it: leading blanks and sign, digits up to the first
// other character, 0 when there are none; kept within 32 bits.
long long DecimalOf(const std::string& text) {
  const long long v = std::strtoll(text.c_str(), nullptr, 10);
  return std::clamp<long long>(v, INT_MIN, UINT_MAX);
}

}  // namespace

std::vector<std::string> EnumerateSerialPorts() {
  const std::string sysfs = SysfsRoot();
  const std::string dev = DevRoot();
  const std::string classDir = sysfs + "/class/tty";
  std::vector<std::string> names;
  DIR* d = opendir(classDir.c_str());
  if (!d) return names;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st {};
    // Virtual terminals and ptys have no "device" entry: no hardware behind them.
    if (lstat((classDir + "/" + name + "/device").c_str(), &st) != 0) continue;
    names.push_back(name);
    if (names.size() >= kMaxSerialPorts) break;
  }
  closedir(d);
  std::sort(names.begin(), names.end(), NaturalLess);
  for (std::string& n : names) n = dev + "/" + n;
  return names;
}

SerialSettingsModel::SerialSettingsModel(const RunContext& context, const std::string& section)
    : SavedLineSettings(context, section),
      ports_(std::make_shared<const std::vector<std::string>>(EnumerateSerialPorts())) {
  const Profile& profile = context_->profile;
  storedPort = profile.GetString(Section(), "port", "");
  if (!ports_->empty()) {
    portText = profile.GetString(Section(), "port", ports_->front());
  } else if (IsCharDevice(DevicePathOf(storedPort))) {
    portText = storedPort;
  }
  baudText = std::to_string(BaudRate);
  parityText = NameAt(kParityTexts, Parity);
  dataBitsText = std::to_string(ByteSize);
  stopBitsText = NameAt(kStopBitsTexts, StopBits);
}

void SerialSettingsModel::Apply() {
  context_->profile.WriteString(Section(), "port", portText);
  BaudRate = static_cast<uint32_t>(DecimalOf(baudText));
  Parity = IndexOf(kParityTexts, parityText);
  ByteSize = static_cast<uint8_t>(DecimalOf(dataBitsText));
  StopBits = IndexOf(kStopBitsTexts, stopBitsText);
  Save();
}

bool SerialSettingsModel::operator==(const SerialSettingsModel& other) const {
  return baudText == other.baudText && portText == other.portText && parityText == other.parityText &&
         dataBitsText == other.dataBitsText && stopBitsText == other.stopBitsText &&
         flowControlText == other.flowControlText;
}

}  // namespace kestrune
