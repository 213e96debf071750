#include "App/terminal.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/console.h"

namespace kes {
namespace {

int ReadOneByte() {
  unsigned char c;
  for (;;) {
    ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

}  // namespace

int ReadKey() {
  std::fflush(stdout);  // the prompt must be visible before we wait
  termios saved;
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved) != 0) return ReadOneByte();
  termios single = saved;
  single.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  single.c_cc[VMIN] = 1;
  single.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &single);
  int key = ReadOneByte();
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
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
