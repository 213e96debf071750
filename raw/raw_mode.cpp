#include "raw/raw_mode.h"

#include <array>
#include <cerrno>
#include <optional>
#include <set>
#include <utility>

#include "base/console.h"
#include "base/debug_log.h"
#include "base/interrupt.h"
#include "base/text.h"
#include "firmware/mailbox.h"
#include "firmware/variable_store.h"

namespace kes {
namespace {

constexpr const char* kEntryKeyword = "[VARIABLE]";
constexpr const char* kNameKeyword = "VARIABLE_NAME";
constexpr const char* kGuidKeyword = "VARIABLE_GUID";
constexpr const char* kCrcKeyword = "HIICrc32";
constexpr const char* kGuidLabel = "GUID";
constexpr const char* kAttributesLabel = "Attributes";
constexpr const char* kNameLabel = "Variable Name";
constexpr const char* kDataLabel = "Variable Data";
constexpr size_t kBytesPerDataLine = 16;

// A variable the firmware keeps for itself; the listing of all variables leaves it out.
constexpr const wchar_t* kSsiName = L"SSI";
constexpr EfiGuid kSsiGuid{0x24F4C3BC, 0x5E58, 0x4BCB, {0xBD, 0x28, 0x89, 0x0A, 0x2E, 0xCA, 0x96, 0xE5}};

// Lines as the files were always read: at most 1023 bytes at a time (a longer line comes in
// pieces), white space (CR and LF included) trimmed from both ends, so that CR LF, a bare LF
// and a line of blanks all read as empty.
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {}

  bool Next(std::string& line) {
    if (position_ >= text_.size()) return false;
    lineNumber_ = linesEnded_ + 1;
    std::string_view rest = text_.substr(position_, kMaxLineBytes);
    size_t end = rest.find('\n');
    size_t taken = end == std::string_view::npos ? rest.size() : end + 1;
    ended_ = end != std::string_view::npos;
    if (ended_) ++linesEnded_;
    line = Trim(rest.substr(0, taken));
    position_ += taken;
    return true;
  }

  // The 1-based number of the line Next returned last, and whether it ended with a line feed
  // (false for the last piece of a file cut inside a line).
  size_t LineNumber() const { return lineNumber_; }
  bool LineEnded() const { return ended_; }

  // The next line that is not empty; false at the end of the text.
  bool NextNonEmpty(std::string& line) {
    while (Next(line))
      if (!line.empty()) return true;
    return false;
  }

 private:
  static constexpr size_t kMaxLineBytes = 1023;
  std::string_view text_;
  size_t position_ = 0;
  size_t linesEnded_ = 0;
  size_t lineNumber_ = 0;
  bool ended_ = false;
};

// The line's words, split at white space.
std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && IsBlank(static_cast<unsigned char>(line[i]))) ++i;
    size_t start = i;
    while (i < line.size() && !IsBlank(static_cast<unsigned char>(line[i]))) ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One to eight hexadecimal digits, nothing else.
std::optional<uint32_t> ParseHex32(std::string_view text) {
  if (text.empty() || text.size() > 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  return value;
}

// Decimal digits only, at most what fits an int.
std::optional<uint32_t> ParseDecimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 0x7FFFFFFF) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

// Reads what is left of an open file, at most kMaxRawModeFileBytes (a device or pipe without an
// end is never read whole). False when it cannot be read or is larger.
bool ReadRest(std::FILE* file, std::string& text) {
  text.clear();
  if (!file) return false;
  char buffer[65536];
  for (;;) {
    // What a pipe holds now, without waiting past a signal for the rest.
    long n = ReadInput(fileno(file), buffer, sizeof buffer);
    if (n < 0 || static_cast<size_t>(n) > kMaxRawModeFileBytes - text.size()) return false;
    if (n == 0) return true;
    text.append(buffer, static_cast<size_t>(n));
  }
}

bool IsMailboxVariable(const FirmwareAccess& fw, std::wstring_view name, const EfiGuid& guid) {
  return !fw.mailboxName.empty() && guid == fw.mailboxGuid && name == ToWide(fw.mailboxName);
}

// --- listing file ---------------------------------------------------------------------------

Status ListingEntryError(std::string_view word) {
  Print(Stream::Err, L"ERROR:%X -  Unknown entry '%ls' in Variable Listing File\n", status::kInvalidParameter,
        ToWide(word).c_str());
  return status::kInvalidParameter;
}

