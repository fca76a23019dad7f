// romsend's rows of the fault matrix that concern its files rather than the line: a working
// folder it cannot write, a profile it cannot write or that is damaged, a help file that is
// binary, an update file replaced or cut while it is listed or being sent, and the program
// killed in the middle of a transfer. The real program runs in batch mode (offscreen) with its
// own working, config, state and lock folders; the simulated unit serves its port. Under root
// the program runs as an unprivileged user, so that folder and file modes bind it.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

#include "app/c_romsend_app.h"
#include "app/c_romsend_dlg.h"
#include "app/help_dialog.h"
#include "app/qt_event_pump.h"
#include "app/update_list.h"
#include "bam_image.h"
#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/program_info.h"
#include "protocol/sender.h"
#include "qt_app.h"
#include "romsend_plumbing.h"
#include "simulated_unit.h"
#include "test_env.h"

extern char** environ;

namespace kestrune {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The user the program runs as when the tests run as root.
constexpr uid_t kUnprivileged = 65534;
// Bounds that only keep a hanging program from hanging the test: start-up, contact (ten
// one-second waits) and a transfer of a few tens of KiB at the slowest pace used here.
constexpr int kRunLimitMs = 30000;

bool Root() {
  return geteuid() == 0;
}

std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A BAM image with one block of `size` pattern bytes.
bamgen::BamImage Image(size_t size, uint32_t seed) {
  bamgen::BamImage image;
  image.title = "Fault_Matrix_" + std::to_string(seed);
  image.tag = 0x4b31;
  image.blocks = {{0x00010000, 0x00000001, bamgen::PatternBytes(size, seed)}};
  image.headerRest = {'K', 'S', 0x01, 0x61};
  return image;
}

// Everything the unit took as image data, in order.
std::string Received(const sim::Recording& rec) {
  std::string data;
  for (const auto& chunk : rec.chunks) data += Text(chunk.data);
  return data;
}

bool HasSanitizerReport(const std::string& err) {
  return err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos;
}

// romsend as a child process: its own working folder and environment, standard output and
// error collected apart, standard input from /dev/null.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
          const std::vector<std::string>& env, bool unprivileged) {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv, envp;
    for (auto& a : all) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) {
      close(out[0]);
      close(out[1]);
      return;
    }
    pid_ = fork();
    if (pid_ == 0) {
      // Only calls that are safe between fork and exec.
      const int null = open("/dev/null", O_RDONLY);
      if (null < 0 || dup2(null, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(126);
      if (chdir(cwd.c_str()) != 0) _exit(126);
      if (unprivileged && (setgroups(0, nullptr) != 0 || setgid(kUnprivileged) != 0 || setuid(kUnprivileged) != 0))
        _exit(126);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Process() {
    Kill(SIGKILL);
    Wait(5000);
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Started() const { return pid_ > 0; }
  const std::string& Out() const { return out_text_; }
  const std::string& Err() const { return err_text_; }

  // Collects output until `done` holds or `limitMs` passed; true when it held.
  bool WaitFor(const std::function<bool()>& done, int limitMs = kRunLimitMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
      if (Clock::now() >= end) return false;
      if (!Pump(20) && exit_ != kRunning && out_ < 0 && err_ < 0) return done();
    }
    return true;
  }
  bool Printed(const std::string& text, int limitMs = kRunLimitMs) {
    return WaitFor([&] { return out_text_.find(text) != std::string::npos; }, limitMs);
  }
  // The exit status once the process ended (-1: by a signal), or kRunning at the limit.
  int Wait(int limitMs = kRunLimitMs) {
    WaitFor([this] { return Reap() && out_ < 0 && err_ < 0; }, limitMs);
    return Reap() ? exit_ : kRunning;
  }
  void Kill(int sig) {
    if (pid_ > 0 && exit_ == kRunning) kill(pid_, sig);
  }

  static constexpr int kRunning = -1000;

 private:
  bool Reap() {
    if (exit_ != kRunning) return true;
    if (pid_ <= 0) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
    exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
  }
  // Reads what is there within `ms`; false when both pipes are closed.
  bool Pump(int ms) {
    pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (out_ < 0 && err_ < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(ms));
      Reap();
      return false;
    }
    if (poll(p, 2, ms) > 0) {
      Drain(p[0], out_, out_text_);
      Drain(p[1], err_, err_text_);
    }
    Reap();
    return true;
  }
  static void Drain(const pollfd& p, int& fd, std::string& into) {
    if (fd < 0 || p.revents == 0) return;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<size_t>(n));
    } else {
      close(fd);
      fd = -1;
    }
  }

  pid_t pid_ = -1;
  int exit_ = kRunning;
  int out_ = -1, err_ = -1;
  std::string out_text_, err_text_;
};

// A scratch tree for one run of the real program, the unit it talks to, and the files it
// keeps: <root>/bin/romsend (a copy, so that its diagnostic log lands beside it), work/,
// config/Kestrune/romsend.ini, state/, runtime/, home/.
class Rig {
 public:
  Rig() {
    char templ[] = "/tmp/kestrune-faults-XXXXXX";
    if (mkdtemp(templ)) root_ = templ;
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    for (const char* sub : {"bin", "work", "config", "config/Kestrune", "state", "runtime", "home"}) {
      fs::create_directories(Path(sub));
      Own(Path(sub));
    }
    fs::permissions(Path("runtime"), fs::perms::owner_all);
    fs::copy_file(KESTRUNE_ROMSEND_PATH, Program());
    EXPECT_TRUE(unit.Start()) << unit.LastError();
    // The unit's port must be the user's to open.
    if (Root()) {
      EXPECT_EQ(chown(unit.SlavePath().c_str(), kUnprivileged, kUnprivileged), 0);
    }
  }
  ~Rig() {
    unit.Stop();
    std::error_code ec;
    fs::permissions(Path("work"), fs::perms::owner_all, ec);
    fs::remove_all(root_, ec);
  }
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  std::string Path(const std::string& sub) const { return root_ + "/" + sub; }
  std::string Program() const { return Path("bin/romsend"); }
  std::string Work(const std::string& name) const { return Path("work/" + name); }
  std::string ProfilePath() const { return Path("config/Kestrune/romsend.ini"); }
  std::string LogPath() const { return Path("bin/romsend.log"); }
  std::string ProfileWithPort() const { return "[serial]\nport=" + unit.SlavePath() + "\n"; }

