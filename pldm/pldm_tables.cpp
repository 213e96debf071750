#include "pldm/pldm_tables.h"

#include <algorithm>

#include "base/console.h"
#include "base/debug_log.h"
#include "base/text.h"
#include "hii/hii_format.h"
#include "hii/strings.h"
#include "script/script_defaults.h"

namespace kes::pldm {

using namespace hii;

namespace {

constexpr uint16_t kSkippedFormId = 0x401;
constexpr uint16_t kSkippedFormTitle = 2;
constexpr uint8_t kOptionDefaultFlag = 0x10;
constexpr size_t kDefaultType = 4;   // EFI_IFR_DEFAULT: DefaultId (2), Type (1), Value
constexpr size_t kDefaultValue = 5;

std::string LanguageTag(Bytes package) {
  std::string tag;
  for (size_t i = kStringLanguage; i < package.size() && package[i] != 0; ++i) tag.push_back(static_cast<char>(package[i]));
  return tag;
}

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    out.push_back(text.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

// The namespaces whose strings are the keywords, later ones overriding earlier ones: the
// default pair, or the /lang code's items reversed and completed with the namespace it lacks.
std::vector<std::string> KeywordNamespaces(const RunState& run) {
  if (!run.Given(Switch::Lang) || !run.langCode || run.langCode->empty()) return {"x-UEFI-Vorn", "x-Vorn"};
  std::string code = ToNarrow(*run.langCode);
  std::vector<std::string> items = SplitCommas(code);
  std::reverse(items.begin(), items.end());
  bool uefi = code.find("x-UEFI-Vorn") != std::string::npos;
  bool plain = false;
  for (size_t at = code.find("x-Vorn"); at != std::string::npos; at = code.find("x-Vorn", at + 1)) plain = true;
  if (uefi && !plain) items.insert(items.begin(), "x-Vorn");
  else if (plain && !uefi) items.insert(items.begin(), "x-UEFI-Vorn");
  return items;
}

std::u16string ToU16(std::wstring_view text) { return WideToUtf16(text); }

const OptionRecord* OptionWithValue(const QuestionRecord& record, uint64_t value, size_t* position = nullptr) {
  const auto& options = record.ValueInfo.Options;
  for (size_t i = 0; i < options.size(); ++i) {
    if (options[i].Value != value) continue;
    if (position) *position = i;
    return &options[i];
  }
  return nullptr;
}

// The IFR default of a question: its DEFAULT opcode, else its option marked default.
std::optional<uint64_t> IfrDefault(Bytes image, const QuestionRecord& record) {
  if (auto op = DefaultOpcode(image, record)) {
    size_t width = IfrValueWidth(Le8(op->bytes, kDefaultType));
    if (width && Fits(op->bytes, kDefaultValue, width)) return LeN(op->bytes, kDefaultValue, width);
  }
  for (const OptionRecord& o : record.ValueInfo.Options)
    if (o.Flags & kOptionDefaultFlag) return o.Value;
  return std::nullopt;
}

void Dump(const RunState& run, const PackEntry& pack, const AttributeRecord& record) {
  if (!run.log.Enabled()) return;
  const Attribute& a = record.attribute;
  DebugLog(&run.log, LV_MODL, "P: %x h: %x Attrib %x %x\n", static_cast<unsigned>(pack.listIndex), a.handle, a.type,
           a.nameHandle);
  const Value& v = record.value;
  if (BaseType(v.type) == kInteger)
    DebugLog(&run.log, LV_MODL, "Value numeric %llx\n", static_cast<unsigned long long>(v.value));
  else
    DebugLog(&run.log, LV_MODL, "Value Number of values %x!\n", static_cast<unsigned>(v.indexes.size() + v.bytes.size()));
}

}  // namespace

bool IsSignedQuestion(Bytes image, const QuestionRecord& record) {
  if (record.Kind != IFR_NUMERIC) return false;
  auto op = OpAt(image, record.Opcode, record.ScopeLimit);
  return op && NumericDisplay(*op, record) == kDisplaySignedDecimal;
}

IntegerFields IntegerAttributeFields(Bytes image, const QuestionRecord& record, std::optional<uint64_t> stdDefault) {
  IntegerFields f;
  size_t width = record.Kind == IFR_DATE ? 4 : record.Kind == IFR_TIME ? 3 : record.Kind == IFR_CHECKBOX ? 1 : record.Width;
  bool isSigned = IsSignedQuestion(image, record);
  // A value of the question's storage as the tables carry it.
  auto encode = [&](uint64_t raw) {
    return isSigned ? static_cast<uint64_t>(SignExtend(raw, width)) : raw & WidthMask(width);
  };
  uint64_t ifrStep = 0;
  switch (record.Kind) {
    case IFR_NUMERIC: {
      f.lower = encode(record.ValueInfo.Minimum);
      f.upper = encode(record.ValueInfo.Maximum);
      auto op = OpAt(image, record.Opcode, record.ScopeLimit);
      if (op && !record.OlderEncoding) ifrStep = LeN(op->bytes, kNumericMin + 2 * width, width);
      break;
    }
    case IFR_CHECKBOX:
      f.upper = 1;
      break;
    default:
      // Dates and times: the packed fields, any value of the width; the import checks each field.
      f.upper = WidthMask(width);
      break;
  }
  auto inside = [&](uint64_t v) {
    if (isSigned) return static_cast<int64_t>(v) >= static_cast<int64_t>(f.lower) && static_cast<int64_t>(v) <= static_cast<int64_t>(f.upper);
    return v >= f.lower && v <= f.upper;
  };
  f.defaultValue = f.lower;
  std::optional<uint64_t> ifr = IfrDefault(image, record);
  // A stored default wider than the question's storage is no value of it.
  if (stdDefault && *stdDefault <= WidthMask(width) && inside(encode(*stdDefault))) f.defaultValue = encode(*stdDefault);
  else if (ifr && *ifr <= WidthMask(width) && inside(encode(*ifr))) f.defaultValue = encode(*ifr);
  if (f.lower != f.upper) {
    bool onStep = ifrStep >= 1 && ifrStep <= UINT32_MAX && (f.defaultValue - f.lower) % ifrStep == 0;
    f.step = onStep ? static_cast<uint32_t>(ifrStep) : 1;
  }
  return f;
}

size_t OrderedListElements(Bytes image, const QuestionRecord& record, const VarStoreEntry& store) {
  size_t width = record.Width ? record.Width : 1;
  auto op = OpAt(image, record.Opcode, record.ScopeLimit);
  size_t containers = op ? Le8(op->bytes, kOrderedMaxContainers) : 0;
  if (record.OlderEncoding || containers == 0) containers = record.ValueInfo.Options.size();
  size_t room = record.VarOffset < store.Size ? (store.Size - record.VarOffset) / width : 0;
  return std::min({containers, record.ValueInfo.Options.size(), room});
}

std::optional<std::vector<uint8_t>> CurrentBytes(Bytes image, const QuestionRecord& record, const VarStoreTable& table) {
  const VarStoreEntry* store = table.At(record.VarStoreIndex);
  if (!store) return std::nullopt;
  size_t length = record.Width;
  if (record.Kind == IFR_ORDERED_LIST) length = OrderedListElements(image, record, *store) * (record.Width ? record.Width : 1);
  else if (record.Kind == IFR_DATE) length = 4;
  else if (record.Kind == IFR_TIME) length = 3;
  if (static_cast<size_t>(record.VarOffset) + length > store->Size) return std::nullopt;
  return table.GetVarStoreValue(record.VarStoreIndex, record.VarOffset, length);
}

uint16_t PackEntry::UseString(uint16_t id) {
  if (id >= 1 && id <= strings.size()) strings[id - 1].used = true;
  return static_cast<uint16_t>(StringHandle(id));
}

uint16_t PackEntry::NewString(std::u16string text) {
  if (HasKeywords()) keywords.emplace_back(text);
  strings.push_back({true, std::move(text)});
  return static_cast<uint16_t>(firstStringHandle + strings.size() - 1);
}

const std::u16string* PackEntry::Keyword(uint16_t id) const {
  if (id == 0 || id > keywords.size() || !keywords[id - 1]) return nullptr;
  return &*keywords[id - 1];
}

const std::u16string* PackEntry::Text(uint16_t id) const {
  if (id == 0 || id > strings.size() || !strings[id - 1].text) return nullptr;
  return &*strings[id - 1].text;
}

PldmWalk::PldmWalk(const SetupContext& setup)
    : setup_(setup),
      walk_(setup.NewWalk()),
      special_({setup.run, setup.firmware, walk_.VarStores()}),
      stores_(setup.firmware) {
  defaults_ = LoadDefaultsSource(stores_);
}

PldmWalk::~PldmWalk() = default;

bool PldmWalk::WithBoot() const { return setup_.run.Given(Switch::B); }

Status PldmWalk::LoadStrings(PackEntry& pack, const Package& english) {
  const StringPackageIndex* index = setup_.database.StringIndex(english);
  if (!index) return status::kSuccess;
  if (index->unsupported) throw UnsupportedStringBlocks();
  pack.strings.resize(index->lastId);
  for (uint32_t id = 1; id <= index->lastId; ++id) {
    Bytes text;
    if (FindStringText(setup_.database, english, static_cast<uint16_t>(id), text) != StringFound::Yes) continue;
    std::u16string units;
    units.reserve(text.size() / 2);
    for (size_t at = 0; at + 1 < text.size(); at += 2) units.push_back(static_cast<char16_t>(Le16(text, at)));
    pack.strings[id - 1].text = std::move(units);
  }
  return status::kSuccess;
}

Status PldmWalk::LoadKeywords(PackEntry& pack) {
  bool found = false;
  std::vector<std::optional<std::u16string>> keywords(pack.strings.size());
  for (const std::string& ns : KeywordNamespaces(setup_.run)) {
    for (const Package& p : setup_.database.PackagesOf(*pack.list)) {
      if (p.type != kPackageStrings || LanguageTag(p.bytes) != ns) continue;
      const StringPackageIndex* index = setup_.database.StringIndex(p);
      if (!index) break;
      if (index->unsupported) {
        Print(Stream::Err, L"ERROR:%X - The keyword strings (%ls) use string blocks that cannot be read.\n",
              status::kFailure, ToWide(ns).c_str());
        return status::kFailure;
      }
      found = true;
      uint32_t last = std::min<uint32_t>(index->lastId, static_cast<uint32_t>(keywords.size()));
      for (uint32_t id = 1; id <= last; ++id) {
        Bytes text;
        if (FindStringText(setup_.database, p, static_cast<uint16_t>(id), text) != StringFound::Yes) continue;
        std::u16string units;
        for (size_t at = 0; at + 1 < text.size(); at += 2) units.push_back(static_cast<char16_t>(Le16(text, at)));
        keywords[id - 1] = std::move(units);
      }
      break;
    }
  }
  if (found) pack.keywords = std::move(keywords);
  return status::kSuccess;
}

bool PldmWalk::IsPldmExportable(const PackEntry& pack, QuestionRecord& record) {
  if (record.Prompt == 0) return false;
  const VarStoreEntry* store = walk_.VarStores().At(record.VarStoreIndex);
  if (!store || store->Size == 0 || static_cast<size_t>(record.VarOffset) + record.Width > store->Size) return false;
  if (!setup_.strings.GetString(*pack.list, record.Prompt, true)) return false;
  if (record.ValueInfo.Flags & 1) {
    SpecialControlKind kind = special_.KindOf(record);
    if (kind == SpecialControlKind::Language || kind == SpecialControlKind::PlatformLanguage) return true;
    return (kind == SpecialControlKind::BootOrder || kind == SpecialControlKind::LegacyOrder) && WithBoot();
  }
  switch (record.Kind) {
    case IFR_ONE_OF: case IFR_CHECKBOX: case IFR_NUMERIC: case IFR_PASSWORD:
    case IFR_DATE: case IFR_TIME: case IFR_STRING: case IFR_ORDERED_LIST:
      break;
    default:
      return false;
  }
  if (!setup_.run.Given(Switch::Ndef) || record.Kind == IFR_STRING || record.Kind == IFR_PASSWORD) return true;

  // /ndef: only values that differ from every default the question has.
  Bytes image = setup_.database.Image();
  auto current = CurrentBytes(image, record, walk_.VarStores());
  if (!current) return false;
  size_t width = record.Width ? record.Width : 1;
  bool anyDefault = false;
  if (record.Kind == IFR_ORDERED_LIST) {
    bool inOptionOrder = true;
    for (size_t i = 0; i * width < current->size(); ++i)
      if (LeN(*current, i * width, width) != record.ValueInfo.Options[i].Value) inOptionOrder = false;
    if (inOptionOrder) return false;
    anyDefault = true;
  } else if (auto ifr = IfrDefault(image, record)) {
    anyDefault = true;
    size_t compared = std::min<size_t>(current->size(), 8);
    if ((*ifr & WidthMask(compared)) == LeN(*current, 0, compared)) return false;
  }
  if (defaults_.stdPresent) {
    auto std = defaults_.find(false, *store, record.VarOffset, current->size());
    if (!std || *std == *current) return false;
    anyDefault = true;
  }
  return anyDefault;
}

Status PldmWalk::Run(const std::function<void(PackEntry&, QuestionRecord&)>& question,
                     const std::function<bool(PackEntry&)>& done) {
  uint32_t nextString = kFirstHandle, nextAttribute = kFirstHandle;
  const auto& lists = setup_.database.Lists();
  if (setup_.database.Format() != HiiFormat::Uefi) return status::kSuccess;
  for (size_t listIndex = 0; listIndex < lists.size(); ++listIndex) {
    const PackageList& list = lists[listIndex];
    walk_.VarStores().Clear();
    special_.FreeBootOptions();
    bool forms = false;
    std::optional<Package> english;
    for (const Package& p : setup_.database.PackagesOf(list)) {
      if (p.type == kPackageForms) forms = true;
      if (!english && p.type == kPackageStrings) {
        std::string tag = LanguageTag(p.bytes);
        if (tag == "en-US" || tag == "en") english = p;
      }
    }
    if (!forms || !english) continue;
    auto formSet = walk_.FirstFormSet(list);
    if (!formSet) continue;

    PackEntry pack;
    pack.list = &list;
    pack.listIndex = listIndex;
    pack.firstStringHandle = nextString;
    pack.firstAttributeHandle = nextAttribute;
    if (Status s = LoadStrings(pack, *english); s != status::kSuccess) return s;
    if (Status s = LoadKeywords(pack); s != status::kSuccess) return s;

    FormInfo current;
    const FormInfo* previous = nullptr;
    while (auto form = walk_.NextForm(*formSet, previous)) {
      current = *form;
      previous = &current;
      // The front page form and forms reached only through hidden references are walked (so
      // that the forms they refer to are known) but contribute nothing.
      bool skipped = (current.formId == kSkippedFormId && current.title == kSkippedFormTitle) ||
                     walk_.LookupReference(formSet->guid, current.formId).hidden;
      size_t cursor = 0;
      QuestionRecord record;
      while (true) {
        QuestionStep step = walk_.NextQuestion(*formSet, current, cursor, record);
        if (step == QuestionStep::FormDone) break;
        if (step != QuestionStep::Question || skipped) continue;
        if (!IsPldmExportable(pack, record)) continue;
        question(pack, record);
      }
    }
    // The next list starts after everything this one holds, added strings and groups included
    // (`done` may take the entry away).
    uint32_t stringsEnd = pack.firstStringHandle + static_cast<uint32_t>(pack.strings.size()) + kHandleGap;
    uint32_t attributesEnd = pack.firstAttributeHandle + static_cast<uint32_t>(pack.attributes.size()) + kHandleGap;
    if (!done(pack)) continue;
    nextString = stringsEnd;
    nextAttribute = attributesEnd;
  }
  return status::kSuccess;
}

namespace {

// The attribute and value makers of one build.
class Maker {
 public:
  explicit Maker(PldmWalk& walk) : walk_(walk), setup_(walk.Setup()), image_(setup_.database.Image()) {}

