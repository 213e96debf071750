// Platform identification through the ACPI firmware identification table (<root>/acpi/tables/FIDT).
#pragma once

namespace kes {

// True when the tool may run here (or /d was given). On a readable table, configures the mailbox
// variable's name and GUID.
bool ValidatePlatform();

}  // namespace kes
