// The NVRAM script parser: reads a script file line by line and turns every question block into a
// ScriptEntry (identity, token, offset, width, defaults and the value as the user wrote it). It
// checks the grammar and reports syntax errors and warnings with line numbers on standard error;
// it never looks at the question model (matching and range checks belong to the import).
//
// The parser keeps no state between calls: everything it needs comes in through ParseOptions and
// everything it finds goes into the caller's list.
#pragma once
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/run_state.h"
#include "base/status.h"

namespace kes {

// What a block held, one flag per kind of line seen.
struct ScriptEntryFlags {
  bool HasIdentity = false;     // "Setup Question" (without /lang), "Map String" (always)
  bool IsFixedToken = false;    // "Fixed Token"
  bool HasToken = false;        // "Token" or "Fixed Token"
  bool HasBiosDefault = false;  // "BIOS Default"
  bool DefaultIsList = false;   // a braced default list
  bool ValueIsString = false;   // a quoted or braced "Value"
  bool HasMfgDefault = false;   // "MFG Default"
  bool HasOptions = false;      // "Options"
  bool HasValue = false;        // "Value", "Date", "Time"
  bool HasCurrent = false;      // a "*" option, or a valid "Value", "Date" or "Time"
  bool HasError = false;        // a syntax error in this entry
  bool HasListOrder = false;    // "ListOrder"
  bool HasWidth = false;        // "Width"
  bool HasOffset = false;       // "Offset"
  bool IsNegative = false;      // a decimal written with a leading "-"
  bool IsDate = false;          // "Date"
  bool IsTime = false;          // "Time"
  bool HasHelp = false;         // "Help String"
};

struct ScriptEntry {
  uint32_t line = 0;            // last line of the file that belonged to the entry (1-based)
  uint16_t token = 0;           // "Token" or "Fixed Token"
  // The current value: option value of the "*" entry, "Value" number, packed date (year in
  // bits 0-15, month 16-23, day 24-31) or time (hour 0-7, minute 8-15, second 16-23); for an
  // ordered list, the number of elements read.
  uint64_t value = 0;
  uint64_t biosDefault = 0;
  uint64_t mfgDefault = 0;
  std::string identity;         // "Setup Question" text, or with /lang the "Map String" text
  std::string help;
  std::vector<uint16_t> listValues;  // ordered-list element values in file order
  uint16_t offset = 0;
  uint16_t width = 0;
  std::string stringText;       // between the quotes of a quoted "Value", UTF-8 as in the file
  std::u16string stringUnits;   // the same decoded into UTF-16 units, as the firmware stores it
  uint16_t stringLength = 0;    // UTF-16 units of a quoted value (at most 0xFFFF), half the width for a braced one
  bool stringIsPrintable = false;    // quoted form (true) or braced hexadecimal form (false)
  std::vector<uint8_t> stringBytes;  // a braced value decoded, little-endian 16-bit units
  std::wstring biosDefaultList;      // a braced default list as written, "{01,02,03}"
  std::wstring mfgDefaultList;
  std::vector<std::string> entryTexts;  // every option or list entry as written, trailing blanks removed
  uint16_t entryCount = 0;              // their number (at most 0xFFFF)
  std::string valueText;        // raw texts, trailing blanks removed
  std::string biosDefaultText;
  std::string mfgDefaultText;
  uint32_t fileChecksum = 0;    // the file's "HIICrc32" value, 0 when it has none
  ScriptEntryFlags flags;

  // Kept by the import.
  bool Matched = false;         // applied to a question
  int appliedVarStore = -1;     // variable store of the question it was applied to
};

using ScriptEntryList = std::vector<ScriptEntry>;  // in file order

// The file's checksum line as the import reads it: the first line that begins with "HIICrc32",
// its second blank-separated field in hexadecimal (an optional "0x", one to eight digits).
struct ScriptChecksumLine {
  bool found = false;             // such a line exists
  std::optional<uint32_t> value;  // its number; none when it has no digits or more than eight
};

struct ParseOptions {
  bool lang = false;               // /lang: the identity is the "Map String", not the "Setup Question"
  bool quiet = false;              // /q: no warnings (syntax errors are always printed)
  std::FILE* symbolFile = nullptr; // optional; resolves "Q_" names in "Token", "Offset" and "Width"
  uint32_t systemChecksum = 0;     // the system's HII checksum, carried for the caller; not compared here
  // Keep every option and list entry as written (entryTexts). The compare rebuilds blocks from
  // them; the import needs only their values, and an 80,000-question script holds half a
  // million of them.
  bool keepTexts = true;
  const LogSettings* log = nullptr;  // the run's trace settings; none: no trace
  ScriptChecksumLine* checksumLine = nullptr;  // when given, receives the checksum line
};

// Longest line the parser takes, line end excluded. A braced value continued over several lines
// is held to the same length once joined.
inline constexpr size_t kScriptMaxLineChars = 328702;
// Largest script file read (far above any firmware's export): a device or a file without line
// ends is refused there instead of being read for ever.
inline constexpr size_t kScriptMaxFileBytes = size_t{256} << 20;

// Parses an open script file from its current position to its end. The caller owns `file` and
// closes it; the parser only reads it (and rewinds options.symbolFile for every lookup). `entries`
// is cleared first and receives the entries in file order. Returns 0 when the whole file parsed,
// 1 otherwise: a null file, a first line that does not begin with "// Script", a read error, a
// file larger than kScriptMaxFileBytes or a syntax error. On failure `entries` holds what was read before the failure and must not be
// imported.
Status ParseScript(std::FILE* file, const ParseOptions& options, ScriptEntryList& entries);

// The same over a script held in memory (no file system involved).
Status ParseScriptText(std::string_view text, const ParseOptions& options, ScriptEntryList& entries);

// Opens the named file, parses it and closes it. A file that cannot be opened is reported as an
// invalid script file handle.
Status ParseScriptPath(const std::string& path, const ParseOptions& options, ScriptEntryList& entries);

// The script's value readers, for values that come from elsewhere (the command line): a date
// "MM-DD-YYYY" and a time "HH:MM:SS" packed as in ScriptEntry::value, and a decimal "<[+-]digits>"
// (a negative number as its two's complement; `negative` set).
std::optional<uint64_t> ParseScriptDate(std::string_view text);
std::optional<uint64_t> ParseScriptTime(std::string_view text);
std::optional<uint64_t> ParseScriptDecimal(std::string_view text, bool& negative);

}  // namespace kes
