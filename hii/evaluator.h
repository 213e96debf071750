// Suppress-if and gray-out-if evaluation over the HII database image: the evaluator builds a
// page table (one page per form) and variable caches from the image, and evaluates the IFR
// condition expressions that enclose a question. Request offsets are offsets into the image.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "base/le.h"
#include "base/status.h"
#include "firmware/firmware_access.h"
#include "hii/condition_terms.h"
#include "hii/hii_database.h"
#include "hii/strings.h"

namespace kes {

enum ConditionResult : uint8_t {
  kConditionNone = 0,
  kConditionSuppress = 1,
  kConditionGrayOut = 3,
  kConditionInconsistent = 4,
  kConditionNoSubmit = 5,
};

// A question (or option) and the outermost open condition around it. Offsets are into the
// HII database image.
struct ConditionRequest {
  size_t packageList = 0;     // offset of the package list
  uint16_t QuestionId = 0;
  uint16_t PageIndex = 0;
  uint32_t ControlFlags = 0;  // non-zero makes the result 0
  size_t Target = 0;          // the question or option opcode
  size_t Condition = 0;       // the condition opcode; 0 = none
};


// One value of an IFR expression: its type and an 8-byte value field (zero-extended numbers,
// a BOOLEAN as 0 or 1, a STRING as a handle of the evaluator's string store).
enum IfrValueType : uint8_t {
  kValueUint8 = 0,
  kValueUint16 = 1,
  kValueUint32 = 2,
  kValueUint64 = 3,
  kValueBoolean = 4,
  kValueTime = 5,
  kValueDate = 6,
  kValueString = 7,
  kValueOther = 8,  // undefined
};
struct IfrValue {
  uint8_t Type = kValueOther;
  uint64_t Value = 0;
};

// How a page is reached: through the first REF to it in image order, on its parent page.
struct PageReference {
  uint16_t parent = 0;         // the parent page
  size_t reference = 0;        // the REF's offset in the image
  uint16_t questionId = 0;     // the REF's QuestionId
  // The SUPPRESS_IF, GRAY_OUT_IF and DISABLE_IF opcodes whose scopes enclose the REF on its page,
  // outermost first.
  std::vector<size_t> conditions;
};

namespace evaluation {
struct State;
}

// The condition evaluator of one run: built from the HII database (pages, controls, variables
// with their current and default bytes, languages), then asked for the conditions around
// questions. Holds references to the database, the string lookup and the firmware access, which
// must outlive it.
class Evaluator {
 public:
  Evaluator(const HiiDatabase& database, const StringLookup& strings, FirmwareAccess& firmware);
  ~Evaluator();
  Evaluator(const Evaluator&) = delete;
  Evaluator& operator=(const Evaluator&) = delete;

  // Builds the tables (again); an error status leaves evaluation off.
  EfiStatus InitializeEvaluation();
  bool EvaluationInitialized() const;

  // The page of the form `formId` of the form set `formSetGuid`, when the evaluator knows it.
  std::optional<uint16_t> FindPageIndex(uint16_t formId, const EfiGuid& formSetGuid) const;
  // The FormId of the parent page of a page (the page a REF to it was found on), if any.
  std::optional<uint16_t> ParentPageFormId(uint16_t pageIndex) const;
  ConditionResult EvaluateCondition(const ConditionRequest& request);
  // The page of the FORM opcode at `formOpcode` (exact where form set GUIDs repeat).
  std::optional<uint16_t> PageOfForm(size_t formOpcode) const;
  // The REF that makes `pageIndex` a child of another page, with the conditions around it; none
  // for a page no REF of its form set targets. The conditions of every page are found in one
  // pass over the pages holding such REFs, on the first call.
  std::optional<PageReference> ParentReference(uint16_t pageIndex);
  // The expression of the condition at request.Condition as terms (condition_terms.h), for the
  // request's page and package list; its questions are resolved as an evaluation resolves them.
  ConditionTerms ReadConditionTerms(const ConditionRequest& request) const;

  // Evaluates the expression that opens at request.Condition (a condition opcode, VALUE or RULE).
  // `consumed` is the length from that opcode to the end of its expression.
  EfiStatus EvaluateExpression(const ConditionRequest& request, IfrValue& value, size_t& consumed);
  // The current value of question `questionId`: the control in the page, else in any page of the
  // same form set.
  EfiStatus GetQuestionValue(uint16_t questionId, uint16_t pageIndex, IfrValue& value);
  // The text of a STRING value from the last evaluation (UCS-2 units), for the request's package list.
  std::optional<std::u16string> ExpressionValueText(const ConditionRequest& request, const IfrValue& value);
  // The evaluator's cached bytes of a variable: current, or the defaults (where "BootOrder" and
  // "LegacyDevOrder" come from "DefaultBootOrder" and "DefaultLegacyDevOrder" when those exist).
  std::optional<std::vector<uint8_t>> EvaluationVariableBytes(std::wstring_view name, const EfiGuid& guid,
                                                              bool defaults = false) const;
  // Replaces the evaluator's cached current bytes of a variable, so that later evaluations see
  // the state a change would make (nothing is written). False when the evaluator holds no such
  // variable.
  bool ReplaceEvaluationVariableBytes(std::wstring_view name, const EfiGuid& guid, std::vector<uint8_t> bytes);
  // The languages of "PlatformLangCodes", in order; the first is the evaluator's current language.
  std::vector<std::string> EvaluationLanguages() const;

 private:
  const HiiDatabase& database_;
  const StringLookup& strings_;
  FirmwareAccess& firmware_;
  std::unique_ptr<evaluation::State> state_;
};

}  // namespace kes
