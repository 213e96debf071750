// Reading a condition's expression as terms (condition_terms.h): the same walk over the
// expression as its evaluation, with symbols on the stack instead of values. Question ids are
// resolved to controls as an evaluation resolves them, so a term names the question whose value
// the evaluation would read.
#include <cinttypes>
#include <cstdio>

#include "hii/evaluator.h"
#include "hii/evaluator_opcodes.h"
#include "hii/evaluator_state.h"
#include "hii/hii_format.h"

namespace kes {

using namespace hii;
using namespace evaluation;

namespace {

// What the reader's stack holds.
struct Symbol {
  enum Kind : uint8_t { Term, Question, Constant } kind = Term;
  TermQuestion question;  // Question
  uint64_t value = 0;     // Constant
};

const char* OpcodeName(uint8_t code) {
  switch (code) {
    case IFR_EQ_ID_ID: return "EQ_ID_ID";
    case IFR_RULE_REF: return "RULE_REF";
    case IFR_THIS: return "THIS";
    case IFR_QUESTION_REF2: return "QUESTION_REF2";
    case IFR_QUESTION_REF3: return "QUESTION_REF3";
    case IFR_ADD: return "ADD";
    case IFR_SUBTRACT: return "SUBTRACT";
    case IFR_MULTIPLY: return "MULTIPLY";
    case IFR_DIVIDE: return "DIVIDE";
    case IFR_MODULO: return "MODULO";
    case IFR_BITWISE_AND: return "BITWISE_AND";
    case IFR_BITWISE_OR: return "BITWISE_OR";
    case IFR_BITWISE_NOT: return "BITWISE_NOT";
    case IFR_SHIFT_LEFT: return "SHIFT_LEFT";
    case IFR_SHIFT_RIGHT: return "SHIFT_RIGHT";
    case IFR_TO_LOWER: return "TO_LOWER";
    case IFR_TO_UPPER: return "TO_UPPER";
    case IFR_TO_UINT: return "TO_UINT";
    case IFR_TO_STRING: return "TO_STRING";
    case IFR_TO_BOOLEAN: return "TO_BOOLEAN";
    case IFR_MATCH: return "MATCH";
    case IFR_MID: return "MID";
    case IFR_FIND: return "FIND";
    case IFR_TOKEN: return "TOKEN";
    case IFR_SPAN: return "SPAN";
    case IFR_LENGTH: return "LENGTH";
    case IFR_CATENATE: return "CATENATE";
    case IFR_STRING_REF1: return "STRING_REF1";
    case IFR_STRING_REF2: return "STRING_REF2";
    case IFR_CONDITIONAL: return "CONDITIONAL";
    case IFR_DUP: return "DUP";
    case IFR_UNDEFINED: return "UNDEFINED";
    case IFR_VERSION: return "VERSION";
    default: return nullptr;
  }
}

// Why an opcode makes the expression unreadable as terms.
std::string Unreadable(uint8_t code) {
  const char* name = OpcodeName(code);
  std::string op = name ? name : "opcode " + std::to_string(code);
  switch (code) {
    case IFR_EQ_ID_ID: return "it compares two questions (" + op + ")";
    case IFR_RULE_REF: return "it uses a rule (" + op + ")";
    case IFR_THIS: return "it reads the question's own value (" + op + ")";
    case IFR_QUESTION_REF2:
    case IFR_QUESTION_REF3: return "it computes which question to read (" + op + ")";
    case IFR_ADD: case IFR_SUBTRACT: case IFR_MULTIPLY: case IFR_DIVIDE: case IFR_MODULO:
      return "it uses arithmetic (" + op + ")";
    case IFR_BITWISE_AND: case IFR_BITWISE_OR: case IFR_BITWISE_NOT: case IFR_SHIFT_LEFT: case IFR_SHIFT_RIGHT:
      return "it uses bit operations (" + op + ")";
    case IFR_TO_LOWER: case IFR_TO_UPPER: case IFR_TO_UINT: case IFR_TO_STRING: case IFR_TO_BOOLEAN:
      return "it converts values (" + op + ")";
    case IFR_MATCH: case IFR_MID: case IFR_FIND: case IFR_TOKEN: case IFR_SPAN: case IFR_LENGTH:
    case IFR_CATENATE: case IFR_STRING_REF1: case IFR_STRING_REF2:
      return "it uses strings (" + op + ")";
    default:
      return "it uses " + op;
  }
}

Comparison Flipped(Comparison c) {
  switch (c) {
    case Comparison::Greater: return Comparison::Less;
    case Comparison::GreaterEqual: return Comparison::LessEqual;
    case Comparison::Less: return Comparison::Greater;
    case Comparison::LessEqual: return Comparison::GreaterEqual;
    default: return c;
  }
}

class TermReader {
 public:
  TermReader(const State& s, uint16_t page) : s_(s), page_(page) {}

