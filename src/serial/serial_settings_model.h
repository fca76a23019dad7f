// SPDX-License-Identifier: MIT
// The serial settings of romsend as the setup pages and the serial driver see them: port name
// and line settings as texts, kept in one profile section, with the tables that name them.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "serial/saved_line_settings.h"

namespace kestrune {

// Entries of the drop-down lists of the serial page, in list order. The baud and data-bit
// entries are the stored numbers; parity and stop-bit entries are stored as their index.
inline constexpr std::array<std::string_view, 8> kBaudTexts = {"460800", "230400", "115200", "57600",
                                                               "38400",  "19200",  "9600",   "2400"};
inline constexpr std::array<std::string_view, 4> kDataBitsTexts = {"5", "6", "7", "8"};
inline constexpr std::array<std::string_view, 5> kParityTexts = {"none", "odd", "even", "sticky odd", "sticky even"};
inline constexpr std::array<std::string_view, 3> kStopBitsTexts = {"1", "1.5", "2"};
// Shown for choice only; none of them changes the line settings.
inline constexpr std::array<std::string_view, 16> kFlowControlTexts = {"Local CTS/RTS-Remote CTS/RTS",
                                                                       "Local CTS/RTS-Remote XON/XOFF",
                                                                       "Local CTS/RTS-Remote DSR/DTR",
                                                                       "Local CTS/RTS-Remote none",
                                                                       "none",
                                                                       "Local none-Remote XOFF/XON",
                                                                       "Local XOFF/XON-Remote none",
                                                                       "Local XON/XOFF-Remote XON/XOFF",
                                                                       "Local DSR/DTR-Remote none",
                                                                       "Local DSR/DTR-Remote CTS/RTS",
                                                                       "Local DSR/DTR-Remote DSR/DTR ",
                                                                       "Local DSR/DTR-Remote DSR/DTR",
                                                                       "Local none-Remote CTS/RTS",
                                                                       "Local none-Remote DSR/DTR",
                                                                       "Local XOFF/XON- Remote CTS/RTS",
                                                                       "Local XOFF/XON-Remote DSR/DTR"};

// The serial ports with hardware behind them: every tty under "<sysfs>/class/tty" that has a
// "device" entry, as "<dev>/<name>", in natural name order (ttyS2 before ttyS10). The roots
// are $KESTRUNE_SYSFS_ROOT (default /sys) and $KESTRUNE_DEV_ROOT (default /dev). At most
// kMaxSerialPorts are listed; none when the folder cannot be read.
std::vector<std::string> EnumerateSerialPorts();
inline constexpr size_t kMaxSerialPorts = 256;

// Built on the thread that uses it; not thread-safe. Reads the profile at construction and
// writes it only in Apply.
class SerialSettingsModel : public SavedLineSettings {
 public:
  // Lists the ports and loads the section's settings. The port text is the section's "port"
  // (the first port listed when there is none); with no port listed, a stored port is kept
  // only while it exists as a character device (pseudo-terminals, /dev/serial/by-id links
  // and rfcomm devices are never listed but work), else the port text is empty. A stored
  // parity or stop-bit value without a name in its table shows as an empty text.
  SerialSettingsModel(const RunContext& context, const std::string& section);

  // Writes the port text as "port", turns the other texts back into line settings (an
  // unknown parity or stop-bit text gives 0, a baud or data-bit text is read as a decimal
  // number) and saves them (a failed save shows one warning box). The flow-control text plays
  // no part.
  void Apply();

  // All six texts equal.
  bool operator==(const SerialSettingsModel& other) const;

  const std::vector<std::string>& Ports() const { return *ports_; }
  int PortCount() const { return static_cast<int>(ports_->size()); }

  std::string baudText;
  std::string portText;
  std::string parityText;
  std::string dataBitsText;
  std::string stopBitsText;
  std::string flowControlText;  // starts empty; never loaded or saved
  // The section's "port" exactly as stored (empty when there is none), also when the port text
  // does not show it: the name a connection tries, so a failure can name it.
  std::string storedPort;

 private:
  // Copies share one list.
  std::shared_ptr<const std::vector<std::string>> ports_;
};

}  // namespace kestrune
