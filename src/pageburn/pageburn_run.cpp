// SPDX-License-Identifier: MIT
// The download itself: port checks, the SAM-BA device, monitor and flash writer, and the page
// loop with its progress lines.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "pageburn/flash_writer.h"
#include "pageburn/pageburn_program.h"
#include "pageburn/samba_channel.h"
#include "pageburn/samba_monitor.h"
#include "platform/file_system.h"
#include "serial/port_open_problem.h"
#include "serial/serial_handle.h"
#include "serial/usb_port_discovery.h"

namespace kestrune {
namespace {

// The file's size as the file system tells it; 0 when unknown (no such file, a pipe, a device).
int64_t FileSize(const std::string& path) {
  const std::optional<FileInfo> info = PathInfo(path);
  if (!info || !info->IsRegular()) return 0;
  return static_cast<int64_t>(info->size);
}

void PrintTo(const char* text, void* context) {
  std::fputs(text, static_cast<std::FILE*>(context));
  std::fflush(static_cast<std::FILE*>(context));
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

int TooLarge(const PageburnConsole& console, const std::string& path, const SambaChip& chip) {
  std::fprintf(console.out, "File \"%s\" does not fit the flash of %u bytes\n", path.c_str(),
               static_cast<unsigned>(chip.flash_pages * chip.page_size));
  return kExitFlash;
}

int Stopped(const PageburnConsole& console) {
  std::fprintf(console.out, "\nStopped; the boot bit is not set\n");
  std::fflush(console.out);
  return kExitStopped;
}

void PrintRetries(std::FILE* out, const SambaMonitor& monitor) {
  if (monitor.RetryCount() != 0) std::fprintf(out, "%d retries\n", monitor.RetryCount());
}

// Reads back the `total` bytes sent as whole pages held in `sent` (padding included) and
// prints the progress and the verdict. Returns kExitDone when every word matched.
int VerifyPages(FlashWriter& writer, const SambaMonitor& monitor, const std::vector<uint8_t>& sent, int32_t total,
                const PageburnConsole& console) {
  std::FILE* out = console.out;
  const uint32_t pageSize = writer.Chip().page_size;
  const uint32_t pages = static_cast<uint32_t>(sent.size() / pageSize);
  int32_t verified = 0;
  for (uint32_t page = 0; page < pages; ++page) {
    if (console.stopRequested && console.stopRequested()) return Stopped(console);
    FlashMismatch mismatch;
    if (!writer.VerifyFlashPage(page, sent.data() + size_t{page} * pageSize, pageSize, mismatch)) {
      if (page != 0) std::fprintf(out, "\n");
      if (mismatch.read_failed)
        std::fprintf(out, "Verify failed at 0x%08x: wrote 0x%08x, read failed\n",
                     static_cast<unsigned>(mismatch.address), static_cast<unsigned>(mismatch.wrote));
      else
        std::fprintf(out, "Verify failed at 0x%08x: wrote 0x%08x, read 0x%08x\n",
                     static_cast<unsigned>(mismatch.address), static_cast<unsigned>(mismatch.wrote),
                     static_cast<unsigned>(mismatch.read));
      PrintRetries(out, monitor);
      std::fflush(out);
      return kExitVerify;
    }
    // The count is of the file's bytes, as the write's is; the last page's padding is not one.
    verified = std::min<int32_t>(total, verified + static_cast<int32_t>(pageSize));
    std::fprintf(out, "\r%d verified, %d%% complete", verified, static_cast<int>(int64_t{verified} * 100 / total));
    std::fflush(out);
  }
  if (pages != 0) std::fprintf(out, "\n");
  std::fprintf(out, "Verify OK\n");
  std::fflush(out);
  return kExitDone;
}

}  // namespace

int RunDownload(const RunContext& context, const std::string& firmwarePath, const std::string& portName,
                const PageburnConsole& console, const SambaChip& chip, bool verify) {
  std::FILE* out = console.out;
  if (portName.empty()) {
    std::fprintf(out, "No port given or found\n");
    return kExitNoPort;
  }
  switch (CheckUsbSerialPort(portName)) {
    case kOtherKindOfPort:
      std::fprintf(out, "Port %s is not Samba\n", portName.c_str());
      return kExitNoPort;
    case kPortNotPresent:
      std::fprintf(out, "Port %s is not present\n", portName.c_str());
      return kExitNoPort;
    default:  // a USB CDC port, or one the look-up could not tell: try it
      break;
  }

  // The device, monitor and writer live to the end of the run; the device closes the port.
  SambaSerialChannel device(context);
  if (!device.Open(portName, 0)) {
    std::fflush(out);
    std::fprintf(console.err, "Cannot intialize %s\n", portName.c_str());
    const std::string path = DevicePathOf(ComPortName(portName));
    std::fputs(PortOpenProblemLine(path, device.OpenFailure(), "name the SAM-BA port, such as /dev/ttyACM0").c_str(),
               console.err);
    return kExitPortOpen;
  }
  SambaMonitor monitor(&device, 0);
  FlashWriter writer(&monitor, chip);
  writer.SetPrinter(PrintTo, out);

  std::string version;
  if (!monitor.GetVersion(version)) {
    // Whatever is behind the port does not speak the monitor's language: nothing is written.
    std::fprintf(out, "SAM-BA Version: ''\n");
    std::fprintf(out, "Port %s does not answer as the SAM-BA monitor\n", portName.c_str());
    return kExitNoPort;
  }
  std::fprintf(out, "SAM-BA Version: '%s'\n", version.c_str());

  const int64_t size = FileSize(firmwarePath);
  std::fprintf(out, "\n");
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(firmwarePath.c_str(), "rb"));
  if (!file) {
    std::fprintf(out, "Cannot open file \"%s\"\n", firmwarePath.c_str());
    return kExitCommandLine;
  }
  // A partial image is worse than none: a file too big for the flash is refused whole.
  const int64_t capacity = int64_t{chip.flash_pages} * chip.page_size;
  if (size > capacity) return TooLarge(console, firmwarePath, chip);

