// The condition evaluator's state: the tables built once from the HII database image, and the
// string store of the evaluation in progress. Shared by the table builder (evaluator.cpp) and
// the expression machine (evaluator_expression.cpp); nothing outside the evaluator includes it.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/guid.h"
#include "base/le.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/hii_format.h"
#include "hii/question_model.h"

namespace kes::evaluation {

// Variable flags.
inline constexpr uint32_t kVarNameValue = 0x2000;  // a name/value varstore: never read
inline constexpr uint32_t kVarNoRead = 0x200;      // reads return nothing (the name cannot be a variable)

struct Variable {
  EfiGuid guid;
  std::wstring name;
  uint32_t attributes = 0;
  uint32_t flags = 0;
  std::optional<std::vector<uint8_t>> current;   // none when the variable does not exist
  std::optional<std::vector<uint8_t>> defaults;
};

inline constexpr int kNoVariable = -1;

// A question of a page.
struct Control {
  size_t opcode = 0;         // offset in the image
  uint8_t code = 0;
  uint16_t questionId = 0;
  uint16_t varStoreId = 0;
  uint16_t varOffset = 0;
  uint16_t width = 0;        // bytes of the value (UCS-2 units x 2 for strings)
  int variable = kNoVariable;
};

// A form set: the FORM_SET opcode and the end of its forms package (every walk stays below it).
struct FormSet {
  size_t listOffset = 0;
  EfiGuid guid;
  size_t opcode = 0;
  size_t limit = 0;
  std::unordered_map<uint16_t, int> variableById;  // VarStoreId -> variable index
};

struct Page {
  uint16_t formId = 0;
  size_t formSet = 0;        // index into State::formSets
  size_t formOpcode = 0;
  size_t formEnd = 0;        // just after the form's END
  std::optional<uint16_t> parent;  // page holding the first REF that targets this one
  size_t parentReference = 0;      // that REF's offset
  uint16_t parentReferenceQuestion = 0;  // and its QuestionId
  std::vector<Control> controls;
};

// One open scope of a condition walk: its kind, and the fold of the kinds from the outermost
// scope down to this one (fold[x] is the result when the scopes inside this one combine to x).
struct WalkScope {
  uint8_t kind = 0;
  std::array<uint8_t, 6> fold{};
};

// A step of a condition walk that later targets may take back: entering a scope that encloses
// the target (undone by leaving it again), or an END that closed the innermost open scope
// (undone by reopening it).
struct WalkEvent {
  bool entered = false;
  size_t opcode = 0;       // the entered scope's opcode
  size_t skipTo = 0;       // where a walk goes on when that scope no longer encloses its target
  size_t minEnd = 0;       // the smallest scope end among the scopes entered up to this event
  bool holds = false;      // for a condition: whether it held
  size_t resume = 0;       // for a condition: where the walk went on after it
  WalkScope closed;        // for an END: the scope it closed
};

// How a condition walk ended before reaching its target, for every later target too.
enum class WalkStop : uint8_t {
  Broken,       // an opcode that cannot be read
  Closed,       // the outermost condition closed before the target
  Exit,         // a true INCONSISTENT_IF or NO_SUBMIT_IF encloses the target
};

// The walk from one condition towards the targets after it, kept between requests: a request for
// a later target (the next question of the form) goes on from where the previous one stopped,
// after taking back the scopes that no longer enclose its target. Conditions that read THIS (the
// question of the request) are evaluated again for another question, and the walk is taken back
// to the first of them whose outcome changed.
struct ConditionTrace {
  size_t condition = 0;
  uint16_t page = 0;
  size_t list = 0;
  uint16_t questionId = 0;  // of the last request
  size_t target = 0;        // of the last request
  uint64_t lastUse = 0;
  bool rootHolds = false;
  bool rootReadsThis = false;
  size_t rootNext = 0;      // where the walk starts after the condition's expression
  size_t at = 0;
  std::vector<WalkScope> scopes;
  std::vector<WalkEvent> events;
  bool started = false;     // the condition itself has been evaluated
  bool stopped = false;     // the walk ended for good (until events are taken back)
  WalkStop stop = WalkStop::Broken;
  std::vector<size_t> readsThis;  // positions in `events` of the entered conditions that read THIS
};

inline constexpr size_t kMaxConditionTraces = 8;

struct State {
  // What the tables are built from; they outlive the state (the Evaluator holds them).
  const HiiDatabase* database = nullptr;
  const StringLookup* strings = nullptr;
  FirmwareAccess* firmware = nullptr;
  Bytes image;
  bool initialized = false;
  std::vector<PackageList> lists;
  std::vector<Variable> variables;
  std::vector<std::string> languages;
  std::string currentLanguage;
  std::vector<FormSet> formSets;
  std::vector<Page> pages;
  std::map<std::pair<std::array<uint8_t, 16>, uint16_t>, uint16_t> pageByForm;
  std::unordered_map<size_t, uint16_t> pageByOpcode;  // FORM opcode offset -> page
  // (package list offset, QuestionId) -> (page, control): the first control of that id.
  std::map<std::pair<size_t, uint16_t>, std::pair<uint16_t, uint32_t>> controlByList;
  // (page << 16 | QuestionId) -> the first control of that id in the page.
  std::unordered_map<uint32_t, uint32_t> controlInPage;
  // (GUID, name) -> the variable read from the variable store under that name.
  std::map<std::pair<std::array<uint8_t, 16>, std::wstring>, int> variableByName;
  std::unordered_map<size_t, size_t> listByOffset;  // package list offset -> position in `lists`
  // Every scoped opcode of the forms packages with the offset just after its END (the package's
  // end when it is never closed), in offset order.
  std::vector<std::pair<size_t, size_t>> scopeEnds;
  // The RULE opcodes of each rule id, in offset order.
  std::array<std::vector<size_t>, 256> rules;
  // The conditions around each page's parent REF (PageReference::conditions), by page; made on
  // the first request for them.
  std::optional<std::vector<std::vector<size_t>>> referenceConditions;
  // The last condition walks, for requests that go on where an earlier one stopped.
  std::vector<ConditionTrace> traces;
  uint64_t traceUses = 0;
  // Set when an expression reads THIS, the question of the request.
  bool readThis = false;

