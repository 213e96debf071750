#include "hii/evaluator.h"

namespace kes {

EfiStatus InitializeEvaluation(Bytes) { return efi::kSuccess; }
void ReleaseEvaluation() {}
bool EvaluationInitialized() { return false; }
std::optional<uint16_t> FindPageIndex(uint16_t, const EfiGuid&) { return std::nullopt; }
std::optional<uint16_t> ParentPageFormId(uint16_t) { return std::nullopt; }
ConditionResult EvaluateCondition(const ConditionRequest&) { return kConditionNone; }

}  // namespace kes
