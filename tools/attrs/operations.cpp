#include "tools/attrs/operations.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "base/console.h"
#include "base/guid.h"
#include "base/text.h"
#include "hii/hii_format.h"
#include "script/import.h"
#include "script/script_parser.h"

namespace kes::attrs {

using namespace hii;

namespace {

// The attributes of `setup` with the given names, by name.
std::unordered_map<std::string, Attribute> FindAttributes(const SetupContext& setup,
                                                          const std::unordered_set<std::string>& names) {
  std::unordered_map<std::string, Attribute> found;
  AttributeSink sink;
  sink.attribute = [&](Attribute& a) {
    if (names.count(a.name)) found.emplace(a.name, a);
  };
  sink.stop = [&] { return found.size() == names.size(); };
  WalkAttributes(setup, sink);
  return found;
}

std::string Trimmed(const std::wstring& message) { return Trim(EncodeText(message)); }

const Choice* ChoiceNamed(const Attribute& a, std::string_view name) {
  for (const Choice& c : a.choices)
    if (c.name == name) return &c;
  return nullptr;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> out;
  if (text.empty()) return out;
  size_t start = 0;
  while (true) {
    size_t comma = text.find(',', start);
    out.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

// "DDDD-DD-DD" or "DD:DD:DD": the three numbers.
std::optional<std::array<unsigned, 3>> ReadTriple(const std::string& text, bool date) {
  const char* shape = date ? "####-##-##" : "##:##:##";
  if (text.size() != std::strlen(shape)) return std::nullopt;
  std::array<unsigned, 3> parts{};
  size_t part = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (shape[i] != '#') {
      if (text[i] != shape[i]) return std::nullopt;
      ++part;
      continue;
    }
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    parts[part] = parts[part] * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return parts;
}

struct Request {
  std::string name;
  Json value;
  const Attribute* attribute = nullptr;
  Json normalized;          // the value as `get` will show it once applied
  std::string refusal;      // empty while accepted
  int entry = -1;           // position in the entry list
};

// Fills the script entry for the requested value, or says why the value cannot be one.
std::string BuildEntry(const Attribute& a, const Json& value, ScriptEntry& entry, Json& normalized) {
  entry.identity = a.identity;
  entry.token = a.questionId;
  entry.offset = a.offset;
  entry.width = a.width;
  entry.flags.HasIdentity = entry.flags.HasToken = entry.flags.HasOffset = entry.flags.HasWidth = true;
  ScriptEntryFlags& f = entry.flags;
  auto wrongType = [&](const char* wanted) { return std::string("wrong type: the value must be ") + wanted; };
  switch (a.form) {
    case ValueForm::Language: {
      if (!value.is_string()) return wrongType("a string (a language code)");
      const Choice* c = ChoiceNamed(a, value.get<std::string>());
      if (!c) return "not an option: " + value.get<std::string>() + " is not one of the control's languages";
      entry.value = c->value;
      f.HasValue = f.HasCurrent = true;
      normalized = c->name;
      return {};
    }
    case ValueForm::BootOrder: {
      if (!value.is_string()) return wrongType("a string of boot options joined by \",\"");
      std::vector<uint16_t> numbers;
      for (const std::string& name : Split(value.get<std::string>())) {
        const Choice* c = ChoiceNamed(a, name);
        if (!c) return "not an option: " + name + " is not a boot option of the boot order";
        numbers.push_back(static_cast<uint16_t>(c->value));
      }
      std::vector<uint16_t> sorted = numbers;
      std::sort(sorted.begin(), sorted.end());
      if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end() || numbers.size() != a.choices.size())
        return "Value for control (" + a.identity + ") not updated as the value specified is invalid.";
      entry.listValues = numbers;
      entry.value = numbers.size();
      f.HasListOrder = true;
      normalized = value;
      return {};
    }
    case ValueForm::OrderedList: {
      if (!value.is_string()) return wrongType("a string of option names joined by \",\"");
      std::string joined;
      for (const std::string& name : Split(value.get<std::string>())) {
        const Choice* c = ChoiceNamed(a, name);
        if (!c) return "not an option: \"" + name + "\" is not one of the list's options";
        entry.listValues.push_back(static_cast<uint16_t>(c->value));
        if (!joined.empty()) joined += ',';
        joined += c->name;
      }
      if (entry.listValues.size() > a.choices.size())
        return "Warning : Setup question '" + a.identity +
               "' is not imported, as OrderedList count mismatches with Listorder Options in NVRAM";
      entry.value = entry.listValues.size();
      f.HasListOrder = true;
      normalized = joined;
      return {};
    }
    case ValueForm::Date:
    case ValueForm::Time: {
      bool date = a.form == ValueForm::Date;
      if (!value.is_string()) return wrongType(date ? "a string \"YYYY-MM-DD\"" : "a string \"HH:MM:SS\"");
      auto parts = ReadTriple(value.get<std::string>(), date);
      if (!parts) return date ? "not a date of the form YYYY-MM-DD" : "not a time of the form HH:MM:SS";
      auto [x, y, z] = *parts;
      if (date) {
        if (y > 0xFF || z > 0xFF) return "not a date of the form YYYY-MM-DD";
        entry.value = x | (uint64_t{y} << 16) | (uint64_t{z} << 24);
        f.IsDate = true;
      } else {
        entry.value = x | (uint64_t{y} << 8) | (uint64_t{z} << 16);
        f.IsTime = true;
      }
      f.HasValue = f.HasCurrent = true;
      normalized = value;
      return {};
    }
    default:
      break;
  }
  switch (a.kind) {
    case IFR_ONE_OF: {
      if (!value.is_string()) return wrongType("a string (one of the ValueName texts)");
      const Choice* c = ChoiceNamed(a, value.get<std::string>());
      if (!c) return "not an option: \"" + value.get<std::string>() + "\" is not one of the ValueName texts";
      entry.value = c->value;
      f.HasOptions = f.HasValue = f.HasCurrent = true;
      normalized = c->name;
      return {};
    }
    case IFR_CHECKBOX:
      if (!value.is_boolean()) return wrongType("true or false");
      entry.value = value.get<bool>() ? 1 : 0;
      f.HasValue = f.HasCurrent = true;
      normalized = value;
      return {};
    case IFR_NUMERIC:
      if (value.is_number_unsigned()) {
        entry.value = value.get<uint64_t>();
      } else if (value.is_number_integer()) {
        int64_t v = value.get<int64_t>();
        entry.value = static_cast<uint64_t>(v);
        f.IsNegative = v < 0;
      } else {
        return wrongType("an integer");
      }
      if (std::string why = BoundsRefusal(a, value); !why.empty()) return why;
      f.HasValue = f.HasCurrent = true;
      normalized = value;
      // A signed question shows its bytes with their sign: 255 in a signed byte reads back as -1.
      if (a.numericDisplay == kDisplaySignedDecimal && value.is_number_unsigned() && a.width > 0 && a.width < 8 &&
          entry.value < (uint64_t{1} << (8 * a.width))) {
        uint64_t sign = uint64_t{1} << (8 * a.width - 1);
        normalized = static_cast<int64_t>((entry.value ^ sign) - sign);
      }
      return {};
    case IFR_STRING: {
      if (!value.is_string()) return wrongType("a string");
      std::wstring text = DecodeText(value.get<std::string>());
      // The firmware ends a string at its first zero unit: what follows would be lost.
      if (text.find(L'\0') != std::wstring::npos) return "the string holds U+0000, which would end it in the firmware";
      bool printable = std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= 0x20 && c <= 0x7E; });
      std::vector<uint8_t> units;
      for (wchar_t c : text) {
        uint32_t u = static_cast<uint32_t>(c);
        if (u >= 0xD800 && u <= 0xDFFF) return "not valid UTF-8 text";
        if (u >= 0x10000) {
          u -= 0x10000;
          for (uint32_t half : {0xD800 + (u >> 10), 0xDC00 + (u & 0x3FF)}) {
            units.push_back(static_cast<uint8_t>(half));
            units.push_back(static_cast<uint8_t>(half >> 8));
          }
        } else {
          units.push_back(static_cast<uint8_t>(u));
          units.push_back(static_cast<uint8_t>(u >> 8));
        }
      }
      if (units.size() / 2 > 0xFFFF) return "the string is longer than 65535 characters";
      f.ValueIsString = f.HasValue = f.HasCurrent = true;
      entry.stringLength = static_cast<uint16_t>(units.size() / 2);
      entry.stringIsPrintable = printable;
      if (printable) {
        // The import stores a quoted value from its UTF-16 units, as the parser decodes them.
        entry.stringText = value.get<std::string>();
        for (size_t i = 0; i + 1 < units.size(); i += 2)
          entry.stringUnits.push_back(static_cast<char16_t>(units[i] | (units[i + 1] << 8)));
      } else {
        entry.stringBytes = std::move(units);
      }
      normalized = value;
      return {};
    }
    default:
      return "this attribute cannot be set";
  }
}

Json ValueOrNull(const Json* value) { return value ? *value : Json(); }

// Appends a member whose name the object does not hold yet.
void AppendMember(Json& object, std::string name, Json value) {
  Members(object).emplace_back(std::move(name), std::move(value));
}

// Command-line text as the attribute's type; text that is no such value stays text (and is
// refused as the wrong type).
Json TypedText(const Attribute& a, const Json& value) {
  if (!value.is_string()) return value;
  const std::string& text = value.get_ref<const std::string&>();
  if (a.type == AttrType::Boolean) {
    if (text == "true") return Json(true);
    if (text == "false") return Json(false);
    return value;
  }
  if (a.type != AttrType::Integer || text.empty()) return value;
  bool negative = text[0] == '-';
  std::string_view digits(text);
  if (negative || text[0] == '+') digits.remove_prefix(1);
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    base = 16;
    digits.remove_prefix(2);
  }
  if (digits.empty()) return value;
  uint64_t number = 0;
  for (char c : digits) {
    int d = c >= '0' && c <= '9' ? c - '0' : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
            : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0 || number > (UINT64_MAX - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return value;
    number = number * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
  }
  if (!negative) return Json(number);
  if (number > uint64_t{1} << 63) return value;
  return Json(static_cast<int64_t>(0 - number));
}

// The values a set writes, for its journal.
std::vector<PlannedValue> Planned(const std::vector<Request>& requests) {
  std::vector<PlannedValue> planned;
  for (const Request& r : requests)
    if (r.entry >= 0) planned.push_back({r.attribute, r.normalized});
  return planned;
}

}  // namespace

