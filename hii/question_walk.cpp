#include "hii/question_walk.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <set>
#include <tuple>

#include "base/interrupt.h"
#include "base/text.h"
#include "hii/evaluator.h"
#include "hii/hii_format.h"
#include "hii/strings.h"

namespace kes {

using namespace hii;

namespace {

bool IsConditionOpcode(uint8_t code) {
  return code == IFR_SUPPRESS_IF || code == IFR_GRAY_OUT_IF || code == IFR_NO_SUBMIT_IF ||
         code == IFR_INCONSISTENT_IF || code == IFR_DISABLE_IF;
}

}  // namespace

void QuestionWalk::AddReference(const EfiGuid& formSet, uint16_t formId, bool suppressed, bool grayedOut) {
  ReferenceKey key{formSet.ToBytes(), formId};
  hidden_.insert(key);
  if (suppressed) suppressed_.insert(key);
  if (grayedOut) grayedOut_.insert(key);
}

const QuestionWalk::SpecialControlIndex& QuestionWalk::IndexFormSet(const FormSetInfo& formSet) {
  if (special_.formSet == formSet.opcode && formSet.opcode != 0) return special_;
  special_ = SpecialControlIndex{};
  special_.formSet = formSet.opcode;
  Bytes image = database_.Image();
  size_t unclosed = std::min(formSet.limit, image.size());
  std::vector<std::pair<size_t, size_t>>& ends = special_.conditionEnds;
  std::vector<std::optional<size_t>> open;  // per open scope: its position in `ends` when it is a condition
  ForEachOp(image, formSet.opcode, formSet.limit, [&](const IfrOp& op) {
    if (op.scope) {
      bool condition = op.code == IFR_SUPPRESS_IF || op.code == IFR_GRAY_OUT_IF;
      open.push_back(condition ? std::optional<size_t>(ends.size()) : std::nullopt);
      if (condition) ends.emplace_back(op.offset, unclosed);
    }
    if (op.code == IFR_END && !open.empty()) {
      if (open.back()) ends[*open.back()].second = op.offset + op.length;
      open.pop_back();
    }
    if (op.code == IFR_EQ_ID_VAL || op.code == IFR_EQ_ID_VAL_LIST) special_.tests.push_back(op.offset);
    if (IsQuestionKind(op.code) || op.code == IFR_ACTION || op.code == IFR_REF)
      special_.varStoreOfQuestion.emplace(OpQuestionId(op), OpVarStoreId(op));
    size_t nameAt = 0;
    uint16_t id = 0;
    if (op.code == IFR_VARSTORE) {
      id = Le16(op.bytes, kVarStoreId);
      nameAt = kVarStoreName;
    } else if (op.code == IFR_VARSTORE_EFI) {
      id = Le16(op.bytes, kVarStoreEfiId);
      nameAt = kVarStoreEfiName;
    }
    if (nameAt != 0 && !special_.varStoreName.count(id)) {
      std::wstring name;
      for (size_t i = nameAt; i < op.bytes.size() && op.bytes[i]; ++i) name.push_back(op.bytes[i]);
      special_.varStoreName.emplace(id, std::move(name));
    }
    return true;
  });
  return special_;
}

// A condition testing a question against 0xFFFF marks the next question as a special control
// when the tested question's variable is one of the special variables. The test is the first
// EQ_ID_VAL or EQ_ID_VAL_LIST inside the condition's scope; the question is the first of that
// QuestionId in the form set, and its varstore the first of its VarStoreId there.
void QuestionWalk::CheckSpecialControl(const FormSetInfo& formSet, const IfrOp& condition, uint32_t& index,
                                       bool& counted) {
  Bytes image = database_.Image();
  const SpecialControlIndex& special = IndexFormSet(formSet);
  auto scope = std::lower_bound(special.conditionEnds.begin(), special.conditionEnds.end(),
                                std::make_pair(condition.offset, size_t{0}));
  std::optional<IfrOp> test;
  if (scope != special.conditionEnds.end() && scope->first == condition.offset) {
    auto first = std::lower_bound(special.tests.begin(), special.tests.end(), condition.offset + condition.length);
    if (first != special.tests.end() && *first < scope->second) test = OpAt(image, *first, scope->second);
  } else {
    // A condition off the form set's chain of opcodes (never met by a walk): its scope is
    // scanned.
    size_t end = EndOfScope(image, condition.offset, formSet.limit);
    for (size_t at = condition.offset + condition.length; at < end && !test;) {
      auto op = OpAt(image, at, end);
      if (!op) break;
      if (op->code == IFR_EQ_ID_VAL || op->code == IFR_EQ_ID_VAL_LIST) test = op;
      at += op->length;
    }
  }
  if (!test) return;
  uint16_t value = Le16(test->bytes, test->code == IFR_EQ_ID_VAL ? kEqValue : kEqListFirst);
  if (value < 0xFFFF) return;
  auto question = special.varStoreOfQuestion.find(Le16(test->bytes, kEqQuestionId));
  if (question == special.varStoreOfQuestion.end()) return;
  auto name = special.varStoreName.find(question->second);
  if (name == special.varStoreName.end()) return;
  const VarStoreEntry* entry = varStores_.FindByName(name->second);
  if (entry && varStores_.GetSpecialControlKind(entry->Index) != SpecialControlKind::None) {
    index = entry->Index;
    counted = true;
  }
}

WalkContext WalkContext::FromRun(const RunState& run) {
  WalkContext c;
  c.exportMode = run.switches.Has(Switch::O);
  c.verbose = run.switches.Has(Switch::V);
  c.suppressIf = run.switches.Has(Switch::Sp);
  c.grayOutIf = run.switches.Has(Switch::G);
  c.commentOut = run.switches.Has(Switch::Ce);
  c.mapString = run.options.MapString;
  return c;
}

QuestionWalk::QuestionWalk(const HiiDatabase& database, const StringLookup& strings, FirmwareAccess& firmware,
                           Evaluator* evaluator, WalkContext context)
    : database_(database), strings_(strings), evaluator_(evaluator), context_(std::move(context)), varStores_(firmware) {}

ReferenceMarks QuestionWalk::LookupReference(const EfiGuid& formSet, uint16_t formId) const {
  ReferenceKey key{formSet.ToBytes(), formId};
  return {hidden_.count(key) > 0, suppressed_.count(key) > 0, grayedOut_.count(key) > 0};
}

std::optional<FormSetInfo> QuestionWalk::FirstFormSet(const PackageList& list) {
  if (database_.Format() == HiiFormat::Older) return FirstOlderFormSet(list);
  Bytes image = database_.Image();
  std::optional<Package> forms;
  for (const Package& p : database_.PackagesOf(list)) {
    if (p.type == kPackageKeyboardLayout) break;
    if (p.type == kPackageForms) {
      forms = p;
      break;
    }
  }
  if (!forms) return std::nullopt;
  size_t limit = forms->offset + forms->bytes.size();
  auto formSetOp = OpAt(image, forms->offset + kPackageHeaderSize, limit);
  if (!formSetOp || formSetOp->code != IFR_FORM_SET) return std::nullopt;
  FormSetInfo info;
  info.opcode = formSetOp->offset;
  info.limit = limit;
  info.listOffset = list.offset;
  info.guid = EfiGuid::FromBytes(formSetOp->bytes, kFormSetGuid);
  info.title = Le16(formSetOp->bytes, kFormSetTitle);
  info.help = Le16(formSetOp->bytes, kFormSetHelp);
  ForEachOp(image, formSetOp->offset, limit, [&](const IfrOp& op) {
    if (op.code != IFR_GUID) return true;
    uint8_t extended = Le8(op.bytes, kGuidExtendOp);
    if (extended == kGuidClass) info.classId = Le16(op.bytes, kGuidExtendValue);
    if (extended != kGuidSubClass) return true;
    info.subClass = Le16(op.bytes, kGuidExtendValue);
    return false;
  });
  return info;
}

std::optional<FormInfo> QuestionWalk::NextForm(const FormSetInfo& formSet, const FormInfo* cursor) {
  if (database_.Format() == HiiFormat::Older) return NextOlderForm(formSet, cursor);
  Bytes image = database_.Image();
  size_t at = cursor ? cursor->opcode : formSet.opcode;
  depth_ = cursor ? cursor->depthBefore : 0;
  bool first = true;
  while (auto op = OpAt(image, at, formSet.limit)) {
    if (op->code == IFR_FORM && !first) {
      FormInfo form;
      form.opcode = op->offset;
      form.formId = Le16(op->bytes, kFormId);
      form.title = Le16(op->bytes, kFormTitle);
      form.depthBefore = depth_;
      if (op->scope) ++depth_;
      return form;
    }
    first = false;
    if (op->code == IFR_VARSTORE || op->code == IFR_VARSTORE_EFI) RegisterVarStore(varStores_, *op);
    if (op->code == IFR_END) {
      if (depth_ > 0) --depth_;
      if (depth_ == 0) return std::nullopt;
    }
    if (op->scope) ++depth_;
    at += op->length;
  }
  return std::nullopt;
}

QuestionStep QuestionWalk::NextQuestion(const FormSetInfo& formSet, const FormInfo& form, size_t& cursor,
                                        QuestionRecord& record, WalkMode mode) {
  ThrowIfInterrupted();  // every walk stops at the next question once the run was interrupted
  if (database_.Format() == HiiFormat::Older) return NextOlderQuestion(formSet, form, cursor, record, mode);
  Bytes image = database_.Image();
  const WalkContext& context = context_;
  bool evaluating = mode == WalkMode::Normal && context.exportMode && (context.suppressIf || context.grayOutIf);
  size_t at;
  if (cursor == 0) {
    baseline_ = depth_;
    openConditions_.clear();
    auto formOp = OpAt(image, form.opcode, formSet.limit);
    if (!formOp) return QuestionStep::FormDone;
    at = form.opcode + formOp->length;
  } else {
    auto previous = OpAt(image, cursor, formSet.limit);
    if (!previous) {
      cursor = 0;
      return QuestionStep::FormDone;
    }
    at = cursor + previous->length;
  }
  uint32_t pendingIndex = 0;
  bool pendingCounted = false;
  while (true) {
    auto op = OpAt(image, at, formSet.limit);
    if (!op) {
      cursor = 0;
      return QuestionStep::FormDone;
    }
    bool found = false, conditionStart = false, conditionEnd = false;
    if (evaluating && op->scope) scopeStack_.push_back(op->code);
    switch (op->code) {
      case IFR_SUBTITLE:
        if (mode == WalkMode::Normal && context.verbose && subtitleSink_ &&
            !(LookupReference(formSet.guid, form.formId).hidden && !context.commentOut))
          subtitleSink_(*op);
        break;
      case IFR_ONE_OF:
      case IFR_CHECKBOX:
      case IFR_NUMERIC:
      case IFR_PASSWORD:
      case IFR_STRING:
      case IFR_ORDERED_LIST:
        found = true;
        break;
      case IFR_DATE:
      case IFR_TIME:
        found = OpDateTimeStorage(*op) == 0;
        break;
      case IFR_REF:
        if (evaluating) {
          uint16_t target = Le16(op->bytes, kRefFormId);
          if (auto page = evaluator_ ? evaluator_->FindPageIndex(target, formSet.guid) : std::nullopt) {
            if (auto parent = evaluator_->ParentPageFormId(*page)) {
              ReferenceMarks marks = LookupReference(formSet.guid, *parent);
              if (marks.hidden) AddReference(formSet.guid, target, marks.suppressed, marks.grayedOut);
            }
          }
          found = true;
        }
        break;
      case IFR_SUPPRESS_IF:
      case IFR_GRAY_OUT_IF:
        CheckSpecialControl(formSet, *op, pendingIndex, pendingCounted);
        break;
      default:
        break;
    }
    if (evaluating && IsConditionOpcode(op->code)) {
      conditionStart = true;
      ++conditionNesting_;
    }
    if (op->scope && (op->code == IFR_SUPPRESS_IF || op->code == IFR_GRAY_OUT_IF || op->code == IFR_DISABLE_IF))
      openConditions_.push_back({op->offset, op->code, depth_});
    if (op->code == IFR_END) {
      if (depth_ > 0) --depth_;
      while (!openConditions_.empty() && openConditions_.back().depth >= depth_) openConditions_.pop_back();
      if (evaluating && !scopeStack_.empty()) {
        uint8_t popped = scopeStack_.back();
        scopeStack_.pop_back();
        if (IsConditionOpcode(popped)) {
          if (conditionNesting_ > 0) --conditionNesting_;
          if (conditionNesting_ == 0) conditionEnd = true;
        }
      }
      if (depth_ < baseline_) {
        cursor = 0;
        return QuestionStep::FormDone;
      }
    }
    if (evaluating) {
      if (conditionStart && openCondition_ == 0) openCondition_ = op->offset;
      if (conditionEnd) {
        openCondition_ = 0;
        conditionNesting_ = 0;
      }
    }
    if (op->scope) ++depth_;
    if (!found) {
      at += op->length;
      continue;
    }

    record = QuestionRecord{};
    record.Kind = op->code;
    DecodeQuestion(image, varStores_, *op, formSet.limit, record);
    record.ControlVarStoreIndex = pendingIndex;
    if (pendingCounted) record.ValueInfo.Flags |= 1;
    cursor = op->offset;
    std::optional<uint16_t> page =
        evaluator_ ? evaluator_->FindPageIndex(form.formId, formSet.guid) : std::nullopt;
    if (page) record.PageIndex = *page;
    if (evaluating && page && openCondition_ != 0) {
      ConditionRequest request;
      request.packageList = formSet.listOffset;
      request.QuestionId = record.QuestionId;
      request.PageIndex = record.PageIndex;
      request.Target = op->offset;
      request.Condition = openCondition_;
      ConditionResult result = evaluator_->EvaluateCondition(request);
      bool suppress = result == kConditionSuppress && context.suppressIf;
      bool grayOut = result == kConditionGrayOut && context.grayOutIf;
      if (suppress || grayOut) {
        if (op->code == IFR_REF) {
          AddReference(formSet.guid, Le16(op->bytes, kRefFormId), suppress, grayOut);
        } else if (context.commentOut && suppress) {
          record.Suppressed = true;
        } else if (context.commentOut && grayOut) {
          record.GrayedOut = true;
        } else {
          return QuestionStep::Nothing;
        }
      }
    }
    if (op->code == IFR_REF) return QuestionStep::Nothing;
    return QuestionStep::Question;
  }
}

void SeenStorage::Add(const VarStoreTable& table, const QuestionRecord& record) {
  const VarStoreEntry* entry = table.At(record.VarStoreIndex);
  if (!entry) return;
  entries_.emplace(entry->Guid.ToBytes(), entry->Name, record.VarOffset);
}

bool SeenStorage::Contains(const VarStoreTable& table, const QuestionRecord& record) const {
  const VarStoreEntry* entry = table.At(record.VarStoreIndex);
  if (!entry) return false;
  return entries_.count({entry->Guid.ToBytes(), entry->Name, record.VarOffset}) > 0;
}

std::optional<IfrOp> DefaultOpcode(Bytes image, const QuestionRecord& record) {
  if (record.Kind == IFR_STRING || record.Kind == IFR_PASSWORD) return std::nullopt;
  std::optional<IfrOp> found;
  ForEachOp(image, record.Opcode, record.ScopeLimit, [&](const IfrOp& op) {
    if (op.code == IFR_DEFAULT) found = op;
    return !found && op.code != IFR_END;
  });
  return found;
}

int NumericTextCheck(const char* text, bool decimal) {
  if (!text || !*text) return 1;
  size_t length = std::strlen(text);
  bool signSeen = false;
  for (size_t i = length; i-- > 0;) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    bool hexDigit = std::isxdigit(c) != 0;
    if (hexDigit && !(decimal && c >= 'A')) continue;
    if (i == 0 && decimal && (c == '+' || c == '-')) {
      signSeen = true;
      break;
    }
    if (i == 1 && !decimal && (c == 'x' || c == 'X') && text[0] == '0') continue;
    return 1;
  }
  if (signSeen && length == 1) return 1;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, decimal ? 10 : 16);
  if (errno == ERANGE) return 1;
  if (value != 0) return 0;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '0') continue;
    if (i == 0 && decimal && (c == '+' || c == '-')) continue;
    if (i == 1 && !decimal && (c == 'x' || c == 'X')) continue;
    return 1;
  }
  return 0;
}

