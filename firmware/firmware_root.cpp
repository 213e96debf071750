#include "firmware/firmware_root.h"

#include <cstdlib>

namespace kes {

std::string FirmwareRoot() {
  const char* env = std::getenv("KESTREL_SYSFS_FIRMWARE");
  std::string root = (env && *env) ? env : "/sys/firmware";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

bool FirmwareRootOverridden() {
  const char* env = std::getenv("KESTREL_SYSFS_FIRMWARE");
  return env && *env;
}

std::string FirmwarePath(std::string_view relative) { return FirmwareRoot() + "/" + std::string(relative); }

}  // namespace kes
