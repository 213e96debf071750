#include "base/interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

namespace kes {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t g_received = 0;
volatile sig_atomic_t g_exitAtOnce = 0;
bool g_handled = false;  // the handlers are installed

extern "C" void OnInterrupt(int signal) {
  if (g_exitAtOnce || g_received != 0) _exit(128 + signal);
  g_received = signal;
}

struct sigaction g_previous[sizeof kSignals / sizeof kSignals[0]];

}  // namespace

InterruptSignals::InterruptSignals() {
  g_received = 0;
  g_exitAtOnce = 0;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  for (int s : kSignals) sigaddset(&action.sa_mask, s);
  // No SA_RESTART: a run waiting for input (a script on a pipe) is woken and fails its read,
  // so that it gets to the re-lock; the firmware requests retry what a signal interrupts.
  action.sa_flags = 0;
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &g_previous[i]);
  g_handled = true;
}

InterruptSignals::~InterruptSignals() {
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
  g_handled = false;
  g_received = 0;
  g_exitAtOnce = 0;
}

int InterruptSignals::Received() const { return g_received; }

void InterruptSignals::ExitAtOnce() {
  g_exitAtOnce = 1;
}

void ThrowIfInterrupted() {
  if (int s = g_received) throw RunInterrupted{s};
}

bool WaitForInput(int fd) {
  sigset_t interrupting, previous;
  sigemptyset(&interrupting);
  for (int s : kSignals) sigaddset(&interrupting, s);
  // Blocked from the check of the noted signal until the wait begins: a signal in between stays
  // pending and ends the wait at once.
  pthread_sigmask(SIG_BLOCK, &interrupting, &previous);
  sigset_t waiting = previous;
  if (g_handled)
    for (int s : kSignals) sigdelset(&waiting, s);
  bool ready = false;
  while (g_received == 0) {
    pollfd wanted{fd, POLLIN, 0};
    int n = ppoll(&wanted, 1, nullptr, &waiting);
    if (n > 0 || (n < 0 && errno != EINTR)) {
      ready = true;
      break;
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return ready;
}

long ReadInput(int fd, void* buffer, size_t size) {
  for (;;) {
    if (!WaitForInput(fd)) ThrowIfInterrupted();
    ssize_t n = read(fd, buffer, size);
    if (n >= 0 || (errno != EINTR && errno != EAGAIN)) return n;
    ThrowIfInterrupted();
  }
}

int OpenForReading(const char* path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

std::FILE* OpenStreamForReading(const char* path, const char* mode) {
  int fd = OpenForReading(path);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, mode);
  if (!file) {
    int error = errno;
    close(fd);
    errno = error;
  }
  return file;
}

}  // namespace kes