void QuestionWalk::WalkQuestions(const QuestionVisitor& visitor, WalkMode mode) {
  openCondition_ = 0;
  conditionNesting_ = 0;
  scopeStack_.clear();
  for (const PackageList& list : database_.Lists()) {
    varStores_.Clear();
    auto formSet = FirstFormSet(list);
    if (!formSet) continue;
    if (visitor.formSet) visitor.formSet(list, *formSet);
    FormInfo current;
    const FormInfo* previous = nullptr;
    while (auto form = NextForm(*formSet, previous)) {
      current = *form;
      previous = &current;
      if (visitor.form) visitor.form(list, *formSet, current);
      size_t cursor = 0;
      QuestionRecord record;
      while (true) {
        QuestionStep step = NextQuestion(*formSet, current, cursor, record, mode);
        if (step == QuestionStep::FormDone) break;
        if (step != QuestionStep::Question) continue;
        if (visitor.question) visitor.question(list, *formSet, current, record);
        if (visitor.stop && visitor.stop()) return;
      }
      if (visitor.formEnd) visitor.formEnd(current);
    }
  }
}

int CountMapStringMatches(const HiiDatabase& database, const StringLookup& strings, FirmwareAccess& firmware,
                          Evaluator* evaluator, const WalkContext& context) {
  int result = 0;
  QuestionRecord first;
  bool differs = false;
  QuestionVisitor visitor;
  visitor.question = [&](const PackageList& list, const FormSetInfo&, const FormInfo&, QuestionRecord& record) {
    auto mapString = strings.GetString(list, record.Prompt, true, &context.mapString);
    if (!mapString || mapString->empty() || CompareNoCaseWide(*mapString, context.mapString) != 0) return;
    if (result == 0) {
      first = record;
      result = 1;
    } else if (record.Width != first.Width || record.VarOffset != first.VarOffset ||
               record.VarStoreIndex != first.VarStoreIndex) {
      differs = true;
    }
  };
  visitor.stop = [&] { return differs; };
  QuestionWalk(database, strings, firmware, evaluator, context).WalkQuestions(visitor);
  return differs ? 2 : result;
}

}  // namespace kes
