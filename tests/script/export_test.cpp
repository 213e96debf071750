// The script export, byte for byte: value lines of every type, headers, commenting of duplicates,
// map strings, the printable filter and the structure comments.
#include "tests/script/export_fixture.h"

namespace kes::test {
namespace {

using hiibuild::Opt;
using hiibuild::Q;
namespace flags = hiibuild::flags;
namespace type = hiibuild::type;

std::string Block(const std::string& prompt, const std::string& help, int token, int offset, int width,
                  const std::string& values) {
  char header[512];
  std::snprintf(header, sizeof header,
                "\nSetup Question\t= %s\nHelp String\t= %s\nToken\t=%02X\t// Do NOT change this line\nOffset\t=%02X\nWidth\t=%02X\n",
                prompt.c_str(), help.c_str(), token, offset, width);
  return header + values + "\n";
}

class ExportTest : public ExportFixture {};

TEST_F(ExportTest, WritesTheValueLinesOfEveryType) {
  SetupForm f;
  f.forms->OrderedList({L"Boot Order", L"Order of boot devices", 1, 1, 0}, 3,
                       {{1, L"Hard Disk"}, {2, L"USB"}, {3, L"Network"}});
  f.forms->Checkbox({L"Feature", L"Feature help", 2, 1, 3});
  f.forms->Numeric({L"Hex", L"Hex help", 3, 1, 4}, 1, 0, 0xFF, 1, flags::kDisplayUintHex);
  f.forms->Numeric({L"Signed", L"Signed help", 4, 1, 5}, 2, 0x8000, 0x7FFF, 1, flags::kDisplayIntDec);
  f.forms->Numeric({L"Unsigned", L"Unsigned help", 5, 1, 7}, 2, 0, 1000, 1, flags::kDisplayUintDec);
  f.forms->String({L"Name", L"Name help", 6, 1, 9}, 0, 4);
  f.forms->String({L"Wide", L"Wide help", 7, 1, 17}, 0, 3);
  f.forms->Date({L"Date", L"Date help", 8, 1, 23});
  f.forms->Time({L"Time", L"Time help", 9, 1, 27});
  std::vector<uint8_t> setup(64, 0);
  std::vector<uint8_t> values = {2, 1, 3, 1, 0x1F, 0xFB, 0xFF, 0x2C, 0x01, 'A', 0, 'B', 0, 'C', 0, 0, 0,
                                 'A', 0, 0xE9, 0, 0, 0, 0xE8, 0x07, 1, 31, 8, 5, 0};
  std::copy(values.begin(), values.end(), setup.begin());
  SetVariable("Setup", kSetupGuid, setup);

  ExportResult r = Export(f.Bytes());
  EXPECT_EQ(r.status, 0u);
  EXPECT_EQ(r.err, "");
  std::string expected =
      Block("Boot Order", "Order of boot devices", 1, 0, 1,
            "ListOrder\t=[02]USB\n         [01]Hard Disk\n         [03]Network") +
      Block("Feature", "Feature help", 2, 3, 1, "Value\t=1\t// Enabled = 1, Disabled = 0") +
      Block("Hex", "Hex help", 3, 4, 1, "Value\t=1F") + Block("Signed", "Signed help", 4, 5, 2, "Value\t=<-5>") +
      Block("Unsigned", "Unsigned help", 5, 7, 2, "Value\t=<300>") +
      Block("Name", "Name help", 6, 9, 8, "Value\t=\"ABC\"") +
      Block("Wide", "Wide help", 7, 0x11, 6, "Value\t={0041 00E9 0000 } //Unicode, Do NOT change the format") +
      Block("Date", "Date help", 8, 0x17, 4, "Date\t=01-31-2024\t// MM-DD-YYYY") +
      Block("Time", "Time help", 9, 0x1B, 3, "Time\t=08:05:00\t//  HH:MM:SS");
  EXPECT_EQ(r.script, expected);
}

TEST_F(ExportTest, OneOfCurrentValueMarksItsOption) {
  SetupForm f;
  f.forms->OneOf({L"Quiet Boot", L"Enables or disables the boot logo", 0x1A, 1, 5}, 1,
                 {{0, L"Disabled"}, {1, L"Enabled"}});
  f.forms->OneOf({L"Unmatched", L"No option has the value", 0x1B, 1, 6}, 1,
                 {{0, L"Off"}, {1, L"On"}});
  f.forms->OneOf({L"Single", L"One option only", 0x1C, 1, 7}, 1, {{4, L"Only"}});
  f.forms->Numeric({L"Signed Byte", L"A byte shown signed", 0x1D, 1, 8}, 1, 0, 0xFF, 1,
                   flags::kDisplayIntDec);
  f.forms->OneOf({L"Wide Values", L"Two-byte options", 0x1E, 1, 10}, 2,
                 {{0x100, L"Low"}, {0x1234, L"High"}});
  std::vector<uint8_t> setup(64, 0);
  setup[5] = 1;
  setup[6] = 7;
  setup[7] = 4;
  setup[8] = 0xFF;
  setup[10] = 0x34;
  setup[11] = 0x12;
  SetVariable("Setup", kSetupGuid, setup);

  ExportResult r = Export(f.Bytes());
  std::string expected =
      Block("Quiet Boot", "Enables or disables the boot logo", 0x1A, 5, 1,
            "Options\t=[00]Disabled\t// Move \"*\" to the desired Option\n         *[01]Enabled") +
      Block("Unmatched", "No option has the value", 0x1B, 6, 1,
            "Options\t=[00]Off\t// Move \"*\" to the desired Option\n         [01]On") +
      Block("Single", "One option only", 0x1C, 7, 1, "Options\t=*[04]Only\t// Move \"*\" to the desired Option") +
      Block("Signed Byte", "A byte shown signed", 0x1D, 8, 1, "Value\t=<255>") +
      Block("Wide Values", "Two-byte options", 0x1E, 0x0A, 2,
            "Options\t=[100]Low\t// Move \"*\" to the desired Option\n         *[1234]High");
  EXPECT_EQ(r.script, expected);
}

TEST_F(ExportTest, FiltersUnprintableCharactersFromHiiTexts) {
  SetupForm f;
  f.forms->Checkbox({L"Caf\u00e9\tMode", L"First line\nsecond line\r", 1, 1, 0});
  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(64, 0));
  ExportResult r = Export(f.Bytes());
  EXPECT_EQ(r.script, Block("Caf  Mode", "First line second line ", 1, 0, 1,
                            "Value\t=0\t// Enabled = 1, Disabled = 0"));
}

TEST_F(ExportTest, SharedStorageIsCommentedOnceWarnedAndMovedWithSd) {
  auto build = [] {
    SetupForm f;
    f.forms->Checkbox({L"First", L"h1", 1, 1, 2});
    f.forms->Checkbox({L"Second", L"h2", 2, 1, 2});
    f.forms->Time({L"Clock", L"h3", 3, 1, 4});
    f.forms->Time({L"Clock Again", L"h4", 4, 1, 4});
    return f.Bytes();
  };
  std::vector<uint8_t> setup(64, 0);
  setup[2] = 1;
  setup[4] = 12;
  setup[5] = 30;
  SetVariable("Setup", kSetupGuid, setup);

  ExportResult inPlace = Export(build());
  EXPECT_EQ(inPlace.err, "WARNING: Duplicate questions found. Only one question will be enabled in the script.");
  EXPECT_EQ(inPlace.script,
            Block("First", "h1", 1, 2, 1, "Value\t=1\t// Enabled = 1, Disabled = 0") +
                "\n// Setup Question\t= Second\n// Help String\t= h2\n// Token\t=02\t// Do NOT change this line\n"
                "// Offset\t=02\n// Width\t=01\n// Value\t=1\t// Enabled = 1, Disabled = 0\n" +
                Block("Clock", "h3", 3, 4, 3, "Time\t=12:30:00\t//  HH:MM:SS") +
                "\n// Setup Question\t= Clock Again\n// Help String\t= h4\n// Token\t=04\t// Do NOT change this line\n"
                "// Offset\t=04\n// Width\t=03\n// Time\t=12:30:00\t//  HH:MM:SS\n");

  NewRun();
  ExportResult moved = Export(build(), {Switch::Sd}, nullptr, true);
  EXPECT_EQ(moved.script, Block("First", "h1", 1, 2, 1, "Value\t=1\t// Enabled = 1, Disabled = 0") +
                              Block("Clock", "h3", 3, 4, 3, "Time\t=12:30:00\t//  HH:MM:SS"));
  EXPECT_EQ(moved.duplicates,
            "\n// Setup Question\t= Second\n// Help String\t= h2\n// Token\t=02\t// Do NOT change this line\n"
            "// Offset\t=02\n// Width\t=01\n// Value\t=1\t// Enabled = 1, Disabled = 0\n"
            "\n// Setup Question\t= Clock Again\n// Help String\t= h4\n// Token\t=04\t// Do NOT change this line\n"
            "// Offset\t=04\n// Width\t=03\n// Time\t=12:30:00\t// HH:MM:SS\n");

  NewRun();
  EXPECT_EQ(Export(build(), {Switch::Q}).err, "");
}

TEST_F(ExportTest, MapStringsWithLangAndQuestionsWithoutThem) {
  auto build = [] {
    SetupForm f;
    f.forms->Checkbox({.prompt = L"Mapped", .help = L"h", .id = 1, .varStore = 1, .offset = 0, .map = L"MAP001"});
    f.forms->Checkbox({L"Unmapped", L"h", 2, 1, 1});
    f.forms->Checkbox({L"   ", L"blank prompt", 3, 1, 2});
    return f.Bytes();
  };
  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(8, 0));
  const std::string value = "Value\t=0\t// Enabled = 1, Disabled = 0";
  auto mapped = [&](const std::string& prompt, const std::string& map, int token, int offset) {
    char header[256];
    std::snprintf(header, sizeof header,
                  "\nSetup Question\t= %s\nMap String\t= %s\nHelp String\t= h\nToken\t=%02X\t// Do NOT change this "
                  "line\nOffset\t=%02X\nWidth\t=01\n",
                  prompt.c_str(), map.c_str(), token, offset);
    return header + value + "\n";
  };

