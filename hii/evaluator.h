// Suppress-if and gray-out-if evaluation over the HII database image: the evaluator builds a
// page table (one page per form) and variable caches from the image, and evaluates the IFR
// condition expressions that enclose a question.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>

#include "App/common/guid.h"
#include "App/common/le.h"
#include "App/common/status.h"

namespace kes {

// Builds the evaluator's tables from the image; an error status leaves evaluation off.
EfiStatus InitializeEvaluation(Bytes image);
void ReleaseEvaluation();
bool EvaluationInitialized();

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

// The page of the form `formId` of the form set `formSetGuid`, when the evaluator knows it.
std::optional<uint16_t> FindPageIndex(uint16_t formId, const EfiGuid& formSetGuid);
// The FormId of the parent page of a page (the page a REF to it was found on), if any.
std::optional<uint16_t> ParentPageFormId(uint16_t pageIndex);
ConditionResult EvaluateCondition(const ConditionRequest& request);

}  // namespace kes
