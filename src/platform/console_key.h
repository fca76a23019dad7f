// SPDX-License-Identifier: MIT
// Console key input for programs that wait for the user before they end, and the stop signals
// that may end such a wait (or a run) early.
#pragma once

namespace kestrune {

// True when standard input is a terminal (a user who can press a key).
bool StandardInputIsTerminal();

// Waits for one key press on standard input, read unbuffered and without echo; the terminal's
// settings are put back afterwards, also when a caught stop signal ends the wait. Ctrl-C
// counts as a key. Returns at once, false, when standard input is no terminal; true once a key
// came (or the terminal went away); false when a stop signal ended the wait.
bool WaitForKeyPress();

// From now on SIGINT, SIGTERM and SIGHUP do not end the process at once: the first one is
// recorded, so the program can finish or abandon its work, put its port and the terminal back
// and exit with 128 + the signal's number. Call once, from the main thread.
void CatchStopSignals();

// The stop signal caught so far, 0 when none. Any thread.
int CaughtStopSignal();

}  // namespace kestrune
