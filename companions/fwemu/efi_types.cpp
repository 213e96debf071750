#include "companions/fwemu/efi_types.h"

#include <cerrno>
#include <cstdio>

namespace kes::fwemu {

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr size_t kGuidTextLength = 36;
// Text position of each byte's high digit, in the order of the text.
constexpr size_t kDigitPos[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
// Where each text byte is in memory: the first three fields are little-endian.
constexpr size_t kMemoryIndex[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};

}  // namespace

// Formatted by hand: every file-system call on a variable names it, so this runs for each one.
std::string GuidText(const Guid& g) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text = "00000000-0000-0000-0000-000000000000";
  for (size_t i = 0; i < 16; ++i) {
    uint8_t b = g.bytes[kMemoryIndex[i]];
    text[kDigitPos[i]] = kHex[b >> 4];
    text[kDigitPos[i] + 1] = kHex[b & 0xF];
  }
  return text;
}

std::optional<Guid> ParseGuid(std::string_view text) {
  if (text.size() != kGuidTextLength) return std::nullopt;
  for (size_t hyphen : {8u, 13u, 18u, 23u}) {
    if (text[hyphen] != '-') return std::nullopt;
  }
  Guid g;
  for (size_t i = 0; i < 16; ++i) {
    int hi = HexDigit(text[kDigitPos[i]]);
    int lo = HexDigit(text[kDigitPos[i] + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    g.bytes[kMemoryIndex[i]] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return g;
}

std::string HexText(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

int EfiStatusToErrno(EfiStatus status) {
  switch (status) {
    case kEfiSuccess: return 0;
    case kEfiInvalidParameter: return EINVAL;
    case kEfiOutOfResources: return ENOSPC;
    case kEfiDeviceError: return EIO;
    case kEfiWriteProtected: return EROFS;
    case kEfiSecurityViolation: return EACCES;
    case kEfiNotFound: return ENOENT;
    case kEfiAborted: return EINTR;
    default: return EINVAL;
  }
}

std::string VariableFileName(const VariableId& id) { return id.name + "-" + GuidText(id.guid); }

std::optional<VariableId> ParseVariableFileName(std::string_view fileName) {
  if (fileName.size() < kGuidTextLength + 2) return std::nullopt;
  size_t hyphen = fileName.size() - kGuidTextLength - 1;
  if (fileName[hyphen] != '-') return std::nullopt;
  auto guid = ParseGuid(fileName.substr(hyphen + 1));
  if (!guid) return std::nullopt;
  std::string name(fileName.substr(0, hyphen));
  if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) return std::nullopt;
  return VariableId{std::move(name), *guid};
}

}  // namespace kes::fwemu
