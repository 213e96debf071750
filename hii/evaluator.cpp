// The condition evaluator's tables and the condition walk. Initialisation reads the HII database
// image once: every FORM of every form set becomes a page with its questions (controls), every
// varstore a variable whose bytes are read whole from the variable store, and "PlatformLangCodes"
// gives the languages. A condition request then evaluates the outermost open condition and the
// conditions inside it that enclose the question, against those cached bytes.
#include "hii/evaluator.h"

#include <algorithm>

#include "base/debug_log.h"
#include "base/text.h"
#include "firmware/variable_store.h"
#include "hii/evaluator_opcodes.h"
#include "hii/evaluator_state.h"
#include "hii/hii_format.h"
#include "hii/question_model.h"
#include "hii/strings.h"

namespace kes {

using namespace hii;

namespace evaluation {

namespace {

struct FixedVariable {
  const wchar_t* name;
  const char* guid;
  uint32_t attributes;
};

// The variables every evaluation knows, whether or not a form set declares them.
constexpr FixedVariable kFixedVariables[] = {
    {L"Setup", "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9", 0x7},
    {L"PlatformLang", "8BE4DF61-93CA-11D2-AA0D-00E098032B8C", 0x17},
    {L"Timeout", "8BE4DF61-93CA-11D2-AA0D-00E098032B8C", 0x7},
    {L"UserDefaults", "C4CC0DE8-0687-4422-99C1-65351A5D5F95", 0x7},
    {L"ErrorManager", "ADDEBF82-A560-46B9-A280-78C6AB61AEDA", 0x7},
    {L"VornTSESetup", "C811FA38-42C8-4579-A9BB-60E94EDDFB34", 0x7},
    {L"IDESecDev", "3DD0DE67-02D7-4129-914A-9F377CC34B0D", 0x7},
    {L"BootOrder", "8BE4DF61-93CA-11D2-AA0D-00E098032B8C", 0x17},
    {L"LegacyDevOrder", "A56074DB-65FE-45F7-BD21-2D2BDD8E9652", 0x17},
    {L"DelBootOption", "F6C73719-F34C-479C-B32F-277FCBBCFE4F", 0x17},
    {L"AddBootOption", "19D96D3F-6A6A-47D2-B195-7B2432DA3BE2", 0x17},
    {L"BootManager", "B4909CF3-7B93-4751-9BD8-5BA8220B9BB2", 0x7},
    {L"BootNowCount", "052E6EB0-F240-42C5-8309-45874545C6B4", 0x7},
    {L"LegacyDev", "A56074DB-65FE-45F7-BD21-2D2BDD8E9652", 0x1},
    {L"VornCallback", "9CF0F18E-7C7D-49DE-B5AA-BBBAD6B21007", 0x0},
    {L"LegacyGroup", "A56074DB-65FE-45F7-BD21-2D2BDD8E9652", 0x1},
    {L"SetupSaveState", "052E6EB0-F240-42C5-8309-45874545C6B4", 0x2},
};
constexpr size_t kBootOrderIndex = 7;
constexpr size_t kLegacyDevOrderIndex = 8;
constexpr const char* kDefaultBootOrderGuid = "45CF35F6-0D6E-4D04-856A-0370A5B16F53";
constexpr const char* kDefaultLegacyDevOrderGuid = "3C4EAD08-45AE-4315-8D15-A60EAA8CAF69";

EfiGuid GuidOf(const char* text) { return ParseGuidText(std::string_view(text)).value_or(EfiGuid{}); }

// Whether the name can name a variable file; such a variable is never read otherwise (reading
// would print the variable store's complaint for a name the image made up).
bool ReadableName(const std::wstring& name) {
  std::string narrow = ToNarrow(name);
  return !narrow.empty() && narrow.find('/') == std::string::npos && narrow.find('\0') == std::string::npos &&
         narrow.size() <= kMaxVariableNameBytes;
}

// A name/value varstore gets a variable of its own each time; any other varstore shares the
// variable of its GUID and name.
int FindOrAddVariable(State& s, const EfiGuid& guid, const std::wstring& name, uint32_t flags) {
  if (!(flags & kVarNameValue)) {
    auto [it, added] = s.variableByName.emplace(std::make_pair(guid.ToBytes(), name), static_cast<int>(s.variables.size()));
    if (!added) return it->second;
  }
  Variable v;
  v.guid = guid;
  v.name = name;
  v.flags = flags;
  if (!(flags & kVarNameValue) && !ReadableName(name)) v.flags |= kVarNoRead;
  s.variables.push_back(std::move(v));
  return static_cast<int>(s.variables.size() - 1);
}

std::wstring AsciiName(const IfrOp& op, size_t at) {
  std::wstring name;
  for (size_t i = at; i < op.bytes.size() && op.bytes[i] != 0; ++i) name.push_back(op.bytes[i]);
  return name;
}

void RegisterVarStore(State& s, FormSet& formSet, const IfrOp& op) {
  uint16_t id;
  int index;
  switch (op.code) {
    case IFR_VARSTORE:
      if (!Fits(op.bytes, kVarStoreName, 1)) return;
      id = Le16(op.bytes, kVarStoreId);
      index = FindOrAddVariable(s, EfiGuid::FromBytes(op.bytes, kVarStoreGuid), AsciiName(op, kVarStoreName), 0);
      break;
    case IFR_VARSTORE_EFI:
      if (!Fits(op.bytes, kVarStoreEfiName, 1)) return;
      id = Le16(op.bytes, kVarStoreEfiId);
      index = FindOrAddVariable(s, EfiGuid::FromBytes(op.bytes, kVarStoreEfiGuid), AsciiName(op, kVarStoreEfiName), 0);
      break;
    case IFR_VARSTORE_NAME_VALUE:
      // Its values live in name/value pairs, not in one variable.
      if (!Fits(op.bytes, kVarStoreNameValueGuid, 16)) return;
      id = Le16(op.bytes, kVarStoreNameValueId);
      index = FindOrAddVariable(s, EfiGuid::FromBytes(op.bytes, kVarStoreNameValueGuid), L"", kVarNameValue);
      break;
    default:
      return;
  }
  formSet.variableById.emplace(id, index);
}

bool IsControlOpcode(uint8_t code) {
  switch (code) {
    case IFR_ONE_OF: case IFR_CHECKBOX: case IFR_NUMERIC: case IFR_PASSWORD: case IFR_ACTION:
    case IFR_REF: case IFR_DATE: case IFR_TIME: case IFR_STRING: case IFR_ORDERED_LIST:
      return true;
    default:
      return false;
  }
}

// Bytes of a question's value. An ordered list's value is its first element, whose width the
// type of its first option gives; ACTION and REF hold no value in a variable.
uint16_t ControlWidth(const State& s, const IfrOp& op, size_t limit) {
  Bytes image = s.image;
  switch (op.code) {
    case IFR_ONE_OF:
    case IFR_NUMERIC: return static_cast<uint16_t>(1u << (Le8(op.bytes, kQTypeFlags) & 3));
    case IFR_CHECKBOX: return 1;
    case IFR_DATE: return 4;
    case IFR_TIME: return 3;
    case IFR_STRING: return static_cast<uint16_t>(Le8(op.bytes, kStringMaxSize) * 2);
    case IFR_PASSWORD: return static_cast<uint16_t>(Le16(op.bytes, kPasswordMaxSize) * 2);
    case IFR_ORDERED_LIST: {
      uint16_t width = 1;
      size_t end = ScopeEnd(s, op.offset, limit);
      ForEachOp(image, op.offset + op.length, end, [&](const IfrOp& inner) {
        if (inner.code != IFR_ONE_OF_OPTION) return true;
        uint8_t type = Le8(inner.bytes, kOptionType);
        width = type == 1 ? 2 : type == 2 ? 4 : type == 3 ? 8 : 1;
        return false;
      });
      return width;
    }
    default: return 0;
  }
}

struct PendingRef {
  size_t formSet;
  uint16_t page;
  uint16_t target;
  size_t opcode;
  uint16_t questionId;
};

// One pass over a forms package: where each scope ends, and where each rule is.
void IndexFormsPackage(State& s, const Package& package) {
  size_t limit = package.offset + package.bytes.size();
  size_t first = s.scopeEnds.size();
  std::vector<size_t> open;  // positions in scopeEnds of the scopes still open
  ForEachOp(s.image, package.offset + kPackageHeaderSize, limit, [&](const IfrOp& op) {
    if (op.scope) {
      open.push_back(s.scopeEnds.size());
      s.scopeEnds.emplace_back(op.offset, std::min(limit, s.image.size()));
    }
    if (op.code == IFR_END && !open.empty()) {
      s.scopeEnds[open.back()].second = op.offset + op.length;
      open.pop_back();
    }
    if (op.code == IFR_RULE && Fits(op.bytes, kRuleId, 1)) s.rules[op.bytes[kRuleId]].push_back(op.offset);
    return true;
  });
  // Packages follow each other in the image; should one not, the index is sorted again.
  if (first > 0 && s.scopeEnds.size() > first && s.scopeEnds[first].first < s.scopeEnds[first - 1].first)
    std::sort(s.scopeEnds.begin(), s.scopeEnds.end());
}

void ParseFormsPackage(State& s, const PackageList& list, const Package& package, std::vector<PendingRef>& refs) {
  Bytes image = s.image;
  size_t limit = package.offset + package.bytes.size();
  std::optional<size_t> formSet;
  std::optional<uint16_t> page;
  ForEachOp(image, package.offset + kPackageHeaderSize, limit, [&](const IfrOp& op) {
    if (page && op.offset >= s.pages[*page].formEnd) page.reset();
    switch (op.code) {
      case IFR_FORM_SET:
        if (!Fits(op.bytes, kFormSetGuid, 16)) return true;
        s.formSets.push_back(FormSet{list.offset, EfiGuid::FromBytes(op.bytes, kFormSetGuid), op.offset, limit, {}});
        formSet = s.formSets.size() - 1;
        page.reset();
        return true;
      case IFR_VARSTORE:
      case IFR_VARSTORE_EFI:
      case IFR_VARSTORE_NAME_VALUE:
        if (formSet) RegisterVarStore(s, s.formSets[*formSet], op);
        return true;
      case IFR_FORM: {
        if (!formSet || s.pages.size() >= 0xFFFF) return true;
        Page p;
        p.formId = Le16(op.bytes, kFormId);
        p.formSet = *formSet;
        p.formOpcode = op.offset;
        p.formEnd = ScopeEnd(s, op.offset, limit);
        s.pages.push_back(std::move(p));
        page = static_cast<uint16_t>(s.pages.size() - 1);
        s.pageByForm.emplace(std::make_pair(s.formSets[*formSet].guid.ToBytes(), s.pages[*page].formId), *page);
        s.pageByOpcode.emplace(op.offset, *page);
        return true;
      }
      default:
        break;
    }
    if (!page || !IsControlOpcode(op.code) || !Fits(op.bytes, kQFlags, 1)) return true;
    Control c;
    c.opcode = op.offset;
    c.code = op.code;
    c.questionId = Le16(op.bytes, kQQuestionId);
    c.varStoreId = Le16(op.bytes, kQVarStoreId);
    c.varOffset = Le16(op.bytes, kQVarOffset);
    c.width = ControlWidth(s, op, limit);
    s.pages[*page].controls.push_back(c);
    if (op.code == IFR_REF && Fits(op.bytes, kRefFormId, 2)) {
      // A REF naming another form set does not make a parent here.
      EfiGuid target = Fits(op.bytes, kRefFormSetId, 16) ? EfiGuid::FromBytes(op.bytes, kRefFormSetId) : EfiGuid{};
      if (target.IsZero() || target == s.formSets[*formSet].guid)
        refs.push_back({*formSet, *page, Le16(op.bytes, kRefFormId), op.offset, c.questionId});
    }
    return true;
  });
}

void BuildPages(State& s) {
  std::vector<PendingRef> refs;
  for (const PackageList& list : s.lists) {
    for (const Package& package : s.database->PackagesOf(list)) {
      if (package.type != kPackageForms) continue;
      IndexFormsPackage(s, package);
      ParseFormsPackage(s, list, package, refs);
    }
  }
  // Controls name their variable through the form set's VarStoreId.
  for (size_t p = 0; p < s.pages.size(); ++p) {
    Page& page = s.pages[p];
    const FormSet& formSet = s.formSets[page.formSet];
    for (size_t c = 0; c < page.controls.size(); ++c) {
      Control& control = page.controls[c];
      auto it = formSet.variableById.find(control.varStoreId);
      if (control.varStoreId != 0 && it != formSet.variableById.end()) control.variable = it->second;
      s.controlByList.emplace(std::make_pair(formSet.listOffset, control.questionId),
                              std::make_pair(static_cast<uint16_t>(p), static_cast<uint32_t>(c)));
      s.controlInPage.emplace(static_cast<uint32_t>(p) << 16 | control.questionId, static_cast<uint32_t>(c));
    }
  }
  // The parent of a page is the page holding the first REF (in image order) that targets it.
  std::map<std::pair<size_t, uint16_t>, uint16_t> pageInFormSet;
  for (size_t p = 0; p < s.pages.size(); ++p) pageInFormSet.emplace(std::make_pair(s.pages[p].formSet, s.pages[p].formId), p);
  for (auto& rules : s.rules) {
    if (!std::is_sorted(rules.begin(), rules.end())) std::sort(rules.begin(), rules.end());
  }
  for (const PendingRef& ref : refs) {
    auto it = pageInFormSet.find({ref.formSet, ref.target});
    if (it == pageInFormSet.end() || it->second == ref.page) continue;
    Page& target = s.pages[it->second];
    if (target.parent) continue;
    target.parent = ref.page;
    target.parentReference = ref.opcode;
    target.parentReferenceQuestion = ref.questionId;
  }
}

void BuildLanguages(State& s) {
  auto codes = GetNVRAMVariable(*s.firmware, L"PlatformLangCodes", guids::kGlobalVariable);
  if (codes) {
    std::string current;
    for (uint8_t byte : *codes) {
      if (byte == 0) break;
      if (byte == ';') {
        if (!current.empty()) s.languages.push_back(current);
        current.clear();
      } else {
        current.push_back(static_cast<char>(byte));
      }
    }
    if (!current.empty()) s.languages.push_back(current);
  }
  // Without the variable the strings are taken as the tool takes them everywhere else.
  s.currentLanguage = s.languages.empty() ? "en-US" : s.languages.front();
}

void LoadVariables(State& s) {
  for (Variable& v : s.variables) {
    if (v.flags & (kVarNameValue | kVarNoRead)) continue;
    uint32_t attributes = 0;
    v.current = GetNVRAMVariable(*s.firmware, v.name, v.guid, &attributes);
    if (v.current) v.attributes = attributes;
    v.defaults = v.current;
  }
  auto replace = [&](size_t index, const wchar_t* name, const char* guid) {
    if (index >= s.variables.size()) return;
    if (auto bytes = GetNVRAMVariable(*s.firmware, name, GuidOf(guid))) s.variables[index].defaults = std::move(bytes);
  };
  replace(kBootOrderIndex, L"DefaultBootOrder", kDefaultBootOrderGuid);
  replace(kLegacyDevOrderIndex, L"DefaultLegacyDevOrder", kDefaultLegacyDevOrderGuid);
}

std::u16string UnitsOf(Bytes text) {
  std::u16string out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i + 1 < text.size(); i += 2) out.push_back(static_cast<char16_t>(Le16(text, i)));
  return out;
}

bool IsCondition(uint8_t code) {
  return code == IFR_SUPPRESS_IF || code == IFR_GRAY_OUT_IF || code == IFR_NO_SUBMIT_IF ||
         code == IFR_INCONSISTENT_IF || code == IFR_DISABLE_IF;
}

uint8_t KindOf(uint8_t code) {
  switch (code) {
    case IFR_SUPPRESS_IF:
    case IFR_DISABLE_IF: return kConditionSuppress;
    case IFR_GRAY_OUT_IF: return kConditionGrayOut;
    case IFR_INCONSISTENT_IF: return kConditionInconsistent;
    case IFR_NO_SUBMIT_IF: return kConditionNoSubmit;
    default: return kConditionNone;
  }
}

// Whether the condition opening at `at` holds. A failed expression counts as false; `next` is
// where the walk goes on (after the expression, or after the opcode's header when it failed).
// Each condition is evaluated on its own (strings made by another one do not count against its
// limits), so that its value can be kept for the next request; s.readThis tells whether it read
// the request's question.
bool ConditionHolds(State& s, const Context& context, const IfrOp& op, size_t& next) {
  BeginEvaluation(s);
  s.readThis = false;
  IfrValue value;
  size_t consumed = 0;
  EfiStatus status = EvaluateAt(s, context, op.offset, 0, value, consumed);
  if (efi::IsError(status) || consumed < op.length) {
    next = op.offset + op.length;
    return false;
  }
  next = op.offset + consumed;
  return value.Type == kValueBoolean && value.Value != 0;
}

// One step of folding the kinds of the conditions around the target, innermost first: the
// result so far `r` with the next outer kind `k`.
uint8_t Fold(uint8_t r, uint8_t k) {
  if (r == kConditionNone || r == kConditionInconsistent || r == kConditionNoSubmit) return k;
  if (r == kConditionGrayOut && k != kConditionNone) return k;
  return r;
}

// A scope of kind `kind` opened inside `scopes`, with the fold of every kind from it outwards.
WalkScope OpenScope(const std::vector<WalkScope>& scopes, uint8_t kind) {
  WalkScope scope;
  scope.kind = kind;
  for (uint8_t x = 0; x < scope.fold.size(); ++x) {
    uint8_t inner = Fold(x, kind);
    scope.fold[x] = scopes.empty() ? inner : scopes.back().fold[inner];
  }
  return scope;
}

// The kinds of the open scopes folded from the innermost outwards.
uint8_t Combine(const std::vector<WalkScope>& scopes) {
  if (scopes.size() == 1) return scopes.front().kind;
  return scopes[scopes.size() - 2].fold[scopes.back().kind];
}

ConditionTrace& TraceFor(State& s, const ConditionRequest& request) {
  ++s.traceUses;
  for (ConditionTrace& t : s.traces) {
    if (t.condition == request.Condition && t.page == request.PageIndex && t.list == request.packageList) {
      t.lastUse = s.traceUses;
      return t;
    }
  }
  ConditionTrace* slot;
  if (s.traces.size() < kMaxConditionTraces) {
    slot = &s.traces.emplace_back();
  } else {
    slot = &*std::min_element(s.traces.begin(), s.traces.end(),
                              [](const ConditionTrace& a, const ConditionTrace& b) { return a.lastUse < b.lastUse; });
  }
  *slot = ConditionTrace{};
  slot->condition = request.Condition;
  slot->page = request.PageIndex;
  slot->list = request.packageList;
  slot->lastUse = s.traceUses;
  return *slot;
}

// Takes back the events of the walk from position `from` on, and returns the first of them.
WalkEvent Rewind(ConditionTrace& t, size_t from) {
  WalkEvent first = t.events[from];
  while (t.events.size() > from) {
    const WalkEvent& e = t.events.back();
    if (e.entered) t.scopes.pop_back();
    else t.scopes.push_back(e.closed);
    t.events.pop_back();
  }
  while (!t.readsThis.empty() && t.readsThis.back() >= from) t.readsThis.pop_back();
  t.stopped = false;
  return first;
}

// The condition walk of a request, going on from the trace of the previous request on the same
// condition when it can. The walk enters the scopes that enclose the target (evaluating the
// conditions among them) and steps over everything else whole. A later target keeps the scopes
// that still enclose it; the first one that does not is stepped over instead, as a walk from the
// start would, and the walk goes on from there. For another question, the conditions that read
// THIS are evaluated again, and the walk is taken back to the first whose outcome changed.
uint8_t WalkToTarget(State& s, const Context& context, const IfrOp& condition, const ConditionRequest& request,
                     ConditionTrace& t) {
  size_t target = request.Target;
  bool otherQuestion = t.started && request.QuestionId != t.questionId;
  bool restart = !t.started || target < t.target;
  if (!restart && otherQuestion && t.rootReadsThis) {
    size_t next = 0;
    bool holds = ConditionHolds(s, context, condition, next);
    restart = holds != t.rootHolds || next != t.rootNext;
  }
  if (restart) {
    ConditionTrace fresh;
    fresh.condition = t.condition;
    fresh.page = t.page;
    fresh.list = t.list;
    fresh.lastUse = t.lastUse;
    t = std::move(fresh);
    t.started = true;
    t.rootHolds = ConditionHolds(s, context, condition, t.rootNext);
    t.rootReadsThis = s.readThis;
    t.at = t.rootNext;
    t.scopes.push_back(OpenScope({}, t.rootHolds ? KindOf(condition.code) : uint8_t{kConditionNone}));
  } else {
    if (!t.events.empty() && t.events.back().minEnd <= target) {
      size_t from = t.events.size();
      while (from > 0 && t.events[from - 1].minEnd <= target) --from;
      t.at = Rewind(t, from).skipTo;
    }
    for (size_t i = 0; otherQuestion && i < t.readsThis.size(); ++i) {
      const WalkEvent& e = t.events[t.readsThis[i]];
      auto op = OpAt(s.image, e.opcode, context.limit);
      size_t next = 0;
      bool holds = op && ConditionHolds(s, context, *op, next);
      if (holds != e.holds || next != e.resume) {
        t.at = Rewind(t, t.readsThis[i]).opcode;
        break;
      }
    }
  }
  t.questionId = request.QuestionId;
  t.target = target;
  uint8_t kind = KindOf(condition.code);
  if (t.rootHolds && kind != kConditionGrayOut) return kind;
  if (t.stopped) return t.stop == WalkStop::Exit ? Combine(t.scopes) : uint8_t{kConditionNone};

  auto stop = [&](WalkStop why) {
    t.stopped = true;
    t.stop = why;
  };
  while (true) {
    if (t.at >= target) return t.at == target ? Combine(t.scopes) : uint8_t{kConditionNone};
    auto op = OpAt(s.image, t.at, context.limit);
    if (!op) {
      stop(WalkStop::Broken);
      return kConditionNone;
    }
    size_t minEnd = t.events.empty() ? SIZE_MAX : t.events.back().minEnd;
    if (op->code == IFR_END) {
      WalkEvent e;
      e.closed = t.scopes.back();
      e.minEnd = minEnd;
      t.scopes.pop_back();
      t.events.push_back(e);
      if (t.scopes.empty()) {  // the outer condition closed before the target
        stop(WalkStop::Closed);
        return kConditionNone;
      }
      t.at += op->length;
      continue;
    }
    size_t end = ScopeEnd(s, op->offset, context.limit);
    size_t skipTo = std::max(end, op->offset + op->length);
    if (!op->scope || end <= target) {
      t.at = skipTo;
      continue;
    }
    WalkEvent e;
    e.entered = true;
    e.opcode = op->offset;
    e.skipTo = skipTo;
    e.minEnd = std::min(minEnd, end);
    if (!IsCondition(op->code)) {
      t.scopes.push_back(OpenScope(t.scopes, kConditionNone));
      t.events.push_back(e);
      t.at += op->length;
      continue;
    }
    bool inner = ConditionHolds(s, context, *op, t.at);
    uint8_t innerKind = KindOf(op->code);
    e.holds = inner;
    e.resume = t.at;
    if (s.readThis) t.readsThis.push_back(t.events.size());
    t.scopes.push_back(OpenScope(t.scopes, inner ? innerKind : uint8_t{kConditionNone}));
    t.events.push_back(e);
    if (inner && (innerKind == kConditionInconsistent || innerKind == kConditionNoSubmit)) {
      stop(WalkStop::Exit);
      return Combine(t.scopes);
    }
  }
}

}  // namespace

void BeginEvaluation(State& s) {
  s.madeStrings.clear();
  s.madeUnits = 0;
}

const Page* PageAt(const State& s, uint16_t pageIndex) {
  return pageIndex < s.pages.size() ? &s.pages[pageIndex] : nullptr;
}

const PackageList* ListAt(const State& s, size_t offset) {
  auto it = s.listByOffset.find(offset);
  return it == s.listByOffset.end() ? nullptr : &s.lists[it->second];
}

size_t ScopeEnd(const State& s, size_t offset, size_t limit) {
  auto it = std::lower_bound(s.scopeEnds.begin(), s.scopeEnds.end(), std::make_pair(offset, size_t{0}));
  if (it != s.scopeEnds.end() && it->first == offset && it->second <= limit) return it->second;
  return EndOfScope(s.image, offset, limit);
}

const Control* FindControl(const State& s, uint16_t questionId, uint16_t pageIndex) {
  const Page* page = PageAt(s, pageIndex);
  if (!page) return nullptr;
  if (auto inPage = s.controlInPage.find(static_cast<uint32_t>(pageIndex) << 16 | questionId);
      inPage != s.controlInPage.end())
    return &page->controls[inPage->second];
  auto it = s.controlByList.find({s.formSets[page->formSet].listOffset, questionId});
  if (it == s.controlByList.end()) return nullptr;
  return &s.pages[it->second.first].controls[it->second.second];
}

bool ControlReadable(const State& s, const Control& c) {
  if (c.variable == kNoVariable || c.width == 0) return false;
  const Variable& v = s.variables[c.variable];
  return v.current && !(v.flags & (kVarNameValue | kVarNoRead)) && Fits(*v.current, c.varOffset, c.width);
}

EfiStatus QuestionValue(State& s, uint16_t questionId, uint16_t pageIndex, IfrValue& value) {
  const Control* c = FindControl(s, questionId, pageIndex);
  if (!c || !ControlReadable(s, *c)) return efi::kNotFound;
  const std::vector<uint8_t>& bytes = *s.variables[c->variable].current;
  if (c->code == IFR_STRING || c->code == IFR_PASSWORD) {
    std::u16string text = UnitsOf(Bytes(bytes).subspan(c->varOffset, c->width));
    text.resize(std::min(text.size(), text.find(u'\0')));
    return MakeString(s, std::move(text), value);
  }
  size_t width = std::min<size_t>(c->width, 8);
  value.Value = LeN(bytes, c->varOffset, width);
  switch (c->code) {
    case IFR_CHECKBOX: value.Type = kValueBoolean; break;
    case IFR_DATE: value.Type = kValueDate; break;
    case IFR_TIME: value.Type = kValueTime; break;
    default:
      value.Type = width == 1 ? kValueUint8 : width == 2 ? kValueUint16 : width == 4 ? kValueUint32 : kValueUint64;
      break;
  }
  return efi::kSuccess;
}

std::optional<std::u16string> StringText(State& s, const PackageList* list, uint64_t field) {
  if (field & kMadeString) {
    size_t index = static_cast<size_t>(field & 0xFFFFFFFF);
    if (index >= s.madeStrings.size()) return std::nullopt;
    return s.madeStrings[index];
  }
  uint16_t id = static_cast<uint16_t>(field);
  if (id == 0 || !list) return std::nullopt;
  // Strings are searched in the first list with the same GUID, as every other string lookup.
  const PackageList* searched = s.database->FirstListWithGuid(list->guid);
  if (!searched) searched = list;
  std::optional<Package> package = s.strings->FindStringPackage(*searched, s.currentLanguage);
  if (!package) package = s.strings->FindStringPackage(*searched, s.currentLanguage == "UQI" ? "x-UQI" : "en");
  if (!package) return std::nullopt;
  Bytes text;
  try {
    if (FindStringText(*s.database, *package, id, text) != StringFound::Yes) return std::nullopt;
  } catch (const UnsupportedStringBlocks&) {
    return std::nullopt;  // a condition never ends the run: the string counts as missing
  }
  return UnitsOf(text);
}

EfiStatus MakeString(State& s, std::u16string text, IfrValue& value) {
  if (s.madeStrings.size() >= kMaxMadeStrings || text.size() > kMaxStringUnits ||
      s.madeUnits + text.size() > kMaxMadeUnits)
    return efi::kOutOfResources;
  s.madeUnits += text.size();
  s.madeStrings.push_back(std::move(text));
  value.Type = kValueString;
  value.Value = kMadeString | (s.madeStrings.size() - 1);
  return efi::kSuccess;
}

}  // namespace evaluation

