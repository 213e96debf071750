// The command line end to end: every rejection's exact message, status and place in the rule
// order, run through the built tool against a temporary firmware tree.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_support.h"

extern char** environ;

namespace kes::test {
namespace {

constexpr const char* kParsing = "ERROR:57 -  Parsing CMD Line Arguments\n";
constexpr const char* kPausePrompt = "<Press Q to quit, any other key to continue.> \n";

struct CommandCase {
  std::vector<std::string> args;
  std::string err;  // the specific message; the parsing line follows it for status 87
  int code = 87;
};

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeFirmwareTree(dir_ / "fw");
    MakeDirs(work());
    WriteFileText(work() + "/exists.txt", "listing\n");
    WriteFileText(work() + "/empty.bin", "");
  }
  std::string work() const { return dir_ / "work"; }

  ProcessResult Launch(const std::vector<std::string>& args, const std::string& input = "q",
                    bool withFirmware = true) const {
    ProcessOptions options;
    options.env["KESTREL_SYSFS_FIRMWARE"] = withFirmware ? dir_ / "fw" : dir_ / "nothing";
    options.workingDirectory = work();
    options.stdinData = input;
    return RunTool(args, options);
  }

  void Check(const std::vector<CommandCase>& cases) const {
    for (const CommandCase& c : cases) {
      std::string line;
      for (const auto& a : c.args) line += "[" + a + "] ";
      SCOPED_TRACE(line);
      ProcessResult r = Launch(c.args);
      EXPECT_EQ(r.exitCode, c.code);
      EXPECT_EQ(r.err, c.code == 87 ? c.err + kParsing : c.err);
      // A rejected command line pauses once; q ends the run before the usage screen.
      if (c.code == 87) {
        ASSERT_GE(r.out.size(), std::string(kPausePrompt).size());
        EXPECT_EQ(r.out.substr(r.out.size() - std::string(kPausePrompt).size()), kPausePrompt);
        EXPECT_EQ(r.out.find("Default Usage:"), std::string::npos);
      }
    }
  }

  TempDir dir_;
};

TEST_F(CommandLineTest, ScanErrorsStopAtTheOffendingWord) {
  Check({
      {{"/o", "/x"}, "ERROR:57 -  Unknown CMD Line Option /x specified\n"},
      {{"/o", "/s", "a.txt", "/ov"}, "ERROR:57 -  Unknown CMD Line Option /ov specified\n"},
      {{"/o", "-s", "a.txt"}, "ERROR:57 -  Unknown CMD Line Option -s specified\n"},
      {{"/o", "/s=a.txt"}, "ERROR:57 -  Unknown CMD Line Option /s=a.txt specified\n"},
      {{"/o", "/sh"}, "ERROR:57 -  Unknown CMD Line Option /sh specified\n"},
      // /o given before /cs takes no file name.
      {{"/o", "/cs", "a.txt", "out.txt"}, "ERROR:57 -  Unknown CMD Line Option out.txt specified\n"},
      {{"/cs", "a.txt", "/o", "d.txt", "extra"}, "ERROR:57 -  Unknown CMD Line Option extra specified\n"},
      {{"/o", "/s", "a.txt", "/o"}, "ERROR:57 -  Multiple occurrences of same switch /o.\n"},
      {{"/O", "/S", "a.txt", "/s", "b.txt"}, "ERROR:57 -  Multiple occurrences of same switch /s.\n"},
      {{"/i", "/s", "a.txt", "/Shutdown", "/SHUTDOWN"}, "ERROR:57 -  Multiple occurrences of same switch /SHUTDOWN.\n"},
      {{"/i", "/s", "a.txt", "/reboot", "/shutdown", "/shutdown"},
       "ERROR:57 -  Multiple occurrences of same switch /shutdown.\n"},
      // The three password slots count as one switch each.
      {{"/i", "/s", "a.txt", "/cpwd", "p", "/cpwdsf", "exists.txt"},
       "ERROR:57 -  Multiple occurrences of same switch /cpwdsf.\n"},
      {{"/cpwd", "p", "/apwds", "1E", "/apwdf", "exists.txt"}, "ERROR:57 -  Multiple occurrences of same switch /apwdf.\n"},
      {{"/o", "/cs", "a.txt", "/cs", "b.txt", "/cs", "c.txt"}, "ERROR:57 -  Multiple occurrences of same switch /cs.\n"},
      // A repeat stops the scan: an unknown word after it is never reached.
      {{"/o", "/o", "/x"}, "ERROR:57 -  Multiple occurrences of same switch /o.\n"},
      // Words that are no hexadecimal number are not taken as key units.
      {{"/i", "/s", "a.txt", "/cpwds", "1E", "zz"}, "ERROR:57 -  Unknown CMD Line Option zz specified\n"},
      {{"/o", "/s", "a.txt", "/loglvl:", "3"}, "ERROR:57 - Debug Level is invalid\n"},
      {{"/o", "/s", "a.txt", "/loglvl:", "10"}, "ERROR:57 - Debug Level is invalid\n"},
      {{"/o", "/s", "a.txt", "/loglvl:", "4x"}, "ERROR:57 - Debug Level is invalid\n"},
      {{"/o", "/n", "r.bin", "/s", "a.txt"}, "ERROR:57 -  '/s' cannot be combined with '/l' or '/n' switch.\n"},
      {{"/o", "/l", "l.txt", "/s", "a.txt"}, "ERROR:57 -  '/s' cannot be combined with '/l' or '/n' switch.\n"},
      {{"/o", "/s", "a.txt", "/n", "r.bin"}, "ERROR:57 -  '/n' cannot be combined with '/s' switch.\n"},
      {{"/o", "/s", "a.txt", "/l", "l.txt"}, "ERROR:57 -  '/l' cannot be combined with '/s' switch.\n"},
  });
}

