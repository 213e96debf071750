// Truncated and corrupted HII images: every walk ends and nothing is read outside the image
// (the sanitizers check the reads); a damaged image only yields fewer questions.
#include <random>

#include "hii/strings.h"
#include "tests/script/export_fixture.h"

namespace kes::test {
namespace {

std::vector<uint8_t> RichImage() {
  hiibuild::Database db;
  for (uint32_t n = 0; n < 2; ++n) {
    auto& list = db.AddList({0x51 + n, 1, 2, {}});
    list.Language("fr-FR");
    auto& f = list.AddForms();
    f.FormSet({0x61 + n, 0, 0, {}}, L"Set", L"Help");
    f.ClassAndSubclass(1, 2);
    f.VarStore(1, kSetupGuid, "Setup", 64);
    f.Form(1, L"First");
    f.Subtitle(L"Sub");
    f.OneOf({.prompt = L"One", .help = L"h", .id = 1, .varStore = 1, .offset = 0, .map = L"ONE"}, 1,
            {{0, L"Off"}, {1, L"On"}});
    f.SuppressIf(hiibuild::Expr::EqIdVal(1, 1));
    f.Numeric({L"Num", L"h", 2, 1, 1}, 2, 0, 100);
    f.End();
    f.GrayOutIf(hiibuild::And(hiibuild::Expr::True(), hiibuild::Expr::EqIdValList(1, {0, 1})));
    f.String({L"Str", L"h", 3, 1, 4}, 0, 8);
    f.End();
    f.Ref({L"Go", L"h", 4, 0, 0}, 2);
    f.End();
    f.Form(2, L"Second");
    f.OrderedList({L"Order", L"h", 5, 1, 20}, 3, {{1, L"a"}, {2, L"b"}, {3, L"c"}});
    f.Date({L"Date", L"h", 6, 1, 24});
    f.Time({L"Time", L"h", 7, 1, 28});
    f.Checkbox({L"Box", L"h", 8, 1, 31});
  }
  return db.Bytes();
}

class CorruptImage : public ExportFixture {
 protected:
  // Runs every walk over `image` forced to be taken as package lists; returns the script.
  std::string WalkAll(const std::vector<uint8_t>& image, std::initializer_list<Switch> switches) {
    NewRun();
    for (Switch s : switches) run_.switches.Set(s);
    run_.switches.Set(Switch::O);
    image_ = image;
    const HiiDatabase database = HiiDatabase::AsUefi(image_);
    const StringLookup strings(database, StringOptions::FromRun(run_));
    Evaluator evaluator(database, strings, fw_);
    evaluator.InitializeEvaluation();
    const SetupContext setup{run_, fw_, database, strings, &evaluator};
    FilePtr out(std::tmpfile());
    ConsoleCapture quiet;
    try {
      ExportScriptTo(setup, out.get(), nullptr, false);
      CheckMappingLanguages(setup);
    } catch (const UnsupportedStringBlocks&) {
      // a damaged block type is reported, not read through
    }
    std::string script;
    std::rewind(out.get());
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, out.get())) > 0;) script.append(buffer, n);
    return script;
  }
};

TEST_F(CorruptImage, EveryTruncationEndsCleanly) {
  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(64, 1));
  std::vector<uint8_t> full = RichImage();
  // The intact image exports all of its questions, so the damaged ones below are walked for real.
  EXPECT_EQ(WalkAll(full, {}).find("Setup Question\t= Box") != std::string::npos, true);
  for (size_t length = 0; length <= full.size(); length += (length < 64 ? 1 : 7)) {
    std::vector<uint8_t> cut(full.begin(), full.begin() + length);
    WalkAll(cut, {Switch::V, Switch::Lang});
  }
}

TEST_F(CorruptImage, RandomDamageEndsCleanly) {
  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(64, 1));
  std::vector<uint8_t> full = RichImage();
  std::mt19937 random(20261206);
  for (int round = 0; round < 400; ++round) {
    std::vector<uint8_t> damaged = full;
    int flips = 1 + round % 4;
    for (int i = 0; i < flips; ++i) {
      size_t at = random() % damaged.size();
      damaged[at] = static_cast<uint8_t>(round % 3 == 0 ? 0xFF : random());
    }
    WalkAll(damaged, {Switch::V});
  }
}

TEST_F(CorruptImage, LengthFieldsPointingFarOutside) {
  SetVariable("Setup", kSetupGuid, std::vector<uint8_t>(64, 1));
  std::vector<uint8_t> full = RichImage();
  // The first package header of the first list, and the first string package's StringInfoOffset.
  for (size_t at : {size_t{16}, size_t{20}, size_t{21}, size_t{22}, size_t{28}, size_t{29}}) {
    for (uint8_t value : {uint8_t{0}, uint8_t{1}, uint8_t{0x7F}, uint8_t{0xFF}}) {
      std::vector<uint8_t> damaged = full;
      damaged[at] = value;
      WalkAll(damaged, {Switch::Lang});
    }
  }
}

}  // namespace
}  // namespace kes::test