bool WriteRegistry(const SetupContext& setup, const TextSink& out) {
  return SerializeStreamed(NewRegistry(), [&](const ElementSink& element) {
    AttributeSink sink;
    RegistryEntries entries;
    sink.attribute = [&](Attribute& a) { element(entries.Make(std::move(a))); };
    WalkAttributes(setup, sink);
  }, out);
}

Json BuildBios(const SetupContext& setup, const std::vector<std::string>& names, Defaults defaults,
               std::vector<std::string>& missing) {
  Json bios = NewBios(defaults == Defaults::None ? "BIOS Configuration Current Settings"
                      : defaults == Defaults::Bios ? "BIOS Configuration Defaults"
                                                   : "BIOS Configuration Manufacturing Defaults");
  Json& attributes = bios["Attributes"];
  std::unordered_set<std::string> wanted(names.begin(), names.end());
  std::unordered_set<std::string> seen;
  AttributeSink sink;
  sink.describe = false;
  sink.defaults = defaults != Defaults::None;
  sink.attribute = [&](Attribute& a) {
    if (!wanted.empty()) {
      if (!wanted.count(a.name)) return;
      seen.insert(a.name);
    }
    // Names are unique: appended without the ordered object's linear search for the key.
    AppendMember(attributes, std::move(a.name),
                 std::move(defaults == Defaults::None ? a.current : defaults == Defaults::Bios ? a.biosDefault : a.mfgDefault));
  };
  if (!wanted.empty()) sink.stop = [&] { return seen.size() == wanted.size(); };
  WalkAttributes(setup, sink);
  for (const std::string& name : names)
    if (!seen.count(name) && std::find(missing.begin(), missing.end(), name) == missing.end()) missing.push_back(name);
  return bios;
}

