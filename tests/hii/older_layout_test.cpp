// The older HII layout: the layout test, the data tables, the form walk with its varstores and
// special-control conditions, and strings in the "Lang" language only.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "hii/hii_database.h"
#include "hii/older_layout.h"
#include "hii/question_walk.h"
#include "tests/support/firmware_root.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/older_layout.h"

namespace kes {
namespace {

using hiibuild::OlderImageBytes;
using hiibuild::OlderTable;

constexpr EfiGuid kMain{0x11111111, 0x2222, 0x3333, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr EfiGuid kFront{0x44444444, 0x5555, 0x6666, {1, 2, 3, 4, 5, 6, 7, 9}};
constexpr EfiGuid kBootStore{0xB4909CF3, 0x7B93, 0x4751, {0x9B, 0xD8, 0x5B, 0xA8, 0x22, 0x0B, 0x9B, 0xB2}};

// A form set with one question per kind; a French translation of the first prompt.
OlderTable MainTable() {
  OlderTable t(1, kMain);
  t.AddLanguage("fra", L"Francais");
  t.FormSet(kMain, L"Main", L"Main help", 1, 3);
  t.Form(1, L"Main");
  auto quiet = t.OneOf({.prompt = L"Quiet Boot", .offset = 2, .width = 1}, {{0, L"Off"}, {1, L"On"}});
  t.SetString("fra", quiet.prompt, L"Demarrage");
  t.CheckBox({.prompt = L"NumLock", .offset = 3, .key = 0x1002, .flags = 2});
  t.Numeric({.prompt = L"Timeout", .offset = 4, .width = 2, .key = 0x1003}, 1, 100, 1, 5);
  t.String({.prompt = L"Asset Tag", .offset = 6, .width = 8, .key = 0x1004}, 1, 4);
  t.OrderedList({.prompt = L"Order", .offset = 14, .width = 3}, {{1, L"A"}, {2, L"B"}, {3, L"C"}});
  t.EndForm();
  t.EndFormSet();
  return t;
}

class OlderLayout : public ::testing::Test {
 protected:
  void Load(std::vector<uint8_t> image, const std::wstring& language = L"eng") {
    walk_.reset();
    strings_.reset();
    image_ = std::move(image);
    database_ = std::make_unique<HiiDatabase>(image_);
    StringOptions options;
    options.olderLanguage = language;
    strings_ = std::make_unique<StringLookup>(*database_, options);
    walk_ = std::make_unique<QuestionWalk>(*database_, *strings_, firmware_.access(), nullptr, WalkContext{});
  }

  struct Seen {
    PackageList list;
    QuestionRecord record;
  };
  std::vector<Seen> Questions() {
    std::vector<Seen> out;
    QuestionVisitor v;
    v.question = [&](const PackageList& list, const FormSetInfo&, const FormInfo&, QuestionRecord& r) {
      out.push_back({list, r});
    };
    walk_->WalkQuestions(v);
    return out;
  }
  std::wstring Prompt(const Seen& q) { return strings_->GetString(q.list, q.record.Prompt, false).value_or(L"?"); }

  test::PlainFirmwareRoot firmware_;
  std::vector<uint8_t> image_;
  std::unique_ptr<HiiDatabase> database_;
  std::unique_ptr<StringLookup> strings_;
  std::unique_ptr<QuestionWalk> walk_;
};

TEST_F(OlderLayout, LayoutTestAcceptsTablesThatTileTheImage) {
  std::vector<uint8_t> table = MainTable().Bytes();
  OlderTable sized = MainTable();
  sized.declaredSize = 10;  // ends before the image does
  OlderTable zero = MainTable();
  zero.declaredSize = 0;    // taken as 46 bytes
  struct Case {
    const char* name;
    std::vector<uint8_t> image;
    bool older;
  } cases[] = {
      {"one table", OlderImageBytes({table}), true},
      {"two tables", OlderImageBytes({table, table}), true},
      {"last table runs past the end", [&] { auto i = OlderImageBytes({table}); i.resize(i.size() - 8); return i; }(), true},
      {"tables end before the image", [&] { auto i = OlderImageBytes({table}); i.push_back(0); return i; }(), false},
      {"sizes pass the end before the last table", OlderImageBytes({table, table}, 3), false},
      {"short size field", OlderImageBytes({sized.Bytes()}), false},
      {"size 0 is 46 bytes", [&] { auto i = OlderImageBytes({zero.Bytes()}); i.resize(18 + 46); return i; }(), true},
      {"no tables", OlderImageBytes({}), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsOlderHiiLayout(c.image), c.older) << c.name;
  EXPECT_EQ(ClassifyHiiLayout(OlderImageBytes({table})), HiiFormat::Older);
}

TEST_F(OlderLayout, RealUefiImagesAreNotTakenForTheOlderLayout) {
  for (const auto& entry : std::filesystem::directory_iterator(test::SourceDir() + "/tests/data/real-hii")) {
    auto image = test::ReadFileBytes(entry.path());
    ASSERT_TRUE(image) << entry.path();
    EXPECT_FALSE(IsOlderHiiLayout(*image)) << entry.path();
  }
}

TEST_F(OlderLayout, QuestionsOfEveryKindIntoTheRecord) {
  firmware_.PutVar("Setup", kMain, 7, std::vector<uint8_t>(32, 0));
  Load(OlderImageBytes({MainTable().Bytes()}));
  auto questions = Questions();
  ASSERT_EQ(questions.size(), 5u);
  const QuestionRecord& oneOf = questions[0].record;
  EXPECT_EQ(Prompt(questions[0]), L"Quiet Boot");
  EXPECT_EQ(oneOf.VarOffset, 2);
  EXPECT_EQ(oneOf.QuestionId, 0);
  ASSERT_EQ(oneOf.ValueInfo.Options.size(), 2u);
  EXPECT_EQ(oneOf.ValueInfo.Options[1].Value, 1u);
  const QuestionRecord& checkbox = questions[1].record;
  EXPECT_EQ(checkbox.QuestionId, 0x1002);
  EXPECT_EQ(checkbox.ValueInfo.StdDefault, 0u);
  EXPECT_EQ(checkbox.ValueInfo.MfgDefault, 1u);
  const QuestionRecord& numeric = questions[2].record;
  EXPECT_EQ(numeric.Width, 2);
  EXPECT_EQ(numeric.ValueInfo.Minimum, 1u);
  EXPECT_EQ(numeric.ValueInfo.Maximum, 100u);
  EXPECT_EQ(numeric.ValueInfo.StdDefault, 5u);
  const QuestionRecord& text = questions[3].record;
  EXPECT_EQ(text.ValueInfo.Minimum, 1u);
  EXPECT_EQ(text.ValueInfo.Maximum, 4u);
  // An ordered list stores one byte per entry.
  const QuestionRecord& order = questions[4].record;
  EXPECT_EQ(order.Width, 1);
  EXPECT_EQ(order.ValueInfo.Options.size(), 3u);
  for (const Seen& q : questions) {
    EXPECT_TRUE(q.record.OlderEncoding);
    const VarStoreEntry* store = walk_->VarStores().At(q.record.VarStoreIndex);
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->Name, L"Setup");
    EXPECT_EQ(store->Size, 32u);  // the variable's size: the form set declares none
  }
}

TEST_F(OlderLayout, ClassZeroFormSetContributesNothing) {
  OlderTable front(2, kFront);
  front.FormSet(kFront, L"Front", L"", 0, 2);
  front.Form(1, L"Front");
  front.CheckBox({.prompt = L"Hidden", .offset = 0});
  front.EndForm();
  front.EndFormSet();
  firmware_.PutVar("Setup", kMain, 7, std::vector<uint8_t>(32, 0));
  firmware_.PutVar("Setup", kFront, 7, std::vector<uint8_t>(4, 0));
  Load(OlderImageBytes({front.Bytes(), MainTable().Bytes()}));
  ASSERT_EQ(database_->Lists().size(), 2u);
  EXPECT_FALSE(walk_->FirstFormSet(database_->Lists()[0]));
  EXPECT_TRUE(walk_->VarStores().Entries().empty());
  EXPECT_EQ(Questions().size(), 5u);
}

TEST_F(OlderLayout, SuppressIfOnFfffMarksASpecialControlWithItsVariable) {
  OlderTable t(1, kMain);
  t.FormSet(kMain, L"Boot", L"", 1);
  t.VarStore(1, kBootStore, "BootManager", 8);
  t.Form(1, L"Boot");
  t.EndIf();
  t.SuppressIf();
  t.VarStoreSelect(1);
  t.EqIdVal(0, 2, 0xFFFF);
  t.OneOf({.prompt = L"Boot Option #", .offset = 0, .width = 2}, {{0, L"None"}});
  t.EndIf();
  t.VarStoreSelect(0);
  t.SuppressIf();
  t.EqIdVal(0, 1, 0xFFFE);
  t.CheckBox({.prompt = L"Ordinary", .offset = 1});
  t.EndIf();
  t.EndForm();
  t.EndFormSet();
  firmware_.PutVar("Setup", kMain, 7, std::vector<uint8_t>(4, 0));
  firmware_.PutVar("BootManager", kBootStore, 7, std::vector<uint8_t>(8, 0));
  Load(OlderImageBytes({t.Bytes()}));
  auto questions = Questions();
  ASSERT_EQ(questions.size(), 2u);
  const QuestionRecord& special = questions[0].record;
  EXPECT_EQ(special.ValueInfo.Flags & 1, 1);
  const VarStoreEntry* control = walk_->VarStores().At(special.ControlVarStoreIndex);
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(control->Name, L"BootManager");
  EXPECT_EQ(walk_->VarStores().GetSpecialControlKind(special.ControlVarStoreIndex), SpecialControlKind::BootOrder);
  EXPECT_EQ(walk_->VarStores().At(special.VarStoreIndex)->Name, L"BootManager");
  const QuestionRecord& ordinary = questions[1].record;
  EXPECT_EQ(ordinary.ValueInfo.Flags & 1, 0);
  EXPECT_EQ(walk_->VarStores().At(ordinary.VarStoreIndex)->Name, L"Setup");
}

TEST_F(OlderLayout, StringsComeOnlyFromTheLangLanguage) {
  OlderTable english(3, kFront);  // strings in English only
  english.FormSet(kFront, L"Front", L"", 1);
  english.Form(1, L"Front");
  english.CheckBox({.prompt = L"Only English", .offset = 0});
  english.EndForm();
  english.EndFormSet();
  firmware_.PutVar("Setup", kMain, 7, std::vector<uint8_t>(32, 0));
  firmware_.PutVar("Setup", kFront, 7, std::vector<uint8_t>(4, 0));
  std::vector<uint8_t> image = OlderImageBytes({MainTable().Bytes(), english.Bytes()});
  struct Case {
    std::wstring language;
    std::wstring first, last;
  } cases[] = {
      {L"eng", L"Quiet Boot", L"Only English"},
      {L"fra", L"Demarrage", L"?"},
      {L"deu", L"?", L"?"},
      {L"", L"?", L"?"},
  };
  for (const Case& c : cases) {
    Load(image, c.language);
    auto questions = Questions();
    ASSERT_EQ(questions.size(), 6u);
    EXPECT_EQ(Prompt(questions.front()), c.first) << std::string(c.language.begin(), c.language.end());
    EXPECT_EQ(Prompt(questions.back()), c.last) << std::string(c.language.begin(), c.language.end());
  }
  // A token past the pack's pointers has no string.
  Load(image);
  EXPECT_FALSE(strings_->GetString(database_->Lists()[0], 0xFFFF, false));
}

TEST_F(OlderLayout, DamagedTablesEndTheWalkInsideTheImage) {
  std::vector<uint8_t> good = OlderImageBytes({MainTable().Bytes()});
  firmware_.PutVar("Setup", kMain, 7, std::vector<uint8_t>(32, 0));
  // Cut at every length and with every length byte of the IFR pack zeroed or maxed: the walk
  // stays inside the image (the sanitizers watch) and never hands out more than the whole.
  for (size_t cut = 18; cut < good.size(); cut += 7) {
    std::vector<uint8_t> image(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    Load(image);
    EXPECT_LE(Questions().size(), 5u) << cut;
  }
  for (size_t at = 18; at < good.size(); ++at) {
    for (uint8_t value : {0x00, 0xFF}) {
      std::vector<uint8_t> image = good;
      image[at] = value;
      Load(image);
      EXPECT_LE(Questions().size(), 5u) << at;
    }
  }
}

}  // namespace
}  // namespace kes
