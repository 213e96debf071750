#include "companions/attrs/attribute_model.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory_resource>
#include <unordered_map>
#include <unordered_set>

#include "base/console.h"
#include "base/hash_slots.h"
#include "base/text.h"
#include "commit/special_controls.h"
#include "hii/default_store.h"
#include "hii/hii_format.h"
#include "hii/question_walk.h"
#include "script/question_block.h"
#include "script/script_defaults.h"
#include "companions/attrs/conditions.h"

namespace kes::attrs {

using namespace hii;

namespace {

const std::vector<std::string> kMappingLanguages{"x-Vorn", "x-UEFI-Vorn"};

// UTF-8 for a document: what UTF-8 cannot carry (a lone surrogate, a byte kept from invalid
// input) becomes U+FFFD.
std::string Utf8(std::wstring_view text) {
  auto unencodable = [](wchar_t c) { return (c >= 0xD800 && c <= 0xDFFF) || static_cast<uint32_t>(c) > 0x10FFFF; };
  if (std::none_of(text.begin(), text.end(), unencodable)) return EncodeText(text);
  std::wstring copy(text);
  std::replace_if(copy.begin(), copy.end(), unencodable, L'\xFFFD');
  return EncodeText(copy);
}

// A string of the list as the firmware holds it, in UTF-8 (empty when absent).
std::string Text(const StringLookup& strings, const PackageList& list, uint16_t id) {
  auto text = strings.GetString(list, id, false);
  return text ? Utf8(*text) : std::string();
}

std::string Hex4(uint64_t value) { return NFormat("%04llX", static_cast<unsigned long long>(value)); }

// A title as one step of a menu path; `fallback` when nothing of it is left.
std::string MenuName(const std::string& title, const std::string& fallback) {
  std::string name = MakeName(title);
  return name.empty() ? fallback : name;
}

// Strings kept one after the other in an arena, each with a value (a view into the same arena),
// found through a table of their hashes.
class StringTable {
 public:
  explicit StringTable(std::pmr::memory_resource* arena) : arena_(arena) {}

  // The entry for `key`, added with `value` when absent; `added` tells which.
  struct Entry {
    std::string_view key, value;
    bool added;
  };
  Entry Insert(std::string_view key, std::string_view value = {}) {
    uint32_t hash = static_cast<uint32_t>(std::hash<std::string_view>{}(key));
    auto [at, added] = index_.Insert(hash, static_cast<uint32_t>(entries_.size()),
                                     [&](uint32_t position) { return entries_[position].first == key; });
    if (!added) return {entries_[at].first, entries_[at].second, false};
    entries_.emplace_back(Keep(key), value);
    return {entries_.back().first, value, true};
  }

 private:
  std::string_view Keep(std::string_view text) {
    if (text.empty()) return {};
    char* copy = static_cast<char*>(arena_->allocate(text.size(), 1));
    std::memcpy(copy, text.data(), text.size());
    return {copy, text.size()};
  }

  std::pmr::memory_resource* arena_;
  HashSlots index_;
  std::vector<std::pair<std::string_view, std::string_view>> entries_;  // key, value; in order added
};

// Unique names in walk order.
class NameBook {
 public:
  explicit NameBook(std::pmr::memory_resource* arena) : taken_(arena) {}

  // The name, as kept in the book (it stays where it is for the book's life).
  std::string_view Claim(std::string_view base) {
    if (auto e = taken_.Insert(base); e.added) return e.key;
    // Each base remembers the next suffix to try, so that a prompt shared by thousands of
    // questions costs no more than a rare one.
    size_t& next = nextSuffix_.try_emplace(std::string(base), 2).first->second;
    while (true) {
      std::string candidate = std::string(base) + "_" + std::to_string(next++);
      if (auto e = taken_.Insert(candidate); e.added) return e.key;
    }
  }

