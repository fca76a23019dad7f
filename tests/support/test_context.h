// SPDX-License-Identifier: MIT
// A run context for a test, as a console program's main builds one: an event pump (a headless
// one unless the test brings its own), message boxes on standard error (answered OK, or Yes)
// unless the test puts a recorder in, and the profile of the test program in the test's temp
// root.
#pragma once

#include <string>

#include "platform/event_pump.h"
#include "platform/message_box.h"
#include "platform/profile.h"
#include "platform/run_context.h"

namespace kestrune::test {

// A test's context: the console program's, with the test program's profile unless told.
class TestContext : public ConsoleRunContext {
 public:
  explicit TestContext(const std::string& profilePath = kestrune::ProgramProfilePath(), EventPump* pump = nullptr)
      : ConsoleRunContext(profilePath, pump) {}
};

}  // namespace kestrune::test
