// SPDX-License-Identifier: MIT
// The pageburn program end to end: the real binary as a child process, the simulated SAM-BA
// monitor on a pty behind a fake sysfs tree that shows it as a cdc_acm port, and the flash
// image, GPNVM bits, console lines and exit codes that come out.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "child_process.h"
#include "fake_sysfs.h"
#include "platform/program_info.h"
#include "pty_pair.h"
#include "simulated_samba.h"
#include "test_env.h"

namespace kestrune {
namespace {

using test::ChildProcess;
using test::ChildResult;

const std::string kBanner = "** SAMBA downloader V1.1 **\n";
const std::string kVersionLine = "SAM-BA Version: 'v1.4 Kestrune SAM-BA simulator'\n";

std::string Prompt(int code) {
  return "\r\nError " + std::to_string(code) + ". Press any key...\r\r";
}

std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xff);
  return s;
}

// A SAM-BA monitor attached as USB device 1-2 (03eb:6124) with tty ttyACM0, whose device node
// leads to the simulator's pty.
struct Rig {
  test::FakeSysfs sysfs;
  sim::SimulatedSamba samba;
  test::TempDir files;
  std::string port;

  explicit Rig(bool attach = true) {
    if (!attach) return;
    EXPECT_TRUE(samba.Start()) << samba.LastError();
    sysfs.AddUsbDevice("1-2", 0x03eb, 0x6124, "SAMBA0");
    sysfs.AddAcmTty("1-2", 0, "ttyACM0");
    port = sysfs.LinkDevNode("ttyACM0", samba.SlavePath());
  }
  std::string File(const std::string& name, const std::string& bytes) {
    const std::string path = files / name;
    test::WriteFileBytes(path, bytes);
    return path;
  }
  ChildResult Run(const std::vector<std::string>& args, int input = -1) {
    ChildProcess child({.program = KESTRUNE_PAGEBURN_PATH, .args = args, .input = input});
    return child.Finish();
  }
  std::string Found() const { return "Port found at " + port + "\n"; }
  std::string Flash(uint32_t from, uint32_t length) const {
    const auto r = samba.Snapshot();
    if (r.flash.size() < from + length) return {};
    return std::string(r.flash.begin() + from, r.flash.begin() + from + length);
  }
};

