// The run sequence around the operations: dispatch by mode, failure messages, summary lines,
// the finish steps, the allocation guard and the shutdown and reboot prompts. The operations are
// fakes so that every outcome can be reached.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <new>
#include <set>

#include "base/console.h"
#include "app/driver.h"
#include "hii/strings.h"
#include "tests/app/in_process.h"

namespace kes::test {
namespace {

// Fake operations: each records its call and returns what the test set.
struct Fakes {
  std::vector<std::string> calls;
  std::string keys;  // answers to the prompts; end of input after them
  size_t nextKey = 0;
  Status passwords = 0, hii = 0, rawExport = 0, rawImport = 0, pldmExport = 1, pldmImport = 0;
  Status questionExport = 0, questionUpdate = 0, scriptExport = 0, scriptParse = 0, scriptImport = 0;
  Status variableUpdate = 0, compare = 0;
  HiiFormat format = HiiFormat::Uefi;
  EfiStatus evaluation = efi::kSuccess;
  // Runs inside every import: sets the outcome flags as the real imports do.
  bool modified = false, importErrors = false, resetRequired = false;
  bool throwInExport = false;
  bool unsupportedStrings = false;
  bool unsupportedInLanguages = false;
  // Puts a full disk under the named output ("script" or "duplicate") during the export, so that
  // completing it on disk fails.
  std::string fullDisk;
  bool realShutdown = false;  // only with a stub "shutdown" first on PATH
  std::wstring compareB;
  std::string tempFileDuringExport;

  bool Called(const std::string& name) const { return std::count(calls.begin(), calls.end(), name) > 0; }

  Status Import(RunState& run, const char* name, Status result) {
    calls.push_back(name);
    run.SystemModified = modified;
    run.ImportErrors = importErrors;
    run.ResetRequired = resetRequired;
    return result;
  }

  OperationTable Table() {
    OperationTable ops = DefaultOperations();
    auto record = [this](const char* name, Status result) {
      return [this, name, result](auto&&...) {
        calls.push_back(name);
        return result;
      };
    };
    ops.readKey = [this] { return nextKey < keys.size() ? static_cast<unsigned char>(keys[nextKey++]) : -1; };
    ops.bindToFirstProcessor = [] {};
    ops.changeSetupPasswords = record("passwords", passwords);
    ops.relockProtectedVariables = record("relock", 0);
    ops.retrieveHiiDatabase = [this](RunState& run, FirmwareAccess&) {
      ToolOptions& o = run.options;
      calls.push_back("hii");
      o.HiiDatabase = {1, 2, 3};
      o.HiiCrc32 = 0xC0FFEE;
      return hii;
    };
    ops.classifyHiiLayout = [this](Bytes) { return format; };
    ops.initializeEvaluation = [this](Evaluator&) {
      calls.push_back("evaluation");
      return evaluation;
    };
    ops.checkMappingLanguages = [this](const SetupContext&) {
      calls.push_back("languages");
      if (unsupportedInLanguages) throw UnsupportedStringBlocks();
    };
    ops.exportRawVariables = record("rawExport", rawExport);
    ops.importRawVariables = [this](RunState& run, FirmwareAccess&) { return Import(run, "rawImport", rawImport); };
    ops.exportPldm = record("pldmExport", pldmExport);
    ops.importPldm = [this](const SetupContext& setup, const std::wstring&) {
      return Import(setup.run, "pldmImport", pldmImport);
    };
    ops.exportSingleQuestion = record("questionExport", questionExport);
    ops.updateSingleQuestion = [this](const SetupContext& setup) {
      return Import(setup.run, "questionUpdate", questionUpdate);
    };
    ops.exportScript = [this](const SetupContext& setup) {
      calls.push_back("scriptExport");
      if (!fullDisk.empty()) {
        ToolOptions& o = setup.run.options;
        std::FILE* file = fullDisk == "script" ? o.ScriptFile.get() : o.DuplicateFile.get();
        int full = open("/dev/full", O_WRONLY);
        dup2(full, fileno(file));
        close(full);
      }
      if (throwInExport) throw std::bad_alloc();
      if (unsupportedStrings) throw UnsupportedStringBlocks();
      return scriptExport;
    };
    ops.exportScriptForCompare = [this](const SetupContext& setup) {
      calls.push_back("compareExport");
      std::fflush(setup.run.options.ScriptFile.get());
      tempFileDuringExport = ReadFileText("Tempfile.txt");
      return scriptExport;
    };
    ops.parseScriptFile = record("scriptParse", scriptParse);
    ops.importScript = [this](const SetupContext& setup, ScriptEntryList&) {
      return Import(setup.run, "scriptImport", scriptImport);
    };
    ops.updateSingleVariable = [this](RunState& run, auto&&...) { return Import(run, "variableUpdate", variableUpdate); };
    ops.writeUtilityIndication = record("indication", 0);
    if (!realShutdown) {
      ops.shutDownSystem = record("shutdown", 0);
      ops.rebootSystem = record("reboot", 0);
    }
    ops.compareScripts = [this](RunState&, const std::wstring&, const std::wstring& b, const std::wstring&) {
      calls.push_back("compare");
      compareB = b;
      return compare;
    };
    return ops;
  }
};

class DriverTest : public InProcessTest {
 protected:
  void SetUp() override {
    InProcessTest::SetUp();
    WriteFileText("in.txt", "script");
    WriteFileText("list.txt", "listing");
    WriteFileText("raw.bin", "raw");
  }

