// Variables in efivarfs form and the image directory that the firmware emulator serves:
//   IMAGE_DIR/fwemu.conf   emulator configuration (comments and key = value lines)
//   IMAGE_DIR/hii.bin      the HII database image
//   IMAGE_DIR/FIDT         the firmware identification table (absent: no table)
//   IMAGE_DIR/vars/<Name>-<guid in lower case>   one variable: attributes (u32 LE), then data
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "base/le.h"
#include "devtools/hiibuild/hii_format.h"

namespace kes::hiibuild {

struct Variable {
  std::string name;
  EfiGuid guid;
  uint32_t attributes = attr::kNvBsRt;
  std::vector<uint8_t> data;
};

// "<Name>-<guid>" as efivarfs names the file.
std::string EfivarfsFileName(const Variable& variable);
// The file's content: the attribute word, then the data.
std::vector<uint8_t> EfivarfsBytes(const Variable& variable);

// A variable's bytes being filled at offsets. Writes outside the buffer throw std::out_of_range.
class VarBuffer {
 public:
  explicit VarBuffer(size_t size, uint8_t fill = 0) : bytes_(size, fill) {}
  VarBuffer& Put(size_t offset, uint64_t value, size_t width);      // little-endian
  VarBuffer& PutBytes(size_t offset, Bytes bytes);
  VarBuffer& PutDate(size_t offset, uint16_t year, uint8_t month, uint8_t day);  // 4 bytes
  VarBuffer& PutTime(size_t offset, uint8_t hour, uint8_t minute, uint8_t second);  // 3 bytes
  // UCS-2 text (one unit per character) in a field of fieldChars units, zero-filled.
  VarBuffer& PutUcs2(size_t offset, std::wstring_view text, size_t fieldChars);
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  std::vector<uint8_t> Take() { return std::move(bytes_); }
  size_t size() const { return bytes_.size(); }

 private:
  void Check(size_t offset, size_t width) const;
  std::vector<uint8_t> bytes_;
};

// A 156-byte identification table of a supported platform: an ACPI header with signature
// "FIDT", the core version "05" at bytes 68 and 69 followed by a zero byte, a valid checksum.
std::vector<uint8_t> SupportedFidtTable();

struct EmulatorImage {
  std::vector<uint8_t> hii;
  std::optional<std::vector<uint8_t>> fidt;
  std::vector<Variable> variables;
  std::string config;  // fwemu.conf text; not written when empty
};

// Writes each variable as a file "<Name>-<guid>" in efivarfs form into a directory (created
// when missing), e.g. "<firmware root>/efi/efivars" of a test's firmware tree. Returns an empty
// string on success, else the error.
std::string WriteVariableFiles(const std::string& directory, const std::vector<Variable>& variables);

// Writes the image directory (created when missing). Afterwards vars/ holds exactly the given
// variables: files left there by an earlier image are removed. Each file is written to a
// temporary name and renamed into place. Returns an empty string on success, else the error.
std::string WriteEmulatorImage(const std::string& directory, const EmulatorImage& image);

}  // namespace kes::hiibuild
