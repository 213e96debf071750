// Setup passwords: presenting the current admin password (unlocks protected variables), setting
// new admin and user passwords, and re-locking at the end of every run.
#pragma once
#include "base/guid.h"
#include "base/run_state.h"
#include "base/status.h"
#include "firmware/firmware_access.h"

namespace kes {

inline constexpr EfiGuid kPasswordVariableGuid{0x5855CE1B, 0xFB8E, 0x47E4, {0xBC, 0x1A, 0x39, 0xEC, 0xAA, 0x0C, 0x96, 0xCF}};
inline constexpr const wchar_t* kSetupPasswordVariable = L"$SETUPPASSWD";
inline constexpr const wchar_t* kAdminPasswordVariable = L"$SETADMINPASSWD";
inline constexpr const wchar_t* kUserPasswordVariable = L"$SETUSERPASSWD";

// Presents the password slots filled on the command line (run.currentAdmin, newAdmin, newUser)
// to the firmware, printing each result; an accepted current password sets fw.setupUnlocked.
// Returns 0 or the failing status.
Status ChangeSetupPasswords(const RunState& run, FirmwareAccess& fw);
// Locks protected variables again when this run unlocked them. Returns the write's status.
Status RelockProtectedVariables(FirmwareAccess& fw);

}  // namespace kes
