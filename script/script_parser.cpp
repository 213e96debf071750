#include "script/script_parser.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>

#include "base/console.h"
#include "base/debug_log.h"
#include "base/interrupt.h"
#include "base/text.h"

namespace kes {
namespace {

// The messages, numbered as the parser reports them after the line number.
enum Message {
  kMissingToken = 0,
  kMissingOffset = 1,
  kMissingWidth = 2,
  kMissingValue = 5,
  kMissingCurrent = 7,
  kMissingEquals = 8,
  kTokenNotFound = 9,
  kInvalidToken = 10,
  kUnexpectedBiosDefault = 11,
  kUnexpectedMfgDefault = 12,
  kUnexpectedOptions = 13,
  kInvalidCurrentOption = 14,
  kUnexpectedValue = 15,
  kInvalidCurrentValue = 16,
  kTypographicalError = 17,
  kMoreThanOneOption = 18,
  kMissingBracket = 19,
  kInvalidListOrder = 21,
};

constexpr const wchar_t* kMessages[] = {
    L"Missing \"Token\"\n",
    L"Missing \"Offset\"\n",
    L"Missing \"DataWidth\"\n",
    L"Missing \"BIOS Default\"\n",
    L"Missing \"MFG Default\"\n",
    L"Missing \"Value\"\n",
    L"Missing \"Options\"\n",
    L"Missing Current Setting \"*\"\n",
    L"Missing \"=\"\n",
    L"MapString \"Token\" Not Found \n",
    L"Invalid Token Value\n",
    L"Unexpected \"BIOS Default\"\n",
    L"Unexpected \"MFG Default\"\n",
    L"Unexpected \"Options\"\n",
    L"Invalid Current Option Value\n",
    L"Unexpected \"Value\"\n",
    L"Invalid Current Value\n",
    L"A Typographical error has occured in the Setup question.\n",
    L"More than one option has been chosen.\n",
    L"Missing \"[\" after \"*\"\n",
    L"No Options\n",
    L"Invalid ListOrder Option\n",
};

constexpr const wchar_t* kSyntaxErrorForm = L"\nSyntax Error in line %u\n%ls";
constexpr const wchar_t* kWarningForm = L"\nWarning in line %u\n%ls";
constexpr const wchar_t* kScriptFileError = L"\n- ERROR: Script file error.";

// Keywords in the order they are tried; the first whose text starts the line wins, so
// "Fixed Token" must come before "Token".
enum class Keyword {
  SetupQuestion, FixedToken, Token, BiosDefault, MfgDefault, Options, Value, ListOrder, HiiCrc32,
  Offset, Width, MapString, Date, Time, HelpString, None
};
constexpr std::string_view kKeywords[] = {
    "Setup Question", "Fixed Token", "Token", "BIOS Default", "MFG Default", "Options", "Value", "ListOrder",
    "HIICrc32", "Offset", "Width", "Map String", "Date", "Time", "Help String",
};

constexpr size_t kSymbolLineChars = 127;

// ---- Reading lines ----------------------------------------------------------------------------

class LineSource {
 public:
  virtual ~LineSource() = default;
  // The next line without its line feed; false at the end of the input. A line longer than the
  // limit is cut there with `overflow` set, and the rest of it is skipped, so that the following
  // call returns the following line.
  virtual bool Next(std::string& line, bool& overflow) = 0;
  virtual bool Failed() const { return false; }
  virtual bool TooLarge() const { return false; }
};

class TextLines : public LineSource {
 public:
  TextLines(std::string_view text, size_t limit) : text_(text), limit_(limit) {}
  bool Next(std::string& line, bool& overflow) override {
    if (pos_ >= text_.size()) return false;
    size_t feed = text_.find('\n', pos_);
    size_t end = feed == std::string_view::npos ? text_.size() : feed;
    overflow = end - pos_ > limit_;
    line.assign(text_.substr(pos_, std::min(end - pos_, limit_)));
    pos_ = feed == std::string_view::npos ? text_.size() : feed + 1;
    return true;
  }

