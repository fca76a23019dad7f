// SPDX-License-Identifier: MIT
// USB serial port discovery against fake sysfs trees: port classes, instance order, skipped
// instances and odd or hostile trees.
#include "serial/usb_port_discovery.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdio>

#include "fake_sysfs.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::FakeSysfs;

constexpr uint16_t kVid = 0x03eb;
constexpr uint16_t kPid = 0x6124;

// What the code under test writes to standard output meanwhile.
class StdoutCapture {
 public:
  StdoutCapture() : path_(dir_ / "stdout") {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    std::FILE* f = std::fopen(path_.c_str(), "w");
    dup2(fileno(f), STDOUT_FILENO);
    std::fclose(f);
  }
  ~StdoutCapture() { Text(); }
  std::string Text() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
      saved_ = -1;
    }
    return test::ReadFileBytes(path_);
  }

 private:
  test::TempDir dir_;
  std::string path_;
  int saved_ = -1;
};

TEST(UsbPortDiscovery, PortsAreClassifiedByTheDriverOfTheirTty) {
  FakeSysfs sys;
  sys.AddUsbDevice("1-2", kVid, kPid, "A1");
  sys.AddAcmTty("1-2", 0, "ttyACM0");
  sys.AddUsbDevice("1-3", 0x0403, 0x6001);
  sys.AddUsbSerialTty("1-3", 0, "ttyUSB0");
  sys.AddBuiltInTty("ttyS0");
  sys.AddVirtualTty("tty1");
  sys.AddVirtualTty("ttyGone");
  sys.RemoveClassEntry("ttyGone");
  FakeSysfs::Symlink("ttyLoop", sys.SysRoot() + "/class/tty/ttyLoop");
  FakeSysfs::Symlink("../../nowhere/ttyDangling", sys.SysRoot() + "/class/tty/ttyDangling");
  sys.AddVirtualTty("ttyNoDriver");
  FakeSysfs::Symlink("../../../platform/serial8250", sys.SysRoot() + "/devices/virtual/tty/ttyNoDriver/device");
  sys.WriteSysFile("devices/platform/plain/driver", "not a link");
  sys.AddVirtualTty("ttyPlainDriver");
  FakeSysfs::Symlink("../../../platform/plain", sys.SysRoot() + "/devices/virtual/tty/ttyPlainDriver/device");
  // Stable aliases such as /dev/serial/by-id links lead to the node discovery names.
  FakeSysfs::Symlink("../../ttyACM0", sys.DevRoot() + "/serial/by-id/usb-Atmel-if00");
  FakeSysfs::Symlink("../../ttyS0", sys.DevRoot() + "/serial/by-id/builtin");
  FakeSysfs::Symlink("../../ttyACM7", sys.DevRoot() + "/serial/by-id/unplugged");
  test::WriteFileBytes(sys.DevPath("ttyACM0"), "");
  test::WriteFileBytes(sys.DevPath("ttyS0"), "");

  const struct {
    std::string port;
    int expected;
  } rows[] = {
      {sys.DevPath("ttyACM0"), kUsbCdcPort},
      {sys.DevPath("ttyACM0") + ":", kUsbCdcPort},
      {"ttyACM0", kUsbCdcPort},
      {"/dev/ttyACM0", kUsbCdcPort},  // only the tty name counts
      {sys.DevRoot() + "/serial/by-id/usb-Atmel-if00", kUsbCdcPort},
      {sys.DevPath("ttyUSB0"), kOtherKindOfPort},  // a USB-serial converter is no CDC port
      {sys.DevPath("ttyS0"), kOtherKindOfPort},
      {sys.DevRoot() + "/serial/by-id/builtin", kOtherKindOfPort},
      {sys.DevPath("tty1"), kOtherKindOfPort},  // no device behind it
      {sys.DevPath("ttyNoDriver"), kOtherKindOfPort},
      {sys.DevPath("ttyPlainDriver"), kOtherKindOfPort},
      {sys.DevPath("ttyACM7"), kPortNotPresent},
      {sys.DevRoot() + "/serial/by-id/unplugged", kPortNotPresent},
      {sys.DevPath("ttyGone"), kPortNotPresent},
      {sys.DevPath("ttyDangling"), kPortNotPresent},
      {"COM5", kPortNotPresent},
      {"", kPortNotPresent},
      {":", kPortNotPresent},
      {"..", kPortNotPresent},
      {sys.DevRoot() + "/", kPortNotPresent},
      {sys.DevPath("ttyLoop"), kPortLookupFailed},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.port);
    EXPECT_EQ(CheckUsbSerialPort(r.port), r.expected);
  }

  // A tree that is not there or not a tree cannot be looked up.
  test::TempDir other;
  {
    test::ScopedEnv missing("KESTRUNE_SYSFS_ROOT", (other / "none").c_str());
    EXPECT_EQ(CheckUsbSerialPort("ttyACM0"), kPortLookupFailed);
  }
  test::WriteFileBytes(other / "tty", "");
  FakeSysfs::Symlink(other.Path(), other / "class");
  {
    test::ScopedEnv odd("KESTRUNE_SYSFS_ROOT", other.Path().c_str());
    EXPECT_EQ(CheckUsbSerialPort("ttyACM0"), kPortLookupFailed);
  }
}