TEST(PageburnProgram, CommandLineErrorsAndHelpExitWithOneAndNoPrompt) {
  Rig rig;
  const std::string self = KESTRUNE_PAGEBURN_PATH;
  ChildResult r = rig.Run({});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, rig.Found() + kBanner + "bad command line: " + self +
                       ": \nRequired parameter(s) missing: <<source file>>\n\n");

  // The discovered port shows as the port flag's default.
  const std::string usage = "\nUsage: " + self + " <<source file>> [flags]\n  [flags] may include (defaults):\n" +
                            "  port=<text> (" + rig.port + ")\n  waiterr (1)\n  verify=<number> (0)\n";
  for (const char* help : {"help", "?", "HELP"}) {
    r = rig.Run({help});
    EXPECT_EQ(r.exit, 1) << help;
    EXPECT_EQ(r.out, rig.Found() + kBanner + usage + "\n") << help;
  }

  // The Linux forms succeed: the usage or the version on standard output, no prompt.
  const struct {
    const char* arg;
    std::string out;
  } linuxForms[] = {
      {"--help", rig.Found() + kBanner + usage + "\n"},
      {"-h", rig.Found() + kBanner + usage + "\n"},
      {"--version", "pageburn 1.1\n"},
  };
  for (const auto& form : linuxForms) {
    r = rig.Run({form.arg});
    EXPECT_EQ(r.exit, 0) << form.arg;
    EXPECT_EQ(r.out, form.out) << form.arg;
  }

  // A flag written first is taken as the file, and the file then is no flag.
  const std::string file = rig.File("fw.bin", Bytes(10, 1));
  r = rig.Run({"waiterr=0", file});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out,
            rig.Found() + kBanner + "bad command line: " + self + ": Unrecognised parameter: \"" + file + "\"\n\n");
  r = rig.Run({file, "help"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_NE(r.out.find("Unrecognised parameter: \"help\""), std::string::npos) << r.out;
  EXPECT_TRUE(rig.samba.Snapshot().commands.empty());
  EXPECT_EQ(r.err, "");
}

TEST(PageburnProgram, ImageOf64KiBLandsInFlashWithTheBootBit) {
  Rig rig;
  const std::string image = Bytes(64 * 1024, 3);
  const std::string file = rig.File("firmware.bin", image);
  const ChildResult r = rig.Run({file});
  ASSERT_EQ(r.exit, 0) << r.out << r.err;
  std::string progress;
  for (int sent = 256; sent <= 65536; sent += 256)
    progress += "\r" + std::to_string(sent) + " sent, " + std::to_string(sent * 100 / 65536) + "% complete";
  EXPECT_EQ(r.out, rig.Found() + kBanner + kVersionLine + "\nSending file \"" + file + "\"\n" + progress +
                       "\nFile Write Complete\n");
  EXPECT_EQ(r.err, "");
  const auto rec = rig.samba.Snapshot();
  ASSERT_GE(rec.flash.size(), image.size());
  EXPECT_TRUE(std::equal(image.begin(), image.end(), rec.flash.begin(),
                         [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
  EXPECT_EQ(rec.gpnvm, 0x2u);
  ASSERT_EQ(rec.pagesWritten.size(), 256u);
  for (uint32_t i = 0; i < 256; ++i) EXPECT_EQ(rec.pagesWritten[i], i);
  EXPECT_EQ(rec.bufferWritesWhileBusy, 0u);
  EXPECT_EQ(rec.refusedFlashCommands, 0u);
}

TEST(PageburnProgram, ShortAndEmptyFilesAndFilesOfUnknownSize) {
  {
    // 300 bytes: page 1 holds the last 44 bytes and 212 zeros; the page after stays erased.
    Rig rig;
    const std::string bytes = Bytes(300, 5);
    const std::string file = rig.File("short.bin", bytes);
    const ChildResult r = rig.Run({file, "port=" + rig.port});
    ASSERT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_EQ(r.out, rig.Found() + kBanner + kVersionLine + "\nSending file \"" + file +
                         "\"\n\r256 sent, 85% complete\r300 sent, 100% complete\nFile Write Complete\n");
    EXPECT_EQ(rig.Flash(0, 512), bytes + std::string(212, '\0'));
    EXPECT_EQ(rig.Flash(512, 256), std::string(256, '\xff'));
    EXPECT_EQ(rig.samba.Snapshot().gpnvm, 0x2u);
  }
  {
    // 0 bytes: no page, but the boot bit.
    Rig rig;
    const std::string file = rig.File("empty.bin", "");
    const ChildResult r = rig.Run({file});
    ASSERT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_EQ(r.out, rig.Found() + kBanner + kVersionLine + "\nSending file \"" + file + "\"\n\nFile Write Complete\n");
    const auto rec = rig.samba.Snapshot();
    EXPECT_TRUE(rec.pagesWritten.empty());
    EXPECT_EQ(rec.gpnvm, 0x2u);
  }
  {
    // From a pipe the size is unknown: one PAGE line per page.
    Rig rig;
    const std::string bytes = Bytes(300, 9);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], bytes.data(), bytes.size()), 300);
    close(p[1]);
    const ChildResult r = rig.Run({"/dev/stdin"}, p[0]);
    close(p[0]);
    ASSERT_EQ(r.exit, 0) << r.out << r.err;
    EXPECT_EQ(r.out, rig.Found() + kBanner + kVersionLine +
                         "\nSending file \"/dev/stdin\"\nPAGE: 0 (size: 256, total: 256)\n"
                         "PAGE: 1 (size: 44, total: 300)\n\nFile Write Complete\n");
    EXPECT_EQ(rig.Flash(0, 300), bytes);
  }
}

// Every command line pageburn sends for `padded` (whole pages): the version, each page's status
// read, 64 page buffer words, commit and status read; with `verifiedWords`, that many read-backs
// of flash words in order; with `boot`, the boot bit between two status reads.
std::vector<std::string> Wire(const std::string& padded, size_t verifiedWords, bool boot) {
  const std::string status = "w400e0808,4#";
  auto hex = [](uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(v));
    return std::string(text);
  };
  std::vector<std::string> wire{"V#"};
  for (uint32_t page = 0; page * 256 < padded.size(); ++page) {
    wire.push_back(status);
    for (uint32_t offset = 0; offset < 256; offset += 4) {
      uint32_t word = 0;
      for (int i = 3; i >= 0; --i) word = word << 8 | static_cast<uint8_t>(padded[page * 256 + offset + i]);
      wire.push_back("W" + hex(0x00080000 + offset) + "," + hex(word) + "#");
    }
    wire.push_back("W400e0804," + hex(0x5A000001 | page << 8) + "#");
    wire.push_back(status);
  }
  for (uint32_t word = 0; word < verifiedWords; ++word) wire.push_back("w" + hex(0x00080000 + 4 * word) + ",4#");
  if (boot) wire.insert(wire.end(), {status, "W400e0804,5a00010b#", status});
  return wire;
}

