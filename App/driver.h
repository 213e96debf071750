// The tool's entry: one run performs one operation and returns the run status, which becomes
// the process exit status.
#pragma once
#include <functional>
#include <string>

#include "base/le.h"
#include "base/run_state.h"
#include "base/status.h"
#include "hii/hii_layout.h"

namespace kes {

Status RunTool(int argc, char** argv);

// Everything the run sequence calls outside the command line: the operations of the other
// subsystems, the keyboard and the operating-system services. RunTool uses
// DefaultOperations(); tests drive the sequence around fakes of their own.
struct OperationTable {
  std::function<int()> readKey;
  std::function<void()> bindToFirstProcessor;
  std::function<Status()> changeSetupPasswords;
  std::function<Status()> relockProtectedVariables;
  std::function<Status(ToolOptions&)> retrieveHiiDatabase;
  std::function<HiiFormat(Bytes)> classifyHiiLayout;
  std::function<EfiStatus(Bytes)> initializeEvaluation;
  std::function<void()> releaseEvaluation;
  std::function<void(const ToolOptions&)> checkMappingLanguages;
  std::function<Status(ToolOptions&)> exportRawVariables;
  std::function<Status(ToolOptions&)> importRawVariables;
  std::function<Status(ToolOptions&)> exportPldm;  // 1 when every table was exported
  std::function<Status(const std::wstring&, Bytes)> importPldm;
  std::function<Status(ToolOptions&)> exportSingleQuestion;
  std::function<Status(ToolOptions&)> updateSingleQuestion;
  std::function<Status(ToolOptions&)> exportScript;
  std::function<Status(ToolOptions&)> exportScriptForCompare;  // into options.ScriptFile, no duplicates
  std::function<Status(ToolOptions&)> parseScriptFile;
  std::function<Status(ToolOptions&)> importScript;
  std::function<Status(const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring&)>
      updateSingleVariable;
  std::function<Status()> writeUtilityIndication;
  std::function<Status(const std::wstring&, const std::wstring&, const std::wstring&)> compareScripts;
  std::function<Status()> shutDownSystem;
  std::function<Status()> rebootSystem;
};

OperationTable DefaultOperations();

// The whole run sequence over the given operations.
Status RunToolWith(int argc, char** argv, const OperationTable& ops);

// Runs steps and turns an allocation failure anywhere inside them into status 8 with
// "ERROR 8 : Memory Allocation Failure".
Status GuardAllocation(const std::function<Status()>& steps);

// The file a single-file script compare exports the running system's settings to.
inline constexpr const char* kCompareTempFile = "Tempfile.txt";

}  // namespace kes
