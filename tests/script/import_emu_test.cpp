// The script import through the built tool against the firmware emulator serving the demo
// firmware: what reaches the firmware (the emulator's request log), the outcome lines, and the
// firmware's refusals.
#include <gtest/gtest.h>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "tools/hiibuild/generators.h"

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
  void Start(const std::string& config = "", const std::vector<std::string>& mountArgs = {}) {
    hiibuild::EmulatorImage image = hiibuild::BuildDemoFirmware();
    image.config += config;
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
    if (!c.warning.empty()) EXPECT_NE(run.err.find(c.warning), std::string::npos) << run.err;
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

}  // namespace
}  // namespace kes::test
