#include "app/driver.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <new>

#include "app/command_line.h"
#include "base/console.h"
#include "base/debug_log.h"
#include "base/interrupt.h"
#include "base/text.h"
#include "app/system_control.h"
#include "app/terminal.h"
#include "app/usage.h"
#include "firmware/hii_retrieval.h"
#include "firmware/passwords.h"
#include "hii/evaluator.h"
#include "hii/older_layout.h"
#include "hii/strings.h"
#include "pldm/pldm.h"
#include "raw/raw_mode.h"
#include "raw/single_variable.h"
#include "script/export.h"
#include "script/import.h"
#include "script/operations.h"

namespace kes {
namespace {

constexpr const wchar_t* kMemoryFailureText = L"Memory Allocation Failure";

void WipePassword(PasswordInput& input) {
  std::fill(input.Text.begin(), input.Text.end(), L'\0');
  std::fill(input.Units.begin(), input.Units.end(), uint16_t{0});
  input = PasswordInput{};
}

// One run: the operation steps under the allocation guard, then the finish steps.
class RunSequence {
 public:
  RunSequence(const OperationTable& ops, RunState& run, FirmwareAccess& firmware, InterruptSignals& signals)
      : ops_(ops), run_(run), firmware_(firmware), signals_(signals) {}

  Status Execute(int argc, char** argv) {
    Status status = GuardAllocation([&] {
      try {
        return OperationSteps(argc, argv);
      } catch (const UnsupportedStringBlocks&) {
        Err(L"The BIOS has unsupported string blocks.\n");
        return status::kFailure;
      } catch (const RunInterrupted&) {
        return status::kFailure;  // Finish reports the signal
      }
    });
    return Finish(status);
  }

 private:
  bool Pause() { return PauseForKey(ops_.readKey); }
  void Usage() {
    ShowUsage([this] { return Pause(); });
  }

  // Parse, passwords, HII database, the one operation and its summary line.
  Status OperationSteps(int argc, char** argv) {
    ToolOptions& options = run_.options;
    Status status = ParseCommandLine(argc, argv, run_, firmware_);
    DebugLog(&run_.log, LV_ALWS, "Main Execution of App [START]\n ");
    if (status != status::kSuccess) {
      if (status == status::kPlatformUnsupported || status == status::kEndSilently) return status;
      if (status == status::kNoArguments) {
        Usage();
        return status;
      }
      Print(Stream::Err, L"ERROR:%X -  Parsing CMD Line Arguments\n", status);
      if (Pause()) Usage();
      return status;
    }
    if (AnyPasswordGiven(run_)) {
      status = ops_.changeSetupPasswords(run_, firmware_);
      if (status != status::kSuccess) return status;
      // Setting passwords alone needs nothing from the HII database.
      if (!options.Export && !options.Import && !run_.Given(Switch::Cs)) return status;
    }
    if (run_.Given(Switch::H)) {
      status = RetrieveHiiDatabase();
      if (status != status::kSuccess) return status;
    }
    status = options.RawMode ? RawOperation() : OtherOperation();
    // A signal noted after the last check point still stops the run before its files are put
    // in place or its outcome is reported.
    ThrowIfInterrupted();
    if (status == status::kSuccess) status = CommitOutputs();
    if (status == status::kSuccess && summaryWanted_) Summary();
    return status;
  }

  // The operation succeeded: its output files replace the user's files. All of them are first
  // completed on disk, so that a full disk leaves every old file in place; only then are they
  // renamed over their targets. A run that fails never gets here and its outputs are discarded
  // in Finish.
  Status CommitOutputs() {
    ToolOptions& options = run_.options;
    struct Output {
      OutputFile& file;
      const wchar_t* failure;
    } outputs[] = {
        {options.ScriptFile, L"ERROR:%X -  Writing NVRAM Script File\n"},
        {options.DuplicateFile, L"ERROR:%X -  Writing Duplicate NVRAM Script File\n"},
        {options.ListingFile, L"ERROR:%X -  Writing Variable Listing File\n"},
        {options.HiiFile, L"ERROR:%X -  Writing HII dump file %ls\n"},
    };
    // Only the HII message names its file; the others ignore the name.
    for (int pass = 0; pass < 2; ++pass) {
      for (Output& output : outputs) {
        if (pass == 0 ? output.file.Close() : output.file.Commit()) continue;
        Print(Stream::Err, output.failure, status::kFailure, options.HiiFileName.c_str());
        return status::kFailure;
      }
    }
    return status::kSuccess;
  }

