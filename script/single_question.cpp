// Single question by map string: /o /ms prints one question's value (and with /ds, /dm its
// defaults) on the console; /i /ms /qv builds one script entry from the command line and runs the
// script import on it.
#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "commit/special_controls.h"
#include "hii/default_store.h"
#include "hii/hii_format.h"
#include "hii/question_walk.h"
#include "script/import.h"
#include "script/operations.h"
#include "script/question_block.h"
#include "script/script_defaults.h"

namespace kes {

using namespace hii;

namespace {

constexpr Status kInvalidValue = status::kInvalidFile;  // 0x0D
constexpr Status kNoVariable = status::kEmptyVariableData;  // 0x59
constexpr Status kUnsupportedType = status::kPlatformUnsupported;  // 0x32

std::wstring TrimmedMapString(const RunState& run) {
  std::wstring text = run.options.MapString;
  TrimWide(text);
  return text;
}

using QuestionAction = std::function<Status(QuestionWalk&, const PackageList&, QuestionRecord&)>;

// The steps both operations share: exactly one question (one storage) must carry the map string,
// and its variable must hold the question's bytes. `action` runs on that question, inside the
// walk, so the walk's varstore table is the question's.
Status WithSingleQuestion(const SetupContext& setup, const QuestionAction& action) {
  std::wstring mapString = TrimmedMapString(setup.run);
  WalkContext context = WalkContext::FromRun(setup.run);
  context.mapString = mapString;
  int count = CountMapStringMatches(setup.database, setup.strings, setup.firmware, setup.evaluator, context);
  auto notFound = [&] {
    Print(Stream::Err, L"ERROR:%X Setup Question with mapstring %ls is not found\n", kInvalidValue, mapString.c_str());
    return kInvalidValue;
  };
  if (count == 0) return notFound();
  if (count > 1) {
    Print(Stream::Err, L"ERROR:%X - Multiple setup questions found with map string(%ls)\n", kInvalidValue,
          mapString.c_str());
    return kInvalidValue;
  }
  QuestionWalk walk = setup.NewWalk(context);
  bool found = false;
  Status result = kInvalidValue;
  QuestionVisitor visitor;
  visitor.question = [&](const PackageList& list, const FormSetInfo&, const FormInfo&, QuestionRecord& record) {
    if (found) return;
    auto text = setup.strings.GetString(list, record.Prompt, true, &mapString);
    if (!text || text->empty() || CompareNoCaseWide(*text, mapString) != 0) return;
    found = true;
    const VarStoreEntry* store = walk.VarStores().At(record.VarStoreIndex);
    if (!store || store->Size == 0 || !store->Data ||
        static_cast<size_t>(record.VarOffset) + record.Width > store->Size) {
      std::wstring name = store ? store->Name : std::wstring();
      Print(Stream::Err, L"ERROR: Unable to access variable %ls associated with mapstring %ls\n", name.c_str(),
            mapString.c_str());
      result = kNoVariable;
      return;
    }
    result = action(walk, list, record);
  };
  visitor.stop = [&] { return found; };
  walk.WalkQuestions(visitor);
  if (!found) return notFound();
  return result;
}

// ---- export ---------------------------------------------------------------------------------

void PrintSpecial(SpecialControls& special, SpecialControlKind kind, const QuestionRecord& record, bool bare) {
  switch (kind) {
    case SpecialControlKind::Language:
    case SpecialControlKind::PlatformLanguage: {
      std::wstring options = special.WriteLanguageOptions(record);
      if (bare) Print(Stream::Out, L"%ls\n", options.c_str());
      else Print(Stream::Out, L"%ls%ls\n", L"Options\t=", options.c_str());
      return;
    }
    case SpecialControlKind::BootOrder: {
      bool first = true;
      for (const BootOption& o : special.BootOptions()) {
        std::wstring line = first && !bare
                                ? WFormat(L"%ls[%04x] %ls\n ", L"ListOrder\t=", o.number, o.description.c_str())
                                : WFormat(L"[%04x] %ls\n ", o.number, o.description.c_str());
        Print(Stream::Out, L"%ls\n ", line.c_str());
        first = false;
      }
      return;
    }
    case SpecialControlKind::LegacyOrder: {
      auto groups = special.LegacyGroups();
      if (!groups || groups->empty()) {
        Out(L"No legacy devices found.\n");
        return;
      }
      for (const LegacyGroup& g : *groups) {
        const wchar_t* name = GetBbsTypeName(g.type);
        for (size_t i = 0; i < g.devices.size(); ++i) {
          uint16_t d = g.devices[i];
          if (i > 0) Print(Stream::Out, L"\t\t[%04x]%ls %04x\n", d, name, d);
          else if (bare) Print(Stream::Out, L" [%04x]%ls %04x\n", d, name, d);
          else Print(Stream::Out, L"%ls [%04x]%ls %04x\n", L"ListOrder\t=", d, name, d);
        }
      }
      return;
    }
    default:
      return;
  }
}

// ---- update ---------------------------------------------------------------------------------

void InvalidValue() {
  Print(Stream::Err, L"ERROR:%X - Value for control not updated as the value specified is invalid.\n", kInvalidValue);
}

// Hexadecimal: digits only, except an "x" or "X" second after a leading "0"; no overflow.
std::optional<uint64_t> ReadHexValue(std::string_view text) {
  if (text.empty()) return std::nullopt;
  size_t start = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) start = 2;
  if (start == text.size()) return std::nullopt;
  uint64_t value = 0;
  for (size_t i = start; i < text.size(); ++i) {
    char c = text[i];
    int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (digit < 0 || value >> 60 != 0) return std::nullopt;
    value = (value << 4) | static_cast<uint64_t>(digit);
  }
  return value;
}

// An ordered list: hexadecimal elements separated by ",", none empty, no trailing ",". Nothing is
// looked up: the options are the import's business.
Status ReadListValue(std::string_view text, std::vector<uint16_t>& list) {
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    std::string element = Trim(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    auto value = element.empty() ? std::nullopt : ReadHexValue(element);
    if (!value) {
      Print(Stream::Err, L"ERROR:%X Value for control not updated as the value specified is invalid.\n", kInvalidValue);
      return kInvalidValue;
    }
    if (*value > 0xFFFF) {
      InvalidValue();
      return kInvalidValue;
    }
    list.push_back(static_cast<uint16_t>(*value));
    if (comma == std::string_view::npos) return status::kSuccess;
    start = comma + 1;
  }
}

// Fills the entry's value from the /qv text for the question's type.
Status ReadQuestionValueText(const RunState& run, const QuestionRecord& record, SpecialControlKind kind,
                             ScriptEntry& entry) {
  std::string text = Trim(run.options.QuestionValue);
  ScriptEntryFlags& f = entry.flags;
  bool list = record.Kind == IFR_ORDERED_LIST || kind == SpecialControlKind::BootOrder ||
              kind == SpecialControlKind::LegacyOrder;
  if (kind == SpecialControlKind::LegacyOrder && !run.Given(Switch::Bt)) {
    Print(Stream::Err, L"ERROR:%X - Device type is not specified.\n", kInvalidValue);
    return kInvalidValue;
  }
  if (list) {
    if (Status s = ReadListValue(text, entry.listValues); s != status::kSuccess) return s;
    entry.value = entry.listValues.size();
    f.HasListOrder = true;
    return status::kSuccess;
  }
  bool language = kind == SpecialControlKind::Language || kind == SpecialControlKind::PlatformLanguage;
  std::optional<uint64_t> value;
  switch (language ? IFR_ONE_OF : record.Kind) {
    case IFR_NUMERIC: {
      bool negative = false;
      value = !text.empty() && text[0] == '<' ? ParseScriptDecimal(text, negative) : ReadHexValue(text);
      if (negative) f.IsNegative = true;
      break;
    }
    case IFR_ONE_OF:
      value = ReadHexValue(text);
      if (value) f.HasOptions = true;
      break;
    case IFR_CHECKBOX:
      value = ReadHexValue(text);
      if (value && *value > 1) value.reset();
      break;
    case IFR_DATE:
      value = ParseScriptDate(text);
      if (value) f.IsDate = true;
      break;
    case IFR_TIME:
      value = ParseScriptTime(text);
      if (value) f.IsTime = true;
      break;
    default:
      break;
  }
  if (!value) {
    InvalidValue();
    return kInvalidValue;
  }
  entry.value = *value;
  f.HasValue = true;
  f.HasCurrent = true;
  return status::kSuccess;
}

std::wstring DefaultListText(const QuestionRecord& record, const std::vector<uint8_t>& bytes) {
  std::wstring text = L"{";
  size_t width = record.Width ? record.Width : 1;
  for (size_t at = 0; at + width <= bytes.size(); at += width)
    text += WFormat(at == 0 ? L"%02llX" : L",%02llX", static_cast<unsigned long long>(LeN(bytes, at, width)));
  return text + L"}";
}

}  // namespace

