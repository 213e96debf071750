// The FUSE side of the emulator: serves the emulated firmware as the tree the tool expects under
// /sys/firmware (efi/efivars/ and acpi/tables/FIDT) until the file system is unmounted or the
// process gets SIGTERM, SIGINT or SIGHUP.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "companions/fwemu/efivarfs_model.h"

namespace kes::fwemu {

struct MountOptions {
  std::string mountPoint;
  bool foreground = false;
  bool fuseDebug = false;
  std::vector<std::string> fuseOptions;  // each passed as "-o VALUE"
};

// Mounts, serves and unmounts. Returns 0 after a clean unmount (also after a signal), else a
// message in error and a non-zero value.
int ServeFirmware(EfivarfsModel& efivars, const std::optional<std::vector<uint8_t>>& fidt,
                  const MountOptions& options, std::string& error);

}  // namespace kes::fwemu
