// The firmware side's own view of UEFI basics: GUIDs, EFI_STATUS values, variable attributes and
// the efivarfs file name "Name-guid". The emulator keeps these apart from the tool's code on
// purpose, so that a mistake in the tool's GUID or name handling shows up against it.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kes::fwemu {

// The 16 bytes of an EFI_GUID as stored in memory (Data1..Data3 little-endian, then Data4).
struct Guid {
  std::array<uint8_t, 16> bytes{};
  bool operator==(const Guid&) const = default;
  auto operator<=>(const Guid&) const = default;
};

// "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", lower case.
std::string GuidText(const Guid& guid);
// 36 characters, 8-4-4-4-12 hexadecimal groups joined by hyphens, either case.
std::optional<Guid> ParseGuid(std::string_view text);

// EFI_STATUS values the emulated firmware answers with.
using EfiStatus = uint64_t;
inline constexpr EfiStatus kEfiErrorBit = 0x8000000000000000ULL;
inline constexpr EfiStatus kEfiSuccess = 0;
inline constexpr EfiStatus kEfiInvalidParameter = kEfiErrorBit | 2;
inline constexpr EfiStatus kEfiUnsupported = kEfiErrorBit | 3;
inline constexpr EfiStatus kEfiBadBufferSize = kEfiErrorBit | 4;
inline constexpr EfiStatus kEfiBufferTooSmall = kEfiErrorBit | 5;
inline constexpr EfiStatus kEfiDeviceError = kEfiErrorBit | 7;
inline constexpr EfiStatus kEfiWriteProtected = kEfiErrorBit | 8;
inline constexpr EfiStatus kEfiOutOfResources = kEfiErrorBit | 9;
inline constexpr EfiStatus kEfiNotFound = kEfiErrorBit | 14;
inline constexpr EfiStatus kEfiAborted = kEfiErrorBit | 21;
inline constexpr EfiStatus kEfiSecurityViolation = kEfiErrorBit | 26;

// "0x%llx": statuses and attribute words as the request log writes them.
std::string HexText(uint64_t value);

// The errno that Linux's efivarfs gives a write that SetVariable answered with this status.
int EfiStatusToErrno(EfiStatus status);

// Variable attribute bits.
inline constexpr uint32_t kAttrNonVolatile = 0x1;
inline constexpr uint32_t kAttrBootServiceAccess = 0x2;
inline constexpr uint32_t kAttrRuntimeAccess = 0x4;
inline constexpr uint32_t kAttrHardwareErrorRecord = 0x8;
inline constexpr uint32_t kAttrAuthenticatedWriteAccess = 0x10;
inline constexpr uint32_t kAttrTimeBasedAuthenticatedWriteAccess = 0x20;
inline constexpr uint32_t kAttrAppendWrite = 0x40;
// Every bit efivarfs lets through; a word with any other bit is refused before the firmware.
inline constexpr uint32_t kAttrMask = 0x7F;

// A variable's identity: its name (the efivarfs file name's bytes, one UTF-16 unit each) and GUID.
struct VariableId {
  std::string name;
  Guid guid;
  bool operator==(const VariableId&) const = default;
  auto operator<=>(const VariableId&) const = default;
};

// "Name-guid" with the GUID in lower case.
std::string VariableFileName(const VariableId& id);
// Splits an efivarfs file name; nullopt unless it is a non-empty name, a hyphen and a GUID.
std::optional<VariableId> ParseVariableFileName(std::string_view fileName);

}  // namespace kes::fwemu
