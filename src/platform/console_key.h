// Console key input for programs that wait for the user before they end.
#pragma once

namespace kestrune {

// True when standard input is a terminal (a user who can press a key).
bool StandardInputIsTerminal();

// Waits for one key press on standard input, read unbuffered and without echo; the terminal's
// settings are put back afterwards. Ctrl-C counts as a key. Returns at once, false, when
// standard input is no terminal; true once a key came (or the terminal went away).
bool WaitForKeyPress();

}  // namespace kestrune