  Status RetrieveHiiDatabase() {
    Status status = ops_.retrieveHiiDatabase(run_, firmware_);
    if (status != status::kSuccess) Print(Stream::Err, L"ERROR:%X -  BIOS not compatible\n", status);
    return status;
  }

  Status RawOperation() {
    ToolOptions& options = run_.options;
    Status status = status::kSuccess;
    if (options.Export) {
      status = ops_.exportRawVariables(run_, firmware_);
      if (status != status::kSuccess) Print(Stream::Err, L"ERROR:%X -  Dumping NVRAM Variables to File\n", status);
    } else if (options.Import) {
      status = ops_.importRawVariables(run_, firmware_);
      if (status != status::kSuccess) Print(Stream::Err, L"ERROR:%X -  Importing NVRAM Variables\n", status);
    }
    return status;
  }

  // The operations over the Setup questions: the HII database is parsed once here and handed,
  // with its string lookup and the evaluator, to the one operation of the run.
  Status OtherOperation() {
    ToolOptions& options = run_.options;
    Status status;
    if (!run_.Given(Switch::H)) {
      status = RetrieveHiiDatabase();
      if (status != status::kSuccess) return status;
    }
    if (ops_.classifyHiiLayout(options.HiiDatabase) == HiiFormat::Unknown) {
      Err(L"BIOS UEFI version not supported.\n");
      return status::kFailure;
    }
    const HiiDatabase database(options.HiiDatabase);
    StringOptions stringOptions = StringOptions::FromRun(run_);
    bool older = database.Format() == HiiFormat::Older;
    if (older) stringOptions.olderLanguage = older::ReadLanguage(firmware_);
    const StringLookup strings(database, std::move(stringOptions));
    Evaluator evaluator(database, strings, firmware_);
    bool evaluationReady = false;
    // The older layout's conditions are not expressions: only the walk's special-control test
    // reads them.
    if (!AnyVariableSwitch(run_) && !older) {
      EfiStatus init = ops_.initializeEvaluation(evaluator);
      if (init == efi::kSuccess) {
        evaluationReady = true;
      } else {
        Print(Stream::Err, L"Warning:%X -Internal Error Occured ,SetupQuestion Evaluation will not be supported \n",
              static_cast<Status>(init));
      }
    }
    const SetupContext setup{run_, firmware_, database, strings, evaluationReady ? &evaluator : nullptr};
    if (run_.langCode && !run_.Quiet()) ops_.checkMappingLanguages(setup);
    if (options.Export) return Export(setup);
    if (options.Import) return Import(setup);
    if (run_.Given(Switch::Cs)) return ScriptCompare(setup);
    return status::kSuccess;
  }

  Status Export(const SetupContext& setup) {
    if (run_.Given(Switch::P)) {
      summaryWanted_ = false;
      Status result = ops_.exportPldm(setup);
      if (result == 1) {
        Err(L"\nPLDM Tables exported to files Successfully.\n");
        return status::kSuccess;
      }
      Err(L"\nFailed to export some or all of the PLDM tables.\n");
      // A failed export must not leave the run reporting success.
      return result == status::kSuccess ? status::kFailure : result;
    }
    if (run_.Given(Switch::Ms)) {
      Status status = ops_.exportSingleQuestion(setup);
      // The value is the operation's result: lost on standard output, the export failed.
      if (status == status::kSuccess && !StandardOutputWritten()) {
        Print(Stream::Err, L"ERROR:%X -  Writing to standard output\n", status::kFailure);
        status = status::kFailure;
      }
      if (status == status::kSuccess) {
        summaryWanted_ = false;
        return status;
      }
      Print(Stream::Err, L"\nERROR:%X - Single question export failed.\n", status);
      return status;
    }
    return ops_.exportScript(setup);
  }

  Status Import(const SetupContext& setup) {
    ToolOptions& options = run_.options;
    Status status;
    if (run_.Given(Switch::Ms) && run_.Given(Switch::Qv)) {
      status = ops_.updateSingleQuestion(setup);
      if (status != status::kSuccess) Print(Stream::Err, L"\nERROR:%X - Single question update failed.\n", status);
    } else if (run_.Given(Switch::P)) {
      status = ops_.importPldm(setup, options.PldmFileName);
      if (status != status::kSuccess) Print(Stream::Err, L"\nERROR:%X - Pldm Import failed.\n", status);
    } else if (AnyVariableSwitch(run_)) {
      status = ops_.updateSingleVariable(run_, firmware_, options.VariableName, options.VariableGuid, options.VariableValue,
                                         options.VariableFile);
      if (status != status::kSuccess) Print(Stream::Err, L"\nERROR:%X -  Variable update/create failed.\n", status);
    } else {
      ScriptEntryList entries;
      status = ops_.parseScriptFile(run_, entries);
      if (status != status::kSuccess) return status;
      status = ops_.importScript(setup, entries);
      if (status != status::kSuccess) Print(Stream::Err, L"\nERROR:%X -  Importing Script file\n", status);
    }
    return status;
  }

