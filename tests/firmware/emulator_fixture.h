// The firmware emulator for the firmware layer's end-to-end tests: an image built in a temporary
// directory, mounted, and (for in-process tests) a firmware access rooted at the mount with the
// mailbox configured as platform identification would. Mounting failures fail the test.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/le.h"
#include "base/run_state.h"
#include "firmware/firmware_access.h"
#include "tests/support/emulator.h"
#include "tests/support/test_support.h"

namespace kes::test {

inline constexpr char kMailboxGuidText[] = "280bcc15-2cd7-467c-9647-1b30307d7ed5";
inline constexpr char kPasswordGuidText[] = "5855ce1b-fb8e-47e4-bc1a-39ecaa0c96cf";
inline constexpr char kVendorGuidText[] = "12345678-9abc-def0-0123-456789abcdef";

// An HII database of exactly `size` bytes that the tool accepts as a UEFI package-list chain:
// one package list holding one custom package of random bytes and the end package. Size 0 is the
// empty database.
inline std::vector<uint8_t> HiiImageOfSize(size_t size, unsigned seed = 1) {
  std::vector<uint8_t> image;
  if (size == 0) return image;
  if (size < 28) size = 28;
  std::mt19937 random(seed);
  for (int i = 0; i < 16; ++i) image.push_back(static_cast<uint8_t>(0xA0 + i));  // package list GUID
  AppendLe32(image, static_cast<uint32_t>(size));
  uint32_t custom = static_cast<uint32_t>(size - 20 - 4);
  AppendLe32(image, custom | (0xE0u << 24));
  while (image.size() < size - 4) image.push_back(static_cast<uint8_t>(random()));
  AppendLe32(image, 4 | (0xDFu << 24));
  return image;
}

// The emulator mounted, with this process's firmware layer pointed at it.
class InProcessMount {
 public:
  explicit InProcessMount(const std::string& imageDir, const std::vector<std::string>& extraArgs = {})
      : emulator(imageDir, extraArgs), fw(emulator.root(), true) {
    if (const char* previous = std::getenv("KESTREL_SYSFS_FIRMWARE")) previous_ = previous;
    setenv("KESTREL_SYSFS_FIRMWARE", emulator.root().c_str(), 1);
    fw.mailboxConfigured = true;
    fw.mailboxName = "KMBX";
    fw.mailboxGuid = *ParseGuidText(std::string_view(kMailboxGuidText));
  }
  ~InProcessMount() {
    if (previous_) setenv("KESTREL_SYSFS_FIRMWARE", previous_->c_str(), 1);
    else unsetenv("KESTREL_SYSFS_FIRMWARE");
  }
  InProcessMount(const InProcessMount&) = delete;
  InProcessMount& operator=(const InProcessMount&) = delete;

  // Mailbox requests the emulator served, optionally only those of one service.
  std::vector<std::string> Requests(const std::string& service = "") const {
    std::vector<std::string> out;
    for (const auto& line : emulator.RequestLog())
      if (line.rfind("mailbox ", 0) == 0 && line.find(service) != std::string::npos) out.push_back(line);
    return out;
  }

  Emulator emulator;
  FirmwareAccess fw;  // rooted at the mount, mailbox configured

 private:
  std::optional<std::string> previous_;
};

}  // namespace kes::test
