// SPDX-License-Identifier: MIT
// Port names and the factory that opens a handle and sets up its reader.
#include "serial/serial_handle.h"

#include <cctype>

#include "serial/usb_port_discovery.h"

namespace kestrune {

std::string ComPortName(const std::string& name) {
  if (name.compare(0, 3, "COM") != 0) return name;
  // The number is read as a "%d" conversion would: blanks skipped, an optional sign.
  size_t i = 3;
  while (i < name.size() && std::isspace(static_cast<unsigned char>(name[i]))) ++i;
  bool negative = false;
  if (i < name.size() && (name[i] == '+' || name[i] == '-')) negative = name[i++] == '-';
  const size_t first = i;
  long long number = 0;
  while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]))) {
    number = number * 10 + (name[i++] - '0');
    if (number > 999999999) return name;  // no port has such a number
  }
  if (i == first || negative || number <= 9) return name;
  return "//./COM" + std::to_string(number);
}

std::string DevicePathOf(const std::string& portName) {
  std::string path = portName;
  if (!path.empty() && path.back() == ':') path.pop_back();
  // A bare name ("ttyACM0", as Windows users write "COM5") means the device folder, never a
  // file of that name in the working folder.
  if (!path.empty() && path.find('/') == std::string::npos) path = DevRoot() + "/" + path;
  return path;
}

PublicSerialHandle* PublicSerialHandle::Open(const PortOwner& owner, const std::string& portName,
                                             SerialReceiveFn callback, void* context, uint32_t bufferSize,
                                             PortOpenFailure* failure, void* notifyWindow, uint32_t notifyMessage) {
  (void)notifyMessage;  // no window messages on this platform
  auto handle = std::make_unique<MySerialHandle>(owner, portName, bufferSize);
  if (failure) *failure = handle->OpenFailure();
  if (callback || notifyWindow) {
    if (!handle->StartReader(callback, context)) return nullptr;
  } else {
    handle->ApplyTimeouts();
  }
  return handle.release();
}

}  // namespace kestrune
