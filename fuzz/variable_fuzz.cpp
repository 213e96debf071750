// A variable as the kernel presents it, read through GetNVRAMVariable: the input as an efivarfs
// file (attribute word, then data), and split into the sysfs interface's "data" and "attributes"
// files (the first byte gives the length of the attributes text that follows it).
#include <cstddef>
#include <cstdint>

#include "base/console.h"
#include "base/guid.h"
#include "firmware/variable_store.h"
#include "fuzz/fuzz_support.h"

namespace {
constexpr kes::EfiGuid kGuid{0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  static fuzz::FirmwareRoot efivarfs("efivarfs", false);
  static fuzz::FirmwareRoot sysfs("sysfs", false, true);
  ConsoleCapture quiet;
  const std::string file = "Setup-" + FormatGuidText(kGuid);
  {
    fuzz::WriteFile(efivarfs / ("efi/efivars/" + file), data, size);
    FirmwareAccess fw = efivarfs.Access();
    uint32_t attributes = 0;
    GetNVRAMVariable(fw, L"Setup", kGuid, &attributes);
  }
  {
    size_t textLength = size ? std::min<size_t>(data[0], size - 1) : 0;
    const uint8_t* text = size ? data + 1 : data;
    fuzz::WriteFile(sysfs / ("efi/vars/" + file + "/attributes"), text, textLength);
    fuzz::WriteFile(sysfs / ("efi/vars/" + file + "/data"), text + textLength, size ? size - 1 - textLength : 0);
    FirmwareAccess fw = sysfs.Access();
    uint32_t attributes = 0;
    GetNVRAMVariable(fw, L"Setup", kGuid, &attributes);
  }
  return 0;
}