  void MakeControls(PackEntry& pack, QuestionRecord& record) {
    SpecialControlKind kind = (record.ValueInfo.Flags & 1) ? walk_.Special().KindOf(record) : SpecialControlKind::None;
    switch (kind) {
      case SpecialControlKind::Language:
      case SpecialControlKind::PlatformLanguage:
        return Add(pack, record, MakeLangAttribute(pack, record));
      case SpecialControlKind::BootOrder:
        return Add(pack, record, MakeBootAttribute(pack, record));
      case SpecialControlKind::LegacyOrder:
        for (auto& made : MakeLegacyAttributes(pack, record)) Add(pack, record, std::move(made));
        return;
      default:
        break;
    }
    auto attribute = MakeAttribute(pack, record);
    if (!attribute) return;
    auto value = MakeValue(record);
    if (!value) return;
    Add(pack, record, AttributeRecord{std::move(*attribute), std::move(*value)});
  }

 private:
  void Add(PackEntry& pack, const QuestionRecord& record, std::optional<AttributeRecord> made) {
    if (!made) return;
    made->question = record.Opcode;
    uint16_t handle = static_cast<uint16_t>(pack.firstAttributeHandle + pack.attributes.size());
    made->attribute.handle = handle;
    made->value.handle = handle;
    Dump(setup_.run, pack, *made);
    pack.attributes.push_back(std::move(*made));
  }

