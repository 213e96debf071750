// The firmware image directory the emulator serves, read once at start and never written:
//   fwemu.conf  configuration (config.h)
//   hii.bin     the HII database image (missing: an empty database)
//   FIDT        the firmware identification table (missing: no table unless configured)
//   vars/       one file per variable, named Name-guid, in efivarfs format
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "companions/fwemu/config.h"
#include "companions/fwemu/firmware_model.h"
#include "companions/fwemu/variable_store.h"

namespace kes::fwemu {

inline constexpr size_t kFidtSize = 156;
inline constexpr size_t kFidtCoreVersionOffset = 68;

struct Image {
  Config config;
  std::vector<uint8_t> hiiDatabase;
  std::optional<std::vector<uint8_t>> fidt;  // as served, configuration applied
  std::vector<Variable> variables;           // in file-name order
  std::vector<std::string> warnings;         // files that are skipped
};

// False with a message on a missing image directory or a path that is no directory, an image file
// that is not a regular file or cannot be read, a bad configuration or a variable file whose name
// is not Name-guid.
bool LoadImage(const std::string& dir, Image& image, std::string& error);

// Writes every variable except the mailbox as dir/Name-guid (created if needed), and removes
// the files there that are named like variables but are not among them, so the directory holds
// exactly the final variables. Other files are left alone.
bool SaveVariables(const std::string& dir, const FirmwareModel& firmware, std::string& error);

}  // namespace kes::fwemu
