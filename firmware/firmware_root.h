// Every firmware path (efivarfs, the sysfs variable interface, ACPI tables) is resolved under
// one root directory: $KESTREL_SYSFS_FIRMWARE when set, else /sys/firmware. Pointing it at the
// firmware emulator's mount, or at a captured tree, runs the tool against that firmware.
#pragma once
#include <string>
#include <string_view>

namespace kes {

// The root without a trailing slash.
std::string FirmwareRoot();
// True when KESTREL_SYSFS_FIRMWARE is set (the efivarfs magic check is then skipped).
bool FirmwareRootOverridden();
// FirmwareRoot() + "/" + relative (relative must not begin with "/").
std::string FirmwarePath(std::string_view relative);

}  // namespace kes
