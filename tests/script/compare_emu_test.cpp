// Single-file compare through the built tool against the emulator serving the demo firmware: a
// saved script against the running system, with and without an edit; no temporary file is left.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes::test {
namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

TEST(CompareThroughEmulator, ASavedScriptAgainstTheRunningSystem) {
  TempDir dir;
  ASSERT_EQ(hiibuild::WriteEmulatorImage(dir / "image", hiibuild::BuildDemoFirmware()), "");
  Emulator emu(dir / "image");
  ASSERT_TRUE(emu.Started()) << emu.Output();
  const ProcessOptions inDir{.env = emu.Env(), .workingDirectory = dir.path()};

  ProcessResult run = RunTool({"/o", "/s", "saved.txt", "/hb"}, inDir);
  ASSERT_EQ(run.exitCode, 0) << run.err;
  std::string saved = ReadFileText(dir / "saved.txt");
  size_t crc = saved.find("\r\nHIICrc32= ");
  ASSERT_NE(crc, std::string::npos);
  std::string checksumLine = saved.substr(crc, saved.find("\r\n", crc + 2) + 2 - crc);

  // Unchanged: only the header and the one checksum line.
  run = RunTool({"/cs", "saved.txt", "/o", "diff.txt", "/hb"}, inDir);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  // (The demo has a one-of whose value matches no option; the parser warns about its block.)
  const std::string summary = "\nScript files are compared successfully.\n";
  EXPECT_EQ(run.err.substr(run.err.size() - std::min(run.err.size(), summary.size())), summary);
  std::string diff = ReadFileText(dir / "diff.txt");
  EXPECT_EQ(diff.rfind("// Script File Name : diff.txt\n", 0), 0u);
  EXPECT_EQ(diff.substr(diff.find("\r\n")), checksumLine);
  EXPECT_FALSE(Exists(dir / "Tempfile.txt"));

  // Quiet Boot moved from Enabled to Disabled in the saved file: its block is listed twice, as the
  // file has it and as the system has it.
  const std::string before = "Options\t=[00]Disabled\t// Move \"*\" to the desired Option\n         *[01]Enabled\n";
  size_t quiet = saved.find("\nSetup Question\t= Quiet Boot\n");
  ASSERT_NE(quiet, std::string::npos);
  size_t options = saved.find(before, quiet);
  ASSERT_NE(options, std::string::npos);
  std::string edited = saved;
  edited.replace(options, before.size(), "Options\t=*[00]Disabled\n         [01]Enabled\n");
  WriteFileText(dir / "saved.txt", edited);
  run = RunTool({"/cs", "saved.txt", "/o", "diff.txt", "/hb"}, inDir);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  diff = ReadFileText(dir / "diff.txt");
  size_t first = diff.find("\nSetup Question\t= Quiet Boot\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_NE(diff.find("Options\t=*[00]Disabled\n         [01]Enabled\n", first), std::string::npos);
  EXPECT_NE(diff.find("Options\t=[00]Disabled\n         *[01]Enabled\n", first), std::string::npos);
  EXPECT_EQ(diff.find("Setup Question", diff.find("Setup Question", first + 2) + 1), std::string::npos)
      << "only the edited question";
  EXPECT_FALSE(Exists(dir / "Tempfile.txt"));
}

// Operations whose result is what they print fail when standard output loses it.
TEST(CompareThroughEmulator, LostStandardOutputFailsTheRun) {
  TempDir dir;
  ASSERT_EQ(hiibuild::WriteEmulatorImage(dir / "image", hiibuild::BuildDemoFirmware()), "");
  Emulator emu(dir / "image");
  ASSERT_TRUE(emu.Started()) << emu.Output();
  ASSERT_EQ(RunTool({"/o", "/s", dir / "a.txt", "/hb"}, {.env = emu.Env()}).exitCode, 0);
  std::string edited = ReadFileText(dir / "a.txt");
  Replace(edited, "Options\t=[00]Disabled\t// Move \"*\" to the desired Option\n         *[01]Enabled\n",
          "Options\t=*[00]Disabled\n         [01]Enabled\n");
  WriteFileText(dir / "b.txt", edited);
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string err;
  };
  const Case cases[] = {
      {{"/o", "/cs", dir / "a.txt", "/cs", dir / "b.txt"}, 0x57,
       "ERROR:57 -  Writing NVRAM Script File\n\nERROR:57 - Script comparison failed.\n"},
      {{"/o", "/ms", "LANG002"}, 1, "ERROR:1 -  Writing to standard output\n\nERROR:1 - Single question export failed.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);
    std::vector<std::string> argv{"sh", "-c", "exec \"$0\" \"$@\" >/dev/full", ToolPath()};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    argv.push_back("/hb");
    ProcessResult run = RunProcess(argv, {.env = emu.Env()});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("successfully"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace kes::test
