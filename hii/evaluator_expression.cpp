// The stack machine that evaluates one IFR expression: the opcodes after a condition (or VALUE,
// or RULE) opcode, in postfix order, each popping its operands and pushing its result, until the
// first opcode that is not part of an expression. Every read is bounded by the forms package.
#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "hii/evaluator_opcodes.h"
#include "hii/evaluator_state.h"
#include "hii/evaluator_text.h"
#include "hii/hii_format.h"
#include "hii/question_model.h"

namespace kes::evaluation {

using namespace hii;

bool IsExpressionOpener(uint8_t code) {
  switch (code) {
    case IFR_SUPPRESS_IF: case IFR_NO_SUBMIT_IF: case IFR_INCONSISTENT_IF: case IFR_GRAY_OUT_IF:
    case IFR_DISABLE_IF: case IFR_VALUE: case IFR_RULE:
      return true;
    default:
      return false;
  }
}

size_t ExpressionOpLength(uint8_t code) {
  switch (code) {
    case IFR_EQ_ID_VAL: case IFR_EQ_ID_ID: case IFR_EQ_ID_VAL_LIST: case IFR_UINT32: return 6;
    case IFR_RULE_REF: case IFR_UINT8: case IFR_TO_STRING: case IFR_FIND: case IFR_SPAN: return 3;
    case IFR_QUESTION_REF1: case IFR_UINT16: case IFR_STRING_REF1: return 4;
    case IFR_UINT64: return 10;
    case IFR_AND: case IFR_OR: case IFR_NOT: case IFR_TO_LOWER: case IFR_TO_UPPER: case IFR_VERSION:
    case IFR_MATCH: case IFR_EQUAL: case IFR_NOT_EQUAL: case IFR_GREATER_THAN: case IFR_GREATER_EQUAL:
    case IFR_LESS_THAN: case IFR_LESS_EQUAL: case IFR_BITWISE_AND: case IFR_BITWISE_OR:
    case IFR_BITWISE_NOT: case IFR_SHIFT_LEFT: case IFR_SHIFT_RIGHT: case IFR_ADD: case IFR_SUBTRACT:
    case IFR_MULTIPLY: case IFR_DIVIDE: case IFR_MODULO: case IFR_QUESTION_REF2: case IFR_TRUE:
    case IFR_FALSE: case IFR_TO_UINT: case IFR_TO_BOOLEAN: case IFR_MID: case IFR_TOKEN:
    case IFR_STRING_REF2: case IFR_CONDITIONAL: case IFR_QUESTION_REF3: case IFR_ZERO: case IFR_ONE:
    case IFR_ONES: case IFR_UNDEFINED: case IFR_LENGTH: case IFR_DUP: case IFR_THIS: case IFR_CATENATE:
      return 2;
    default:
      return 0;
  }
}

namespace {

IfrValue Make(uint8_t type, uint64_t value) { return IfrValue{type, value}; }
IfrValue Bool(bool b) { return Make(kValueBoolean, b ? 1 : 0); }

bool IsInteger(const IfrValue& v) { return v.Type <= kValueUint64; }
bool IsScalar(const IfrValue& v) { return v.Type <= kValueDate; }  // numbers, BOOLEAN, TIME, DATE
bool IsComparable(const IfrValue& v) { return v.Type <= kValueBoolean || v.Type == kValueString; }

std::u16string Units(const char* ascii) {
  std::u16string out;
  for (const char* p = ascii; *p; ++p) out.push_back(static_cast<unsigned char>(*p));
  return out;
}

// A number read from text: hexadecimal after the first "0X" (the text upper-cased), decimal
// from the start otherwise. Digits stop at the first other unit; a value too large saturates.
uint64_t TextToUint(const std::u16string& text) {
  std::u16string upper = ToUpperText(text);
  size_t hex = upper.find(u"0X");
  uint64_t value = 0;
  const uint64_t max = ~uint64_t{0};
  if (hex != std::u16string::npos) {
    for (size_t i = hex + 2; i < upper.size(); ++i) {
      char16_t c = upper[i];
      unsigned digit;
      if (c >= u'0' && c <= u'9') digit = c - u'0';
      else if (c >= u'A' && c <= u'F') digit = c - u'A' + 10;
      else break;
      if (value > (max >> 4)) return max;
      value = (value << 4) | digit;
    }
    return value;
  }
  size_t i = 0;
  while (i < upper.size() && (upper[i] == u' ' || upper[i] == u'\t')) ++i;
  for (; i < upper.size() && upper[i] >= u'0' && upper[i] <= u'9'; ++i) {
    unsigned digit = upper[i] - u'0';
    if (value > (max - digit) / 10) return max;
    value = value * 10 + digit;
  }
  return value;
}

class Machine {
 public:
  Machine(State& s, const Context& context, int depth) : s_(s), context_(context), depth_(depth) {}

