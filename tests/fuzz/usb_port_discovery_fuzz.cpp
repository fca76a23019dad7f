// SPDX-License-Identifier: MIT
// Fuzzes USB serial port discovery with arbitrary sysfs contents. A small tree (one USB device
// with a CDC interface and its tty) is built once in a temp folder; each input, split at NUL
// bytes, supplies the device's idVendor and idProduct bytes, the target of the interface's
// driver link, the target of a second class entry, and a port name to classify. Besides crashes
// and sanitizer reports it checks that results are known classes and that a found port is the
// tree's own tty.
#include <sys/stat.h>
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "serial/usb_port_discovery.h"

namespace {

namespace fs = std::filesystem;

struct Tree {
  std::string sys, dev, device, interface;
};

std::string g_treeRoot;

void RemoveTree() {
  std::error_code ec;
  fs::remove_all(g_treeRoot, ec);
}

const Tree& TheTree() {
  static const Tree tree = [] {
    char templ[] = "/tmp/kestrune-fuzz-sysfs-XXXXXX";
    if (!mkdtemp(templ)) std::abort();
    g_treeRoot = templ;
    std::atexit(RemoveTree);
    Tree t;
    t.sys = std::string(templ) + "/sys";
    t.dev = std::string(templ) + "/dev";
    t.device = t.sys + "/devices/usb1/1-1";
    t.interface = t.device + "/1-1:1.0";
    fs::create_directories(t.interface + "/tty/ttyACM0");
    fs::create_directories(t.sys + "/bus/usb/devices");
    fs::create_directories(t.sys + "/bus/usb/drivers/cdc_acm");
    fs::create_directories(t.sys + "/class/tty");
    fs::create_directories(t.dev);
    fs::create_symlink("../../../devices/usb1/1-1", t.sys + "/bus/usb/devices/1-1");
    fs::create_symlink("../../../1-1:1.0", t.interface + "/tty/ttyACM0/device");
    fs::create_symlink("../../devices/usb1/1-1/1-1:1.0/tty/ttyACM0", t.sys + "/class/tty/ttyACM0");
    setenv("KESTRUNE_SYSFS_ROOT", t.sys.c_str(), 1);
    setenv("KESTRUNE_DEV_ROOT", t.dev.c_str(), 1);
    // "Port found at ..." lines would only slow the run down.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return t;
  }();
  return tree;
}

void WriteFile(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Replaces whatever is at `path` with a link to `target` (an empty target leaves nothing).
void Relink(const std::string& path, std::string_view target) {
  std::remove(path.c_str());
  if (!target.empty()) (void)symlink(std::string(target).c_str(), path.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Tree& tree = TheTree();
  std::vector<std::string_view> parts;
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (parts.size() < 4) {
    const size_t nul = rest.find('\0');
    parts.push_back(rest.substr(0, nul));
    rest = nul == std::string_view::npos ? std::string_view() : rest.substr(nul + 1);
  }
  WriteFile(tree.device + "/idVendor", parts[0]);
  WriteFile(tree.device + "/idProduct", parts[1]);
  Relink(tree.interface + "/driver", parts[2]);
  Relink(tree.sys + "/class/tty/ttyFuzz", parts[3]);

  const std::string found = kestrune::FindUsbSerialPort(0x03eb, 0x6124);
  if (!found.empty() && found != tree.dev + "/ttyACM0") std::abort();
  for (const std::string& name : {std::string(rest), tree.dev + "/ttyFuzz", std::string("ttyACM0")}) {
    const int cls = kestrune::CheckUsbSerialPort(name);
    if (cls < kestrune::kUsbCdcPort || cls > kestrune::kPortLookupFailed) std::abort();
  }
  return 0;
}
