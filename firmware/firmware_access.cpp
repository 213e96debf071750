#include "firmware/firmware_access.h"

#include <cstdlib>

namespace kes {
namespace {

std::string RootFromEnvironment(bool& overridden) {
  const char* env = std::getenv("KESTREL_SYSFS_FIRMWARE");
  overridden = env && *env;
  std::string root = overridden ? env : "/sys/firmware";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

}  // namespace

FirmwareAccess::FirmwareAccess() { root_ = RootFromEnvironment(overridden_); }

FirmwareAccess::FirmwareAccess(std::string root, bool overridden) : root_(std::move(root)), overridden_(overridden) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

}  // namespace kes
