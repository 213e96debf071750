// Raw mode: whole UEFI variables moved byte for byte through two text files.
//
// The variable listing file names the variables, one entry each:
//   [VARIABLE]\r\n VARIABLE_NAME = <name>\r\n VARIABLE_GUID = <guid text>\r\n \n
// The NVRAM raw file starts with the format version (00050004), "HIICrc32" and the CRC-32 of the
// HII database in upper-case hexadecimal, then holds one block per variable: an empty line,
// "GUID", the GUID text, "Attributes", the mask as %08X, "Variable Name", the name,
// "Variable Data" and the data as upper-case hexadecimal bytes, 16 to a line.
//
// The readers take outside data: every malformed input ends with a message and a status, never
// with a read past the text. The Parse functions work on text in memory; the Read functions
// read the rest of an open file (bounded) and parse it.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "base/le.h"
#include "base/run_state.h"
#include "base/status.h"
#include "firmware/firmware_access.h"

namespace kes {

// One variable of either file. A listing entry has no attributes or data; HasGuid tells whether
// its GUID line was read (an entry cut short by the end of the file has none).
struct VariableRecord {
  std::wstring Name;
  uint32_t Attributes = 0;
  EfiGuid Guid{};
  bool HasGuid = false;
  std::vector<uint8_t> Data;
};

// The largest listing or raw file read; firmware variable storage is far smaller.
inline constexpr size_t kMaxRawModeFileBytes = 64 * 1024 * 1024;
// The raw file format this version writes, and the newest it reads.
inline constexpr uint32_t kRawFileVersion = 50004;

// Writes one listing entry for every variable the firmware enumerates (except the mailbox
// variable and "SSI"), then rewinds the file. Returns 38 when the enumeration ended normally, or
// the status that ended it; 1 when the file cannot be written.
Status CreateVariableListing(FirmwareAccess& fw, std::FILE* listing);

// 0 with the entries, or 87 after a message naming the offending line or word.
Status ParseVariableListing(std::string_view text, std::vector<VariableRecord>& entries);
Status ReadVariableListing(std::FILE* listing, std::vector<VariableRecord>& entries);

// 0 with the file's CRC and its records; 13 for a bad header, a truncated value or an
// incomplete record; 87 for an unknown line, a bad GUID, attribute mask or data byte.
Status ParseRawFile(std::string_view text, uint32_t& crc, std::vector<VariableRecord>& records);
Status ReadRawFile(std::FILE* raw, uint32_t& crc, std::vector<VariableRecord>& records);

// The texts the two files are made of.
std::string FormatListingEntry(std::wstring_view name, const EfiGuid& guid);
std::string FormatRawBlock(std::wstring_view name, const EfiGuid& guid, uint32_t attributes, Bytes data);

// Export (/o /l /n /h): the variables the listing names, into the raw file whose header the HII
// step has written. Import (/i /l /n): the raw file's records that the listing names and whose
// contents differ from the firmware's.
Status ExportRawVariables(RunState& run, FirmwareAccess& fw);
Status ImportRawVariables(RunState& run, FirmwareAccess& fw);

}  // namespace kes