  Status RunWith(std::vector<std::string> words, Fakes& fakes) {
    Argv args(std::move(words));
    OperationTable ops = fakes.Table();
    ConsoleCapture capture;
    Status st = RunToolWith(args.argc(), args.argv(), ops);
    out_ = capture.out();
    err_ = capture.err();
    return st;
  }

  std::string out_, err_;
};

struct SummaryCase {
  const char* name;
  std::vector<std::string> args;
  std::function<void(Fakes&)> setup;
  std::string err;
  Status status;
};

TEST_F(DriverTest, OutcomeOfEveryModeAndItsSummaryLine) {
  auto modified = [](Fakes& f) { f.modified = true; };
  auto none = [](Fakes&) {};
  const std::vector<SummaryCase> cases = {
      {"script export", {"/o", "/s", "out.txt"}, none, "\nScript file exported successfully.\n", 0},
      {"script export fails", {"/o", "/s", "out.txt"}, [](Fakes& f) { f.scriptExport = 13; }, "", 13},
      {"pldm export", {"/o", "/p", "x.pldm"}, none, "\nPLDM Tables exported to files Successfully.\n", 0},
      {"pldm export fails", {"/o", "/p", "x.pldm"}, [](Fakes& f) { f.pldmExport = 0; },
       "\nFailed to export some or all of the PLDM tables.\n", 1},
      {"question export", {"/o", "/ms", "m"}, none, "", 0},
      {"question export fails", {"/o", "/ms", "m"}, [](Fakes& f) { f.questionExport = 13; },
       "\nERROR:D - Single question export failed.\n", 13},
      {"question update", {"/i", "/ms", "m", "/qv", "1"}, modified, "\nQuestion value imported successfully.\n", 0},
      {"question update fails", {"/i", "/ms", "m", "/qv", "1"}, [](Fakes& f) { f.questionUpdate = 87; },
       "\nERROR:57 - Single question update failed.\n", 87},
      {"pldm import", {"/i", "/p", "x.pldm"}, modified, "\nPldm file imported successfully.\n", 0},
      {"pldm import fails", {"/i", "/p", "x.pldm"}, [](Fakes& f) { f.pldmImport = 0x82; },
       "\nERROR:82 - Pldm Import failed.\n", 0x82},
      {"variable", {"/i", "/varname", "V", "/varguid", "g", "/varvalue", "01"}, modified,
       "\nVariable updated/created successfully.\n", 0},
      {"variable fails", {"/i", "/varname", "V", "/varguid", "g", "/varvalue", "01"},
       [](Fakes& f) { f.variableUpdate = 89; }, "\nERROR:59 -  Variable update/create failed.\n", 89},
      {"script import", {"/i", "/s", "in.txt"}, modified, "\nScript file imported successfully.\n", 0},
      {"script import, nothing changed", {"/i", "/s", "in.txt"}, none, "\nSystem configuration not modified.\n", 0},
      {"script import needs a reset", {"/i", "/s", "in.txt"},
       [](Fakes& f) { f.modified = f.resetRequired = true; },
       "\n WARNING : Power cycle reset is required for some of the updated controls.\n"
       "\nScript file imported successfully.\n",
       0},
      {"quiet import needing a reset", {"/i", "/s", "in.txt", "/q"},
       [](Fakes& f) { f.modified = f.resetRequired = true; }, "\nScript file imported successfully.\n", 0},
      {"import with errors", {"/i", "/s", "in.txt"}, [](Fakes& f) { f.modified = f.importErrors = true; },
       "\nImport completed with some errors, see warnings given.\n", 0},
      {"quiet restricted import with errors", {"/i", "/s", "in.txt", "/q", "/r"},
       [](Fakes& f) { f.modified = f.importErrors = true; }, "\nImport completed with some errors.\n", 0},
      {"quiet import with errors never claims success", {"/i", "/s", "in.txt", "/q"},
       [](Fakes& f) { f.modified = f.importErrors = true; }, "\nImport completed with some errors.\n", 0},
      {"script does not parse", {"/i", "/s", "in.txt"}, [](Fakes& f) { f.scriptParse = 13; }, "", 13},
      {"script import fails", {"/i", "/s", "in.txt"}, [](Fakes& f) { f.scriptImport = 87; },
       "\nERROR:57 -  Importing Script file\n", 87},
      {"raw export", {"/o", "/l", "list.txt", "/n", "r.bin", "/h", "h.bin"}, none,
       "\nScript file exported successfully.\n", 0},
      {"raw export fails", {"/o", "/l", "list.txt", "/n", "r.bin", "/h", "h.bin"},
       [](Fakes& f) { f.rawExport = 13; }, "ERROR:D -  Dumping NVRAM Variables to File\n", 13},
      {"raw import", {"/i", "/l", "list.txt", "/n", "raw.bin"}, modified, "\nScript file imported successfully.\n", 0},
      {"raw import, every write refused", {"/i", "/l", "list.txt", "/n", "raw.bin"},
       [](Fakes& f) { f.importErrors = true; }, "\nImport completed with some errors, see warnings given.\n", 0},
      {"raw import fails", {"/i", "/l", "list.txt", "/n", "raw.bin"}, [](Fakes& f) { f.rawImport = 13; },
       "ERROR:D -  Importing NVRAM Variables\n", 13},
      {"compare", {"/cs", "a.txt", "/cs", "b.txt", "/o", "d.txt"}, none,
       "\nScript files are compared successfully.\n", 0},
      {"compare fails", {"/cs", "a.txt", "/cs", "b.txt", "/o", "d.txt"}, [](Fakes& f) { f.compare = 23; },
       "\nERROR:17 - Script comparison failed.\n", 23},
      {"hii retrieval fails", {"/o", "/s", "out.txt"}, [](Fakes& f) { f.hii = 0x82; },
       "ERROR:82 -  BIOS not compatible\n", 0x82},
      {"unknown hii layout", {"/o", "/s", "out.txt"}, [](Fakes& f) { f.format = HiiFormat::Unknown; },
       "BIOS UEFI version not supported.\n", 1},
      {"evaluation unavailable", {"/o", "/s", "out.txt"}, [](Fakes& f) { f.evaluation = efi::kNotFound; },
       "Warning:E -Internal Error Occured ,SetupQuestion Evaluation will not be supported \n"
       "\nScript file exported successfully.\n",
       0},
      {"password refused", {"/i", "/s", "in.txt", "/cpwd", "bad"}, [](Fakes& f) { f.passwords = 1; }, "", 1},
  };
  for (const SummaryCase& c : cases) {
    SCOPED_TRACE(c.name);
    Fakes fakes;
    c.setup(fakes);
    EXPECT_EQ(RunWith(c.args, fakes), c.status);
    EXPECT_EQ(err_, c.err);
    // Whatever happened, the protected variables are locked again, once.
    EXPECT_EQ(std::count(fakes.calls.begin(), fakes.calls.end(), "relock"), 1);
  }
}

TEST_F(DriverTest, StepsRunInOrderAndStopAtTheFirstFailure) {
  Fakes fakes;
  fakes.modified = true;
  EXPECT_EQ(RunWith({"/i", "/s", "in.txt", "/cpwd", "p", "/lang", "de", "/ni"}, fakes), 0u);
  EXPECT_EQ(fakes.calls, (std::vector<std::string>{"passwords", "hii", "evaluation", "languages", "scriptParse",
                                                   "scriptImport", "indication", "relock"}));

  Fakes refused;
  refused.passwords = 1;
  EXPECT_EQ(RunWith({"/i", "/s", "in.txt", "/cpwd", "p"}, refused), 1u);
  EXPECT_EQ(refused.calls, (std::vector<std::string>{"passwords", "relock"}));

  // /h reads the database before the operation and only once; /q skips the language check; a
  // single-variable update does not set up evaluation; nothing modified, no indication.
  Fakes once;
  EXPECT_EQ(RunWith({"/o", "/s", "out.txt", "/h", "hii.bin", "/lang", "de", "/q"}, once), 0u);
  EXPECT_EQ(once.calls, (std::vector<std::string>{"hii", "evaluation", "scriptExport", "relock"}));

  Fakes variable;
  EXPECT_EQ(RunWith({"/i", "/varname", "V", "/varguid", "g", "/varfile", "v.bin", "/ni"}, variable), 0u);
  EXPECT_EQ(variable.calls, (std::vector<std::string>{"hii", "variableUpdate", "relock"}));

  // Setting passwords alone reads nothing else from the firmware.
  Fakes passwordsOnly;
  EXPECT_EQ(RunWith({"/cpwd", "old", "/apwd", "new"}, passwordsOnly), 0u);
  EXPECT_EQ(passwordsOnly.calls, (std::vector<std::string>{"passwords", "relock"}));
}

TEST_F(DriverTest, UnsupportedStringBlocksEndTheRunWithStatusOne) {
  Fakes fakes;
  fakes.unsupportedStrings = true;
  EXPECT_EQ(RunWith({"/o", "/s", "out.txt"}, fakes), 1u);
  EXPECT_EQ(err_, "The BIOS has unsupported string blocks.\n");
  EXPECT_TRUE(fakes.Called("relock"));
}

TEST_F(DriverTest, AllocationFailureEndsTheOperationAndTheFinishStepsStillRun) {
  Fakes fakes;
  fakes.throwInExport = true;
  EXPECT_EQ(RunWith({"/o", "/s", "out.txt"}, fakes), 8u);
  EXPECT_EQ(err_, "ERROR 8 : Memory Allocation Failure\n");
  EXPECT_TRUE(fakes.Called("relock"));

  ConsoleCapture capture;
  EXPECT_EQ(GuardAllocation([]() -> Status { throw std::bad_alloc(); }), 8u);
  EXPECT_EQ(GuardAllocation([] { return Status{5}; }), 5u);
  EXPECT_EQ(capture.err(), "ERROR 8 : Memory Allocation Failure\n");
}

TEST_F(DriverTest, SingleFileCompareExportsTheSystemToTheTemporaryFileAndRemovesIt) {
  Fakes fakes;
  EXPECT_EQ(RunWith({"/cs", "a.txt", "/o", "d.txt"}, fakes), 0u);
  EXPECT_EQ(err_, "\nScript files are compared successfully.\n");
  EXPECT_EQ(fakes.compareB, L"Tempfile.txt");
  EXPECT_EQ(fakes.tempFileDuringExport.rfind("// Script File Name : Tempfile.txt\n", 0), 0u);
  EXPECT_NE(fakes.tempFileDuringExport.find("\r\nHIICrc32= C0FFEE\r\n"), std::string::npos);
  EXPECT_FALSE(ReadFileBytes("Tempfile.txt").has_value());

  // A run that compares nothing leaves a file of that name alone.
  WriteFileText("Tempfile.txt", "mine");
  Fakes other;
  EXPECT_EQ(RunWith({"/o", "/s", "out.txt"}, other), 0u);
  EXPECT_EQ(ReadFileText("Tempfile.txt"), "mine");
}

TEST_F(DriverTest, SingleFileCompareLeavesAnExistingTempfileAlone) {
  WriteFileText("Tempfile.txt", "mine");
  Fakes fakes;
  EXPECT_EQ(RunWith({"/cs", "a.txt", "/o", "d.txt"}, fakes), 87u);
  EXPECT_EQ(err_, "ERROR:57 -  Opening NVRAM Script File\n");
  EXPECT_FALSE(fakes.Called("compareExport"));
  EXPECT_EQ(ReadFileText("Tempfile.txt"), "mine");
  std::remove("Tempfile.txt");

  // A failed export or compare removes the file the run created.
  for (auto fail : {+[](Fakes& f) { f.scriptExport = 1; }, +[](Fakes& f) { f.compare = 13; }}) {
    Fakes failing;
    fail(failing);
    EXPECT_NE(RunWith({"/cs", "a.txt", "/o", "d.txt"}, failing), 0u);
    EXPECT_FALSE(ReadFileBytes("Tempfile.txt").has_value());
  }

  // A compare output named like the temporary file has replaced it and is kept.
  Fakes naming;
  OperationTable ops = naming.Table();
  ops.compareScripts = [](RunState&, const std::wstring&, const std::wstring&, const std::wstring&) {
    WriteFileText("result.txt", "differences");
    return static_cast<Status>(std::rename("result.txt", "Tempfile.txt"));
  };
  Argv args({"/cs", "a.txt", "/o", "Tempfile.txt"});
  ConsoleCapture capture;
  EXPECT_EQ(RunToolWith(args.argc(), args.argv(), ops), 0u);
  EXPECT_EQ(ReadFileText("Tempfile.txt"), "differences");
}

std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename());
  return names;
}