  EfiStatus Run(size_t opener, IfrValue& result, size_t& consumed) {
    auto first = OpAt(s_.image, opener, context_.limit);
    if (!first) return efi::kInvalidParameter;
    if (!IsExpressionOpener(first->code)) {
      result = IfrValue{};
      consumed = first->length;
      return efi::kSuccess;
    }
    EfiStatus status = ForEachExpressionOp(s_.image, context_.limit, *first, [&](const IfrOp& op) { return Step(op); },
                                           consumed);
    if (efi::IsError(status)) return status;
    if (values_.size() != 1) return efi::kInvalidParameter;
    result = values_.back();
    return efi::kSuccess;
  }

 private:
  EfiStatus Push(IfrValue v) {
    if (values_.size() >= kMaxValueStack) return efi::kOutOfResources;
    values_.push_back(v);
    return efi::kSuccess;
  }

  EfiStatus Pop(IfrValue& v) {
    if (values_.empty()) return efi::kInvalidParameter;
    v = values_.back();
    values_.pop_back();
    return efi::kSuccess;
  }

  template <typename... V>
  EfiStatus PopAll(V&... v) {
    EfiStatus status = efi::kSuccess;
    ((status = efi::IsError(status) ? status : Pop(v)), ...);
    return status;
  }

  // The text of a STRING operand; `wrongType` for another type, NOT_FOUND for a missing string.
  EfiStatus TextOf(const IfrValue& v, std::u16string& text, EfiStatus wrongType = efi::kInvalidParameter) {
    if (v.Type != kValueString) return wrongType;
    auto found = StringText(s_, context_.list, v.Value);
    if (!found) return efi::kNotFound;
    text = std::move(*found);
    return efi::kSuccess;
  }

  EfiStatus PushString(std::u16string text) {
    IfrValue v;
    EfiStatus status = MakeString(s_, std::move(text), v);
    return efi::IsError(status) ? status : Push(v);
  }

  EfiStatus PushQuestion(uint16_t questionId) {
    IfrValue v;
    EfiStatus status = QuestionValue(s_, questionId, context_.page, v);
    return efi::IsError(status) ? status : Push(v);
  }

  // Sign of left - right: numbers by the signed 64-bit difference, strings by their texts.
  EfiStatus Compare(const IfrValue& left, const IfrValue& right, int& sign) {
    if (!IsComparable(left) || !IsComparable(right)) return efi::kInvalidParameter;
    if (left.Type == kValueString || right.Type == kValueString) {
      if (left.Type != right.Type) return efi::kInvalidParameter;
      if (left.Value == right.Value) {
        sign = 0;
        return efi::kSuccess;
      }
      auto a = StringText(s_, context_.list, left.Value);
      auto b = StringText(s_, context_.list, right.Value);
      if (!a || !b) return efi::kInvalidParameter;
      int c = a->compare(*b);
      sign = c < 0 ? -1 : c > 0 ? 1 : 0;
      return efi::kSuccess;
    }
    int64_t difference = static_cast<int64_t>(left.Value - right.Value);
    sign = difference < 0 ? -1 : difference > 0 ? 1 : 0;
    return efi::kSuccess;
  }

