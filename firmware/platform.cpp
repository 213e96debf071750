#include "firmware/platform.h"

#include <array>
#include <cstdio>

#include "base/console.h"
#include "base/debug_log.h"
#include "base/run_state.h"
#include "firmware/firmware_access.h"

namespace kes {
namespace {

// The firmware identification table: its first 156 bytes are read; bytes 68..70 hold the core
// version as text, "05" and a terminating zero on the supported generation.
constexpr size_t kFidtReadSize = 156;
constexpr size_t kCoreVersionOffset = 68;

// The mailbox variable the firmware intercepts.
constexpr const char* kMailboxName = "KMBX";
constexpr EfiGuid kMailboxGuid{0x280BCC15, 0x2CD7, 0x467C, {0x96, 0x47, 0x1B, 0x30, 0x30, 0x7D, 0x7E, 0xD5}};

// True when the whole head of the table could be read.
bool ReadIdentificationTable(const FirmwareAccess& fw, std::array<uint8_t, kFidtReadSize>& table) {
  std::FILE* file = std::fopen(fw.Path("acpi/tables/FIDT").c_str(), "rb");
  if (!file) return false;
  size_t got = std::fread(table.data(), 1, table.size(), file);
  std::fclose(file);
  return got == table.size();
}

}  // namespace

bool ValidatePlatform(const RunState& run, FirmwareAccess& fw) {
  std::array<uint8_t, kFidtReadSize> table{};
  bool readable = ReadIdentificationTable(fw, table);
  DebugLog(&run.log, LV_KERN, "Platform Validation [START]\n ");
  bool skipCheck = run.Given(Switch::D);
  if (!readable) {
    if (skipCheck) return true;
    Err(L"Platform identification failed.\n");
    return false;
  }
  fw.mailboxName = kMailboxName;
  fw.mailboxGuid = kMailboxGuid;
  fw.mailboxConfigured = true;
  if (skipCheck) return true;
  bool supported = table[kCoreVersionOffset] == '0' && table[kCoreVersionOffset + 1] == '5' &&
                   table[kCoreVersionOffset + 2] == 0;
  if (!supported) Err(L"Kestrel is not supported on this system.\n");
  return supported;
}

}  // namespace kes
