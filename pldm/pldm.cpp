#include "pldm/pldm.h"

#include <algorithm>
#include <cstdio>
#include <array>
#include <map>
#include <optional>
#include <tuple>
#include <unordered_map>

#include "base/console.h"
#include "base/hash_slots.h"
#include "base/debug_log.h"
#include "base/output_file.h"
#include "base/text.h"
#include "commit/special_controls.h"
#include "commit/variable_commit.h"
#include "hii/hii_format.h"
#include "pldm/pldm_format.h"
#include "pldm/pldm_tables.h"

namespace kes {

using namespace hii;
using namespace pldm;

namespace {

std::vector<uint8_t> LittleEndian(uint64_t value, size_t width) {
  std::vector<uint8_t> bytes(width, 0);
  for (size_t i = 0; i < width && i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

const wchar_t* TypeName(uint8_t type) {
  switch (BaseType(type)) {
    case kEnumeration: return L"an enumeration";
    case kString: return L"a string";
    case kPassword: return L"a password";
    case kInteger: return L"an integer";
    case kBootConfig: return L"a boot configuration";
    default: return L"an ordered list";
  }
}

Status ImportFailure(const wchar_t* format, const std::wstring& detail) {
  Print(Stream::Err, format, status::kInvalidParameter, detail.c_str());
  return status::kInvalidParameter;
}

// The imported file's tables, decoded and indexed for the lookups of one import.
struct ImportedFile {
  std::vector<StringEntry> strings, keywords;
  std::vector<Attribute> attributes;
  std::vector<Value> values;
  // Handles are 16-bit: each index by handle is a table of 65,536 positions (the first entry
  // with that handle; kNone where none has it), one look-up without hashing.
  static constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> stringByHandle, keywordByHandle, attributeByHandle, attributeByName;
  HashSlots keywordByText;  // positions in `keywords`, the first of each text
  // The values of attribute handle h, in file order: valueOrder[valuesFrom[h] .. valuesFrom[h + 1]).
  std::vector<uint32_t> valuesFrom, valueOrder;
  std::vector<bool> consumed;

  void Index() {
    auto table = [](std::vector<uint32_t>& index, size_t count, auto handleOf) {
      index.assign(size_t{1} << 16, kNone);
      for (size_t i = 0; i < count; ++i)
        if (uint32_t& at = index[handleOf(i)]; at == kNone) at = static_cast<uint32_t>(i);
    };
    table(stringByHandle, strings.size(), [&](size_t i) { return strings[i].handle; });
    table(keywordByHandle, keywords.size(), [&](size_t i) { return keywords[i].handle; });
    table(attributeByHandle, attributes.size(), [&](size_t i) { return attributes[i].handle; });
    table(attributeByName, attributes.size(), [&](size_t i) { return attributes[i].nameHandle; });
    for (size_t i = 0; i < keywords.size(); ++i)
      keywordByText.Insert(TextHash(keywords[i].text), static_cast<uint32_t>(i),
                           [&](uint32_t at) { return keywords[at].text == keywords[i].text; });
    // Counted, then placed: the values of each handle end up together, in file order.
    valuesFrom.assign((size_t{1} << 16) + 1, 0);
    for (const Value& v : values) ++valuesFrom[v.handle + 1];
    for (size_t h = 1; h < valuesFrom.size(); ++h) valuesFrom[h] += valuesFrom[h - 1];
    valueOrder.resize(values.size());
    std::vector<uint32_t> next(valuesFrom.begin(), valuesFrom.end() - 1);
    for (size_t i = 0; i < values.size(); ++i) valueOrder[next[values[i].handle]++] = static_cast<uint32_t>(i);
    consumed.assign(values.size(), false);
  }
  const std::u16string* String(uint16_t handle) const {
    uint32_t at = stringByHandle[handle];
    return at == kNone ? nullptr : &strings[at].text;
  }
  // An attribute's name as its keyword, else its display string.
  std::wstring Name(const Attribute& a) const {
    if (uint32_t at = keywordByHandle[a.nameHandle]; at != kNone) return Utf16ToWide(keywords[at].text);
    const std::u16string* text = String(a.nameHandle);
    return text ? Utf16ToWide(*text) : WFormat(L"#%u", static_cast<unsigned>(a.handle));
  }
  const Attribute* AttributeOf(uint16_t handle) const {
    uint32_t at = attributeByHandle[handle];
    return at == kNone ? nullptr : &attributes[at];
  }
  // The handle of the keyword string with this text, if any.
  std::optional<uint16_t> KeywordHandle(const std::u16string& text) const {
    auto [at, found] = keywordByText.Find(TextHash(text), [&](uint32_t i) { return keywords[i].text == text; });
    if (!found) return std::nullopt;
    return keywords[at].handle;
  }
  static uint32_t TextHash(const std::u16string& text) { return static_cast<uint32_t>(std::hash<std::u16string>{}(text)); }
};

class PldmImporter {
 public:
  // `handles`, for a file without keywords: the attribute handle of each exported question (by its
  // opcode offset), as this firmware's tables, which the file's are, number them.
  PldmImporter(const SetupContext& setup, ImportedFile& file, const std::unordered_map<size_t, uint16_t>* handles)
      : setup_(setup), run_(setup.run), file_(file), walk_(setup), image_(setup.database.Image()), handles_(handles) {}

  Status Run() {
    Status walked = walk_.Run([&](PackEntry& pack, QuestionRecord& record) { ImportPldmQuestion(pack, record); },
                              [&](PackEntry&) {
                                Commit();
                                return false;
                              });
    if (walked != status::kSuccess) return walked;
    ReportUnused();
    return status::kSuccess;
  }

 private:
  void Commit() {
    originals_.clear();
    written_.clear();
    ImportVariablesToNvram(walk_.Walk().VarStores(), {run_, setup_.firmware, setup_.database.Format()});
    DebugLog(&run_.log, LV_MODL, "Setting std and Mfg Defaults Buffer [START]\n ");
    Status written = walk_.Stores().WriteBackDefaultStores(run_);
    DebugLog(&run_.log, LV_MODL, "Setting std and Mfg Defaults Buffer [END] with status %x\n ", written);
  }

  // A value that is not applied: one warning naming the attribute and why; the run ends with
  // the with-errors line.
  void NotApplied(const std::wstring& name, const std::wstring& reason) {
    run_.ImportErrors = true;
    if (!run_.Quiet())
      Print(Stream::Err, L"WARNING : PLDM attribute %ls not imported: %ls.\n", name.c_str(), reason.c_str());
  }

  Bytes ResetOpcode(const QuestionRecord& record) const { return record.OlderEncoding ? Bytes() : record.Op(image_); }

  // The bytes at the question's storage as the firmware held them when the import began (the
  // walk's copy may already hold values imported for other questions).
  std::optional<std::vector<uint8_t>> Original(const QuestionRecord& record, size_t length) {
    const VarStoreEntry* store = Store(record);
    if (!store || !store->Data) return std::nullopt;
    auto saved = originals_.find(record.VarStoreIndex);
    const std::vector<uint8_t>& data = saved != originals_.end() ? saved->second : *store->Data;
    if (static_cast<size_t>(record.VarOffset) + length > data.size()) return std::nullopt;
    return std::vector<uint8_t>(data.begin() + record.VarOffset, data.begin() + record.VarOffset + length);
  }

  // Stores a value that differs from what the firmware holds. A value equal to it is nothing to
  // import, so that a question sharing its storage with another (the firmware shows one setting
  // twice) never undoes the other's change; two different new values for one storage are
  // refused for the later question.
  void Write(const QuestionRecord& record, const std::vector<uint8_t>& bytes, const std::wstring& name) {
    if (Original(record, bytes.size()) == bytes) return;
    const VarStoreEntry* store = Store(record);
    if (!store || !store->Data) return;
    auto key = std::make_pair(record.VarStoreIndex, record.VarOffset);
    if (auto earlier = written_.find(key); earlier != written_.end()) {
      size_t end = static_cast<size_t>(record.VarOffset) + bytes.size();
      if (end <= store->Data->size() &&
          !std::equal(bytes.begin(), bytes.end(), store->Data->begin() + record.VarOffset))
        return NotApplied(name, L"it shares its storage with " + earlier->second + L", whose new value was imported");
      return;
    }
    originals_.emplace(record.VarStoreIndex, *store->Data);
    if (UpdateVarStoreValue(walk_.Walk().VarStores(), record.VarStoreIndex, record.VarOffset, bytes, ResetOpcode(record)))
      written_.emplace(key, name);
  }

  std::wstring Prompt(const PackEntry& pack, const QuestionRecord& record) const {
    auto text = setup_.strings.GetString(*pack.list, record.Prompt, false);
    return text ? *text : std::wstring();
  }

  // The file's attribute for a question: by its keyword, or, in a file without keywords whose
  // tables are this firmware's, by the handle the question's attribute has here.
  const Attribute* FindAttribute(const PackEntry& pack, const QuestionRecord& record, SpecialControlKind kind,
                                 std::wstring& name) const {
    if (handles_) {
      auto it = handles_->find(record.Opcode);
      if (it == handles_->end()) return nullptr;
      const Attribute* a = file_.AttributeOf(it->second);
      if (a) name = WFormat(L"@%u \"%ls\"", static_cast<unsigned>(a->handle), file_.Name(*a).c_str());
      return a;
    }
    if (!pack.HasKeywords()) return nullptr;
    std::u16string keyword;
    if (kind == SpecialControlKind::BootOrder) {
      keyword = u"Boot Options";
    } else {
      const std::u16string* k = pack.Keyword(record.Prompt);
      if (!k || k->empty()) return nullptr;
      keyword = *k;
    }
    std::optional<uint16_t> named = file_.KeywordHandle(keyword);
    if (!named) return nullptr;
    uint32_t attribute = file_.attributeByName[*named];
    if (attribute == ImportedFile::kNone) return nullptr;
    name = Utf16ToWide(keyword);
    return &file_.attributes[attribute];
  }

  void ImportPldmQuestion(PackEntry& pack, QuestionRecord& record) {
    if (!handles_ && !pack.HasKeywords()) return;
    SpecialControlKind kind =
        (record.ValueInfo.Flags & 1) ? walk_.Special().KindOf(record) : SpecialControlKind::None;
    if (kind == SpecialControlKind::LegacyOrder) {
      ImportLegacyValues(pack, record);
      return;
    }
    std::wstring name;
    const Attribute* found = FindAttribute(pack, record, kind, name);
    if (!found) return;
    const Attribute& a = *found;
    uint32_t from = file_.valuesFrom[a.handle], to = file_.valuesFrom[a.handle + 1];
    if (from == to) return;
    for (uint32_t n = from; n < to; ++n) {
      size_t i = file_.valueOrder[n];
      file_.consumed[i] = true;
      const Value& v = file_.values[i];
      if (BaseType(v.type) != BaseType(a.type)) {
        NotApplied(name, WFormat(L"its value is %ls, its attribute %ls", TypeName(v.type), TypeName(a.type)));
        continue;
      }
      switch (kind) {
        case SpecialControlKind::Language:
        case SpecialControlKind::PlatformLanguage: ImportLangValue(pack, record, a, v, name); break;
        case SpecialControlKind::BootOrder: ImportBootValue(pack, record, a, v, name); break;
        default: ApplyValue(pack, record, a, v, name); break;
      }
    }
  }

  // The question's option whose English text is the imported option string `handle`. Options
  // may share a text: the one at the imported option's position (among the attribute's
  // `possible` handles) is preferred, so that a file of the same firmware maps every option to
  // itself.
  const OptionRecord* MapImportedOption(const PackEntry& pack, const QuestionRecord& record, const Attribute& a,
                                        uint16_t handle) const {
    const std::u16string* text = file_.String(handle);
    if (!text) return nullptr;
    size_t position = std::find(a.possible.begin(), a.possible.end(), handle) - a.possible.begin();
    const auto& options = record.ValueInfo.Options;
    const OptionRecord* first = nullptr;
    for (size_t i = 0; i < options.size(); ++i) {
      const std::u16string* own = pack.Text(options[i].Option);
      if (!own || *own != *text) continue;
      if (i == position) return &options[i];
      if (!first) first = &options[i];
    }
    return first;
  }

  std::wstring OptionText(uint16_t handle) const {
    const std::u16string* text = file_.String(handle);
    return text ? Utf16ToWide(*text) : WFormat(L"#%u", static_cast<unsigned>(handle));
  }

  // Why an integer cannot be the question's value; empty when it can.
  std::wstring IntegerProblem(const QuestionRecord& record, uint64_t value) const {
    size_t width = record.Width;
    switch (record.Kind) {
      case IFR_CHECKBOX:
        return value > 1 ? WFormat(L"%llu is neither 0 nor 1", static_cast<unsigned long long>(value)) : L"";
      case IFR_NUMERIC: {
        if (IsSignedQuestion(image_, record)) {
          int64_t v = static_cast<int64_t>(value);
          int64_t lo = SignExtend(record.ValueInfo.Minimum, width), hi = SignExtend(record.ValueInfo.Maximum, width);
          if (v < lo) return WFormat(L"%lld is below the minimum %lld", static_cast<long long>(v), static_cast<long long>(lo));
          if (v > hi) return WFormat(L"%lld is above the maximum %lld", static_cast<long long>(v), static_cast<long long>(hi));
          return L"";
        }
        uint64_t mask = WidthMask(width);
        uint64_t lo = record.ValueInfo.Minimum & mask, hi = record.ValueInfo.Maximum & mask;
        if (value > mask || value > hi)
          return WFormat(L"%llu is above the maximum %llu", static_cast<unsigned long long>(value),
                         static_cast<unsigned long long>(std::min(hi, mask)));
        if (value < lo)
          return WFormat(L"%llu is below the minimum %llu", static_cast<unsigned long long>(value),
                         static_cast<unsigned long long>(lo));
        return L"";
      }
      case IFR_DATE: {
        unsigned year = value & 0xFFFF, month = (value >> 16) & 0xFF, day = (value >> 24) & 0xFF;
        if ((value >> 32) != 0 || month > 12 || day > 31 || year > 9999)
          return WFormat(L"0x%llX is not a date (year, month, day)", static_cast<unsigned long long>(value));
        return L"";
      }
      case IFR_TIME: {
        unsigned hour = value & 0xFF, minute = (value >> 8) & 0xFF, second = (value >> 16) & 0xFF;
        if ((value >> 24) != 0 || hour > 23 || minute > 59 || second > 59)
          return WFormat(L"0x%llX is not a time (hour, minute, second)", static_cast<unsigned long long>(value));
        return L"";
      }
      default:
        return L"the question does not take an integer";
    }
  }

  size_t ValueWidth(const QuestionRecord& record) const {
    return record.Kind == IFR_DATE ? 4 : record.Kind == IFR_TIME ? 3 : record.Width;
  }

  const VarStoreEntry* Store(const QuestionRecord& record) { return walk_.Walk().VarStores().At(record.VarStoreIndex); }

  // Maps a list of option handles (or positions) to the option values; none when one fails.
  // As MapImportedOption for every handle of a list, through one index of the options' texts
  // and of the attribute's handles, so that a long list costs linear time.
  std::optional<std::vector<uint64_t>> MapList(const PackEntry& pack, const QuestionRecord& record, const Attribute& a,
                                               const std::vector<uint16_t>& handles, const std::wstring& name,
                                               const wchar_t* what) {
    const auto& options = record.ValueInfo.Options;
    std::unordered_map<std::u16string, size_t> firstWithText;
    for (size_t i = 0; i < options.size(); ++i)
      if (const std::u16string* own = pack.Text(options[i].Option)) firstWithText.emplace(*own, i);
    std::unordered_map<uint16_t, size_t> positionOf;
    for (size_t i = 0; i < a.possible.size(); ++i) positionOf.emplace(a.possible[i], i);
    auto map = [&](uint16_t handle) -> const OptionRecord* {
      const std::u16string* text = file_.String(handle);
      if (!text) return nullptr;
      auto at = positionOf.find(handle);
      if (at != positionOf.end() && at->second < options.size()) {
        const std::u16string* own = pack.Text(options[at->second].Option);
        if (own && *own == *text) return &options[at->second];
      }
      auto first = firstWithText.find(*text);
      return first == firstWithText.end() ? nullptr : &options[first->second];
    };
    std::vector<uint64_t> out;
    out.reserve(handles.size());
    for (uint16_t handle : handles) {
      const OptionRecord* option = map(handle);
      if (!option) {
        NotApplied(name, WFormat(L"%ls \"%ls\" is not an option of the question", what, OptionText(handle).c_str()));
        return std::nullopt;
      }
      out.push_back(option->Value);
    }
    return out;
  }

  // Why a new order cannot be stored: it must fill the storage's `room` elements, each a
  // different option of the question.
  static std::string OrderProblem(const QuestionRecord& record, const std::vector<uint64_t>& list, size_t room) {
    const auto& options = record.ValueInfo.Options;
    if (list.size() != room)
      return NFormat("it holds %zu element%s, the question's storage %zu", list.size(), list.size() == 1 ? "" : "s", room);
    std::vector<uint64_t> sorted = list;
    std::sort(sorted.begin(), sorted.end());
    bool distinct = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
    bool named = std::all_of(list.begin(), list.end(), [&](uint64_t e) {
      return std::any_of(options.begin(), options.end(), [&](const OptionRecord& o) { return o.Value == e; });
    });
    if (distinct && named) return "";
    return room == options.size() ? NFormat("its elements are not a permutation of the question's %zu options", options.size())
                                  : NFormat("its elements are not %zu different options of the question", room);
  }

  std::vector<uint8_t> ListBytes(const QuestionRecord& record, const std::vector<uint64_t>& list) const {
    size_t width = record.Width ? record.Width : 1;
    std::vector<uint8_t> bytes;
    for (uint64_t element : list) {
      auto b = LittleEndian(element, width);
      bytes.insert(bytes.end(), b.begin(), b.end());
    }
    return bytes;
  }

  void ApplyValue(const PackEntry& pack, const QuestionRecord& record, const Attribute& a, const Value& v,
                  const std::wstring& name) {
    auto expect = [&](uint8_t type) {
      if (BaseType(v.type) == type) return true;
      NotApplied(name, WFormat(L"the file holds %ls value for a question that takes %ls", TypeName(v.type), TypeName(type)));
      return false;
    };
    size_t width = record.Width;
    switch (record.Kind) {
      case IFR_CHECKBOX:
      case IFR_NUMERIC:
      case IFR_DATE:
      case IFR_TIME: {
        if (!expect(kInteger)) return;
        std::vector<uint8_t> bytes = LittleEndian(v.value, ValueWidth(record));
        // The value the firmware holds now needs no write, even when it lies outside the
        // question's range (a firmware may store one): only a different value is checked.
        size_t valueWidth = ValueWidth(record);
        auto current = Original(record, valueWidth);
        bool fits = IsSignedQuestion(image_, record) ? static_cast<int64_t>(v.value) == SignExtend(v.value, valueWidth)
                                                     : v.value <= WidthMask(valueWidth);
        bool unchanged = fits && current && *current == bytes;
        if (!unchanged) {
          std::wstring problem = IntegerProblem(record, v.value);
          if (!problem.empty()) return NotApplied(name, problem);
          Write(record, bytes, name);
        }
        return ImportPldmDefault(pack, record, a, name);
      }
      case IFR_STRING: {
        if (!expect(kString)) return;
        size_t length = v.bytes.size();
        if (length % 2 != 0) return NotApplied(name, WFormat(L"its length of %u bytes is odd", static_cast<unsigned>(length)));
        // The text the question holds (up to its terminator) is nothing to import, whatever its
        // length: the export writes it so.
        if (auto current = Original(record, width)) {
          size_t units = 0;
          while (2 * units + 1 < current->size() && Le16(*current, 2 * units) != 0) ++units;
          if (std::equal(v.bytes.begin(), v.bytes.end(), current->begin(), current->begin() + 2 * units)) return;
        }
        if (length > width || length < 2 * record.ValueInfo.Minimum || length > 2 * record.ValueInfo.Maximum)
          return NotApplied(name, WFormat(L"its length of %u bytes is outside %u to %u", static_cast<unsigned>(length),
                                          static_cast<unsigned>(2 * record.ValueInfo.Minimum),
                                          static_cast<unsigned>(std::min<uint64_t>(2 * record.ValueInfo.Maximum, width))));
        std::vector<uint8_t> bytes(width, 0);
        std::copy(v.bytes.begin(), v.bytes.end(), bytes.begin());
        Write(record, bytes, name);
        return;
      }
      case IFR_PASSWORD: {
        if (!expect(kPassword)) return;
        if (v.bytes.empty()) return;  // no password in the file: the stored one stays
        if (v.bytes.size() != width)
          return NotApplied(name, WFormat(L"its length of %u bytes differs from the %u bytes the question holds",
                                          static_cast<unsigned>(v.bytes.size()), static_cast<unsigned>(width)));
        Write(record, v.bytes, name);
        return;
      }
      case IFR_ONE_OF: {
        if (!expect(kEnumeration)) return;
        if (v.indexes.empty()) return;
        uint16_t index = v.indexes.front();
        if (index >= a.possible.size())
          return NotApplied(name, WFormat(L"index %u is not one of its %u possible values", index,
                                          static_cast<unsigned>(a.possible.size())));
        const OptionRecord* option = MapImportedOption(pack, record, a, a.possible[index]);
        if (!option)
          return NotApplied(name, WFormat(L"\"%ls\" is not an option of the question", OptionText(a.possible[index]).c_str()));
        Write(record, LittleEndian(option->Value, width), name);
        return ImportPldmDefault(pack, record, a, name);
      }
      case IFR_ORDERED_LIST: {
        if (!expect(kOrderedList)) return;
        const VarStoreEntry* store = Store(record);
        size_t room = store ? OrderedListElements(image_, record, *store) : 0;
        if (v.indexes.size() > room)
          return NotApplied(name, WFormat(L"it holds %u elements, the question's storage %u",
                                          static_cast<unsigned>(v.indexes.size()), static_cast<unsigned>(room)));
        size_t elementWidth = record.Width ? record.Width : 1;
        auto held = Original(record, v.indexes.size() * elementWidth);
        std::vector<uint16_t> handles;
        for (uint16_t index : v.indexes) {
          if (index == kNoOption && held) continue;  // the element the storage holds stays
          if (index >= a.possible.size())
            return NotApplied(name, WFormat(L"index %u is not one of its %u options", index,
                                            static_cast<unsigned>(a.possible.size())));
          handles.push_back(a.possible[index]);
        }
        auto mapped = MapList(pack, record, a, handles, name, L"element");
        if (!mapped) return;
        std::vector<uint64_t> list;
        for (size_t i = 0, next = 0; i < v.indexes.size(); ++i)
          list.push_back(v.indexes[i] == kNoOption && held ? LeN(*held, i * elementWidth, elementWidth) : (*mapped)[next++]);
        std::vector<uint8_t> bytes = ListBytes(record, list);
        // The order the firmware holds is nothing to import; any other names every element of
        // the storage, each a different option: with as many elements as options, a permutation.
        if (!(held && *held == bytes)) {
          if (std::string why = OrderProblem(record, list, room); !why.empty()) return NotApplied(name, ToWide(why));
          Write(record, bytes, name);
        }
        return ImportPldmDefault(pack, record, a, name);
      }
      default:
        return;
    }
  }

  // The attribute's default into the standard-defaults store, when the store holds one for the
  // question.
  void ImportPldmDefault(const PackEntry& pack, const QuestionRecord& record, const Attribute& a,
                         const std::wstring& name) {
    if (!walk_.Defaults().stdPresent) return;
    const VarStoreEntry* store = Store(record);
    if (!store) return;
    size_t length = ValueWidth(record);
    if (record.Kind == IFR_ORDERED_LIST) length = OrderedListElements(image_, record, *store) * (record.Width ? record.Width : 1);
    auto held = walk_.Defaults().find(false, *store, record.VarOffset, length);
    if (!held) return;
    // As for values: a default equal to what the store held at the start is nothing to import.
    auto key = std::make_tuple(store->Guid.ToBytes(), store->Name, record.VarOffset);
    const std::vector<uint8_t>& original = defaultOriginals_.emplace(key, *held).first->second;
    std::vector<uint8_t> bytes;
    switch (BaseType(a.type)) {
      case kEnumeration: {
        if (a.defaults.empty()) return;
        auto list = MapList(pack, record, a, {a.defaults.front()}, name, L"default");
        if (!list) return;
        bytes = LittleEndian(list->front(), record.Width);
        break;
      }
      case kOrderedList: {
        if (a.defaults.empty()) return;
        size_t width = record.Width ? record.Width : 1;
        if (a.defaults.size() * width > length)
          return NotApplied(name, L"its default list is longer than the question's storage");
        auto list = MapList(pack, record, a, a.defaults, name, L"default");
        if (!list) return;
        // The export lists the stored default's elements that name an option: that list stands
        // for the stored default and changes nothing.
        std::vector<uint64_t> stored;
        for (size_t at = 0; at + width <= original.size(); at += width) {
          uint64_t e = LeN(original, at, width);
          for (const OptionRecord& o : record.ValueInfo.Options)
            if (o.Value == e) {
              stored.push_back(e);
              break;
            }
        }
        if (*list == stored) return;
        if (std::string why = OrderProblem(record, *list, length / width); !why.empty())
          return NotApplied(name, L"default " + ToWide(why));
        bytes = ListBytes(record, *list);
        break;
      }
      case kInteger: {
        // The export writes a default the store holds outside the bounds as another value (see
        // IntegerAttributeFields): that value stands for the stored one and changes nothing.
        uint64_t stored = LeN(original, 0, std::min<size_t>(original.size(), 8));
        if (a.defaultValue == IntegerAttributeFields(image_, record, stored).defaultValue) return;
        std::wstring problem = IntegerProblem(record, a.defaultValue);
        if (!problem.empty()) return NotApplied(name, L"default " + problem);
        bytes = LittleEndian(a.defaultValue, ValueWidth(record));
        break;
      }
      default:
        return;
    }
    if (std::equal(bytes.begin(), bytes.end(), original.begin(), original.end())) return;
    if (!walk_.Stores().SetQuestionDefault(DefaultStore::Std, store->Guid, store->Name, record.VarOffset, bytes)) {
      run_.ImportErrors = true;
      if (!run_.Quiet()) Print(Stream::Err, L"Warning : Failed to update BIOS defaults for %ls\n", name.c_str());
    }
  }

  void ImportLangValue(const PackEntry& pack, const QuestionRecord& record, const Attribute& a, const Value& v,
                       const std::wstring& name) {
    if (v.indexes.empty()) return;
    uint16_t index = v.indexes.front();
    if (index >= a.possible.size())
      return NotApplied(name, WFormat(L"index %u is not one of its %u languages", index, static_cast<unsigned>(a.possible.size())));
    std::wstring code = OptionText(a.possible[index]);
    const auto& list = walk_.Special().LanguageList(record.ControlVarStoreIndex);
    auto found = std::find(list.begin(), list.end(), code);
    if (found == list.end()) return NotApplied(name, L"the firmware does not offer the language " + code);
    std::wstring prompt = Prompt(pack, record);
    SpecialControlKind kind = walk_.Special().KindOf(record);
    SpecialEntry entry;
    entry.identity = ToNarrow(SpecialControls::ControlName(kind, prompt));
    entry.value = static_cast<uint64_t>(found - list.begin());
    walk_.Special().ImportLanguageControl(entry, record, prompt, ResetOpcode(record));
  }

  void ImportBootValue(const PackEntry& pack, const QuestionRecord& record, const Attribute& a, const Value& v,
                       const std::wstring& name) {
    SpecialControls& special = walk_.Special();
    special.ReadBootOptions();
    std::vector<BootOption> options = special.BootOptions();
    std::vector<uint16_t> order = special.BootOrder();
    std::vector<uint16_t> numbers;
    bool missing = false;
    for (uint16_t index : v.indexes) {
      if (index >= a.possible.size())
        return NotApplied(name, WFormat(L"index %u is not one of its %u boot options", index,
                                        static_cast<unsigned>(a.possible.size())));
      const std::u16string* text = file_.String(a.possible[index]);
      std::wstring description = text ? Utf16ToWide(*text) : L"";
      auto option = std::find_if(options.begin(), options.end(),
                                 [&](const BootOption& o) { return o.description == description; });
      if (option == options.end()) {
        Out(L"Boot Device not found " + description + L"\n");
        missing = true;
        continue;
      }
      numbers.push_back(option->number);
    }
    std::vector<uint16_t> a1 = numbers, b1 = order;
    std::sort(a1.begin(), a1.end());
    std::sort(b1.begin(), b1.end());
    // A partial order would drop boot options from BootOrder: only a whole new order is applied.
    if (missing || a1 != b1)
      return NotApplied(name, WFormat(L"its order names %u of the firmware's %u boot options",
                                      static_cast<unsigned>(numbers.size()), static_cast<unsigned>(order.size())));
    std::wstring prompt = Prompt(pack, record);
    SpecialEntry entry;
    entry.identity = ToNarrow(SpecialControls::ControlName(SpecialControlKind::BootOrder, prompt));
    entry.value = numbers.size();
    entry.listValues = numbers;
    special.ImportBootOrderControl(entry, record, prompt, ResetOpcode(record));
  }

  // Every boot-configuration value of the file named "BBS_TYPE_..." goes to the legacy order
  // control whose name it carries.
  void ImportLegacyValues(const PackEntry& pack, const QuestionRecord& record) {
    std::wstring prompt = Prompt(pack, record);
    for (size_t i = 0; i < file_.values.size(); ++i) {
      const Value& v = file_.values[i];
      const Attribute* a = file_.AttributeOf(v.handle);
      if (!a || BaseType(a->type) != kBootConfig || BaseType(v.type) != kBootConfig) continue;
      std::wstring name = file_.Name(*a);
      if (name.rfind(L"BBS_TYPE_", 0) != 0) continue;
      SpecialEntry entry;
      entry.identity = ToNarrow(name);
      bool bad = false;
      for (uint16_t index : v.indexes) {
        std::wstring text = index < a->possible.size() ? OptionText(a->possible[index]) : L"";
        unsigned device = 0;
        bool hex = text.size() >= 4;
        for (size_t at = text.size() >= 4 ? text.size() - 4 : 0; hex && at < text.size(); ++at) {
          wchar_t c = text[at];
          int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10
                      : c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1;
          if (digit < 0) hex = false;
          device = device * 16 + static_cast<unsigned>(digit < 0 ? 0 : digit);
        }
        if (!hex) {
          bad = true;
          break;
        }
        entry.listValues.push_back(static_cast<uint16_t>(device));
      }
      entry.value = entry.listValues.size();
      if (!walk_.Special().MatchSpecialControl(entry, record, prompt)) continue;
      file_.consumed[i] = true;
      if (bad) {
        NotApplied(name, L"a device entry does not end in four hexadecimal digits");
        continue;
      }
      walk_.Special().ImportLegacyOrderControl(entry, record, prompt, ResetOpcode(record));
    }
  }

  // Values no question took: unknown keywords, or values without an attribute. Boot order and
  // legacy order values are left alone without /b, and attributes without a keyword (questions
  // without a map string) are never matched.
  void ReportUnused() {
    bool withBoot = run_.Given(Switch::B);
    for (size_t i = 0; i < file_.values.size(); ++i) {
      if (file_.consumed[i]) continue;
      const Value& v = file_.values[i];
      const Attribute* a = file_.AttributeOf(v.handle);
      if (!a) {
        NotApplied(WFormat(L"#%u", static_cast<unsigned>(v.handle)), L"the file has no attribute of this handle");
        continue;
      }
      if (!withBoot && BaseType(a->type) == kBootConfig) continue;
      if (handles_) {
        NotApplied(WFormat(L"@%u \"%ls\"", static_cast<unsigned>(a->handle), file_.Name(*a).c_str()),
                   L"no Setup question of this firmware takes it");
        continue;
      }
      // A question without a keyword is in the file for reading only: no import can match it.
      if (file_.keywordByHandle[a->nameHandle] == ImportedFile::kNone) continue;
      NotApplied(file_.Name(*a), L"no Setup question of this firmware has this keyword");
    }
  }

  const SetupContext& setup_;
  RunState& run_;
  ImportedFile& file_;
  PldmWalk walk_;
  Bytes image_;
  const std::unordered_map<size_t, uint16_t>* handles_;
  // Per package list: each varstore's data before the first value was stored into it, and the
  // attribute that changed each question storage (by varstore and offset).
  std::map<uint16_t, std::vector<uint8_t>> originals_;
  std::map<std::pair<uint16_t, uint16_t>, std::wstring> written_;
  // Each question default as the standard-defaults store held it before this import.
  std::map<std::tuple<std::array<uint8_t, 16>, std::wstring, uint16_t>, std::vector<uint8_t>> defaultOriginals_;
};

}  // namespace

Status ExportPldm(const SetupContext& setup) {
  PldmTables tables;
  DebugLog(&setup.run.log, LV_MODL, "CreatePldmTables [START]\n ");
  Status built = CreatePldmTables(setup, tables);
  DebugLog(&setup.run.log, LV_MODL, "CreatePldmTables [END] with status %x\n ", built);
  // 1 is the driver's success: every failure returns 0 (the run then ends with status 1).
  if (built != status::kSuccess) return 0;
  if (tables.attributes.empty() && !setup.run.Quiet())
    Err(L"WARNING: HII data does not have setup questions information\n");
  std::vector<uint8_t> bytes = AssemblePldmFile(tables);
  std::string name = ToNarrow(setup.run.options.PldmFileName);
  OutputFile out;
  if (!out.Open(name)) {
    PrintNarrow(Stream::Err, "Unable to create file %s\n", name.c_str());
    return 0;
  }
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), out.get()) == bytes.size();
  if (!written || !out.Commit()) {
    out.Discard();
    PrintNarrow(Stream::Err, "Unable to write into file : %s\n", name.c_str());
    return 0;
  }
  return 1;
}

Status ReadPldmFile(const std::wstring& fileName, PldmTables& tables) {
  std::wstring error;
  auto bytes = ReadWholeFile(ToNarrow(fileName), error);
  if (!bytes) return ImportFailure(L"ERROR:%X - Cannot read the PLDM file: %ls.\n", error);
  auto split = SplitPldmFile(*bytes, error);
  if (!split) return ImportFailure(L"ERROR:%X - The PLDM file is not valid: %ls.\n", error);
  tables = std::move(*split);
  return status::kSuccess;
}

Status ImportPldmTables(const SetupContext& setup, const PldmTables& tables) {
  struct Named {
    const std::vector<uint8_t>& table;
    const wchar_t* name;
  };
  // A file without keyword strings has an empty keyword table: it is matched by handle below.
  bool byHandle = tables.keywords.empty();
  const Named order[] = {{tables.values, L"attribute value"},
                         {tables.attributes, L"attribute"},
                         {tables.keywords, L"keyword"},
                         {tables.strings, L"string"}};
  for (const Named& t : order) {
    if (byHandle && &t.table == &tables.keywords) continue;
    if (t.table.size() < 4) return ImportFailure(L"ERROR:%X - The PLDM file has no %ls table.\n", t.name);
  }
  // Every checksum is checked before anything is read from the tables or touched.
  for (const Named& t : order)
    if (!t.table.empty() && !ChecksumMatches(t.table))
      return ImportFailure(L"ERROR:%X - The checksum of the PLDM %ls table does not match (EFI_CRC_ERROR).\n", t.name);

  ImportedFile file;
  auto strings = DecodeStringTable(tables.strings);
  std::optional<std::vector<StringEntry>> keywords = std::vector<StringEntry>{};
  if (!byHandle) keywords = DecodeStringTable(tables.keywords);
  auto attributes = DecodeAttributeTable(tables.attributes);
  auto values = DecodeValueTable(tables.values);
  for (auto [ok, name] : {std::pair{strings.has_value(), L"string"}, {keywords.has_value(), L"keyword"},
                          {attributes.has_value(), L"attribute"}, {values.has_value(), L"attribute value"}})
    if (!ok) return ImportFailure(L"ERROR:%X - The PLDM %ls table is malformed.\n", name);
  file.strings = std::move(*strings);
  file.keywords = std::move(*keywords);
  file.attributes = std::move(*attributes);
  file.values = std::move(*values);
  file.Index();
  // One value per attribute: with two, which one is meant cannot be told.
  for (const Value& v : file.values) {
    if (file.valuesFrom[v.handle + 1] - file.valuesFrom[v.handle] < 2) continue;
    const Attribute* a = file.AttributeOf(v.handle);
    std::wstring name = a ? file.Name(*a) : WFormat(L"#%u", static_cast<unsigned>(v.handle));
    return ImportFailure(L"ERROR:%X - The PLDM attribute value table holds more than one value for attribute %ls.\n",
                         name);
  }

  if (!byHandle) return PldmImporter(setup, file, nullptr).Run();
  // Without keywords the file's handles are the only key: they name this firmware's questions
  // only when the file's string and attribute tables are byte for byte those its Setup questions
  // give now (the same HII database, defaults and switches).
  PldmTables own;
  InternalTable built;
  std::string said;
  Status made;
  {
    ConsoleCapture quiet;
    made = CreatePldmTables(setup, own, &built);
    said = quiet.err();
  }
  if (made != status::kSuccess) {
    WriteNarrow(Stream::Err, said);
    return ImportFailure(L"ERROR:%X - The PLDM file has no keyword table, and %ls.\n",
                         L"this firmware's tables cannot be built to match it by handle");
  }
  bool sameStrings = own.strings == tables.strings, sameAttributes = own.attributes == tables.attributes;
  if (!sameStrings || !sameAttributes) {
    const wchar_t* which = !sameStrings && !sameAttributes ? L"string and attribute tables differ"
                           : !sameStrings                  ? L"string table differs"
                                                           : L"attribute table differs";
    return ImportFailure(L"ERROR:%X - The PLDM file has no keyword table, and its %ls from those this firmware's "
                         L"Setup questions give now: without keywords a file can be imported only on the firmware it "
                         L"was exported from, with the same switches.\n",
                         which);
  }
  std::unordered_map<size_t, uint16_t> handles;
  for (const PackEntry& pack : built.packs)
    for (const AttributeRecord& r : pack.attributes) handles.emplace(r.question, r.attribute.handle);
  return PldmImporter(setup, file, &handles).Run();
}

Status ImportPldm(const SetupContext& setup, const std::wstring& fileName) {
  PldmTables tables;
  if (Status s = ReadPldmFile(fileName, tables); s != status::kSuccess) return s;
  DebugLog(&setup.run.log, LV_MODL, "ImportPldmTables [START]\n ");
  Status imported = ImportPldmTables(setup, tables);
  DebugLog(&setup.run.log, LV_MODL, "ImportPldmTables [END] with status %x\n ", imported);
  return imported;
}

}  // namespace kes