// The read-back: every word written, padding included, before the boot bit; the first word that
// differs or cannot be read ends the run with 6 and no boot bit. Without the flag the line
// carries exactly what it did before the flag existed.
TEST(PageburnProgram, VerifyReadsBackEveryWordBeforeTheBootBit) {
  const std::string bytes = Bytes(300, 6);
  const std::string padded = bytes + std::string(212, '\0');
  const std::string sending = "\r256 sent, 85% complete\r300 sent, 100% complete\n";
  // Flash left from an older image: page 1's third word holds zeros, which a write cannot set.
  std::vector<uint8_t> old(1024, 0xFF);
  std::fill(old.begin() + 264, old.begin() + 268, 0);
  const uint32_t wroteAt264 = static_cast<uint8_t>(padded[264]) | static_cast<uint8_t>(padded[265]) << 8 |
                              static_cast<uint8_t>(padded[266]) << 16 |
                              uint32_t{static_cast<uint8_t>(padded[267])} << 24;
  char differs[96], unread[96];
  std::snprintf(differs, sizeof differs, "Verify failed at 0x00080108: wrote 0x%08x, read 0x00000000\n",
                static_cast<unsigned>(wroteAt264));
  std::snprintf(
      unread, sizeof unread, "Verify failed at 0x00080000: wrote 0x%08x, read failed\n",
      static_cast<unsigned>(static_cast<uint8_t>(padded[0]) | static_cast<uint8_t>(padded[1]) << 8 |
                            static_cast<uint8_t>(padded[2]) << 16 | uint32_t{static_cast<uint8_t>(padded[3])} << 24));
  const uint64_t firstRead = 1 + 2 * 67 + 1;  // the version, two pages of 67 commands
  const struct {
    const char* name;
    std::vector<std::string> flags;
    bool notErased;
    uint64_t silentFrom;  // 0: the monitor answers everything
    int exit;
    std::string tail;  // the output after "Sending file ...\n"
    std::vector<std::string> wire;
    uint32_t gpnvm;
  } rows[] = {
      {"no flag", {}, false, 0, 0, sending + "File Write Complete\n", Wire(padded, 0, true), 2},
      {"verify=0", {"verify=0"}, false, 0, 0, sending + "File Write Complete\n", Wire(padded, 0, true), 2},
      {"no flag over flash not erased: the mix goes unnoticed",
       {},
       true,
       0,
       0,
       sending + "File Write Complete\n",
       Wire(padded, 0, true),
       2},
      {"verify=1",
       {"verify=1"},
       false,
       0,
       0,
       sending + "File Write Complete\n\r256 verified, 85% complete\r300 verified, 100% complete\nVerify OK\n",
       Wire(padded, 128, true),
       2},
      {"verify=1 over flash not erased",
       {"verify=1"},
       true,
       0,
       6,
       sending + "File Write Complete\n\r256 verified, 85% complete\n" + differs + Prompt(6),
       Wire(padded, 64 + 3, false),
       0},
      {"verify=1 with a read that is never answered",
       {"verify=1"},
       false,
       firstRead,
       6,
       sending + "File Write Complete\n" + unread + "4 retries\n" + Prompt(6),
       [&] {
         auto wire = Wire(padded, 1, false);
         wire.insert(wire.end(), 3, wire.back());
         return wire;
       }(),
       0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    test::FakeSysfs sysfs;
    sim::SimulatedSamba samba(sim::SambaOptions{.oldImage = row.notErased ? old : std::vector<uint8_t>{}});
    ASSERT_TRUE(samba.Start()) << samba.LastError();
    sysfs.AddUsbDevice("1-2", 0x03eb, 0x6124, "SAMBA0");
    sysfs.AddAcmTty("1-2", 0, "ttyACM0");
    const std::string port = sysfs.LinkDevNode("ttyACM0", samba.SlavePath());
    samba.SetNotErased(row.notErased);
    if (row.silentFrom != 0) samba.SetFaultsFromCommand(row.silentFrom, [](sim::SambaFaults& f) { f.silent = true; });
    test::TempDir files;
    const std::string file = files / "fw.bin";
    test::WriteFileBytes(file, bytes);
    std::vector<std::string> args{file};
    args.insert(args.end(), row.flags.begin(), row.flags.end());
    const ChildResult r = ChildProcess(KESTRUNE_PAGEBURN_PATH, args).Finish();
    EXPECT_EQ(r.exit, row.exit) << r.out << r.err;
    EXPECT_EQ(r.out,
              "Port found at " + port + "\n" + kBanner + kVersionLine + "\nSending file \"" + file + "\"\n" + row.tail);
    const auto rec = samba.Snapshot();
    EXPECT_EQ(rec.commands, row.wire);
    // Nothing but those lines: no stray byte between them.
    size_t wireBytes = 0;
    for (const auto& line : row.wire) wireBytes += line.size();
    EXPECT_EQ(rec.bytesReceived, wireBytes);
    EXPECT_EQ(rec.gpnvm, row.gpnvm);
  }
}

TEST(PageburnProgram, MissingForeignAndAbsentPortsExitWithThree) {
  Rig rig(false);
  rig.sysfs.AddBuiltInTty("ttyS0");
  const std::string file = rig.File("fw.bin", Bytes(10, 1));
  ChildResult r = rig.Run({file});
  EXPECT_EQ(r.exit, 3);
  EXPECT_EQ(r.out, kBanner + "No port given or found\n" + Prompt(3));
  r = rig.Run({file, "waiterr=0"});
  EXPECT_EQ(r.exit, 3);
  EXPECT_EQ(r.out, kBanner + "No port given or found\n");
  const std::string uart = rig.sysfs.DevPath("ttyS0");
  r = rig.Run({file, "port=" + uart, "waiterr=0"});
  EXPECT_EQ(r.exit, 3);
  EXPECT_EQ(r.out, kBanner + "Port " + uart + " is not Samba\n");
  const std::string absent = rig.sysfs.DevPath("ttyACM7");
  r = rig.Run({file, "port=" + absent});
  EXPECT_EQ(r.exit, 3);
  EXPECT_EQ(r.out, kBanner + "Port " + absent + " is not present\n" + Prompt(3));
  EXPECT_EQ(r.err, "");
}

TEST(PageburnProgram, FilesThatCannotBeReadOrDoNotFit) {
  Rig rig;
  ChildResult r = rig.Run({rig.files / "missing.bin"});
  EXPECT_EQ(r.exit, 1);
  EXPECT_EQ(r.out, rig.Found() + kBanner + kVersionLine + "\nCannot open file \"" + (rig.files / "missing.bin") +
                       "\"\n" + Prompt(1));
  // A folder opens but cannot be read.
  r = rig.Run({rig.files.Path(), "waiterr=0"});
  EXPECT_EQ(r.exit, 2);
  EXPECT_EQ(r.out, rig.Found() + kBanner + kVersionLine + "\nSending file \"" + rig.files.Path() +
                       "\"\nNo DICE on the read\n");
  // One byte more than the 512 pages of the controller: refused before any page is written.
  const std::string big = rig.File("big.bin", Bytes(512 * 256 + 1, 2));
  r = rig.Run({big, "waiterr=0"});
  EXPECT_EQ(r.exit, 4);
  EXPECT_EQ(r.out,
            rig.Found() + kBanner + kVersionLine + "\nFile \"" + big + "\" does not fit the flash of 131072 bytes\n");
  EXPECT_TRUE(rig.samba.Snapshot().pagesWritten.empty());
}

TEST(PageburnProgram, PortsThatCannotBeOpenedSayWhyOnStandardError) {
  Rig rig;
  const std::string file = rig.File("fw.bin", Bytes(10, 1));
  {
    // Another program holds the port.
    const int holder = open(rig.samba.SlavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const ChildResult r = rig.Run({file, "waiterr=0"});
    close(holder);
    EXPECT_EQ(r.exit, 5);
    EXPECT_EQ(r.out, rig.Found() + kBanner);
    EXPECT_EQ(r.err, "Cannot intialize " + rig.port + "\n" + rig.port +
                         ": the port is busy: another program holds it; close that program and try again\n");
  }
  {
    // The node went away while sysfs still shows the device.
    rig.sysfs.LinkDevNode("ttyACM0", rig.files / "gone");
    const ChildResult r = rig.Run({file, "waiterr=0"});
    EXPECT_EQ(r.exit, 5);
    EXPECT_EQ(r.err, "Cannot intialize " + rig.port + "\n" + rig.port +
                         ": the port has gone (device unplugged or restarted); reconnect it and try again\n");
  }
  {
    rig.sysfs.LinkDevNode("ttyACM0", file);
    const ChildResult r = rig.Run({file});
    EXPECT_EQ(r.exit, 5);
    EXPECT_EQ(r.out, rig.Found() + kBanner + Prompt(5));
    EXPECT_EQ(r.err, "Cannot intialize " + rig.port + "\n" + rig.port +
                         ": not a serial device; name the SAM-BA port, such as /dev/ttyACM0\n");
  }
  EXPECT_TRUE(rig.samba.Snapshot().commands.empty());
}

TEST(PageburnProgram, MonitorFaultsEndInBoundedTimeWithTheRightCode) {
  struct Row {
    const char* name;
    std::function<void(sim::SimulatedSamba&)> fault;
    int exit;
    std::vector<std::string> lines;  // each must appear in the output
    int pages;                       // pages the flash controller carried out
    uint32_t gpnvm;
    size_t fileSize = 256;
  };
  const std::string silent = "does not answer as the SAM-BA monitor\n";
  const Row rows[] = {
      // Nothing answers the version request: nothing is written at all.
      {"silence", [](sim::SimulatedSamba& s) { s.SetSilent(true); }, 3, {"SAM-BA Version: ''\n", silent}, 0, 0},
      {"no prompt ever", [](sim::SimulatedSamba& s) { s.SetNoPrompt(-1); }, 3, {"SAM-BA Version: ''\n", silent}, 0, 0},
      {"one reply without its prompt is retried",
       [](sim::SimulatedSamba& s) { s.SetNoPrompt(1); },
       0,
       {kVersionLine, "File Write Complete\n1 retries\n"},
       1,
       2},
      // The first failed page ends the run: no later page, no boot bit.
      {"garbage before the replies",
       [](sim::SimulatedSamba& s) { s.SetGarbage("\x13garbage", 1000); },
       4,
       {"write_flash_page() failed\n", "Page 0 was not written; the boot bit is not set\n"},
       0,
       0},
      {"FRDY stuck busy",
       [](sim::SimulatedSamba& s) { s.SetStuckBusy(true); },
       4,
       {kVersionLine, "write_flash_page() failed\nPage 0 was not written; the boot bit is not set\n"},
       0,
       0},
      {"hang-up in the middle of the page",
       [](sim::SimulatedSamba& s) { s.SetHangUpAfterCommands(20); },
       4,
       {kVersionLine, "write_flash_page() failed\nPage 0 was not written; the boot bit is not set\n"},
       0,
       0},
      {"stuck busy from the middle of the third page of four",
       [](sim::SimulatedSamba& s) {
         s.SetFaultsFromCommand(1 + 2 * 67 + 10, [](sim::SambaFaults& f) { f.stuckBusy = true; });
       },
       4,
       {"write_flash_page() failed\nPage 2 was not written; the boot bit is not set\n"},
       2,
       0,
       4 * 256},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;
    row.fault(rig.samba);
    const std::string bytes = Bytes(row.fileSize, 4);
    const std::string file = rig.File("fw.bin", bytes);
    const ChildResult r = rig.Run({file});
    EXPECT_EQ(r.exit, row.exit) << r.out << r.err;
    for (const auto& line : row.lines) EXPECT_NE(r.out.find(line), std::string::npos) << line << "\nin:\n" << r.out;
    if (row.exit != 0) {
      EXPECT_TRUE(r.out.ends_with(Prompt(row.exit)));
      EXPECT_EQ(r.out.find("File Write Complete"), std::string::npos);
      EXPECT_EQ(r.out.find("Couldn't set GPNVM bit"), std::string::npos);
    }
    const auto rec = rig.samba.Snapshot();
    EXPECT_EQ(rec.pagesWritten.size(), static_cast<size_t>(row.pages));
    EXPECT_EQ(rec.gpnvm, row.gpnvm);
    // Not one command for a page after the failed one.
    if (row.exit == 4) {
      EXPECT_EQ(std::count(rec.commands.begin(), rec.commands.end(),
                           "W400e0804,5a00" + std::string(row.pages == 2 ? "03" : "01") + "01#"),
                0);
    }
    if (row.exit == 0) {
      EXPECT_EQ(rig.Flash(0, 256), bytes);
    }
  }
}

TEST(PageburnProgram, WaitsForOneKeyWithoutEchoOnlyAtATerminal) {
  // The wait ends with a key, or with a stop signal; either way the terminal is put back.
  const struct {
    const char* name;
    int signal;  // 0: press a key
    int exit;
  } rows[] = {{"a key", 0, 3}, {"SIGTERM", SIGTERM, 143}, {"SIGHUP", SIGHUP, 129}, {"SIGINT", SIGINT, 130}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(false);
    test::PtyPair pty;
    ASSERT_FALSE(pty.name.empty());
    const int master = pty.master, slave = pty.slave;
    ChildProcess child({.program = KESTRUNE_PAGEBURN_PATH,
                        .args = {rig.File("fw.bin", "x")},
                        .input = slave,
                        .output = slave,
                        .errors = slave,
                        .newSession = true});
    // Everything up to the prompt, then it waits.
    std::string screen;
    ASSERT_TRUE(test::WaitFor([&] {
      char buf[256];
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n > 0) screen.append(buf, static_cast<size_t>(n));
      }
      return screen.find("Press any key...") != std::string::npos;
    }));
    // Fairly sure it waits: it is still there a while after the prompt.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(child.Running());
    if (row.signal == 0)
      ASSERT_EQ(write(master, "@", 1), 1);
    else
      ASSERT_EQ(kill(child.Pid(), row.signal), 0);
    const ChildResult r = child.Finish(10000);
    EXPECT_EQ(r.exit, row.exit);
    // Drain what came after the key: the key itself is not echoed.
    char buf[256];
    pollfd p{master, POLLIN, 0};
    while (poll(&p, 1, 50) > 0) {
      const ssize_t n = read(master, buf, sizeof buf);
      if (n <= 0) break;
      screen.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(screen.find('@'), std::string::npos) << screen;
    // The terminal is as it was: line editing and echo back on.
    termios t{};
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_TRUE(t.c_lflag & ICANON);
    EXPECT_TRUE(t.c_lflag & ECHO);
  }
}

TEST(PageburnProgram, IniFileBesideTheProgramTurnsTheWaitOff) {
  Rig rig(false);
  test::TempDir bin;
  const std::string program = bin / "pageburn";
  std::filesystem::copy_file(KESTRUNE_PAGEBURN_PATH, program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  const std::string file = rig.File("fw.bin", "x");
  test::WriteFileBytes(bin / "pageburn.ini", "; waiterr=1 port=/dev/ttyACM9\nwaiterr=0\n");
  ChildProcess child(program, {file});
  const ChildResult r = child.Finish();
  EXPECT_EQ(r.exit, 3);
  EXPECT_EQ(r.out, kBanner + "No port given or found\n");
}

}  // namespace
}  // namespace kestrune