TEST(UsbPortDiscovery, TheFirstInstanceInNameOrderWithACdcPortWinsAndIsPrinted) {
  FakeSysfs sys;
  sys.AddUsbDevice("3-1", kVid, kPid, "C");
  sys.AddAcmTty("3-1", 0, "ttyACM2");
  sys.AddUsbDevice("1-4", kVid, kPid, "B");
  sys.AddAcmTty("1-4", 0, "ttyACM1");
  sys.AddUsbDevice("1-10", 0x5e7a, 0x0016);  // another program's device
  sys.AddAcmTty("1-10", 0, "ttyACM0");

  const auto instances = UsbDeviceInstances(kVid, kPid);
  ASSERT_EQ(instances.size(), 2u);
  EXPECT_EQ(instances[0], sys.SysRoot() + "/bus/usb/devices/1-4");
  EXPECT_EQ(instances[1], sys.SysRoot() + "/bus/usb/devices/3-1");

  StdoutCapture out;
  EXPECT_EQ(FindDevicePort(kSambaMonitorTarget), sys.DevPath("ttyACM1"));
  EXPECT_EQ(FindDevicePort(kZt770BridgeTarget), sys.DevPath("ttyACM0"));
  EXPECT_EQ(out.Text(), "Port found at " + sys.DevPath("ttyACM1") + "\nPort found at " + sys.DevPath("ttyACM0") + "\n");
}

TEST(UsbPortDiscovery, InstancesWithoutAPresentCdcPortAreSkipped) {
  FakeSysfs sys;
  // 1-1: unplugged, its tty folder still seen but the class entry gone.
  sys.AddUsbDevice("1-1", kVid, kPid);
  sys.AddAcmTty("1-1", 0, "ttyACM0");
  sys.RemoveClassEntry("ttyACM0");
  // 1-2: same ids but behind a USB-serial converter driver.
  sys.AddUsbDevice("1-2", kVid, kPid);
  sys.AddUsbSerialTty("1-2", 0, "ttyUSB0", "cp210x");
  // 1-3: no driver bound, so no tty at all.
  sys.AddUsbDevice("1-3", kVid, kPid);
  {
    StdoutCapture out;
    EXPECT_EQ(FindUsbSerialPort(kVid, kPid), "");
    EXPECT_EQ(FindUsbSerialPort(0x1234, 0x5678), "");
    EXPECT_EQ(out.Text(), "");  // nothing printed when nothing is found
  }

  // 1-4: a composite device whose CDC port sits on its third interface.
  sys.AddUsbDevice("1-4", kVid, kPid);
  sys.AddUsbSerialTty("1-4", 0, "ttyUSB1");
  sys.AddAcmTty("1-4", 2, "ttyACM3");
  sys.AddAcmTty("1-4", 3, "ttyACM4");
  EXPECT_EQ(InstanceTtyNames(sys.SysRoot() + "/bus/usb/devices/1-4"),
            (std::vector<std::string>{"ttyUSB1", "ttyACM3", "ttyACM4"}));
  StdoutCapture out;
  EXPECT_EQ(FindUsbSerialPort(kVid, kPid), sys.DevPath("ttyACM3"));
  EXPECT_EQ(out.Text(), "Port found at " + sys.DevPath("ttyACM3") + "\n");
}

TEST(UsbPortDiscovery, OddIdFilesAndLoopsAreSkippedWithoutHarm) {
  FakeSysfs sys;
  const std::string dev = sys.AddUsbDevice("2-1", kVid, kPid);
  sys.AddAcmTty("2-1", 0, "ttyACM0");
  const std::string idVendor = dev + "/idVendor";
  const struct {
    const char* name;
    std::string bytes;  // empty: no file
    bool matches;
  } rows[] = {
      {"upper case, no new line", "03EB", true},
      {"short form", "3eb\n", true},
      {"missing", "", false},
      {"prefixed", "0x03eb\n", false},
      {"five digits", "003eb\n", false},
      {"trailing text", "03eb x\n", false},
      {"long", std::string(100000, '0') + "3eb\n", false},
      {"binary", std::string("\0\0\xff\n", 4), false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    std::remove(idVendor.c_str());
    if (!r.bytes.empty()) test::WriteFileBytes(idVendor, r.bytes);
    EXPECT_EQ(UsbDeviceInstances(kVid, kPid).size(), r.matches ? 1u : 0u);
  }
  // A FIFO must not stall the search; a folder is no id either.
  std::remove(idVendor.c_str());
  ASSERT_EQ(mkfifo(idVendor.c_str(), 0600), 0);
  EXPECT_TRUE(UsbDeviceInstances(kVid, kPid).empty());
  std::remove(idVendor.c_str());
  ASSERT_EQ(mkdir(idVendor.c_str(), 0700), 0);
  EXPECT_TRUE(UsbDeviceInstances(kVid, kPid).empty());
  rmdir(idVendor.c_str());
  test::WriteFileBytes(idVendor, "03eb\n");

  // Loops: a device link to itself, an interface whose tty folder links back up the tree, a
  // port folder that holds a link to its interface.
  FakeSysfs::Symlink("1-9", sys.SysRoot() + "/bus/usb/devices/1-9");
  sys.AddUsbDevice("2-2", kVid, kPid);
  FakeSysfs::Symlink("..", sys.SysRoot() + "/bus/usb/devices/2-2/2-2:1.0/tty");
  FakeSysfs::Symlink("..", sys.SysRoot() + "/bus/usb/devices/2-2/2-2:1.1/up/tty");
  EXPECT_TRUE(InstanceTtyNames(sys.SysRoot() + "/bus/usb/devices/2-2").empty());
  EXPECT_EQ(UsbDeviceInstances(kVid, kPid).size(), 2u);
  StdoutCapture out;
  EXPECT_EQ(FindUsbSerialPort(kVid, kPid), sys.DevPath("ttyACM0"));
}

}  // namespace
}  // namespace kestrune
