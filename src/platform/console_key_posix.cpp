// Key press on a POSIX terminal: non-canonical, no echo, one byte.
#include <termios.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console_key.h"

namespace kestrune {

bool StandardInputIsTerminal() {
  return isatty(STDIN_FILENO) == 1;
}

bool WaitForKeyPress() {
  termios saved{};
  if (!StandardInputIsTerminal() || tcgetattr(STDIN_FILENO, &saved) != 0) return false;
  termios raw = saved;
  // ISIG off as well: Ctrl-C arrives as a key, so the terminal is always put back.
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ECHONL | ISIG));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
  char key;
  ssize_t n;
  do {
    n = read(STDIN_FILENO, &key, 1);
  } while (n < 0 && errno == EINTR);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  return true;
}

}  // namespace kestrune