using namespace evaluation;

Evaluator::Evaluator(const HiiDatabase& database, const StringLookup& strings, FirmwareAccess& firmware)
    : database_(database), strings_(strings), firmware_(firmware), state_(std::make_unique<State>()) {}

Evaluator::~Evaluator() = default;

EfiStatus Evaluator::InitializeEvaluation() {
  DebugLog(firmware_.log, LV_MODL, "Setup Question Evaluation Initialization [START]\n ");
  *state_ = State{};
  State& s = *state_;
  s.database = &database_;
  s.strings = &strings_;
  s.firmware = &firmware_;
  s.image = database_.Image();
  for (const FixedVariable& fixed : kFixedVariables) {
    int index = FindOrAddVariable(s, GuidOf(fixed.guid), fixed.name, 0);
    s.variables[index].attributes = fixed.attributes;
  }
  BuildLanguages(s);
  s.lists = database_.Lists();
  for (size_t i = 0; i < s.lists.size(); ++i) s.listByOffset.emplace(s.lists[i].offset, i);
  BuildPages(s);
  LoadVariables(s);
  s.initialized = true;
  DebugLog(firmware_.log, LV_MODL, "Setup Question Evaluation Initialization [END] with status %x\n ", static_cast<unsigned>(efi::kSuccess));
  return efi::kSuccess;
}