TEST_F(CommandLineTest, MissingArguments) {
  const std::string script = "ERROR:57 - NVRAM script file name is not given\n";
  Check({
      {{"/o", "/s"}, script},
      {{"/o", "/n"}, "ERROR:57 - NVRAM raw file name is not given\n"},
      {{"/o", "/l"}, "ERROR:57 - Listing file name is not given\n"},
      {{"/o", "/h"}, "ERROR:57 - HII dump file name is not given\n"},
      {{"/o", "/sd"}, "ERROR:57 - Duplicate script file name is not given\n"},
      {{"/o", "/p"}, "ERROR:57 - PLDM file name is not given\n"},
      {{"/o", "/ms"}, "ERROR:57 - MapString value is not given\n"},
      {{"/o", "/ms", "/q"}, "ERROR:57 - MapString value is not given\n"},
      {{"/i", "/ms", "m", "/qv"}, "ERROR:57 - Question value is not given\n"},
      {{"/i", "/ms", "m", "/qv", "/Q"}, "ERROR:57 - Question value is not given\n"},
      {{"/i", "/ms", "m", "/bt", "/q"}, "ERROR:57 - Device type is not given\n"},
      {{"/i", "/varname"}, "ERROR:57 - Variable name is not given\n"},
      {{"/i", "/varname", "v", "/varguid", "/varvalue"}, "ERROR:57 - Variable GUID is not given\n"},
      {{"/i", "/varvalue"}, "ERROR:57 - Variable value is not given\n"},
      {{"/i", "/varfile", "/i"}, "ERROR:57 - Variable data file name is not given\n"},
      {{"/cs"}, script},
      {{"/cs", "/o"}, script},
      {{"/cs", "a.txt", "/o"}, script},
      {{"/cs", "a.txt", "/o", "/q"}, script},
      {{"/o", "/s", "a.txt", "/logfile:"}, "ERROR:57 - Logfile name is not given\n"},
      {{"/o", "/s", "a.txt", "/loglvl:"}, "ERROR:57 - Debug Level is not given\n"},
      {{"/i", "/s", "a.txt", "/cpwd"}, "ERROR:57 -  System Password is not given...\n"},
      {{"/cpwd", "p", "/apwd"}, "ERROR:57 -  New Admin Password is not given...\n"},
      {{"/cpwd", "p", "/upwd"}, "ERROR:57 -  New User Password is not given...\n"},
      // A key-unit switch followed directly by a switch has no units.
      {{"/i", "/cpwds", "/s", "a.txt"}, "ERROR:57 -  System Password is not given...\n"},
      {{"/i", "/s", "a.txt", "/cpwde"}, "ERROR:57 -  System Password is not given...\n"},
      {{"/cpwds", "1", "/apwds", "/q"}, "ERROR:57 -  New Admin Password is not given...\n"},
      {{"/cpwde", "1", "/upwde"}, "ERROR:57 -  New User Password is not given...\n"},
      {{"/i", "/s", "a.txt", "/cpwdf"}, "ERROR:57 -  System Password filename is not given...\n"},
      {{"/cpwd", "p", "/apwdsf"}, "ERROR:57 -  New Admin Password filename is not given...\n"},
      {{"/cpwd", "p", "/upwdef"}, "ERROR:57 -  New User Password filename is not given...\n"},
      {{"/i", "/s", "a.txt", "/cpwdef", "missing.bin"},
       "ERROR:57 -  Invalid Input file or System Password is not given...\n"},
      {{"/cpwd", "p", "/apwdf", "empty.bin"}, "ERROR:57 - Invalid Input file or New Admin Password is not given...\n"},
      {{"/cpwd", "p", "/upwdsf", "missing.bin"}, "ERROR:57 - Invalid Input file or New User Password is not given...\n"},
      // A device without end is no password file; it is not read beyond what a password could be.
      {{"/cpwd", "p", "/apwdf", "/dev/zero"}, "ERROR:57 - Invalid Input file or New Admin Password is not given...\n"},
  });
}