  EfiStatus RuleRef(uint8_t ruleId) {
    if (depth_ >= kMaxRuleDepth) return efi::kInvalidParameter;  // rules referring to themselves
    const Page* page = PageAt(s_, context_.page);
    if (!page) return efi::kNotFound;
    // The first rule of that id in the page.
    const std::vector<size_t>& rules = s_.rules[ruleId];
    auto rule = std::lower_bound(rules.begin(), rules.end(), page->formOpcode);
    if (rule == rules.end() || *rule >= page->formEnd) return efi::kNotFound;
    IfrValue v;
    size_t consumed = 0;
    EfiStatus status = Machine(s_, context_, depth_ + 1).Run(*rule, v, consumed);
    return efi::IsError(status) ? status : Push(v);
  }

  EfiStatus ToString(const IfrValue& v, uint8_t format) {
    if (IsInteger(v)) {
      char buffer[32];
      switch (format) {
        case kStringUnsignedDecimal: std::snprintf(buffer, sizeof buffer, "%" PRIu64, v.Value); break;
        case kStringSignedDecimal: std::snprintf(buffer, sizeof buffer, "%" PRId64, static_cast<int64_t>(v.Value)); break;
        case kStringLowercaseHex: std::snprintf(buffer, sizeof buffer, "%" PRIx64, v.Value); break;
        case kStringUppercaseHex: std::snprintf(buffer, sizeof buffer, "%" PRIX64, v.Value); break;
        default: return efi::kUnsupported;
      }
      return PushString(Units(buffer));
    }
    if (v.Type == kValueBoolean) return PushString(v.Value ? u"True" : u"False");
    if (v.Type == kValueString) return Push(v);
    return efi::kUnsupported;
  }

  EfiStatus ToBoolean(const IfrValue& v) {
    if (IsScalar(v)) return Push(Bool(v.Value != 0));
    if (v.Type != kValueString) return Push(IfrValue{});
    std::u16string text;
    EfiStatus status = TextOf(v, text);
    if (efi::IsError(status)) return status;
    text = ToLowerText(text);
    if (text == u"true") return Push(Bool(true));
    if (text == u"false") return Push(Bool(false));
    return Push(IfrValue{});
  }