  ExportResult plain = Export(build());
  EXPECT_EQ(plain.script, Block("Mapped", "h", 1, 0, 1, value) + Block("Unmapped", "h", 2, 1, 1, value));

  NewRun();
  ExportResult lang = Export(build(), {Switch::Lang});
  EXPECT_EQ(lang.script, mapped("Mapped", "MAP001", 1, 0));

  NewRun();
  ExportResult all = Export(build(), {Switch::Lang, Switch::A});
  std::string blank = "\nSetup Question\t=    \nMap String\t= \nHelp String\t= blank prompt\nToken\t=03\t// Do NOT "
                      "change this line\nOffset\t=02\nWidth\t=01\n" + value + "\n";
  EXPECT_EQ(all.script, mapped("Mapped", "MAP001", 1, 0) + mapped("Unmapped", "", 2, 1) + blank);
}

TEST_F(ExportTest, VerboseStructureComments) {
  SetupForm f;
  f.forms->Subtitle(L"Processor\nSettings");
  f.forms->Subtitle(L"   ");
  f.forms->Checkbox({L"Turbo", L"h", 1, 1, 0});
  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(64, 0));
  ExportResult r = Export(f.Bytes(), {Switch::V});
  std::string guid = FormatGuidText(kFormSetGuid), setup = FormatGuidText(kSetupGuid);
  EXPECT_EQ(r.script,
            "\n// FORM SET\n// GUID\t= " + guid + "\n// Title\t= Main\n// Help\t= Main settings\n// Class\t= 00\n"
            "// SubClass\t= 00\n\n// FORM\n// FORM ID\t= 01\n// Title\t= Main Form\n\n// SUBTITLE\t= Processor Settings\n"
            "\n// GUID\t= " + setup + "\n// Variable\t= Setup" +
                Block("Turbo", "h", 1, 0, 1, "Value\t=0\t// Enabled = 1, Disabled = 0"));
}