 private:
  StringTable taken_;
  std::unordered_map<std::string, size_t> nextSuffix_;
};

int64_t SignExtend(uint64_t value, size_t width) {
  if (width >= 8 || width == 0) return static_cast<int64_t>(value);
  unsigned bits = static_cast<unsigned>(8 * width);
  uint64_t sign = uint64_t{1} << (bits - 1);
  value &= (uint64_t{1} << bits) - 1;
  return static_cast<int64_t>((value ^ sign) - sign);
}

uint64_t Mask(uint64_t value, size_t width) { return width >= 8 ? value : value & ((uint64_t{1} << (8 * width)) - 1); }

// The choices of a one-of or ordered list: each option's text made a name, unique within the
// question (a repeated or empty name gets the option's value appended).
std::vector<Choice> OptionChoices(const StringLookup& strings, const PackageList& list, const QuestionRecord& record) {
  const auto& options = record.ValueInfo.Options;
  std::vector<Choice> out;
  out.reserve(options.size());  // never reallocated: `used` views the names in place
  // The names so far: the few choices of most questions are scanned, more are looked up.
  constexpr size_t kScanned = 16;
  std::unordered_set<std::string_view> used;
  auto taken = [&](const std::string& name) {
    if (out.size() <= kScanned)
      return std::any_of(out.begin(), out.end(), [&](const Choice& c) { return c.name == name; });
    return used.count(name) > 0;
  };
  for (const OptionRecord& o : options) {
    Choice c;
    c.display = Text(strings, list, o.Option);
    c.value = o.Value;
    std::string base = MakeName(c.display);
    if (c.display.find_first_not_of(" \t") == std::string::npos) base = "Value";
    c.name = base;
    if (taken(c.name)) {
      c.name = base + "_" + std::to_string(o.Value);
      for (size_t n = 2; taken(c.name); ++n) c.name = base + "_" + std::to_string(o.Value) + "_" + std::to_string(n);
    }
    out.push_back(std::move(c));
    if (out.size() == kScanned + 1)
      for (const Choice& earlier : out) used.insert(earlier.name);
    else if (out.size() > kScanned + 1)
      used.insert(out.back().name);
  }
  return out;
}

const Choice* ChoiceWithValue(const Attribute& a, uint64_t value) {
  for (const Choice& c : a.choices)
    if (c.value == value) return &c;
  return nullptr;
}

size_t NumericSize(const IfrOp& op) {
  switch (Le8(op.bytes, kQTypeFlags) & 0x0F) {
    case 0: return 1;
    case 1: return 2;
    case 2: return 4;
    default: return 8;
  }
}

class Builder {
 public:
  Builder(const SetupContext& setup, const AttributeSink& sink)
      : setup_(setup), sink_(sink), stores_(setup.firmware), walk_(setup.NewWalk(Context())),
        special_({setup.run, setup.firmware, walk_.VarStores()}) {
    defaults_ = LoadDefaultsSource(stores_);
    if (sink.conditions) {
      book_ = sink.conditions;
    } else {
      ownBook_ = std::make_unique<ConditionBook>(setup);
      book_ = ownBook_.get();
    }
    evaluator_ = setup.database.Format() == HiiFormat::Uefi ? setup.evaluator : nullptr;
  }

  void Run() {
    if (setup_.database.Format() == HiiFormat::Unknown) return;
    PlanMenus();
    if (sink_.menus) sink_.menus(menus_);
    const StringLookup& strings = setup_.strings;
    for (const PackageList& list : setup_.database.Lists()) {
      walk_.VarStores().Clear();
      auto formSet = walk_.FirstFormSet(list);
      if (!formSet) continue;
      seen_.Clear();
      FormInfo current;
      const FormInfo* previous = nullptr;
      while (auto form = walk_.NextForm(*formSet, previous)) {
        current = *form;
        previous = &current;
        auto menu = menuAt_.find(current.opcode);
        menu_ = menu == menuAt_.end() ? nullptr : &menus_[menu->second];
        menuPath_ = menu_ ? menu_->path : "./Form" + Hex4(current.formId);
        list_ = formSet->listOffset;
        page_ = evaluator_ ? evaluator_->PageOfForm(current.opcode) : std::nullopt;
        size_t cursor = 0;
        QuestionRecord record;
        while (true) {
          QuestionStep step = walk_.NextQuestion(*formSet, current, cursor, record);
          if (step == QuestionStep::FormDone) break;
          if (step != QuestionStep::Question) continue;
          auto promptText = strings.GetString(list, record.Prompt, false);
          if (!promptText) continue;
          Question(list, record, *promptText);
          if (stopped_) return;
        }
      }
    }
  }