  EfiStatus Step(const IfrOp& op) {
    Bytes b = op.bytes;
    IfrValue a, c, d;
    std::u16string t1, t2;
    EfiStatus status = efi::kSuccess;
    auto fail = [&] { return efi::IsError(status); };
    switch (op.code) {
      case IFR_EQ_ID_VAL:
        if (status = QuestionValue(s_, Le16(b, kEqQuestionId), context_.page, a); fail()) return status;
        if (!IsScalar(a)) return efi::kInvalidParameter;
        return Push(Bool(a.Value == Le16(b, kEqValue)));
      case IFR_EQ_ID_ID: {
        if (status = QuestionValue(s_, Le16(b, kEqIdFirst), context_.page, a); fail()) return status;
        if (status = QuestionValue(s_, Le16(b, kEqIdSecond), context_.page, c); fail()) return status;
        int sign = 0;
        if (status = Compare(a, c, sign); fail()) return status;
        return Push(Bool(sign == 0));
      }
      case IFR_EQ_ID_VAL_LIST: {
        size_t count = Le16(b, kEqListLength);
        if (!Fits(b, kEqListFirst, count * 2)) return efi::kInvalidParameter;
        if (status = QuestionValue(s_, Le16(b, kEqQuestionId), context_.page, a); fail()) return status;
        if (!IsScalar(a)) return efi::kInvalidParameter;
        bool found = false;
        for (size_t i = 0; i < count && !found; ++i) found = a.Value == Le16(b, kEqListFirst + 2 * i);
        return Push(Bool(found));
      }
      case IFR_AND:
      case IFR_OR:
        if (status = PopAll(c, a); fail()) return status;
        if (a.Type != kValueBoolean || c.Type != kValueBoolean) return efi::kInvalidParameter;
        return Push(Bool(op.code == IFR_AND ? (a.Value && c.Value) : (a.Value || c.Value)));
      case IFR_NOT:
        if (status = Pop(a); fail()) return status;
        if (a.Type != kValueBoolean) return efi::kInvalidParameter;
        return Push(Bool(a.Value == 0));
      case IFR_TO_LOWER:
      case IFR_TO_UPPER:
        if (status = Pop(a); fail()) return status;
        if (status = TextOf(a, t1); fail()) return status;
        return PushString(op.code == IFR_TO_LOWER ? ToLowerText(t1) : ToUpperText(t1));
      case IFR_VERSION:
        return Push(Make(kValueUint16, kIfrVersion));
      case IFR_MATCH:
        if (status = PopAll(c, a); fail()) return status;  // the pattern is popped first
        if (status = TextOf(a, t1); fail()) return status;
        if (status = TextOf(c, t2); fail()) return status;
        return Push(Bool(MatchPattern(t1, t2)));
      case IFR_EQUAL: case IFR_NOT_EQUAL: case IFR_GREATER_THAN: case IFR_GREATER_EQUAL:
      case IFR_LESS_THAN: case IFR_LESS_EQUAL: {
        if (status = PopAll(c, a); fail()) return status;  // right, then left
        int sign = 0;
        if (status = Compare(a, c, sign); fail()) return status;
        bool r = op.code == IFR_EQUAL ? sign == 0 : op.code == IFR_NOT_EQUAL ? sign != 0
               : op.code == IFR_GREATER_THAN ? sign > 0 : op.code == IFR_GREATER_EQUAL ? sign >= 0
               : op.code == IFR_LESS_THAN ? sign < 0 : sign <= 0;
        return Push(Bool(r));
      }
      case IFR_BITWISE_AND: case IFR_BITWISE_OR: case IFR_SHIFT_LEFT: case IFR_SHIFT_RIGHT:
      case IFR_ADD: case IFR_SUBTRACT: case IFR_MULTIPLY: case IFR_DIVIDE: case IFR_MODULO: {
        if (status = PopAll(c, a); fail()) return status;
        if (!IsScalar(a) || !IsScalar(c)) return efi::kInvalidParameter;
        uint64_t l = a.Value, r = c.Value, divisor = static_cast<uint32_t>(r), v = 0;
        switch (op.code) {
          case IFR_BITWISE_AND: v = l & r; break;
          case IFR_BITWISE_OR: v = l | r; break;
          case IFR_SHIFT_LEFT: v = r < 64 ? l << r : 0; break;
          case IFR_SHIFT_RIGHT: v = r < 64 ? l >> r : 0; break;
          case IFR_ADD: v = l + r; break;
          case IFR_SUBTRACT: v = l - r; break;
          case IFR_MULTIPLY: v = l * divisor; break;
          case IFR_DIVIDE: v = divisor ? l / divisor : 0; break;
          case IFR_MODULO: v = divisor ? l % divisor : 0; break;
        }
        return Push(Make(kValueUint64, v));
      }
      case IFR_BITWISE_NOT:
        if (status = Pop(a); fail()) return status;
        if (!IsScalar(a)) return efi::kInvalidParameter;
        return Push(Make(kValueUint64, ~a.Value));
      case IFR_RULE_REF:
        return RuleRef(Le8(b, kRuleId));
      case IFR_QUESTION_REF1:
        return PushQuestion(Le16(b, kQuestionRefId));
      case IFR_QUESTION_REF2:
      case IFR_QUESTION_REF3:
        if (status = Pop(a); fail()) return status;
        if (!IsInteger(a) || a.Value > 0xFFFF) return efi::kNotFound;
        return PushQuestion(static_cast<uint16_t>(a.Value));
      case IFR_UINT8: return Push(Make(kValueUint8, Le8(b, kConstantValue)));
      case IFR_UINT16: return Push(Make(kValueUint16, Le16(b, kConstantValue)));
      case IFR_UINT32: return Push(Make(kValueUint32, Le32(b, kConstantValue)));
      case IFR_UINT64: return Push(Make(kValueUint64, Le64(b, kConstantValue)));
      case IFR_TRUE: return Push(Bool(true));
      case IFR_FALSE: return Push(Bool(false));
      case IFR_TO_UINT:
        if (status = Pop(a); fail()) return status;
        if (IsScalar(a)) return Push(Make(kValueUint64, a.Value));
        if (a.Type != kValueString) return efi::kUnsupported;
        if (status = TextOf(a, t1); fail()) return status;
        return Push(Make(kValueUint64, TextToUint(t1)));
      case IFR_TO_STRING:
        if (status = Pop(a); fail()) return status;
        return ToString(a, Le8(b, kToStringFormat));
      case IFR_TO_BOOLEAN:
        if (status = Pop(a); fail()) return status;
        return ToBoolean(a);
      case IFR_MID: {
        if (status = PopAll(d, c, a); fail()) return status;  // length, start, text
        if (!IsInteger(d) || !IsInteger(c)) return efi::kUnsupported;
        if (status = TextOf(a, t1, efi::kUnsupported); fail()) return status;
        if (d.Value == 0 || c.Value >= t1.size()) return PushString(u"");
        return PushString(t1.substr(static_cast<size_t>(c.Value), static_cast<size_t>(std::min<uint64_t>(d.Value, t1.size()))));
      }
      case IFR_FIND: {
        uint8_t format = Le8(b, kFindFormat);
        if (status = PopAll(d, c, a); fail()) return status;  // start, searched-for, text
        if (format > kFindInsensitive) return efi::kUnsupported;
        if (!IsInteger(d)) return efi::kInvalidParameter;
        if (status = TextOf(c, t2); fail()) return status;
        if (status = TextOf(a, t1); fail()) return status;
        return Push(Make(kValueUint64, FindText(t1, t2, d.Value, format == kFindInsensitive)));
      }
      case IFR_TOKEN:
        if (status = PopAll(d, c, a); fail()) return status;  // index, delimiters, text
        if (!IsInteger(d)) return efi::kInvalidParameter;
        if (status = TextOf(c, t2); fail()) return status;
        if (status = TextOf(a, t1); fail()) return status;
        return PushString(TokenOf(t1, t2, d.Value));
      case IFR_SPAN: {
        uint8_t flags = Le8(b, kSpanFlags);
        if (status = PopAll(d, c, a); fail()) return status;  // start, character ranges, text
        if (flags > kSpanFirstNonMatching) return efi::kUnsupported;
        if (!IsInteger(d)) return efi::kInvalidParameter;
        if (status = TextOf(c, t2); fail()) return status;
        if (status = TextOf(a, t1); fail()) return status;
        return Push(Make(kValueUint64, SpanOf(t1, t2, d.Value, flags == kSpanFirstNonMatching)));
      }
      case IFR_STRING_REF1:
        return Push(Make(kValueString, Le16(b, kStringRefId)));
      case IFR_STRING_REF2:
        if (status = Pop(a); fail()) return status;
        if (!IsInteger(a) || a.Value > 0xFFFF) return efi::kNotFound;
        if (StringText(s_, context_.list, a.Value)) return Push(Make(kValueString, a.Value));
        return PushString(u"");
      case IFR_CONDITIONAL:
        if (status = PopAll(c, d, a); fail()) return status;  // first popped, second popped, condition
        if (a.Type != kValueBoolean) return efi::kInvalidParameter;
        return Push(a.Value ? c : d);
      case IFR_ZERO: return Push(Make(kValueUint8, 0));
      case IFR_ONE: return Push(Make(kValueUint8, 1));
      case IFR_ONES: return Push(Make(kValueUint64, ~uint64_t{0}));
      case IFR_UNDEFINED: return Push(IfrValue{});
      case IFR_LENGTH:
        if (status = Pop(a); fail()) return status;
        if (status = TextOf(a, t1); fail()) return status;
        return Push(Make(kValueUint64, t1.size()));
      case IFR_DUP:
        if (status = Pop(a); fail()) return status;
        if (status = Push(a); fail()) return status;
        return Push(a);
      case IFR_THIS:
        s_.readThis = true;
        return PushQuestion(context_.questionId);
      case IFR_CATENATE:
        if (status = PopAll(c, a); fail()) return status;  // the second popped text comes first
        if (status = TextOf(c, t2); fail()) return status;
        if (status = TextOf(a, t1); fail()) return status;
        return PushString(t1 + t2);
      default:
        return efi::kUnsupported;
    }
  }

  State& s_;
  const Context& context_;
  int depth_;
  std::vector<IfrValue> values_;
};

}  // namespace

EfiStatus EvaluateAt(State& s, const Context& context, size_t opener, int depth, IfrValue& value, size_t& consumed) {
  return Machine(s, context, depth).Run(opener, value, consumed);
}

}  // namespace kes::evaluation
