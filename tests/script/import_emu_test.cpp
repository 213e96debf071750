// The script import through the built tool against the firmware emulator serving the demo
// firmware: what reaches the firmware (the emulator's request log), the outcome lines, and the
// firmware's refusals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/generators.h"

namespace kes::test {
namespace {

// The variables a run wrote, one "Name" per SetVariable the firmware accepted or refused,
// mailbox requests left out.
std::vector<std::string> Writes(const Emulator& emu) {
  std::vector<std::string> out;
  for (const std::string& line : emu.RequestLog()) {
    if (line.rfind("set ", 0) != 0 || line.rfind("set KMBX-", 0) == 0) continue;
    out.push_back(line.substr(4, line.find('-') - 4) + (line.find("status=0x0") != std::string::npos ? "" : " refused"));
  }
  return out;
}

class ImportThroughEmulator : public ::testing::Test {
 protected:
  // The demo image with extra emulator configuration, mounted; its script exported.
  void Start(const std::string& config = "", const std::vector<std::string>& mountArgs = {},
             const std::function<void(hiibuild::EmulatorImage&)>& change = {}) {
    hiibuild::EmulatorImage image = hiibuild::BuildDemoFirmware();
    image.config += config;
    if (change) change(image);
    ASSERT_EQ(hiibuild::WriteEmulatorImage(dir_ / "image", image), "");
    emu_ = std::make_unique<Emulator>(dir_ / "image", mountArgs);
    ASSERT_TRUE(emu_->Started()) << emu_->Output();
    ProcessResult run = RunTool({"/o", "/s", dir_ / "script.txt"}, {.env = emu_->Env()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    script_ = ReadFileText(dir_ / "script.txt");
  }

  // Imports `text` with extra switches; the writes it made are in writes_.
  ProcessResult Import(const std::string& text, const std::vector<std::string>& extra = {}) {
    WriteFileText(dir_ / "edited.txt", text);
    size_t before = emu_->RequestLog().size();
    std::vector<std::string> args{"/i", "/s", dir_ / "edited.txt"};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcessResult run = RunTool(args, {.env = emu_->Env()});
    std::vector<std::string> all = Writes(*emu_);
    size_t earlier = 0;
    const std::vector<std::string> log = emu_->RequestLog();  // returned by value: kept while read
    for (size_t i = 0; i < before && i < log.size(); ++i) {
      const std::string& line = log[i];
      if (line.rfind("set ", 0) == 0 && line.rfind("set KMBX-", 0) != 0) ++earlier;
    }
    writes_.assign(all.begin() + static_cast<std::ptrdiff_t>(earlier), all.end());
    return run;
  }

  // Two Setup questions and one ChipsetSetup question changed.
  std::string Edited() const {
    std::string text = script_;
    const std::string ht = "= Hyper-Threading\n";  // reset required
    size_t block = text.find(ht);
    EXPECT_NE(block, std::string::npos);
    size_t star = text.find("*[01]Enabled", block);
    text.replace(star, 12, "[01]Enabled");
    text.replace(text.rfind("[00]Disabled", star), 12, "*[00]Disabled");
    Replace(text, "= Virtualization Technology\n", "= Virtualization Technology\n");
    size_t vt = text.find("= Virtualization Technology\n");
    star = text.find("*[01]Enabled", vt);
    text.replace(star, 12, "[01]Enabled");
    text.replace(text.rfind("[00]Disabled", star), 12, "*[00]Disabled");
    size_t rtc = text.find("= Wake on RTC\n");
    text.replace(text.find("*[00]Disabled", rtc), 13, "[00]Disabled");
    text.replace(text.find("[01]Enabled", rtc), 11, "*[01]Enabled");
    return text;
  }

  TempDir dir_;
  std::unique_ptr<Emulator> emu_;
  std::string script_;
  std::vector<std::string> writes_;
};

TEST_F(ImportThroughEmulator, EditedScriptWritesEachChangedVariableOnce) {
  Start();
  ProcessResult run = Import(script_);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("\nSystem configuration not modified.\n"), std::string::npos);
  EXPECT_TRUE(writes_.empty());

  std::string edited = Edited();
  run = Import(edited);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("\n WARNING : Power cycle reset is required for some of the updated controls.\n"),
            std::string::npos);
  EXPECT_NE(run.err.find("\nScript file imported successfully.\n"), std::string::npos);
  EXPECT_EQ(writes_, (std::vector<std::string>{"Setup", "ChipsetSetup"}));