  static bool TooMany(size_t count, size_t limit) {
    if (count <= limit) return false;
    Err(L"WARNING: Too many options\n");
    return true;
  }

  std::optional<Attribute> MakeAttribute(PackEntry& pack, const QuestionRecord& record) {
    const VarStoreEntry* store = walk_.Walk().VarStores().At(record.VarStoreIndex);
    if (!store) return std::nullopt;
    const DefaultsSource& defaults = walk_.Defaults();
    std::optional<std::vector<uint8_t>> std;
    bool scalar = record.Kind != IFR_STRING && record.Kind != IFR_PASSWORD && record.Kind != IFR_ORDERED_LIST;
    size_t length = record.Kind == IFR_DATE ? 4 : record.Kind == IFR_TIME ? 3 : record.Width;
    if (scalar && defaults.stdPresent) std = defaults.find(false, *store, record.VarOffset, length);
    uint64_t stdValue = std ? LeN(*std, 0, std::min<size_t>(std->size(), 8)) : 0;
    std::optional<uint64_t> stdDefault;
    if (std) stdDefault = stdValue;

    Attribute a;
    a.nameHandle = pack.UseString(record.Prompt);
    auto op = OpAt(image_, record.Opcode, record.ScopeLimit);
    if (!op) return std::nullopt;
    size_t width = record.Width;
    switch (record.Kind) {
      case IFR_NUMERIC:
      case IFR_CHECKBOX:
      case IFR_DATE:
      case IFR_TIME: {
        a.type = kInteger;
        IntegerFields f = IntegerAttributeFields(image_, record, stdDefault);
        a.lower = f.lower;
        a.upper = f.upper;
        a.step = f.step;
        a.defaultValue = f.defaultValue;
        break;
      }
      case IFR_STRING:
        // No default string is written (DefaultStringLength 0), so the minimum length is lowered
        // to it: a codec refuses a default shorter than the minimum. The import still checks the
        // question's own minimum.
        a.type = kString;
        a.stringType = kStringTypeUtf16;
        a.minLength = 0;
        a.maxLength = static_cast<uint16_t>(record.ValueInfo.Maximum * 2);
        break;
      case IFR_PASSWORD:
        a.type = kPassword;
        a.stringType = static_cast<uint8_t>(kPasswordTypeVendor);
        a.minLength = static_cast<uint16_t>(record.ValueInfo.Minimum * 2);
        a.maxLength = static_cast<uint16_t>(record.ValueInfo.Maximum * 2);
        break;
      case IFR_ONE_OF: {
        a.type = kEnumeration;
        if (TooMany(record.ValueInfo.Options.size(), 0xFF)) return std::nullopt;
        std::optional<uint16_t> def;
        for (const OptionRecord& o : record.ValueInfo.Options) {
          uint16_t handle = pack.UseString(o.Option);
          a.possible.push_back(handle);
          if (std && o.Value == stdValue) def = handle;
        }
        if (def) a.defaults.push_back(*def);
        break;
      }
      case IFR_ORDERED_LIST: {
        a.type = kOrderedList;
        if (TooMany(record.ValueInfo.Options.size(), 0xFFFF)) return std::nullopt;
        for (const OptionRecord& o : record.ValueInfo.Options) a.possible.push_back(pack.UseString(o.Option));
        if (defaults.stdPresent) {
          size_t elementWidth = width ? width : 1;
          size_t elements = OrderedListElements(image_, record, *store);
          auto list = defaults.find(false, *store, record.VarOffset, elements * elementWidth);
          if (!list) return std::nullopt;
          // Only elements that name an option have a handle, and the count says how many follow.
          for (size_t at = 0; at + elementWidth <= list->size(); at += elementWidth) {
            size_t position = 0;
            if (OptionWithValue(record, LeN(*list, at, elementWidth), &position)) a.defaults.push_back(a.possible[position]);
          }
        }
        break;
      }
      default:
        return std::nullopt;
    }
    return a;
  }