TEST_F(CommandLineTest, ValidationRulesInTheirOrder) {
  Check({
      // Script compare, then the mode switches.
      {{"/cs", "a.txt", "/i"}, "ERROR:57 - Incorrect usage of Script Compare\n"},
      {{"/cs", "a.txt", "/o", "d.txt", "/q", "/b"}, "ERROR:57 - Incorrect usage of Script Compare\n"},
      {{"/cs", "a.txt", "/o", "d.txt", "/i"}, "ERROR:57 -  Invalid CMD Line option. Both '/o' and '/i' specified.\n"},
      {{"/o", "/i", "/s", "a.txt"}, "ERROR:57 -  Invalid CMD Line option. Both '/o' and '/i' specified.\n"},
      {{"/s", "a.txt"}, "ERROR:57 -  Invalid CMD Line option. Commands should have '/o' or '/i'.\n"},
      {{"/o", "/varname", "v", "/shutdown"},
       "ERROR:57 -  Invalid CMD Line option. '/varname' or '/varguid' or '/varfile or '/varvalue' cannot be given "
       "without '/i'.\n"},
      {{"/o", "/s", "a.txt", "/ni", "/shutdown"},
       "ERROR:57 -  Invalid CMD Line option. '/shutdown' cannot be given without '/i'.\n"},
      {{"/o", "/s", "a.txt", "/ni", "/reboot", "/shutdown"},
       "ERROR:57 -  Invalid CMD Line option. '/reboot' cannot be given without '/i'.\n"},
      {{"/o", "/s", "a.txt", "/ni"}, "ERROR:57 -  Invalid CMD Line option. '/ni' cannot be given without '/i'.\n"},
      {{"/o", "/s", "/q", "/ds"},
       "ERROR:57 -  Invalid CMD Line option. '/ds' or '/dm' cannot be given without '/ms' while exporting.\n"},
      {{"/i", "/n", "r.bin", "/dm"},
       "ERROR:57 -  Invalid CMD Line option. '/ds' or '/dm' cannot be combined with '/n'.\n"},
      // A file argument that is a switch name.
      {{"/o", "/s", "/q", "/b"}, "ERROR:57 -  Invalid CMD Line option. '/q' cannot be given as script file name..\n"},
      {{"/o", "/l", "/C", "/n", "r.bin", "/h", "/s"},
       "ERROR:57 - Invalid CMD Line option. '/C' cannot be given as Listing file name..\n"},
      {{"/o", "/l", "l.txt", "/n", "r.bin", "/h", "/s"},
       "ERROR:57 - Invalid CMD Line option. '/s' cannot be given as Dump file name..\n"},
      {{"/o", "/s", "a.txt", "/sd", "/v"},
       "ERROR:57 - Invalid CMD Line option. '/v' cannot be given as Duplicate Script file name..\n"},
      {{"/i", "/p", "/b"}, "ERROR:57 - Invalid CMD Line option. '/b' cannot be given as Pldm File Name.\n"},
      {{"/o", "/ms", "m", "/b", "/sp"},
       "ERROR:57 - Invalid CMD Line option. '/b' cannot be given without '/s' or '/p'..\n"},
      {{"/o", "/s", "a.txt", "/r", "/ce"},
       "ERROR:57 - Invalid CMD Line option. '/r' option cannot come while exporting..\n"},
      {{"/o", "/ms", "m", "/ndef"},
       "ERROR:57 - Invalid CMD Line option. '/g' or '/sp' or '/ndef' or '/a' cannot be given without '/s' or "
       "without '/p'..\n"},
      {{"/o", "/n", "r.bin", "/lang"},
       "ERROR:57 - Invalid CMD Line option. '/lang' cannot be given without '/s' or '/ms' or '/p'..\n"},
      {{"/o", "/ms", "m", "/bt", "hdd"}, "ERROR:57 - Invalid CMD Line option. '/bt' cannot be combined with '/o'..\n"},
      {{"/i", "/s", "a.txt", "/bt", "hdd"},
       "ERROR:57 - Invalid CMD Line option. '/bt' cannot be given without '/ms'..\n"},
      // With /bt the rules from '/sp' with '/i' to '/ov' with '/i' are not applied.
      {{"/i", "/ms", "m", "/qv", "1", "/bt", "hdd", "/sd", "d.txt"},
       "ERROR:57 - Incorrect usage of Single Question Update\n"},
      {{"/i", "/s", "a.txt", "/sd", "d.txt", "/cpwd", "p", "/apwd", "n"},
       "ERROR:57 -  Invalid CMD Line option. '/sp' or '/g' or '/ndef' or '/a' or '/sd' or '/ce' cannot be combined "
       "with '/i'.\n"},
      {{"/o", "/s", "a.txt", "/cpwds", "1E", "/qv", "1"},
       "ERROR:57 -  Invalid CMD Line option. '/cpwd','/apwd','/upwd' cannot be combined with '/o'.\n"},
      {{"/i", "/s", "a.txt", "/cpwd", "p", "/upwd", "n"},
       "ERROR:57 -  Invalid CMD Line option. '/upwd','/apwd' cannot be combined with '/i'.\n"},
      {{"/o", "/ms", "m", "/qv", "1", "/ce"},
       "ERROR:57 -  Invalid CMD Line option. '/qv' cannot be combined with '/o'.\n"},
      {{"/o", "/s", "a.txt", "/ce"},
       "ERROR:57 -  Invalid CMD Line option. '/ce' cannot be given without '/sp' or '/g' or both.\n"},
      {{"/i", "/ms", "m", "/ov", "/qv", "1"},
       "ERROR:57 -  Invalid CMD Line option. '/ov' cannot be combined with '/i'.\n"},
      {{"/o", "/p", "x.pldm", "/s", "a.txt"}, "ERROR:57 -  '/p' option cannot be combined with default('/s') mode.\n"},
  });
}

