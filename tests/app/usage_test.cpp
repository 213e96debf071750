// The banner and the usage screen as a user sees them, through the built tool.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "app/command_line.h"
#include "base/text.h"
#include "tests/support/test_support.h"

namespace kes::test {
namespace {

constexpr const char* kPausePrompt = "<Press Q to quit, any other key to continue.> \n";
const std::string kBanner =
    "\n------------------------------------------------------------------------------\n"
    "|                       Kestrel Utility. Ver 5.04.1140                        |"
    "\n------------------------------------------------------------------------------\n";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

class UsageTest : public ::testing::Test {
 protected:
  void SetUp() override { MakeFirmwareTree(dir_ / "fw"); }
  ProcessResult Launch(const std::vector<std::string>& args, const std::string& input) const {
    ProcessOptions options;
    options.env["KESTREL_SYSFS_FIRMWARE"] = dir_ / "fw";
    options.workingDirectory = dir_.path();
    options.stdinData = input;
    return RunTool(args, options);
  }
  TempDir dir_;
};

TEST_F(UsageTest, QAtEachPauseEndsTheScreenThere) {
  // What each page ends with, just before its pause.
  const std::string pageEnds[] = {
      "\t/cpwdsf <File having Current Admin Password>] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]  \n",
      "/upwdf <file\n\thaving new user Password> [/hb] [/log] [/loglvl: <value>] \n\t[/logfile: <filename>]\n",
      "/apwde <new admin Password> \n\t[/hb] [/log] [/loglvl: <value>] [/logfile: <filename>]\n",
      "[/shutdown] [/reboot] [/log] \n\t[/loglvl: <value>] [/logfile: <filename>]\n",
      "       /l          - Indicates Variable Listing File\n",
      "       /upwd       - To set new user Password \n",
      "       /cpwde      - To validate the admin password of type EFI Key and \n\t\t\tunlock the protected variables "
      "update\n",
      "       /varname    - Name of the NVRAM variable to update/create\n",
  };
  for (int page = 1; page <= 8; ++page) {
    SCOPED_TRACE(page);
    std::string keys(page - 1, 'x');
    keys += page % 2 ? "q" : "Q";
    ProcessResult r = Launch({}, keys);
    EXPECT_EQ(r.exitCode, 20);
    EXPECT_EQ(Count(r.out, kPausePrompt), static_cast<size_t>(page));
    std::string tail = pageEnds[page - 1] + kPausePrompt;
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  }
}

TEST_F(UsageTest, EndOfInputShowsTheWholeScreen) {
  ProcessResult r = Launch({}, "");
  EXPECT_EQ(r.exitCode, 20);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind(kBanner + "Default Usage:\n    KESLNX_64 /o /s <NVRAM Script File>", 0), 0u);
  EXPECT_EQ(Count(r.out, kPausePrompt), 8u);
  EXPECT_EQ(Count(r.out, "    KESLNX_64 "), 30u);
  const char* headings[] = {"\nTo Export PLDM Tables:\n", "\nTo Import PLDM Tables:\n",
                            "\nSingle Question Update Usage:\n", "\nSingle Question Export Usage:\n",
                            "\nRaw Mode Usage:\n", "\nSingle Variable Update Usage:\n", "\nScript Compare Usage:\n",
                            "    (OR)\n", "    where,\n",
                            "\nNote: Values of type numeric will be taken as hex always (0x prefix optional).\n"};
  for (const char* h : headings) EXPECT_EQ(Count(r.out, h), 1u) << h;
  // One help line per switch; /sd has its own layout, and /loglvl: its four level lines.
  for (size_t i = 0; i < kSwitchCount; ++i) {
    Switch s = static_cast<Switch>(i);
    std::string name = ToNarrow(SwitchName(s));
    std::string line = s == Switch::Sd ? "\t   /sd - Export duplicate questions in new file \n"
                                       : "       " + name + std::string(12 - name.size(), ' ') + "- ";
    EXPECT_EQ(Count(r.out, line), 1u) << name;
  }
  EXPECT_NE(r.out.find("       /loglvl:    - Enables specific output(Allowed Levels 1,2,4 and 8)\n"
                       "               1   - Enables LV_ALWS output\n"
                       "               2   - Enables LV_KERN output\n"
                       "               4   - Enables LV_LIBR output\n"
                       "               8   - Enables LV_MODL output\n"
                       "       /logfile:   - Directs debugInfo to specific file\n"
                       "       /cs         - Switch used to specify the script file for comparison\n"),
            std::string::npos);
  const std::string last = "       /cs         - Switch used to specify the script file for comparison\n";
  EXPECT_EQ(r.out.substr(r.out.size() - last.size()), last);
}

TEST_F(UsageTest, HbHidesTheBannerOnceAndIsRefusedTwice) {
  struct Case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
  } cases[] = {
      {{"/o", "/x"}, kBanner + kPausePrompt, "ERROR:57 -  Unknown CMD Line Option /x specified\n"},
      {{"/o", "/hb", "/x"}, kPausePrompt, "ERROR:57 -  Unknown CMD Line Option /x specified\n"},
      // Counted before the scan: the unknown option is never reached.
      {{"/hb", "/o", "/x", "/HB"}, kBanner + kPausePrompt, "ERROR:57 -  Multiple occurances of same switch /HB.\n"},
  };
  for (const Case& c : cases) {
    ProcessResult r = Launch(c.args, "q");
    EXPECT_EQ(r.exitCode, 87);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err + "ERROR:57 -  Parsing CMD Line Arguments\n");
  }
  // Refused twice, any other key at the pause shows the usage screen.
  ProcessResult r = Launch({"/hb", "/hb"}, "x");
  EXPECT_EQ(r.exitCode, 87);
  EXPECT_EQ(r.out.find(kBanner + kPausePrompt + "Default Usage:\n"), 0u);
}

}  // namespace
}  // namespace kes::test
