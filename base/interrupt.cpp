#include "base/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <iterator>

namespace kes {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t g_received = 0;
volatile sig_atomic_t g_exitAtOnce = 0;

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
}

InterruptSignals::~InterruptSignals() {
  for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &g_previous[i], nullptr);
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

}  // namespace kes