 private:
  // The walk evaluates nothing itself: each condition is evaluated once by the book.
  static WalkContext Context() {
    WalkContext c;
    c.exportMode = true;
    return c;
  }

  // The menus: every form the walk reaches, with a name unique among them, its parent (the form
  // holding the first REF to it, as the evaluator found it; never a cycle, and never above the
  // first form of its form set), its path and the conditions around the REFs leading to it.
  void PlanMenus() {
    const StringLookup& strings = setup_.strings;
    QuestionWalk forms = setup_.NewWalk(WalkContext{});
    std::unordered_map<uint16_t, size_t> byPage;
    std::vector<std::optional<uint16_t>> pages;
    std::vector<bool> firstOfFormSet;
    std::vector<size_t> lists;
    std::unordered_set<std::string> names;
    for (const PackageList& list : setup_.database.Lists()) {
      forms.VarStores().Clear();
      auto formSet = forms.FirstFormSet(list);
      if (!formSet) continue;
      std::string formSetTitle = Text(strings, list, formSet->title);
      FormInfo current;
      const FormInfo* previous = nullptr;
      bool first = true;
      while (auto form = forms.NextForm(*formSet, previous)) {
        current = *form;
        previous = &current;
        if (menuAt_.count(current.opcode)) continue;
        Menu m;
        m.displayName = Text(strings, list, current.title);
        std::string base = MenuName(m.displayName, "Form" + Hex4(current.formId));
        m.name = base;
        for (size_t n = 2; !names.insert(m.name).second; ++n) m.name = base + "_" + std::to_string(n);
        m.displayOrder = menus_.size() + 1;
        m.formSetTitle = formSetTitle;
        m.formSetGuid = formSet->guid;
        m.formId = current.formId;
        std::optional<uint16_t> page = evaluator_ ? evaluator_->PageOfForm(current.opcode) : std::nullopt;
        if (page) byPage.emplace(*page, menus_.size());
        firstOfFormSet.push_back(first);
        first = false;
        pages.push_back(page);
        lists.push_back(list.offset);
        menuAt_.emplace(current.opcode, menus_.size());
        menus_.push_back(std::move(m));
      }
    }
    std::vector<std::optional<PageReference>> references(menus_.size());
    for (size_t i = 0; i < menus_.size(); ++i) {
      if (!pages[i] || firstOfFormSet[i]) continue;
      auto reference = evaluator_->ParentReference(*pages[i]);
      if (!reference) continue;
      auto parent = byPage.find(reference->parent);
      if (parent == byPage.end() || lists[parent->second] != lists[i]) continue;
      menus_[i].parent = static_cast<int>(parent->second);
      references[i] = std::move(reference);
    }
    // Circles of REFs: each is broken above its earliest form, which goes to the top. Every
    // menu is visited once on the way up from some menu, so this is linear.
    std::vector<uint8_t> state(menus_.size(), 0);  // 0 not seen, 1 on the current way up, 2 settled
    for (size_t i = 0; i < menus_.size(); ++i) {
      std::vector<size_t> way;
      int at = static_cast<int>(i);
      for (; at >= 0 && state[static_cast<size_t>(at)] == 0; at = menus_[static_cast<size_t>(at)].parent) {
        state[static_cast<size_t>(at)] = 1;
        way.push_back(static_cast<size_t>(at));
      }
      if (at >= 0 && state[static_cast<size_t>(at)] == 1) {
        size_t earliest = static_cast<size_t>(at);
        for (auto it = std::find(way.begin(), way.end(), static_cast<size_t>(at)); it != way.end(); ++it)
          earliest = std::min(earliest, *it);
        menus_[earliest].parent = -1;
        references[earliest].reset();
      }
      for (size_t w : way) state[w] = 2;
    }
    // Paths and conditions, parents first: a menu's extend its parent's.
    Bytes image = setup_.database.Image();
    std::vector<bool> done(menus_.size(), false);
    for (size_t i = 0; i < menus_.size(); ++i) {
      std::vector<size_t> way;  // the menus from i up to the first one done or at the top
      for (int at = static_cast<int>(i); at >= 0 && !done[static_cast<size_t>(at)]; at = menus_[static_cast<size_t>(at)].parent)
        way.push_back(static_cast<size_t>(at));
      for (auto it = way.rbegin(); it != way.rend(); ++it) {
        Menu& m = menus_[*it];
        if (m.parent >= 0) {
          const Menu& parent = menus_[static_cast<size_t>(m.parent)];
          m.path = parent.path + "/" + m.name;
          m.reference = references[*it]->reference;
          m.conditions = parent.conditions;
          for (size_t at : references[*it]->conditions) {
            AttributeCondition c;
            c.opcode = at;
            auto op = OpAt(image, at, image.size());
            c.code = op ? op->code : 0;
            c.list = lists[*it];
            c.page = references[*it]->parent;
            c.questionId = references[*it]->questionId;
            c.evaluable = true;
            m.conditions.push_back(book_->Evaluated(c));
          }
        } else {
          m.path = "./" + m.name;
        }
        ConditionFlags flags = FlagsOf(m.conditions);
        m.hidden = flags.hidden;
        m.grayOut = flags.grayOut;
        m.readOnly = flags.grayOut || flags.disabled;
        done[*it] = true;
      }
    }
  }

