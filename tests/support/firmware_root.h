// A firmware root on a plain temporary directory for in-process tests: KESTREL_SYSFS_FIRMWARE
// points at it for the fixture's lifetime. A plain efivars directory behaves like a firmware that stores every write as an
// ordinary variable (no mailbox handler, no password feature).
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/guid.h"
#include "base/le.h"
#include "base/run_state.h"
#include "firmware/firmware_access.h"
#include "tests/support/test_support.h"

namespace kes::test {

// The content of an efivarfs file: the attribute word, then the data.
inline std::vector<uint8_t> Attr(uint32_t attributes, std::vector<uint8_t> data) {
  std::vector<uint8_t> out;
  AppendLe32(out, attributes);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

class PlainFirmwareRoot {
 public:
  // withEfivars: an efi/efivars directory; withFidt: also acpi/tables/FIDT of a supported platform.
  explicit PlainFirmwareRoot(bool withEfivars = true, bool withFidt = false) {
    if (const char* previous = std::getenv("KESTREL_SYSFS_FIRMWARE")) previous_ = previous;
    if (withFidt) MakeFirmwareTree(dir_.path());
    else if (withEfivars) MakeDirs(dir_ / "efi/efivars");
    setenv("KESTREL_SYSFS_FIRMWARE", dir_.path().c_str(), 1);
    access_ = FirmwareAccess(dir_.path(), true);
  }
  ~PlainFirmwareRoot() {
    if (previous_) setenv("KESTREL_SYSFS_FIRMWARE", previous_->c_str(), 1);
    else unsetenv("KESTREL_SYSFS_FIRMWARE");
  }
  PlainFirmwareRoot(const PlainFirmwareRoot&) = delete;
  PlainFirmwareRoot& operator=(const PlainFirmwareRoot&) = delete;

  const std::string& root() const { return dir_.path(); }
  // The firmware access rooted here, as the driver would create it; the root converts to it so
  // that it can be handed straight to the firmware functions.
  FirmwareAccess& access() { return access_; }
  operator FirmwareAccess&() { return access_; }
  std::string operator/(const std::string& name) const { return dir_ / name; }
  std::string VarPath(const std::string& name, const EfiGuid& guid) const {
    return dir_ / ("efi/efivars/" + name + "-" + FormatGuidText(guid));
  }
  std::string SysfsDir(const std::string& name, const EfiGuid& guid) const {
    return dir_ / ("efi/vars/" + name + "-" + FormatGuidText(guid));
  }
  void PutVar(const std::string& name, const EfiGuid& guid, uint32_t attributes,
              const std::vector<uint8_t>& data) const {
    WriteFileBytes(VarPath(name, guid), Attr(attributes, data));
  }
  void RemoveVar(const std::string& name, const EfiGuid& guid) const { std::remove(VarPath(name, guid).c_str()); }
  std::optional<std::vector<uint8_t>> VarFile(const std::string& name, const EfiGuid& guid) const {
    return ReadFileBytes(VarPath(name, guid));
  }

 private:
  TempDir dir_;
  std::optional<std::string> previous_;
  FirmwareAccess access_;
};

inline constexpr EfiGuid kTestGuid{0x12345678, 0x9ABC, 0xDEF0, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};

}  // namespace kes::test