  // Exported again, the file is the edited one (the commented duplicate of Hyper-Threading
  // follows its storage).
  ASSERT_EQ(RunTool({"/o", "/s", dir_ / "again.txt"}, {.env = emu_->Env()}).exitCode, 0);
  std::string again = ReadFileText(dir_ / "again.txt");
  Replace(edited, "// Options\t=[00]Disabled\t// Move \"*\" to the desired Option\n//         *[01]Enabled\n\nSetup "
                  "Question\t= Enhanced SpeedStep",
          "// Options\t=*[00]Disabled\t// Move \"*\" to the desired Option\n//         [01]Enabled\n\nSetup "
          "Question\t= Enhanced SpeedStep");
  EXPECT_EQ(again.substr(again.find("HIICrc32")), edited.substr(edited.find("HIICrc32")));
}

TEST_F(ImportThroughEmulator, ABiosDefaultLineChangesOnlyTheStandardDefaults) {
  Start();
  std::string text = script_;
  size_t vt = text.find("= Virtualization Technology\n");
  ASSERT_NE(vt, std::string::npos);
  text.replace(text.find("BIOS Default =[01]Enabled", vt), 25, "BIOS Default =[00]Disabled");
  ProcessResult run = Import(text);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(writes_, std::vector<std::string>{"StdDefaults"});
  ASSERT_EQ(RunTool({"/o", "/s", dir_ / "again.txt"}, {.env = emu_->Env()}).exitCode, 0);
  std::string again = ReadFileText(dir_ / "again.txt");
  size_t at = again.find("= Virtualization Technology\n");
  EXPECT_EQ(again.find("BIOS Default =[00]Disabled", at), again.find("BIOS Default", at));
}

TEST_F(ImportThroughEmulator, FirmwareRefusalsAreWarnedAndTheRestIsWritten) {
  struct Case {
    const char* name;
    std::string config;
    std::vector<std::string> extra;
    std::string warning;
    std::vector<std::string> writes;
    std::string outcome;
  };
  const Case cases[] = {
      {"failing variable", "failing_variables = ChipsetSetup\n", {},
       "WARNING : Error in writing variable ChipsetSetup to NVRAM\n", {"Setup", "ChipsetSetup refused"},
       "\nImport completed with some errors, see warnings given.\n"},
      {"failing variable, quiet", "failing_variables = ChipsetSetup\n", {"/q"}, "",
       {"Setup", "ChipsetSetup refused"}, "\nImport completed with some errors.\n"},
      {"write-protected variable", "write_protected_variables = ChipsetSetup\n", {},
       "WARNING : Error in writing variable ChipsetSetup to NVRAM\n", {"Setup", "ChipsetSetup refused"},
       "\nImport completed with some errors, see warnings given.\n"},
      {"protected without the password", "admin_password = pw\nprotected_variables = Setup\n", {},
       "WARNING : Cannot update protected variable Setup. Please use /cpwd <admin_pwd> to update protected "
       "variables.\n",
       {"Setup refused", "ChipsetSetup"}, "\nImport completed with some errors, see warnings given.\n"},
      {"protected with the password", "admin_password = pw\nprotected_variables = Setup\n", {"/cpwd", "pw"}, "",
       {"Setup", "ChipsetSetup"}, "\nScript file imported successfully.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.config);
    ProcessResult run = Import(Edited(), c.extra);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    if (!c.warning.empty()) {
      EXPECT_NE(run.err.find(c.warning), std::string::npos) << run.err;
    }
    EXPECT_NE(run.err.find(c.outcome), std::string::npos) << run.err;
    std::vector<std::string> writes;
    for (const std::string& w : writes_)
      if (w.rfind("$", 0) != 0) writes.push_back(w);  // password variables
    EXPECT_EQ(writes, c.writes);
    emu_.reset();
  }
}

TEST_F(ImportThroughEmulator, ReadOnlyVariableStoreIsOneClearError) {
  Start();
  std::string edited = Edited();
  emu_.reset();
  emu_ = std::make_unique<Emulator>(dir_ / "image", std::vector<std::string>{"-o", "ro"});
  ASSERT_TRUE(emu_->Started()) << emu_->Output();
  ProcessResult run = Import(edited);
  EXPECT_NE(run.exitCode, 0);
  const std::string cause = "is mounted read-only. Remount it read-write (mount -o remount,rw ";
  size_t at = run.err.find(cause);
  EXPECT_NE(at, std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(cause, at + 1), std::string::npos) << "said once";
  EXPECT_EQ(run.err.find("WARNING"), std::string::npos);
  EXPECT_EQ(run.err.find("successfully"), std::string::npos);
  EXPECT_TRUE(writes_.empty());
}

// The line of `question`'s block that begins with `keyword`, replaced by `line`.
void SetLine(std::string& text, const std::string& question, const std::string& keyword, const std::string& line) {
  size_t block = text.find("\nSetup Question\t= " + question + "\n");
  ASSERT_NE(block, std::string::npos) << question;
  size_t at = text.find("\n" + keyword, block + 1);
  ASSERT_NE(at, std::string::npos) << question << " " << keyword;
  text.replace(at + 1, text.find('\n', at + 1) - at - 1, line);
}

// Scripts that ask for something other than what a clean check would store: nothing unasked
// is written, every refusal says why, and a run that dropped a value is not a plain success.
TEST_F(ImportThroughEmulator, WritesOnlyWhatTheScriptReallyAsksFor) {
  const std::string notModified = "\nSystem configuration not modified.\n";
  const std::string imported = "\nScript file imported successfully.\n";
  auto invalid = [](const char* form, const std::string& question) {
    return std::string(form) + " : Value for control (" + question +
           ") not updated as the value/defaults specified is invalid.\n";
  };
  const std::string pastEnd = " : Value for control (Service Interval (days)) not updated as its storage (offset 9b, "
                              "width 02) lies past the end of variable ServiceInfo (155 bytes).\n";
  // The service variable cut short before the last question's storage.
  auto shortServiceInfo = [](hiibuild::EmulatorImage& image) {
    for (hiibuild::Variable& v : image.variables)
      if (v.name == "ServiceInfo") v.data.resize(0x9B);
  };
  using Edit = std::function<void(std::string&)>;
  struct Case {
    const char* name;
    Edit edit;
    std::vector<std::string> extra;
    int exitCode;
    std::string err;
    std::vector<std::string> writes;
    std::function<void(hiibuild::EmulatorImage&)> image = {};
    std::string file = "";  // the script's name on the command line; empty: the edited file
    std::string exported = "";  // in the script exported afterwards
  };
  const Case cases[] = {
      {"braced string for a numeric", [](std::string& t) { SetLine(t, "Service Interval (days)", "Value", "Value\t={FFFF }"); },
       {}, 0, invalid("WARNING", "Service Interval (days)") + notModified, {}},
      {"braced string for a numeric, /r", [](std::string& t) { SetLine(t, "Service Interval (days)", "Value", "Value\t={FFFF }"); },
       {"/r"}, 13, invalid("ERROR", "Service Interval (days)"), {}},
      {"plain value for a date, /r", [](std::string& t) { SetLine(t, "Last Service Date", "Date", "Value\t=FFFFFFFF"); },
       {"/r"}, 13, invalid("ERROR", "Last Service Date"), {}},
      {"number for a string, /r", [](std::string& t) { SetLine(t, "Asset Tag", "Value", "Value\t=41"); },
       {"/r"}, 13, invalid("ERROR", "Asset Tag"), {}},
      {"UTF-8 string", [](std::string& t) { SetLine(t, "System Location", "Value", "Value\t=\"Lab Caf\xC3\xA9 Rack 8\""); },
       {"/r"}, 0, imported, {"ServiceInfo"}, {}, "",
       "Value\t={004C 0061 0062 0020 0043 0061 0066 00E9 0020 0052 0061 0063 006B 0020 0038 0000 "},
      {"sixteen characters, one of two bytes", [](std::string& t) { SetLine(t, "Asset Tag", "Value", "Value\t=\"Caf\xC3\xA9 1234567890A\""); },
       {"/r"}, 0, imported, {"ServiceInfo"}},
      {"invalid UTF-8", [](std::string& t) { SetLine(t, "System Location", "Value", "Value\t=\"Lab Caf\xE9\""); },
       {}, 13, "\nSyntax Error in line 38\nInvalid Current Value\n", {}},
      {"BIOS default not an option", [](std::string& t) { SetLine(t, "Memory Refresh Rate", "BIOS Default", "BIOS Default =[03]3x"); },
       {}, 0, "WARNING : Value for control (Memory Refresh Rate) not updated as the value/defaults specified exceeds the "
              "maximum range \n" + notModified, {}},
      {"storage past the end of the variable", {}, {}, 0,
       "WARNING" + pastEnd + "\nImport completed with some errors, see warnings given.\n", {}, shortServiceInfo},
      {"storage past the end of the variable, /r", {}, {"/r"}, 13, "ERROR" + pastEnd, {}, shortServiceInfo},
      // The demo's Restore AC Power Loss holds a value none of its options has: no "*" in its block.
      {"unedited export, /r", {}, {"/r"}, 0, notModified, {}},
      {"script on a pipe, /r", {}, {"/r"}, 0, notModified, {}, {}, "/dev/stdin"},
      {"checksum of nine digits", [](std::string& t) { Replace(t, "HIICrc32= ", "HIICrc32= 1"); }, {}, 13,
       "ERROR:D -  Parsing Advanced Script File\n", {}},
      {"endless file", {}, {}, 13, "\n- ERROR: Script file is larger than 268435456 bytes.", {}, {}, "/dev/zero"},
  };
  Start();
  const std::string full = script_;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start("", {}, c.image);
    std::string text = full;
    if (c.edit) c.edit(text);
    WriteFileText(dir_ / "edited.txt", text);
    size_t before = emu_->RequestLog().size();
    std::vector<std::string> args{"/i", "/s", c.file.empty() ? dir_ / "edited.txt" : c.file};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ProcessResult run = RunTool(args, {.env = emu_->Env(), .stdinData = c.file == "/dev/stdin" ? text : ""});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    const std::vector<std::string> log = emu_->RequestLog();
    std::vector<std::string> writes;
    for (size_t i = before; i < log.size(); ++i)
      if (log[i].rfind("set ", 0) == 0 && log[i].rfind("set KMBX-", 0) != 0)
        writes.push_back(log[i].substr(4, log[i].find('-') - 4));
    EXPECT_EQ(writes, c.writes);
    if (!c.exported.empty()) {
      ASSERT_EQ(RunTool({"/o", "/s", dir_ / "again.txt"}, {.env = emu_->Env()}).exitCode, 0);
      EXPECT_NE(ReadFileText(dir_ / "again.txt").find(c.exported), std::string::npos);
    }
  }
}

// A signal while the run waits for its script (standard input held open): the run ends with
// 128 + the signal, after the protected variables were locked again, and writes nothing.
TEST_F(ImportThroughEmulator, SignalEndsTheRunAfterTheRelock) {
  Start("admin_password = pw\nprotected_variables = Setup\n");
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    size_t logStart = emu_->RequestLog().size();
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    std::string out = dir_ / "out.txt", err = dir_ / "err.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args{ToolPath(), "/i", "/s", "/dev/stdin", "/cpwd", "pw", "/hb"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"KESTREL_SYSFS_FIRMWARE=" + emu_->root(), "PATH=/nonexistent"};
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    // Once the password was presented and the requests have stopped, the run waits for its input.
    auto requests = [&] { return emu_->RequestLog().size(); };
    for (int i = 0; i < 200 && requests() == logStart; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (size_t seen = 0; seen != requests();) {
      seen = requests();
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    kill(pid, signal);
    std::string script = Edited();
    (void)!write(input[1], script.data(), std::min<size_t>(script.size(), 4096));
    close(input[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal) << ReadFileText(err);
    EXPECT_EQ(ReadFileText(out), "Password accepted\nVariable access re-locked\n");
    EXPECT_NE(ReadFileText(err).find("ERROR: The run was interrupted by signal " + std::to_string(signal) + ".\n"),
              std::string::npos)
        << ReadFileText(err);
    const std::vector<std::string> log = emu_->RequestLog();
    for (size_t i = logStart; i < log.size(); ++i)
      EXPECT_TRUE(log[i].rfind("set ", 0) != 0 || log[i].rfind("set KMBX-", 0) == 0 || log[i].rfind("set $", 0) == 0)
          << log[i];
  }
}

// However early the signal comes once the password was accepted (here as soon as the emulator
// has accepted it, while the run still reads the HII database), the run never waits past it for
// its script, on a pipe or on a FIFO no writer opens: it locks the protected variables again and
// ends with 128 + the signal, having written nothing.
TEST_F(ImportThroughEmulator, SignalRightAfterThePasswordIsNeverLost) {
  Start("admin_password = pw\nprotected_variables = Setup\n");
  const std::string fifo = dir_ / "script.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int signals[] = {SIGTERM, SIGINT, SIGHUP};
  for (int run = 0; run < 50; ++run) {
    int signal = signals[run % 3];
    bool onFifo = run % 2 == 1;
    SCOPED_TRACE("run " + std::to_string(run) + (onFifo ? ", FIFO" : ", pipe") + ", signal " + std::to_string(signal));
    size_t logStart = emu_->RequestLog().size();
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    std::string err = dir_ / "err.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args{ToolPath(), "/i", "/s", onFifo ? fifo : "/dev/stdin", "/cpwd", "pw", "/hb"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env{"KESTREL_SYSFS_FIRMWARE=" + emu_->root(), "PATH=/nonexistent"};
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    auto accepted = [&] {
      std::vector<std::string> log = emu_->RequestLog();
      return std::find(log.begin() + static_cast<std::ptrdiff_t>(std::min(logStart, log.size())), log.end(),
                       "password $SETUPPASSWD accepted") != log.end();
    };
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!accepted() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(pid, signal);
    int status = 0;
    bool ended = false;
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!(ended = waitpid(pid, &status, WNOHANG) == pid) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!ended) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    close(input[1]);
    ASSERT_TRUE(ended) << "the run hung after the signal";
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 128 + signal) << ReadFileText(err);
    const std::vector<std::string> log = emu_->RequestLog();
    auto accept = std::find(log.begin() + static_cast<std::ptrdiff_t>(logStart), log.end(), "password $SETUPPASSWD accepted");
    EXPECT_NE(std::find(accept, log.end(), "password $SETUPPASSWD relock"), log.end()) << "not locked again";
    for (size_t i = logStart; i < log.size(); ++i)
      EXPECT_TRUE(log[i].rfind("set ", 0) != 0 || log[i].rfind("set KMBX-", 0) == 0 || log[i].rfind("set $", 0) == 0)
          << log[i];
  }
}

// The demo's export holds a block without a current option: the warning names the line where
// that block starts, not the next one.
TEST_F(ImportThroughEmulator, IncompleteBlockIsReportedAtItsOwnLine) {
  Start();
  size_t block = script_.find("Setup Question\t= Restore AC Power Loss\n");
  ASSERT_NE(block, std::string::npos);
  size_t line = 1 + static_cast<size_t>(std::count(script_.begin(), script_.begin() + static_cast<std::ptrdiff_t>(block), '\n'));
  ProcessResult run = Import(script_, {"/r"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("\nWarning in line " + std::to_string(line) + "\nMissing Current Setting \"*\"\n"),
            std::string::npos)
      << run.err;
}

// Every variable of the emulated firmware with its content (the mailbox variable left out).
std::map<std::string, std::vector<uint8_t>> Variables(const Emulator& emu) {
  std::map<std::string, std::vector<uint8_t>> out;
  for (const auto& file : std::filesystem::directory_iterator(emu.efivars())) {
    std::string name = file.path().filename();
    if (name.rfind("KMBX-", 0) != 0) out[name] = ReadFileBytes(file.path()).value_or(std::vector<uint8_t>{});
  }
  return out;
}

// Under /r an import is all or nothing also when the firmware refuses a write: the variables it
// wrote get back what they held, and the run fails. (Without /r the refused variable is skipped
// and the rest stays written: FirmwareRefusalsAreWarnedAndTheRestIsWritten.)
TEST_F(ImportThroughEmulator, RestrictedImportUndoesItsWritesWhenTheFirmwareRefusesOne) {
  const std::string undone = "ERROR : The import was undone: every variable it had written holds its earlier value again.\n";
  auto withDefault = [](std::string text) {
    size_t vt = text.find("= Virtualization Technology\n");
    text.replace(text.find("BIOS Default =[01]Enabled", vt), 25, "BIOS Default =[00]Disabled");
    return text;
  };
  struct Case {
    const char* name;
    std::string config;
    std::vector<std::string> extra;
    bool changeDefault;
    std::string refusal;
    std::vector<std::string> writes;
  };
  const Case cases[] = {
      {"protected", "admin_password = pw\nprotected_variables = ChipsetSetup\n", {"/r"}, false,
       "ERROR : Cannot update protected variable ChipsetSetup. Please use /cpwd <admin_pwd> to update protected "
       "variables.\n",
       {"Setup", "ChipsetSetup refused", "Setup"}},
      {"failing, quiet", "failing_variables = ChipsetSetup\n", {"/r", "/q"}, false,
       "ERROR : Error in writing variable ChipsetSetup to NVRAM\n", {"Setup", "ChipsetSetup refused", "Setup"}},
      {"default store", "failing_variables = StdDefaults\n", {"/r"}, true, "Error Writing Variable StdDefaults to NVRAM\n",
       {"Setup", "ChipsetSetup", "StdDefaults refused", "ChipsetSetup", "Setup"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.config);
    auto before = Variables(*emu_);
    ProcessResult run = Import(c.changeDefault ? withDefault(Edited()) : Edited(), c.extra);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find(c.refusal + undone), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("ERROR:1 -  Importing Script file\n"), std::string::npos) << run.err;
    EXPECT_EQ(writes_, c.writes);
    EXPECT_EQ(Variables(*emu_), before);
    emu_.reset();
  }
}

}  // namespace
}  // namespace kes::test