// One line inside an entry. done is set when the GUID line ended the entry.
Status ParseListingLine(std::string_view line, VariableRecord& entry, bool& done) {
  std::vector<std::string_view> words = Words(line);
  std::string_view keyword = words[0];
  if (keyword != kNameKeyword && keyword != kGuidKeyword) return ListingEntryError(keyword);
  if (words.size() < 2 || words[1] != "=") return ListingEntryError(words.size() < 2 ? keyword : words[1]);
  if (keyword == kNameKeyword) {
    // The name is the rest of the line after the blank that follows "=", blanks inside kept.
    size_t end = static_cast<size_t>(words[1].data() - line.data()) + words[1].size();
    entry.Name = ToWide(end < line.size() ? line.substr(end + 1) : std::string_view());
    return status::kSuccess;
  }
  std::string_view text = words.size() > 2 ? words[2] : std::string_view();
  std::optional<EfiGuid> guid = ParseGuidText(text);
  if (!guid) return ListingEntryError(text);
  entry.Guid = *guid;
  entry.HasGuid = true;
  done = true;
  return status::kSuccess;
}

// --- raw file -------------------------------------------------------------------------------

Status InvalidRawFile() {
  Print(Stream::Err, L"ERROR:%X - Invalid NVRAM script file\n", status::kInvalidFile);
  return status::kInvalidFile;
}

Status RawEntryError(std::string_view line) {
  Print(Stream::Err, L"ERROR:%X -  Unknown Entry '%ls' in script file.\n", status::kInvalidParameter,
        ToWide(line).c_str());
  return status::kInvalidParameter;
}

// Version, "HIICrc32" and the CRC.
Status ParseRawHeader(LineReader& reader, uint32_t& crc) {
  std::string line;
  if (!reader.Next(line)) return InvalidRawFile();
  std::optional<uint32_t> version = ParseDecimal(line);
  if (!version) return InvalidRawFile();
  if (*version > kRawFileVersion) {
    Print(Stream::Err, L"ERROR:%X - Script File Version '%8d' Unsupported.Tool incompatible with Versions over '%8d'\n",
          status::kInvalidFile, static_cast<int>(*version), static_cast<int>(kRawFileVersion));
    return status::kInvalidFile;
  }
  if (!reader.Next(line)) return InvalidRawFile();
  if (!StartsWith(line, kCrcKeyword)) {
    Print(Stream::Err, L"ERROR:%X -  Unknown Entry '%ls' in script file. Expected '%ls'\n", status::kInvalidFile,
          ToWide(line).c_str(), L"HIICrc32");
    return status::kInvalidFile;
  }
  if (!reader.Next(line)) return InvalidRawFile();
  std::optional<uint32_t> value = ParseHex32(line);
  if (!value) return InvalidRawFile();
  crc = *value;
  return status::kSuccess;
}

Status DataCutShort(const VariableRecord& record, size_t line) {
  Print(Stream::Err, L"ERROR:%X -  Variable Data of %ls is cut short at line %llu of the NVRAM raw file.\n",
        status::kInvalidFile, record.Name.c_str(), static_cast<unsigned long long>(line));
  return status::kInvalidFile;
}

