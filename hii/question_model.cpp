#include "hii/question_model.h"

#include "base/text.h"
#include "hii/evaluator.h"
#include "hii/hii_format.h"
#include "hii/varstore_table.h"

namespace kes {

using namespace hii;

std::optional<IfrOp> OpAt(Bytes image, size_t offset, size_t limit) {
  limit = std::min(limit, image.size());
  if (offset >= limit || limit - offset < 2) return std::nullopt;
  uint8_t length = image[offset + 1] & kLengthMask;
  if (length < 2 || length > limit - offset) return std::nullopt;
  IfrOp op;
  op.offset = offset;
  op.code = image[offset];
  op.length = length;
  op.scope = (image[offset + 1] & kScopeBit) != 0;
  op.bytes = image.subspan(offset, length);
  return op;
}

Bytes QuestionRecord::Op(Bytes image) const {
  auto op = OpAt(image, Opcode, ScopeLimit);
  return op ? op->bytes : Bytes();
}

bool IsQuestionKind(uint8_t code) {
  switch (code) {
    case IFR_ONE_OF:
    case IFR_CHECKBOX:
    case IFR_NUMERIC:
    case IFR_PASSWORD:
    case IFR_DATE:
    case IFR_TIME:
    case IFR_STRING:
    case IFR_ORDERED_LIST:
      return true;
    default:
      return false;
  }
}

namespace {

bool HasQuestionHeader(uint8_t code) { return IsQuestionKind(code) || code == IFR_ACTION || code == IFR_REF; }

std::wstring AsciiName(Bytes op, size_t offset) {
  std::wstring name;
  for (size_t i = offset; i < op.size() && op[i] != 0; ++i) name.push_back(static_cast<wchar_t>(op[i]));
  return name;
}

}  // namespace

size_t IfrValueWidth(uint8_t type) {
  switch (type) {
    case 0: case 4: return 1;
    case 1: case 7: return 2;
    case 2: case 6: return 4;
    case 3: return 8;
    case 5: return 3;
    default: return 0;
  }
}

uint16_t OpPrompt(const IfrOp& op) {
  if (op.code == IFR_SUBTITLE || op.code == IFR_TEXT || IsQuestionKind(op.code) || op.code == IFR_ACTION ||
      op.code == IFR_REF)
    return Le16(op.bytes, kQPrompt);
  return 0;
}

uint16_t OpHelp(const IfrOp& op) {
  if (op.code == IFR_TEXT || IsQuestionKind(op.code) || op.code == IFR_ACTION || op.code == IFR_REF)
    return Le16(op.bytes, kQHelp);
  return 0;
}

uint16_t OpQuestionId(const IfrOp& op) { return HasQuestionHeader(op.code) ? Le16(op.bytes, kQQuestionId) : 0; }
uint16_t OpVarStoreId(const IfrOp& op) { return HasQuestionHeader(op.code) ? Le16(op.bytes, kQVarStoreId) : 0; }
uint16_t OpVarOffset(const IfrOp& op) { return HasQuestionHeader(op.code) ? Le16(op.bytes, kQVarOffset) : 0; }

uint8_t OpDisplayBits(const IfrOp& op) {
  return op.code == IFR_NUMERIC ? (Le8(op.bytes, kQTypeFlags) & kDisplayMask) : 0;
}

uint8_t OpDateTimeStorage(const IfrOp& op) {
  return (op.code == IFR_DATE || op.code == IFR_TIME) ? (Le8(op.bytes, kQTypeFlags) & kStorageMask) : 0;
}

bool OpResetRequired(const IfrOp& op) {
  switch (op.code) {
    case IFR_ONE_OF:
    case IFR_CHECKBOX:
    case IFR_NUMERIC:
    case IFR_DATE:
    case IFR_TIME:
    case IFR_STRING:
    case IFR_ORDERED_LIST:
      return Le8(op.bytes, kQFlags) == kResetRequiredFlags;
    default:
      return false;
  }
}

bool IsSignedNumeric(const IfrOp& op) {
  if (op.code != IFR_NUMERIC || OpDisplayBits(op) != kDisplaySignedDecimal) return false;
  size_t size = size_t{1} << (Le8(op.bytes, kQTypeFlags) & 3);
  if (!Fits(op.bytes, kNumericMin, 2 * size)) return false;
  return SignExtend(LeN(op.bytes, kNumericMin, size), size) <= SignExtend(LeN(op.bytes, kNumericMin + size, size), size);
}

uint8_t NumericDisplay(const IfrOp& op, const QuestionRecord& record) {
  if (record.OlderEncoding) return kDisplayUnsignedDecimal;
  uint8_t display = OpDisplayBits(op);
  if (display == kDisplaySignedDecimal && !IsSignedNumeric(op)) return kDisplayUnsignedDecimal;
  return display;
}

size_t EndOfScope(Bytes image, size_t offset, size_t limit) {
  auto first = OpAt(image, offset, limit);
  if (!first) return std::min(limit, image.size());
  if (!first->scope) return offset + first->length;
  int depth = 0;
  size_t at = offset;
  while (auto op = OpAt(image, at, limit)) {
    if (op->scope) ++depth;
    if (op->code == IFR_END && --depth <= 0) return at + op->length;
    at += op->length;
  }
  return std::min(limit, image.size());
}

void RegisterVarStore(VarStoreTable& table, const IfrOp& op) {
  if (op.code == IFR_VARSTORE) {
    table.Register(EfiGuid::FromBytes(op.bytes, kVarStoreGuid), AsciiName(op.bytes, kVarStoreName),
                         Le16(op.bytes, kVarStoreId), Le16(op.bytes, kVarStoreSize));
  } else if (op.code == IFR_VARSTORE_EFI) {
    table.Register(EfiGuid::FromBytes(op.bytes, kVarStoreEfiGuid), AsciiName(op.bytes, kVarStoreEfiName),
                         Le16(op.bytes, kVarStoreEfiId), Le16(op.bytes, kVarStoreEfiSize));
  }
}

void DecodeQuestion(Bytes image, const VarStoreTable& table, const IfrOp& op, size_t limit, QuestionRecord& r) {
  Bytes b = op.bytes;
  r.Opcode = op.offset;
  r.ScopeLimit = limit;
  r.QuestionId = Le16(b, kQQuestionId);
  r.Prompt = Le16(b, kQPrompt);
  r.Help = Le16(b, kQHelp);
  r.VarStoreIndex = table.FindVarStoreIndex(Le16(b, kQVarStoreId));
  r.VarOffset = Le16(b, kQVarOffset);
  r.ValueInfo = QuestionValueInfo{};
  uint8_t flags = Le8(b, kQTypeFlags);
  switch (op.code) {
    case IFR_ONE_OF:
    case IFR_NUMERIC: {
      uint8_t size = flags & 3;
      r.Width = static_cast<uint16_t>(1u << size);
      if (op.code == IFR_NUMERIC) {
        uint64_t min = LeN(b, kNumericMin, r.Width);
        // A signed reading (IsSignedNumeric) sign-extends a 2- or 4-byte minimum; a 1-byte one
        // is kept zero-extended and an 8-byte one is whole. Callers compare at the width.
        bool signedReading = IsSignedNumeric(op);
        if (signedReading && size == 1) min = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int16_t>(min)));
        if (signedReading && size == 2) min = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(min)));
        r.ValueInfo.Minimum = min;
        r.ValueInfo.Maximum = LeN(b, kNumericMin + r.Width, r.Width);
      }
      break;
    }
    case IFR_CHECKBOX:
      r.Width = 1;
      break;
    case IFR_STRING:
      r.Width = static_cast<uint16_t>(Le8(b, kStringMaxSize) * 2);
      r.ValueInfo.Minimum = Le8(b, kStringMinSize);
      r.ValueInfo.Maximum = Le8(b, kStringMaxSize);
      break;
    case IFR_PASSWORD:
      r.Width = static_cast<uint16_t>(Le16(b, kPasswordMaxSize) * 2);
      r.ValueInfo.Minimum = Le16(b, kPasswordMinSize);
      r.ValueInfo.Maximum = Le16(b, kPasswordMaxSize);
      break;
    case IFR_DATE:
      r.Width = 4;
      break;
    case IFR_TIME:
      r.Width = 3;
      break;
    case IFR_ORDERED_LIST:
      r.Width = 1;
      break;
    default:
      r.Width = 0;
      break;
  }
  if (op.code == IFR_ONE_OF || op.code == IFR_ORDERED_LIST) {
    size_t end = EndOfScope(image, op.offset, limit);
    bool first = true;
    for (size_t at = op.offset + op.length; at < end;) {
      auto inner = OpAt(image, at, end);
      if (!inner) break;
      if (inner->code == IFR_ONE_OF_OPTION) {
        OptionRecord o;
        o.Option = Le16(inner->bytes, kOptionString);
        o.Flags = Le8(inner->bytes, kOptionFlags);
        o.Type = Le8(inner->bytes, kOptionType);
        o.Value = LeN(inner->bytes, kOptionValue, IfrValueWidth(o.Type));
        r.ValueInfo.Options.push_back(o);
        if (first && op.code == IFR_ORDERED_LIST) {
          r.Width = o.Type == 1 ? 2 : o.Type == 2 ? 4 : o.Type == 3 ? 8 : 1;
        }
        first = false;
      }
      at += inner->length;
    }
  }
}

