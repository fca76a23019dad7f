// SPDX-License-Identifier: MIT
// USB serial port discovery on Linux: the kernel's sysfs tree stands in for the device registry.
//   <sysfs>/bus/usb/devices/<dev>            link to a USB device: idVendor, idProduct, serial
//   <dev>/<dev>:<cfg>.<if>/tty/<tty>         a class driver's tty (cdc_acm: ttyACM<n>)
//   <dev>/<dev>:<cfg>.<if>/<port>/tty/<tty>  a USB-serial converter's tty (ttyUSB<n>)
//   <sysfs>/class/tty/<tty>                  link to the tty; its "device" link leads to the
//                                            interface (or port) whose "driver" link names the driver
// Every file read is a few bytes, every listing is capped, and only real folders are descended
// into, so an odd or hostile tree cannot make the search read much or loop.
#include "serial/usb_port_discovery.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace kestrune {
namespace {

constexpr size_t kMaxListedEntries = 256;  // per folder below a device instance
constexpr size_t kMaxTtysPerInstance = 64;
constexpr size_t kMaxIdFileBytes = 64;  // "5e7a\n" in a real tree

std::string EnvRoot(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

// The entry names of a folder (without "." and ".."), sorted, at most `limit` of them; with
// `foldersOnly`, only entries that are folders themselves and not links to one.
std::vector<std::string> ListFolder(const std::string& path, size_t limit, bool foldersOnly) {
  std::vector<std::string> names;
  DIR* d = opendir(path.c_str());
  if (!d) return names;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (foldersOnly) {
      struct stat st {};
      if (lstat((path + "/" + name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    }
    names.push_back(name);
    if (names.size() >= limit) break;
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// At most `limit` bytes of a regular file; false when it is no regular file or cannot be read.
// Opened non-blocking so a FIFO planted in a tree cannot stall the search.
bool ReadSmallFile(const std::string& path, size_t limit, std::string& out) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  out.clear();
  while (ok && out.size() < limit) {
    char buf[kMaxIdFileBytes];
    const ssize_t n = read(fd, buf, std::min(sizeof buf, limit - out.size()));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return ok;
}

// A 16-bit id written as one to four hexadecimal digits, then optional white space.
bool ReadHexId(const std::string& path, uint16_t& id) {
  std::string text;
  if (!ReadSmallFile(path, kMaxIdFileBytes, text)) return false;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
    text.pop_back();
  if (text.empty() || text.size() > 4) return false;
  unsigned value = 0;
  for (const char c : text) {
    int digit;
    if (c >= '0' && c <= '9')
      digit = c - '0';
    else if (c >= 'a' && c <= 'f')
      digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
      digit = c - 'A' + 10;
    else
      return false;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  id = static_cast<uint16_t>(value);
  return true;
}

// The last path component of a port name, one trailing ':' dropped.
std::string TtyNameOf(std::string name) {
  if (!name.empty() && name.back() == ':') name.pop_back();
  const size_t slash = name.rfind('/');
  return slash == std::string::npos ? name : name.substr(slash + 1);
}

bool UsableTtyName(const std::string& tty) {
  return !tty.empty() && tty != "." && tty != ".." && tty.size() <= NAME_MAX && tty.find('\0') == std::string::npos;
}

// The class of the tty `tty` as sysfs describes it.
int ClassifyTty(const std::string& sysfs, const std::string& tty) {
  if (!UsableTtyName(tty)) return kPortNotPresent;
  struct stat st {};
  const std::string classDir = sysfs + "/class/tty";
  if (stat(classDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kPortLookupFailed;
  const std::string entry = classDir + "/" + tty;
  if (stat(entry.c_str(), &st) != 0) return errno == ENOENT ? kPortNotPresent : kPortLookupFailed;
  if (!S_ISDIR(st.st_mode)) return kPortLookupFailed;
  // Virtual consoles and the like have no device behind them.
  const std::string device = entry + "/device";
  if (stat(device.c_str(), &st) != 0) return errno == ENOENT ? kOtherKindOfPort : kPortLookupFailed;
  char target[PATH_MAX];
  const ssize_t n = readlink((device + "/driver").c_str(), target, sizeof target);
  if (n < 0) return errno == ENOENT || errno == EINVAL ? kOtherKindOfPort : kPortLookupFailed;
  if (static_cast<size_t>(n) >= sizeof target) return kPortLookupFailed;
  const std::string driver = TtyNameOf(std::string(target, static_cast<size_t>(n)));
  return driver == "cdc_acm" ? kUsbCdcPort : kOtherKindOfPort;
}

}  // namespace

std::string SysfsRoot() {
  return EnvRoot("KESTRUNE_SYSFS_ROOT", "/sys");
}

std::string DevRoot() {
  return EnvRoot("KESTRUNE_DEV_ROOT", "/dev");
}

int CheckUsbSerialPort(const std::string& portName) {
  const std::string sysfs = SysfsRoot();
  const int found = ClassifyTty(sysfs, TtyNameOf(portName));
  if (found != kPortNotPresent) return found;
  // A stable alias such as /dev/serial/by-id/usb-...-if00 links to the real node.
  std::string path = portName;
  if (!path.empty() && path.back() == ':') path.pop_back();
  struct stat st {};
  if (path.find('/') == std::string::npos || lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return found;
  char* resolved = realpath(path.c_str(), nullptr);
  if (!resolved) return found;
  const std::string tty = TtyNameOf(resolved);
  std::free(resolved);
  return ClassifyTty(sysfs, tty);
}

std::vector<std::string> UsbDeviceInstances(uint16_t vendorId, uint16_t productId) {
  const std::string devices = SysfsRoot() + "/bus/usb/devices";
  std::vector<std::string> found;
  for (const std::string& name : ListFolder(devices, kMaxUsbDevices, false)) {
    const std::string path = devices + "/" + name;
    uint16_t vid = 0, pid = 0;
    // Interfaces ("1-2:1.0") have no ids and drop out here.
    if (ReadHexId(path + "/idVendor", vid) && ReadHexId(path + "/idProduct", pid) && vid == vendorId &&
        pid == productId)
      found.push_back(path);
  }
  return found;
}

std::vector<std::string> InstanceTtyNames(const std::string& instancePath) {
  const std::string prefix = TtyNameOf(instancePath) + ":";
  std::vector<std::string> ttys;
  auto addFrom = [&ttys](const std::string& ttyFolder) {
    struct stat st {};
    if (lstat(ttyFolder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    for (std::string& tty : ListFolder(ttyFolder, kMaxListedEntries, true)) {
      if (ttys.size() >= kMaxTtysPerInstance) return;
      ttys.push_back(std::move(tty));
    }
  };
  for (const std::string& interface : ListFolder(instancePath, kMaxListedEntries, true)) {
    if (interface.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string ifPath = instancePath + "/" + interface;
    for (const std::string& child : ListFolder(ifPath, kMaxListedEntries, true)) {
      if (child == "tty")
        addFrom(ifPath + "/tty");
      else
        addFrom(ifPath + "/" + child + "/tty");
    }
  }
  return ttys;
}

std::string FindUsbSerialPort(uint16_t vendorId, uint16_t productId) {
  const std::string dev = DevRoot();
  for (const std::string& instance : UsbDeviceInstances(vendorId, productId)) {
    for (const std::string& tty : InstanceTtyNames(instance)) {
      const std::string port = dev + "/" + tty;
      if (CheckUsbSerialPort(port) != kUsbCdcPort) continue;
      std::printf("Port found at %s\n", port.c_str());
      std::fflush(stdout);
      return port;
    }
  }
  return {};
}

std::string FindDevicePort(const UsbDiscoveryTarget& target) {
  return FindUsbSerialPort(target.vendorId, target.productId);
}

}  // namespace kestrune