TEST_F(CommandLineTest, RawModeRulesAndFiles) {
  Check({
      {{"/o", "/n", "r.bin", "/ms", "m", "/v"}, "ERROR:57 -  '/ms' option cannot be combined with raw('/n') mode.\n"},
      {{"/o", "/n", "r.bin", "/p", "x.pldm", "/v"}, "ERROR:57 -  '/p' option cannot be combined with raw('/n') mode.\n"},
      {{"/o", "/n", "r.bin", "/v", "/sd", "d.txt"}, "ERROR:57 -  '/v' option cannot be combined with raw('/n') mode.\n"},
      {{"/o", "/l", "l.txt", "/sd", "d.txt"}, "ERROR:57 -  '/sd' option cannot be combined with raw('/n') mode.\n"},
      {{"/o", "/n", "r.bin", "/f"}, "ERROR:57 -  Exporting NVRAM Variables requires both '/h' and '/n' options.\n"},
      {{"/o", "/l", "l.txt", "/h", "h.bin"},
       "ERROR:57 -  Exporting NVRAM Variables requires both '/h' and '/n' options.\n"},
      {{"/o", "/l", "l.txt", "/n", "r.bin", "/h", "h.bin", "/f"},
       "ERROR:57 -  '/f' option cannot come while exporting.\n"},
      {{"/i", "/l", "exists.txt", "/c"}, "ERROR:57 -  Importing NVRAM Variables requires '/n' option.\n"},
      {{"/i", "/l", "exists.txt", "/n", "r.bin", "/c", "/h", "h.bin"},
       "ERROR:57 -  '/c' option cannot be specified while importing.\n"},
      {{"/i", "/l", "exists.txt", "/n", "r.bin", "/h", "h.bin"},
       "ERROR:57 -  '/h' option cannot be specified while importing.\n"},
      {{"/i", "/l", "exists.txt", "/n", "r.bin", "/r"}, "ERROR:57 -  '/r' option cannot be specified in Raw Mode.\n"},
      {{"/i", "/n", "exists.txt"}, "ERROR:57 - ListingFile Not Specified\n"},
      {{"/i", "/l", "missing.txt", "/n", "exists.txt"}, "ERROR:57 -  Opening Variable Listing File\n"},
      {{"/i", "/l", "exists.txt", "/n", ""}, "ERROR:57 - NVRAM Script File Not Specified\n"},
      {{"/i", "/l", "exists.txt", "/n", "missing.bin"}, "ERROR:57 -  Opening NVRAM Script File\n"},
      {{"/o", "/l", "no/such/dir.txt", "/n", "r.bin", "/h", "h.bin"}, "ERROR:57 -  Opening Variable Listing File\n"},
  });
}