  ConditionTerms Read(const IfrOp& opener, size_t limit) {
    size_t consumed = 0;
    EfiStatus status = ForEachExpressionOp(s_.image, limit, opener, [&](const IfrOp& op) {
      Step(op);
      return efi::kSuccess;
    }, consumed);
    if (efi::IsError(status)) Fail("the expression cannot be read");
    if (out_.unreadable.empty() && (stack_.size() != 1 || stack_.back().kind != Symbol::Term))
      Fail("the expression does not give one true or false value");
    if (!out_.unreadable.empty()) out_.postfix.clear();
    return std::move(out_);
  }

 private:
  void Fail(std::string why) {
    if (out_.unreadable.empty()) out_.unreadable = std::move(why);
  }

  TermQuestion Resolve(uint16_t questionId) {
    TermQuestion q;
    q.questionId = questionId;
    if (const Control* c = FindControl(s_, questionId, page_)) {
      q.control = c->opcode;
      q.code = c->code;
      q.readable = ControlReadable(s_, *c);
    }
    out_.questions.push_back(q);
    return q;
  }

  bool Pop(Symbol& symbol) {
    if (stack_.empty()) {
      Fail("the expression does not give one true or false value");
      return false;
    }
    symbol = std::move(stack_.back());
    stack_.pop_back();
    return true;
  }

  void PushTerm(ConditionTerm term) {
    out_.postfix.push_back(std::move(term));
    stack_.push_back(Symbol{});
  }

  // A term over the terms before it (AND, OR, NOT): its operands must be terms.
  void Combine(TermKind kind, int operands) {
    Symbol a, b;
    if (!Pop(a) || (operands == 2 && !Pop(b))) return;
    if (a.kind != Symbol::Term || (operands == 2 && b.kind != Symbol::Term))
      return Fail("it joins values that are not true or false");
    ConditionTerm term;
    term.kind = kind;
    PushTerm(std::move(term));
  }

  void Compare(Comparison comparison) {
    Symbol right, left;
    if (!Pop(right) || !Pop(left)) return;
    if (left.kind == Symbol::Constant && right.kind == Symbol::Question) {
      std::swap(left, right);
      comparison = Flipped(comparison);
    }
    if (left.kind != Symbol::Question || right.kind != Symbol::Constant) {
      bool twoQuestions = left.kind == Symbol::Question && right.kind == Symbol::Question;
      return Fail(twoQuestions ? "it compares two questions" : "it compares values that are not a question and a number");
    }
    ConditionTerm term;
    term.kind = TermKind::Compare;
    term.comparison = comparison;
    term.question = left.question;
    term.value = right.value;
    PushTerm(std::move(term));
  }

  void Constant(uint64_t value) {
    Symbol c;
    c.kind = Symbol::Constant;
    c.value = value;
    stack_.push_back(c);
  }