bool Evaluator::EvaluationInitialized() const { return state_->initialized; }

std::optional<uint16_t> Evaluator::FindPageIndex(uint16_t formId, const EfiGuid& formSetGuid) const {
  const State& s = *state_;
  if (!s.initialized) return std::nullopt;
  auto it = s.pageByForm.find({formSetGuid.ToBytes(), formId});
  if (it == s.pageByForm.end()) return std::nullopt;
  return it->second;
}

std::optional<uint16_t> Evaluator::ParentPageFormId(uint16_t pageIndex) const {
  const State& s = *state_;
  const Page* page = PageAt(s, pageIndex);
  if (!s.initialized || !page || !page->parent) return std::nullopt;
  return s.pages[*page->parent].formId;
}

namespace {

// The context of a request, when its page and offsets lie inside one form set's forms package.
std::optional<Context> ContextOf(const State& s, const ConditionRequest& request) {
  if (!s.initialized) return std::nullopt;
  const Page* page = PageAt(s, request.PageIndex);
  if (!page) return std::nullopt;
  const FormSet& formSet = s.formSets[page->formSet];
  if (request.Condition <= formSet.opcode || request.Condition >= formSet.limit) return std::nullopt;
  Context context;
  context.list = ListAt(s, request.packageList);
  context.page = request.PageIndex;
  context.questionId = request.QuestionId;
  context.limit = formSet.limit;
  return context;
}

}  // namespace

