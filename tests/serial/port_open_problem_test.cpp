// SPDX-License-Identifier: MIT
// Why a port did not open, told in one line with its fix, and the looks at real files that
// tell the reasons apart.
#include "serial/port_open_problem.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>

#include "pty_pair.h"
#include "serial/serial_handle.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

constexpr const char* kHint = "name the SAM-BA port, such as /dev/ttyACM0";

TEST(PortOpenProblem, EachReasonIsOneLineWithItsFix) {
  const std::string port = "/dev/ttyACM0";
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kPermission, port, EACCES, kHint),
            "/dev/ttyACM0: permission denied; add your user to the dialout group (then log in again) or install the "
            "udev rule 60-kestrune-update.rules\n");
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kBusy, port, 0, kHint),
            "/dev/ttyACM0: the port is busy: another program holds it; close that program and try again\n");
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kVanished, port, ENOENT, kHint),
            "/dev/ttyACM0: the port has gone (device unplugged or restarted); reconnect it and try again\n");
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kNotSerial, port, 0, kHint),
            "/dev/ttyACM0: not a serial device; name the SAM-BA port, such as /dev/ttyACM0\n");
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kUnknown, port, EMFILE, kHint),
            "/dev/ttyACM0: Too many open files; try again\n");
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kUnknown, port, 0, kHint),
            "/dev/ttyACM0: the port could not be set up; try again\n");
}

TEST(PortOpenProblem, ErrnoValuesMapOntoTheirReasons) {
  EXPECT_EQ(ClassifyPortOpen(EACCES, false, false), PortOpenProblem::kPermission);
  EXPECT_EQ(ClassifyPortOpen(EPERM, false, false), PortOpenProblem::kPermission);
  EXPECT_EQ(ClassifyPortOpen(EBUSY, false, false), PortOpenProblem::kBusy);
  EXPECT_EQ(ClassifyPortOpen(ENOENT, false, false), PortOpenProblem::kVanished);
  EXPECT_EQ(ClassifyPortOpen(ENXIO, false, false), PortOpenProblem::kVanished);
  EXPECT_EQ(ClassifyPortOpen(EISDIR, false, false), PortOpenProblem::kNotSerial);
  EXPECT_EQ(ClassifyPortOpen(EMFILE, false, false), PortOpenProblem::kUnknown);
  // Opened when looked at again: a plain file is no port; a terminal whose lock is taken is busy.
  EXPECT_EQ(ClassifyPortOpen(0, false, false), PortOpenProblem::kNotSerial);
  EXPECT_EQ(ClassifyPortOpen(0, true, true), PortOpenProblem::kBusy);
  EXPECT_EQ(ClassifyPortOpen(0, true, false), PortOpenProblem::kUnknown);
}

TEST(PortOpenProblem, LooksAtMissingPtysPlainFilesFoldersAndHeldPorts) {
  test::TempDir dir;
  test::TestContext context;
  const SerialReceiveFn ignore = [](const uint8_t*, uint32_t, void*) {};
  // The reason comes from the failed open itself; nothing opens the port a second time.
  PortOpenFailure failure;
  auto failedOpen = [&](const std::string& path) {
    std::unique_ptr<PublicSerialHandle> handle(
        PublicSerialHandle::Open(PortOwner{context.run}, path, ignore, nullptr, 64, &failure));
    EXPECT_EQ(handle, nullptr) << path;
    EXPECT_EQ(failure.path, path);
    return PortOpenFailureProblem(failure);
  };
  // A pseudo-terminal number that is not allocated: what an unplugged adapter leaves behind.
  const std::string gone = "/dev/pts/987654";
  EXPECT_EQ(failedOpen(gone), PortOpenProblem::kVanished);
  EXPECT_EQ(failure.error, ENOENT);
  EXPECT_EQ(PortOpenProblemLine(gone, failure, kHint),
            gone + ": the port has gone (device unplugged or restarted); reconnect it and try again\n");

  const std::string file = dir / "notes.txt";
  test::WriteFileBytes(file, "not a port");
  EXPECT_EQ(failedOpen(file), PortOpenProblem::kNotSerial);
  EXPECT_EQ(failure.call, "isatty");  // no device node: not even opened
  EXPECT_EQ(PortOpenProblemLine(file, failure, "pick another"), file + ": not a serial device; pick another\n");
  EXPECT_EQ(test::ReadFileBytes(file), "not a port");  // the look leaves the file alone

  EXPECT_EQ(failedOpen(dir.Path()), PortOpenProblem::kNotSerial);
  EXPECT_EQ(failure.call, "isatty");

  // A port that this (or another) program holds is busy, and the look does not take it away.
  test::PtyPair pty;
  std::unique_ptr<PublicSerialHandle> held(
      PublicSerialHandle::Open(PortOwner{context.run}, pty.name, ignore, nullptr, 64));
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(failedOpen(pty.name), PortOpenProblem::kBusy);
  EXPECT_EQ(PortOpenProblemLine(pty.name, failure, kHint),
            pty.name + ": the port is busy: another program holds it; close that program and try again\n");
  held.reset();
  // Free again, a terminal opens fine: nothing to blame.
  held.reset(PublicSerialHandle::Open(PortOwner{context.run}, pty.name, ignore, nullptr, 64));
  EXPECT_NE(held, nullptr);
}

}  // namespace
}  // namespace kestrune
