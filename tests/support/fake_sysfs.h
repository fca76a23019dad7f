// SPDX-License-Identifier: MIT
// A fake sysfs tree and device folder in a temp folder, shaped like the kernel's, for tests of
// USB serial port discovery. While it lives, KESTRUNE_SYSFS_ROOT and KESTRUNE_DEV_ROOT point at
// it. Links are relative, as in the real tree:
//   sys/devices/pci0000:00/0000:00:14.0/usb1/<dev>/              idVendor idProduct serial
//   sys/devices/.../<dev>/<dev>:1.<n>/                           driver -> bus/usb/drivers/<drv>
//   sys/devices/.../<dev>:1.<n>/tty/<tty>/                       device -> the interface (cdc_acm)
//   sys/devices/.../<dev>:1.<n>/<tty>/tty/<tty>/                 device -> the port (USB-serial)
//   sys/class/tty/<tty> -> the tty folder;  sys/bus/usb/devices/<dev> -> the device folder
#pragma once

#include <cstdint>
#include <string>

#include "test_env.h"

namespace kestrune::test {

class FakeSysfs {
 public:
  FakeSysfs();
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  const std::string& SysRoot() const { return sys_; }
  const std::string& DevRoot() const { return dev_; }
  // "<dev root>/<tty>", the port name discovery gives for that tty.
  std::string DevPath(const std::string& tty) const { return dev_ + "/" + tty; }

  // A USB device named like the kernel names it ("1-2", "3-1.4") with its ids and, when not
  // empty, its serial number. Returns the device folder.
  std::string AddUsbDevice(const std::string& busName, uint16_t vendorId, uint16_t productId,
                           const std::string& serial = "");
  // Interface `number` of the device, bound to cdc_acm, with tty `tty` (ttyACM0).
  void AddAcmTty(const std::string& busName, int number, const std::string& tty);
  // Interface `number` of the device, bound to a USB-serial converter driver, with its port
  // folder and tty `tty` (ttyUSB0).
  void AddUsbSerialTty(const std::string& busName, int number, const std::string& tty,
                       const std::string& driver = "ftdi_sio");
  // A built-in UART (ttyS0) on the platform bus, driver serial8250.
  void AddBuiltInTty(const std::string& tty);
  // A tty with no device behind it (tty1, console).
  void AddVirtualTty(const std::string& tty);
  // Drops the tty's class entry, as when the device went away while its folder is still seen.
  void RemoveClassEntry(const std::string& tty);

  // Makes "<dev root>/<tty>" a link to `target` (a pty slave, say), so the port discovery
  // names can be opened. Returns the link's path.
  std::string LinkDevNode(const std::string& tty, const std::string& target);

  // Creates `path` as a link to `target` as given (for loops and other odd shapes).
  static void Symlink(const std::string& target, const std::string& path);
  // Writes `bytes` to `path` under the sys root, making folders as needed.
  void WriteSysFile(const std::string& relativePath, const std::string& bytes);

 private:
  std::string UsbDeviceFolder(const std::string& busName) const;
  // A link at `path` to `target`, written relative to the link's folder.
  static void RelativeLink(const std::string& target, const std::string& path);
  void AddDriver(const std::string& bus, const std::string& driver, const std::string& deviceFolder);
  void AddClassTty(const std::string& ttyFolder, const std::string& deviceFolder);

  TempDir dir_;
  std::string sys_;
  std::string dev_;
  ScopedEnv sysEnv_;
  ScopedEnv devEnv_;
};

}  // namespace kestrune::test