ConditionResult Evaluator::EvaluateCondition(const ConditionRequest& request) {
  State& s = *state_;
  if (request.Condition == 0 || request.ControlFlags != 0) return kConditionNone;
  std::optional<Context> context = ContextOf(s, request);
  if (!context || request.Target <= request.Condition || request.Target >= context->limit) return kConditionNone;
  auto condition = OpAt(s.image, request.Condition, context->limit);
  if (!condition || !IsCondition(condition->code)) return kConditionNone;
  return static_cast<ConditionResult>(WalkToTarget(s, *context, *condition, request, TraceFor(s, request)));
}

std::optional<uint16_t> Evaluator::PageOfForm(size_t formOpcode) const {
  const State& s = *state_;
  auto it = s.pageByOpcode.find(formOpcode);
  if (!s.initialized || it == s.pageByOpcode.end()) return std::nullopt;
  return it->second;
}

namespace {

bool IsEnclosingCondition(uint8_t code) {
  return code == IFR_SUPPRESS_IF || code == IFR_GRAY_OUT_IF || code == IFR_DISABLE_IF;
}

// The conditions around every parent REF: each parent page is scanned once, keeping the scopes
// open at each opcode, and the conditions among them are taken at each of its REFs that make a
// child.
std::vector<std::vector<size_t>> FindReferenceConditions(const State& s) {
  std::vector<std::vector<size_t>> out(s.pages.size());
  std::map<uint16_t, std::vector<std::pair<size_t, uint16_t>>> childrenOf;  // parent -> (REF, child)
  for (size_t p = 0; p < s.pages.size(); ++p)
    if (s.pages[p].parent) childrenOf[*s.pages[p].parent].emplace_back(s.pages[p].parentReference, static_cast<uint16_t>(p));
  for (auto& entry : childrenOf) {
    std::vector<std::pair<size_t, uint16_t>>& children = entry.second;
    std::sort(children.begin(), children.end());
    const Page& page = s.pages[entry.first];
    size_t limit = s.formSets[page.formSet].limit;
    std::vector<std::pair<size_t, bool>> open;  // scopes: opcode, is an enclosing condition
    size_t next = 0;
    ForEachOp(s.image, page.formOpcode, std::min(page.formEnd, limit), [&](const IfrOp& op) {
      while (next < children.size() && children[next].first < op.offset) ++next;  // a REF off the chain
      for (; next < children.size() && children[next].first == op.offset; ++next) {
        std::vector<size_t>& conditions = out[children[next].second];
        for (const auto& [at, condition] : open)
          if (condition) conditions.push_back(at);
      }
      if (op.code == IFR_END && !open.empty()) open.pop_back();
      if (op.scope) open.emplace_back(op.offset, IsEnclosingCondition(op.code));
      return next < children.size();
    });
  }
  return out;
}

}  // namespace

