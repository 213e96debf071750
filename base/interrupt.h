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
#include <cstddef>
#include <cstdio>

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

// Input that a run waits for (a script on a pipe or FIFO, a key at the pause prompt) must not
// hold the run past a signal: a signal that arrives before the wait begins would otherwise find
// the run blocked in read() with nothing left to wake it. These waits let the signals in only
// while waiting (ppoll with the signals blocked around it), so that a signal noted before or
// during the wait ends it.

// Waits until `fd` has input, or its end (or an error) to report. False when an interrupting
// signal arrived first, also before the call. Without an InterruptSignals object alive it only
// waits.
bool WaitForInput(int fd);
// One read() of at most `size` bytes, once WaitForInput says there is input: the bytes read, 0 at
// the end of the input, -1 with errno on an error. Throws RunInterrupted when a signal arrived.
long ReadInput(int fd, void* buffer, size_t size);
// Opens a file for reading without blocking on a FIFO that has no writer yet (the first
// ReadInput waits for one instead): a descriptor, or -1 with errno.
int OpenForReading(const char* path);
// The same as a stream (fopen's `mode`, a reading one); null with errno when it cannot be opened.
std::FILE* OpenStreamForReading(const char* path, const char* mode);

}  // namespace kes
