// The tool's entry: one run performs one operation and returns the run status, which becomes
// the process exit status.
#pragma once
#include <functional>
#include <string>

#include "base/le.h"
#include "base/run_state.h"
#include "base/status.h"
#include "firmware/firmware_access.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/setup_context.h"
#include "script/script_parser.h"

namespace kes {

Status RunTool(int argc, char** argv);

// Everything the run sequence calls outside the command line: the operations of the other
// subsystems, the keyboard and the operating-system services. RunTool uses
// DefaultOperations(); tests drive the sequence around fakes of their own.
struct OperationTable {
  std::function<int()> readKey;
  std::function<void()> bindToFirstProcessor;
  std::function<Status(const RunState&, FirmwareAccess&)> changeSetupPasswords;
  std::function<Status(FirmwareAccess&)> relockProtectedVariables;
  std::function<Status(RunState&, FirmwareAccess&)> retrieveHiiDatabase;
  std::function<HiiFormat(Bytes)> classifyHiiLayout;
  std::function<EfiStatus(Evaluator&)> initializeEvaluation;
  std::function<void(const SetupContext&)> checkMappingLanguages;
  std::function<Status(RunState&, FirmwareAccess&)> exportRawVariables;
  std::function<Status(RunState&, FirmwareAccess&)> importRawVariables;
  std::function<Status(const SetupContext&)> exportPldm;  // 1 when every table was exported
  std::function<Status(const SetupContext&, const std::wstring&)> importPldm;
  std::function<Status(const SetupContext&)> exportSingleQuestion;
  std::function<Status(const SetupContext&)> updateSingleQuestion;
  std::function<Status(const SetupContext&)> exportScript;
  std::function<Status(const SetupContext&)> exportScriptForCompare;  // into options.ScriptFile, no duplicates
  std::function<Status(RunState&, ScriptEntryList&)> parseScriptFile;
  std::function<Status(const SetupContext&, ScriptEntryList&)> importScript;
  std::function<Status(RunState&, FirmwareAccess&, const std::wstring&, const std::wstring&, const std::wstring&,
                       const std::wstring&)>
      updateSingleVariable;
  std::function<Status(FirmwareAccess&)> writeUtilityIndication;
  std::function<Status(RunState&, const std::wstring&, const std::wstring&, const std::wstring&)> compareScripts;
  std::function<Status()> shutDownSystem;
  std::function<Status()> rebootSystem;
};

OperationTable DefaultOperations();

// The whole run sequence over the given operations: creates the run record and the firmware
// access and hands them, with the HII database and the evaluator once they exist, to each step.
Status RunToolWith(int argc, char** argv, const OperationTable& ops);

// Runs steps and turns an allocation failure anywhere inside them into status 8 with
// "ERROR 8 : Memory Allocation Failure".
Status GuardAllocation(const std::function<Status()>& steps);

// The file a single-file script compare exports the running system's settings to.
inline constexpr const char* kCompareTempFile = "Tempfile.txt";

}  // namespace kes
