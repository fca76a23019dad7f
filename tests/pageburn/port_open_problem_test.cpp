// Why a port did not open, told in one line with its usual fix.
#include "pageburn/port_open_problem.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace kestrune {
namespace {

TEST(PortOpenProblem, EachReasonIsOneLineWithItsFix) {
  const std::string port = "/dev/ttyACM0";
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kPermission, port, EACCES),
            "/dev/ttyACM0: permission denied; add your user to the dialout group (then log in again) or install the "
            "udev rule 60-kestrune-update.rules\n");
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kBusy, port, 0),
            "/dev/ttyACM0: the port is busy: another program holds it; close that program and try again\n");
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kVanished, port, ENOENT),
            "/dev/ttyACM0: the port has gone (device unplugged or restarted); reconnect it and try again\n");
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kNotSerial, port, 0),
            "/dev/ttyACM0: not a serial device; name the SAM-BA port, such as /dev/ttyACM0\n");
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kUnknown, port, EMFILE),
            "/dev/ttyACM0: Too many open files; try again\n");
  EXPECT_EQ(PortOpenProblemText(PortOpenProblem::kUnknown, port, 0),
            "/dev/ttyACM0: the port could not be set up; try again\n");
}

}  // namespace
}  // namespace kestrune
