// Interrupting signals (SIGINT, SIGTERM, SIGHUP) during a run. The handler only notes the first
// signal; the run notices it at its next check point (between variables, records and questions),
// unwinds, and the driver then re-locks the protected variables and discards unfinished output
// files as on any failure. A second signal, or any signal once the run has finished its clean-up,
// ends the process at once with 128 + the signal.
//
// The noted signal is the one piece of process-wide state: a signal handler can reach nothing
// else. It lives only while an InterruptSignals object (created by the driver for one run) is
// alive.
#pragma once

namespace kes {

// Thrown at a check point after a signal arrived.
struct RunInterrupted {
  int signal = 0;
};

class InterruptSignals {
 public:
  InterruptSignals();   // installs the handlers; no signal noted yet
  ~InterruptSignals();  // puts back the handlers found before
  InterruptSignals(const InterruptSignals&) = delete;
  InterruptSignals& operator=(const InterruptSignals&) = delete;

  int Received() const;  // the first signal, 0 when none arrived
  void ExitAtOnce();     // from now on a signal ends the process immediately
};

// Throws RunInterrupted when a signal arrived during the run; nothing otherwise (also when no
// InterruptSignals object is alive).
void ThrowIfInterrupted();

}  // namespace kes
