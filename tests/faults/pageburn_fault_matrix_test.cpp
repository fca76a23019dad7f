// SPDX-License-Identifier: MIT
// pageburn's rows of the fault matrix: the real program against the simulated SAM-BA monitor,
// which goes silent, hangs up, sends garbage, keeps its flash controller busy, or answers badly
// a few times and then recovers, starting at the version read, at a middle page or at the boot
// bit. Every case ends with its exit code and console lines within the protocol's own limits,
// and the port is free for the next run at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "app/flag_parser.h"
#include "child_process.h"
#include "fake_sysfs.h"
#include "pageburn/flag_table_parser.h"
#include "pageburn/flash_writer.h"
#include "pageburn/samba_monitor.h"
#include "simulated_samba.h"
#include "test_env.h"

// romsend's flag table and pageburn's live in this one program: each has types of its own, so
// both headers build in one file and no name has two definitions.
static_assert(!std::is_same_v<kestrune::FlagEntry, kestrune::FlagTableEntry>);

namespace kestrune {
namespace {

using test::ChildProcess;
using test::ChildResult;

// A three-page image whose last page is short, so the middle page has pages on both sides and
// the padding of the last one is seen too.
constexpr int kImageBytes = 700;
constexpr int kPages = (kImageBytes + 255) / 256;
constexpr int kMiddlePage = 1;
// What the monitor hears per page when nothing goes wrong: a ready read, the 64 words of the
// page buffer, the commit and the ready read after it.
constexpr uint64_t kCommandsPerPage = 1 + 64 + 1 + 1;
constexpr int kVersionAttempts = SambaMonitor::kVersionRetries + 1;
constexpr int kWordAttempts = SambaMonitor::kWordRetries + 1;
// Bytes put before a reply: control characters, a NUL, bytes above 0x7f, no prompt.
const std::string kMonitorNoise("\x13\xff\0noise\x80\x01", 10);

enum class MonitorFault { kSilent, kHangUp, kGarbage, kNeverReady, kBadThenRecovers };
enum class MonitorPhase { kVersion, kPageN, kBootBit };

struct PageburnRow {
  MonitorFault fault;
  MonitorPhase phase;
};

std::string PageburnRowName(const testing::TestParamInfo<PageburnRow>& info) {
  static const char* const kFaults[] = {"MonitorSilent", "MonitorHangsUp", "MonitorSendsGarbage", "FlashNeverReady",
                                        "BadAnswersThenRecovers"};
  static const char* const kPhases[] = {"AtVersion", "AtPageN", "AtBootBit"};
  return std::string(kFaults[static_cast<int>(info.param.fault)]) + "_" + kPhases[static_cast<int>(info.param.phase)];
}

// The row as it reads in the test list.
void PrintTo(const PageburnRow& row, std::ostream* os) {
  *os << PageburnRowName({row, 0});
}

std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 37 + static_cast<size_t>(seed) * 101 + (i >> 7)) & 0xff);
  return s;
}

// The operations of a run in order: 0 the version read, 1..kPages the pages, kPages + 1 the
// boot bit.
int FirstFaultyOperation(MonitorPhase phase) {
  switch (phase) {
    case MonitorPhase::kVersion:
      return 0;
    case MonitorPhase::kPageN:
      return 1 + kMiddlePage;
    case MonitorPhase::kBootBit:
      return 1 + kPages;
  }
  return 0;
}

// Number of the first command line of that operation, counting from 1.
uint64_t FirstCommandOf(MonitorPhase phase) {
  const int op = FirstFaultyOperation(phase);
  return op == 0 ? 1 : 2 + kCommandsPerPage * static_cast<uint64_t>(op - 1);
}

// The fault as the monitor shows it from the phase's first command on.
void Inject(MonitorFault fault, MonitorPhase phase, sim::SambaFaults& f) {
  switch (fault) {
    case MonitorFault::kSilent:
      f.silent = true;
      break;
    case MonitorFault::kHangUp:
      f.hangUpAfterCommands = 0;  // the line drops as this command ends
      break;
    case MonitorFault::kGarbage:
      f.garbage = kMonitorNoise;
      f.garbageReplies = 1 << 30;
      break;
    case MonitorFault::kNeverReady:
      f.stuckBusy = true;
      break;
    case MonitorFault::kBadThenRecovers: {
      // As many noisy replies without their prompt as the command has retries: the most the
      // protocol absorbs.
      const int bad = phase == MonitorPhase::kVersion ? SambaMonitor::kVersionRetries : SambaMonitor::kWordRetries;
      f.garbage = kMonitorNoise;
      f.garbageReplies = bad;
      f.noPromptReplies = bad;
      break;
    }
  }
}

