// Platform identification through the ACPI firmware identification table (<root>/acpi/tables/FIDT).
#pragma once
#include "base/run_state.h"
#include "firmware/firmware_access.h"

namespace kes {

// True when the tool may run here (or /d was given). On a readable table, configures the mailbox
// variable's name and GUID.
bool ValidatePlatform(const RunState& run, FirmwareAccess& fw);

}  // namespace kes
