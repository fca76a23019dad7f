// SPDX-License-Identifier: MIT
// Every time limit of the protocol in one value: how long the engine and the transfers wait for
// the unit at each step, and how long a status text stands before the next. The engine holds
// one; everything that waits on the unit reads its limit there. The defaults are the real
// limits a unit is given; tests hand the engine shorter ones to run their timeouts quickly.
#pragma once

namespace kestrune {

struct ProtocolLimits {
  // A frame's two replies: its acknowledgement, then the result of its operation. Open's
  // result comes after the unit has erased its flash, hence its long limit.
  unsigned ackMs = 10000;
  unsigned openResultMs = 100000;
  unsigned sendDataResultMs = 10000;
  unsigned closeResultMs = 5000;
  unsigned rebootResultMs = 10000;
  // The verdict on a HEX start record or line.
  unsigned hexReplyMs = 5000;
  // Serial contact: each of the ten waits for the wake-up answer, each of the twenty waits for
  // a prompt's answer, and after the 'A' the quiet that tells the unit is ready (and how long the
  // line may keep talking before it counts as no unit at all).
  unsigned contactWaitMs = 1000;
  unsigned promptWaitMs = 1000;
  unsigned drainQuietMs = 100;
  unsigned drainLimitMs = 2000;
  // MIDI contact: the identity reply, and how long its text stands before the first frame.
  unsigned identityReplyMs = 5000;
  unsigned identityShownMs = 1000;
  // The answer to the bare 'V' request of a MIDI Reboot or Serial run.
  unsigned versionReplyMs = 1000;
  // The least time between two status texts of the program's window, so that each can be read.
  unsigned statusGapMs = 500;
};

}  // namespace kestrune