  // The conditions of a question: its menu's, then those around it in its form.
  void Conditions(Attribute& a, const QuestionRecord& record) {
    const std::vector<OpenCondition>& open = walk_.OpenConditions();
    if ((!menu_ || menu_->conditions.empty()) && open.empty()) return;
    if (menu_) a.conditions = menu_->conditions;
    for (const OpenCondition& o : open) {
      AttributeCondition c;
      c.opcode = o.opcode;
      c.code = o.code;
      c.list = list_;
      c.page = page_.value_or(0);
      c.questionId = record.QuestionId;
      c.evaluable = page_.has_value();
      a.conditions.push_back(book_->Evaluated(c));
    }
  }

  void Emit(Attribute& a) {
    a.displayOrder = ++order_;
    sink_.attribute(a);
    if (sink_.stop && sink_.stop()) stopped_ = true;
  }

  // The fields every attribute of the question shares; `promptText` is the prompt as the
  // firmware holds it.
  Attribute Common(const PackageList& list, const QuestionRecord& record, const VarStoreEntry& store,
                   const std::wstring& promptText) {
    const StringLookup& strings = setup_.strings;
    Attribute a;
    if (sink_.describe) {
      a.displayName = Utf8(promptText);
      a.helpText = Text(strings, list, record.Help);
      a.menuPath = menuPath_;
      a.variableName = store.Name;
      a.sharesStorage = seen_.Contains(walk_.VarStores(), record);
    }
    Conditions(a, record);
    ConditionFlags flags = FlagsOf(a.conditions);
    a.hidden = flags.hidden;
    a.grayOut = flags.grayOut;
    a.variableGuid = store.Guid;
    a.offset = record.VarOffset;
    a.width = record.Width;
    a.questionId = record.QuestionId;
    a.kind = record.Kind;
    a.opcode = record.Opcode;
    Bytes image = setup_.database.Image();
    auto op = OpAt(image, record.Opcode, record.ScopeLimit);
    a.readOnlyFlag = op && !record.OlderEncoding && (Le8(op->bytes, kQFlags) & 0x01) != 0;
    a.readOnly = a.readOnlyFlag || flags.grayOut || flags.disabled;
    a.resetRequired = op && !record.OlderEncoding && OpResetRequired(*op);
    return a;
  }

  // The base of the name: the map string when the question has one, else the prompt.
  std::string BaseName(const PackageList& list, const QuestionRecord& record, const std::wstring& prompt) {
    auto map = setup_.strings.GetStringInLanguages(list, record.Prompt, kMappingLanguages);
    std::string base = map && !IsBlankText(*map) ? MakeName(Utf8(Printable(*map))) : MakeName(Utf8(prompt));
    if (base.empty()) base = "Q" + Hex4(record.QuestionId);
    return base;
  }

  // The import finds a question by its prompt and id; only the first question with both is
  // reachable.
  void CheckReachable(Attribute& a, std::string_view bookName) {
    if (!sink_.describe) return;
    std::string key = a.identity;
    key += '\n';
    key += std::to_string(a.questionId);
    auto e = keys_.Insert(key, bookName);
    if (!e.added) a.unreachable = "the question " + std::string(e.value) + " has the same prompt and question id and takes the value";
  }

