#include "companions/attrs/operations.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <unordered_map>
#include <unordered_set>

#include "base/console.h"
#include "base/guid.h"
#include "base/text.h"
#include "firmware/variable_store.h"
#include "hii/hii_format.h"
#include "script/import.h"
#include "script/script_parser.h"
#include "companions/attrs/conditions.h"
#include "companions/attrs/dependencies.h"

namespace kes::attrs {

using namespace hii;

namespace {

// What one walk looks up: the attributes with the given names, and the name of every attribute it
// passed (all of them when a name was not found).
struct Lookup {
  std::unordered_map<std::string, Attribute> found;
  std::vector<std::string> names;
};

// The walk stops once every name was found, unless `every` wants to see each attribute (after
// the named ones were copied).
Lookup FindAttributes(const SetupContext& setup, const std::unordered_set<std::string>& names,
                      ConditionBook* book = nullptr, const std::function<void(Attribute&)>& every = {}) {
  Lookup out;
  AttributeSink sink;
  sink.conditions = book;
  sink.attribute = [&](Attribute& a) {
    out.names.push_back(a.name);
    if (names.count(a.name)) out.found.emplace(a.name, a);
    if (every) every(a);
  };
  if (!every) sink.stop = [&] { return out.found.size() == names.size(); };
  WalkAttributes(setup, sink);
  return out;
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
  bool valueRefusal = false;  // the value is no value of the attribute (the reason says which are)
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
      // The entries listed go first, in the order given; the others follow in their current
      // order, as efibootmgr -o users expect. Every entry listed once at most.
      if (!value.is_string()) return wrongType("a string of boot options joined by \",\"");
      std::vector<std::string> listed = Split(value.get<std::string>());
      std::vector<uint16_t> numbers;
      std::unordered_set<uint64_t> seen;
      for (const std::string& name : listed) {
        const Choice* c = ChoiceNamed(a, name);
        if (!c) return "not an option: " + name + " is not a boot option of the boot order";
        if (!seen.insert(c->value).second) return "not a boot order: " + name + " is listed more than once";
        numbers.push_back(static_cast<uint16_t>(c->value));
      }
      std::string order = value.get<std::string>();
      for (const std::string& name : Split(a.current.is_string() ? a.current.get<std::string>() : std::string())) {
        const Choice* c = ChoiceNamed(a, name);
        if (!c || !seen.insert(c->value).second) continue;
        numbers.push_back(static_cast<uint16_t>(c->value));
        order += (order.empty() ? "" : ",") + name;
      }
      if (numbers.size() != a.choices.size())
        return "Value for control (" + a.identity + ") not updated as the value specified is invalid.";
      entry.listValues = numbers;
      entry.value = numbers.size();
      f.HasListOrder = true;
      normalized = order;
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

std::string Joined(const std::vector<std::string>& items, const char* separator = ", ") {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

// What the attribute accepts, for a refusal: its ValueName texts, bounds and step, or format.
std::string Accepted(const Attribute& a) {
  auto names = [&](size_t most) {
    std::vector<std::string> out;
    for (size_t i = 0; i < a.choices.size() && i < most; ++i) out.push_back(a.choices[i].name);
    if (a.choices.size() > most) out.push_back("... (" + std::to_string(a.choices.size()) + " in all)");
    return Joined(out);
  };
  constexpr size_t kListed = 64;
  switch (a.form) {
    case ValueForm::Language: return "one of " + names(kListed);
    case ValueForm::BootOrder:
      return "boot options, each at most once, joined by \",\" (those not listed keep their current order after "
             "them): " + names(kListed);
    case ValueForm::OrderedList: return "option names, each at most once, joined by \",\": " + names(kListed);
    case ValueForm::Date: return "a date YYYY-MM-DD";
    case ValueForm::Time: return "a time HH:MM:SS";
    case ValueForm::LegacyOrder: return "none here (the legacy device order is changed through the script import)";
    default: break;
  }
  switch (a.type) {
    case AttrType::Enumeration: return "one of " + names(kListed);
    case AttrType::Boolean: return "true or false";
    case AttrType::Integer: {
      std::string low = a.lowerBound ? std::to_string(*a.lowerBound) : a.lowerBoundU ? std::to_string(*a.lowerBoundU) : "?";
      std::string high = a.upperBound ? std::to_string(*a.upperBound) : a.upperBoundU ? std::to_string(*a.upperBoundU) : "?";
      std::string step = a.scalarIncrement && *a.scalarIncrement > 1 ? " in steps of " + std::to_string(*a.scalarIncrement) : "";
      return "an integer from " + low + " to " + high + step;
    }
    case AttrType::String:
      return "a string of " + std::to_string(a.minLength.value_or(0)) + " to " + std::to_string(a.maxLength.value_or(0)) +
             " characters";
    case AttrType::Password: return "none (passwords are changed with the tool's password switches)";
  }
  return "none";
}

// Levenshtein distance of two names, ignoring the case of ASCII letters.
size_t Distance(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); };
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// The bytes a value of the request writes (none for the boot order, legacy order and language
// controls, whose variables are the firmware's own).
std::vector<VariableChange> ChangeOf(const Attribute& a, const ScriptEntry& entry) {
  std::vector<VariableChange> out;
  if (a.special != SpecialControlKind::None || a.width == 0) return out;
  VariableChange change{a.variableName, a.variableGuid, a.offset, {}};
  auto put = [&](uint64_t value, size_t width) {
    for (size_t i = 0; i < width && i < 8; ++i) change.bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  if (a.form == ValueForm::OrderedList) {
    for (uint16_t v : entry.listValues) put(v, a.width);
  } else if (a.kind == IFR_STRING) {
    for (char16_t unit : entry.stringUnits) put(unit, 2);
    if (entry.stringUnits.empty()) change.bytes = entry.stringBytes;
    change.bytes.resize(a.width, 0);
  } else {
    put(entry.value, a.width);
  }
  out.push_back(std::move(change));
  return out;
}

const char* ConditionKind(uint8_t code) {
  return code == IFR_GRAY_OUT_IF ? "gray-out-if" : code == IFR_DISABLE_IF ? "disable-if" : "suppress-if";
}

// Why a value cannot be taken while the request's own values are assumed: the attribute is then
// hidden, grayed out or disabled. `after` is the attribute's conditions evaluated so;
// `changedBy` names the requested attributes whose values change, by question opcode. Empty when
// nothing stands in the way.
std::string StateRefusal(const Attribute& a, const std::vector<AttributeCondition>& after, ConditionBook& book,
                         const std::unordered_map<size_t, std::string>& changedBy) {
  ConditionFlags flags = FlagsOf(after);
  if (!flags.hidden && !flags.grayOut) return {};
  const char* kind = nullptr;
  bool caused = false;
  std::vector<std::string> causes;
  for (size_t i = 0; i < after.size(); ++i) {
    const AttributeCondition& c = after[i];
    bool hides = c.code == IFR_SUPPRESS_IF || c.code == IFR_DISABLE_IF;
    if (!c.holds || hides != flags.hidden) continue;
    if (a.conditions[i].holds && kind) continue;
    kind = ConditionKind(c.code);
    if (a.conditions[i].holds) continue;
    caused = true;
    for (const TermQuestion& q : book.Terms(c).questions) {
      auto it = changedBy.find(q.control);
      if (it != changedBy.end() && std::find(causes.begin(), causes.end(), it->second) == causes.end())
        causes.push_back(it->second);
    }
  }
  std::string state = flags.hidden ? "hidden" : "read-only: the question is grayed out";
  std::string tail = std::string("; no value is accepted while it is ") + (flags.hidden ? "hidden" : "grayed out");
  if (!caused) return state + ": its " + kind + " holds on the current values" + tail;
  std::string who = causes.empty() ? "the other values of this request make"
                    : causes.size() == 1 ? "the new value of " + causes[0] + " makes"
                                         : "the new values of " + Joined(causes) + " make";
  return state + " after this request: " + who + " its " + kind + " hold" + tail;
}

// A request checked as a whole, nothing written.
struct Checked {
  std::vector<Request> requests;
  std::unordered_set<std::string> names;
  Lookup lookup;
  ScriptEntryList entries;
  std::vector<VariableChange> changes;  // what the values that pass would write
};

// Checks every value as the import would and, with `checkConditions`, each value's attribute on
// the state the whole request makes: a value for an attribute hidden, grayed out or disabled
// then is refused. `every` sees every attribute of the walk; `assumed` is called while the
// request's values are assumed.
Checked CheckRequest(const SetupContext& setup, const AttributeValues& values, bool textValues, bool checkConditions,
                     ConditionBook& book, const std::function<void(Attribute&)>& every = {},
                     const std::function<void(ConditionBook&)>& assumed = {}) {
  Checked out;
  std::vector<Request>& requests = out.requests;
  for (const auto& [name, value] : values) {
    Request r;
    r.name = name;
    r.value = value;
    requests.push_back(std::move(r));
    out.names.insert(name);
  }
  out.lookup = FindAttributes(setup, out.names, &book, every);
  auto& attributes = out.lookup.found;
  ScriptEntryList& entries = out.entries;

  std::unordered_set<std::string> given;
  // The nearest names are looked for the first few unknown names only: each search reads every
  // name.
  constexpr size_t kSuggested = 16;
  size_t unknown = 0;
  // Variable bytes requested so far: by whom, and which value (none: not a scalar; the current
  // value for one that is unchanged).
  struct Owner {
    std::string name;
    std::optional<uint64_t> raw;
    bool unchanged;
  };
  std::unordered_map<std::string, Owner> storageOwners;
  for (Request& r : requests) {
    auto it = attributes.find(r.name);
    if (!given.insert(r.name).second) {
      r.refusal = "the attribute is given more than once; give it once";
      continue;
    }
    if (it == attributes.end()) {
      r.refusal = "no attribute of this name" + (++unknown <= kSuggested ? SuggestNames(r.name, out.lookup.names) : "");
      continue;
    }
    r.attribute = &it->second;
    const Attribute& a = it->second;
    if (textValues) r.value = TypedText(a, r.value);
    std::string storage = EncodeText(a.variableName) + "-" + FormatGuidText(a.variableGuid) + "@" + std::to_string(a.offset);
    bool shared = a.special == SpecialControlKind::None;
    // Two questions over the same bytes must ask for the same bytes: the same scalar, or both
    // the values they hold now.
    auto conflict = [&](std::optional<uint64_t> raw, bool unchanged) -> std::string {
      if (!shared) return {};
      auto [other, fresh] = storageOwners.try_emplace(storage, Owner{a.name, raw, unchanged});
      const Owner& o = other->second;
      if (fresh || (raw && o.raw == raw) || (unchanged && o.unchanged)) return {};
      return "the attribute shares its variable bytes with " + o.name + ", also given another value; accepted: the value that " +
             o.name + " is given";
    };
    // A value that already holds needs no check and no write, whatever the question allows: a
    // document from get can be handed back as it is, or with a few values changed (a null, as
    // get shows a password or a value no option has, holds where get shows null).
    if (a.current.is_null() ? r.value.is_null() : r.value == a.current) {
      r.normalized = a.current;
      r.refusal = conflict(a.currentRaw, true);
      continue;
    }
    if (!a.unreachable.empty()) {
      r.refusal = "cannot be set: " + a.unreachable;
      continue;
    }
    if (a.readOnlyFlag || (!checkConditions && a.readOnly)) {
      r.refusal = a.readOnlyFlag ? "read-only: the question is marked read-only; no value is accepted"
                                 : "read-only: the question is grayed out";
      continue;
    }
    ScriptEntry entry;
    r.refusal = BuildEntry(a, r.value, entry, r.normalized);
    r.valueRefusal = !r.refusal.empty();
    if (!r.refusal.empty()) continue;
    std::optional<uint64_t> raw;
    if (a.currentRaw) raw = a.width >= 8 ? entry.value : entry.value & ((uint64_t{1} << (8 * a.width)) - 1);
    r.refusal = conflict(raw, false);
    if (!r.refusal.empty()) continue;
    r.entry = static_cast<int>(entries.size());
    entries.push_back(std::move(entry));
  }

  // The import's own checks, without writing: its findings are the refusals.
  if (!entries.empty()) {
    std::map<size_t, std::string> findings;
    Status checked;
    {
      ConsoleCapture quiet;
      checked = CheckEntries(setup, entries, [&](size_t index, const std::wstring& finding) {
        if (!findings.count(index)) findings[index] = Trimmed(finding);
      });
    }
    bool checkFailed = checked != status::kSuccess;
    for (ScriptEntry& entry : entries) entry.appliedVarStore = -1;
    for (Request& r : requests) {
      if (r.entry < 0) continue;
      auto it = findings.find(static_cast<size_t>(r.entry));
      if (it != findings.end()) r.refusal = it->second;
      else if (checkFailed) r.refusal = "the import refused the value of a boot order, legacy order or language control";
      else if (!entries[static_cast<size_t>(r.entry)].Matched) r.refusal = "the import found no question for it";
      r.valueRefusal = !r.refusal.empty();
    }
    for (ScriptEntry& entry : entries) entry.Matched = false;
  }

  // The conditions on the state after the whole request: every value that would be written is
  // assumed at once, so the order of the values makes no difference.
  if (checkConditions) {
    std::vector<VariableChange>& changes = out.changes;
    std::unordered_map<size_t, std::string> changedBy;
    for (const Request& r : requests) {
      if (r.entry < 0 || !r.refusal.empty()) continue;
      for (VariableChange& c : ChangeOf(*r.attribute, entries[static_cast<size_t>(r.entry)])) changes.push_back(std::move(c));
      changedBy.emplace(r.attribute->opcode, r.name);
    }
    book.Assume(changes);
    // A value for an attribute that is then hidden or grayed out is refused for that, whether
    // or not the value itself would do.
    for (Request& r : requests) {
      bool checked = r.valueRefusal || (r.entry >= 0 && r.refusal.empty());
      if (!checked) continue;
      std::vector<AttributeCondition> after = r.attribute->conditions;
      for (AttributeCondition& c : after) c.holds = book.Holds(c);
      std::string state = StateRefusal(*r.attribute, after, book, changedBy);
      if (state.empty()) continue;
      r.refusal = std::move(state);
      r.valueRefusal = false;
    }
    if (assumed) assumed(book);
    book.Forget();
  }
  for (Request& r : requests) {
    if (!r.valueRefusal || !r.attribute) continue;
    if (r.refusal.back() == '.') r.refusal.pop_back();
    r.refusal += "; accepted: " + Accepted(*r.attribute);
  }
  return out;
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
  ConditionBook book(setup);
  DependencyWriter dependencies(book, setup.database.Format() != HiiFormat::Older);
  std::vector<Menu> menus;
  std::vector<ArrayProducer> arrays{
      [&](const ElementSink& element) {
        AttributeSink sink;
        sink.conditions = &book;
        sink.menus = [&](const std::vector<Menu>& all) { menus = all; };
        RegistryEntries entries;
        auto ready = [&](Attribute&& a) { element(entries.Make(std::move(a))); };
        sink.attribute = [&](Attribute& a) { dependencies.Add(std::move(a), ready); };
        WalkAttributes(setup, sink);
        dependencies.Finish(ready);
      },
      [&](const ElementSink& element) {
        for (const Menu& m : menus) element(MenuEntry(m));
      },
      [&](const ElementSink& element) { dependencies.Write(element); },
  };
  return SerializeStreamed(NewRegistry(), arrays, out);
}

Json BuildBios(const SetupContext& setup, const std::vector<std::string>& names, Defaults defaults,
               std::vector<std::string>& missing) {
  Json bios = NewBios(defaults == Defaults::None ? "BIOS Configuration Current Settings"
                      : defaults == Defaults::Bios ? "BIOS Configuration Defaults"
                                                   : "BIOS Configuration Manufacturing Defaults");
  Json& attributes = bios["Attributes"];
  std::unordered_set<std::string> wanted(names.begin(), names.end());
  std::unordered_set<std::string> seen;
  std::vector<std::string> walked;  // for the names nearest to one that is missing
  AttributeSink sink;
  sink.describe = false;
  sink.defaults = defaults != Defaults::None;
  sink.attribute = [&](Attribute& a) {
    if (!wanted.empty()) {
      walked.push_back(a.name);
      if (!wanted.count(a.name)) return;
      seen.insert(a.name);
    }
    // Names are unique: appended without the ordered object's linear search for the key.
    AppendMember(attributes, std::move(a.name),
                 std::move(defaults == Defaults::None ? a.current : defaults == Defaults::Bios ? a.biosDefault : a.mfgDefault));
  };
  if (!wanted.empty()) sink.stop = [&] { return seen.size() == wanted.size(); };
  WalkAttributes(setup, sink);
  for (const std::string& name : names) {
    if (seen.count(name) || !wanted.count(name)) continue;
    wanted.erase(name);
    missing.push_back(name + (missing.size() < 16 ? SuggestNames(name, walked) : ""));
  }
  return bios;
}

std::string SuggestNames(const std::string& unknown, const std::vector<std::string>& names) {
  constexpr size_t kShown = 3;
  std::vector<std::pair<size_t, size_t>> best;  // (distance, position), nearest first
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    size_t gap = name.size() > unknown.size() ? name.size() - unknown.size() : unknown.size() - name.size();
    if (best.size() == kShown && gap >= best.back().first) continue;  // cannot be nearer
    size_t d = Distance(unknown, name);
    if (best.size() == kShown && d >= best.back().first) continue;
    best.emplace(std::upper_bound(best.begin(), best.end(), std::make_pair(d, i)), d, i);
    if (best.size() > kShown) best.pop_back();
  }
  if (best.empty()) return {};
  std::vector<std::string> shown;
  for (const auto& [d, i] : best) shown.push_back(names[i]);
  return "; nearest: " + Joined(shown);
}

Outcome SetAttributes(const SetupContext& setup, const AttributeValues& values, bool dryRun, bool textValues,
                      bool checkConditions, const WriteObserver* observer) {
  ConditionBook book(setup);
  Checked checked = CheckRequest(setup, values, textValues, checkConditions, book);
  const std::vector<Request>& requests = checked.requests;
  ScriptEntryList& entries = checked.entries;

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
    run.ProtectedRefused.clear();
    bool specialRefused = false;
    Status result = ImportEntriesOnce(setup, entries, &specialRefused);
    if (observer) observer->afterWrite();
    resetRequired = run.ResetRequired;
    // The evaluator's copies of the variables written follow the firmware, so that conditions
    // evaluated later in this process (a mount's next write) see the new values.
    if (setup.evaluator) {
      for (const VariableChange& c : checked.changes)
        if (auto bytes = GetNVRAMVariable(setup.firmware, c.name, c.guid))
          setup.evaluator->ReplaceEvaluationVariableBytes(c.name, c.guid, std::move(*bytes));
    }
    // Read back: a value holds when `get` now shows it.
    auto after = FindAttributes(setup, checked.names).found;
    for (const Request& r : requests) {
      auto it = after.find(r.name);
      const Json* now = it == after.end() ? nullptr : &it->second.current;
      if (now && *now == r.normalized) continue;
      std::string reason = run.ImportErrors ? "writing the variable failed" : "the value did not hold";
      const auto& guarded = run.ProtectedRefused;
      if (std::find(guarded.begin(), guarded.end(), r.attribute->variableName) != guarded.end())
        reason += ": " + EncodeText(r.attribute->variableName) + " is protected; " + std::string(kPasswordAdvice);
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

Outcome PlanAttributes(const SetupContext& setup, const AttributeValues& values, bool textValues) {
  // Every attribute under a condition, with its state as read.
  struct Watched {
    std::string name;
    std::vector<AttributeCondition> conditions;
    bool readOnlyFlag, hidden, grayOut, readOnly;
  };
  std::vector<Watched> watched;
  Json changes = Json::object();
  auto every = [&](Attribute& a) {
    if (!a.conditions.empty())
      watched.push_back({a.name, std::move(a.conditions), a.readOnlyFlag, a.hidden, a.grayOut, a.readOnly});
  };
  auto assumed = [&](ConditionBook& book) {
    for (Watched& w : watched) {
      for (AttributeCondition& c : w.conditions) c.holds = book.Holds(c);
      ConditionFlags after = FlagsOf(w.conditions);
      bool readOnly = w.readOnlyFlag || after.grayOut || after.disabled;
      Json change = Json::object();
      if (after.hidden != w.hidden) change["Hidden"] = Json::array({w.hidden, after.hidden});
      if (after.grayOut != w.grayOut) change["GrayOut"] = Json::array({w.grayOut, after.grayOut});
      if (readOnly != w.readOnly) change["ReadOnly"] = Json::array({w.readOnly, readOnly});
      if (!change.empty()) Members(changes).emplace_back(w.name, std::move(change));
    }
  };
  ConditionBook book(setup);
  Checked checked = CheckRequest(setup, values, textValues, true, book, every, assumed);
  Outcome outcome;
  Json requested = Json::array();
  for (const Request& r : checked.requests) {
    Json e = Json::object();
    e["AttributeName"] = r.name;
    e["Value"] = r.value;
    if (r.refusal.empty()) {
      e["Result"] = "applies";
      e["OldValue"] = r.attribute->current;
      e["NewValue"] = r.normalized;
    } else {
      e["Result"] = "refused";
      e["Reason"] = r.refusal;
      outcome.status = kExitRefused;
    }
    requested.push_back(std::move(e));
  }
  outcome.report["requested"] = std::move(requested);
  outcome.report["changes"] = std::move(changes);
  return outcome;
}

Outcome FindAttributesByText(const SetupContext& setup, const std::string& text) {
  auto lower = [](std::string t) {
    for (char& c : t)
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return t;
  };
  std::string wanted = lower(text);
  Json found = Json::array();
  AttributeSink sink;
  sink.attribute = [&](Attribute& a) {
    if (lower(a.name).find(wanted) == std::string::npos && lower(a.displayName).find(wanted) == std::string::npos &&
        lower(a.helpText).find(wanted) == std::string::npos)
      return;
    Json e = Json::object();
    e["AttributeName"] = std::move(a.name);
    e["DisplayName"] = std::move(a.displayName);
    e["HelpText"] = std::move(a.helpText);
    e["MenuPath"] = std::move(a.menuPath);
    e["CurrentValue"] = std::move(a.current);
    found.push_back(std::move(e));
  };
  WalkAttributes(setup, sink);
  Outcome outcome;
  outcome.status = found.empty() ? kExitDifferent : kExitSuccess;
  outcome.report["Attributes"] = std::move(found);
  return outcome;
}

std::string FoundLines(const Json& report) {
  std::string out;
  for (const Json& e : report["Attributes"]) {
    out += e["AttributeName"].get<std::string>() + " = " + e["CurrentValue"].dump(-1, ' ', false, Json::error_handler_t::replace);
    out += "  " + e["DisplayName"].get<std::string>() + " (" + e["MenuPath"].get<std::string>() + ")\n";
  }
  return out;
}

Outcome DiffAttributes(const SetupContext* setup, const AttributeValues* a, const AttributeValues* b,
                       bool fromDefaults) {
  // Both sides as ordered lists of (name, value); the live side from the walk, which also gives
  // each attribute's display name.
  AttributeValues live, defaults;
  std::unordered_map<std::string, std::string> displayNames;
  if (setup) {
    AttributeSink sink;
    sink.attribute = [&](Attribute& attribute) {
      displayNames.emplace(attribute.name, attribute.displayName);
      live.emplace_back(attribute.name, attribute.current);
      defaults.emplace_back(attribute.name, attribute.biosDefault);
    };
    WalkAttributes(*setup, sink);
  }
  const AttributeValues& left = a ? *a : live;
  const AttributeValues& right = fromDefaults ? defaults : (b ? *b : live);
  const char* leftKey = fromDefaults ? "CurrentValue" : "A";
  const char* rightKey = fromDefaults ? "DefaultValue" : "B";
  auto displayName = [&](const std::string& name) {
    auto it = displayNames.find(name);
    return it == displayNames.end() ? Json() : Json(it->second);
  };

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
    differences.push_back(Json{{"AttributeName", name}, {"DisplayName", displayName(name)}, {leftKey, value},
                               {rightKey, it == rightByName.end() ? Json() : *it->second}});
  }
  if (!fromDefaults) {
    for (const auto& [name, value] : right)
      if (!leftNames.count(name))
        differences.push_back(Json{{"AttributeName", name}, {"DisplayName", displayName(name)}, {leftKey, Json()}, {rightKey, value}});
  }
  Outcome outcome;
  outcome.status = differences.empty() ? kExitSuccess : kExitDifferent;
  outcome.report["Differences"] = std::move(differences);
  return outcome;
}

}  // namespace kes::attrs
