// The script import in process: a form set of every question kind over a temporary efivarfs
// tree, exported, edited as a user would, and imported; the checks, their messages and what
// reaches the variable.
#include "script/import.h"

#include <gtest/gtest.h>

#include "firmware/mailbox.h"
#include "devtools/hiibuild/emulator_image.h"
#include "tests/script/export_fixture.h"

namespace kes::test {
namespace {

using hiibuild::Opt;
namespace flags = hiibuild::flags;
namespace type = hiibuild::type;

constexpr EfiGuid kOtherGuid{0x0BADF00D, 0x1111, 0x2222, {3, 3, 4, 4, 5, 5, 6, 6}};

// Offsets in "Setup" (64 bytes).
enum : uint16_t { kMode = 0, kBox = 1, kCount = 2, kBias = 4, kName = 6, kDate = 24, kTime = 28, kOrder = 32 };

std::vector<uint8_t> EveryKind() {
  SetupForm f;
  hiibuild::Forms& forms = *f.forms;
  forms.OneOf({L"Mode", L"h", 1, 1, kMode}, 1, {{0, L"Off"}, {1, L"On"}, {2, L"Auto"}});
  forms.Checkbox({L"Box", L"h", 2, 1, kBox, flags::kResetRequired});
  forms.Numeric({L"Count", L"h", 3, 1, kCount}, 2, 10, 1000, 1, flags::kDisplayUintDec);
  forms.Numeric({L"Bias", L"h", 4, 1, kBias}, 1, static_cast<uint8_t>(-10), 10, 1, flags::kDisplayIntDec);
  forms.String({L"Name", L"h", 5, 1, kName}, 2, 8);
  forms.Date({L"Day", L"h", 6, 1, kDate});
  forms.Time({L"Clock", L"h", 7, 1, kTime});
  forms.OrderedList({L"Order", L"h", 8, 1, kOrder}, 3, {{1, L"a"}, {2, L"b"}, {3, L"c"}});
  forms.End();
  forms.VarStore(2, kOtherGuid, "Other", 4);
  forms.Form(2, L"Second");
  forms.OneOf({L"Other Mode", L"h", 9, 2, 0}, 1, {{0, L"Off"}, {1, L"On"}});
  return f.Bytes();
}

std::vector<uint8_t> SetupBytes() {
  hiibuild::VarBuffer v(64);
  v.Put(kMode, 1, 1).Put(kBox, 0, 1).Put(kCount, 100, 2).Put(kBias, static_cast<uint8_t>(-2), 1);
  v.PutUcs2(kName, L"abc", 8).PutDate(kDate, 2024, 5, 6).PutTime(kTime, 7, 8, 9);
  v.Put(kOrder, 1, 1).Put(kOrder + 1, 2, 1).Put(kOrder + 2, 3, 1);
  return v.Take();
}

class ImportTest : public ExportFixture {
 protected:
  void SetUp() override {
    image_ = EveryKind();
    SetVariable("Setup", kSetupGuid, SetupBytes());
    SetVariable("Other", kOtherGuid, {0, 0, 0, 0});
    blocks_ = Export(image_).script;
    ASSERT_NE(blocks_.find("Setup Question\t= Order"), std::string::npos) << blocks_;
    script_ = Full(blocks_, CalculateCrc32(image_));
  }

  // The file as the tool writes it: header lines, checksum line, question blocks.
  std::string Full(const std::string& blocks, uint32_t crc) {
    std::string path = dir_ / "header.txt";
    FilePtr file(std::fopen(path.c_str(), "w"));
    WriteScriptHeader(file.get(), L"script.txt");
    WriteChecksumLine(file.get(), crc);
    file.reset();
    return ReadFileText(path) + blocks;
  }

  struct Outcome {
    Status status = 0;
    std::string err;
  };

  Outcome Import(const std::string& text, std::initializer_list<Switch> switches = {}) {
    NewRun();
    run_.switches.Set(Switch::I);
    run_.switches.Set(Switch::S);
    for (Switch s : switches) run_.switches.Set(s);
    const HiiDatabase database(image_);
    const StringLookup strings(database, StringOptions::FromRun(run_));
    const SetupContext setup{run_, fw_, database, strings, nullptr};
    run_.options.HiiCrc32 = CalculateCrc32(image_);
    std::string path = dir_ / "in.txt";
    WriteFileText(path, text);
    run_.options.ScriptFileName = ToWide(path);
    run_.options.ScriptFile.reset(std::fopen(path.c_str(), "r"));
    Outcome o;
    ConsoleCapture capture;
    ScriptEntryList entries;
    o.status = ParseScriptFile(run_, entries);
    if (o.status == 0) o.status = ImportScript(setup, entries);
    o.err = capture.err();
    return o;
  }

