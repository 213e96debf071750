// Script compare over files: which pairs are listed, the output file's header and checksum lines,
// the blocks shown as each file wrote them, the statuses, and an output file that is only
// replaced by a complete result.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "base/console.h"
#include "base/text.h"
#include "script/operations.h"
#include "script/script_parser.h"
#include "tests/support/test_support.h"

namespace kes::test {
namespace {

std::string Script(const std::string& crc, const std::string& blocks) {
  return "// Script File Name : s.txt\n// Created on 01/02/26 at 03:04:05    \n// Kestrel Utility. Ver 5.04.1140\n"
         "// note\r\nHIICrc32= " + crc + "\r\n" + blocks;
}

// A block as the export writes it; help may be empty (no "Help String" line).
std::string Block(const std::string& prompt, const std::string& help, int token, int offset, int width,
                  const std::string& rest) {
  std::string block = "\nSetup Question\t= " + prompt + "\n";
  if (!help.empty()) block += "Help String\t= " + help + "\n";
  return block + NFormat("Token\t=%02X\t// Do NOT change this line\nOffset\t=%02X\nWidth\t=%02X\n", token, offset, width) +
         rest + "\n";
}

const std::string kOptions = "Options\t=[00]Disabled\t// Move \"*\" to the desired Option\n         *[01]Enabled";
const std::string kOptionsOff = "Options\t=*[00]Disabled\t// Move \"*\" to the desired Option\n         [01]Enabled";

class CompareTest : public ::testing::Test {
 protected:
  Status Compare(const std::string& a, const std::string& b, const std::string& output = "diff.txt") {
    WriteFileText(dir_ / "a.txt", a);
    WriteFileText(dir_ / "b.txt", b);
    return CompareFiles(dir_ / "a.txt", dir_ / "b.txt", output.empty() ? "" : dir_ / output);
  }
  Status CompareFiles(const std::string& a, const std::string& b, const std::string& output) {
    ConsoleCapture capture;
    Status st = CompareScripts(run_, ToWide(a), ToWide(b), ToWide(output));
    out_ = capture.out();
    err_ = capture.err();
    return st;
  }
  std::string Diff() const { return ReadFileText(dir_ / "diff.txt"); }
  // Everything the output holds after its header lines.
  std::string DiffBody() const {
    std::string text = Diff();
    size_t at = text.find("\r\nHIICrc32");
    return at == std::string::npos ? text : text.substr(at);
  }
  size_t DirEntries() const {
    return std::distance(std::filesystem::directory_iterator(dir_.path()), std::filesystem::directory_iterator());
  }