TEST_F(CommandLineTest, ModeUsageRulesAndFiles) {
  Check({
      {{"/o", "/ms", "m", "/c"}, "ERROR:57 - Incorrect usage of Single Question Export\n"},
      {{"/i", "/ms", "m"}, "ERROR:57 - Incorrect usage of Single Question Update\n"},
      {{"/i", "/qv", "1"}, "ERROR:57 - Incorrect usage of Single Question Update\n"},
      {{"/o", "/p", "x.pldm", "/a"}, "ERROR:57 - Incorrect usage of Pldm Export\n"},
      {{"/o", "/p", "x.pldm", "/c"}, "ERROR:57 - Incorrect usage of Pldm Export\n"},
      {{"/i", "/p", "x.pldm", "/dm"}, "ERROR:57 - Incorrect usage of Pldm Import\n"},
      {{"/i", "/p", "x.pldm", "/c"}, ""},  // an acceptable PLDM import with /c has no message of its own
      {{"/i", "/varname", "V", "/varguid", "g", "/varvalue", "00", "/varfile", "f.bin"},
       "ERROR:57 -  '/varvalue' option cannot be specified with '/varfile'.\n"},
      {{"/i", "/varname", "V", "/varvalue", "00"}, "ERROR:57 -  Incorrect usage of Single Variable Import\n"},
      {{"/i", "/varname", "V", "/varguid", "g", "/varvalue", "00", "/dm"},
       "ERROR:57 -  Incorrect usage of Single Variable Import\n"},
      {{"/o", "/q"}, "ERROR:57 - NVRAM Script File Not Specified\n"},
      {{"/o", "/s", "", "/q"}, "ERROR:57 - NVRAM Script File Not Specified\n"},
      {{"/o", "/s", "a.txt", "/f"}, "ERROR:57 -  '/c' or '/f' cannot be combined with '/s' switch.\n"},
      {{"/i", "/s", "exists.txt", "/v"}, "ERROR:57 -  '/h' or '/v' option cannot be specified while importing.\n"},
      {{"/i", "/s", "missing.txt"}, "ERROR:57 -  Opening NVRAM Script File\n"},
      {{"/o", "/s", "no/dir/a.txt"}, "ERROR:57 -  Opening NVRAM Script File\n"},
      {{"/o", "/s", "a.txt", "/sd", ""}, "ERROR:57 - Duplicate NVRAM Script File Not Specified\n"},
      {{"/o", "/s", "a.txt", "/sd", "no/dir/d.txt"}, "ERROR:57 -  Opening Duplicate NVRAM Script File\n"},
      {{"/apwd", "n"}, "ERROR:57 -  Incorrect usage of Password option\n"},
      {{"/cpwd", "p", "/p", "x.pldm"}, "ERROR:57 -  Incorrect usage of Password option\n"},
      {{"/cpwd", "p", "/apwd", "n", "/q"}, "ERROR:57 -  Incorrect usage of Password option\n"},
      {{"/o", "/p", ""}, "ERROR:57 - PLDM Table File Name Not Specified\n"},
      {{"/o", "/s", "a.txt", "/h", ""}, "ERROR:57 - HII File Not Specified\n"},
      {{"/o", "/s", "a.txt", "/h", "no/dir/h.bin"}, "ERROR:57 -  Opening HII File\n"},
  });
}

