// What the command-line parser stores: options, switch flags, password slots, log settings and
// the files it opens, checked in-process.
#include <gtest/gtest.h>

#include "app/command_line.h"
#include "base/console.h"
#include "tests/app/in_process.h"

namespace kes::test {
namespace {

class ParseTest : public InProcessTest {
 protected:
  Status Parse(std::vector<std::string> words) {
    Argv args(std::move(words));
    ConsoleCapture capture;
    Status st = ParseCommandLine(args.argc(), args.argv(), run_, fw_);
    err_ = capture.err();
    return st;
  }
  std::string err_;
};

TEST_F(ParseTest, ScriptExportOpensTheFileAndWritesTheHeader) {
  ASSERT_EQ(Parse({"/O", "/S", "out.txt", "/LANG", "/Q"}), 0u) << err_;
  const ToolOptions& o = run_.options;
  EXPECT_TRUE(o.Export);
  EXPECT_FALSE(o.Import);
  EXPECT_FALSE(o.RawMode);
  EXPECT_EQ(o.ScriptFileName, L"out.txt");
  EXPECT_TRUE(run_.Given(Switch::Lang));
  EXPECT_FALSE(run_.langCode.has_value());  // /lang followed by a switch has no code
  ASSERT_TRUE(run_.options.ScriptFile);
  // The header goes to the output, which becomes out.txt only when the run commits it.
  EXPECT_FALSE(ReadFileBytes("out.txt").has_value());
  ASSERT_TRUE(run_.options.ScriptFile.Commit());
  EXPECT_EQ(ReadFileText("out.txt").rfind("// Script File Name : out.txt\n// Created on ", 0), 0u);
}

TEST_F(ParseTest, ScriptImportNeverTruncatesTheScript) {
  WriteFileText("in.txt", "keep me");
  ASSERT_EQ(Parse({"/i", "/s", "in.txt", "/lang", "de", "/b"}), 0u) << err_;
  EXPECT_TRUE(run_.options.Import);
  ASSERT_TRUE(run_.langCode.has_value());
  EXPECT_EQ(*run_.langCode, L"de");
  run_.options.ScriptFile.reset();
  EXPECT_EQ(ReadFileText("in.txt"), "keep me");
}

TEST_F(ParseTest, MapStringTakesOvAndImpliesLanguageMapping) {
  ASSERT_EQ(Parse({"/o", "/ms", "Setup/Boot", "/OV", "/q"}), 0u) << err_;
  const ToolOptions& o = run_.options;
  EXPECT_EQ(o.MapString, L"Setup/Boot");
  EXPECT_TRUE(o.PrintValue);
  EXPECT_TRUE(run_.Given(Switch::Ov));
  EXPECT_TRUE(run_.Given(Switch::Lang));
  EXPECT_TRUE(o.Export);
}

TEST_F(ParseTest, SingleQuestionUpdateKeepsTheValueBytes) {
  ASSERT_EQ(Parse({"/i", "/ms", "m", "/qv", "Fran\xc3\xa7" "ais", "/bt", "hdd"}), 0u) << err_;
  EXPECT_EQ(run_.options.QuestionValue, "Fran\xc3\xa7" "ais");
  EXPECT_EQ(run_.options.BootDeviceType, L"hdd");
}

TEST_F(ParseTest, FirstOfShutdownAndRebootWins) {
  WriteFileText("in.txt", "");
  ASSERT_EQ(Parse({"/i", "/s", "in.txt", "/reboot", "/shutdown"}), 0u) << err_;
  EXPECT_TRUE(run_.Given(Switch::Reboot));
  EXPECT_FALSE(run_.Given(Switch::Shutdown));
  run_ = RunState();
  ASSERT_EQ(Parse({"/i", "/s", "in.txt", "/shutdown", "/reboot"}), 0u) << err_;
  EXPECT_TRUE(run_.Given(Switch::Shutdown));
  EXPECT_FALSE(run_.Given(Switch::Reboot));
}

TEST_F(ParseTest, ScriptCompareNames) {
  ASSERT_EQ(Parse({"/cs", "a.txt", "/cs", "b.txt", "/o", "diff.txt", "/q"}), 0u) << err_;
  EXPECT_EQ(run_.compareFileA, L"a.txt");
  EXPECT_EQ(run_.compareFileB, L"b.txt");
  EXPECT_EQ(run_.compareOutput, L"diff.txt");
  EXPECT_FALSE(run_.singleFileCompare);
  EXPECT_FALSE(run_.options.Export);
  run_ = RunState();
  ASSERT_EQ(Parse({"/cs", "a.txt", "/o", "diff.txt"}), 0u) << err_;
  EXPECT_TRUE(run_.singleFileCompare);
  EXPECT_EQ(run_.compareOutput, L"diff.txt");
}

TEST_F(ParseTest, RawModeOpensItsFiles) {
  WriteFileText("raw.bin", "raw data");
  WriteFileText("list.txt", "listing");
  ASSERT_EQ(Parse({"/o", "/l", "list.txt", "/n", "new.bin", "/h", "hii.bin"}), 0u) << err_;
  const ToolOptions& o = run_.options;
  EXPECT_TRUE(o.RawMode);
  EXPECT_TRUE(o.Export);
  EXPECT_TRUE(o.HiiDumpWanted);
  EXPECT_TRUE(o.ListingFile && o.ScriptFile && o.HiiFile);
  EXPECT_EQ(ReadFileText("list.txt"), "listing");  // without /c the listing is only read
  run_ = RunState();
  ASSERT_EQ(Parse({"/i", "/l", "list.txt", "/n", "raw.bin", "/f"}), 0u) << err_;
  EXPECT_TRUE(run_.options.RawMode);
  EXPECT_TRUE(run_.options.Import);
  EXPECT_TRUE(run_.options.Force);
  run_.options.ScriptFile.reset();
  EXPECT_EQ(ReadFileText("raw.bin"), "raw data");  // an import reads the raw file, never truncates it
}

TEST_F(ParseTest, DebugLevelsAreHexadecimal) {
  struct Case {
    const char* word;
    Status status;
    uint32_t level;
  } cases[] = {{"1", 0, 1}, {"2", 0, 2}, {"4", 0, 4}, {"8", 0, 8}, {"0x8", 0, 8},
               {"3", 87, 1}, {"10", 87, 1}, {"16", 87, 1}, {"", 87, 1}, {"0x", 87, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.word);
    run_ = RunState();
    EXPECT_EQ(Parse({"/o", "/ms", "m", "/loglvl:", c.word, "/logfile:", "log.txt"}), c.status);
    if (c.status == 0) {
      EXPECT_TRUE(run_.log.LevelGiven);
      EXPECT_EQ(run_.log.Level, c.level);
      EXPECT_EQ(run_.log.FileName, "log.txt");
    }
  }
}

TEST_F(ParseTest, KeyUnitPasswords) {
  struct Case {
    std::vector<std::string> args;
    PasswordType type;
    std::vector<uint16_t> units;
  } cases[] = {
      {{"/i", "/ms", "m", "/qv", "1", "/cpwds", "1E", "30"}, PasswordType::ScanCode, {0x1E, 0x30}},
      {{"/i", "/ms", "m", "/qv", "1", "/cpwde", "1E", "30"}, PasswordType::EfiKey, {0x801E, 0x8030}},
      {{"/i", "/ms", "m", "/qv", "1", "/cpwds", "0x12345"}, PasswordType::ScanCode, {0x2345}},
      {{"/i", "/ms", "m", "/qv", "1", "/cpwde", "8001"}, PasswordType::EfiKey, {0x0001}},
  };
  for (const Case& c : cases) {
    run_ = RunState();
    ASSERT_EQ(Parse(c.args), 0u) << err_;
    const PasswordInput& p = run_.currentAdmin;
    EXPECT_EQ(p.Type, c.type);
    EXPECT_EQ(p.Units, c.units);
    EXPECT_EQ(p.Length, c.units.size());
  }
}

TEST_F(ParseTest, PlainAndFilePasswords) {
  // "ab" in UTF-16LE; a key file of two bytes; an odd-sized UTF-16 file.
  WriteFileBytes("plain.bin", {'a', 0, 'b', 0});
  WriteFileBytes("keys.bin", {0x1E, 0x30});
  WriteFileBytes("odd.bin", {'x', 0, 'y'});
  ASSERT_EQ(Parse({"/cpwd", "old", "/apwdf", "plain.bin", "/upwdef", "keys.bin"}), 0u) << err_;
  RunState& run = run_;
  EXPECT_EQ(run.currentAdmin.Type, PasswordType::Plain);
  EXPECT_EQ(run.currentAdmin.Text, L"old");
  EXPECT_EQ(run.currentAdmin.Length, 4u);
  EXPECT_EQ(run.newAdmin.Type, PasswordType::Plain);
  EXPECT_EQ(run.newAdmin.Text, L"ab");
  EXPECT_EQ(run.newAdmin.Length, 3u);
  EXPECT_EQ(run.newUser.Type, PasswordType::EfiKey);
  EXPECT_EQ(run.newUser.Units, (std::vector<uint16_t>{0x801E, 0x8030}));
  EXPECT_EQ(run.newUser.Length, 2u);

  run_ = RunState();
  ASSERT_EQ(Parse({"/cpwdsf", "keys.bin", "/upwdf", "odd.bin"}), 0u) << err_;
  EXPECT_EQ(run_.currentAdmin.Type, PasswordType::ScanCode);
  EXPECT_EQ(run_.currentAdmin.Units, (std::vector<uint16_t>{0x1E, 0x30}));
  EXPECT_EQ(run_.newUser.Text, L"xy");
  EXPECT_EQ(run_.newUser.Length, 3u);
}

TEST_F(ParseTest, TextsKeepEveryCharacterOneUnitCarries) {
  // The last characters before and after the surrogates and the last one of 16 bits; a file may
  // hold a surrogate pair.
  WriteFileBytes("pair.bin", {'a', 0, 0x3D, 0xD8, 0x00, 0xDE});
  ASSERT_EQ(Parse({"/cpwd", "\xed\x9f\xbf\xee\x80\x80\xef\xbf\xbf", "/apwdf", "pair.bin"}), 0u) << err_;
  EXPECT_EQ(run_.currentAdmin.Text, (std::wstring{0xD7FF, 0xE000, 0xFFFF}));
  EXPECT_EQ(run_.newAdmin.Text, (std::wstring{L'a', 0xD83D, 0xDE00}));
  run_ = RunState();
  ASSERT_EQ(Parse({"/i", "/varname", "V", "/varguid", "g", "/varvalue", "Fran\xc3\xa7" "ais"}), 0u) << err_;
  EXPECT_EQ(run_.options.VariableValue, L"Fran\u00e7ais");
}

TEST_F(ParseTest, UsagePredicatesAllowOnlyTheirCompanions) {
  // Everything that may accompany a script compare, a single-variable update and the password
  // services is accepted.
  struct Case {
    std::vector<std::string> args;
  } cases[] = {
      {{"/cs", "a.txt", "/o", "d.txt", "/q", "/d", "/hb", "/log", "/loglvl:", "8", "/logfile:", "l.txt"}},
      {{"/i", "/varname", "V", "/varguid", "g", "/varvalue", "01", "/q", "/d", "/ni", "/reboot", "/cpwd", "p"}},
      {{"/cpwds", "1", "/apwds", "2", "/upwds", "3", "/d", "/log"}},
      {{"/i", "/p", "x.pldm", "/b", "/ni", "/shutdown", "/cpwde", "1"}},
  };
  for (const Case& c : cases) {
    run_ = RunState();
    EXPECT_EQ(Parse(c.args), 0u) << err_;
  }
}

TEST_F(ParseTest, PreScanBannerCountsHb) {
  struct Case {
    std::vector<std::string> args;
    Status status;
    bool banner;
    std::string err;
  } cases[] = {
      {{"/o", "/s", "a.txt"}, 0, true, ""},
      {{"/o", "/HB", "/s", "a.txt"}, 0, false, ""},
      {{"/hb", "/o", "/Hb"}, 87, true, "ERROR:57 -  Multiple occurances of same switch /Hb.\n"},
      {{"/hb", "/hb", "/hb"}, 87, true, "ERROR:57 -  Multiple occurances of same switch /hb.\n"},
  };
  for (const Case& c : cases) {
    Argv args(c.args);
    ConsoleCapture capture;
    EXPECT_EQ(PreScanBanner(args.argc(), args.argv()), c.status);
    EXPECT_EQ(capture.out().find("Kestrel Utility. Ver 5.04.1140") != std::string::npos, c.banner);
    EXPECT_EQ(capture.err(), c.err);
  }
}

}  // namespace
}  // namespace kes::test