  // The attribute's unique name made from `base`, and whether the import can reach it.
  void Name(Attribute& a, std::string_view base) {
    std::string_view bookName = names_.Claim(base);
    a.name = bookName;
    CheckReachable(a, bookName);
  }

  void Question(const PackageList& list, QuestionRecord& record, const std::wstring& promptText) {
    const StringLookup& strings = setup_.strings;
    const VarStoreEntry* store = walk_.VarStores().At(record.VarStoreIndex);
    if (!store) return;
    std::wstring prompt = Printable(promptText);
    SpecialControlKind kind = special_.KindOf(record);
    if (kind != SpecialControlKind::None) {
      SpecialQuestion(list, record, *store, promptText, prompt, kind);
      if (sink_.describe) seen_.Add(walk_.VarStores(), record);
      return;
    }
    if (IsBlankText(prompt)) return;
    auto value = ReadQuestionValue(walk_.VarStores(), record);
    if (record.Kind == IFR_PASSWORD) {
      Attribute a = Common(list, record, *store, promptText);
      a.type = AttrType::Password;
      a.name = names_.Claim(BaseName(list, record, prompt));
      a.minLength = record.ValueInfo.Minimum;
      a.maxLength = record.ValueInfo.Maximum;
      a.unreachable = "password questions are changed with the tool's password switches";
      Emit(a);
      return;
    }
    if (!value) return;
    Attribute a = Common(list, record, *store, promptText);
    if (sink_.describe) a.identity = Trim(ToNarrow(prompt));
    Bytes image = setup_.database.Image();
    auto op = OpAt(image, record.Opcode, record.ScopeLimit);
    switch (record.Kind) {
      case IFR_ONE_OF:
        a.type = AttrType::Enumeration;
        a.choices = OptionChoices(strings, list, record);
        break;
      case IFR_CHECKBOX:
        a.type = AttrType::Boolean;
        break;
      case IFR_NUMERIC: {
        a.type = AttrType::Integer;
        a.numericDisplay = op ? NumericDisplay(*op, record) : kDisplayUnsignedDecimal;
        size_t width = record.Width;
        if (a.numericDisplay == kDisplaySignedDecimal) {
          a.lowerBound = SignExtend(record.ValueInfo.Minimum, width);
          a.upperBound = SignExtend(record.ValueInfo.Maximum, width);
        } else {
          a.lowerBoundU = Mask(record.ValueInfo.Minimum, width);
          a.upperBoundU = Mask(record.ValueInfo.Maximum, width);
        }
        if (op && !record.OlderEncoding) {
          size_t size = NumericSize(*op);
          uint64_t step = LeN(op->bytes, kNumericMin + 2 * size, size);
          if (kNumericMin + 3 * size <= op->bytes.size()) a.scalarIncrement = static_cast<int64_t>(Mask(step, width));
        }
        break;
      }
      case IFR_STRING:
        a.type = AttrType::String;
        a.minLength = record.ValueInfo.Minimum;
        a.maxLength = record.ValueInfo.Maximum;
        break;
      case IFR_DATE:
        a.type = AttrType::String;
        a.form = ValueForm::Date;
        a.valueExpression = "^[0-9]{4}-[0-9]{2}-[0-9]{2}$";
        break;
      case IFR_TIME:
        a.type = AttrType::String;
        a.form = ValueForm::Time;
        a.valueExpression = "^[0-9]{2}:[0-9]{2}:[0-9]{2}$";
        break;
      case IFR_ORDERED_LIST:
        a.type = AttrType::String;
        a.form = ValueForm::OrderedList;
        a.choices = OptionChoices(strings, list, record);
        a.valueExpression = "^[A-Za-z0-9_]+(,[A-Za-z0-9_]+)*$";
        break;
      default:
        return;
    }
    Name(a, BaseName(list, record, prompt));
    a.current = ValueFromBytes(a, *value);
    if (a.form != ValueForm::OrderedList && record.Kind != IFR_STRING)
      a.currentRaw = LeN(*value, 0, std::min<size_t>(value->size(), 8));
    if (record.Kind != IFR_STRING && defaults_.find && sink_.defaults) {
      if (defaults_.stdPresent)
        if (auto bytes = defaults_.find(false, *store, record.VarOffset, value->size())) a.biosDefault = ValueFromBytes(a, *bytes);
      if (defaults_.mfgPresent)
        if (auto bytes = defaults_.find(true, *store, record.VarOffset, value->size())) a.mfgDefault = ValueFromBytes(a, *bytes);
    }
    if (sink_.describe) seen_.Add(walk_.VarStores(), record);
    Emit(a);
  }