// Data lines up to an empty line or the end of the text: words of exactly two hexadecimal
// digits. Anything else would turn into different bytes in the firmware. The export writes 16
// bytes to a line and ends the data with a line end after the last byte (so a full last line is
// followed by an empty line): a line of fewer bytes followed by more data, or data that stops
// inside a line or after a full line at the end of the file, is a copy cut short, and writing it
// would replace the variable with a shorter one.
Status ParseDataLines(LineReader& reader, VariableRecord& record) {
  std::vector<uint8_t>& data = record.Data;
  std::string line;
  size_t lastCount = 0, lastLine = reader.LineNumber();  // before any data: the "Variable Data" line
  bool lastEnded = true, endedByEmptyLine = false;
  while (reader.Next(line)) {
    if (line.empty()) {
      endedByEmptyLine = true;
      break;
    }
    if (lastCount != 0 && lastCount < kBytesPerDataLine) return DataCutShort(record, lastLine);
    std::vector<std::string_view> words = Words(line);
    if (words.size() > kBytesPerDataLine) return RawEntryError(line);
    for (std::string_view word : words) {
      int high = word.size() == 2 ? HexDigit(word[0]) : -1;
      int low = word.size() == 2 ? HexDigit(word[1]) : -1;
      if (high < 0 || low < 0) return RawEntryError(line);
      data.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    lastCount = words.size();
    lastLine = reader.LineNumber();
    lastEnded = reader.LineEnded();
  }
  // At the end of the text the data is complete only after a short last line with its line end.
  if (!endedByEmptyLine && (lastCount == 0 || lastCount == kBytesPerDataLine || !lastEnded))
    return DataCutShort(record, lastLine);
  return status::kSuccess;
}

// One block. `found` is cleared when only empty lines were left. A block must carry its GUID,
// attributes, name and data: a partial one (a file cut short) is refused rather than written.
Status ParseRawBlock(LineReader& reader, VariableRecord& record, bool& found) {
  found = false;
  bool haveGuid = false, haveAttributes = false, haveName = false;
  std::string line, value;
  while (reader.NextNonEmpty(line)) {
    found = true;
    if (StartsWith(line, kDataLabel)) {
      Status s = ParseDataLines(reader, record);
      if (s != status::kSuccess) return s;
      if (!haveGuid || !haveAttributes || !haveName) return InvalidRawFile();
      return status::kSuccess;
    }
    bool guid = StartsWith(line, kGuidLabel);
    bool attributes = StartsWith(line, kAttributesLabel);
    bool name = StartsWith(line, kNameLabel);
    if (!guid && !attributes && !name) return RawEntryError(line);
    if (!reader.NextNonEmpty(value)) return InvalidRawFile();
    if (guid) {
      std::optional<EfiGuid> parsed = ParseGuidText(std::string_view(value));
      if (!parsed) return RawEntryError(value);
      record.Guid = *parsed;
      record.HasGuid = haveGuid = true;
    } else if (attributes) {
      std::optional<uint32_t> parsed = ParseHex32(value);
      if (!parsed) return RawEntryError(value);
      record.Attributes = *parsed;
      haveAttributes = true;
    } else {
      record.Name = ToWide(value);
      haveName = true;
    }
  }
  return found ? InvalidRawFile() : status::kSuccess;
}

// --- import ---------------------------------------------------------------------------------

// The listing names the record: the same name and, when the entry has one, the same GUID.
bool Listed(const std::vector<VariableRecord>& entries, const VariableRecord& record) {
  for (const VariableRecord& entry : entries)
    if (entry.Name == record.Name && (!entry.HasGuid || entry.Guid == record.Guid)) return true;
  return false;
}

void WarnNotWritten(const RunState& run, const FirmwareAccess& fw, const std::wstring& name) {
  if (run.Quiet()) return;
  if (fw.lastWriteError == EACCES || fw.lastWriteError == EPERM)
    Print(Stream::Err,
          L"WARNING : Cannot update protected variable %ls. Please use /cpwd <admin_pwd> to update protected "
          L"variables.\n",
          name.c_str());
  else
    Print(Stream::Err, L"WARNING Variable %ls not writeable\n", name.c_str());
}

// The variables the listing file names, or its reading failure reported.
Status ReadListingOrReport(const ToolOptions& options, std::vector<VariableRecord>& entries) {
  Status s = ReadVariableListing(options.ListingFile.get(), entries);
  if (s != status::kSuccess) Print(Stream::Err, L"ERROR:%X -  Reading from Variables Listing File\n", s);
  return s;
}

Status ImportRecords(RunState& run, FirmwareAccess& fw) {
  ToolOptions& options = run.options;
  std::vector<VariableRecord> entries;
  Status s = ReadListingOrReport(options, entries);
  if (s != status::kSuccess) return s;
  uint32_t fileCrc = 0;
  std::vector<VariableRecord> records;
  s = ReadRawFile(options.ScriptFile.get(), fileCrc, records);
  if (s != status::kSuccess) {
    Print(Stream::Err, L"ERROR:%X -  Parsing NVRAM Script File\n", s);
    return s;
  }
  s = GetHiiDatabase(fw, options.HiiDatabase, options.HiiCrc32);
  if (s != status::kSuccess) {
    Print(Stream::Err, L"ERROR:%X -  Retrieving HII Database\n", s);
    return s;
  }
  if (!options.Force && fileCrc != options.HiiCrc32) {
    Print(Stream::Err, L"\nFILE CRC : %lx\nBIOS CRC : %lx\n", static_cast<unsigned long>(fileCrc),
          static_cast<unsigned long>(options.HiiCrc32));
    Print(Stream::Err, L"ERROR:%X -  Script File does not match the target BIOS\n", status::kCrcMismatch);
    return status::kCrcMismatch;
  }

  for (const VariableRecord& record : records) {
    ThrowIfInterrupted();
    if (!Listed(entries, record)) continue;
    // The mailbox variable is the firmware's request channel, never a setting to restore.
    if (IsMailboxVariable(fw, record.Name, record.Guid)) continue;
    auto current = GetNVRAMVariable(fw, record.Name, record.Guid);
    size_t currentSize = current ? current->size() : 0;  // a missing variable counts as empty
    if (currentSize == record.Data.size() && (record.Data.empty() || *current == record.Data)) continue;
    Status written = kSetVariableBadArguments;
    // Empty data would delete the variable: a block without bytes restores nothing.
    // The append-write bit would make the firmware add the data to what the variable holds:
    // the file records the whole contents, which replace the variable's.
    if (!record.Data.empty())
      written = SetNVRAMVariable(fw, record.Name, record.Guid, record.Attributes & ~EFI_VARIABLE_APPEND_WRITE, record.Data);
    else fw.lastWriteError = EINVAL;
    if (written == status::kSuccess) {
      run.SystemModified = true;
      continue;
    }
    run.ImportErrors = true;
    // A store mounted read-only was reported once by the store; every other write fails alike.
    if (fw.readOnlyReported) break;
    WarnNotWritten(run, fw, record.Name);
  }
  return status::kSuccess;
}

}  // namespace

