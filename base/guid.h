// EFI_GUID: Data1 (32 bits), Data2 and Data3 (16 bits), little-endian in memory, then the eight
// Data4 bytes. Text form "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x" (lower case).
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/le.h"

namespace kes {

struct EfiGuid {
  uint32_t Data1 = 0;
  uint16_t Data2 = 0;
  uint16_t Data3 = 0;
  std::array<uint8_t, 8> Data4{};

  static EfiGuid FromBytes(Bytes b, size_t offset = 0);
  std::array<uint8_t, 16> ToBytes() const;
  bool operator==(const EfiGuid&) const = default;
  bool IsZero() const { return *this == EfiGuid{}; }
};

std::string FormatGuidText(const EfiGuid& guid);
std::wstring FormatGuidTextW(const EfiGuid& guid);
// Exactly 36 characters: hexadecimal groups of 8-4-4-4-12 joined by hyphens (either case).
std::optional<EfiGuid> ParseGuidText(std::string_view text);
std::optional<EfiGuid> ParseGuidText(std::wstring_view text);

namespace guids {
// EFI global variables (BootOrder, Lang, PlatformLangCodes, ...).
inline constexpr EfiGuid kGlobalVariable{0x8BE4DF61, 0x93CA, 0x11D2, {0xAA, 0x0D, 0x00, 0xE0, 0x98, 0x03, 0x2B, 0x8C}};
}  // namespace guids

}  // namespace kes