// The SAM-BA monitor attached as USB device 1-2 (03eb:6124) with tty ttyACM0. The monitor can
// be replaced, as when the chip is unplugged and plugged in again.
struct PageburnRig {
  test::FakeSysfs sysfs;
  test::TempDir files;
  std::unique_ptr<sim::SimulatedSamba> samba;
  std::string port;

  PageburnRig() {
    sysfs.AddUsbDevice("1-2", 0x03eb, 0x6124, "SAMBA0");
    sysfs.AddAcmTty("1-2", 0, "ttyACM0");
    Plug();
  }
  void Plug() {
    samba = std::make_unique<sim::SimulatedSamba>();
    EXPECT_TRUE(samba->Start()) << samba->LastError();
    port = sysfs.LinkDevNode("ttyACM0", samba->SlavePath());
  }
  std::string File(const std::string& name, const std::string& bytes) {
    const std::string path = files / name;
    test::WriteFileBytes(path, bytes);
    return path;
  }
  ChildResult Run(const std::string& file, int limitMs) {
    ChildProcess child(KESTRUNE_PAGEBURN_PATH, {file, "waiterr=0"});
    return child.Finish(limitMs);
  }
  std::string Flash(size_t from, size_t length) const {
    const auto r = samba->Snapshot();
    if (r.flash.size() < from + length) return {};
    return std::string(r.flash.begin() + static_cast<std::ptrdiff_t>(from),
                       r.flash.begin() + static_cast<std::ptrdiff_t>(from + length));
  }
};

// The whole console output of a run: `firstBad` is the first operation the fault spoils (none
// past the boot bit), `versionText` what the version read yields. A version read that gets no
// answer ends the run; so does the first failed page, with its number and without the boot bit.
std::string ExpectedOutput(const PageburnRig& rig, const std::string& file, const std::string& versionText,
                           int firstBad, const char* bootStep, int retries) {
  std::string out =
      "Port found at " + rig.port + "\n** SAMBA downloader V1.1 **\nSAM-BA Version: '" + versionText + "'\n";
  if (firstBad == 0) return out + "Port " + rig.port + " does not answer as the SAM-BA monitor\n";
  const std::string retryLine = retries != 0 ? std::to_string(retries) + " retries\n" : "";
  out += "\nSending file \"" + file + "\"\n";
  for (int page = 0; page < kPages; ++page) {
    if (1 + page >= firstBad) {
      if (page != 0) out += "\n";
      return out + "write_flash_page() failed\nPage " + std::to_string(page) +
             " was not written; the boot bit is not set\n" + retryLine;
    }
    const int sent = std::min(kImageBytes, 256 * (page + 1));
    char progress[64];
    std::snprintf(progress, sizeof progress, "\r%d sent, %d%% complete", sent, sent * 100 / kImageBytes);
    out += progress;
  }
  out += "\n";
  if (1 + kPages >= firstBad) out += std::string(bootStep) + "Couldn't set GPNVM bit\n";
  out += "File Write Complete\n";
  return out + retryLine;
}

class PageburnFaults : public testing::TestWithParam<PageburnRow> {};