  std::optional<Value> MakeValue(const QuestionRecord& record) {
    auto bytes = CurrentBytes(image_, record, walk_.Walk().VarStores());
    if (!bytes) return std::nullopt;
    Value v;
    size_t width = record.Width;
    switch (record.Kind) {
      case IFR_NUMERIC:
        v.type = kInteger;
        v.value = LeN(*bytes, 0, width);
        if (IsSignedQuestion(image_, record)) v.value = static_cast<uint64_t>(SignExtend(v.value, width));
        break;
      case IFR_CHECKBOX:
        v.type = kInteger;
        v.value = LeN(*bytes, 0, 1);
        break;
      case IFR_DATE:
      case IFR_TIME:
        v.type = kInteger;
        v.value = LeN(*bytes, 0, bytes->size());
        break;
      case IFR_ONE_OF: {
        v.type = kEnumeration;
        size_t position = 0;
        if (OptionWithValue(record, LeN(*bytes, 0, width), &position)) v.indexes.push_back(static_cast<uint16_t>(position));
        break;
      }
      case IFR_ORDERED_LIST: {
        v.type = kOrderedList;
        size_t elementWidth = width ? width : 1;
        // An element that names no option keeps its place as kNoOption, so that the positions
        // of the others stay those of the storage.
        for (size_t at = 0; at + elementWidth <= bytes->size(); at += elementWidth) {
          size_t position = 0;
          bool named = OptionWithValue(record, LeN(*bytes, at, elementWidth), &position);
          v.indexes.push_back(named ? static_cast<uint16_t>(position) : kNoOption);
        }
        break;
      }
      case IFR_STRING: {
        v.type = kString;
        size_t length = bytes->size() & ~size_t{1};
        if (length >= 2 && Le16(*bytes, length - 2) == 0) {
          size_t units = 0;
          while (2 * units + 1 < length && Le16(*bytes, 2 * units) != 0) ++units;
          length = 2 * units;
        }
        v.bytes.assign(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(length));
        break;
      }
      case IFR_PASSWORD:
        // Stored password bytes never leave the machine: the current length is 0.
        v.type = kPassword;
        break;
      default:
        return std::nullopt;
    }
    return v;
  }