std::string FormatListingEntry(std::wstring_view name, const EfiGuid& guid) {
  std::string entry = NFormat("%s\r\n%s = ", kEntryKeyword, kNameKeyword);
  entry += ToNarrow(name);
  entry += NFormat("\r\n%s = %s\r\n\n", kGuidKeyword, FormatGuidText(guid).c_str());
  return entry;
}

std::string FormatRawBlock(std::wstring_view name, const EfiGuid& guid, uint32_t attributes, Bytes data) {
  std::string block = NFormat("\r\n%s\r\n%s\r\n%s\r\n%08X\r\n%s\r\n", kGuidLabel, FormatGuidText(guid).c_str(),
                              kAttributesLabel, attributes, kNameLabel);
  block += ToNarrow(name);
  block += NFormat("\r\n%s\r\n", kDataLabel);
  for (size_t i = 0; i < data.size(); ++i)
    block += NFormat(i % kBytesPerDataLine == kBytesPerDataLine - 1 ? "%02X\r\n" : "%02X ", data[i]);
  block += "\r\n";
  return block;
}

Status CreateVariableListing(FirmwareAccess& fw, std::FILE* listing) {
  if (!listing) return status::kInvalidParameter;
  // One session for the whole walk: one round trip per name, the mailbox variable's immutable
  // flag cleared and restored once.
  MailboxSession session(fw);
  size_t length = 0;
  std::wstring name;
  EfiGuid guid{};
  // A firmware that names a variable twice would send the walk round in circles.
  std::set<std::pair<std::wstring, std::array<uint8_t, 16>>> seen;
  bool written = true;
  Status s;
  while ((s = GetNextNVRAMVariableName(session, length, name, guid)) == status::kSuccess) {
    ThrowIfInterrupted();
    if (!seen.emplace(name, guid.ToBytes()).second) {
      s = status::kTransportFailure;
      break;
    }
    if (IsMailboxVariable(fw, name, guid) || (name == kSsiName && guid == kSsiGuid)) continue;
    if (!(written = FileWriteNarrow(listing, FormatListingEntry(name, guid)))) break;
  }
  if (s == MapFirmwareStatus(name_enumeration::kNoMoreVariables)) s = status::kEndOfEnumeration;
  if (!written || std::fflush(listing) != 0) {
    Print(Stream::Err, L"ERROR:%X -  Writing Variable Listing File\n", status::kFailure);
    return status::kFailure;
  }
  std::rewind(listing);
  if (s != status::kSuccess && s != status::kEndOfEnumeration && s != status::kOutOfMemory &&
      s != status::kVariableBufferTooSmall)
    Print(Stream::Err, L"ERROR :%X Unable to get the variables from NVRAM. Check the SMI Module\n", s);
  return s;
}