TEST_F(CommandLineTest, FilesNamedTwiceAreRefusedBeforeAnyIsWritten) {
  Check({
      {{"/o", "/s", "a.txt", "/sd", "a.txt"}, "ERROR:57 -  '/s' and '/sd' name the same file.\n"},
      {{"/o", "/s", "a.txt", "/h", "./a.txt"}, "ERROR:57 -  '/s' and '/h' name the same file.\n"},
      {{"/o", "/s", "exists.txt", "/sd", "d.txt", "/h", "nowhere/../d.txt"},
       "ERROR:57 -  '/sd' and '/h' name the same file.\n"},
      {{"/o", "/l", "exists.txt", "/n", "exists.txt", "/h", "h.bin"}, "ERROR:57 -  '/l' and '/n' name the same file.\n"},
      {{"/o", "/c", "/l", "l.txt", "/n", "r.bin", "/h", "l.txt"}, "ERROR:57 -  '/l' and '/h' name the same file.\n"},
      {{"/cs", "exists.txt", "/o", "exists.txt"}, "ERROR:57 -  '/cs' and '/o' name the same file.\n"},
      {{"/i", "/s", "exists.txt", "/logfile:", "exists.txt"}, "ERROR:57 -  '/s' and '/logfile:' name the same file.\n"},
      {{"/i", "/varname", "V", "/varguid", "g", "/varfile", "exists.txt", "/logfile:", "./exists.txt"},
       "ERROR:57 -  '/varfile' and '/logfile:' name the same file.\n"},
  });
  for (const char* name : {"a.txt", "d.txt", "h.bin", "l.txt", "r.bin"})
    EXPECT_FALSE(ReadFileBytes(work() + "/" + name).has_value()) << name;
  EXPECT_EQ(ReadFileText(work() + "/exists.txt").rfind("listing\n", 0), 0u);
}

TEST_F(CommandLineTest, TextsThatCannotBeStoredAsTheyWereTypedAreRefused) {
  WriteFileBytes(work() + "/lone.bin", {'a', 0, 0x00, 0xD8, 'b', 0});    // high surrogate alone
  WriteFileBytes(work() + "/late.bin", {0x00, 0xDC, 0x3D, 0xD8});        // low before high
  const std::string text = "ERROR:57 -  '%s' text holds a byte sequence that is not valid UTF-8 or a character "
                           "above U+FFFF.\n";
  auto textError = [&](const char* name) {
    std::string message = text;
    return message.replace(message.find("%s"), 2, name);
  };
  Check({
      {{"/i", "/varname", "V", "/varguid", "g", "/varvalue", "\xF0\x9F\x98\x80"}, textError("/varvalue")},
      {{"/i", "/varname", "V", "/varguid", "g", "/varvalue", "a\xFF"}, textError("/varvalue")},
      {{"/cpwd", "\xED\xA0\x80", "/apwd", "n"}, textError("/cpwd")},  // an encoded surrogate
      {{"/cpwd", "p", "/apwd", "\xF0\x9F\x98\x80"}, textError("/apwd")},
      {{"/cpwd", "p", "/upwd", "\xC3"}, textError("/upwd")},
      {{"/cpwd", "p", "/apwdf", "lone.bin"}, "ERROR:57 -  '/apwdf' file holds an unpaired UTF-16 surrogate.\n"},
      {{"/cpwdf", "late.bin", "/upwd", "n"}, "ERROR:57 -  '/cpwdf' file holds an unpaired UTF-16 surrogate.\n"},
  });
}

