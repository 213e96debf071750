// The PLDM BIOS tables and the PLDM file that carries them.
//
// Four tables, all integers little-endian and entries packed without alignment, each ending with
// 0 to 3 zero pad bytes (so that its length before the checksum is a multiple of 4) and a CRC-32
// of everything before it:
//   string table      StringHandle(2) StringLength(2, bytes) String(UCS-2, no terminator)
//   keyword table     the same layout; the configuration-language keyword of a string handle
//   attribute table   AttributeHandle(2) AttributeType(1) AttributeNameHandle(2) then by type:
//     0 enumeration   NumberOfPossibleValues(1) handles(2 each) NumberOfDefaultValues(1) handles(2 each)
//                     (defaults are string handles of the default options, not indexes)
//     1 string        StringType(1) MinimumStringLength(2) MaximumStringLength(2) DefaultStringLength(2) bytes
//     2 password      PasswordType(1) MinimumPasswordLength(2) MaximumPasswordLength(2) DefaultPasswordLength(2) bytes
//     3 integer       LowerBound(8) UpperBound(8) ScalarIncrement(4) DefaultValue(8)
//     4 boot config   BootConfigType(1) Modes(1) Minimum(1) Maximum(1) NumberOfPossible(1) handles(2 each)
//     5 ordered list  NumberOfOptions(2) handles(2 each) NumberOfDefaults(2) handles(2 each)
//     0x80..0x85      the read-only forms, same layouts
//   value table       AttributeHandle(2) AttributeType(1) then by type:
//     0               NumberOfCurrentValues(1) indexes(1 each, into the possible values)
//     1, 2            CurrentLength(2) bytes
//     3               CurrentValue(8)
//     4               BootConfigType(1) Mode(1) NumberOfSettings(1) indexes(1 each)
//     5               NumberOfElements(2) indexes(2 each, into the options)
// String and password lengths, bounds and current lengths are all in bytes.
//
// The file: a 40-byte header (word 1, "PLDM", then offset and length of the string, attribute,
// value and keyword tables) and the four tables back to back from offset 40.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/le.h"

namespace kes::pldm {

// Attribute types (the read-only forms add kReadOnly).
inline constexpr uint8_t kEnumeration = 0;
inline constexpr uint8_t kString = 1;
inline constexpr uint8_t kPassword = 2;
inline constexpr uint8_t kInteger = 3;
inline constexpr uint8_t kBootConfig = 4;
inline constexpr uint8_t kOrderedList = 5;
inline constexpr uint8_t kReadOnly = 0x80;
inline uint8_t BaseType(uint8_t type) { return static_cast<uint8_t>(type & ~kReadOnly); }
inline bool KnownType(uint8_t type) { return BaseType(type) <= kOrderedList && (type & 0x7F) == BaseType(type); }

// String table entry.
inline constexpr size_t kStringHandle = 0;
inline constexpr size_t kStringLength = 2;
inline constexpr size_t kStringText = 4;
// Attribute table entry header.
inline constexpr size_t kAttributeHandle = 0;
inline constexpr size_t kAttributeType = 2;
inline constexpr size_t kAttributeName = 3;
inline constexpr size_t kAttributeFields = 5;
inline constexpr size_t kIntegerEntrySize = 33;
// Value table entry header.
inline constexpr size_t kValueHandle = 0;
inline constexpr size_t kValueType = 2;
inline constexpr size_t kValueFields = 3;
inline constexpr size_t kIntegerValueSize = 11;

// The file header.
inline constexpr size_t kFileHeaderSize = 40;
inline constexpr size_t kHeaderWord = 0;
inline constexpr size_t kHeaderSignature = 4;
inline constexpr size_t kHeaderStringTable = 8;   // offset, then length at +4
inline constexpr size_t kHeaderAttributeTable = 16;
inline constexpr size_t kHeaderValueTable = 24;
inline constexpr size_t kHeaderKeywordTable = 32;
inline constexpr uint32_t kPasswordTypeVendor = 0xFF;
inline constexpr uint8_t kStringTypeUtf16 = 4;

enum class TableKind { String, Attribute, Value };

// Size of the entry at the start of `rest` (which runs to the table's checksum); 0 when the type
// is unknown or the entry runs past `rest`.
size_t StringEntrySize(Bytes rest);
size_t AttributeEntrySize(Bytes rest);
size_t ValueEntrySize(Bytes rest);

// The entries of a table given whole (checksum included): none when the table is malformed (its
// length less 4 is not a multiple of 4, or an entry runs past the checksum or has an unknown
// type). Fewer than 4 bytes left before the checksum end the table (the pad).
std::optional<std::vector<Bytes>> TableEntries(Bytes table, TableKind kind);

// Appends the pad bytes and the CRC-32 of everything before it. An empty table stays empty.
void PadAndChecksum(std::vector<uint8_t>& table);
// The CRC-32 over all bytes but the last 4 equals the last 4.
bool ChecksumMatches(Bytes table);

struct StringEntry {
  uint16_t handle = 0;
  std::u16string text;
};

struct Attribute {
  uint16_t handle = 0;
  uint8_t type = 0;
  uint16_t nameHandle = 0;
  std::vector<uint16_t> possible;  // enumeration, boot config and ordered list: option string handles
  std::vector<uint16_t> defaults;  // enumeration and ordered list: default option string handles
  // string and password
  uint8_t stringType = 0;
  uint16_t minLength = 0, maxLength = 0;
  std::vector<uint8_t> defaultBytes;
  // integer
  uint64_t lower = 0, upper = 0, defaultValue = 0;
  uint32_t step = 0;
  // boot config
  uint8_t bootType = 0, modes = 0, minSettings = 0, maxSettings = 0;
};

struct Value {
  uint16_t handle = 0;
  uint8_t type = 0;
  std::vector<uint16_t> indexes;  // enumeration, boot config, ordered list
  std::vector<uint8_t> bytes;     // string and password
  uint64_t value = 0;             // integer
  uint8_t bootType = 0, mode = 0;
};

// Decoding of whole tables; none when malformed.
std::optional<std::vector<StringEntry>> DecodeStringTable(Bytes table);
std::optional<std::vector<Attribute>> DecodeAttributeTable(Bytes table);
std::optional<std::vector<Value>> DecodeValueTable(Bytes table);

// Encoding of single entries (appended to `out`). False when a count does not fit its field.
bool EncodeString(std::vector<uint8_t>& out, uint16_t handle, std::u16string_view text);
bool EncodeAttribute(std::vector<uint8_t>& out, const Attribute& attribute);
bool EncodeValue(std::vector<uint8_t>& out, const Value& value);

// The four tables of a file, each whole (pad and checksum included).
struct PldmTables {
  std::vector<uint8_t> strings;
  std::vector<uint8_t> attributes;
  std::vector<uint8_t> values;
  std::vector<uint8_t> keywords;
};

// Splits a file: the header must be whole and the four lengths must lie inside the file (bytes
// after the last table are ignored). The header's first word, signature and offsets are not
// relied on: the tables follow each other from offset 40. None, with the reason, otherwise.
std::optional<PldmTables> SplitPldmFile(Bytes file, std::wstring& error);
// Header and tables as one file image.
std::vector<uint8_t> AssemblePldmFile(const PldmTables& tables);
// The largest PLDM file read: 16-bit handles bound the tables, and the largest Setup databases
// give files of a few megabytes.
inline constexpr size_t kMaxPldmFileBytes = 64 * 1024 * 1024;
// Reads a whole file of at most kMaxPldmFileBytes. None, with the reason, when it cannot be read
// or is larger.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path, std::wstring& error);

}  // namespace kes::pldm