Outcome SetAttributes(const SetupContext& setup, const AttributeValues& values, bool dryRun, bool textValues,
                      const WriteObserver* observer) {
  std::vector<Request> requests;
  std::unordered_set<std::string> names;
  for (const auto& [name, value] : values) {
    Request r;
    r.name = name;
    r.value = value;
    requests.push_back(std::move(r));
    names.insert(name);
  }
  auto attributes = FindAttributes(setup, names);

  ScriptEntryList entries;
  std::unordered_set<std::string> given;
  // Variable bytes requested so far: by whom, and which value (none: not a scalar).
  std::unordered_map<std::string, std::pair<std::string, std::optional<uint64_t>>> storageOwners;
  for (Request& r : requests) {
    auto it = attributes.find(r.name);
    if (!given.insert(r.name).second) {
      r.refusal = "the attribute is given more than once";
      continue;
    }
    if (it == attributes.end()) {
      r.refusal = "no attribute of this name";
      continue;
    }
    r.attribute = &it->second;
    const Attribute& a = it->second;
    if (textValues) r.value = TypedText(a, r.value);
    std::string storage = EncodeText(a.variableName) + "-" + FormatGuidText(a.variableGuid) + "@" + std::to_string(a.offset);
    bool shared = a.special == SpecialControlKind::None;
    // A value that already holds needs no check and no write, whatever the question allows: a
    // document from get can be handed back with a few values changed.
    // Two questions over the same bytes must ask for the same bytes (none: not a scalar).
    auto conflict = [&](std::optional<uint64_t> raw) -> std::string {
      if (!shared) return {};
      auto [other, fresh] = storageOwners.try_emplace(storage, a.name, raw);
      if (fresh || (raw && other->second.second == raw)) return {};
      return "the attribute shares its variable bytes with " + other->second.first + ", also given another value";
    };
    if (!a.current.is_null() && r.value == a.current) {
      r.normalized = a.current;
      r.refusal = conflict(a.currentRaw);
      continue;
    }
    if (!a.unreachable.empty()) {
      r.refusal = "cannot be set: " + a.unreachable;
      continue;
    }
    if (a.readOnly) {
      r.refusal = a.grayOut ? "read-only: the question is grayed out" : "read-only: the question is marked read-only";
      continue;
    }
    ScriptEntry entry;
    r.refusal = BuildEntry(a, r.value, entry, r.normalized);
    if (!r.refusal.empty()) continue;
    std::optional<uint64_t> raw;
    if (a.currentRaw) raw = a.width >= 8 ? entry.value : entry.value & ((uint64_t{1} << (8 * a.width)) - 1);
    r.refusal = conflict(raw);
    if (!r.refusal.empty()) continue;
    r.entry = static_cast<int>(entries.size());
    entries.push_back(std::move(entry));
  }

  // The import's own checks, without writing: its findings are the refusals.
  bool checkFailed = false;
  if (!entries.empty()) {
    std::map<size_t, std::string> findings;
    Status checked;
    {
      ConsoleCapture quiet;
      checked = CheckEntries(setup, entries, [&](size_t index, const std::wstring& finding) {
        if (!findings.count(index)) findings[index] = Trimmed(finding);
      });
    }
    checkFailed = checked != status::kSuccess;
    for (ScriptEntry& entry : entries) entry.appliedVarStore = -1;
    for (Request& r : requests) {
      if (r.entry < 0) continue;
      auto it = findings.find(static_cast<size_t>(r.entry));
      if (it != findings.end()) r.refusal = it->second;
      else if (checkFailed) r.refusal = "the import refused the value of a boot order, legacy order or language control";
      else if (!entries[static_cast<size_t>(r.entry)].Matched) r.refusal = "the import found no question for it";
    }
    for (ScriptEntry& entry : entries) entry.Matched = false;
  }

  Outcome outcome;
  Json& report = outcome.report;
  report["DryRun"] = dryRun;
  Json changed = Json::array(), unchanged = Json::array(), refused = Json::array(), failed = Json::array();
  bool anyRefused = false, resetRequired = false;
  for (const Request& r : requests) {
    if (r.refusal.empty()) continue;
    anyRefused = true;
    refused.push_back(Json{{"AttributeName", r.name}, {"Value", r.value}, {"Reason", r.refusal}});
  }
  for (const Request& r : requests) {
    if (!r.refusal.empty()) continue;
    if (r.attribute->current == r.normalized) {
      unchanged.push_back(r.name);
    } else {
      changed.push_back(Json{{"AttributeName", r.name}, {"OldValue", r.attribute->current}, {"NewValue", r.normalized}});
      resetRequired = resetRequired || r.attribute->resetRequired;
    }
  }

  if (anyRefused) {
    // A refused value leaves every variable as it was: nothing is written.
    changed = Json::array();
    unchanged = Json::array();
    resetRequired = false;
    outcome.status = kExitRefused;
  } else if (!dryRun && !entries.empty() && observer && !observer->beforeWrite(Planned(requests))) {
    // The journal cannot record the change (it said why): nothing is written.
    changed = Json::array();
    resetRequired = false;
    outcome.status = kExitJournal;
  } else if (!dryRun && !entries.empty()) {
    RunState& run = setup.run;
    run.ImportErrors = false;
    run.ResetRequired = false;
    bool specialRefused = false;
    Status result = ImportEntriesOnce(setup, entries, &specialRefused);
    if (observer) observer->afterWrite();
    resetRequired = run.ResetRequired;
    // Read back: a value holds when `get` now shows it.
    auto after = FindAttributes(setup, names);
    for (const Request& r : requests) {
      auto it = after.find(r.name);
      const Json* now = it == after.end() ? nullptr : &it->second.current;
      if (now && *now == r.normalized) continue;
      std::string reason = run.ImportErrors ? "writing the variable failed" : "the value did not hold";
      failed.push_back(Json{{"AttributeName", r.name}, {"Value", r.normalized}, {"CurrentValue", ValueOrNull(now)},
                            {"Reason", reason}});
    }
    if (result != status::kSuccess || specialRefused || run.ImportErrors || !failed.empty()) {
      outcome.status = kExitWriteFailed;
      // What failed is not among the changes.
      Json kept = Json::array();
      for (const Json& c : changed) {
        bool bad = std::any_of(failed.begin(), failed.end(),
                               [&](const Json& f) { return f["AttributeName"] == c["AttributeName"]; });
        if (!bad) kept.push_back(c);
      }
      changed = std::move(kept);
    }
  }
  report["Changed"] = std::move(changed);
  report["Unchanged"] = std::move(unchanged);
  report["Refused"] = std::move(refused);
  report["Failed"] = std::move(failed);
  report["ResetRequired"] = resetRequired;
  return outcome;
}

