// SPDX-License-Identifier: MIT
// The real romsend as a child process in a scratch tree of its own (program copy, working,
// config, state and runtime folders) with the simulated unit on a pty: the harness of the
// fault-matrix rows that run the program itself.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bam_image.h"
#include "child_process.h"
#include "simulated_unit.h"
#include "test_env.h"

namespace kestrune::faults {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The user the program runs as when the tests run as root.
constexpr uid_t kUnprivileged = 65534;

inline bool Root() {
  return geteuid() == 0;
}

inline std::string Text(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A BAM image with one block of `size` pattern bytes.
inline bamgen::BamImage Image(size_t size, uint32_t seed) {
  bamgen::BamImage image;
  image.title = "Fault_Matrix_" + std::to_string(seed);
  image.tag = 0x4b31;
  image.blocks = {{0x00010000, 0x00000001, bamgen::PatternBytes(size, seed)}};
  image.headerRest = {'K', 'S', 0x01, 0x61};
  return image;
}

// Everything the unit took as image data, in order.
inline std::string Received(const sim::Recording& rec) {
  std::string data;
  for (const auto& chunk : rec.chunks) data += Text(chunk.data);
  return data;
}

inline bool HasSanitizerReport(const std::string& err) {
  return err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos;
}

// romsend as a child process (see Rig::Start).
using Process = test::ChildProcess;

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

  // Starts the program with `args`; `offscreen` false starts it with no display and no Qt
  // platform named at all, as on a headless machine. `extraEnv` adds NAME=value entries.
  std::unique_ptr<Process> Start(std::vector<std::string> args, bool offscreen = true,
                                 const std::vector<std::string>& extraEnv = {}) const {
    std::vector<std::string> env{"HOME=" + Path("home"), "XDG_CONFIG_HOME=" + Path("config"),
                                 "XDG_STATE_HOME=" + Path("state"), "XDG_RUNTIME_DIR=" + Path("runtime"),
                                 "LANG=C.UTF-8"};
    if (offscreen) env.push_back("QT_QPA_PLATFORM=offscreen");
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    for (const char* name : {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
      if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
    auto p = std::make_unique<Process>(test::ChildOptions{.program = Program(),
                                                          .args = std::move(args),
                                                          .env = std::move(env),
                                                          .cwd = Path("work"),
                                                          .user = Root() ? kUnprivileged : 0});
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

}  // namespace kestrune::faults
