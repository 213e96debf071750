#include "hii/evaluator.h"

namespace kes {

EfiStatus InitializeEvaluation(Bytes) { return efi::kSuccess; }
void ReleaseEvaluation() {}
bool EvaluationInitialized() { return false; }

}  // namespace kes
