// The export with the firmware's default stores and with suppress-if / gray-out-if evaluation:
// the worked examples of the script format, /ndef, /sp, /g, /ce and forms hidden behind REFs.
#include "hii/nvar_store.h"
#include "tests/script/export_fixture.h"

namespace kes::test {
namespace {

using hiibuild::Expr;

class ExportDefaults : public ExportFixture {
 protected:
  // Writes "StdDefaults" or "MfgDefaults" holding the "Setup" variable with `setup` as data.
  void SetDefaultStore(const std::string& name, const std::vector<uint8_t>& setup) {
    auto store = NvarStore::Open(std::vector<uint8_t>(0x400, 0xFF), 1);
    ASSERT_TRUE(store);
    ASSERT_EQ(store->SetVariable(u"Setup", kSetupGuid, 7, setup), efi::kSuccess);
    SetVariable(name, nvar::kDefaultsGuid, store->Buffer());
  }

  // Quiet Boot (token 1A, offset 5, current 1, map string QBOOT01), optionally inside a
  // suppress-if that holds when Logo Control (token 1B, offset 6) is 1.
  std::vector<uint8_t> QuietBoot(bool suppressed) {
    SetupForm f;
    f.forms->Checkbox({L"Logo Control", L"Lets firmware choose the logo", 0x1B, 1, 6});
    if (suppressed) f.forms->SuppressIf(Expr::EqIdVal(0x1B, 1));
    f.forms->OneOf({.prompt = L"Quiet Boot", .help = L"Enables or disables the boot logo", .id = 0x1A, .varStore = 1,
                    .offset = 5, .map = L"QBOOT01"},
                   1, {{0, L"Disabled"}, {1, L"Enabled"}});
    if (suppressed) f.forms->End();
    std::vector<uint8_t> current(64, 0), defaults(64, 0);
    current[5] = 1;
    current[6] = 1;
    defaults[6] = 1;
    SetVariable("Setup", kSetupGuid, current);
    defaults_ = defaults;
    return f.Bytes();
  }
  std::vector<uint8_t> defaults_;
};

TEST_F(ExportDefaults, WorkedExampleWithBothDefaultStores) {
  std::vector<uint8_t> image = QuietBoot(false);
  SetDefaultStore("StdDefaults", defaults_);
  SetDefaultStore("MfgDefaults", defaults_);
  ExportResult r = Export(image, {Switch::Lang});
  // Logo Control has no map string: with /lang only Quiet Boot is written.
  EXPECT_EQ(r.script, std::string("\nSetup Question\t= Quiet Boot\nMap String\t= QBOOT01\nHelp String\t= Enables or disables "
                          "the boot logo\nToken\t=1A\t// Do NOT change this line\nOffset\t=05\nWidth\t=01\nBIOS "
                          "Default =[00]Disabled \nMFG Default =[00]Disabled \nOptions\t=[00]Disabled\t// Move \"*\" "
                          "to the desired Option\n         *[01]Enabled\n"));
}

TEST_F(ExportDefaults, WorkedExampleSuppressedAndCommentedOut) {
  std::vector<uint8_t> image = QuietBoot(true);
  SetDefaultStore("StdDefaults", defaults_);
  const std::string logo =
      "\nSetup Question\t= Logo Control\nHelp String\t= Lets firmware choose the logo\nToken\t=1B\t// Do NOT change "
      "this line\nOffset\t=06\nWidth\t=01\nBIOS Default =1 \nValue\t=1\t// Enabled = 1, Disabled = 0\n";
  const std::string quiet =
      "\n// SUPPRESS\n// Setup Question\t= Quiet Boot\n// Help String\t= Enables or disables the boot logo\n// "
      "Token\t=1A\t// Do NOT change this line\n// Offset\t=05\n// Width\t=01\n// BIOS Default =[00]Disabled \n// "
      "Options\t=[00]Disabled\t// Move \"*\" to the desired Option\n//         *[01]Enabled\n// ENDOF SUPPRESS\n";
  EXPECT_EQ(Export(image, {Switch::Sp, Switch::Ce}).script, logo + quiet);

  NewRun();
  EXPECT_EQ(Export(image, {Switch::Sp}).script, logo);  // left out
  NewRun();
  EXPECT_EQ(Export(image, {Switch::G, Switch::Ce}).script.find("SUPPRESS"), std::string::npos);
  NewRun();
  std::string plain = Export(image).script;  // without /sp nothing is evaluated
  EXPECT_NE(plain.find("\nSetup Question\t= Quiet Boot\n"), std::string::npos);
}

TEST_F(ExportDefaults, GrayedOutQuestionsAndVerboseMarkers) {
  SetupForm f;
  f.forms->Checkbox({L"Master", L"h", 1, 1, 0});
  f.forms->GrayOutIf(Expr::EqIdVal(1, 1));
  f.forms->Time({L"Alarm", L"h", 2, 1, 1});
  f.forms->End();
  std::vector<uint8_t> setup(64, 0);
  setup[0] = 1;
  setup[1] = 6;
  setup[2] = 45;
  SetVariable("Setup", kSetupGuid, setup);
  ExportResult r = Export(f.Bytes(), {Switch::G, Switch::Ce});
  EXPECT_NE(r.script.find("\n// GRAYOUT\n// Setup Question\t= Alarm\n// Help String\t= h\n// Token\t=02\t// Do NOT "
                          "change this line\n// Offset\t=01\n// Width\t=03\n// Time\t=06:45:00\t// HH:MM:SS\n// "
                          "ENDOF GRAYOUT\n"),
            std::string::npos)
      << r.script;

  NewRun();
  ExportResult verbose = Export(f.Bytes(), {Switch::G, Switch::Ce, Switch::V});
  EXPECT_NE(verbose.script.find("\n// GRAYOUT\n// GUID\t= " + FormatGuidText(kSetupGuid) +
                                "\n// Variable\t= Setup\n// Setup Question\t= Alarm\n"),
            std::string::npos)
      << verbose.script;
}

TEST_F(ExportDefaults, NdefExportsOnlyValuesThatDifferFromTheBiosDefault) {
  SetupForm f;
  f.forms->Checkbox({L"Same", L"h", 1, 1, 0});
  f.forms->Checkbox({L"Changed", L"h", 2, 1, 1});
  f.forms->String({L"Name", L"h", 3, 1, 2}, 0, 2);
  f.forms->OrderedList({L"Order", L"h", 4, 1, 8}, 2, {{1, L"a"}, {2, L"b"}});
  std::vector<uint8_t> current(64, 0), defaults(64, 0);
  current[1] = 1;
  current[8] = 2;
  current[9] = 1;
  defaults[8] = 2;
  defaults[9] = 1;
  SetVariable("Setup", kSetupGuid, current);
  std::vector<uint8_t> image = f.Bytes();

  ExportResult without = Export(image, {Switch::Ndef});
  EXPECT_EQ(without.script,
            "\nSetup Question\t= Name\nHelp String\t= h\nToken\t=03\t// Do NOT change this line\nOffset\t=02\nWidth\t=04\n"
            "Value\t=\"\"\n");

  SetDefaultStore("StdDefaults", defaults);
  NewRun();
  ExportResult with = Export(image, {Switch::Ndef});
  EXPECT_EQ(with.script.find("Same"), std::string::npos);
  EXPECT_EQ(with.script.find("Order"), std::string::npos);
  EXPECT_NE(with.script.find("\nSetup Question\t= Changed\n"), std::string::npos);
  EXPECT_NE(with.script.find("\nSetup Question\t= Name\n"), std::string::npos);
  EXPECT_NE(with.script.find("BIOS Default =0 \nValue\t=1"), std::string::npos);
}

TEST_F(ExportDefaults, FormsBehindASuppressedRefAreHidden) {
  SetupForm f;
  f.forms->Checkbox({L"Show Debug", L"h", 1, 1, 0});
  f.forms->SuppressIf(Expr::EqIdVal(1, 0));
  f.forms->Ref({L"Debug Settings", L"h", 2, 0, 0}, 2);
  f.forms->End();
  f.forms->End();  // form 1
  f.forms->Form(2, L"Debug");
  f.forms->Checkbox({L"Debug Port", L"h", 3, 1, 1});
  f.forms->End();
  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(64, 0));
  std::vector<uint8_t> image = f.Bytes();
  const std::string show = "\nSetup Question\t= Show Debug\nHelp String\t= h\nToken\t=01\t// Do NOT change this "
                           "line\nOffset\t=00\nWidth\t=01\nValue\t=0\t// Enabled = 1, Disabled = 0\n";

