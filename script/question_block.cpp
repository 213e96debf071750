#include "script/question_block.h"

#include "base/console.h"
#include "base/text.h"
#include "hii/hii_format.h"
#include "hii/strings.h"

namespace kes {

using namespace hii;

namespace {

constexpr const wchar_t* kContinuation = L"\n         ";
constexpr const wchar_t* kCommentedContinuation = L"\n//         ";

const OptionRecord* OptionWithValue(const QuestionRecord& record, uint64_t value) {
  for (const OptionRecord& o : record.ValueInfo.Options)
    if (o.Value == value) return &o;
  return nullptr;
}

// Numeric text by display kind: hexadecimal, or decimal in angle brackets (signed values of
// width 2, 4 and 8 sign-extended; a signed byte printed as its byte value).
std::wstring NumericText(uint8_t display, uint64_t value, size_t width, bool brackets) {
  if (width < 8) value &= (1ULL << (8 * width)) - 1;
  std::wstring text;
  if (display == kDisplaySignedDecimal) {
    if (width == 8) text = WFormat(L"%lld", static_cast<long long>(value));
    else if (width == 4) text = WFormat(L"%d", static_cast<int>(static_cast<int32_t>(value)));
    else if (width == 2) text = WFormat(L"%d", static_cast<int>(static_cast<int16_t>(value)));
    else text = WFormat(L"%d", static_cast<int>(value));
  } else if (display == kDisplayUnsignedDecimal) {
    text = width == 8 ? WFormat(L"%llu", static_cast<unsigned long long>(value))
                      : WFormat(L"%u", static_cast<unsigned>(value));
  } else {
    return WFormat(L"%llX", static_cast<unsigned long long>(value));
  }
  return brackets ? L"<" + text + L">" : text;
}

size_t ValueLength(const QuestionRecord& record) {
  switch (record.Kind) {
    case IFR_ORDERED_LIST: return static_cast<size_t>(record.Width) * record.ValueInfo.Options.size();
    case IFR_DATE: return 4;
    case IFR_TIME: return 3;
    default: return record.Width;
  }
}

std::wstring BracedDefaultList(const QuestionRecord& record, const std::vector<uint8_t>& bytes) {
  std::wstring text = L"{";
  size_t width = record.Width ? record.Width : 1;
  size_t written = 0;
  for (size_t at = 0; at + width <= bytes.size(); at += width) {
    uint64_t value = LeN(bytes, at, width);
    if (!OptionWithValue(record, value)) continue;
    if (written == 0) text += WFormat(L"%02llX", static_cast<unsigned long long>(value));
    else if (written < 256) text += WFormat(L",%02llX", static_cast<unsigned long long>(value));
    else text += WFormat(L",%04llX", static_cast<unsigned long long>(value));
    ++written;
  }
  return text + L"}";
}

std::wstring DefaultLine(const StringLookup& strings, Bytes image, const PackageList& list, const QuestionRecord& record,
                         const std::vector<uint8_t>& bytes, const std::wstring& keyword, bool commented, bool bare) {
  auto op = OpAt(image, record.Opcode, record.ScopeLimit);
  if (!op) return L"";
  const wchar_t* kw = keyword.c_str();
  switch (record.Kind) {
    case IFR_ONE_OF: {
      uint64_t value = LeN(bytes, 0, record.Width);
      if (bare) return WFormat(L"[%02llX]\n", static_cast<unsigned long long>(value));
      const OptionRecord* option = OptionWithValue(record, value);
      std::wstring text = option ? ScriptString(strings, list, option->Option, false) : L"";
      return WFormat(L"%ls[%02llX]%ls\n", kw, static_cast<unsigned long long>(value), text.c_str());
    }
    case IFR_ORDERED_LIST:
      return WFormat(L"%ls%ls\n", kw, BracedDefaultList(record, bytes).c_str());
    case IFR_CHECKBOX:
      return WFormat(L"%ls%llX\n", kw, static_cast<unsigned long long>(LeN(bytes, 0, 1)));
    case IFR_NUMERIC:
      return kw + NumericText(NumericDisplay(*op, record), LeN(bytes, 0, record.Width), record.Width, !bare) + L"\n";
    case IFR_DATE:
      return WFormat(L"%ls%02d-%02d-%04d\n", kw, Le8(bytes, 2), Le8(bytes, 3), Le16(bytes, 0));
    case IFR_TIME:
      return WFormat((commented || bare) ? L"%ls%02d:%02d:%02d\n" : L"%ls%02d:%02d:%02d\t\n", kw, Le8(bytes, 0),
                     Le8(bytes, 1), Le8(bytes, 2));
    default:
      return L"";
  }
}

bool StringIsPrintable(Bytes value) {
  for (size_t at = 0; at + 1 < value.size(); at += 2) {
    uint16_t unit = Le16(value, at);
    if (unit != 0 && (unit < 0x20 || unit > 0x7E)) return false;
  }
  return true;
}

std::wstring ValueLines(const StringLookup& strings, Bytes image, const PackageList& list, const QuestionRecord& record,
                        const std::vector<uint8_t>& value, bool commented, bool timeOneBlank, bool console = false) {
  auto op = OpAt(image, record.Opcode, record.ScopeLimit);
  if (!op) return L"";
  std::wstring prefix = commented ? L"// " : L"";
  const wchar_t* continuation = commented ? kCommentedContinuation : kContinuation;
  std::wstring out;
  switch (record.Kind) {
    case IFR_ONE_OF: {
      uint64_t current = LeN(value, 0, record.Width);
      out = prefix + L"Options\t=";
      bool first = true, marked = false;
      for (const OptionRecord& o : record.ValueInfo.Options) {
        if (!first) out += continuation;
        bool isCurrent = !marked && o.Value == current;
        marked = marked || isCurrent;
        std::wstring text = ScriptString(strings, list, o.Option, false);
        out += WFormat(isCurrent ? L"*[%02llX]%ls" : L"[%02llX]%ls", static_cast<unsigned long long>(o.Value),
                       text.c_str());
        if (first && !console) out += L"\t// Move \"*\" to the desired Option";
        first = false;
      }
      break;
    }
    case IFR_ORDERED_LIST: {
      out = prefix + L"ListOrder\t=";
      size_t width = record.Width ? record.Width : 1;
      bool first = true;
      for (size_t at = 0; at + width <= value.size(); at += width) {
        uint64_t element = LeN(value, at, width);
        const OptionRecord* option = OptionWithValue(record, element);
        if (!option) continue;
        if (!first) out += continuation;
        std::wstring text = ScriptString(strings, list, option->Option, false);
        out += WFormat(L"[%02llX]%ls", static_cast<unsigned long long>(element), text.c_str());
        first = false;
      }
      break;
    }
    case IFR_CHECKBOX:
      out = WFormat(L"%lsValue\t=%llX\t// Enabled = 1, Disabled = 0", prefix.c_str(),
                    static_cast<unsigned long long>(LeN(value, 0, 1)));
      break;
    case IFR_NUMERIC:
      out = prefix + L"Value\t=" + NumericText(NumericDisplay(*op, record), LeN(value, 0, record.Width), record.Width, true);
      break;
    case IFR_STRING: {
      out = prefix + L"Value\t=";
      if (StringIsPrintable(value)) {
        out += L"\"";
        size_t maxChars = record.ValueInfo.Maximum;
        for (size_t at = 0, n = 0; at + 1 < value.size() && n < maxChars; at += 2, ++n) {
          uint16_t unit = Le16(value, at);
          if (unit == 0) break;
          out.push_back(static_cast<wchar_t>(unit));
        }
        out += L"\"";
      } else {
        out += L"{";
        for (size_t at = 0; at + 1 < value.size(); at += 2) out += WFormat(L"%04X ", Le16(value, at));
        out += console ? L"}" : L"} //Unicode, Do NOT change the format";
      }
      break;
    }
    case IFR_DATE:
      out = WFormat(console ? L"%lsDate\t=%02d-%02d-%04d\t//  MM-DD-YYYY" : L"%lsDate\t=%02d-%02d-%04d\t// MM-DD-YYYY",
                    prefix.c_str(), Le8(value, 2), Le8(value, 3), Le16(value, 0));
      break;
    case IFR_TIME:
      out = WFormat(timeOneBlank ? L"%lsTime\t=%02d:%02d:%02d\t// HH:MM:SS" : L"%lsTime\t=%02d:%02d:%02d\t//  HH:MM:SS",
                    prefix.c_str(), Le8(value, 0), Le8(value, 1), Le8(value, 2));
      break;
    default:
      break;
  }
  return out;
}

bool EqualsDefault(const QuestionRecord& record, const std::vector<uint8_t>& value, const std::vector<uint8_t>& def) {
  switch (record.Kind) {
    case IFR_ORDERED_LIST: {
      size_t width = record.Width ? record.Width : 1;
      for (size_t at = 0; at + width <= value.size(); at += width)
        if (LeN(value, at, width) != LeN(def, at, width)) return false;
      return true;
    }
    case IFR_DATE:
      return Le16(value, 0) == Le16(def, 0) && Le8(value, 2) == Le8(def, 2) && Le8(value, 3) == Le8(def, 3);
    case IFR_TIME:
      return Le8(value, 0) == Le8(def, 0) && Le8(value, 1) == Le8(def, 1) && Le8(value, 2) == Le8(def, 2);
    default:
      return LeN(value, 0, record.Width) == LeN(def, 0, record.Width);
  }
}

}  // namespace

std::wstring ScriptString(const StringLookup& strings, const PackageList& list, uint16_t id, bool mapping) {
  auto text = strings.GetString(list, id, mapping);
  return text ? Printable(*text) : std::wstring();
}

std::optional<std::vector<uint8_t>> ReadQuestionValue(const VarStoreTable& varStores, const QuestionRecord& record) {
  const VarStoreEntry* entry = varStores.At(record.VarStoreIndex);
  if (!entry || entry->Size == 0) return std::nullopt;
  if (static_cast<size_t>(record.VarOffset) + record.Width > entry->Size) return std::nullopt;
  return varStores.GetVarStoreValue(record.VarStoreIndex, record.VarOffset, ValueLength(record));
}

std::wstring FormatDefaultsLines(const StringLookup& strings, Bytes image, const PackageList& list, const QuestionRecord& record,
                                 const std::optional<std::vector<uint8_t>>& stdDefault,
                                 const std::optional<std::vector<uint8_t>>& mfgDefault, bool commented, bool bare) {
  std::wstring out;
  if (record.Kind == IFR_STRING || record.Kind == IFR_PASSWORD) return out;
  struct {
    const std::optional<std::vector<uint8_t>>& bytes;
    const wchar_t* keyword;
  } lines[] = {{stdDefault, L"BIOS Default\t="}, {mfgDefault, L"MFG Default\t="}};
  for (const auto& line : lines) {
    if (!line.bytes) continue;
    std::wstring keyword = bare ? L"" : (commented ? L"// " : L"") + std::wstring(line.keyword);
    std::wstring text = DefaultLine(strings, image, list, record, *line.bytes, keyword, commented, bare);
    if (!bare) {
      ReplaceUnprintable(text);
      text += L"\n";
    }
    out += text;
  }
  return out;
}

std::optional<std::wstring> FormatQuestionBlock(Bytes image, QuestionRecord& record, const BlockOptions& options) {
  if (!options.list || !options.strings || !options.varStores) return std::nullopt;
  const StringLookup& strings = *options.strings;
  const VarStoreEntry* entry = options.varStores->At(record.VarStoreIndex);
  if (!entry) return std::nullopt;
  bool special = static_cast<bool>(options.specialValue);
  auto value = ReadQuestionValue(*options.varStores, record);
  if (!value && !special) return std::nullopt;
  const PackageList& list = *options.list;

  bool suppressed = record.Suppressed;
  bool grayedOut = record.GrayedOut && !suppressed;
  bool formMarked = options.formSuppressed || options.formGrayedOut;
  bool commented = options.duplicate || formMarked || suppressed || grayedOut;

  std::optional<std::vector<uint8_t>> stdDefault, mfgDefault;
  if (!special && options.defaults && options.defaults->find && record.Kind != IFR_STRING) {
    size_t length = ValueLength(record);
    if (options.defaults->stdPresent) stdDefault = options.defaults->find(false, *entry, record.VarOffset, length);
    if (options.defaults->mfgPresent) mfgDefault = options.defaults->find(true, *entry, record.VarOffset, length);
    if (stdDefault) record.ValueInfo.StdDefault = LeN(*stdDefault, 0, std::min<size_t>(stdDefault->size(), 8));
    if (mfgDefault) record.ValueInfo.MfgDefault = LeN(*mfgDefault, 0, std::min<size_t>(mfgDefault->size(), 8));
  }
  std::wstring defaultsText = FormatDefaultsLines(strings, image, list, record, stdDefault, mfgDefault, commented, false);

  if (!special && options.ndef && record.Kind != IFR_STRING) {
    bool stdPresent = options.defaults && options.defaults->stdPresent;
    if (!stdPresent || !stdDefault || EqualsDefault(record, *value, *stdDefault)) return std::nullopt;
  }

  std::wstring prompt = options.specialName ? *options.specialName : ScriptString(strings, list, record.Prompt, false);
  std::wstring help = ScriptString(strings, list, record.Help, false);
  std::wstring mapString;
  if (options.lang) {
    mapString = options.specialMapName ? *options.specialMapName : ScriptString(strings, list, record.Prompt, true);
    if (!options.all && IsBlankText(mapString)) return std::nullopt;
  } else if (!options.all && IsBlankText(prompt)) {
    return std::nullopt;
  }

  std::wstring text;
  if (options.verbose) {
    std::wstring guid = FormatGuidTextW(entry->Guid);
    const wchar_t* marker = suppressed ? L"\n// SUPPRESS" : grayedOut ? L"\n// GRAYOUT" : L"";
    std::wstring name = Printable(entry->Name);  // a line break in the name would end the comment
    text += WFormat(L"%ls\n// GUID\t= %ls\n// Variable\t= %ls", marker, guid.c_str(), name.c_str());
  }
  const wchar_t* variant;
  if (!options.verbose && suppressed) variant = L"\n// SUPPRESS";
  else if (!options.verbose && grayedOut) variant = L"\n// GRAYOUT";
  else variant = L"";
  if (!commented) {
    text += options.lang
                ? WFormat(L"\nSetup Question\t= %ls\nMap String\t= %ls\nHelp String\t= %ls\nToken\t=%02X\t// Do NOT "
                          L"change this line\nOffset\t=%02X\nWidth\t=%02X\n",
                          prompt.c_str(), mapString.c_str(), help.c_str(), record.QuestionId, record.VarOffset,
                          record.Width)
                : WFormat(L"\nSetup Question\t= %ls\nHelp String\t= %ls\nToken\t=%02X\t// Do NOT change this "
                          L"line\nOffset\t=%02X\nWidth\t=%02X\n",
                          prompt.c_str(), help.c_str(), record.QuestionId, record.VarOffset, record.Width);
  } else {
    text += variant;
    text += options.lang
                ? WFormat(L"\n// Setup Question\t= %ls\n// Map String\t= %ls\n// Help String\t= %ls\n// Token\t=%02X\t// "
                          L"Do NOT change this line\n// Offset\t=%02X\n// Width\t=%02X\n",
                          prompt.c_str(), mapString.c_str(), help.c_str(), record.QuestionId, record.VarOffset,
                          record.Width)
                : WFormat(L"\n// Setup Question\t= %ls\n// Help String\t= %ls\n// Token\t=%02X\t// Do NOT change "
                          L"this line\n// Offset\t=%02X\n// Width\t=%02X\n",
                          prompt.c_str(), help.c_str(), record.QuestionId, record.VarOffset, record.Width);
  }
  text += defaultsText;
  bool timeOneBlank = suppressed || grayedOut || formMarked || (options.duplicate && options.toDuplicateFile);
  text += special ? options.specialValue(commented) : ValueLines(strings, image, list, record, *value, commented, timeOneBlank);
  text += L"\n";
  if (suppressed) text += L"// ENDOF SUPPRESS\n";
  else if (grayedOut) text += L"// ENDOF GRAYOUT\n";
  return text;
}

std::wstring FormatConsoleValue(const StringLookup& strings, Bytes image, const PackageList& list,
                                const QuestionRecord& record, const std::vector<uint8_t>& value) {
  return ValueLines(strings, image, list, record, value, false, false, true);
}

std::wstring FormatBareValue(Bytes image, const QuestionRecord& record, const std::vector<uint8_t>& value) {
  auto op = OpAt(image, record.Opcode, record.ScopeLimit);
  if (!op) return L"";
  switch (record.Kind) {
    case IFR_ONE_OF:
      return WFormat(L"%02llX", static_cast<unsigned long long>(LeN(value, 0, record.Width)));
    case IFR_ORDERED_LIST: {
      std::wstring out;
      size_t width = record.Width ? record.Width : 1;
      for (size_t at = 0; at + width <= value.size(); at += width) {
        if (!out.empty()) out += L"\n";
        out += WFormat(L"[%02llX]", static_cast<unsigned long long>(LeN(value, at, width)));
      }
      return out;
    }
    case IFR_CHECKBOX:
      return WFormat(L"%llX", static_cast<unsigned long long>(LeN(value, 0, 1)));
    case IFR_NUMERIC:
      return NumericText(NumericDisplay(*op, record), LeN(value, 0, record.Width), record.Width, false);
    case IFR_DATE:
      return WFormat(L"%02d-%02d-%04d", Le8(value, 2), Le8(value, 3), Le16(value, 0));
    case IFR_TIME:
      return WFormat(L"%02d:%02d:%02d", Le8(value, 0), Le8(value, 1), Le8(value, 2));
    case IFR_STRING: {
      std::wstring out;
      if (StringIsPrintable(value)) {
        for (size_t at = 0; at + 1 < value.size(); at += 2) {
          uint16_t unit = Le16(value, at);
          if (unit == 0) break;
          out.push_back(static_cast<wchar_t>(unit));
        }
      } else {
        for (size_t at = 0; at + 1 < value.size(); at += 2) out += WFormat(L"%04X ", Le16(value, at));
      }
      return out;
    }
    default:
      return L"";
  }
}

bool WriteQuestionBlock(std::FILE* out, Bytes image, QuestionRecord& record, const BlockOptions& options) {
  auto text = FormatQuestionBlock(image, record, options);
  if (!text) return false;
  FileWrite(out, *text);
  return true;
}

}  // namespace kes