  std::fprintf(out, "Sending file \"%s\"\n", firmwarePath.c_str());
  uint32_t page = 0;
  int32_t total = 0;
  std::vector<uint8_t> buffer(chip.page_size);
  // What went out, page by page, for the read-back; never more than the chip's flash.
  std::vector<uint8_t> sent;
  for (;;) {
    // A stop request lets the page before it finish; the chip keeps its monitor for a new run.
    if (console.stopRequested && console.stopRequested()) return Stopped(console);
    std::memset(buffer.data(), 0, buffer.size());
    const size_t n = std::fread(buffer.data(), 1, buffer.size(), file.get());
    if (n == 0 && std::ferror(file.get())) {
      std::fprintf(out, "No DICE on the read\n");
      return kExitFileRead;
    }
    if (n == 0) break;
    // Only a file of unknown size gets here past the end of the flash.
    if (page >= chip.flash_pages) return TooLarge(console, firmwarePath, chip);
    // A short last chunk goes out padded with the zeros it was cleared to.
    // The first page that does not go in ends the run: no later page and no boot bit, so the
    // chip stays in its monitor and a second run can write the whole image.
    if (!writer.WriteFlashPage(page, buffer.data(), buffer.size())) {
      if (size != 0 && page != 0) std::fprintf(out, "\n");
      std::fprintf(out, "write_flash_page() failed\n");
      std::fprintf(out, "Page %u was not written; the boot bit is not set\n", page);
      PrintRetries(out, monitor);
      std::fflush(out);
      return kExitFlash;
    }
    if (verify) sent.insert(sent.end(), buffer.begin(), buffer.end());
    total += static_cast<int32_t>(n);
    if (size != 0)
      std::fprintf(out, "\r%d sent, %d%% complete", total, static_cast<int>(int64_t{total} * 100 / size));
    else
      std::fprintf(out, "PAGE: %u (size: %d, total: %d)\n", page, static_cast<int>(n), total);
    std::fflush(out);
    ++page;
  }
  std::fprintf(out, "\n");
  if (verify) {
    // A chip that holds anything but the image must not be told to boot it.
    std::fprintf(out, "File Write Complete\n");
    std::fflush(out);
    const int verdict = VerifyPages(writer, monitor, sent, total, console);
    if (verdict != kExitDone) return verdict;
  }
  if (console.stopRequested && console.stopRequested()) return Stopped(console);
  const bool bootFailed = !writer.SetBootFromFlash();
  if (bootFailed) std::fprintf(out, "Couldn't set GPNVM bit\n");
  if (!verify) std::fprintf(out, "File Write Complete\n");
  PrintRetries(out, monitor);
  std::fflush(out);
  // The boot bit is the point of the run: it succeeded only if that went in too.
  return bootFailed ? kExitFlash : kExitDone;
}

}  // namespace kestrune