TEST_F(CommandLineTest, FailedRunsLeaveTheUsersFilesAsTheyWere) {
  // The test firmware has no mailbox: every run below fails after its files were opened.
  const std::map<std::string, std::string> files = {
      {"old.txt", "old script"}, {"dup.txt", "old duplicate"}, {"hii.bin", "old dump"},
      {"list.txt", "old listing"}, {"raw.bin", "old raw"}};
  for (const auto& [name, text] : files) WriteFileText(work() + "/" + name, text);
  std::vector<std::vector<std::string>> runs = {
      {"/o", "/s", "old.txt", "/sd", "dup.txt", "/h", "hii.bin"},
      {"/o", "/s", "new.txt"},
      {"/o", "/c", "/l", "list.txt", "/n", "raw.bin", "/h", "hii.bin"},
      {"/o", "/l", "list.txt", "/n", "raw.bin", "/h", "hii.bin"},
  };
  for (const auto& args : runs) {
    SCOPED_TRACE(args[2]);
    ProcessResult r = Launch(args);
    EXPECT_NE(r.exitCode, 0);
    for (const auto& [name, text] : files) EXPECT_EQ(ReadFileText(work() + "/" + name), text) << name;
    size_t entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(work())) ++entries;
    EXPECT_EQ(entries, files.size() + 2);  // with exists.txt and empty.bin; no partial output
  }
}

// Input that is not a terminal is never waited for: with standard input a pipe that stays open
// and empty (`sleep 60 | KESLNX_64 ...`), the pause after a rejected command line, and those of
// the usage screen after it, go on at once.
TEST_F(CommandLineTest, PausesNeverWaitForAPipe) {
  int input[2];
  ASSERT_EQ(pipe(input), 0);
  std::string out = dir_ / "out.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], 0);
  posix_spawn_file_actions_addclose(&actions, input[1]);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> args{ToolPath(), "/i", "/s", "a.txt", "/rr"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(input[0]);
  int status = 0;
  bool ended = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!(ended = waitpid(pid, &status, WNOHANG) == pid) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  close(input[1]);
  ASSERT_TRUE(ended) << "the pause waited for the pipe";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 87) << status;
  std::string shown = ReadFileText(out);
  EXPECT_NE(shown.find(kPausePrompt), std::string::npos);
  EXPECT_NE(shown.find("Default Usage:"), std::string::npos);
}

TEST_F(CommandLineTest, AScriptToStandardOutputIsWrittenToTheStream) {
  ProcessResult r = Launch({"/o", "/s", "/dev/stdout", "/hb"});
  EXPECT_NE(r.out.find("// Script File Name : /dev/stdout\n// Created on "), std::string::npos) << r.out;
}

TEST_F(CommandLineTest, PlatformCheckComesAfterTheScanAndBeforeTheRules) {
  // Without an identification table: scan errors are still reported, everything else ends
  // with the platform message and 50; with /d the rules apply as usual.
  struct Case {
    std::vector<std::string> args;
    std::string err;
    int code;
  } cases[] = {
      {{"/o", "/x"}, std::string("ERROR:57 -  Unknown CMD Line Option /x specified\n") + kParsing, 87},
      {{"/o", "/o"}, "Platform identification failed.\n", 50},
      {{}, "Platform identification failed.\n", 50},
      {{"/o", "/i", "/d"}, std::string("ERROR:57 -  Invalid CMD Line option. Both '/o' and '/i' specified.\n") +
                               kParsing, 87},
  };
  for (const Case& c : cases) {
    ProcessResult r = Launch(c.args, "q", /*withFirmware=*/false);
    EXPECT_EQ(r.exitCode, c.code);
    EXPECT_EQ(r.err, c.err);
  }
}

}  // namespace
}  // namespace kes::test
