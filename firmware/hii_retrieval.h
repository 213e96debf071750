// The firmware mailbox's HII database read and the driver's HII step.
#pragma once
#include "base/run_state.h"
#include "base/status.h"

namespace kes {

// Reads the HII database into options.HiiDatabase, writes the /h dump and the "HIICrc32" lines,
// stores the CRC in options.HiiCrc32.
Status RetrieveHiiDatabase(ToolOptions& options);

}  // namespace kes