Status ParseVariableListing(std::string_view text, std::vector<VariableRecord>& entries) {
  entries.clear();
  LineReader reader(text);
  std::string line;
  bool inEntry = false;
  while (reader.NextNonEmpty(line)) {
    if (!inEntry) {
      if (line != kEntryKeyword) {
        Print(Stream::Err, L"ERROR:%X -  Invalid listing file. Unknown entry '%ls' in Variable Listing File\n",
              status::kInvalidParameter, ToWide(line).c_str());
        return status::kInvalidParameter;
      }
      entries.emplace_back();
      inEntry = true;
      continue;
    }
    bool done = false;
    Status s = ParseListingLine(line, entries.back(), done);
    if (s != status::kSuccess) return s;
    if (done) inEntry = false;
  }
  return status::kSuccess;  // an entry cut short by the end of the file is kept as read
}

Status ReadVariableListing(std::FILE* listing, std::vector<VariableRecord>& entries) {
  std::string text;
  if (!ReadRest(listing, text)) {
    Print(Stream::Err, L"ERROR:%X -  Variable Listing File cannot be read or is larger than %llu bytes\n",
          status::kInvalidParameter, static_cast<unsigned long long>(kMaxRawModeFileBytes));
    return status::kInvalidParameter;
  }
  return ParseVariableListing(text, entries);
}

Status ParseRawFile(std::string_view text, uint32_t& crc, std::vector<VariableRecord>& records) {
  records.clear();
  LineReader reader(text);
  uint32_t fileCrc = 0;
  Status s = ParseRawHeader(reader, fileCrc);
  if (s != status::kSuccess) return s;
  for (;;) {
    VariableRecord record;
    bool found = false;
    s = ParseRawBlock(reader, record, found);
    if (s != status::kSuccess) return s;
    if (!found) break;
    records.push_back(std::move(record));
  }
  crc = fileCrc;
  return status::kSuccess;
}

Status ReadRawFile(std::FILE* raw, uint32_t& crc, std::vector<VariableRecord>& records) {
  std::string text;
  if (!ReadRest(raw, text)) {
    Print(Stream::Err, L"ERROR:%X -  NVRAM raw file cannot be read or is larger than %llu bytes\n",
          status::kInvalidFile, static_cast<unsigned long long>(kMaxRawModeFileBytes));
    return status::kInvalidFile;
  }
  return ParseRawFile(text, crc, records);
}

Status ExportRawVariables(RunState& run, FirmwareAccess& fw) {
  ToolOptions& options = run.options;
  std::vector<VariableRecord> entries;
  Status s = ReadListingOrReport(options, entries);
  if (s != status::kSuccess) return s;
  std::FILE* raw = options.ScriptFile.get();
  for (const VariableRecord& entry : entries) {
    ThrowIfInterrupted();
    uint32_t attributes = 0;
    auto data = GetNVRAMVariable(fw, entry.Name, entry.Guid, &attributes);
    if (!data) {
      if (!run.Quiet())
        Print(Stream::Err, L"WARNING! Skipping Variable %ls. GetNVRAMVariable returned empty buffer\n",
              entry.Name.c_str());
      continue;
    }
    // Flushed block by block, so that a full disk is reported at the variable it cut.
    if (!raw || !FileWriteNarrow(raw, FormatRawBlock(entry.Name, entry.Guid, attributes, *data)) ||
        std::fflush(raw) != 0) {
      Print(Stream::Err, L"ERROR:%X -  Writing Variable %lsto File\n", status::kFailure, entry.Name.c_str());
      return status::kFailure;
    }
  }
  // The header lines written before: a failure there must not pass for a good file either.
  if (!raw || std::fflush(raw) != 0 || std::ferror(raw)) {
    Print(Stream::Err, L"ERROR:%X -  Writing NVRAM raw file %ls\n", status::kFailure, options.RawFileName.c_str());
    return status::kFailure;
  }
  return status::kSuccess;
}

Status ImportRawVariables(RunState& run, FirmwareAccess& fw) {
  DebugLog(&run.log, LV_LIBR, "Importing Rawmode Data to NVRAM [START]\n ");
  Status s = ImportRecords(run, fw);
  DebugLog(&run.log, LV_LIBR, "Importing Rawmode Data to NVRAM [END] with status %x\n ", s);
  return s;
}

}  // namespace kes
