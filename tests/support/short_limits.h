// SPDX-License-Identifier: MIT
// Protocol limits for tests that sit through the unit's timeouts: each a fraction of the real
// one, so that a silent unit fails a phase in a fraction of a second. Every limit that waits for
// a real reply over a pty or the MIDI loopback stays well above what a loaded machine (and a
// sanitizer build) needs for that reply; the quiet after the synchronisation keeps its real
// length, since a shorter one could take a late '#' for the unit falling quiet.
#pragma once

#include "protocol/protocol_limits.h"

namespace kestrune::test {

// The real waits for the unit's replies, but the pauses that wait on nobody shortened: the gap
// between two status texts and the time the MIDI identity stands. For tests that read many
// status texts or make many contacts but sit through no timeout.
inline ProtocolLimits ShortPauses() {
  ProtocolLimits l;
  l.identityShownMs = 10;
  l.statusGapMs = 10;
  return l;
}

// The shortened pauses (above) and shortened waits for the unit's replies.
inline ProtocolLimits ShortLimits() {
  ProtocolLimits l = ShortPauses();
  l.ackMs = 500;
  l.openResultMs = 1000;
  l.sendDataResultMs = 500;
  l.closeResultMs = 500;
  l.rebootResultMs = 500;
  l.hexReplyMs = 500;
  l.contactWaitMs = 200;
  l.promptWaitMs = 200;
  l.drainLimitMs = 500;
  l.identityReplyMs = 500;
  l.versionReplyMs = 500;
  return l;
}

}  // namespace kestrune::test
