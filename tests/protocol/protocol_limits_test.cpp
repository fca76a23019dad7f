// SPDX-License-Identifier: MIT
// The real protocol time limits: the defaults every engine gets unless a test hands it shorter
// ones. A unit given less time than these may fail an update it would have finished.
#include <gtest/gtest.h>

#include <iterator>

#include "protocol/protocol_engine.h"
#include "protocol/protocol_limits.h"
#include "test_context.h"
#include "test_env.h"

namespace kestrune {
namespace {

struct Limit {
  const char* name;
  unsigned ProtocolLimits::*field;
  unsigned ms;
};

// clang-format off
constexpr Limit kRealLimits[] = {
    {"acknowledgement",      &ProtocolLimits::ackMs,            10000},
    {"Open result",          &ProtocolLimits::openResultMs,     100000},
    {"Send Data result",     &ProtocolLimits::sendDataResultMs, 10000},
    {"Close result",         &ProtocolLimits::closeResultMs,    5000},
    {"Reboot result",        &ProtocolLimits::rebootResultMs,   10000},
    {"HEX reply",            &ProtocolLimits::hexReplyMs,       5000},
    {"contact wait",         &ProtocolLimits::contactWaitMs,    1000},
    {"prompt wait",          &ProtocolLimits::promptWaitMs,     1000},
    {"drain quiet",          &ProtocolLimits::drainQuietMs,     100},
    {"drain limit",          &ProtocolLimits::drainLimitMs,     2000},
    {"MIDI identity reply",  &ProtocolLimits::identityReplyMs,  5000},
    {"MIDI identity shown",  &ProtocolLimits::identityShownMs,  1000},
    {"MIDI version reply",   &ProtocolLimits::versionReplyMs,   1000},
    {"status gap",           &ProtocolLimits::statusGapMs,      500},
};
// clang-format on

// A limit added to the value must be added to the table too.
static_assert(sizeof(ProtocolLimits) == std::size(kRealLimits) * sizeof(unsigned));

TEST(ProtocolLimits, TheDefaultsAreTheRealLimits) {
  test::TempDir dir;
  const ProtocolLimits defaults;
  test::TestContext context;
  const Sender engine(context.run, dir / "romsend.txt");
  const ProtocolEngine programEngine(context.run, dir / "romsend.txt");
  for (const Limit& row : kRealLimits) {
    EXPECT_EQ(defaults.*row.field, row.ms) << row.name;
    EXPECT_EQ(engine.Limits().*row.field, row.ms) << row.name;
    EXPECT_EQ(programEngine.Limits().*row.field, row.ms) << row.name;
  }
}

}  // namespace
}  // namespace kestrune