TEST_F(ExportTest, VerboseStorageCommentFiltersTheVariableName) {
  hiibuild::PackageList list(kListGuid);
  auto& forms = list.AddForms();
  forms.FormSet(kFormSetGuid, L"Main", L"Help");
  forms.VarStore(1, kSetupGuid, "Set\nup\t", 4);
  forms.Form(1, L"Form");
  forms.Checkbox({L"Turbo", L"h", 1, 1, 0});
  SetVariable("Set\nup\t", kSetupGuid, {1, 0, 0, 0});
  std::string script = Export(list.Bytes(), {Switch::V}).script;
  EXPECT_NE(script.find("\n// Variable\t= Set up \nSetup Question\t= Turbo\n"), std::string::npos) << script;
}

TEST_F(ExportTest, SkipsQuestionsWhoseStorageCannotBeRead) {
  SetupForm f(8);
  f.forms->Checkbox({L"Inside", L"h", 1, 1, 7});
  f.forms->Numeric({L"Past The End", L"h", 2, 1, 7}, 2, 0, 10);
  f.forms->Checkbox({L"Unknown Store", L"h", 3, 9, 0});
  f.forms->Password({L"Secret", L"h", 4, 1, 0}, 1, 2);
  ExportResult absent = Export(f.Bytes());
  EXPECT_EQ(absent.script, "");
  EXPECT_EQ(absent.err, "WARNING: HII data does not have setup questions information\n");

  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(8, 1));
  NewRun();
  ExportResult present = Export(f.Bytes());
  EXPECT_EQ(present.script, Block("Inside", "h", 1, 7, 1, "Value\t=1\t// Enabled = 1, Disabled = 0"));
}

