// SPDX-License-Identifier: MIT
// romsend's rows of the fault matrix that concern its files rather than the line: a working
// folder it cannot write, a profile it cannot write or that is damaged, a help file that is
// binary, an update file replaced or cut while it is listed or being sent, and the program
// killed in the middle of a transfer. The real program runs in batch mode (offscreen) with its
// own working, config, state and lock folders; the simulated unit serves its port. Under root
// the program runs as an unprivileged user, so that folder and file modes bind it.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/help_dialog.h"
#include "app/main_page.h"
#include "app/qt_event_pump.h"
#include "app/romsend_app.h"
#include "app/update_list.h"
#include "bam_image.h"
#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "protocol/protocol_engine.h"
#include "qt_app.h"
#include "romsend_plumbing.h"
#include "romsend_rig.h"
#include "short_limits.h"
#include "simulated_unit.h"
#include "test_env.h"

namespace kestrune {
namespace {

using namespace faults;  // NOLINT: the rig and its helpers

// --- rows run against the real program ---

void UnwritableWorkingFolder() {
  Rig rig;
  const auto image = Image(3000, 1);
  rig.PutBam("update.bam", image);
  rig.WriteOwned(rig.ProfilePath(), rig.ProfileWithPort());
  rig.MakeUnwritable(rig.Path("work"));
  // The transfer goes on without its result log; the diagnostic log says why there is none.
  rig.SendsInBatch({"/batch"}, image);
  EXPECT_FALSE(fs::exists(rig.Work("romsend.txt")));
  EXPECT_NE(test::ReadFileBytes(rig.LogPath()).find("romsend.txt"), std::string::npos)
      << test::ReadFileBytes(rig.LogPath());
}

// A profile the user made read-only is read and used, and stays byte for byte as it was. Its
// first failed write is the line settings' own warning box ("Cannot write to INI file"), which
// waits for the user even in a batch run; the program is alive behind it.
void ReadOnlyProfile() {
  Rig rig;
  const auto image = Image(3000, 2);
  rig.PutBam("update.bam", image);
  const std::string profile = rig.ProfileWithPort() + "\n[Romsend]\nLastFile=older.bam\n\n[Kestrune]\nmsgdelay=0\n";
  rig.WriteOwned(rig.ProfilePath(), profile);
  const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
  fs::permissions(rig.ProfilePath(), readOnly);
  auto p = rig.Start({"/batch"});
  // The Send tried to store LastFile (its lock file shows the attempt) and went on to the box.
  ASSERT_TRUE(p->WaitFor([&] { return fs::exists(rig.ProfilePath() + ".lock"); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  EXPECT_EQ(p->Wait(0), Process::kRunning) << p->Out() << p->Err();
  EXPECT_EQ(test::ReadFileBytes(rig.ProfilePath()), profile);
  EXPECT_EQ(fs::status(rig.ProfilePath()).permissions() & fs::perms::all, readOnly);
  p->Kill(SIGTERM);
  EXPECT_NE(p->Wait(), Process::kRunning);
  EXPECT_FALSE(HasSanitizerReport(p->Err())) << p->Err();
  EXPECT_EQ(test::ReadFileBytes(rig.ProfilePath()), profile);
}

// A profile that is no INI file reads as defaults; the first write keeps it aside, byte for
// byte, and starts a clean one.
void DamagedProfileKeptAside(const std::string& damaged) {
  Rig rig;
  const auto image = Image(3000, 3);
  rig.PutBam("update.bam", image);
  rig.WriteOwned(rig.ProfilePath(), damaged);
  rig.SendsInBatch({"/batch", "/port:" + rig.unit.SlavePath()}, image);
  EXPECT_TRUE(test::ReadFileBytes(rig.ProfilePath() + ".corrupt") == damaged);
  const Profile now(rig.ProfilePath());
  EXPECT_EQ(now.GetString("Romsend", "LastFile", ""), "update.bam");
}

void CorruptProfile_BinaryGarbage() {
  std::string garbage = Text(bamgen::PatternBytes(4096, 9));
  garbage[100] = '\0';
  DamagedProfileKeptAside(garbage);
}

void CorruptProfile_Oversized() {
  // Above the 1 MiB the reader takes, in one line without a line end.
  DamagedProfileKeptAside("[serial]\nport=/dev/ttyS9\n[Junk]\n" + std::string(3u << 19, 'x'));
}

void CorruptProfile_HugeLineWithoutNewline() {
  // Well-formed but odd: a very long value and no line end at the end of the file. It is read,
  // and the write of LastFile keeps every byte of it.
  Rig rig;
  const auto image = Image(3000, 4);
  rig.PutBam("update.bam", image);
  const std::string huge = "note=" + std::string(600000, 'y');
  const std::string profile = rig.ProfileWithPort() + "[Junk]\n" + huge;
  rig.WriteOwned(rig.ProfilePath(), profile);
  rig.SendsInBatch({"/batch"}, image);
  const std::string after = test::ReadFileBytes(rig.ProfilePath());
  EXPECT_NE(after.find(rig.ProfileWithPort()), std::string::npos);
  EXPECT_NE(after.find("[Junk]\n" + huge + "\n"), std::string::npos);
  EXPECT_EQ(Profile(rig.ProfilePath()).GetString("Romsend", "LastFile", ""), "update.bam");
  EXPECT_FALSE(fs::exists(rig.ProfilePath() + ".corrupt"));
}

// Lines of the profile that are no settings are the user's: the settings around them are used
// and the next write keeps every one of them.
void StrayProfileLines() {
  Rig rig;
  const auto image = Image(3000, 14);
  rig.PutBam("update.bam", image);
  const std::string profile =
      "\xEF\xBB\xBFnote: unit on desk\n[serial] ; my USB adapter\nport=" + rig.unit.SlavePath() + "\n";
  rig.WriteOwned(rig.ProfilePath(), profile);
  rig.SendsInBatch({"/batch"}, image);
  const std::string after = test::ReadFileBytes(rig.ProfilePath());
  EXPECT_TRUE(after.starts_with(profile)) << after;
  EXPECT_EQ(Profile(rig.ProfilePath()).GetString("Romsend", "LastFile", ""), "update.bam");
  EXPECT_FALSE(fs::exists(rig.ProfilePath() + ".corrupt"));
}

// A profile kept elsewhere and linked in is written through; the link stays.
void LinkedProfile() {
  Rig rig;
  const auto image = Image(3000, 15);
  rig.PutBam("update.bam", image);
  const std::string target = rig.Path("home/romsend.ini");
  rig.WriteOwned(target, rig.ProfileWithPort());
  ASSERT_EQ(symlink(target.c_str(), rig.ProfilePath().c_str()), 0);
  rig.SendsInBatch({"/batch"}, image);
  EXPECT_TRUE(fs::is_symlink(rig.ProfilePath()));
  EXPECT_EQ(Profile(target).GetString("Romsend", "LastFile", ""), "update.bam");
  EXPECT_EQ(Profile(target).GetString("serial", "port", ""), rig.unit.SlavePath());
}

// Both logs as links to other people's files: neither target is touched, the transfer goes on,
// and the diagnostic log (in the state folder) says what was skipped.
void LinkedLogs() {
  Rig rig;
  const auto image = Image(3000, 16);
  rig.PutBam("update.bam", image);
  rig.WriteOwned(rig.ProfilePath(), rig.ProfileWithPort());
  const std::string victimLog = rig.Path("home/notes.txt");
  const std::string victimResults = rig.Path("home/shared.txt");
  rig.WriteOwned(victimLog, "someone's notes\n");
  rig.WriteOwned(victimResults, "someone's results\n");
  ASSERT_EQ(symlink(victimLog.c_str(), rig.LogPath().c_str()), 0);
  ASSERT_EQ(symlink(victimResults.c_str(), rig.Work("romsend.txt").c_str()), 0);
  rig.SendsInBatch({"/batch"}, image);
  EXPECT_EQ(test::ReadFileBytes(victimLog), "someone's notes\n");
  EXPECT_EQ(test::ReadFileBytes(victimResults), "someone's results\n");
  const std::string log = test::ReadFileBytes(rig.Path("state/Kestrune/romsend.log"));
  EXPECT_NE(log.find("log " + rig.LogPath() + " is a link or no regular file; not written"), std::string::npos) << log;
  EXPECT_NE(log.find("result log romsend.txt cannot be opened"), std::string::npos) << log;
}

// Both logs as FIFOs that no one reads: romsend neither hangs nor writes into them.
void FifoLogs() {
  Rig rig;
  const auto image = Image(3000, 17);
  rig.PutBam("update.bam", image);
  rig.WriteOwned(rig.ProfilePath(), rig.ProfileWithPort());
  ASSERT_EQ(mkfifo(rig.LogPath().c_str(), 0666), 0);
  ASSERT_EQ(mkfifo(rig.Work("romsend.txt").c_str(), 0666), 0);
  rig.Own(rig.LogPath());
  rig.Own(rig.Work("romsend.txt"));
  rig.SendsInBatch({"/batch"}, image);
}

// The log of the run before is kept: a failed transfer's notices survive the next start.
void LogGenerationKept() {
  Rig rig;
  const auto image = Image(3000, 18);
  rig.PutBam("update.bam", image);
  rig.WriteOwned(rig.ProfilePath(), rig.ProfileWithPort());
  rig.SendsInBatch({"/batch"}, image);
  const std::string first = test::ReadFileBytes(rig.LogPath());
  ASSERT_NE(first.find("romsend started"), std::string::npos);
  rig.SendsInBatch({"/batch"}, image);
  EXPECT_EQ(test::ReadFileBytes(rig.LogPath() + ".1"), first);
  EXPECT_NE(test::ReadFileBytes(rig.LogPath()), first);
}

// A port that does not open is named in the log as tried, with the reason of the failed call,
// also on a machine that lists no serial ports.
void PortOpenFailureTexts() {
  const std::string unitPort = "<unit>";  // stands for the simulated unit's port
  const struct {
    const char* name;
    std::string profile;
    std::string logged;
  } rows[] = {
      {"a missing adapter", "[serial]\nport=/dev/ttyUSB7\n",
       "Cannot open serial port: /dev/ttyUSB7: the port has gone (device unplugged or restarted)"},
      {"a plain file", "[serial]\nport=/etc/hostname\n", "Cannot open serial port: /etc/hostname: not a serial device"},
      {"no port at all", "", "Cannot open serial port: no serial port chosen; choose the unit's serial port"},
      // The port opens, but its driver refuses the rate: nothing goes out on that line.
      {"a rate the driver refuses", "[serial]\nport=<unit>\nbaud=0\n",
       "Cannot set serial port: <unit>: the port refuses the line speed of 0 baud"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig;
    auto withUnit = [&](std::string text) {
      for (size_t at; (at = text.find(unitPort)) != std::string::npos;)
        text.replace(at, unitPort.size(), rig.unit.SlavePath());
      return text;
    };
    rig.PutBam("update.bam", Image(3000, 19));
    rig.WriteOwned(rig.ProfilePath(), withUnit(row.profile));
    fs::create_directories(rig.Path("sys/class/tty"));
    auto p = rig.Start({"/batch"}, true, {"KESTRUNE_SYSFS_ROOT=" + rig.Path("sys")});
    EXPECT_TRUE(
        p->WaitFor([&] { return test::ReadFileBytes(rig.LogPath()).find(" serial port: ") != std::string::npos; }));
    p->Kill(SIGTERM);
    p->Wait();
    const std::string log = test::ReadFileBytes(rig.LogPath());
    EXPECT_NE(log.find(withUnit(row.logged)), std::string::npos) << log;
    EXPECT_EQ(rig.unit.Snapshot().bytesReceived, 0u);
  }
}

// The unit takes the data at 115200 baud, so a transfer of 32 KiB lasts long enough to act in.
constexpr size_t kSlowImageBytes = 32 * 1024;

// The file is cut to its header while its data is on the way: the transfer fails, Close still
// goes to the unit, and the port is free: a second copy sends another file while the first
// window still shows the failure.
void UpdateFileTruncatedWhileSent() {
  Rig rig;
  rig.unit.SetBaud(115200);
  const auto image = Image(kSlowImageBytes, 5);
  const std::string path = rig.PutBam("update.bam", image);
  rig.WriteOwned(rig.ProfilePath(), rig.ProfileWithPort());
  auto first = rig.Start({"update.bam", "/batch"});
  ASSERT_TRUE(rig.TransferUnderWay(*first)) << first->Out() << first->Err();
  ASSERT_EQ(truncate(path.c_str(), 64), 0);
  EXPECT_TRUE(first->Printed("Transfer Failed ! (E1)")) << first->Out();
  EXPECT_EQ(first->Out().find("Transfer Successful"), std::string::npos) << first->Out();
  const auto rec = rig.unit.Snapshot();
  ASSERT_FALSE(rec.commands.empty());
  EXPECT_EQ(rec.LastCommand(), sim::kCmdClose);
  EXPECT_LT(Received(rec).size(), kSlowImageBytes);
  const std::string firstLog = test::ReadFileBytes(rig.LogPath());

  rig.unit.SetBaud(0);
  const auto other = Image(2000, 6);
  rig.PutBam("other.bam", other);
  rig.SendsInBatch({"other.bam", "/batch"}, other);
  // A second running copy leaves the first one's diagnostic log alone.
  EXPECT_EQ(test::ReadFileBytes(rig.LogPath()).substr(0, firstLog.size()), firstLog);
  EXPECT_EQ(first->Wait(0), Process::kRunning);  // a failed batch run stays open
  first->Kill(SIGTERM);
  EXPECT_NE(first->Wait(), Process::kRunning);
  EXPECT_FALSE(HasSanitizerReport(first->Err())) << first->Err();
}

// The file is written over in place, same size, new bytes, while its data is on the way. The
// unit must not be left with half of each reported as a success.
void UpdateFileRewrittenWhileSent() {
  Rig rig;
  rig.unit.SetBaud(115200);
  const auto image = Image(kSlowImageBytes, 7);
  const std::string path = rig.PutBam("update.bam", image);
  rig.WriteOwned(rig.ProfilePath(), rig.ProfileWithPort());
  auto p = rig.Start({"/batch"});
  ASSERT_TRUE(rig.TransferUnderWay(*p)) << p->Out() << p->Err();
  {
    auto newer = image;
    newer.blocks[0].data = bamgen::PatternBytes(kSlowImageBytes, 8);
    const std::string bytes = Text(bamgen::BuildBam(newer));
    const int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
  }
  ASSERT_TRUE(p->WaitFor([&] {
    return p->Out().find("Transfer Failed") != std::string::npos ||
           p->Out().find("Transfer Successful") != std::string::npos;
  })) << p->Out();
  const std::string sent = Received(rig.unit.Snapshot());
  const bool whole = sent == Text(image.blocks[0].data);
  if (p->Out().find("Transfer Successful") != std::string::npos) {
    EXPECT_TRUE(whole) << "a mix of the old and the new file was reported as sent";
  } else {
    EXPECT_NE(p->Out().find("Transfer Failed ! (E1)"), std::string::npos) << p->Out();
  }
  p->Kill(SIGTERM);
  EXPECT_NE(p->Wait(), Process::kRunning);
  EXPECT_FALSE(HasSanitizerReport(p->Err())) << p->Err();
}

// SIGKILL in the middle of a transfer: the profile, the result log and the diagnostic log hold
// what was written before, whole, and the next transfer starts at once on the same port.
void KilledMidTransfer() {
  Rig rig;
  rig.unit.SetBaud(115200);
  const auto image = Image(kSlowImageBytes, 9);
  rig.PutBam("update.bam", image);
  const std::string profile = rig.ProfileWithPort() + "\n[Config]\nCommsMode=0\n";
  rig.WriteOwned(rig.ProfilePath(), profile);
  const std::string earlier = "earlier run\r\n";
  rig.WriteOwned(rig.Work("romsend.txt"), earlier);
  auto p = rig.Start({"/batch"});
  ASSERT_TRUE(rig.TransferUnderWay(*p)) << p->Out() << p->Err();
  p->Kill(SIGKILL);
  EXPECT_EQ(p->Wait(), -1);

  const Profile kept(rig.ProfilePath());
  EXPECT_EQ(kept.GetString("serial", "port", ""), rig.unit.SlavePath());
  EXPECT_EQ(kept.GetString("Romsend", "LastFile", ""), "update.bam");
  EXPECT_EQ(kept.GetInt("Config", "CommsMode", -1), 0);
  const std::string results = test::ReadFileBytes(rig.Work("romsend.txt"));
  EXPECT_TRUE(results.starts_with(earlier)) << results;
  EXPECT_GT(results.size(), earlier.size());  // the contact's line
  EXPECT_TRUE(results.ends_with("\r\n")) << results;
  const std::string log = test::ReadFileBytes(rig.LogPath());
  EXPECT_TRUE(log.starts_with("\r\n(")) << log;
  EXPECT_NE(log.find("romsend started: /batch"), std::string::npos) << log;

  rig.unit.SetBaud(0);
  rig.LastCloseOfThePort();
  rig.SendsInBatch({"/batch"}, image);
  EXPECT_TRUE(test::ReadFileBytes(rig.Work("romsend.txt")).starts_with(results));
}

// --- rows run in this process, with the program's own windows offscreen ---

// romsend started in this process over the simulated unit, its main page open. Its status
// texts follow each other quickly; every wait for the unit is the real one.
struct InProcess : test::RomsendPlumbing {
  sim::SimulatedUnit unit;
  std::unique_ptr<RomsendApp> app;  // goes first, before the plumbing
  MainPage* main = nullptr;
  std::vector<std::string> shown;

  InProcess() : RomsendPlumbing(test::ShortPauses()) { EXPECT_TRUE(unit.Start()) << unit.LastError(); }
  void Start(const char* pattern) {
    const char* args[] = {"romsend", pattern};
    app = std::make_unique<RomsendApp>(context, [] { return std::string(); });
    app->InitInstance(2, args, false);
    profile.WriteString("serial", "port", unit.SlavePath());
    app->Sheet()->show();
    main = static_cast<MainPage*>(app->Sheet()->GetPage(0));
    QObject::connect(Status(), &QLineEdit::textChanged,
                     [this](const QString& text) { shown.push_back(text.toStdString()); });
  }
  QLineEdit* Status() const { return main->ControlAs<QLineEdit>(MainPage::kIdStatus); }
  QListWidget* List() const { return main->ControlAs<QListWidget>(MainPage::kIdList); }
};

// The list shows the file as it was; what is sent is what the file holds when Send is pressed.
void UpdateFileReplacedWhileListed() {
  test::TempDir folder;
  const std::string path = folder / "listed.bam";
  const auto listed = Image(2000, 10);
  test::WriteFileBytes(path, Text(bamgen::BuildBam(listed)));
  InProcess r;
  r.Start((folder / "*.bam").c_str());
  ASSERT_EQ(r.List()->count(), 1);
  EXPECT_EQ(r.List()->item(0)->text().toStdString().rfind("Fault Matrix 10\t", 0), 0u)
      << r.List()->item(0)->text().toStdString();
  // Replaced the way editors and copy tools do it: a new file renamed over the old name.
  const auto replacement = Image(5000, 11);
  test::WriteFileBytes(path + ".new", Text(bamgen::BuildBam(replacement)));
  ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
  r.main->OnSend();
  EXPECT_EQ(r.Status()->text().toStdString(), "Transfer Successful");
  const auto rec = r.unit.Snapshot();
  EXPECT_EQ(rec.imageHeader, bamgen::ImageHeader(replacement));
  EXPECT_TRUE(Received(rec) == Text(replacement.blocks[0].data)) << Received(rec).size() << " bytes taken";
}

void UpdateFileTruncatedWhileListed() {
  test::TempDir folder;
  const std::string path = folder / "listed.bam";
  const auto listed = Image(2000, 12);
  test::WriteFileBytes(path, Text(bamgen::BuildBam(listed)));
  InProcess r;
  r.Start((folder / "*.bam").c_str());
  ASSERT_EQ(r.List()->count(), 1);
  r.List()->setCurrentRow(0);
  // Cut inside the image header, or deleted: refused before contact, so not one byte reaches
  // the unit, and the status line and the result log say why.
  ASSERT_EQ(truncate(path.c_str(), 30), 0);
  r.main->OnSend();
  EXPECT_EQ(r.Status()->text().toStdString(), "Bad File !! image header cut short");
  ASSERT_EQ(unlink(path.c_str()), 0);
  r.main->OnSend();
  EXPECT_EQ(r.Status()->text().toStdString(), "Cannot open file " + path);
  EXPECT_EQ(r.unit.Snapshot().bytesReceived, 0u);
  EXPECT_FALSE(r.main->sendInProgress);
  const std::string results = test::ReadFileBytes("romsend.txt");
  EXPECT_NE(results.find("Bad File !! image header cut short (" + path + ")\r\n"), std::string::npos) << results;
  EXPECT_NE(results.find("Cannot open file " + path + " (" + path + ")\r\n"), std::string::npos) << results;
  // The port was closed: the whole file, written back, goes at once.
  test::WriteFileBytes(path, Text(bamgen::BuildBam(listed)));
  r.main->OnSend();
  EXPECT_EQ(r.Status()->text().toStdString(), "Transfer Successful");
  EXPECT_TRUE(Received(r.unit.Snapshot()) == Text(listed.blocks[0].data));
}

// Two stations on one account: two copies started at the same moment, each with its own port
// and its own file. Each unit gets its own image, whatever the shared profile says meanwhile.
void TwoCopiesTwoPorts() {
  Rig rig;
  sim::SimulatedUnit second;
  ASSERT_TRUE(second.Start()) << second.LastError();
  if (Root()) {
    ASSERT_EQ(chown(second.SlavePath().c_str(), kUnprivileged, kUnprivileged), 0);
  }
  // Paced, so that the two transfers overlap.
  rig.unit.SetBaud(115200);
  second.SetBaud(115200);
  const auto imageA = Image(8000, 21);
  const auto imageB = Image(8000, 22);
  rig.PutBam("a.bam", imageA);
  rig.PutBam("b.bam", imageB);
  auto a = rig.Start({"a.bam", "/batch", "/port:" + rig.unit.SlavePath()});
  auto b = rig.Start({"b.bam", "/batch", "/port:" + second.SlavePath()});
  EXPECT_EQ(a->Wait(), 0) << a->Out() << a->Err();
  EXPECT_EQ(b->Wait(), 0) << b->Out() << b->Err();
  EXPECT_NE(a->Out().find("Transfer Successful"), std::string::npos) << a->Out();
  EXPECT_NE(b->Out().find("Transfer Successful"), std::string::npos) << b->Out();
  EXPECT_TRUE(Received(rig.unit.Snapshot()) == Text(imageA.blocks[0].data)) << "unit A took another image";
  EXPECT_TRUE(Received(second.Snapshot()) == Text(imageB.blocks[0].data)) << "unit B took another image";
  second.Stop();
}

// help.txt beside the program holds binary bytes: the page shows text, bounded, up to the
// first NUL; a help "file" that is a device shows the built-in text.
void BinaryHelpFile() {
  test::EnsureQtApp();
  const std::string beside = fs::path(test::TestProgramPath()).parent_path() / "help.txt";
  fs::create_directories(fs::path(beside).parent_path());
  struct Remove {
    std::string path;
    ~Remove() { unlink(path.c_str()); }
  } remove{beside};
  int commsMode = 0;
  HelpDialog page(test::TestProgramPath(), commsMode);
  auto shown = [&page] {
    page.OnSetActive();
    return page.ControlAs<QPlainTextEdit>(HelpDialog::kIdText)->toPlainText();
  };

  // Four times the limit of noise without a NUL: shown, cut at the limit.
  std::string noise = Text(bamgen::PatternBytes(4 * HelpDialog::kMaxHelpBytes, 13));
  for (char& c : noise)
    if (c == '\0') c = '\x01';
  test::WriteFileBytes(beside, noise);
  const QString big = shown();
  EXPECT_GT(big.size(), 0);
  EXPECT_LE(static_cast<size_t>(big.size()), HelpDialog::kMaxHelpBytes);

  test::WriteFileBytes(beside, std::string("Steps\r\n\xff\xfe", 9) + std::string(1, '\0') + "after the NUL");
  const QString cut = shown();
  EXPECT_TRUE(cut.startsWith(QStringLiteral("Steps\n"))) << cut.toStdString();
  EXPECT_FALSE(cut.contains(QStringLiteral("after the NUL")));

  unlink(beside.c_str());
  ASSERT_EQ(symlink("/dev/zero", beside.c_str()), 0);
  EXPECT_TRUE(shown().startsWith(QStringLiteral("Read any release notes")));
}

struct FileRow {
  const char* name;
  void (*run)();
};

const FileRow kFileRows[] = {
    {"UnwritableWorkingFolder", UnwritableWorkingFolder},
    {"ReadOnlyProfile", ReadOnlyProfile},
    {"CorruptProfile_BinaryGarbage", CorruptProfile_BinaryGarbage},
    {"CorruptProfile_Oversized", CorruptProfile_Oversized},
    {"CorruptProfile_HugeLineWithoutNewline", CorruptProfile_HugeLineWithoutNewline},
    {"BinaryHelpFile", BinaryHelpFile},
    {"UpdateFileReplacedWhileListed", UpdateFileReplacedWhileListed},
    {"UpdateFileTruncatedWhileListed", UpdateFileTruncatedWhileListed},
    {"UpdateFileTruncatedWhileSent", UpdateFileTruncatedWhileSent},
    {"UpdateFileRewrittenWhileSent", UpdateFileRewrittenWhileSent},
    {"KilledMidTransfer", KilledMidTransfer},
    {"StrayProfileLines", StrayProfileLines},
    {"LinkedProfile", LinkedProfile},
    {"LinkedLogs", LinkedLogs},
    {"FifoLogs", FifoLogs},
    {"LogGenerationKept", LogGenerationKept},
    {"PortOpenFailureTexts", PortOpenFailureTexts},
    {"TwoCopiesTwoPorts", TwoCopiesTwoPorts},
};

// The row as it reads in the test list.
void PrintTo(const FileRow& row, std::ostream* os) {
  *os << row.name;
}

class RomsendFileFaults : public testing::TestWithParam<FileRow> {};

TEST_P(RomsendFileFaults, NothingLostNoHangAClearOutcome) {
  GetParam().run();
}

std::string FileRowName(const testing::TestParamInfo<FileRow>& row) {
  return row.param.name;
}

INSTANTIATE_TEST_SUITE_P(FaultMatrix, RomsendFileFaults, testing::ValuesIn(kFileRows), FileRowName);

}  // namespace
}  // namespace kestrune