Status ExportSingleQuestion(const SetupContext& setup) {
  RunState& run = setup.run;
  DefaultStores stores(setup.firmware);
  DefaultsSource defaults = LoadDefaultsSource(stores);
  bool bare = run.Given(Switch::Ov);
  return WithSingleQuestion(setup, [&](QuestionWalk& walk, const PackageList& list, QuestionRecord& record) -> Status {
    if (record.Kind == IFR_PASSWORD) {
      Print(Stream::Err, L"ERROR:%X - Unsupported Setup Question type.\n", kUnsupportedType);
      return kUnsupportedType;
    }
    SpecialControls special({run, setup.firmware, walk.VarStores()});
    if (SpecialControlKind kind = special.KindOf(record); kind != SpecialControlKind::None) {
      PrintSpecial(special, kind, record, bare);
      return status::kSuccess;
    }
    Bytes image = setup.database.Image();
    auto value = ReadQuestionValue(walk.VarStores(), record);
    const VarStoreEntry* store = walk.VarStores().At(record.VarStoreIndex);
    if (!value || !store) {
      Print(Stream::Err, L"ERROR: Unable to access variable %ls associated with mapstring %ls\n",
            store ? store->Name.c_str() : L"", TrimmedMapString(run).c_str());
      return kNoVariable;
    }
    if (run.switches.Any({Switch::Ds, Switch::Dm}) && defaults.find) {
      std::optional<std::vector<uint8_t>> stdDefault, mfgDefault;
      if (run.Given(Switch::Ds) && defaults.stdPresent) stdDefault = defaults.find(false, *store, record.VarOffset, value->size());
      if (run.Given(Switch::Dm) && defaults.mfgPresent) mfgDefault = defaults.find(true, *store, record.VarOffset, value->size());
      Out(FormatDefaultsLines(setup.strings, image, list, record, stdDefault, mfgDefault, false, bare));
    }
    std::wstring text = bare ? FormatBareValue(image, record, *value) : FormatConsoleValue(setup.strings, image, list, record, *value);
    Out(text + L"\n");
    return status::kSuccess;
  });
}