std::optional<PageReference> Evaluator::ParentReference(uint16_t pageIndex) {
  State& s = *state_;
  const Page* page = PageAt(s, pageIndex);
  if (!s.initialized || !page || !page->parent) return std::nullopt;
  if (!s.referenceConditions) s.referenceConditions = FindReferenceConditions(s);
  return PageReference{*page->parent, page->parentReference, page->parentReferenceQuestion,
                       (*s.referenceConditions)[pageIndex]};
}

bool Evaluator::ReplaceEvaluationVariableBytes(std::wstring_view name, const EfiGuid& guid, std::vector<uint8_t> bytes) {
  State& s = *state_;
  auto it = s.variableByName.find(std::make_pair(guid.ToBytes(), std::wstring(name)));
  if (it == s.variableByName.end()) return false;
  Variable& v = s.variables[it->second];
  if (v.flags & (kVarNameValue | kVarNoRead)) return false;
  v.current = std::move(bytes);
  s.traces.clear();  // their outcomes were found on the previous bytes
  return true;
}

EfiStatus Evaluator::EvaluateExpression(const ConditionRequest& request, IfrValue& value, size_t& consumed) {
  State& s = *state_;
  consumed = 0;
  value = IfrValue{};
  std::optional<Context> context = ContextOf(s, request);
  if (!context) return efi::kInvalidParameter;
  BeginEvaluation(s);
  return EvaluateAt(s, *context, request.Condition, 0, value, consumed);
}

EfiStatus Evaluator::GetQuestionValue(uint16_t questionId, uint16_t pageIndex, IfrValue& value) {
  State& s = *state_;
  if (!s.initialized) return efi::kNotFound;
  return QuestionValue(s, questionId, pageIndex, value);
}

std::optional<std::u16string> Evaluator::ExpressionValueText(const ConditionRequest& request,
                                                            const IfrValue& value) {
  State& s = *state_;
  if (!s.initialized || value.Type != kValueString) return std::nullopt;
  return StringText(s, ListAt(s, request.packageList), value.Value);
}

std::optional<std::vector<uint8_t>> Evaluator::EvaluationVariableBytes(std::wstring_view name, const EfiGuid& guid,
                                                                       bool defaults) const {
  const State& s = *state_;
  auto it = s.variableByName.find(std::make_pair(guid.ToBytes(), std::wstring(name)));
  if (it == s.variableByName.end()) return std::nullopt;
  const Variable& v = s.variables[it->second];
  return defaults ? v.defaults : v.current;
}

std::vector<std::string> Evaluator::EvaluationLanguages() const { return state_->languages; }

}  // namespace kes