  void Step(const IfrOp& op) {
    Bytes b = op.bytes;
    if (op.code == IFR_THIS || op.code == IFR_RULE_REF) out_.perQuestion = true;
    if (op.code == IFR_EQ_ID_ID) {
      Resolve(Le16(b, kEqIdFirst));
      Resolve(Le16(b, kEqIdSecond));
    }
    if (!out_.unreadable.empty()) {
      if (op.code == IFR_EQ_ID_VAL || op.code == IFR_EQ_ID_VAL_LIST) Resolve(Le16(b, kEqQuestionId));
      if (op.code == IFR_QUESTION_REF1) Resolve(Le16(b, kQuestionRefId));
      return;  // the rest is only looked through for the questions it names
    }
    switch (op.code) {
      case IFR_EQ_ID_VAL: {
        ConditionTerm term;
        term.kind = TermKind::Compare;
        term.question = Resolve(Le16(b, kEqQuestionId));
        term.value = Le16(b, kEqValue);
        return PushTerm(std::move(term));
      }
      case IFR_EQ_ID_VAL_LIST: {
        size_t count = Le16(b, kEqListLength);
        if (!Fits(b, kEqListFirst, count * 2)) return Fail("the expression cannot be read");
        ConditionTerm term;
        term.kind = TermKind::InList;
        term.question = Resolve(Le16(b, kEqQuestionId));
        for (size_t i = 0; i < count; ++i) term.values.push_back(Le16(b, kEqListFirst + 2 * i));
        return PushTerm(std::move(term));
      }
      case IFR_QUESTION_REF1: {
        Symbol q;
        q.kind = Symbol::Question;
        q.question = Resolve(Le16(b, kQuestionRefId));
        stack_.push_back(q);
        return;
      }
      case IFR_UINT8: return Constant(Le8(b, kConstantValue));
      case IFR_UINT16: return Constant(Le16(b, kConstantValue));
      case IFR_UINT32: return Constant(Le32(b, kConstantValue));
      case IFR_UINT64: return Constant(Le64(b, kConstantValue));
      case IFR_ZERO: return Constant(0);
      case IFR_ONE: return Constant(1);
      case IFR_ONES: return Constant(~uint64_t{0});
      case IFR_TRUE:
      case IFR_FALSE: {
        ConditionTerm term;
        term.kind = op.code == IFR_TRUE ? TermKind::True : TermKind::False;
        return PushTerm(std::move(term));
      }
      case IFR_AND: return Combine(TermKind::And, 2);
      case IFR_OR: return Combine(TermKind::Or, 2);
      case IFR_NOT: return Combine(TermKind::Not, 1);
      case IFR_EQUAL: return Compare(Comparison::Equal);
      case IFR_NOT_EQUAL: return Compare(Comparison::NotEqual);
      case IFR_GREATER_THAN: return Compare(Comparison::Greater);
      case IFR_GREATER_EQUAL: return Compare(Comparison::GreaterEqual);
      case IFR_LESS_THAN: return Compare(Comparison::Less);
      case IFR_LESS_EQUAL: return Compare(Comparison::LessEqual);
      default: return Fail(Unreadable(op.code));
    }
  }

  const State& s_;
  uint16_t page_;
  std::vector<Symbol> stack_;
  ConditionTerms out_;
};

}  // namespace

ConditionTerms Evaluator::ReadConditionTerms(const ConditionRequest& request) const {
  const State& s = *state_;
  ConditionTerms none;
  const Page* page = PageAt(s, request.PageIndex);
  if (!s.initialized || !page) {
    none.unreadable = "the condition cannot be evaluated";
    return none;
  }
  size_t limit = s.formSets[page->formSet].limit;
  auto opener = OpAt(s.image, request.Condition, limit);
  if (!opener || request.Condition <= s.formSets[page->formSet].opcode || !IsExpressionOpener(opener->code)) {
    none.unreadable = "the condition cannot be read";
    return none;
  }
  return TermReader(s, request.PageIndex).Read(*opener, limit);
}

}  // namespace kes
