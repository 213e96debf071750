// The question walk over the older HII layout: each data table's FORM_SET (when its class is not
// 0), its forms, and the questions of each form in the older IFR encoding, handed out in the same
// QuestionRecord as UEFI questions. The older encoding has no scopes: conditions run from
// SUPPRESS_IF to END_IF, and the varstore of the following questions is chosen by
// VARSTORE_SELECT. A question inside a suppress-if that compares with 0xFFFF is a special control;
// its control variable is the one selected right after the preceding END_IF.
#include "hii/older_layout.h"
#include "hii/question_walk.h"

namespace kes {

using namespace older;

namespace {

bool IsOlderQuestion(uint8_t code) {
  return code == OP_ONE_OF || code == OP_CHECKBOX || code == OP_NUMERIC || code == OP_STRING || code == OP_ORDERED_LIST;
}

// The varstore an older opcode declares: "Setup" under the form set's GUID for FORM_SET (no
// declared size), the named variable for VARSTORE.
void RegisterOlderVarStore(VarStoreTable& table, const IfrOp& op) {
  if (op.code == OP_FORM_SET) {
    table.Register(EfiGuid::FromBytes(op.bytes, kFormSetGuid), L"Setup", 0, 0, true);
  } else if (op.code == OP_VARSTORE) {
    std::wstring name;
    for (size_t i = kVarStoreName; i < op.bytes.size() && op.bytes[i] != 0 && name.size() < kVarStoreNameMax; ++i)
      name.push_back(static_cast<wchar_t>(op.bytes[i]));
    table.Register(EfiGuid::FromBytes(op.bytes, kVarStoreGuid), name, Le16(op.bytes, kVarStoreId),
                   Le16(op.bytes, kVarStoreSize), true);
  }
}

}  // namespace

std::optional<FormSetInfo> QuestionWalk::FirstOlderFormSet(const PackageList& list) {
  const OlderDataTable* table = database_.OlderTableOf(list);
  if (!table || table->ifrPack == 0) return std::nullopt;
  auto op = older::OpAt(database_.Image(), table->ifrPack + kPackHeaderSize, table->ifrLimit);
  if (!op || op->code != OP_FORM_SET || op->length <= kFormSetSubClass + 1) return std::nullopt;
  FormSetInfo info;
  info.classId = Le16(op->bytes, kFormSetClass);
  if (info.classId == 0) return std::nullopt;
  info.opcode = op->offset;
  info.limit = table->ifrLimit;
  info.listOffset = list.offset;
  info.guid = EfiGuid::FromBytes(op->bytes, kFormSetGuid);
  info.title = Le16(op->bytes, kFormSetTitle);
  info.help = Le16(op->bytes, kFormSetHelp);
  info.subClass = Le16(op->bytes, kFormSetSubClass);
  RegisterOlderVarStore(varStores_, *op);
  older_ = OlderState{};
  return info;
}

std::optional<FormInfo> QuestionWalk::NextOlderForm(const FormSetInfo& formSet, const FormInfo* cursor) {
  Bytes image = database_.Image();
  size_t at = cursor ? cursor->opcode : formSet.opcode;
  for (bool first = true;; first = false) {
    auto op = older::OpAt(image, at, formSet.limit);
    if (!op) return std::nullopt;
    if (op->code == OP_FORM && !first) {
      FormInfo form;
      form.opcode = op->offset;
      form.formId = Le16(op->bytes, kFormId);
      form.title = Le16(op->bytes, kFormTitle);
      return form;
    }
    if (op->code == OP_END_FORM_SET) return std::nullopt;
    if (op->code == OP_VARSTORE) RegisterOlderVarStore(varStores_, *op);
    at += op->length;
  }
}

// The value the suppress-if whose body starts at `from` compares with: that of the first
// EQ_ID_VAL, or the first list value of the first EQ_ID_LIST, before the end of the form.
uint16_t QuestionWalk::OlderComparedValue(const FormSetInfo& formSet, size_t from) {
  OlderState& s = older_;
  if (from >= s.scanFrom && from <= s.scanEnd && s.scanEnd != 0) return s.scanValue;
  Bytes image = database_.Image();
  s.scanFrom = from;
  s.scanValue = 0;
  size_t at = from;
  while (auto op = older::OpAt(image, at, formSet.limit)) {
    if (op->code == OP_EQ_ID_VAL || op->code == OP_EQ_ID_LIST) {
      s.scanValue = Le16(op->bytes, op->code == OP_EQ_ID_VAL ? kEqIdValValue : kEqIdListFirst);
      break;
    }
    if (op->code == OP_END_FORM || op->code == OP_END_FORM_SET) break;
    at += op->length;
  }
  s.scanEnd = at;
  return s.scanValue;
}

void QuestionWalk::DecodeOlderQuestion(const FormSetInfo& formSet, const IfrOp& op, QuestionRecord& record) {
  Bytes image = database_.Image();
  record = QuestionRecord{};
  record.OlderEncoding = true;
  record.Opcode = op.offset;
  record.ScopeLimit = formSet.limit;
  record.Kind = op.code;
  record.VarStoreIndex = varStores_.FindVarStoreIndex(older_.varStoreId);
  record.VarOffset = Le16(op.bytes, kQuestionOffset);
  record.Width = Le8(op.bytes, kQuestionWidth);
  record.Prompt = Le16(op.bytes, kQuestionPrompt);
  record.Help = Le16(op.bytes, kQuestionHelp);
  if (op.code == OP_CHECKBOX || op.code == OP_NUMERIC || op.code == OP_STRING)
    record.QuestionId = Le16(op.bytes, kQuestionKey);
  QuestionValueInfo& info = record.ValueInfo;
  uint8_t flags = Le8(op.bytes, kQuestionFlags);
  switch (op.code) {
    case OP_CHECKBOX:
      info.StdDefault = flags & 1;
      info.MfgDefault = (flags >> 1) & 1;
      break;
    case OP_NUMERIC:
      info.Minimum = Le16(op.bytes, kNumericMinimum);
      info.Maximum = Le16(op.bytes, kNumericMaximum);
      info.StdDefault = info.MfgDefault = Le16(op.bytes, kNumericDefault);
      break;
    case OP_STRING:
      info.Minimum = Le8(op.bytes, kStringMinSize);
      info.Maximum = Le8(op.bytes, kStringMaxSize);
      break;
    case OP_ORDERED_LIST:
      // Byte 4 holds the maximum number of entries; each entry is stored in one byte.
      record.Width = 1;
      [[fallthrough]];
    case OP_ONE_OF:
      // Up to END_ONE_OF; a question or the end of the form also ends the list, so that a list
      // left open is never scanned again by each following question.
      for (size_t at = op.offset + op.length;;) {
        auto option = older::OpAt(image, at, formSet.limit);
        if (!option || option->code == OP_END_ONE_OF || option->code == OP_END_FORM ||
            option->code == OP_END_FORM_SET || option->code == OP_FORM || IsOlderQuestion(option->code))
          break;
        at += option->length;
        if (option->code != OP_ONE_OF_OPTION) continue;
        OptionRecord o;
        o.Option = Le16(option->bytes, kOptionText);
        o.Value = Le16(option->bytes, kOptionValue);
        o.Flags = Le8(option->bytes, kOptionFlags);
        o.Type = record.Width == 2 ? 1 : 0;
        info.Options.push_back(o);
      }
      break;
    default:
      break;
  }
}

QuestionStep QuestionWalk::NextOlderQuestion(const FormSetInfo& formSet, const FormInfo& form, size_t& cursor,
                                             QuestionRecord& record, WalkMode mode) {
  Bytes image = database_.Image();
  OlderState& s = older_;
  auto start = older::OpAt(image, cursor ? cursor : form.opcode, formSet.limit);
  if (!start) {
    cursor = 0;
    return QuestionStep::FormDone;
  }
  if (cursor == 0) openConditions_.clear();
  std::optional<uint16_t> control;  // the control varstore chosen in this call
  for (size_t at = start->offset + start->length;;) {
    auto op = older::OpAt(image, at, formSet.limit);
    if (!op || op->code == OP_END_FORM || op->code == OP_END_FORM_SET || op->code == OP_FORM) {
      cursor = 0;
      return QuestionStep::FormDone;
    }
    switch (op->code) {
      case OP_SUBTITLE:
        if (mode == WalkMode::Normal && context_.verbose && subtitleSink_) subtitleSink_(*op);
        break;
      case OP_SUPPRESS_IF:
      case OP_GRAYOUT_IF:
      case OP_HIDDEN:
        if (s.endIfSeen) {
          s.endIfSeen = false;
          auto next = older::OpAt(image, at + op->length, formSet.limit);
          if (next && next->code == OP_VARSTORE_SELECT) {
            control = s.varStoreId = Le16(next->bytes, kSelectId);
          } else if (next && next->code == OP_VARSTORE_SELECT_PAIR) {
            control = Le16(next->bytes, kSelectId);
          }
        }
        if (op->code != OP_HIDDEN) openConditions_.push_back({op->offset, op->code, 0});
        if (op->code == OP_SUPPRESS_IF) {
          s.inSuppress = true;
          s.compared = OlderComparedValue(formSet, at + op->length);
        }
        break;
      case OP_END_IF:
        openConditions_.clear();
        s.inSuppress = false;
        s.endIfSeen = true;
        break;
      case OP_VARSTORE_SELECT:
      case OP_VARSTORE_SELECT_PAIR:
        s.varStoreId = Le16(op->bytes, kSelectId);
        if (s.endIfSeen) control = s.varStoreId;
        s.endIfSeen = false;
        break;
      default:
        break;
    }
    if (IsOlderQuestion(op->code)) {
      s.endIfSeen = false;
      DecodeOlderQuestion(formSet, *op, record);
      if (control) record.ControlVarStoreIndex = varStores_.FindVarStoreIndex(*control);
      if (s.inSuppress && s.compared == 0xFFFF) record.ValueInfo.Flags |= 1;
      cursor = op->offset;
      return QuestionStep::Question;
    }
    at += op->length;
  }
}

}  // namespace kes