  std::optional<AttributeRecord> MakeLangAttribute(PackEntry& pack, const QuestionRecord& record) {
    SpecialControls& special = walk_.Special();
    const std::vector<std::wstring>& list = special.LanguageList(record.ControlVarStoreIndex);
    if (TooMany(list.size(), 0xFF)) return std::nullopt;
    std::optional<size_t> current = special.CurrentLanguage(record);
    AttributeRecord made;
    made.attribute.type = kEnumeration;
    made.attribute.nameHandle = pack.UseString(record.Prompt);
    for (const std::wstring& code : list) made.attribute.possible.push_back(pack.NewString(ToU16(code)));
    made.value.type = kEnumeration;
    if (current) made.value.indexes.push_back(static_cast<uint16_t>(*current));
    return made;
  }

  std::optional<AttributeRecord> MakeBootAttribute(PackEntry& pack, const QuestionRecord& record) {
    SpecialControls& special = walk_.Special();
    special.ReadBootOptions();
    const std::vector<BootOption>& options = special.BootOptions();
    if (options.empty() || TooMany(options.size(), 0xFF)) return std::nullopt;
    AttributeRecord made;
    Attribute& a = made.attribute;
    a.type = kBootConfig;
    a.nameHandle = pack.NewString(u"Boot Options");
    pack.UseString(record.Prompt);
    for (const BootOption& o : options) {
      uint16_t handle = pack.NewString(ToU16(o.description));
      if (a.possible.empty()) pack.firstBootStringHandle = handle;
      a.possible.push_back(handle);
    }
    a.bootType = 3;
    a.modes = 3;
    a.minSettings = 1;
    a.maxSettings = static_cast<uint8_t>(options.size());
    made.value.type = kBootConfig;
    made.value.bootType = 3;
    made.value.mode = 3;
    for (size_t i = 0; i < options.size(); ++i) made.value.indexes.push_back(static_cast<uint16_t>(i));
    return made;
  }

