// The few things the driver asks of the operating system itself.
#pragma once
#include "base/status.h"

namespace kes {

// Binds the process to processor 0; a refusal is ignored.
void BindToFirstProcessor();

// Run "shutdown -h now" and "shutdown -r now" through the shell (found on PATH). 0 when the
// command succeeded, 1 when it could not be run or reported a failure.
Status ShutDownSystem();
Status RebootSystem();

}  // namespace kes