Status UpdateSingleQuestion(const SetupContext& setup) {
  RunState& run = setup.run;
  DefaultStores stores(setup.firmware);
  stores.LoadDefaultStores();
  std::optional<ScriptEntry> built;
  Status found = WithSingleQuestion(setup, [&](QuestionWalk& walk, const PackageList&, QuestionRecord& record) -> Status {
    SpecialControls special({run, setup.firmware, walk.VarStores()});
    SpecialControlKind kind = special.KindOf(record);
    if (record.Kind == IFR_STRING && kind == SpecialControlKind::None) {
      Print(Stream::Err, L"ERROR:%X - Import of string type questions not supported.\n", kInvalidValue);
      return kInvalidValue;
    }
    ScriptEntry entry;
    std::wstring mapString = TrimmedMapString(run);
    // A legacy group is named by its device type before the control's name.
    if (kind == SpecialControlKind::LegacyOrder) {
      std::wstring type = run.options.BootDeviceType;
      TrimWide(type);
      mapString = type + L" " + mapString;
    }
    entry.identity = ToNarrow(mapString);
    entry.token = record.QuestionId;
    entry.offset = record.VarOffset;
    entry.width = record.Width;
    entry.flags.HasIdentity = entry.flags.HasToken = entry.flags.HasOffset = entry.flags.HasWidth = true;
    if (Status s = ReadQuestionValueText(run, record, kind, entry); s != status::kSuccess) return s;
    // The defaults the question has now; /ds and /dm make the new value the default instead.
    const VarStoreEntry* store = walk.VarStores().At(record.VarStoreIndex);
    size_t length = record.Kind == IFR_ORDERED_LIST ? record.Width * record.ValueInfo.Options.size() : record.Width;
    if (kind == SpecialControlKind::None && store) {
      for (DefaultStore which : {DefaultStore::Std, DefaultStore::Mfg}) {
        bool mfg = which == DefaultStore::Mfg;
        if (!stores.DefaultStorePresent(which)) continue;
        auto bytes = stores.FindQuestionDefault(which, store->Guid, store->Name, record.VarOffset, length);
        if (!bytes) continue;
        (mfg ? entry.mfgDefault : entry.biosDefault) = LeN(*bytes, 0, std::min<size_t>(bytes->size(), 8));
        if (record.Kind == IFR_ORDERED_LIST) (mfg ? entry.mfgDefaultList : entry.biosDefaultList) = DefaultListText(record, *bytes);
        if (run.Given(mfg ? Switch::Dm : Switch::Ds)) (mfg ? entry.flags.HasMfgDefault : entry.flags.HasBiosDefault) = true;
      }
    }
    built = std::move(entry);
    return status::kSuccess;
  });
  if (found != status::kSuccess) return found;
  if (!built) return kInvalidValue;
  ScriptEntryList entries;
  entries.push_back(std::move(*built));
  bool refused = false;
  Status result = ImportEntries(setup, entries, &refused);
  if (result == status::kSuccess && refused) result = kInvalidValue;
  if (result != status::kSuccess) Print(Stream::Err, L"\nERROR:%X - Import of question failed.\n", result);
  return result;
}

}  // namespace kes