  // Compares two script files, or one with the running system's settings, which are first
  // exported to the temporary file.
  Status ScriptCompare(const SetupContext& setup) {
    RunState& run = run_;
    ToolOptions& options = run.options;
    std::wstring fileB = run.compareFileB;
    if (run.singleFileCompare) {
      // Created here or not at all: a file of that name belongs to the user and is left alone.
      options.ScriptFile.reset(CreateNewFile(kCompareTempFile));
      if (!options.ScriptFile) {
        Print(Stream::Err, L"ERROR:%X -  Opening NVRAM Script File\n", status::kInvalidParameter);
        return status::kInvalidParameter;
      }
      tempFileCreated_ = fstat(fileno(options.ScriptFile.get()), &tempFile_) == 0;
      fileB = ToWide(kCompareTempFile);
      options.ScriptFileName = fileB;
      WriteScriptHeader(options.ScriptFile.get(), fileB);
      WriteChecksumLine(options.ScriptFile.get(), options.HiiCrc32);
      Status status = ops_.exportScriptForCompare(setup);
      options.ScriptFile.reset();  // complete on disk before the compare reads it by name
      if (status != status::kSuccess) return status;
    }
    Status status = ops_.compareScripts(run, run.compareFileA, fileB, run.compareOutput);
    if (status != status::kSuccess) Print(Stream::Err, L"\nERROR:%X - Script comparison failed.\n", status);
    return status;
  }

  void Summary() {
    const RunState& run = run_;
    const ToolOptions& options = run.options;
    if (options.Export) {
      Err(L"\nScript file exported successfully.\n");
      return;
    }
    if (options.Import) {
      if (run.SystemModified && run.Given(Switch::Ni)) ops_.writeUtilityIndication(firmware_);
      if (run.SystemModified && run.ResetRequired && !run.Quiet())
        Err(L"\n WARNING : Power cycle reset is required for some of the updated controls.\n");
      // Writes that all failed modified nothing, yet must not read as a quiet success.
      if (!run.SystemModified && !run.ImportErrors) {
        Err(L"\nSystem configuration not modified.\n");
      } else if (!run.ImportErrors) {
        if (run.Given(Switch::Ms) && run.Given(Switch::Qv)) Err(L"\nQuestion value imported successfully.\n");
        else if (run.Given(Switch::P)) Err(L"\nPldm file imported successfully.\n");
        else if (AnyVariableSwitch(run)) Err(L"\nVariable updated/created successfully.\n");
        else Err(L"\nScript file imported successfully.\n");
      } else if (!run.Quiet()) {
        Err(L"\nImport completed with some errors, see warnings given.\n");
      } else {
        // Quiet mode shortens the line but never turns failed writes into a success.
        Err(L"\nImport completed with some errors.\n");
      }
      return;
    }
    if (run.Given(Switch::Cs)) Err(L"\nScript files are compared successfully.\n");
  }

  // Re-lock, release, and after an import that changed something the shutdown or reboot.
  Status Finish(Status status) {
    RunState& run = run_;
    ToolOptions& options = run.options;
    ops_.relockProtectedVariables(firmware_);
    DebugLog(&run_.log, LV_ALWS, "Main Execution of App [END] with status %x\n ", status);
    options.HiiDatabase = {};
    // Whatever was not committed is discarded: the user's files stay as they were.
    options.ListingFile.reset();
    options.ScriptFile.reset();
    options.HiiFile.reset();
    options.DuplicateFile.reset();
    if (tempFileCreated_) RemoveTempFile();
    // The protected variables are locked and no output file is half-written: from here on a
    // signal ends the process at once.
    signals_.ExitAtOnce();
    if (int signal = signals_.Received()) {
      Print(Stream::Err, L"\nERROR: The run was interrupted by signal %d.\n", signal);
      status = static_cast<Status>(128 + signal);
    }

    WipePassword(run.currentAdmin);
    WipePassword(run.newAdmin);
    WipePassword(run.newUser);
    run.langCode.reset();

    // The command's result may turn a successful run into a failure, never a failed run into a
    // success.
    if (run.SystemModified && !signals_.Received()) {
      if (run.Given(Switch::Shutdown) &&
          AskYesNo(L"Warning : System is going to Shutdown. Do you want to proceed (Y|N)? \n", ops_.readKey)) {
        Status result = ops_.shutDownSystem();
        if (result != status::kSuccess) Print(Stream::Err, L"\nERROR:%X Shutdown failure.\n", result);
        if (status == status::kSuccess) status = result;
      }
      if (run.Given(Switch::Reboot) &&
          AskYesNo(L"Warning : System is going to Reboot. Do you want to proceed (Y|N)? \n", ops_.readKey)) {
        Status result = ops_.rebootSystem();
        if (result != status::kSuccess) Print(Stream::Err, L"\nERROR:%X Reboot failure.\n", result);
        if (status == status::kSuccess) status = result;
      }
    }
    return status;
  }

