// Script operations other than the export and the import: single question, compare.
#pragma once
#include <string>

#include "base/run_state.h"
#include "base/status.h"
#include "hii/setup_context.h"

namespace kes {

Status ExportSingleQuestion(const SetupContext& setup);
Status UpdateSingleQuestion(const SetupContext& setup);
Status CompareScripts(RunState& run, const std::wstring& fileA, const std::wstring& fileB, const std::wstring& output);

}  // namespace kes
