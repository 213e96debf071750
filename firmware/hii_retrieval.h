// The firmware mailbox's HII database read and the driver's HII step.
#pragma once
#include "firmware/firmware_access.h"
#include "base/run_state.h"
#include "base/status.h"

namespace kes {

// Reads the HII database into run.options.HiiDatabase, writes the /h dump and the "HIICrc32" lines,
// stores the CRC in run.options.HiiCrc32.
Status RetrieveHiiDatabase(RunState& run, FirmwareAccess& fw);

}  // namespace kes
