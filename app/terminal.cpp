#include "app/terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/console.h"
#include "base/interrupt.h"

namespace kes {
namespace {

constexpr int kInterrupted = -2;

// One byte of standard input; -1 at its end (or on an error). `wait`: blocks until a byte is
// there, or returns kInterrupted when an interrupting signal arrived; otherwise a byte is only
// taken when one is there already.
int ReadOneByte(bool wait) {
  unsigned char c;
  for (;;) {
    if (wait) {
      if (!WaitForInput(STDIN_FILENO)) return kInterrupted;
    } else {
      pollfd ready{STDIN_FILENO, POLLIN, 0};
      if (poll(&ready, 1, 0) <= 0) return -1;
    }
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && wait && (errno == EINTR || errno == EAGAIN)) continue;
    return -1;
  }
}

}  // namespace

int ReadKey() {
  std::fflush(stdout);  // the prompt must be visible before we wait
  termios saved;
  // Only a terminal has someone at it to wait for: other input (a pipe, a file) gives a key only
  // when one is there already, so that a run fed by a pipe never hangs at a prompt.
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) return ReadOneByte(false);
  termios single = saved;
  single.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  single.c_cc[VMIN] = 1;
  single.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &single);
  int key = ReadOneByte(true);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (key == kInterrupted) {
    ThrowIfInterrupted();
    key = -1;
  }
  return key;
}

bool PauseForKey(const KeyReader& readKey) {
  Out(L"<Press Q to quit, any other key to continue.> \n");
  int key = readKey();
  return key != 'q' && key != 'Q';
}

bool AskYesNo(const wchar_t* prompt, const KeyReader& readKey) {
  Out(prompt);
  for (;;) {
    int key = readKey();
    if (key < 0 || key == 'n' || key == 'N') return false;
    if (key == 'y' || key == 'Y') return true;
  }
}

}  // namespace kes