  std::vector<AttributeRecord> MakeLegacyAttributes(PackEntry& pack, const QuestionRecord& record) {
    std::vector<AttributeRecord> out;
    auto groups = walk_.Special().LegacyGroups();
    if (!groups) {
      const VarStoreEntry* store = walk_.Walk().VarStores().At(record.VarStoreIndex);
      if (store && store->Data) Err(L"Warning: LegacyDevOrder variable corrupt\n");
      return out;
    }
    auto prompt = setup_.strings.GetString(*pack.list, record.Prompt, false);
    for (const LegacyGroup& group : *groups) {
      if (group.devices.empty() || TooMany(group.devices.size(), 0xFF)) continue;
      AttributeRecord made;
      Attribute& a = made.attribute;
      a.type = kBootConfig;
      a.nameHandle = pack.NewString(ToU16(SpecialControls::LegacyGroupName(group.type, prompt ? *prompt : L"")));
      for (uint16_t device : group.devices)
        a.possible.push_back(pack.NewString(ToU16(WFormat(L"%ls %04x", GetBbsTypeName(group.type), device))));
      a.bootType = 0;
      a.modes = 3;
      a.minSettings = 1;
      a.maxSettings = static_cast<uint8_t>(group.devices.size());
      made.value.type = kBootConfig;
      made.value.bootType = a.bootType;
      made.value.mode = a.modes;
      for (size_t i = 0; i < group.devices.size(); ++i) made.value.indexes.push_back(static_cast<uint16_t>(i));
      out.push_back(std::move(made));
    }
    // Groups beyond the first are extra attributes of the one question.
    if (out.size() > 1) pack.legacyGroupsDone += out.size() - 1;
    pack.UseString(record.Prompt);
    return out;
  }