TEST_P(PageburnFaults, EndsInTimeWithItsCodeAndFreesThePort) {
  const PageburnRow row = GetParam();
  PageburnRig rig;
  const std::string image = Bytes(kImageBytes, 1);
  const std::string file = rig.File("firmware.bin", image);
  const int firstBad = FirstFaultyOperation(row.phase);
  rig.samba->SetFaultsFromCommand(FirstCommandOf(row.phase),
                                  [row](sim::SambaFaults& f) { Inject(row.fault, row.phase, f); });

  // The limit the protocol sets: each operation from the fault on gives up within its
  // command's attempts, each attempt within the monitor client's cap; plus slack for a loaded
  // machine. A run past it is killed and shows exit -1.
  const int operations = kPages + 1;  // the pages and the boot bit
  const int limitMs =
      (kVersionAttempts + operations * kWordAttempts) * static_cast<int>(SambaMonitor::kMaxAttemptMs) + 10000;
  const auto start = std::chrono::steady_clock::now();
  const ChildResult r = rig.Run(file, limitMs);
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(elapsed.count(), limitMs) << "no end within the protocol's limits";
  EXPECT_EQ(r.err, "");

  const std::string version = "v1.4 Kestrune SAM-BA simulator";
  const auto rec = rig.samba->Snapshot();
  std::vector<uint32_t> pagesBefore;
  for (int page = 0; page < kPages && 1 + page < firstBad; ++page) pagesBefore.push_back(static_cast<uint32_t>(page));
  const std::string written = image + std::string(kPages * 256 - kImageBytes, '\0');
  switch (row.fault) {
    case MonitorFault::kSilent:
    case MonitorFault::kHangUp: {
      // The operation the fault strikes spends all its attempts and ends the run; without an
      // answer to the version request nothing is written at all.
      const bool versionLost = row.phase == MonitorPhase::kVersion;
      EXPECT_EQ(r.exit, versionLost ? 3 : 4);
      EXPECT_EQ(r.out, ExpectedOutput(rig, file, versionLost ? "" : version, firstBad, "1\n", kWordAttempts));
      EXPECT_EQ(rec.hungUp, row.fault == MonitorFault::kHangUp);
      break;
    }
    case MonitorFault::kGarbage: {
      // Replies still end in the prompt, so nothing is retried; a status read that holds no
      // number fails its page. The version read takes the noise as part of its text.
      std::string garbledVersion = version;
      if (row.phase == MonitorPhase::kVersion) {
        const std::string reply = " " + kMonitorNoise + "\n\r" + version + "\n\r>";
        const std::string text = reply.substr(3, reply.size() - 6);
        garbledVersion = text.substr(0, text.find('\0'));
      }
      EXPECT_EQ(r.exit, 4);
      EXPECT_EQ(r.out, ExpectedOutput(rig, file, garbledVersion, std::max(firstBad, 1), "1\n", 0));
      break;
    }
    case MonitorFault::kNeverReady:
      // The status is read, reads busy every time, and the page gives up after its waits.
      EXPECT_EQ(r.exit, 4);
      EXPECT_EQ(r.out, ExpectedOutput(rig, file, version, std::max(firstBad, 1), "1\n", 0));
      EXPECT_GE(rec.fsrBusyReads, static_cast<unsigned>(FlashWriter::kReadyWaits + 1));
      break;
    case MonitorFault::kBadThenRecovers: {
      const int retries =
          row.phase == MonitorPhase::kVersion ? SambaMonitor::kVersionRetries : SambaMonitor::kWordRetries;
      EXPECT_EQ(r.exit, 0);
      EXPECT_EQ(r.out, ExpectedOutput(rig, file, version, kPages + 2, "", retries));
      EXPECT_EQ(rig.Flash(0, written.size()), written);
      EXPECT_EQ(rec.gpnvm, 0x2u);
      break;
    }
  }
  if (row.fault != MonitorFault::kBadThenRecovers) {
    // The fault struck where the row says: the pages before it went in, none after, no boot bit.
    EXPECT_EQ(rec.pagesWritten, pagesBefore);
    EXPECT_EQ(rig.Flash(0, 256 * pagesBefore.size()), written.substr(0, 256 * pagesBefore.size()));
    EXPECT_EQ(rec.gpnvm, 0u);
  }

  // At once, with the fault gone (a chip that hung up is plugged in again), a second image goes
  // in whole: the port was released when the program ended.
  if (rec.hungUp)
    rig.Plug();
  else
    rig.samba->ClearFaults();
  const std::string second = Bytes(kImageBytes, 2);
  const std::string secondFile = rig.File("second.bin", second);
  const ChildResult again = rig.Run(secondFile, limitMs);
  EXPECT_EQ(again.exit, 0) << again.out << again.err;
  EXPECT_TRUE(again.out.ends_with("File Write Complete\n")) << again.out;
  EXPECT_EQ(rig.Flash(0, written.size()), second + std::string(kPages * 256 - kImageBytes, '\0'));
  EXPECT_EQ(rig.samba->Snapshot().gpnvm, 0x2u);
}

std::vector<PageburnRow> AllRows() {
  std::vector<PageburnRow> rows;
  for (MonitorFault fault : {MonitorFault::kSilent, MonitorFault::kHangUp, MonitorFault::kGarbage,
                             MonitorFault::kNeverReady, MonitorFault::kBadThenRecovers})
    for (MonitorPhase phase : {MonitorPhase::kVersion, MonitorPhase::kPageN, MonitorPhase::kBootBit})
      rows.push_back({fault, phase});
  return rows;
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, PageburnFaults, testing::ValuesIn(AllRows()), PageburnRowName);

}  // namespace
}  // namespace kestrune
