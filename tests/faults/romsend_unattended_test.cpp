// SPDX-License-Identifier: MIT
// romsend's unattended and batch runs as a script sees them: the real program against the
// simulated unit, each row ending with its exit status, the line that tells why on standard
// output or error, and whether any byte reached the unit. Every status of the exit table is
// reached here: 0, 1, 2, 3, 130 and 143.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "bam_image.h"
#include "romsend_rig.h"
#include "simulated_unit.h"
#include "test_env.h"

namespace kestrune {
namespace {

using namespace faults;  // NOLINT: the rig and its helpers

// The unit takes data at this pace in the rows that act in the middle of a transfer.
constexpr int kSlowBaud = 115200;
constexpr size_t kSlowUnattendedImageBytes = 32 * 1024;

struct UnattendedRow {
  const char* name;
  // Prepares the folder, the profile and the unit; returns the arguments after the program name.
  std::function<std::vector<std::string>(Rig&)> setUp;
  int signal;        // sent once the transfer is under way (or at once when `whenSending` is false)
  bool whenSending;  // wait for image data at the unit before the signal
  bool offscreen;    // QT_QPA_PLATFORM=offscreen set; false: no display of any kind
  int status;        // exit status
  const char* told;  // a line of standard output or error that says why, whole
  bool unitTouched;  // whether any byte may reach the unit
};

std::vector<std::string> Unattended(Rig& rig, std::vector<std::string> more = {}) {
  rig.WriteOwned(rig.ProfilePath(), rig.ProfileWithPort());
  more.push_back("/unattended");
  return more;
}

std::vector<std::string> OneBam(Rig& rig) {
  rig.PutBam("update.bam", Image(3000, 21));
  return Unattended(rig);
}

std::vector<std::string> OneHex(Rig& rig, const std::string& text) {
  test::WriteFileBytes(rig.Work("update.hex"), text);
  return Unattended(rig);
}

std::string SampleHexText() {
  return bamgen::BuildHex(bamgen::PatternBytes(512, 22), 0x1000, 16);
}

// clang-format off
const UnattendedRow kUnattendedRows[] = {
    // Sent on a machine with no display at all: the program takes the offscreen platform itself.
    {"SentWithoutADisplay", OneBam, 0, false, false, 0, "Transfer Successful", true},
    {"UnitErrorAfterContact", [](Rig& rig) {
       rig.unit.SetReplyFault(sim::kCmdOpen, sim::Stage::kResult, {sim::ReplyFault::Kind::kCode, 4, "", -1});
       return OneBam(rig);
     }, 0, false, true, 1, "Bad Flash Erase (Open Operation Error 4)", true},
    // A HEX line refused for good is a failure here, although the transfer returns 0 for it.
    {"HexLineRefused", [](Rig& rig) {
       rig.unit.SetHexLineFaults({{sim::HexLineFault::Kind::kVerdict, '-', 0, 7}});
       return OneHex(rig, SampleHexText());
     }, 0, false, true, 1, "Bad Send", true},
    {"SilentUnit", [](Rig& rig) { rig.unit.SetSilent(true); return OneBam(rig); },
     0, false, true, 2, "Communication startup failed !!", true},
    {"PortCannotBeOpened", [](Rig& rig) {
       rig.PutBam("update.bam", Image(3000, 23));
       return std::vector<std::string>{"/unattended", "/port:" + rig.Path("no-such-port")};
     }, 0, false, true, 2, "Serial port is faulty or in use by another program !!", false},
    // A bridge that is not attached: the profile's port could lead to another unit.
    {"BridgeNotFound", [](Rig& rig) {
       rig.PutBam("update.bam", Image(3000, 29));
       return Unattended(rig, {"/port:zt770"});
     }, 0, false, true, 2, "romsend: Problem: Cannot find ZT770+", false},
    {"EmptyFolder", [](Rig& rig) { return Unattended(rig); },
     0, false, true, 3, "romsend: Quorle says...: Make a selection first", false},
    // A flag no row takes: sending the profile's port instead could update another unit.
    {"MistypedFlag", [](Rig& rig) {
       rig.PutBam("update.bam", Image(3000, 24));
       return Unattended(rig, {"/prot:/dev/ttyUSB9"});
     }, 0, false, true, 3, "romsend: Bad command line: Not taken: /prot:/dev/ttyUSB9 (see romsend --help)", false},
    {"BamCutInHalf", [](Rig& rig) {
       const std::string whole = Text(bamgen::BuildBam(Image(3000, 25)));
       test::WriteFileBytes(rig.Work("update.bam"), whole.substr(0, whole.size() / 2));
       return Unattended(rig);
     }, 0, false, true, 3, "Bad File !! file holds 1522 bytes, its layout 3044", false},
    {"HexWithoutEndRecord", [](Rig& rig) {
       std::string text = SampleHexText();
       return OneHex(rig, text.substr(0, text.rfind(":00000001")));
     }, 0, false, true, 3, "Bad File !! last record is not an end-of-file record", false},
    {"HexLinkedToDevZero", [](Rig& rig) {
       EXPECT_EQ(symlink("/dev/zero", rig.Work("z.hex").c_str()), 0);
       return Unattended(rig);
     }, 0, false, true, 3, "Not an update file: choose another entry", false},
    // A profile in MIDI mode and a port on the command line: the batch run switches to serial
    // and sends (the main page is opened although the comms page becomes the active one).
    {"MidiProfileBatchWithPort", [](Rig& rig) {
       rig.WriteOwned(rig.ProfilePath(), "[Config]\nCommsMode=1\n");
       rig.PutBam("update.bam", Image(3000, 26));
       return std::vector<std::string>{"/batch", "/port:" + rig.unit.SlavePath()};
     }, 0, false, true, 0, "Transfer Successful", true},
    {"TerminatedMidTransfer", [](Rig& rig) {
       rig.unit.SetBaud(kSlowBaud);
       rig.PutBam("update.bam", Image(kSlowUnattendedImageBytes, 27));
       return Unattended(rig);
     }, SIGTERM, true, true, 143, "Cancelled by User", true},
    // A person's box in a batch run waits; the interrupt ends the program all the same.
    {"InterruptedAtABox", [](Rig&) { return std::vector<std::string>{"/batch"}; },
     SIGINT, false, true, 130, "romsend: window shown: Kestrune Update Utility", false},
};
// clang-format on

// The row as it reads in a failure message.
void PrintTo(const UnattendedRow& row, std::ostream* os) {
  *os << row.name;
}

class RomsendUnattended : public testing::TestWithParam<UnattendedRow> {};

bool HasLine(const std::string& text, const std::string& line) {
  return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST_P(RomsendUnattended, ExitStatusAndWhy) {
  const UnattendedRow& row = GetParam();
  Rig rig;
  const std::vector<std::string> args = row.setUp(rig);
  // The start-up marker tells when the window is up, for the rows that signal outside a send.
  // No USB devices: the sysfs root is an empty folder.
  auto p = rig.Start(args, row.offscreen, {"KESTRUNE_REPORT_SHOWN=1", "KESTRUNE_SYSFS_ROOT=" + rig.Path("home")});
  if (row.signal != 0) {
    if (row.whenSending) {
      ASSERT_TRUE(rig.TransferUnderWay(*p)) << p->Out() << p->Err();
    } else {
      ASSERT_TRUE(p->WaitFor([&] { return HasLine(p->Err(), row.told); })) << p->Out() << p->Err();
    }
    p->Kill(row.signal);
  }
  const int status = p->Wait();
  EXPECT_EQ(status, row.status) << p->Out() << p->Err();
  EXPECT_TRUE(HasLine(p->Out(), row.told) || HasLine(p->Err(), row.told)) << p->Out() << p->Err();
  EXPECT_FALSE(HasSanitizerReport(p->Err())) << p->Err();
  const sim::Recording rec = rig.unit.Snapshot();
  if (!row.unitTouched) {
    EXPECT_EQ(rec.bytesReceived, 0u);
  }
  if (row.status == 0) {
    ASSERT_FALSE(rec.commands.empty());
    EXPECT_EQ(rec.LastCommand(), sim::kCmdClose);
  }
  // Nothing to send is written down too, where the failures of the line are.
  if (row.status == 3 && std::string(row.told).rfind("Bad File", 0) == 0) {
    EXPECT_NE(test::ReadFileBytes(rig.Work("romsend.txt")).find(row.told), std::string::npos);
  }
  if (row.signal == SIGTERM) {
    // Both logs hold whole entries: the result log's lines end with CR LF, the diagnostic
    // log's entries each start on a line of their own.
    const std::string results = test::ReadFileBytes(rig.Work("romsend.txt"));
    EXPECT_FALSE(results.empty());
    EXPECT_TRUE(results.ends_with("\r\n")) << results;
    EXPECT_TRUE(test::ReadFileBytes(rig.LogPath()).starts_with("\r\n(")) << test::ReadFileBytes(rig.LogPath());
    // The port is free at once: a second copy sends right after.
    rig.unit.SetBaud(0);
    rig.LastCloseOfThePort();
    rig.SendsInBatch({"/unattended"}, Image(kSlowUnattendedImageBytes, 27));
  }
}

std::string UnattendedRowName(const testing::TestParamInfo<UnattendedRow>& info) {
  return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, RomsendUnattended, testing::ValuesIn(kUnattendedRows), UnattendedRowName);

// The line hangs up in the middle of the image: the run ends at once with status 1 instead of
// waiting out the acknowledgement's ten seconds. Needs the serial driver's hang-up detection.
TEST(RomsendUnattendedHangUp, EndsWithinASecondOfTheHangUp) {
  Rig rig;
  rig.unit.SetBaud(kSlowBaud);
  rig.PutBam("update.bam", Image(kSlowUnattendedImageBytes, 28));
  rig.unit.SetHangUpAfter(8000);
  auto p = rig.Start(Unattended(rig));
  ASSERT_TRUE(p->WaitFor([&rig] { return rig.unit.Snapshot().hungUp; }));
  const auto hungUp = Clock::now();
  EXPECT_EQ(p->Wait(), 1) << p->Out() << p->Err();
  // A generous bound on "within a second": the status texts may each stand 500 ms.
  EXPECT_LT(Clock::now() - hungUp, std::chrono::milliseconds(2500)) << p->Out();
}

}  // namespace
}  // namespace kestrune
