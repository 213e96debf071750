// The export through the built tool against the firmware emulator: condition evaluation and
// /ndef on the demo firmware, and the run-ending failures of bad HII data.
#include <gtest/gtest.h>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes::test {
namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

class DemoThroughEmulator : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    ASSERT_EQ(hiibuild::WriteEmulatorImage(*dir_ / "image", hiibuild::BuildDemoFirmware()), "");
  }
  static void TearDownTestSuite() { delete dir_; }

  std::string Export(const std::vector<std::string>& extra, ProcessResult* result = nullptr) {
    Emulator emu(*dir_ / "image");
    EXPECT_TRUE(emu.Started()) << emu.Output();
    std::string path = *dir_ / "script.txt";
    std::vector<std::string> args{"/o", "/s", path, "/hb"};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcessResult run = RunTool(args, {.env = emu.Env()});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    if (result) *result = run;
    return ReadFileText(path);
  }
  static TempDir* dir_;
};
TempDir* DemoThroughEmulator::dir_ = nullptr;

TEST_F(DemoThroughEmulator, SuppressAndGrayOutChangeTheExport) {
  std::string plain = Export({});
  std::string suppressed = Export({"/sp"});
  std::string marked = Export({"/sp", "/g", "/ce"});
  std::string verbose = Export({"/sp", "/g", "/ce", "/v"});

  // C-State Limit is suppressed while C-States is Disabled; Debug Settings hides behind a
  // suppressed REF.
  EXPECT_NE(plain.find("\nSetup Question\t= C-State Limit\n"), std::string::npos);
  EXPECT_EQ(suppressed.find("C-State Limit"), std::string::npos);
  EXPECT_EQ(suppressed.find("Debug Port"), std::string::npos);
  EXPECT_LT(Count(suppressed, "Setup Question\t= "), Count(plain, "Setup Question\t= "));

  EXPECT_NE(marked.find("\n// SUPPRESS\n// Setup Question\t= C-State Limit\n"), std::string::npos);
  EXPECT_NE(marked.find("\n// SUPPRESS FORM\n"), std::string::npos);
  EXPECT_NE(marked.find("// ENDOF SUPPRESSED FORM\n"), std::string::npos);
  EXPECT_NE(marked.find("\n// GRAYOUT\n// Setup Question\t= Turbo Ratio Limit 1 Core\n"), std::string::npos);
  EXPECT_EQ(Count(marked, "\n// SUPPRESS\n"), Count(marked, "// ENDOF SUPPRESS\n"));
  EXPECT_EQ(Count(marked, "\n// GRAYOUT\n"), Count(marked, "// ENDOF GRAYOUT\n"));
  // Every question is in the file once more, only commented.
  EXPECT_EQ(Count(marked, "Setup Question\t= "), Count(plain, "Setup Question\t= "));

  EXPECT_NE(verbose.find("\n// SUPPRESS FORM\n\n// FORM\n"), std::string::npos);
  EXPECT_NE(verbose.find("\n// SUPPRESS\n// GUID\t= "), std::string::npos);
  EXPECT_NE(verbose.find("\n// FORM SET\n// GUID\t= "), std::string::npos);
}

TEST_F(DemoThroughEmulator, NdefKeepsValuesThatDifferFromTheirDefault) {
  std::string all = Export({});
  std::string differing = Export({"/ndef"});
  size_t blocks = Count(differing, "Setup Question\t= ");
  EXPECT_GT(blocks, 10u);
  EXPECT_LT(blocks, Count(all, "Setup Question\t= ") / 2);
  // A question whose value equals its default is left out; Setup Mode differs and stays.
  EXPECT_NE(all.find("\nSetup Question\t= Last Service Date\n"), std::string::npos);
  EXPECT_EQ(differing.find("Last Service Date"), std::string::npos);
  EXPECT_NE(differing.find("\nSetup Question\t= Setup Mode\n"), std::string::npos);
}

TEST(ExportFailures, BadHiiDataThroughTheEmulator) {
  TempDir dir;
  hiibuild::StringBlocks blocks;
  blocks.String(L"Prompt").Scsu("x").String(L"Help").End();
  // A question prompted by string 1 (before the unsupported block) or string 3 (behind it, so
  // that the /lang check meets the block before the export does).
  auto image = [&](uint16_t prompt) {
    hiibuild::PackageList list({1, 2, 3, {}});
    list.Language("en-US").explicitBlocks = blocks;
    auto& forms = list.AddForms();
    forms.FormSet({4, 5, 6, {}}, hiibuild::Str::Id(1), hiibuild::Str::Id(1));
    forms.VarStore(1, {7, 7, 7, {}}, "Store", 4);
    forms.Form(1, hiibuild::Str::Id(1));
    forms.Checkbox({hiibuild::Str::Id(prompt), hiibuild::Str::Id(3), 1, 1, 0});
    return list.Bytes();
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> hii;
    std::vector<std::string> extra;
    int exitCode;
    std::string err;
  } cases[] = {
      {"unsupported string block", image(1), {}, 1, "The BIOS has unsupported string blocks.\n"},
      {"unsupported string block in the language check", image(3), {"/lang", "en-US"}, 1,
       "The BIOS has unsupported string blocks.\n"},
      {"no questions", {}, {}, 0, "WARNING: HII data does not have setup questions information\n\nScript file exported successfully.\n"},
      {"not package lists", std::vector<uint8_t>(64, 0), {}, 1, "BIOS UEFI version not supported.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FirmwareImage image(dir / c.name);
    image.Hii(c.hii).Fidt().Var("Store", "00000007-0007-0007-0000-000000000000", 7, {1, 0, 0, 0});
    Emulator emu(image.dir());
    ASSERT_TRUE(emu.Started()) << emu.Output();
    std::string path = dir / (std::string(c.name) + ".txt");
    WriteFileText(path, "the user's script");
    std::vector<std::string> args{"/o", "/s", path, "/hb"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    ProcessResult run = RunTool(args, {.env = emu.Env()});
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_EQ(run.err, c.err);
    // A failed export leaves no partial output: the user's file is as it was.
    if (c.exitCode != 0) {
      EXPECT_EQ(ReadFileText(path), "the user's script");
    } else {
      EXPECT_EQ(ReadFileText(path).rfind("// Script File Name : " + path + "\n", 0), 0u);
    }
  }
}

}  // namespace
}  // namespace kes::test
