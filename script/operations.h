// Script operations other than the export: parse and import, single question, compare.
#pragma once
#include <string>

#include "base/run_state.h"
#include "base/status.h"

namespace kes {

// 0 when the open script file parses; 13 otherwise (the import is then not run).
Status ParseScriptFile(ToolOptions& options);
Status ImportScript(ToolOptions& options);
Status ExportSingleQuestion(ToolOptions& options);
Status UpdateSingleQuestion(ToolOptions& options);
Status CompareScripts(const std::wstring& fileA, const std::wstring& fileB, const std::wstring& output);

}  // namespace kes