  std::vector<uint8_t> StoredSetup() const { return Data(*firmware_.VarFile("Setup", kSetupGuid)); }
  static std::vector<uint8_t> Data(const std::vector<uint8_t>& file) { return {file.begin() + 4, file.end()}; }

  TempDir dir_;
  std::string blocks_, script_;
};

TEST_F(ImportTest, UnchangedScriptWritesNothing) {
  Outcome o = Import(script_);
  EXPECT_EQ(o.status, 0u);
  EXPECT_EQ(o.err, "");
  EXPECT_FALSE(run_.SystemModified);
  EXPECT_EQ(StoredSetup(), SetupBytes());
}

TEST_F(ImportTest, EditedValuesOfEveryKindReachTheVariable) {
  std::string text = script_;
  Replace(text, "Options\t=[00]Off\t// Move \"*\" to the desired Option\n         *[01]On\n         [02]Auto",
          "Options\t=[00]Off\t// Move \"*\" to the desired Option\n         [01]On\n         *[02]Auto");
  Replace(text, "Value\t=0\t// Enabled = 1", "Value\t=1\t// Enabled = 1");
  Replace(text, "Value\t=<100>", "Value\t=<999>");
  Replace(text, "Value\t=<254>", "Value\t=<246>");  // a signed byte is written as its byte value
  Replace(text, "Value\t=\"abc\"", "Value\t=\"xyzw\"");
  Replace(text, "Date\t=05-06-2024", "Date\t=02-29-2000");
  Replace(text, "Time\t=07:08:09", "Time\t=23:59:58");
  Replace(text, "ListOrder\t=[01]a\n         [02]b\n         [03]c", "ListOrder\t=[03]c\n         [01]a\n         [02]b");
  Outcome o = Import(text);
  EXPECT_EQ(o.status, 0u) << o.err;
  EXPECT_EQ(o.err, "");
  EXPECT_TRUE(run_.SystemModified);
  EXPECT_TRUE(run_.ResetRequired);  // the checkbox needs a reset
  hiibuild::VarBuffer want(64);
  want.Put(kMode, 2, 1).Put(kBox, 1, 1).Put(kCount, 999, 2).Put(kBias, static_cast<uint8_t>(-10), 1);
  want.PutUcs2(kName, L"xyzw", 8).PutDate(kDate, 2000, 2, 29).PutTime(kTime, 23, 59, 58);
  want.Put(kOrder, 3, 1).Put(kOrder + 1, 1, 1).Put(kOrder + 2, 2, 1);
  EXPECT_EQ(StoredSetup(), want.bytes());
  // Exported again, the file is the edited one.
  NewRun();
  EXPECT_EQ(Full(Export(image_).script, CalculateCrc32(image_)), text);
}

TEST_F(ImportTest, RefusedValuesLeaveTheirQuestionAndSayWhy) {
  struct Case {
    const char* name;
    std::string from, to;
    std::string message;
  };
  const Case cases[] = {
      {"not an option", "*[01]On", "*[07]On",
       "WARNING : Value for control (Mode) not updated as the value/defaults specified in the script file exceeds "
       "the maximum range \n"},
      {"checkbox", "Value\t=0\t// Enabled", "Value\t=2\t// Enabled",
       "WARNING : Value for control (Box) not updated as the value/defaults specified is invalid.\n"},
      {"above the maximum", "Value\t=<100>", "Value\t=<1001>",
       "WARNING : Value for control (Count) not updated as the value/defaults specified exceeds the maximum range "
       "(1000).\n"},
      {"below the minimum", "Value\t=<100>", "Value\t=<9>",
       "WARNING : Value for control (Count) not updated as the value/defaults specified doesn't reach the minimum "
       "range (10).\n"},
      {"negative unsigned", "Value\t=<100>", "Value\t=<-1>",
       "WARNING : Value for control (Count) not updated as the value/defaults specified is invalid.\n"},
      {"signed below", "Value\t=<254>", "Value\t=<-11>",
       "WARNING : Value for control (Bias) not updated as the value/defaults specified doesn't reach the minimum "
       "range (-10).\n"},
      {"signed, wider than the byte", "Value\t=<254>", "Value\t=<-300>",
       "WARNING : Value for control (Bias) not updated as the value/defaults specified doesn't reach the minimum "
       "range (-10).\n"},
      {"string too long", "\"abc\"", "\"abcdefghi\"",
       "WARNING : Length of string for control (Name) not updated as the value/defaults specified in the script file "
       "exceeds the maximum range (8).\n"},
      {"string too short", "\"abc\"", "\"a\"",
       "WARNING : Length of string for control (Name) not updated as the value/defaults specified in the script file "
       "doesn't reach the minimum range (2).\n"},
      {"29 February 1900", "Date\t=05-06-2024", "Date\t=02-29-1900",
       "WARNING : Value for control (Day) not updated as the value/defaults specified is invalid.\n"},
      {"31 April", "Date\t=05-06-2024", "Date\t=04-31-2024",
       "WARNING : Value for control (Day) not updated as the value/defaults specified is invalid.\n"},
      {"hour 24", "Time\t=07:08:09", "Time\t=24:00:00",
       "WARNING : Value for control (Clock) not updated as the value/defaults specified is invalid.\n"},
      {"list one short", "[02]b\n         [03]c", "[02]b",
       "WARNING : Value for control (Order) not updated as the value/defaults specified in the script file is "
       "invalid \n"},
      {"list repeats", "[02]b\n         [03]c", "[02]b\n         [02]b",
       "WARNING : Value for control (Order) not updated as the value/defaults specified in the script file is "
       "invalid \n"},
      {"list one long", "[03]c", "[03]c\n         [01]a",
       "\nWarning : Setup question 'Order' is not imported, as OrderedList count mismatches with Listorder Options in "
       "NVRAM\n"},
      {"width", "Offset\t=04\nWidth\t=01", "Offset\t=04\nWidth\t=02",
       "WARNING : DataWidth mismatch for setup question Bias \n"},
      {"offset", "Offset\t=04\nWidth\t=01", "Offset\t=05\nWidth\t=01",
       "WARNING : DataOffset mismatch for setup question Bias \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = script_;
    Replace(text, c.from, c.to);
    Outcome o = Import(text);
    EXPECT_EQ(o.status, 0u);
    EXPECT_EQ(o.err, c.message);
    EXPECT_EQ(StoredSetup(), SetupBytes());
    // Quiet silences the warnings, except the list count mismatch.
    Outcome quiet = Import(text, {Switch::Q});
    EXPECT_EQ(quiet.err, std::string(c.name) == "list one long" ? c.message : "");
  }
}

// Values outside their questions' rules, as an unconfigured machine holds them (a checkbox of
// 2, numbers below their minimum, a string under its minimum length, an impossible date, a list
// naming no option): the unedited export imports under /r saying and writing nothing. A changed
// value keeps every check.
TEST_F(ImportTest, WhatTheFirmwareHoldsIsNeverAFinding) {
  hiibuild::VarBuffer held(64);
  held.Put(kMode, 1, 1).Put(kBox, 2, 1).Put(kCount, 5, 2).Put(kBias, 0x80, 1).PutUcs2(kName, L"a", 8);
  SetVariable("Setup", kSetupGuid, held.bytes());
  std::string text = Full(Export(image_).script, CalculateCrc32(image_));
  Outcome o = Import(text, {Switch::R});
  EXPECT_EQ(o.status, 0u);
  EXPECT_EQ(o.err, "");
  EXPECT_FALSE(run_.SystemModified);
  EXPECT_EQ(StoredSetup(), held.bytes());

  Replace(text, "Value\t=<5>", "Value\t=<9>");
  o = Import(text, {Switch::R});
  EXPECT_EQ(o.status, 13u);
  EXPECT_EQ(o.err,
            "ERROR : Value for control (Count) not updated as the value/defaults specified doesn't reach the minimum "
            "range (10).\n");
  EXPECT_EQ(StoredSetup(), held.bytes());
}

TEST_F(ImportTest, RestrictedImportIsAllOrNothing) {
  // Two form sets: a change in the first, a refusal in the second. Without the all-or-nothing
  // rule the first would be committed when the walk reaches the second.
  hiibuild::Database db;
  for (uint16_t n : {1, 2}) {
    hiibuild::Forms& forms = db.AddList({n, 0, 0, {}}).AddForms();
    forms.FormSet({0xF0, n, 0, {}}, L"Set", L"h");
    forms.VarStore(1, n == 1 ? kSetupGuid : kOtherGuid, n == 1 ? "Setup" : "Other", n == 1 ? 64 : 4);
    forms.Form(1, L"Form");
    forms.Numeric({n == 1 ? L"First" : L"Second", L"h", 1, 1, 0}, 1, 0, 9, 1, flags::kDisplayUintDec);
  }
  image_ = db.Bytes();
  NewRun();
  std::string text = Full(Export(image_).script, CalculateCrc32(image_));
  Replace(text, "Value\t=<1>", "Value\t=<2>");   // First: Setup[0] is 1
  Replace(text, "Value\t=<0>", "Value\t=<10>");  // Second: above its maximum
  Outcome o = Import(text, {Switch::R, Switch::Q});
  EXPECT_EQ(o.status, 13u);
  EXPECT_EQ(o.err,
            "ERROR : Value for control (Second) not updated as the value/defaults specified exceeds the maximum range "
            "(9).\n");
  EXPECT_FALSE(run_.SystemModified);
  EXPECT_EQ(StoredSetup(), SetupBytes());

  Replace(text, "Value\t=<10>", "Value\t=<3>");
  o = Import(text, {Switch::R});
  EXPECT_EQ(o.status, 0u) << o.err;
  EXPECT_EQ(StoredSetup()[0], 2);
  EXPECT_EQ(Data(*firmware_.VarFile("Other", kOtherGuid)), (std::vector<uint8_t>{3, 0, 0, 0}));
}

TEST_F(ImportTest, ChecksumLineIsRequiredAndComparedOnlyUnderR) {
  std::string foreign = Full(blocks_, CalculateCrc32(image_) ^ 1);
  EXPECT_EQ(Import(foreign).status, 0u);
  Outcome o = Import(foreign, {Switch::R});
  EXPECT_EQ(o.status, 0x17u);
  EXPECT_NE(o.err.find("\nFILE CRC : "), std::string::npos);
  EXPECT_NE(o.err.find("ERROR:17 -  Script File does not match the target BIOS\n"), std::string::npos);

  std::string none = script_;
  Replace(none, "HIICrc32", "// was a checksum");
  o = Import(none);
  EXPECT_EQ(o.status, 13u);
  EXPECT_EQ(o.err, "ERROR:D -  Parsing Advanced Script File\n");
}

TEST_F(ImportTest, DuplicatesAndStrangersArePointedOut) {
  std::string text = script_;
  std::string count = text.substr(text.find("\nSetup Question\t= Count"));
  count = count.substr(0, count.find("\n\n", 1) + 1);
  std::string second = count;
  Replace(second, "<100>", "<200>");
  std::string stranger = count;
  Replace(stranger, "= Count", "= Nobody");
  text += second + stranger;
  Outcome o = Import(text);
  EXPECT_EQ(o.status, 0u);
  EXPECT_EQ(o.err,
            "\nWarning : Duplicate question with different value ,prompt: Count,Token:3\n"
            "\nWarning : Unmatched question... prompt: Nobody,Token:3");
  EXPECT_EQ(StoredSetup(), SetupBytes());  // the first instance (unchanged) was applied
}

TEST_F(ImportTest, LangMatchesByMapStringIgnoringCaseAndToken) {
  // Map strings given: the export with /lang writes them, the import matches on them alone.
  SetupForm f;
  f.forms->OneOf({.prompt = L"Mode", .help = L"h", .id = 1, .varStore = 1, .offset = kMode, .map = L"MODE01"}, 1,
                 {{0, L"Off"}, {1, L"On"}});
  image_ = f.Bytes();
  std::string text = Full(Export(image_, {Switch::Lang}).script, CalculateCrc32(image_));
  Replace(text, "Map String\t= MODE01", "Map String\t= mode01");
  Replace(text, "Token\t=01", "Token\t=7F");
  Replace(text, "[00]Off\t// Move \"*\" to the desired Option\n         *[01]On",
          "*[00]Off\t// Move \"*\" to the desired Option\n         [01]On");
  Outcome o = Import(text, {Switch::Lang});
  EXPECT_EQ(o.status, 0u) << o.err;
  EXPECT_EQ(StoredSetup()[kMode], 0);
}

}  // namespace
}  // namespace kes::test
