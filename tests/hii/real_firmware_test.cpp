// HII databases exported by real EDK2 firmware: every walk handles them, every prompt and help
// string is found, and given variables of the declared sizes their questions are exported.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

#include "base/console.h"
#include "base/run_state.h"
#include "base/text.h"
#include "hii/hii_format.h"
#include "hii/hii_database.h"
#include "hii/question_walk.h"
#include "hii/setup_context.h"
#include "hii/strings.h"
#include "script/export.h"
#include "tests/support/firmware_root.h"
#include "tests/support/test_support.h"

namespace kes {
namespace {

std::vector<uint8_t> LoadFixture(const std::string& name) {
  auto bytes = test::ReadFileBytes(test::SourceDir() + "/tests/data/real-hii/" + name);
  EXPECT_TRUE(bytes) << name;
  return bytes ? *bytes : std::vector<uint8_t>{};
}

struct Declared {
  std::wstring name;
  EfiGuid guid;
  uint32_t size;
};

class RealFirmware : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override { ASSERT_EQ(database_.Format(), HiiFormat::Uefi); }
  test::PlainFirmwareRoot firmware_{true, true};
  FirmwareAccess& fw_ = firmware_.access();
  RunState run_;
  std::vector<uint8_t> image_ = LoadFixture(GetParam());
  const HiiDatabase database_{image_};
  const StringLookup strings_{database_, StringOptions{}};
  SetupContext setup_{run_, fw_, database_, strings_, nullptr};
  QuestionWalk walk_ = setup_.NewWalk(WalkContext{});
};

TEST_P(RealFirmware, WalksEveryFormSetAndFindsEveryString) {
  size_t formSets = 0, questions = 0, missingPrompts = 0, missingHelp = 0;
  std::map<std::string, Declared> declared;
  QuestionVisitor visitor;
  visitor.formSet = [&](const PackageList& list, const FormSetInfo& fs) {
    ++formSets;
    EXPECT_TRUE(strings_.GetString(list, fs.title, false)) << "form set title";
  };
  visitor.question = [&](const PackageList& list, const FormSetInfo&, const FormInfo&, QuestionRecord& r) {
    ++questions;
    if (r.Prompt && !strings_.GetString(list, r.Prompt, false)) ++missingPrompts;
    if (r.Help && !strings_.GetString(list, r.Help, false)) ++missingHelp;
    if (const VarStoreEntry* e = walk_.VarStores().At(r.VarStoreIndex))
      declared[FormatGuidText(e->Guid) + ToNarrow(e->Name)] = {e->Name, e->Guid, e->Size};
  };
  walk_.WalkQuestions(visitor);
  EXPECT_GT(formSets, 5u);
  EXPECT_GT(questions, 20u);  // hidden questions carry prompt id 0: no string to find
  EXPECT_EQ(missingPrompts, 0u);
  EXPECT_EQ(missingHelp, 0u);
  EXPECT_FALSE(declared.empty());
}

TEST_P(RealFirmware, ExportsQuestionsOnceTheirVariablesExist) {
  // First pass: the varstores the questions name, with their declared sizes.
  std::map<std::string, Declared> declared;
  size_t withStorage = 0;
  QuestionVisitor visitor;
  visitor.question = [&](const PackageList&, const FormSetInfo&, const FormInfo&, QuestionRecord& r) {
    if (const VarStoreEntry* e = walk_.VarStores().At(r.VarStoreIndex)) {
      declared[FormatGuidText(e->Guid) + ToNarrow(e->Name)] = {e->Name, e->Guid, e->Size};
      ++withStorage;
    }
  };
  walk_.WalkQuestions(visitor);
  ASSERT_GT(withStorage, 0u);

  // Without variables nothing can be exported.
  test::TempDir out;
  {
    FilePtr file(std::fopen((out / "empty.txt").c_str(), "w+"));
    ConsoleCapture capture;
    ASSERT_EQ(ExportScriptTo(setup_, file.get(), nullptr, false), 0u);
    EXPECT_EQ(capture.err(), "WARNING: HII data does not have setup questions information\n");
  }

  for (const auto& [key, d] : declared) {
    std::vector<uint8_t> content{7, 0, 0, 0};
    content.resize(4 + d.size, 0);
    test::WriteFileBytes(firmware_.VarPath(ToNarrow(d.name), d.guid), content);
  }
  FilePtr file(std::fopen((out / "script.txt").c_str(), "w+"));
  run_.switches.Set(Switch::O);
  ConsoleCapture capture;
  ASSERT_EQ(ExportScriptTo(setup_, file.get(), nullptr, false), 0u);
  std::string script = test::ReadFileText(out / "script.txt");
  size_t blocks = 0;
  for (size_t at = 0; (at = script.find("\nSetup Question\t= ", at)) != std::string::npos; ++at) ++blocks;
  for (size_t at = 0; (at = script.find("\n// Setup Question\t= ", at)) != std::string::npos; ++at) ++blocks;
  EXPECT_GT(blocks, 10u);
  for (unsigned char c : script) EXPECT_TRUE(c == '\n' || c == '\r' || c == '\t' || (c >= 0x20 && c <= 0x7E));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealFirmware,
                         ::testing::Values("aavmf-aarch64-hii.bin", "aavmf-aarch64-setup-nic-hii.bin"));

}  // namespace
}  // namespace kes