  EXPECT_EQ(Export(image, {Switch::Sp}).script, show);
  NewRun();
  EXPECT_EQ(Export(image, {Switch::Sp, Switch::Ce}).script,
            show + "\n// SUPPRESS FORM\n\n// Setup Question\t= Debug Port\n// Help String\t= h\n// Token\t=03\t// Do NOT "
                   "change this line\n// Offset\t=01\n// Width\t=01\n// Value\t=0\t// Enabled = 1, Disabled = 0\n"
                   "// ENDOF SUPPRESSED FORM\n");
  NewRun();
  std::string verbose = Export(image, {Switch::Sp, Switch::Ce, Switch::V}).script;
  EXPECT_NE(verbose.find("\n// SUPPRESS FORM\n\n// FORM\n// FORM ID\t= 02\n// Title\t= Debug\n"), std::string::npos)
      << verbose;
  EXPECT_NE(verbose.find("// ENDOF SUPPRESSED FORM\n"), std::string::npos);
  NewRun();
  EXPECT_NE(Export(image).script.find("\nSetup Question\t= Debug Port\n"), std::string::npos);
}

TEST_F(ExportDefaults, FormsReachedOnlyThroughAHiddenFormStayHidden) {
  // Form 1 refers to form 2 under a true suppress-if; form 2 refers to form 3, and nothing else
  // does: form 3 is as hidden as form 2, with and without /ce.
  SetupForm f;
  f.forms->SuppressIf(Expr::True());
  f.forms->Ref({L"Debug Settings", L"h", 9, 0, 0}, 2);
  f.forms->End();
  f.forms->End();  // form 1
  f.forms->Form(2, L"Debug");
  f.forms->Ref({L"More Debug", L"h", 8, 0, 0}, 3);
  f.forms->Checkbox({L"Debug Port", L"h", 1, 1, 0});
  f.forms->End();
  f.forms->Form(3, L"More");
  f.forms->Checkbox({L"Debug Level", L"h", 2, 1, 1});
  f.forms->End();
  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(64, 0));
  std::vector<uint8_t> image = f.Bytes();