 private:
  std::string_view text_;
  size_t limit_;
  size_t pos_ = 0;
};

// Reads in blocks and splits on line feeds itself, so that NUL bytes are ordinary characters
// and a line without an end cannot make the buffer grow past the limit.
class FileLines : public LineSource {
 public:
  FileLines(std::FILE* file, size_t limit) : file_(file), limit_(limit), buffer_(64 * 1024) {}
  bool Next(std::string& line, bool& overflow) override {
    line.clear();
    overflow = false;
    bool any = false;
    for (;;) {
      if (pos_ == size_) {
        if (ended_) break;
        if (total_ >= kScriptMaxFileBytes) {
          ended_ = tooLarge_ = failed_ = true;
          break;
        }
        // What a pipe holds now, without waiting past a signal for the rest.
        long got = ReadInput(fileno(file_), buffer_.data(), std::min(buffer_.size(), kScriptMaxFileBytes - total_));
        size_ = got > 0 ? static_cast<size_t>(got) : 0;
        total_ += size_;
        pos_ = 0;
        if (size_ == 0) {
          ended_ = true;
          failed_ = got < 0;
          break;
        }
      }
      any = true;
      const char* start = buffer_.data() + pos_;
      const void* feed = std::memchr(start, '\n', size_ - pos_);
      size_t length = feed ? static_cast<const char*>(feed) - start : size_ - pos_;
      size_t room = limit_ - std::min(limit_, line.size());
      if (length > room) overflow = true;
      line.append(start, std::min(length, room));
      pos_ += length;
      if (feed) {
        ++pos_;
        return true;
      }
    }
    return any;
  }
  bool Failed() const override { return failed_; }
  bool TooLarge() const override { return tooLarge_; }

