// A firmware exporting the older HII layout, through the built tool and the emulator: the export
// of every form set with a class, and an edited script imported back (prompt and token matching,
// warnings only).
#include <gtest/gtest.h>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/generators.h"

namespace kes::test {
namespace {

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class OlderLayoutThroughEmulator : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(hiibuild::WriteEmulatorImage(dir_ / "image", hiibuild::BuildOlderDemoFirmware()), "");
    emu_ = std::make_unique<Emulator>(dir_ / "image");
    ASSERT_TRUE(emu_->Started()) << emu_->Output();
  }

  std::string Export(const std::string& name) {
    ProcessResult run = RunTool({"/o", "/s", dir_ / name}, {.env = emu_->Env()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return ReadFileText(dir_ / name);
  }

  // The variables written since the request log had `before` lines (mailbox requests left out).
  std::vector<std::string> WritesSince(size_t before) const {
    std::vector<std::string> out;
    const std::vector<std::string> log = emu_->RequestLog();
    for (size_t i = before; i < log.size(); ++i)
      if (log[i].rfind("set ", 0) == 0 && log[i].rfind("set KMBX-", 0) != 0) out.push_back(log[i].substr(4, log[i].find('-') - 4));
    return out;
  }

  TempDir dir_;
  std::unique_ptr<Emulator> emu_;
};

TEST_F(OlderLayoutThroughEmulator, ExportsEveryFormSetWithAClass) {
  std::string script = Export("script.txt");
  EXPECT_EQ(Count(script, "\nSetup Question\t= "), 18u);
  EXPECT_EQ(script.find("= Language\n"), std::string::npos);  // its form set has class 0
  for (const char* block : {
           "Setup Question\t= Asset Tag\nHelp String\t= Asset tag of this system, up to 16 characters\nToken\t=1001\t"
           "// Do NOT change this line\nOffset\t=00\nWidth\t=20\nValue\t=\"KS-0042\"\n",
           "Setup Question\t= Boot Timeout\n",
           "Offset\t=22\nWidth\t=02\nValue\t=<10>\n",
           "Offset\t=28\nWidth\t=01\nListOrder\t=[01]Hard Disk\n         [03]USB\n         [02]CD/DVD\n         "
           "[04]Network\n",
           "Memory Frequency\nHelp String\t= Memory clock in MT/s\nToken\t=00\t// Do NOT change this line\nOffset\t=02\n"
           "Width\t=02\nOptions\t=[00]Auto\t// Move \"*\" to the desired Option\n         [640]1600\n         "
           "[855]2133\n         *[960]2400\n",
       })
    EXPECT_NE(script.find(block), std::string::npos) << block;
}

TEST_F(OlderLayoutThroughEmulator, EditedScriptRoundTripsWithWarningsOnly) {
  std::string script = Export("script.txt");
  std::string edited = script;
  Replace(edited, "Value\t=<10>", "Value\t=<300>");  // above the maximum of 100
  Replace(edited, "Value\t=\"KS-0042\"", "Value\t=\"RACK-7\"");
  Replace(edited, "ListOrder\t=[01]Hard Disk\n         [03]USB\n         [02]CD/DVD\n         [04]Network",
          "ListOrder\t=[04]Network\n         [01]Hard Disk\n         [03]USB\n         [02]CD/DVD");
  Replace(edited, "Value\t=<60>", "Value\t=<70>");
  edited.erase(edited.find("HIICrc32"), edited.find('\n', edited.find("HIICrc32")) + 1 - edited.find("HIICrc32"));
  WriteFileText(dir_ / "edited.txt", edited);
  size_t before = emu_->RequestLog().size();
  // /r neither stops at the refused value nor asks for a checksum line.
  ProcessResult run = RunTool({"/i", "/s", dir_ / "edited.txt", "/r"}, {.env = emu_->Env()});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.err.find("WARNING : Value for control (Boot Timeout) not updated as the value/defaults specified "
                         "exceeds the maximum range (100).\n"),
            std::string::npos)
      << run.err;
  EXPECT_NE(run.err.find("\nScript file imported successfully.\n"), std::string::npos) << run.err;
  // The older encoding has no reset flag (Fan Duty Cycle's minimum of 16 is not one).
  EXPECT_EQ(run.err.find("Power cycle reset"), std::string::npos);
  EXPECT_EQ(WritesSince(before), (std::vector<std::string>{"Setup", "OemSetup"}));

  std::string again = Export("again.txt");
  Replace(edited, "Value\t=<300>", "Value\t=<10>");
  EXPECT_EQ(again.substr(again.find("\nSetup Question")), edited.substr(edited.find("\nSetup Question")));
}

}  // namespace
}  // namespace kes::test
