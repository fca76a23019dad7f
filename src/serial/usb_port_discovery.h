// SPDX-License-Identifier: MIT
// Finding the serial port of an attached USB device by its vendor and product id, and telling a
// USB CDC serial port from other ports, by reading the kernel's sysfs tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune {

// What CheckUsbSerialPort finds for a port name.
enum UsbPortClass : int {
  kUsbCdcPort = 0,        // a present tty bound to the cdc_acm driver
  kPortNotPresent = 1,    // no tty of that name
  kOtherKindOfPort = 2,   // a present tty of another kind (built-in UART, USB converter, console)
  kPortLookupFailed = 3,  // the tree could not be read (missing sysfs, permissions, link loops)
};

// One device the programs look for. The registry key and the friendly-name patterns are how
// a Windows backend finds the same device ("%s" stands for the port name, the pattern ends at
// its ")"); the Linux backend goes by the ids alone.
struct UsbDiscoveryTarget {
  uint16_t vendorId;
  uint16_t productId;
  std::string_view deviceKey;      // under HKEY_LOCAL_MACHINE
  std::string_view firstPattern;   // preferred across all instances
  std::string_view secondPattern;  // tried when no instance matched the first
};

// The maker's ZT770+ USB bridge (romsend).
inline constexpr UsbDiscoveryTarget kZt770BridgeTarget = {
    0x5e7a, 0x0016, "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_5E7A&PID_0016", "ZT770+ (%s)", "USB Serial Device (%s)"};
// The SAM-BA boot monitor of an Atmel SAM chip (pageburn).
inline constexpr UsbDiscoveryTarget kSambaMonitorTarget = {
    0x03eb, 0x6124, "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_03EB&PID_6124", "Bossa Program Port (%s)",
    "AT91 USB to Serial Converter (%s)"};

// The roots the tree is read from: $KESTRUNE_SYSFS_ROOT (default "/sys") and $KESTRUNE_DEV_ROOT
// (default "/dev"), read at every call so tests can point them at a fake tree.
std::string SysfsRoot();
std::string DevRoot();

// Classifies a port name (a device path such as "/dev/ttyACM0", or a bare tty name; one
// trailing ':' is ignored). The tty is the name's last path component; when sysfs knows no tty
// of that name and the path is a symbolic link (/dev/serial/by-id/...), the link's final
// target names the tty. Reads <sysfs>/class/tty/<tty>, its "device" link and that device's
// "driver" link; never opens the port. Returns a UsbPortClass value.
int CheckUsbSerialPort(const std::string& portName);

// The USB device instances with the given ids: the folders <sysfs>/bus/usb/devices/<name> whose
// idVendor and idProduct files hold them, in name order. At most kMaxUsbDevices are looked at.
std::vector<std::string> UsbDeviceInstances(uint16_t vendorId, uint16_t productId);
inline constexpr size_t kMaxUsbDevices = 1024;

// The tty names below one USB device instance, in interface then name order: "<if>/tty/<tty>"
// (cdc_acm and other class drivers) and "<if>/<port>/tty/<tty>" (USB-serial converters).
std::vector<std::string> InstanceTtyNames(const std::string& instancePath);

// The first instance of the ids (in the order above) with a tty that classifies as kUsbCdcPort,
// as "<dev>/<tty>"; prints "Port found at %s\n" with it on standard output. Empty when none
// qualifies (unplugged, unbound or not CDC); nothing is printed then.
std::string FindUsbSerialPort(uint16_t vendorId, uint16_t productId);

// FindUsbSerialPort for one program's device.
std::string FindDevicePort(const UsbDiscoveryTarget& target);

}  // namespace kestrune
