// SPDX-License-Identifier: MIT
// The fake sysfs tree: folders, attribute files and relative links as the kernel lays them out.
#include "fake_sysfs.h"

#include <filesystem>

namespace kestrune::test {
namespace fs = std::filesystem;

namespace {
constexpr const char* kUsbHostFolder = "devices/pci0000:00/0000:00:14.0/usb1";

char HexDigit(unsigned v) {
  return "0123456789abcdef"[v & 15];
}

// Four lower-case hex digits and a new line, as the kernel writes idVendor and idProduct.
std::string IdText(uint16_t id) {
  return {HexDigit(id >> 12), HexDigit(id >> 8), HexDigit(id >> 4), HexDigit(id), '\n'};
}
}  // namespace

FakeSysfs::FakeSysfs()
    : sys_(dir_ / "sys"),
      dev_(dir_ / "dev"),
      sysEnv_("KESTRUNE_SYSFS_ROOT", sys_.c_str()),
      devEnv_("KESTRUNE_DEV_ROOT", dev_.c_str()) {
  for (const char* sub : {"class/tty", "bus/usb/devices", "bus/usb/drivers", kUsbHostFolder})
    fs::create_directories(sys_ + "/" + sub);
  fs::create_directories(dev_);
}

std::string FakeSysfs::UsbDeviceFolder(const std::string& busName) const {
  return sys_ + "/" + kUsbHostFolder + "/" + busName;
}

void FakeSysfs::Symlink(const std::string& target, const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
  fs::create_symlink(target, path);
}

void FakeSysfs::RelativeLink(const std::string& target, const std::string& path) {
  const fs::path from = fs::path(path).parent_path();
  Symlink(fs::path(target).lexically_relative(from).string(), path);
}

void FakeSysfs::WriteSysFile(const std::string& relativePath, const std::string& bytes) {
  const std::string path = sys_ + "/" + relativePath;
  fs::create_directories(fs::path(path).parent_path());
  WriteFileBytes(path, bytes);
}

std::string FakeSysfs::AddUsbDevice(const std::string& busName, uint16_t vendorId, uint16_t productId,
                                    const std::string& serial) {
  const std::string folder = UsbDeviceFolder(busName);
  fs::create_directories(folder);
  WriteFileBytes(folder + "/idVendor", IdText(vendorId));
  WriteFileBytes(folder + "/idProduct", IdText(productId));
  if (!serial.empty()) WriteFileBytes(folder + "/serial", serial + "\n");
  RelativeLink(folder, sys_ + "/bus/usb/devices/" + busName);
  return folder;
}

void FakeSysfs::AddDriver(const std::string& bus, const std::string& driver, const std::string& deviceFolder) {
  const std::string driverFolder = sys_ + "/bus/" + bus + "/drivers/" + driver;
  fs::create_directories(driverFolder);
  RelativeLink(driverFolder, deviceFolder + "/driver");
}

void FakeSysfs::AddClassTty(const std::string& ttyFolder, const std::string& deviceFolder) {
  fs::create_directories(ttyFolder);
  WriteFileBytes(ttyFolder + "/dev", "166:0\n");
  if (!deviceFolder.empty()) RelativeLink(deviceFolder, ttyFolder + "/device");
  RelativeLink(ttyFolder, sys_ + "/class/tty/" + fs::path(ttyFolder).filename().string());
}

void FakeSysfs::AddAcmTty(const std::string& busName, int number, const std::string& tty) {
  const std::string interface = UsbDeviceFolder(busName) + "/" + busName + ":1." + std::to_string(number);
  fs::create_directories(interface);
  AddDriver("usb", "cdc_acm", interface);
  RelativeLink(interface, sys_ + "/bus/usb/devices/" + fs::path(interface).filename().string());
  AddClassTty(interface + "/tty/" + tty, interface);
}

void FakeSysfs::AddUsbSerialTty(const std::string& busName, int number, const std::string& tty,
                                const std::string& driver) {
  const std::string interface = UsbDeviceFolder(busName) + "/" + busName + ":1." + std::to_string(number);
  const std::string port = interface + "/" + tty;
  fs::create_directories(port);
  AddDriver("usb", driver, interface);
  AddDriver("usb-serial", driver, port);
  RelativeLink(interface, sys_ + "/bus/usb/devices/" + fs::path(interface).filename().string());
  AddClassTty(port + "/tty/" + tty, port);
}

void FakeSysfs::AddBuiltInTty(const std::string& tty) {
  const std::string device = sys_ + "/devices/platform/serial8250";
  fs::create_directories(device);
  if (!fs::is_symlink(device + "/driver")) AddDriver("platform", "serial8250", device);
  AddClassTty(device + "/tty/" + tty, device);
}

void FakeSysfs::AddVirtualTty(const std::string& tty) {
  AddClassTty(sys_ + "/devices/virtual/tty/" + tty, "");
}

void FakeSysfs::RemoveClassEntry(const std::string& tty) {
  fs::remove(sys_ + "/class/tty/" + tty);
}

std::string FakeSysfs::LinkDevNode(const std::string& tty, const std::string& target) {
  const std::string path = DevPath(tty);
  fs::remove(path);
  Symlink(target, path);
  return path;
}

}  // namespace kestrune::test