  PldmWalk& walk_;
  const SetupContext& setup_;
  Bytes image_;
};

}  // namespace

Status BuildInternalTables(const SetupContext& setup, InternalTable& table) {
  table.packs.clear();
  PldmWalk walk(setup);
  Maker maker(walk);
  return walk.Run([&](PackEntry& pack, QuestionRecord& record) { maker.MakeControls(pack, record); },
                  [&](PackEntry& pack) {
                    if (pack.attributes.empty()) return false;
                    table.packs.push_back(std::move(pack));
                    return true;
                  });
}

Status CreatePldmTables(const SetupContext& setup, PldmTables& tables, InternalTable* built) {
  tables = PldmTables{};
  InternalTable table;
  if (Status s = BuildInternalTables(setup, table); s != status::kSuccess) return s;
  for (const PackEntry& pack : table.packs) {
    if (pack.firstStringHandle + pack.strings.size() > 0x10000 ||
        pack.firstAttributeHandle + pack.attributes.size() > 0x10000) {
      Print(Stream::Err, L"ERROR:%X - The Setup questions need more than 65535 PLDM handles.\n", status::kFailure);
      return status::kFailure;
    }
  }
  for (const PackEntry& pack : table.packs) {
    for (size_t i = 0; i < pack.strings.size(); ++i) {
      const StringRecord& s = pack.strings[i];
      if (!s.used) continue;
      uint16_t handle = static_cast<uint16_t>(pack.firstStringHandle + i);
      bool fits = EncodeString(tables.strings, handle, s.text ? *s.text : std::u16string());
      if (fits && i < pack.keywords.size() && pack.keywords[i] && !pack.keywords[i]->empty())
        fits = EncodeString(tables.keywords, handle, *pack.keywords[i]);
      if (!fits) {
        Print(Stream::Err, L"ERROR:%X - A string is too long for a PLDM string table entry.\n", status::kFailure);
        return status::kFailure;
      }
    }
  }
  for (const PackEntry& pack : table.packs) {
    for (const AttributeRecord& r : pack.attributes) {
      if (!EncodeAttribute(tables.attributes, r.attribute) || !EncodeValue(tables.values, r.value)) {
        Print(Stream::Err, L"ERROR:%X - An attribute does not fit the PLDM table layout.\n", status::kFailure);
        return status::kFailure;
      }
    }
  }
  PadAndChecksum(tables.strings);
  PadAndChecksum(tables.attributes);
  PadAndChecksum(tables.values);
  PadAndChecksum(tables.keywords);
  if (built) *built = std::move(table);
  return status::kSuccess;
}

}  // namespace kes::pldm
