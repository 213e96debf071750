// Script operations other than the export: parse and import, single question, compare.
#pragma once
#include <string>

#include "base/run_state.h"
#include "base/status.h"
#include "hii/setup_context.h"

namespace kes {

// 0 when the open script file parses; 13 otherwise (the import is then not run).
Status ParseScriptFile(RunState& run);
Status ImportScript(const SetupContext& setup);
Status ExportSingleQuestion(const SetupContext& setup);
Status UpdateSingleQuestion(const SetupContext& setup);
Status CompareScripts(RunState& run, const std::wstring& fileA, const std::wstring& fileB, const std::wstring& output);

}  // namespace kes