  // Makes a file or folder the program's own (it runs as another user under root).
  void Own(const std::string& path) const {
    if (Root()) {
      EXPECT_EQ(chown(path.c_str(), kUnprivileged, kUnprivileged), 0) << path;
    }
  }
  void WriteOwned(const std::string& path, const std::string& bytes) const {
    test::WriteFileBytes(path, bytes);
    Own(path);
  }
  // Takes write permission away from the program: under root the folder simply stays root's.
  void MakeUnwritable(const std::string& path) const {
    if (Root()) {
      EXPECT_EQ(chown(path.c_str(), 0, 0), 0);
    }
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  }
  // The update file to send, in the working folder (readable by everyone).
  std::string PutBam(const std::string& name, const bamgen::BamImage& image) const {
    test::WriteFileBytes(Work(name), Text(bamgen::BuildBam(image)));
    return Work(name);
  }

  std::unique_ptr<Process> Start(std::vector<std::string> args) const {
    std::vector<std::string> env{"QT_QPA_PLATFORM=offscreen",          "HOME=" + Path("home"),
                                 "XDG_CONFIG_HOME=" + Path("config"),  "XDG_STATE_HOME=" + Path("state"),
                                 "XDG_RUNTIME_DIR=" + Path("runtime"), "LANG=C.UTF-8"};
    for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
      if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
    auto p = std::make_unique<Process>(Program(), args, Path("work"), env, Root());
    EXPECT_TRUE(p->Started());
    return p;
  }

  // One batch run that must succeed: the window closes by itself after the transfer.
  void SendsInBatch(const std::vector<std::string>& args, const bamgen::BamImage& image) {
    unit.ClearRecording();
    auto p = Start(args);
    EXPECT_EQ(p->Wait(), 0) << p->Out() << p->Err();
    EXPECT_NE(p->Out().find("Transfer Successful"), std::string::npos) << p->Out();
    EXPECT_FALSE(HasSanitizerReport(p->Err())) << p->Err();
    const auto rec = unit.Snapshot();
    EXPECT_EQ(rec.imageHeader, bamgen::ImageHeader(image));
    EXPECT_TRUE(Received(rec) == Text(image.blocks[0].data)) << Received(rec).size() << " bytes taken";
  }

  // What the kernel does when the last holder of a real port goes: the exclusive-open mark of a
  // killed program is dropped. The simulator keeps its slave end open, so the pty never sees
  // that last close; the test opens the slave (root ignores the mark) and drops it.
  void LastCloseOfThePort() const {
    const int fd = open(unit.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;  // not root: the program ran as this user and nothing was marked for it
    ioctl(fd, TIOCNXCL);
    close(fd);
  }

  // Waits until the unit has taken some image data, the transfer running.
  bool TransferUnderWay(Process& p) {
    return p.WaitFor([this] { return !unit.Snapshot().chunks.empty(); });
  }

  mutable sim::SimulatedUnit unit;

 private:
  std::string root_;
};

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
  EXPECT_EQ(rec.commands.back(), sim::kCmdClose);
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

// romsend started in this process over the simulated unit, its main page open.
struct InProcess : test::RomsendPlumbing {
  sim::SimulatedUnit unit;
  std::unique_ptr<CRomsendApp> app;  // goes first, before the plumbing
  CRomsendDlg* main = nullptr;
  std::vector<std::string> shown;

  InProcess() { EXPECT_TRUE(unit.Start()) << unit.LastError(); }
  void Start(const char* pattern) {
    const char* args[] = {"romsend", pattern};
    app = std::make_unique<CRomsendApp>([] { return std::string(); });
    app->InitInstance(2, args, false);
    AppProfile().WriteString("serial", "port", unit.SlavePath());
    app->Sheet()->show();
    main = static_cast<CRomsendDlg*>(app->Sheet()->GetPage(0));
    QObject::connect(Status(), &QLineEdit::textChanged,
                     [this](const QString& text) { shown.push_back(text.toStdString()); });
  }
  QLineEdit* Status() const { return main->ControlAs<QLineEdit>(CRomsendDlg::kIdStatus); }
  QListWidget* List() const { return main->ControlAs<QListWidget>(CRomsendDlg::kIdList); }
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
  // Cut inside the image header: nothing reaches the unit past contact, and the send says so.
  ASSERT_EQ(truncate(path.c_str(), 30), 0);
  r.main->OnSend();
  EXPECT_EQ(r.Status()->text().toStdString(), "Transfer Failed ! (E1)");
  EXPECT_TRUE(r.unit.Snapshot().commands.empty());
  EXPECT_FALSE(r.main->sendInProgress);
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
  const std::string beside = fs::path(ProgramPath()).parent_path() / "help.txt";
  fs::create_directories(fs::path(beside).parent_path());
  struct Remove {
    std::string path;
    ~Remove() { unlink(path.c_str()); }
  } remove{beside};
  int commsMode = 0;
  HelpDialog page(commsMode);
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