  struct Case {
    std::initializer_list<Switch> switches;
    std::vector<std::string> present, absent;
  } cases[] = {
      {{Switch::Sp}, {}, {"Debug Port", "Debug Level"}},
      {{Switch::Sp, Switch::Ce},
       {"\n// SUPPRESS FORM\n\n// Setup Question\t= Debug Port\n",
        "\n// SUPPRESS FORM\n\n// Setup Question\t= Debug Level\n"},
       {"\nSetup Question"}},
      {{}, {"\nSetup Question\t= Debug Port\n", "\nSetup Question\t= Debug Level\n"}, {}},
  };
  for (const Case& c : cases) {
    NewRun();
    std::string script = Export(image, c.switches).script;
    for (const std::string& text : c.present) EXPECT_NE(script.find(text), std::string::npos) << text << "\n" << script;
    for (const std::string& text : c.absent) EXPECT_EQ(script.find(text), std::string::npos) << text << "\n" << script;
  }
}

TEST_F(ExportDefaults, AHiddenFormHidesOnlyTheFormOfItsOwnFormSet) {
  hiibuild::Database db;
  for (uint32_t n = 1; n <= 2; ++n) {
    auto& forms = db.AddList({n, 0, 0, {}}).AddForms();
    forms.FormSet({0x100 + n, 0, 0, {}}, L"Set", L"Help");
    forms.VarStore(1, kSetupGuid, "Setup", 64);
    forms.Form(1, L"Top");
    if (n == 1) {
      forms.SuppressIf(Expr::True());
      forms.Ref({L"Hidden", L"h", 9, 0, 0}, 2);
      forms.End();
    }
    forms.End();
    forms.Form(2, L"Second");  // the same form id in both form sets
    forms.Checkbox({n == 1 ? L"In Hidden Form" : L"In Visible Form", L"h", 1, 1, static_cast<uint16_t>(n)});
    forms.End();
  }
  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(64, 0));
  std::string script = Export(db.Bytes(), {Switch::Sp}).script;
  EXPECT_EQ(script.find("In Hidden Form"), std::string::npos);
  EXPECT_NE(script.find("\nSetup Question\t= In Visible Form\n"), std::string::npos);
}

}  // namespace
}  // namespace kes::test