  void SpecialQuestion(const PackageList& list, QuestionRecord& record, const VarStoreEntry& store,
                       const std::wstring& promptText, const std::wstring& prompt, SpecialControlKind kind) {
    if (kind == SpecialControlKind::Language || kind == SpecialControlKind::PlatformLanguage) {
      std::wstring name = SpecialControls::ControlName(kind, prompt);
      if (IsBlankText(name)) return;
      Attribute a = Common(list, record, store, promptText);
      a.type = AttrType::Enumeration;
      a.form = ValueForm::Language;
      a.special = kind;
      a.identity = ToNarrow(name);
      const auto& languages = special_.LanguageList(record.ControlVarStoreIndex);
      for (size_t i = 0; i < languages.size(); ++i) a.choices.push_back({Utf8(languages[i]), Utf8(languages[i]), i});
      if (auto at = special_.CurrentLanguage(record); at && *at < a.choices.size()) a.current = a.choices[*at].name;
      Name(a, BaseName(list, record, prompt));
      Emit(a);
      return;
    }
    if (kind == SpecialControlKind::BootOrder) {
      std::wstring name = SpecialControls::ControlName(kind, prompt);
      if (IsBlankText(name)) return;
      Attribute a = Common(list, record, store, promptText);
      // The prompt without the firmware's "%d", as the script export names the control.
      if (sink_.describe) a.displayName = Utf8(name);
      a.type = AttrType::String;
      a.form = ValueForm::BootOrder;
      a.special = kind;
      a.identity = ToNarrow(name);
      a.valueExpression = "^(Boot[0-9A-F]{4}(,Boot[0-9A-F]{4})*)?$";
      special_.ReadBootOptions();
      std::string order;
      for (const BootOption& o : special_.BootOptions()) {
        a.choices.push_back({"Boot" + Hex4(o.number), Utf8(Printable(o.description)), o.number});
        if (!order.empty()) order += ',';
        order += a.choices.back().name;
      }
      special_.FreeBootOptions();
      // The choices in number order: the registry lists them the same way whatever the order.
      std::sort(a.choices.begin(), a.choices.end(), [](const Choice& x, const Choice& y) { return x.value < y.value; });
      a.current = order;
      Name(a, BaseName(list, record, name));
      Emit(a);
      return;
    }
    auto groups = special_.LegacyGroups();
    if (!groups) return;
    for (const LegacyGroup& group : *groups) {
      std::wstring name = SpecialControls::LegacyGroupName(group.type, prompt);
      Attribute a = Common(list, record, store, promptText);
      a.displayName = Utf8(name);
      a.type = AttrType::String;
      a.form = ValueForm::LegacyOrder;
      a.special = kind;
      a.legacyType = group.type;
      a.identity = ToNarrow(name);
      a.valueExpression = "^[0-9A-F]{4}(,[0-9A-F]{4})*$";
      std::string devices;
      for (uint16_t d : group.devices) {
        if (!devices.empty()) devices += ',';
        devices += Hex4(d);
      }
      a.current = devices;
      a.name = names_.Claim(MakeName(Utf8(name)));
      a.unreachable = "the legacy device order is changed through the tool's script import";
      Emit(a);
      if (stopped_) return;
    }
  }

  const SetupContext& setup_;
  const AttributeSink& sink_;
  DefaultStores stores_;
  DefaultsSource defaults_;
  QuestionWalk walk_;
  SpecialControls special_;
  SeenStorage seen_;
  // The names and import keys of every attribute so far: allocated one after the other and
  // released at once with the walk.
  std::pmr::monotonic_buffer_resource arena_;
  NameBook names_{&arena_};
  StringTable keys_{&arena_};  // prompt and id -> name
  ConditionBook* book_ = nullptr;
  std::unique_ptr<ConditionBook> ownBook_;
  Evaluator* evaluator_ = nullptr;  // null for the older layout: its conditions are not evaluated
  std::vector<Menu> menus_;
  std::unordered_map<size_t, size_t> menuAt_;  // FORM opcode -> menu
  const Menu* menu_ = nullptr;                 // the form being walked
  size_t list_ = 0;
  std::optional<uint16_t> page_;
  std::string menuPath_;
  size_t order_ = 0;
  bool stopped_ = false;
};

}  // namespace

std::string MakeName(std::string_view text) {
  std::string out;
  bool gap = false;
  for (char c : text) {
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!keep) {
      gap = !out.empty();
      continue;
    }
    if (gap) out += '_';
    gap = false;
    out += c;
  }
  if (out.empty()) return out;
  if (!((out[0] >= 'A' && out[0] <= 'Z') || (out[0] >= 'a' && out[0] <= 'z')) || out.size() < 2) out = "Q_" + out;
  return out;
}

