// Process-wide state of the firmware-access layer: the mailbox variable chosen by platform
// identification, the mailbox protocol version, the cached choice of variable interface, the
// Setup unlock flag, the size of the HII database read in this run and the variables found too
// large to read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "base/guid.h"

namespace kes {

struct FirmwareState {
  bool mailboxConfigured = false;   // set by ValidatePlatform when the table was read
  std::string mailboxName;          // "KMBX"
  EfiGuid mailboxGuid{};
  uint32_t protocolVersion = 8;     // falls to 4 for good on a 0x8003 answer
  bool setupUnlocked = false;       // the current admin password was accepted
  size_t hiiDatabaseSize = 0;
  int sysfsInUse = -1;              // interface choice, -1 until decided
  int efivarfsUsable = -1;
  std::set<std::string> oversizedVariables;  // Name-guid of variables above the read cap, reported once
};

FirmwareState& Firmware();
void ResetFirmwareState();  // tests

}  // namespace kes