std::vector<OptionRecord> VisibleOptions(Bytes image, const QuestionRecord& record, size_t packageList,
                                         Evaluator* evaluator) {
  std::vector<OptionRecord> visible;
  size_t end = EndOfScope(image, record.Opcode, record.ScopeLimit);
  auto question = OpAt(image, record.Opcode, record.ScopeLimit);
  if (!question) return visible;
  size_t openSuppress = 0;
  int suppressDepth = 0;  // scope depth of the open suppress-if, relative to the question
  int depth = 0;
  for (size_t at = record.Opcode + question->length; at < end;) {
    auto op = OpAt(image, at, end);
    if (!op) break;
    if (op->code == IFR_SUPPRESS_IF && !openSuppress) {
      openSuppress = op->offset;
      suppressDepth = depth;
    }
    if (op->code == IFR_ONE_OF_OPTION) {
      bool hidden = false;
      if (openSuppress && evaluator) {
        ConditionRequest request;
        request.packageList = packageList;
        request.QuestionId = record.QuestionId;
        request.PageIndex = record.PageIndex;
        request.Target = op->offset;
        request.Condition = openSuppress;
        hidden = evaluator->EvaluateCondition(request) == kConditionSuppress;
      }
      if (!hidden) {
        OptionRecord o;
        o.Option = Le16(op->bytes, kOptionString);
        o.Flags = Le8(op->bytes, kOptionFlags);
        o.Type = Le8(op->bytes, kOptionType);
        o.Value = LeN(op->bytes, kOptionValue, IfrValueWidth(o.Type));
        visible.push_back(o);
      }
    }
    if (op->scope) ++depth;
    if (op->code == IFR_END) {
      if (depth > 0) --depth;
      if (openSuppress && depth == suppressDepth) openSuppress = 0;
    }
    at += op->length;
  }
  return visible;
}

}  // namespace kes