TEST_F(ExportTest, LongVarstoreNamesNameTheirVariableInFull) {
  const std::string name = "PlatformConfigurationSettingsForTheSecondSocket";  // 47 characters
  hiibuild::PackageList list(kListGuid);
  auto& forms = list.AddForms();
  forms.FormSet(kFormSetGuid, L"Main", L"Help");
  forms.VarStore(1, kSetupGuid, name, 4);
  forms.Form(1, L"Form");
  forms.Checkbox({L"Socket Feature", L"h", 1, 1, 0});
  SetVariable(name, kSetupGuid, {1, 0, 0, 0});
  EXPECT_EQ(Export(list.Bytes()).script,
            Block("Socket Feature", "h", 1, 0, 1, "Value\t=1\t// Enabled = 1, Disabled = 0"));
}

TEST_F(ExportTest, DuplicatesAreDetectedWithinOneFormSetOnly) {
  hiibuild::Database db;
  for (uint32_t n = 1; n <= 2; ++n) {
    auto& list = db.AddList({n, 0, 0, {}});
    auto& forms = list.AddForms();
    forms.FormSet({0x100 + n, 0, 0, {}}, L"Set", L"Help");
    forms.VarStore(1, kSetupGuid, "Setup", 8);
    forms.Form(1, L"Form");
    forms.Checkbox({L"Shared", L"h", 1, 1, 0});
  }
  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(8, 0));
  ExportResult r = Export(db.Bytes());
  std::string block = Block("Shared", "h", 1, 0, 1, "Value\t=0\t// Enabled = 1, Disabled = 0");
  EXPECT_EQ(r.script, block + block);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace kes::test