  // Strings made during the evaluation in progress (TO_STRING, CATENATE, ...). A STRING value
  // with kMadeString set in its value field names one of them; otherwise the field holds a
  // string id of the package list.
  std::vector<std::u16string> madeStrings;
  size_t madeUnits = 0;
};

inline constexpr uint64_t kMadeString = uint64_t{1} << 32;
inline constexpr size_t kMaxMadeStrings = 0xFFFE;
inline constexpr size_t kMaxStringUnits = 0x10000;       // one string made during evaluation
inline constexpr size_t kMaxMadeUnits = 4 * 1024 * 1024; // all strings of one evaluation
inline constexpr size_t kMaxValueStack = 0x10000;
inline constexpr int kMaxRuleDepth = 16;

// What an expression is evaluated for.
struct Context {
  const PackageList* list = nullptr;
  uint16_t page = 0;
  uint16_t questionId = 0;
  size_t limit = 0;  // end of the forms package
};

// Clears the strings of the previous evaluation.
void BeginEvaluation(State& s);
// The offset just after the END closing the scope of the opcode at `offset` of a forms package
// whose end is `limit`, from the index when the opcode is in it.
size_t ScopeEnd(const State& s, size_t offset, size_t limit);
const Page* PageAt(const State& s, uint16_t pageIndex);
const PackageList* ListAt(const State& s, size_t offset);

// The control a question id names for an expression of the page: the first of that id in the
// page, else the first in any page of the same package list; null when there is none.
const Control* FindControl(const State& s, uint16_t questionId, uint16_t pageIndex);
// Whether the control's value can be read from the cached variables (QuestionValue succeeds).
bool ControlReadable(const State& s, const Control& control);
EfiStatus QuestionValue(State& s, uint16_t questionId, uint16_t pageIndex, IfrValue& value);
// The text of a STRING value field; none when the string does not exist.
std::optional<std::u16string> StringText(State& s, const PackageList* list, uint64_t field);
EfiStatus MakeString(State& s, std::u16string text, IfrValue& value);

// Whether the opcode opens an expression (a condition opcode, VALUE or RULE).
bool IsExpressionOpener(uint8_t code);
// The smallest Length of an expression opcode (its fixed fields); 0 for an opcode that is no
// part of an expression.
size_t ExpressionOpLength(uint8_t code);

// Hands each opcode of the expression that `opener` opens to `step` (which returns a status),
// in order, up to the opcode that closes the expression; `consumed` becomes the length from the
// opener to there. The END of a scope opened inside the expression is consumed, not handed on;
// the opcode that closes the expression itself is not consumed. An expression that runs out of
// its forms package (`limit`) or an opcode shorter than its fixed fields is an error, and so is
// any error `step` returns. The evaluator and the reader of condition terms both walk this way.
template <typename Step>
EfiStatus ForEachExpressionOp(Bytes image, size_t limit, const IfrOp& opener, Step step, size_t& consumed) {
  std::vector<uint8_t> scopes{opener.code};
  size_t at = opener.offset + opener.length;
  while (!scopes.empty()) {
    auto op = OpAt(image, at, limit);
    if (!op) return efi::kInvalidParameter;
    size_t minimum = ExpressionOpLength(op->code);
    if (minimum != 0) {
      if (op->length < minimum) return efi::kInvalidParameter;
      EfiStatus status = step(*op);
      if (efi::IsError(status)) return status;
      if (op->scope) scopes.push_back(op->code);
      at += op->length;
      continue;
    }
    scopes.pop_back();
    if (op->code == hii::IFR_END && !scopes.empty()) {
      at += op->length;
      continue;
    }
    break;
  }
  consumed = at - opener.offset;
  return efi::kSuccess;
}

// Evaluates the expression opened by the opcode at `opener` (recursion depth `depth`).
EfiStatus EvaluateAt(State& s, const Context& context, size_t opener, int depth, IfrValue& value, size_t& consumed);

}  // namespace kes::evaluation