 private:
  std::FILE* file_;
  size_t limit_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t size_ = 0;
  size_t total_ = 0;
  bool ended_ = false;
  bool failed_ = false;
  bool tooLarge_ = false;
};

// ---- Small text rules ---------------------------------------------------------------------------

bool IsVisible(char c) { return c > 0x20 && c < 0x7F; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
unsigned HexValue(char c) { return IsDigit(c) ? c - '0' : Upper(c) - 'A' + 10; }
bool IsSpace(char c) { return IsBlank(static_cast<unsigned char>(c)); }

size_t SkipBlanks(std::string_view text, size_t pos) {
  while (pos < text.size() && IsSpace(text[pos])) ++pos;
  return pos;
}

bool OnlyBlanks(std::string_view text) { return SkipBlanks(text, 0) == text.size(); }

std::string_view TrimRight(std::string_view text) {
  size_t end = text.size();
  while (end > 0 && IsSpace(text[end - 1])) --end;
  return text.substr(0, end);
}

// A hexadecimal number as the script writes them: the run of visible characters no greater than
// "F" (in either case) that starts at `pos` must be 1 to maxDigits hexadecimal digits. `pos` moves
// past the run.
std::optional<uint64_t> ReadHex(std::string_view text, size_t& pos, size_t maxDigits) {
  size_t start = pos;
  uint64_t value = 0;
  bool valid = true;
  for (; pos < text.size() && IsVisible(text[pos]) && Upper(text[pos]) <= 'F'; ++pos) {
    if (!IsHexDigit(text[pos])) valid = false;
    else value = (value << 4) | HexValue(text[pos]);
  }
  size_t digits = pos - start;
  if (!valid || digits == 0 || digits > maxDigits) return std::nullopt;
  return value;
}

std::optional<uint64_t> HexThenBlanks(std::string_view text, size_t maxDigits) {
  size_t pos = 0;
  auto value = ReadHex(text, pos, maxDigits);
  if (!value || !OnlyBlanks(text.substr(pos))) return std::nullopt;
  return value;
}

// "<" [+|-] decimal digits ">" then nothing but white space. A negative number becomes its 64-bit
// two's complement and must fit a signed 64-bit value.
std::optional<uint64_t> ReadDecimal(std::string_view text, bool& negative) {
  size_t close = text.find('>');
  if (text.empty() || text[0] != '<' || close == std::string_view::npos) return std::nullopt;
  if (!OnlyBlanks(text.substr(close + 1))) return std::nullopt;
  std::string_view number = text.substr(1, close - 1);
  bool minus = false;
  if (!number.empty() && (number[0] == '+' || number[0] == '-')) {
    minus = number[0] == '-';
    number.remove_prefix(1);
  }
  if (number.empty()) return std::nullopt;
  uint64_t value = 0;
  for (char c : number) {
    if (!IsDigit(c)) return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (minus) {
    if (value > (1ULL << 63)) return std::nullopt;
    negative = true;
    value = 0 - value;
  }
  return value;
}

// "NN?NN?NNNN" (length 10) or "NN?NN?NN" (length 8): digits with `separator` as the third and
// sixth character, then nothing but white space. Gives the three numbers.
bool ReadTriple(std::string_view text, size_t length, char separator, unsigned parts[3]) {
  if (text.size() < length || !OnlyBlanks(text.substr(length))) return false;
  for (size_t i = 0; i < length; ++i) {
    if (i == 2 || i == 5 ? text[i] != separator : !IsDigit(text[i])) return false;
  }
  auto number = [&](size_t from, size_t to) {
    unsigned n = 0;
    for (size_t i = from; i < to; ++i) n = n * 10 + static_cast<unsigned>(text[i] - '0');
    return n;
  };
  parts[0] = number(0, 2);
  parts[1] = number(3, 5);
  parts[2] = number(6, length);
  return true;
}

// Month, day, year packed as year (bits 0-15), month (16-23), day (24-31).
std::optional<uint64_t> ReadDate(std::string_view text) {
  unsigned p[3];
  if (!ReadTriple(text, 10, '-', p)) return std::nullopt;
  return static_cast<uint64_t>(p[2]) | static_cast<uint64_t>(p[0]) << 16 | static_cast<uint64_t>(p[1]) << 24;
}

// Hour, minute, second packed as hour (bits 0-7), minute (8-15), second (16-23).
std::optional<uint64_t> ReadTime(std::string_view text) {
  unsigned p[3];
  if (!ReadTriple(text, 8, ':', p)) return std::nullopt;
  return static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[1]) << 8 | static_cast<uint64_t>(p[2]) << 16;
}

bool HasSeparators(std::string_view text, char separator) {
  return text.size() >= 6 && text[2] == separator && text[5] == separator;
}

// A braced string value, "{0041 00E9 0000 }": groups of four hexadecimal digits separated by white
// space, each a 16-bit unit stored low byte first, at most half the width of them.
bool ReadBraced(std::string_view text, uint16_t width, std::vector<uint8_t>& bytes) {
  std::string_view inner = text.substr(1, text.size() - 2);
  bytes.clear();
  for (size_t pos = SkipBlanks(inner, 0); pos < inner.size(); pos = SkipBlanks(inner, pos)) {
    size_t start = pos;
    while (pos < inner.size() && !IsSpace(inner[pos])) ++pos;
    std::string_view group = inner.substr(start, pos - start);
    if (group.size() != 4 || !std::all_of(group.begin(), group.end(), IsHexDigit)) return false;
    if (bytes.size() / 2 >= width / 2u) return false;
    unsigned unit = 0;
    for (char c : group) unit = (unit << 4) | HexValue(c);
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return true;
}

// Strict UTF-8 (no overlong forms, no surrogates, nothing past U+10FFFF) into UTF-16 units;
// characters beyond the basic plane become surrogate pairs. Nothing for invalid text.
std::optional<std::u16string> DecodeUtf8(std::string_view text) {
  std::u16string units;
  units.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : 4;
    if (extra > 3 || extra >= text.size() - i) return std::nullopt;  // not a lead byte, or cut short
    uint32_t code = extra == 0 ? lead : lead & (0x3F >> extra);
    for (size_t k = 1; k <= extra; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      code = code << 6 | (next & 0x3F);
    }
    static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::nullopt;
    if (code >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(code));
    }
    i += extra + 1;
  }
  return units;
}

// The number of a "HIICrc32" line, read as "%X" reads it (a value past 32 bits saturates);
// nothing when there are no digits.
std::optional<uint32_t> ReadChecksum(std::string_view text) {
  size_t pos = SkipBlanks(text, 0);
  if (text.substr(pos).starts_with("0x") || text.substr(pos).starts_with("0X")) pos += 2;
  size_t start = pos;
  uint64_t value = 0;
  for (; pos < text.size() && IsHexDigit(text[pos]); ++pos) {
    value = std::min<uint64_t>((value << 4) | HexValue(text[pos]), UINT32_MAX);
  }
  if (pos == start) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// The checksum field of a line that begins with "HIICrc32": the second blank-separated word, an
// optional "0x" and one to eight hexadecimal digits (what follows them is not read). A longer
// number is refused rather than cut to 32 bits.
std::optional<uint32_t> ReadChecksumField(std::string_view line) {
  size_t pos = 0;
  while (pos < line.size() && !IsSpace(line[pos])) ++pos;
  pos = SkipBlanks(line, pos);
  std::string_view field = line.substr(pos);
  if (field.starts_with("0x") || field.starts_with("0X")) field.remove_prefix(2);
  size_t digits = 0;
  uint32_t value = 0;
  for (; digits < field.size() && IsHexDigit(field[digits]); ++digits) value = value << 4 | HexValue(field[digits]);
  if (digits == 0 || digits > 8) return std::nullopt;
  return value;
}

// Looks a "Q_" name up in the symbol file: the first line whose first word is the name gives
// the number that follows "0x" on it.
std::optional<uint16_t> LookUpSymbol(std::FILE* symbols, std::string_view name) {
  if (!symbols || std::fseek(symbols, 0, SEEK_SET) != 0) return std::nullopt;
  FileLines lines(symbols, kSymbolLineChars);
  std::string line;
  bool overflow = false;
  while (lines.Next(line, overflow)) {
    size_t wordEnd = 0;
    while (wordEnd < line.size() && !IsSpace(line[wordEnd])) ++wordEnd;
    if (std::string_view(line).substr(0, wordEnd) != name) continue;
    size_t prefix = line.find("0x", wordEnd);
    if (prefix == std::string::npos) return std::nullopt;
    size_t pos = prefix + 2, start = pos;
    unsigned value = 0;
    for (; pos < line.size() && IsHexDigit(line[pos]) && pos - start < 4; ++pos) value = (value << 4) | HexValue(line[pos]);
    if (pos == start || (pos < line.size() && IsHexDigit(line[pos]))) return std::nullopt;
    return static_cast<uint16_t>(value);
  }
  return std::nullopt;
}

// The position of the opening quote of a quoted "Value", or npos.
size_t QuotedValueStart(std::string_view line) {
  size_t pos = SkipBlanks(line, 0);
  if (!line.substr(pos).starts_with("Value")) return std::string_view::npos;
  pos = SkipBlanks(line, pos + 5);
  if (pos >= line.size() || line[pos] != '=') return std::string_view::npos;
  pos = SkipBlanks(line, pos + 1);
  return pos < line.size() && line[pos] == '"' ? pos : std::string_view::npos;
}

// The line without its comment ("//" to the end) and line end. A quoted value may hold "//"
// itself (a path, an address): when the first "//" would leave its quote unclosed, the comment
// begins after the last quote of the line instead.
std::string_view StripComment(std::string_view raw) {
  std::string_view line = raw.substr(0, std::min(raw.find_first_of("\r\n"), raw.size()));
  size_t cut = line.find("//");
  if (cut == std::string_view::npos) return line;
  size_t open = QuotedValueStart(line);
  if (open < cut) {
    std::string_view quoted = TrimRight(line.substr(open, cut - open));
    size_t close = line.rfind('"');
    if ((quoted.size() < 2 || quoted.back() != '"') && close > cut) {
      cut = std::min(line.find("//", close + 1), line.size());
    }
  }
  return line.substr(0, cut);
}

// A "Value" line whose braced string goes on over the following lines.
bool OpensBracedValue(std::string_view line) {
  if (line.find('}') != std::string_view::npos) return false;
  size_t pos = SkipBlanks(line, 0);
  if (!line.substr(pos).starts_with("Value")) return false;
  return line.substr(SkipBlanks(line, pos + 5)).starts_with("={");
}

void StripCarriageReturn(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

bool Started(const ScriptEntry& e) { return e.flags.HasIdentity || e.flags.IsFixedToken; }

bool IsComplete(const ScriptEntry& e) {
  const ScriptEntryFlags& f = e.flags;
  if (f.IsFixedToken) return f.HasValue;
  return f.HasIdentity && f.HasToken && f.HasOffset && f.HasWidth && (f.HasCurrent || f.HasListOrder);
}

// What an incomplete entry lacks first.
Message MissingItem(const ScriptEntry& e) {
  const ScriptEntryFlags& f = e.flags;
  if (f.IsFixedToken) return kMissingValue;  // a fixed-token block holds nothing but a token and a value
  if (!f.HasToken) return kMissingToken;
  if (!f.HasOffset) return kMissingOffset;
  if (!f.HasWidth) return kMissingWidth;
  if (f.HasOptions && !f.HasCurrent && !f.HasValue) return kMissingCurrent;
  return kMissingValue;
}

void AddEntryText(ScriptEntry& e, std::string_view text, bool keep) {
  if (keep) e.entryTexts.emplace_back(text);
  if (e.entryCount < UINT16_MAX) ++e.entryCount;
}

// ---- The parser -------------------------------------------------------------------------------

class Parser {
 public:
  Parser(const ParseOptions& options, ScriptEntryList& entries) : options_(options), entries_(entries) {}
  Status Run(LineSource& lines);

 private:
  // The entry being read: a finished entry stays current (later lines may still be reported
  // against it) until the next block starts.
  ScriptEntry& Current() { return inList_ ? entries_.back() : pending_; }
  void StartEntry() {
    pending_ = ScriptEntry{};
    inList_ = false;
    blockLine_ = line_;
  }
  void FinishEntry() {
    if (inList_) return;
    entries_.push_back(std::move(pending_));
    inList_ = true;
  }
  void EndEntry(bool byFixedToken);

  static void ReportTooLarge(const LineSource& lines) {
    if (lines.TooLarge())
      Print(Stream::Err, L"\n- ERROR: Script file is larger than %llu bytes.",
            static_cast<unsigned long long>(kScriptMaxFileBytes));
  }
  void Report(const wchar_t* form, Message message, uint32_t line) { Print(Stream::Err, form, line, kMessages[message]); }
  void Report(const wchar_t* form, Message message) { Report(form, message, line_); }
  void SyntaxError(Message message) {
    Report(kSyntaxErrorForm, message);
    Current().flags.HasError = true;
    failed_ = true;
  }
  // A finding about a whole block names the line where the block starts.
  void BlockWarning(Message message) {
    if (!options_.quiet) Report(kWarningForm, message, blockLine_);
  }

  bool JoinBracedValue(LineSource& lines, std::string& line);
  void ParseLine(std::string_view raw);
  void OnKeyword(Keyword keyword, std::string_view value);
  void OnContinuation(std::string_view text);
  std::optional<uint16_t> ReadNumber16(std::string_view value) const;
  void OnDefault(std::string_view value, bool mfg);
  void OnValue(std::string_view value);
  void OnDateOrTime(std::string_view value, bool date);
  void AddOption(std::string_view text);
  void AddListElement(std::string_view text);

  const ParseOptions& options_;
  ScriptEntryList& entries_;
  ScriptEntry pending_;
  bool inList_ = false;
  uint32_t line_ = 0;
  uint32_t blockLine_ = 0;  // the "Setup Question" or "Fixed Token" line of the current block
  uint32_t checksum_ = 0;
  bool failed_ = false;
};

Status Parser::Run(LineSource& lines) {
  DebugLog(options_.log, LV_MODL, "Parsing ScriptFile and Updating Data [START]\n ");
  entries_.clear();
  std::string line;
  bool overflow = false;
  if (!lines.Next(line, overflow) || !line.starts_with("// Script")) {
    ReportTooLarge(lines);
    Err(kScriptFileError);
    return status::kFailure;
  }
  line_ = 1;
  while (!failed_ && lines.Next(line, overflow)) {
    ++line_;
    if (options_.checksumLine && !options_.checksumLine->found && line.starts_with("HIICrc32")) {
      options_.checksumLine->found = true;
      options_.checksumLine->value = ReadChecksumField(line);
    }
    if (overflow) {
      // What lies past the limit is harmless only when it is part of a comment.
      if (line.find("//") == std::string::npos) SyntaxError(kInvalidCurrentValue);
      else ParseLine(line);
      continue;
    }
    if (OpensBracedValue(line) && !JoinBracedValue(lines, line)) break;
    ParseLine(line);
  }
  ReportTooLarge(lines);
  if (lines.Failed()) failed_ = true;
  if (!failed_) EndEntry(false);
  for (ScriptEntry& e : entries_) e.fileChecksum = checksum_;
  if (failed_) {
    Err(kScriptFileError);
    return status::kFailure;
  }
  DebugLog(options_.log, LV_MODL, "Parsing ScriptFile and Updating Data return no Error [END]\n ");
  return status::kSuccess;
}

// Appends the following lines, without their line ends, until one holds the closing brace.
bool Parser::JoinBracedValue(LineSource& lines, std::string& line) {
  StripCarriageReturn(line);
  std::string piece;
  bool overflow = false;
  while (lines.Next(piece, overflow)) {
    ++line_;
    StripCarriageReturn(piece);
    if (overflow || piece.find("Setup Question") != std::string::npos ||
        line.size() + piece.size() > kScriptMaxLineChars) {
      SyntaxError(kInvalidCurrentValue);
      return false;
    }
    line += piece;
    if (piece.find('}') != std::string::npos) break;
  }
  return true;
}

// Closes the current block when the next one begins (or the file ends): an incomplete block is
// reported, and a one-of or ordered list, whose last line cannot be known in advance, is
// appended now.
void Parser::EndEntry(bool byFixedToken) {
  ScriptEntry& previous = Current();
  if (Started(previous) && !IsComplete(previous)) {
    if (byFixedToken && previous.flags.IsFixedToken) Report(kSyntaxErrorForm, MissingItem(previous), blockLine_);
    else BlockWarning(MissingItem(previous));
  }
  if (!inList_ && (previous.flags.HasOptions || previous.flags.HasListOrder)) FinishEntry();
}

void Parser::ParseLine(std::string_view raw) {
  std::string_view text = StripComment(raw);
  if (text.size() < 2 || std::none_of(text.begin(), text.end(), IsVisible)) return;
  text.remove_prefix(SkipBlanks(text, 0));

  Keyword keyword = Keyword::None;
  for (size_t k = 0; k < std::size(kKeywords); ++k) {
    if (text.starts_with(kKeywords[k])) {
      keyword = static_cast<Keyword>(k);
      break;
    }
  }
  if (keyword == Keyword::None) {
    if (text[0] == '*' || text[0] == '[' || text[0] == '<') OnContinuation(TrimRight(text));
    else SyntaxError(kTypographicalError);
    return;
  }
  size_t pos = SkipBlanks(text, kKeywords[static_cast<size_t>(keyword)].size());
  if (pos >= text.size() || text[pos] != '=') {
    SyntaxError(kMissingEquals);
    return;
  }
  OnKeyword(keyword, text.substr(SkipBlanks(text, pos + 1)));
  if (keyword != Keyword::HiiCrc32) Current().line = line_;
}

std::optional<uint16_t> Parser::ReadNumber16(std::string_view value) const {
  if (value.starts_with("Q_")) {
    size_t end = 0;
    while (end < value.size() && !IsSpace(value[end])) ++end;
    if (!OnlyBlanks(value.substr(end))) return std::nullopt;
    return LookUpSymbol(options_.symbolFile, value.substr(0, end));
  }
  auto number = HexThenBlanks(value, 4);
  if (!number) return std::nullopt;
  return static_cast<uint16_t>(*number);
}

void Parser::OnKeyword(Keyword keyword, std::string_view value) {
  ScriptEntry& e = Current();
  ScriptEntryFlags& f = e.flags;
  switch (keyword) {
    case Keyword::SetupQuestion: {
      EndEntry(false);
      StartEntry();
      if (!options_.lang) {
        pending_.identity = TrimRight(value);
        pending_.flags.HasIdentity = true;
      }
      return;
    }
    case Keyword::FixedToken: {
      EndEntry(true);
      StartEntry();
      pending_.flags.IsFixedToken = true;
      auto token = ReadNumber16(value);
      if (!token) return SyntaxError(kInvalidToken);
      pending_.token = *token;
      pending_.flags.HasToken = true;
      return;
    }
    case Keyword::Token: {
      if (f.HasToken || !f.HasIdentity) return SyntaxError(kTokenNotFound);
      auto token = ReadNumber16(value);
      if (!token) return SyntaxError(kInvalidToken);
      e.token = *token;
      f.HasToken = true;
      return;
    }
    case Keyword::Offset:
    case Keyword::Width: {
      bool isOffset = keyword == Keyword::Offset;
      bool& seen = isOffset ? f.HasOffset : f.HasWidth;
      Message message = isOffset ? kMissingOffset : kMissingWidth;
      if (seen || !f.HasIdentity) return SyntaxError(message);
      auto number = ReadNumber16(value);
      if (!number) return SyntaxError(message);
      (isOffset ? e.offset : e.width) = *number;
      seen = true;
      return;
    }
    case Keyword::MapString:
      f.HasIdentity = true;
      if (options_.lang) e.identity = TrimRight(value);
      return;
    case Keyword::HelpString:
      if (f.HasHelp || !f.HasIdentity) return SyntaxError(kInvalidToken);
      e.help = TrimRight(value);
      f.HasHelp = true;
      return;
    case Keyword::HiiCrc32:
      if (auto checksum = ReadChecksum(value)) checksum_ = *checksum;
      return;
    case Keyword::BiosDefault:
    case Keyword::MfgDefault:
      return OnDefault(value, keyword == Keyword::MfgDefault);
    case Keyword::Options:
    case Keyword::ListOrder: {
      if (!f.HasIdentity || f.HasOptions || f.HasValue || f.HasListOrder || f.IsDate || f.IsTime)
        return SyntaxError(kUnexpectedOptions);
      std::string_view first = TrimRight(value);
      if (keyword == Keyword::Options) {
        f.HasOptions = true;
        if (!first.empty()) AddOption(first);
        return;
      }
      f.HasListOrder = true;
      if (first.empty()) return;  // written so when no element matched an option
      if (first[0] != '[') return SyntaxError(kMissingBracket);
      return AddListElement(first);
    }
    case Keyword::Value:
      return OnValue(value);
    case Keyword::Date:
    case Keyword::Time:
      return OnDateOrTime(value, keyword == Keyword::Date);
    case Keyword::None:
      return;
  }
}

// Option and list lines after the keyword line.
void Parser::OnContinuation(std::string_view text) {
  ScriptEntry& e = Current();
  if (e.flags.HasListOrder) {
    if (text[0] != '[') return;
    e.line = line_;
    AddListElement(text);
  } else if (e.flags.HasOptions && (text[0] == '*' || text[0] == '[')) {
    e.line = line_;
    AddOption(text);
  }
}

// "[value]text" or, for the current option, "*[value]text".
void Parser::AddOption(std::string_view text) {
  ScriptEntry& e = Current();
  AddEntryText(e, text, options_.keepTexts);
  if (text[0] != '*') return;
  if (text.size() < 2 || text[1] != '[') return SyntaxError(kMissingBracket);
  size_t pos = 2;
  auto value = ReadHex(text, pos, 16);
  if (!value || pos >= text.size() || text[pos] != ']') return SyntaxError(kInvalidCurrentOption);
  if (e.flags.HasCurrent) {
    if (*value != e.value) SyntaxError(kMoreThanOneOption);
    return;
  }
  e.value = *value;
  e.flags.HasCurrent = true;
}

// "[value]text"; the entry's value counts the elements.
void Parser::AddListElement(std::string_view text) {
  ScriptEntry& e = Current();
  AddEntryText(e, text, options_.keepTexts);
  size_t pos = 1;
  auto value = ReadHex(text, pos, 4);
  if (!value || pos >= text.size() || text[pos] != ']') return SyntaxError(kInvalidListOrder);
  e.listValues.push_back(static_cast<uint16_t>(*value));
  e.value = e.listValues.size();
}

void Parser::OnDefault(std::string_view value, bool mfg) {
  ScriptEntry& e = Current();
  ScriptEntryFlags& f = e.flags;
  bool& seen = mfg ? f.HasMfgDefault : f.HasBiosDefault;
  Message message = mfg ? kUnexpectedMfgDefault : kUnexpectedBiosDefault;
  if (seen || !(f.HasIdentity || f.IsFixedToken)) return SyntaxError(message);
  seen = true;
  std::string_view text = TrimRight(value);
  (mfg ? e.mfgDefaultText : e.biosDefaultText) = text;
  uint64_t& number = mfg ? e.mfgDefault : e.biosDefault;

  std::optional<uint64_t> parsed;
  if (HasSeparators(text, '-')) {
    parsed = ReadDate(text);
  } else if (HasSeparators(text, ':')) {
    parsed = ReadTime(text);
  } else if (!text.empty() && text[0] == '[') {
    size_t pos = 1;
    parsed = ReadHex(text, pos, 16);
    if (pos >= text.size() || text[pos] != ']') parsed.reset();  // the option text after "]" is not read
  } else if (!text.empty() && text[0] == '<') {
    bool negative = false;
    parsed = ReadDecimal(text, negative);
    if (negative) f.IsNegative = true;
  } else if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    (mfg ? e.mfgDefaultList : e.biosDefaultList) = ToWide(text);
    f.DefaultIsList = true;
    return;
  } else {
    parsed = HexThenBlanks(text, 16);
  }
  if (!parsed) return SyntaxError(message);
  number = *parsed;
}

void Parser::OnValue(std::string_view value) {
  ScriptEntry& e = Current();
  ScriptEntryFlags& f = e.flags;
  if (f.HasValue || !(f.HasIdentity || f.IsFixedToken) || f.HasOptions || f.HasListOrder || f.IsDate || f.IsTime)
    return SyntaxError(kUnexpectedValue);
  f.HasValue = true;
  std::string_view text = TrimRight(value);
  e.valueText = text;
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    e.stringText = text.substr(1, text.size() - 2);
    // The file is UTF-8: a character outside ASCII reaches the firmware as one unit, and the
    // question's length limits count units.
    auto units = DecodeUtf8(e.stringText);
    if (!units) return SyntaxError(kInvalidCurrentValue);
    e.stringUnits = std::move(*units);
    e.stringLength = static_cast<uint16_t>(std::min<size_t>(e.stringUnits.size(), UINT16_MAX));
    e.stringIsPrintable = true;
    f.ValueIsString = true;
  } else if (text.size() >= 2 && text.front() == '{' && text.back() == '}') {
    if (!ReadBraced(text, e.width, e.stringBytes)) return SyntaxError(kInvalidCurrentValue);
    e.stringLength = e.width / 2;
    e.stringIsPrintable = false;
    f.ValueIsString = true;
  } else {
    bool negative = false;
    auto number = !text.empty() && text[0] == '<' ? ReadDecimal(text, negative) : HexThenBlanks(text, 16);
    if (!number) return SyntaxError(kInvalidCurrentValue);
    e.value = *number;
    if (negative) f.IsNegative = true;
  }
  f.HasCurrent = true;
  FinishEntry();
}

void Parser::OnDateOrTime(std::string_view value, bool date) {
  ScriptEntry& e = Current();
  ScriptEntryFlags& f = e.flags;
  if (!f.HasIdentity || f.HasOptions || f.HasValue || f.HasListOrder || f.IsDate || f.IsTime)
    return SyntaxError(kUnexpectedValue);
  auto packed = date ? ReadDate(value) : ReadTime(value);
  if (!packed) return SyntaxError(kInvalidCurrentValue);
  e.value = *packed;
  e.valueText = TrimRight(value);
  (date ? f.IsDate : f.IsTime) = true;
  f.HasValue = true;
  f.HasCurrent = true;
  FinishEntry();
}

}  // namespace

Status ParseScript(std::FILE* file, const ParseOptions& options, ScriptEntryList& entries) {
  if (!file) {
    entries.clear();
    Err(L"\n- ERROR: Invalid Script file handle\n");
    return status::kFailure;
  }
  FileLines lines(file, kScriptMaxLineChars);
  return Parser(options, entries).Run(lines);
}

Status ParseScriptText(std::string_view text, const ParseOptions& options, ScriptEntryList& entries) {
  TextLines lines(text, kScriptMaxLineChars);
  return Parser(options, entries).Run(lines);
}

Status ParseScriptPath(const std::string& path, const ParseOptions& options, ScriptEntryList& entries) {
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file(OpenStreamForReading(path.c_str(), "r"));
  return ParseScript(file.get(), options, entries);
}

std::optional<uint64_t> ParseScriptDate(std::string_view text) { return ReadDate(text); }
std::optional<uint64_t> ParseScriptTime(std::string_view text) { return ReadTime(text); }
std::optional<uint64_t> ParseScriptDecimal(std::string_view text, bool& negative) { return ReadDecimal(text, negative); }

}  // namespace kes