Outcome DiffAttributes(const SetupContext* setup, const AttributeValues* a, const AttributeValues* b,
                       bool fromDefaults) {
  // Both sides as ordered lists of (name, value); the live side from the walk.
  AttributeValues live, defaults;
  if (setup && (!b || fromDefaults)) {
    AttributeSink sink;
    sink.attribute = [&](Attribute& attribute) {
      live.emplace_back(attribute.name, attribute.current);
      defaults.emplace_back(attribute.name, attribute.biosDefault);
    };
    WalkAttributes(*setup, sink);
  }
  const AttributeValues& left = a ? *a : live;
  const AttributeValues& right = fromDefaults ? defaults : (b ? *b : live);
  const char* leftKey = fromDefaults ? "CurrentValue" : "A";
  const char* rightKey = fromDefaults ? "DefaultValue" : "B";

  std::unordered_map<std::string, const Json*> rightByName;
  for (const auto& [name, value] : right) rightByName.emplace(name, &value);
  Json differences = Json::array();
  std::unordered_set<std::string> leftNames;
  for (const auto& [name, value] : left) {
    leftNames.insert(name);
    auto it = rightByName.find(name);
    if (it != rightByName.end() && *it->second == value) continue;
    // Against the defaults only attributes present on both sides count: no default, no finding.
    if (fromDefaults && (it == rightByName.end() || it->second->is_null())) continue;
    differences.push_back(Json{{"AttributeName", name}, {leftKey, value},
                               {rightKey, it == rightByName.end() ? Json() : *it->second}});
  }
  if (!fromDefaults) {
    for (const auto& [name, value] : right)
      if (!leftNames.count(name)) differences.push_back(Json{{"AttributeName", name}, {leftKey, Json()}, {rightKey, value}});
  }
  Outcome outcome;
  outcome.status = differences.empty() ? kExitSuccess : kExitDifferent;
  outcome.report["Differences"] = std::move(differences);
  return outcome;
}

}  // namespace kes::attrs