namespace kestrune {
namespace {

// Puts the monitor's line into the mode a fresh USB serial port has: it echoes what it
// receives and edits lines. False when the line cannot be reached.
bool MakeCooked(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  termios t{};
  bool ok = tcgetattr(fd, &t) == 0;
  t.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
  t.c_iflag |= ICRNL;
  t.c_oflag |= OPOST | ONLCR;
  ok = ok && tcsetattr(fd, TCSANOW, &t) == 0;
  close(fd);
  return ok;
}

bool IsCooked(const std::string& path) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  const bool ok = fd >= 0 && tcgetattr(fd, &t) == 0;
  if (fd >= 0) close(fd);
  return ok && (t.c_lflag & ECHO) && (t.c_lflag & ICANON);
}

// The line settings pageburn keeps in its profile, and port names as users write them.
TEST(PageburnProgram, LineSettingsAndPortNames) {
  const struct {
    const char* name;
    std::string profile;  // pageburn's profile
    std::string port;     // the port flag, empty for the one found
    int exit;
    std::string err;  // must appear on standard error
    size_t pages;
  } rows[] = {
      {"a rate without a constant of its own", "[pageburn]\nbaud=12345\n", "", 0, "", 1},
      {"a Windows rate", "[pageburn]\nbaud=14400\n", "", 0, "", 1},
      {"a rate the driver refuses", "[pageburn]\nbaud=0\n", "", 5,
       "/ttyACM0: the port refuses the line speed of 0 baud; choose another speed in the settings\n", 0},
      {"a bare name means the device folder", "", "ttyACM0", 0, "", 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;
    ASSERT_TRUE(MakeCooked(rig.samba.SlavePath()));
    const std::string profile = XdgConfigHome() + "/pageburn.ini";
    test::WriteFileBytes(profile, row.profile);
    const std::string file = rig.File("fw.bin", Bytes(256, 2));
    std::vector<std::string> args{file, "waiterr=0"};
    if (!row.port.empty()) args.push_back("port=" + row.port);
    const ChildResult r = rig.Run(args);
    std::filesystem::remove(profile);
    EXPECT_EQ(r.exit, row.exit) << r.out << r.err;
    EXPECT_NE(r.err.find(row.err), std::string::npos) << r.err;
    const auto rec = rig.samba.Snapshot();
    EXPECT_EQ(rec.pagesWritten.size(), row.pages);
    // A refused line sends nothing at all.
    if (row.exit != 0) {
      EXPECT_EQ(rec.bytesReceived, 0u);
    }
  }
}

// The flags file is named from the name pageburn was started by.
TEST(PageburnProgram, IniFileIsNamedFromTheNameItWasStartedBy) {
  Rig rig(false);
  test::TempDir work, bin, links;
  std::filesystem::copy_file(KESTRUNE_PAGEBURN_PATH, bin / "pageburn");
  std::filesystem::permissions(bin / "pageburn", std::filesystem::perms::owner_all);
  std::filesystem::create_symlink(KESTRUNE_PAGEBURN_PATH, links / "pb");
  const std::string file = rig.File("fw.bin", "x");
  const struct {
    const char* name;
    std::string command;  // run by /bin/sh in the working folder
    std::string ini;
  } rows[] = {
      {"through PATH: the working folder's", "PATH=" + bin.Path() + " exec pageburn " + file, work / "pageburn.ini"},
      {"through a link: the file beside the link", "exec " + links / "pb" + " " + file, links / "pb.ini"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // With a UTF-8 byte order mark, as Windows editors save it.
    test::WriteFileBytes(row.ini, "\xEF\xBB\xBFwaiterr=0\n");
    ChildProcess child("/bin/sh", {"-c", "cd " + work.Path() + " && " + row.command});
    const ChildResult r = child.Finish();
    std::filesystem::remove(row.ini);
    EXPECT_EQ(r.exit, 3);
    EXPECT_EQ(r.out, kBanner + "No port given or found\n");
  }
}

// SIGINT, SIGTERM and SIGHUP: the page finishes, the port gets its settings back, the boot bit
// stays clear and pageburn exits with 128 + the signal.
TEST(PageburnProgram, StopSignalsEndTheRunCleanly) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    Rig rig;
    rig.samba.SetReplyDelay(2);
    const int pages = 64;
    const std::string file = rig.File("fw.bin", Bytes(pages * 256, 5));
    ASSERT_TRUE(MakeCooked(rig.samba.SlavePath()));
    ChildProcess child(KESTRUNE_PAGEBURN_PATH, {file, "waiterr=0"});
    ASSERT_TRUE(test::WaitFor([&] { return !rig.samba.Snapshot().pagesWritten.empty(); }));
    ASSERT_EQ(kill(child.Pid(), signal), 0);
    const ChildResult r = child.Finish();
    EXPECT_EQ(r.exit, 128 + signal) << r.out;
    EXPECT_NE(r.out.find("Stopped; the boot bit is not set\n"), std::string::npos) << r.out;
    const auto rec = rig.samba.Snapshot();
    EXPECT_EQ(rec.gpnvm, 0u);
    EXPECT_LT(rec.pagesWritten.size(), static_cast<size_t>(pages));
    // The port is back in the mode it was found in.
    EXPECT_TRUE(IsCooked(rig.samba.SlavePath()));
  }
}

}  // namespace
}  // namespace kestrune