Json ValueFromBytes(const Attribute& a, const std::vector<uint8_t>& bytes) {
  size_t width = a.width;
  switch (a.kind) {
    case IFR_ONE_OF: {
      const Choice* c = ChoiceWithValue(a, LeN(bytes, 0, width));
      return c ? Json(c->name) : Json();
    }
    case IFR_CHECKBOX:
      return Json(LeN(bytes, 0, 1) != 0);
    case IFR_NUMERIC: {
      uint64_t v = LeN(bytes, 0, width);
      if (a.numericDisplay == kDisplaySignedDecimal) return Json(SignExtend(v, width));
      return Json(Mask(v, width));
    }
    case IFR_STRING: {
      std::wstring text;
      for (size_t at = 0; at + 1 < bytes.size(); at += 2) {
        uint32_t unit = Le16(bytes, at);
        if (unit == 0) break;
        uint32_t next = at + 3 < bytes.size() ? Le16(bytes, at + 2) : 0;
        if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
          unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
          at += 2;
        }
        text.push_back(static_cast<wchar_t>(unit));
      }
      return Json(Utf8(std::move(text)));
    }
    case IFR_DATE:
      return Json(NFormat("%04u-%02u-%02u", Le16(bytes, 0), Le8(bytes, 2), Le8(bytes, 3)));
    case IFR_TIME:
      return Json(NFormat("%02u:%02u:%02u", Le8(bytes, 0), Le8(bytes, 1), Le8(bytes, 2)));
    case IFR_ORDERED_LIST: {
      std::string out;
      size_t w = width ? width : 1;
      for (size_t at = 0; at + w <= bytes.size(); at += w) {
        const Choice* c = ChoiceWithValue(a, LeN(bytes, at, w));
        if (!c) continue;
        if (!out.empty()) out += ',';
        out += c->name;
      }
      return Json(out);
    }
    default:
      return Json();
  }
}

std::string BoundsRefusal(const Attribute& a, const Json& value) {
  if (!value.is_number_integer()) return {};
  // The value as a sign and a magnitude: a JSON integer is a signed or an unsigned 64-bit number.
  bool negative = !value.is_number_unsigned() && value.get<int64_t>() < 0;
  uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(value.get<int64_t>()) : value.get<uint64_t>();
  bool below = false, above = false;
  std::string lower, upper;
  if (a.lowerBound || a.upperBound) {
    int64_t lo = a.lowerBound.value_or(INT64_MIN), hi = a.upperBound.value_or(INT64_MAX);
    if (!negative && magnitude > static_cast<uint64_t>(INT64_MAX)) {
      above = true;
    } else {
      int64_t v = negative ? value.get<int64_t>() : static_cast<int64_t>(magnitude);
      below = v < lo;
      above = v > hi;
    }
    lower = std::to_string(lo);
    upper = std::to_string(hi);
  } else if (a.lowerBoundU || a.upperBoundU) {
    uint64_t lo = a.lowerBoundU.value_or(0), hi = a.upperBoundU.value_or(UINT64_MAX);
    below = negative || magnitude < lo;
    above = !negative && magnitude > hi;
    lower = std::to_string(lo);
    upper = std::to_string(hi);
  } else {
    return {};
  }
  if (!below && !above) return {};
  return "out of bounds: " + value.dump() + " is " + (above ? "above the upper" : "below the lower") +
         " bound; the value must be from " + lower + " to " + upper;
}

void WalkAttributes(const SetupContext& setup, const AttributeSink& sink) { Builder(setup, sink).Run(); }

}  // namespace kes::attrs