  RunState run_;
  TempDir dir_;
  std::string out_, err_;
};

TEST_F(CompareTest, AFileWithItselfGivesTheHeaderAndOneChecksumLine) {
  std::string script = Script("1A2B", Block("Quiet Boot", "logo", 0x1A, 5, 1, kOptions) + Block("Delay", "", 2, 6, 1, "Value\t=5"));
  WriteFileText(dir_ / "a.txt", script);
  ASSERT_EQ(CompareFiles(dir_ / "a.txt", dir_ / "a.txt", dir_ / "diff.txt"), 0u) << err_;
  std::string diff = Diff();
  EXPECT_EQ(diff.rfind("// Script File Name : " + dir_ / "diff.txt" + "\n// Created on ", 0), 0u);
  EXPECT_NE(diff.find("    \n// Kestrel Utility. Ver 5.04.1140\n// "), std::string::npos);
  EXPECT_EQ(DiffBody(), "\r\nHIICrc32= 1A2B\r\n");
  EXPECT_EQ(diff.find("Setup Question"), std::string::npos);
  EXPECT_EQ(err_, "");
}

TEST_F(CompareTest, DifferingChecksumsAreBothWritten) {
  ASSERT_EQ(Compare(Script("1", Block("Q", "", 1, 0, 1, "Value\t=1")), Script("2", Block("Q", "", 1, 0, 1, "Value\t=1"))), 0u);
  EXPECT_EQ(DiffBody(), "\r\nHIICrc32= 1\r\nHIICrc32= 2\r\n");
}

// One question in both files, written differently; listed or not.
TEST_F(CompareTest, DifferenceRules) {
  struct Case {
    const char* name;
    std::string a, b;
    bool listed;
  } cases[] = {
      {"same", Block("Q", "h", 1, 2, 1, kOptions), Block("Q", "h", 1, 2, 1, kOptions), false},
      {"decimal ten and hexadecimal A", Block("Q", "h", 1, 2, 1, "Value\t=<10>"), Block("Q", "h", 1, 2, 1, "Value\t=A"), false},
      {"help on one side only", Block("Q", "h", 1, 2, 1, "Value\t=1"), Block("Q", "", 1, 2, 1, "Value\t=1"), false},
      {"help differs", Block("Q", "h", 1, 2, 1, "Value\t=1"), Block("Q", "other", 1, 2, 1, "Value\t=1"), true},
      {"offset", Block("Q", "h", 1, 2, 1, "Value\t=1"), Block("Q", "h", 1, 3, 1, "Value\t=1"), true},
      {"width", Block("Q", "h", 1, 2, 1, "Value\t=1"), Block("Q", "h", 1, 2, 2, "Value\t=1"), true},
      {"current option", Block("Q", "h", 1, 2, 1, kOptions), Block("Q", "h", 1, 2, 1, kOptionsOff), true},
      {"ordered list order", Block("Q", "h", 1, 2, 1, "ListOrder\t=[01]A\n         [02]B"),
       Block("Q", "h", 1, 2, 1, "ListOrder\t=[02]B\n         [01]A"), true},
      {"string", Block("S", "h", 1, 2, 8, "Value\t=\"AB\""), Block("S", "h", 1, 2, 8, "Value\t=\"AC\""), true},
      {"string quoted and braced alike", Block("S", "h", 1, 2, 8, "Value\t=\"AB\""),
       Block("S", "h", 1, 2, 8, "Value\t={0041 0042 0000 0000 } //Unicode, Do NOT change the format"), false},
      {"date", Block("D", "h", 1, 2, 4, "Date\t=01-31-2024"), Block("D", "h", 1, 2, 4, "Date\t=02-01-2024"), true},
      {"BIOS default", Block("Q", "h", 1, 2, 1, "BIOS Default =[00]Off \n" + kOptions),
       Block("Q", "h", 1, 2, 1, "BIOS Default =[01]On \n" + kOptions), true},
      {"MFG default on one side only", Block("Q", "h", 1, 2, 1, "MFG Default =0 \nValue\t=1"),
       Block("Q", "h", 1, 2, 1, "Value\t=1"), true},
      {"default lists", Block("Q", "h", 1, 2, 1, "BIOS Default ={01,02} \nListOrder\t=[01]A\n         [02]B"),
       Block("Q", "h", 1, 2, 1, "BIOS Default ={02,01} \nListOrder\t=[01]A\n         [02]B"), true},
      // The list form is per line: the plain MFG default is compared, and written back, as a number.
      {"braced BIOS and plain MFG default",
       Block("Q", "h", 1, 2, 1, "BIOS Default ={01,02} \nMFG Default =01 \nListOrder\t=[01]A\n         [02]B"),
       Block("Q", "h", 1, 2, 1, "BIOS Default ={01,02} \nMFG Default =02 \nListOrder\t=[01]A\n         [02]B"), true},
      {"fixed token", "\nFixed Token\t=12\nValue\t=5\n", "\nFixed Token\t=12\nValue\t=6\n", true},
      {"other token", Block("Q", "h", 1, 2, 1, "Value\t=1"), Block("Q", "h", 2, 2, 1, "Value\t=2"), false},
      {"other identity", Block("Q", "h", 1, 2, 1, "Value\t=1"), Block("R", "h", 1, 2, 1, "Value\t=2"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each file also holds a question the other lacks, which is never listed.
    ASSERT_EQ(Compare(Script("5", Block("Only A", "", 9, 0, 1, "Value\t=1") + c.a),
                      Script("5", c.b + Block("Only B", "", 8, 0, 1, "Value\t=2"))),
              0u)
        << err_;
    std::string expected = "\r\nHIICrc32= 5\r\n";
    if (c.listed) {
      // Both blocks rebuilt from the parse; they parse back to the same entries.
      ScriptEntryList original, rebuilt;
      ASSERT_EQ(ParseScriptText(Script("5", c.a + c.b), {}, original), 0u);
      ASSERT_EQ(ParseScriptText(Diff(), {}, rebuilt), 0u);
      ASSERT_EQ(rebuilt.size(), 2u);
      for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(rebuilt[i].identity, original[i].identity);
        EXPECT_EQ(rebuilt[i].valueText, original[i].valueText);
        EXPECT_EQ(rebuilt[i].entryTexts, original[i].entryTexts);
        EXPECT_EQ(rebuilt[i].biosDefaultText, original[i].biosDefaultText);
        EXPECT_EQ(rebuilt[i].mfgDefaultText, original[i].mfgDefaultText);
      }
    } else {
      EXPECT_EQ(DiffBody(), expected);
    }
  }
}

// Without an output name the pairs go to standard output, each block as its file wrote it.
TEST_F(CompareTest, WithoutAnOutputNameTheDifferingBlocksGoToStandardOutput) {
  ASSERT_EQ(Compare(Script("5", Block("Delay", "Seconds", 2, 6, 1, "BIOS Default =<3> \nValue\t=<10>")),
                    Script("6", Block("Delay", "", 2, 6, 1, "BIOS Default =3 \nValue\t=B")), ""),
            0u);
  EXPECT_EQ(out_,
            "\nSetup Question\t= Delay\nHelp String\t= Seconds\nToken\t=02\t// Do NOT change this line\nOffset\t=06\n"
            "Width\t=01\nBIOS Default\t=<3>\nValue\t=<10>\n"
            "\nSetup Question\t= Delay\nToken\t=02\t// Do NOT change this line\nOffset\t=06\nWidth\t=01\n"
            "BIOS Default\t=3\nValue\t=B\n");
  EXPECT_EQ(DirEntries(), 2u);  // a.txt and b.txt only
}

TEST_F(CompareTest, FailuresAndTheirStatuses) {
  const std::string good = Script("5", Block("Q", "", 1, 2, 1, "Value\t=1"));
  const std::string open = "ERROR:57 -  Opening NVRAM Script File";
  struct Case {
    const char* name;
    std::string a, b;  // "-" for a file that does not exist
    std::string output;
    Status status;
    std::string err;  // the beginning of what is printed
  } cases[] = {
      {"first file missing", "-", good, "diff.txt", 0x57, "\n" + open},
      {"second file missing", good, "-", "diff.txt", 0x57, "\n" + open},
      {"syntax error", good, Script("5", "\nSetup Question\t= Q\nToken\t=XYZ\n"), "diff.txt", 13, "\nSyntax Error in line"},
      {"not a script", "HIICrc32= 5\n", good, "diff.txt", 13, "\n- ERROR: Script file error."},
      {"no entries", good, Script("5", ""), "diff.txt", 13, ""},
      {"output directory missing", good, good, "nowhere/diff.txt", 0x57, open + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFileText(dir_ / "diff.txt", "earlier result");
    std::string a = dir_ / "a.txt", b = dir_ / "b.txt";
    std::remove(a.c_str());
    std::remove(b.c_str());
    if (c.a != "-") WriteFileText(a, c.a);
    if (c.b != "-") WriteFileText(b, c.b);
    EXPECT_EQ(CompareFiles(a, b, dir_ / c.output), c.status);
    EXPECT_EQ(err_.rfind(c.err, 0), 0u) << err_;
    // A failed compare leaves an earlier output as it was and nothing of its own behind.
    EXPECT_EQ(Diff(), "earlier result");
    EXPECT_EQ(DirEntries(), 1u + (c.a != "-") + (c.b != "-"));
  }
}

TEST_F(CompareTest, OutputThroughALinkOrToADevice) {
  const std::string a = Script("5", Block("Q", "", 1, 2, 1, "Value\t=1"));
  const std::string b = Script("5", Block("Q", "", 1, 2, 1, "Value\t=2"));
  // Through a symbolic link the file it points to receives the result; the link stays.
  WriteFileText(dir_ / "real.txt", "old");
  ASSERT_EQ(symlink("real.txt", (dir_ / "diff.txt").c_str()), 0);
  ASSERT_EQ(Compare(a, b), 0u) << err_;
  struct stat st {};
  ASSERT_EQ(lstat((dir_ / "diff.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(ReadFileText(dir_ / "real.txt").find("Value\t=2"), std::string::npos);
  // A device is written in place, and a write it refuses fails the compare.
  EXPECT_EQ(CompareFiles(dir_ / "a.txt", dir_ / "b.txt", "/dev/full"), 0x57u);
  EXPECT_EQ(err_, "ERROR:57 -  Writing NVRAM Script File\n");
  ASSERT_EQ(stat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(CompareTest, PairingTakesTheFirstMatchInTheSecondFile) {
  ASSERT_EQ(Compare(Script("5", Block("Q", "", 7, 0, 1, "Value\t=1")),
                    Script("5", Block("Q", "", 7, 0, 1, "Value\t=2") + Block("Q", "", 7, 0, 1, "Value\t=1")), ""),
            0u);
  EXPECT_NE(out_.find("Value\t=2\n"), std::string::npos);
}

}  // namespace
}  // namespace kes::test