  // Removes the compare's temporary file, but only while the name still stands for the file this
  // run created (a compare output given that name has replaced it and is kept).
  void RemoveTempFile() {
    struct stat now {};
    if (stat(kCompareTempFile, &now) == 0 && now.st_dev == tempFile_.st_dev && now.st_ino == tempFile_.st_ino)
      std::remove(kCompareTempFile);
  }

  const OperationTable& ops_;
  RunState& run_;
  FirmwareAccess& firmware_;
  InterruptSignals& signals_;
  bool summaryWanted_ = true;
  bool tempFileCreated_ = false;
  struct stat tempFile_ {};  // identity of the temporary file created by this run
};

Status ReportAllocationFailure() {
  Print(Stream::Err, L"ERROR %X : %ls\n", status::kOutOfMemory, kMemoryFailureText);
  return status::kOutOfMemory;
}

}  // namespace

Status GuardAllocation(const std::function<Status()>& steps) {
  try {
    return steps();
  } catch (const std::bad_alloc&) {
    return ReportAllocationFailure();
  }
}

OperationTable DefaultOperations() {
  OperationTable ops;
  ops.readKey = ReadKey;
  ops.bindToFirstProcessor = BindToFirstProcessor;
  ops.changeSetupPasswords = ChangeSetupPasswords;
  ops.relockProtectedVariables = RelockProtectedVariables;
  ops.retrieveHiiDatabase = RetrieveHiiDatabase;
  ops.classifyHiiLayout = ClassifyHiiLayout;
  ops.initializeEvaluation = [](Evaluator& evaluator) { return evaluator.InitializeEvaluation(); };
  ops.checkMappingLanguages = CheckMappingLanguages;
  ops.exportRawVariables = ExportRawVariables;
  ops.importRawVariables = ImportRawVariables;
  ops.exportPldm = ExportPldm;
  ops.importPldm = ImportPldm;
  ops.exportSingleQuestion = ExportSingleQuestion;
  ops.updateSingleQuestion = UpdateSingleQuestion;
  ops.exportScript = ExportScript;
  ops.exportScriptForCompare = [](const SetupContext& setup) {
    return ExportScriptTo(setup, setup.run.options.ScriptFile.get(), nullptr, true);
  };
  ops.parseScriptFile = ParseScriptFile;
  ops.importScript = ImportScript;
  ops.updateSingleVariable = UpdateSingleVariable;
  ops.writeUtilityIndication = WriteUtilityIndication;
  ops.compareScripts = CompareScripts;
  ops.shutDownSystem = ShutDownSystem;
  ops.rebootSystem = RebootSystem;
  return ops;
}

Status RunToolWith(int argc, char** argv, const OperationTable& ops) {
  try {
    Status status = PreScanBanner(argc, argv);
    if (status == status::kInvalidParameter) {
      Print(Stream::Err, L"ERROR:%X -  Parsing CMD Line Arguments\n", status);
      if (PauseForKey(ops.readKey)) ShowUsage([&] { return PauseForKey(ops.readKey); });
      return status;
    }
    if (status != status::kSuccess) return status;
    ops.bindToFirstProcessor();
    RunState run;
    FirmwareAccess firmware;
    firmware.log = &run.log;
    InterruptSignals signals;
    return RunSequence(ops, run, firmware, signals).Execute(argc, argv);
  } catch (const std::bad_alloc&) {
    // Outside the operation steps there is nothing left to finish.
    return ReportAllocationFailure();
  }
}

Status RunTool(int argc, char** argv) { return RunToolWith(argc, argv, DefaultOperations()); }

}  // namespace kes