TEST_F(DriverTest, OnlyASuccessfulRunReplacesTheUsersFiles) {
  const std::vector<std::string> script = {"/o", "/s", "out.txt", "/sd", "dup.txt", "/h", "hii.bin"};
  const std::vector<std::string> raw = {"/o", "/l", "list.txt", "/n", "raw.bin", "/h", "hii.bin"};
  std::vector<std::string> withLanguage = script;
  withLanguage.insert(withLanguage.end(), {"/lang", "de"});
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::function<void(Fakes&)> setup;
    Status status;
    std::string errTail;
  } cases[] = {
      {"export fails", script, [](Fakes& f) { f.scriptExport = 13; }, 13, ""},
      {"allocation failure", script, [](Fakes& f) { f.throwInExport = true; }, 8, ""},
      {"unsupported string blocks", script, [](Fakes& f) { f.unsupportedStrings = true; }, 1, ""},
      {"unsupported string blocks in the language check", withLanguage,
       [](Fakes& f) { f.unsupportedInLanguages = true; }, 1, "The BIOS has unsupported string blocks.\n"},
      {"hii retrieval fails", script, [](Fakes& f) { f.hii = 0x82; }, 0x82, ""},
      {"script cannot be completed", script, [](Fakes& f) { f.fullDisk = "script"; }, 1,
       "ERROR:1 -  Writing NVRAM Script File\n"},
      {"duplicate cannot be completed", script, [](Fakes& f) { f.fullDisk = "duplicate"; }, 1,
       "ERROR:1 -  Writing Duplicate NVRAM Script File\n"},
      {"raw export fails", raw, [](Fakes& f) { f.rawExport = 13; }, 13, ""},
  };
  const std::map<std::string, std::string> old = {
      {"out.txt", "old script"}, {"dup.txt", "old duplicate"}, {"hii.bin", "old dump"}, {"raw.bin", "raw"},
      {"list.txt", "listing"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [name, text] : old) WriteFileText(name, text);
    std::set<std::string> before = Entries(".");
    Fakes fakes;
    c.setup(fakes);
    EXPECT_EQ(RunWith(c.args, fakes), c.status);
    EXPECT_TRUE(err_.ends_with(c.errTail)) << err_;
    for (const auto& [name, text] : old) EXPECT_EQ(ReadFileText(name), text) << name;
    EXPECT_EQ(Entries("."), before);  // no partial output left beside them
  }

  // A failed export to a new name creates nothing; a successful one replaces every output.
  Fakes failing;
  failing.unsupportedStrings = true;
  EXPECT_EQ(RunWith({"/o", "/s", "new.txt"}, failing), 1u);
  EXPECT_FALSE(ReadFileBytes("new.txt").has_value());
  Fakes succeeding;
  EXPECT_EQ(RunWith(script, succeeding), 0u);
  EXPECT_EQ(ReadFileText("out.txt").rfind("// Script File Name : out.txt\n", 0), 0u);
  EXPECT_EQ(ReadFileText("dup.txt").rfind("// Script File Name : dup.txt\n", 0), 0u);
  EXPECT_EQ(ReadFileText("hii.bin"), "");  // the fake retrieval writes no dump
}

class PromptTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    MakeDirs(dir_ / "failing");
    WriteFileText(dir_ / "failing/shutdown", "#!/bin/sh\necho \"$*\" >> \"$KESTREL_SHUTDOWN_LOG\"\nexit 1\n");
    chmod((dir_ / "failing/shutdown").c_str(), 0755);
  }
  std::string Log() const { return ReadFileText(dir_ / "shutdown.log"); }
  ScopedEnv log_{"KESTREL_SHUTDOWN_LOG", dir_ / "shutdown.log"};
};

TEST_F(PromptTest, ShutdownAndRebootAfterAModifyingImport) {
  const std::string reboot = "Warning : System is going to Reboot. Do you want to proceed (Y|N)? \n";
  const std::string shutdown = "Warning : System is going to Shutdown. Do you want to proceed (Y|N)? \n";
  struct Case {
    const char* name;
    const char* option;
    bool modified;
    std::string keys;
    bool failingStub;
    Status importStatus;
    std::string prompt;
    std::string log;
    Status status;
    std::string errTail;
  } cases[] = {
      {"reboot declined", "/reboot", true, "n", false, 0, reboot, "", 0, ""},
      {"reboot accepted", "/reboot", true, "y", false, 0, reboot, "-r now\n", 0, ""},
      {"other keys are ignored", "/reboot", true, "x\nY", false, 0, reboot, "-r now\n", 0, ""},
      {"end of input declines", "/shutdown", true, "", false, 0, shutdown, "", 0, ""},
      {"shutdown accepted", "/shutdown", true, "Y", false, 0, shutdown, "-h now\n", 0, ""},
      {"nothing modified, no prompt", "/reboot", false, "y", false, 0, "", "", 0, ""},
      {"failing reboot", "/reboot", true, "y", true, 0, reboot, "-r now\n", 1, "\nERROR:1 Reboot failure.\n"},
      {"failing shutdown", "/shutdown", true, "y", true, 0, shutdown, "-h now\n", 1, "\nERROR:1 Shutdown failure.\n"},
      // A failed import that still changed something keeps its status whatever the command does.
      {"failed import, shutdown", "/shutdown", true, "y", false, 0x17, shutdown, "-h now\n", 0x17, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove((dir_ / "shutdown.log").c_str());
    ScopedEnv path("PATH", std::string(c.failingStub ? dir_ / "failing" : KESTREL_TEST_STUB_BIN) + ":" +
                               std::getenv("PATH"));
    Fakes fakes;
    fakes.realShutdown = true;
    fakes.modified = c.modified;
    fakes.keys = c.keys;
    fakes.scriptImport = c.importStatus;
    EXPECT_EQ(RunWith({"/i", "/s", "in.txt", c.option}, fakes), c.status);
    size_t at = out_.find("Warning : System is going to");
    EXPECT_EQ(at == std::string::npos ? "" : out_.substr(at), c.prompt);
    EXPECT_EQ(Log(), c.log);
    ASSERT_GE(err_.size(), c.errTail.size());
    EXPECT_EQ(err_.substr(err_.size() - c.errTail.size()), c.errTail);
  }
}

}  // namespace
}  // namespace kes::test
