// Suppress-if and gray-out-if evaluation over the HII database image.
#pragma once
#include "App/common/le.h"
#include "App/common/status.h"

namespace kes {

// Builds the evaluator's tables from the image; a negative (error) status leaves evaluation off.
EfiStatus InitializeEvaluation(Bytes image);
void ReleaseEvaluation();
bool EvaluationInitialized();

}  // namespace kes
