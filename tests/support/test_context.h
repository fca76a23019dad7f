// SPDX-License-Identifier: MIT
// A run context for a test, as a console program's main builds one: an event pump (a headless
// one unless the test brings its own), message boxes on standard error (answered OK, or Yes)
// unless the test puts a recorder in, the test program's pretend path and its profile in the
// test's temp root.
#pragma once

#include <string>

#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/run_context.h"
#include "test_env.h"

namespace kestrune::test {

// A test's context: the console program's, with the test program's pretend path and profile
// unless told.
class TestContext : public ConsoleRunContext {
 public:
  explicit TestContext(const std::string& profilePath = ProgramProfilePath(TestProgramPath()),
                       EventPump* pump = nullptr, const std::string& programPath = TestProgramPath())
      : ConsoleRunContext(programPath, profilePath, pump) {}
};

}  // namespace kestrune::test
