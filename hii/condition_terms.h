// A condition's expression read as terms instead of evaluated: comparisons of one question's value
// with a constant, value lists, AND, OR, NOT and the constants TRUE and FALSE, in postfix order.
// Whatever else an expression holds (arithmetic, rules, strings, two questions compared, THIS)
// makes it unreadable as terms, and the first such opcode is named. The condition evaluator reads
// them (Evaluator::ReadConditionTerms) with the same walk over the expression it evaluates.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kes {

enum class TermKind : uint8_t {
  Compare,  // question `comparison` value
  InList,   // question's value is one of `values`
  And,      // the two terms before it
  Or,
  Not,      // the term before it
  True,
  False,
};

enum class Comparison : uint8_t { Equal, NotEqual, Greater, GreaterEqual, Less, LessEqual };

// The question a term reads, as the evaluator resolves its QuestionId for the condition's page.
struct TermQuestion {
  uint16_t questionId = 0;
  size_t control = 0;     // offset of the question's opcode in the image; 0 when no question has the id
  uint8_t code = 0;       // that opcode (ONE_OF, CHECKBOX, ACTION, REF, ...)
  bool readable = false;  // its value is held in a variable the evaluator reads
};

struct ConditionTerm {
  TermKind kind = TermKind::True;
  Comparison comparison = Comparison::Equal;
  TermQuestion question;           // Compare, InList
  uint64_t value = 0;              // Compare
  std::vector<uint64_t> values;    // InList
};

struct ConditionTerms {
  std::vector<ConditionTerm> postfix;  // empty when `unreadable` says why
  std::string unreadable;
  // The expression reads the question it is evaluated for (THIS, or possibly through a rule):
  // its value differs from one question to the next.
  bool perQuestion = false;
  std::vector<TermQuestion> questions;  // every question the expression names directly, in order
};

}  // namespace kes
