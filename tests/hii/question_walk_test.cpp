// The question model and its walk: widths, ranges, varstores, form sets, map-string counting,
// special-control conditions, the numeric text check.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "base/run_state.h"
#include "hii/hii_format.h"
#include "hii/hii_database.h"
#include "hii/question_walk.h"
#include "tests/support/firmware_root.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes {
namespace {

using hiibuild::Opt;
namespace flags = hiibuild::flags;
namespace type = hiibuild::type;

constexpr EfiGuid kStore{0x12345678, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr EfiGuid kBootManager{0xB4909CF3, 0x7B93, 0x4751, {0x9B, 0xD8, 0x5B, 0xA8, 0x22, 0x0B, 0x9B, 0xB2}};

class Walk : public ::testing::Test {
 protected:
  void SetVariable(const std::string& name, const EfiGuid& guid, std::vector<uint8_t> data) {
    firmware_.PutVar(name, guid, 7, data);
  }

  // Parses the image and starts a walk over it (kept for the test to inspect).
  void Load(std::vector<uint8_t> image, WalkContext context = {}) {
    walk_.reset();
    strings_.reset();
    image_ = std::move(image);
    database_ = std::make_unique<HiiDatabase>(image_);
    strings_ = std::make_unique<StringLookup>(*database_, StringOptions::FromRun(run_));
    walk_ = std::make_unique<QuestionWalk>(*database_, *strings_, fw_, nullptr, std::move(context));
  }

  std::vector<QuestionRecord> Questions(std::vector<uint8_t> image, WalkContext context = {}) {
    Load(std::move(image), std::move(context));
    std::vector<QuestionRecord> out;
    QuestionVisitor v;
    v.question = [&](const PackageList&, const FormSetInfo&, const FormInfo&, QuestionRecord& r) { out.push_back(r); };
    walk_->WalkQuestions(v);
    return out;
  }

  test::PlainFirmwareRoot firmware_;
  FirmwareAccess& fw_ = firmware_.access();
  RunState run_;
  std::vector<uint8_t> image_;
  std::unique_ptr<HiiDatabase> database_;
  std::unique_ptr<StringLookup> strings_;
  std::unique_ptr<QuestionWalk> walk_;
};

struct OneForm {
  explicit OneForm(bool bootManager = false) : list({1, 0, 0, {}}) {
    forms = &list.AddForms();
    forms->FormSet({2, 0, 0, {}}, L"Set", L"Help");
    forms->VarStore(1, kStore, "Store", 32);
    if (bootManager) forms->VarStore(2, kBootManager, "BootManager", 4);
    forms->Form(1, L"Form");
  }
  hiibuild::PackageList list;
  hiibuild::Forms* forms;
};

TEST_F(Walk, WidthsAndRangesOfEveryKind) {
  OneForm f;
  f.forms->OrderedList({L"List8", L"h", 1, 1, 0}, 9, {{1, L"a"}, {2, L"b"}}, type::kNum8);
  f.forms->OrderedList({L"List16", L"h", 2, 1, 0}, 2, {{1, L"a"}}, type::kNum16);
  f.forms->OrderedList({L"List32", L"h", 3, 1, 0}, 2, {{1, L"a"}}, type::kNum32);
  f.forms->Numeric({L"S2", L"h", 4, 1, 0}, 2, 0x8000, 0x7FFF, 1, flags::kDisplayIntDec);
  f.forms->Numeric({L"S1", L"h", 5, 1, 0}, 1, 0x80, 0x7F, 1, flags::kDisplayIntDec);
  f.forms->Numeric({L"S4", L"h", 6, 1, 0}, 4, 0x80000000, 0xFFFFFFFF, 1, flags::kDisplayIntDec);
  f.forms->Numeric({L"U2", L"h", 7, 1, 0}, 2, 0x8000, 0xFFFF, 1, flags::kDisplayUintDec);
  f.forms->Numeric({L"S8", L"h", 8, 1, 0}, 8, 0x8000000000000000ULL, 0x7FFFFFFFFFFFFFFFULL, 1, flags::kDisplayIntDec);
  f.forms->String({L"Str", L"h", 9, 1, 0}, 2, 10);
  f.forms->Password({L"Pwd", L"h", 10, 1, 0}, 4, 12);
  f.forms->OneOf({L"One4", L"h", 11, 1, 0}, 4, {{7, L"x"}});
  f.forms->Date({L"Date", L"h", 12, 1, 0});
  f.forms->Time({L"Time", L"h", 13, 1, 0});
  f.forms->Checkbox({L"Box", L"h", 14, 1, 0});
  auto q = Questions(f.list.Bytes());
  ASSERT_EQ(q.size(), 14u);
  struct {
    uint16_t width;
    uint64_t min, max;
  } want[] = {
      {1, 0, 0},
      {2, 0, 0},
      {4, 0, 0},
      {2, static_cast<uint64_t>(-32768), 0x7FFF},
      {1, 0x80, 0x7F},
      {4, static_cast<uint64_t>(static_cast<int64_t>(INT32_MIN)), 0xFFFFFFFF},
      {2, 0x8000, 0xFFFF},
      {8, 0x8000000000000000ULL, 0x7FFFFFFFFFFFFFFFULL},
      {20, 2, 10},
      {24, 4, 12},
      {4, 0, 0},
      {4, 0, 0},
      {3, 0, 0},
      {1, 0, 0},
  };
  for (size_t i = 0; i < q.size(); ++i) {
    EXPECT_EQ(q[i].Width, want[i].width) << i;
    EXPECT_EQ(q[i].ValueInfo.Minimum, want[i].min) << i;
    EXPECT_EQ(q[i].ValueInfo.Maximum, want[i].max) << i;
  }
  EXPECT_EQ(q[0].ValueInfo.Options.size(), 2u);
  EXPECT_EQ(q[10].ValueInfo.Options.at(0).Value, 7u);
}

TEST_F(Walk, DatesAndTimesKeptOutsideTheVariablesAreNotQuestions) {
  OneForm f;
  f.forms->Time({L"RTC Time", L"h", 1, 1, 0}, flags::kStorageTime);
  f.forms->Date({L"Wake Date", L"h", 2, 1, 0}, flags::kStorageWakeup);
  f.forms->Time({L"Stored Time", L"h", 3, 1, 4});
  auto q = Questions(f.list.Bytes());
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].QuestionId, 3);
}

TEST_F(Walk, VarstoresAreRegisteredOnceWithTheirVariables) {
  SetVariable("Store", kStore, std::vector<uint8_t>(40, 9));  // larger than declared
  OneForm f;
  f.forms->Checkbox({L"A", L"h", 1, 1, 0});
  f.forms->End();
  f.forms->VarStore(5, kStore, "Store", 32);  // the same variable again, under another id
  f.forms->VarStoreEfi(6, {9, 9, 9, {}}, "Absent", 8);
  f.forms->Form(2, L"Second");
  f.forms->Checkbox({L"B", L"h", 2, 5, 1});
  f.forms->Checkbox({L"C", L"h", 3, 6, 1});
  auto q = Questions(f.list.Bytes());
  ASSERT_EQ(q.size(), 3u);
  const auto& entries = walk_->VarStores().Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].VarStoreId, 5u);
  EXPECT_EQ(entries[0].Size, 40u);
  EXPECT_EQ(entries[0].Attributes, 7u);
  EXPECT_EQ(q[1].VarStoreIndex, 0);
  EXPECT_FALSE(entries[1].Data);
  EXPECT_EQ(entries[1].Attributes, 0u);
  EXPECT_EQ(q[2].VarStoreIndex, 1);
  EXPECT_EQ(q[0].VarStoreIndex, 0);  // decoded while the entry still carried id 1
  EXPECT_EQ(walk_->VarStores().FindVarStoreIndex(1), 2);  // id 1 is no longer in the table: the number of entries
}

TEST_F(Walk, TwoWalksOfOneRunKeepTheirOwnTables) {
  SetVariable("Store", kStore, std::vector<uint8_t>(32, 1));
  OneForm f;
  f.forms->Checkbox({L"A", L"h", 1, 1, 0});
  f.forms->Checkbox({L"B", L"h", 2, 1, 1});
  auto first = Questions(f.list.Bytes());
  ASSERT_EQ(first.size(), 2u);
  // A second walk over the same database, started while the first still holds its table, sees
  // the same questions; a variable changed in between is read fresh by the new walk only.
  SetVariable("Store", kStore, std::vector<uint8_t>(32, 2));
  QuestionWalk second(*database_, *strings_, fw_, nullptr, WalkContext{});
  EXPECT_TRUE(second.VarStores().Entries().empty());
  size_t seen = 0;
  second.WalkQuestions({.question = [&](const PackageList&, const FormSetInfo&, const FormInfo&, QuestionRecord& r) {
    EXPECT_EQ(r.QuestionId, first[seen++].QuestionId);
  }});
  EXPECT_EQ(seen, 2u);
  EXPECT_EQ((*walk_->VarStores().At(0)->Data)[0], 1);
  EXPECT_EQ((*second.VarStores().At(0)->Data)[0], 2);
}

TEST_F(Walk, FormSetMustOpenTheFirstFormsPackage) {
  hiibuild::PackageList list({1, 0, 0, {}});
  auto& first = list.AddForms();
  first.Op(hii::IFR_GUID, std::vector<uint8_t>(16, 0));
  auto& second = list.AddForms();
  second.FormSet({2, 0, 0, {}}, L"Set", L"Help");
  second.Form(1, L"Form");
  second.Checkbox({L"A", L"h", 1, 1, 0});
  Load(list.Bytes());
  EXPECT_FALSE(walk_->FirstFormSet(*NextPackageList(image_, nullptr)));

  OneForm f;
  f.forms->ClassAndSubclass(0x0D, 0x2A);
  Load(f.list.Bytes());
  auto info = walk_->FirstFormSet(*NextPackageList(image_, nullptr));
  ASSERT_TRUE(info);
  EXPECT_EQ(info->classId, 0x0D);
  EXPECT_EQ(info->subClass, 0x2A);
}

TEST_F(Walk, MapStringMatchesCountDistinctStorage) {
  auto build = [](uint16_t secondOffset) {
    OneForm f;
    f.forms->Checkbox({.prompt = L"A", .help = L"h", .id = 1, .varStore = 1, .offset = 4, .map = L"FEAT01"});
    f.forms->Checkbox({.prompt = L"B", .help = L"h", .id = 2, .varStore = 1, .offset = secondOffset, .map = L"feat01"});
    f.forms->Checkbox({.prompt = L"C", .help = L"h", .id = 3, .varStore = 1, .offset = 9, .map = L"OTHER"});
    return f.list.Bytes();
  };
  run_.switches.Set(Switch::Ms);
  run_.switches.Set(Switch::Lang);
  struct {
    const wchar_t* map;
    uint16_t secondOffset;
    int want;
  } cases[] = {{L"NOPE", 4, 0}, {L"other", 4, 1}, {L"FEAT01", 4, 1}, {L"FEAT01", 5, 2}};
  for (const auto& c : cases) {
    Load(build(c.secondOffset));
    WalkContext context;
    context.mapString = c.map;
    EXPECT_EQ(CountMapStringMatches(*database_, *strings_, fw_, nullptr, context), c.want) << c.secondOffset;
  }
}

TEST_F(Walk, SpecialControlConditionMarksTheNextQuestion) {
  OneForm f(true);
  f.forms->Checkbox({L"Marker", L"h", 0x50, 2, 0});
  f.forms->SuppressIf(hiibuild::Expr::EqIdVal(0x50, 0xFFFF));
  f.forms->OrderedList({L"Boot Option #", L"h", 1, 1, 0}, 4, {{1, L"a"}}, type::kNum16);
  f.forms->End();
  f.forms->SuppressIf(hiibuild::Expr::EqIdVal(0x50, 0xFFFE));
  f.forms->Checkbox({L"Ordinary", L"h", 2, 1, 8});
  f.forms->End();
  SetVariable("BootManager", kBootManager, {0, 0, 0, 0});
  auto q = Questions(f.list.Bytes());
  ASSERT_EQ(q.size(), 3u);
  EXPECT_EQ(q[1].ControlVarStoreIndex, 1u);
  EXPECT_EQ(q[1].ValueInfo.Flags & 1, 1);
  EXPECT_EQ(walk_->VarStores().GetSpecialControlKind(q[1].ControlVarStoreIndex), SpecialControlKind::BootOrder);
  EXPECT_EQ(q[2].ValueInfo.Flags & 1, 0);
}

TEST_F(Walk, SpecialControlTestIsTheFirstInsideTheConditionsScope) {
  using hiibuild::Expr;
  using hiibuild::Forms;
  const Expr marker = Expr::EqIdVal(0x50, 0xFFFF);
  auto box = [](Forms& f, uint16_t id) { f.Checkbox({L"Q", L"h", id, 1, static_cast<uint16_t>(id)}); };
  struct Case {
    const char* name;
    std::function<void(Forms&)> build;
    std::vector<int> flags;  // bit 0 of each question's ValueInfo.Flags, in walk order
  } cases[] = {
      {"a nested condition's test counts for the outer condition",
       [&](Forms& f) {
         f.SuppressIf(Expr::True());
         box(f, 1);
         f.SuppressIf(marker);
         box(f, 2);
         f.End();
         f.End();
       },
       {0, 1, 1}},
      {"a test after the condition's scope does not count for it",
       [&](Forms& f) {
         f.SuppressIf(Expr::True());
         box(f, 1);
         f.End();
         f.SuppressIf(marker);
         box(f, 2);
         f.End();
       },
       {0, 0, 1}},
      {"only the first test of the scope is taken",
       [&](Forms& f) {
         f.SuppressIf(And(Expr::EqIdVal(0x50, 1), marker));
         box(f, 1);
         f.End();
       },
       {0, 0}},
      {"a list counts by its first value",
       [&](Forms& f) {
         f.GrayOutIf(Expr::EqIdValList(0x50, {0xFFFF, 1}));
         box(f, 1);
         f.End();
         f.GrayOutIf(Expr::EqIdValList(0x50, {1, 0xFFFF}));
         box(f, 2);
         f.End();
       },
       {0, 1, 0}},
      {"the tested question is the first of its id, even in a later form",
       [&](Forms& f) {
         f.SuppressIf(Expr::EqIdVal(0x60, 0xFFFF));
         box(f, 1);
         f.End();
         f.End();
         f.Form(2, L"Later");
         f.Checkbox({L"Second Marker", L"h", 0x60, 2, 1});
         f.Checkbox({L"Ordinary Twin", L"h", 0x60, 1, 9});
       },
       {0, 1, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OneForm f(true);
    f.forms->Checkbox({L"Marker", L"h", 0x50, 2, 0});
    c.build(*f.forms);
    SetVariable("BootManager", kBootManager, {0, 0, 0, 0});
    auto q = Questions(f.list.Bytes());
    std::vector<int> flags;
    for (const QuestionRecord& r : q) {
      flags.push_back(r.ValueInfo.Flags & 1);
      if (r.ValueInfo.Flags & 1) {
        EXPECT_EQ(r.ControlVarStoreIndex, 1u);
      }
    }
    EXPECT_EQ(flags, c.flags);
  }
}

TEST_F(Walk, DefaultOpcodeIsTheFirstInsideTheQuestion) {
  OneForm f;
  hiibuild::Extra withDefault;
  withDefault.defaults = {{hiibuild::kDefaultStandard, 3}};
  f.forms->Numeric({L"N", L"h", 1, 1, 0}, 1, 0, 9, 1, flags::kDisplayUintDec, withDefault);
  f.forms->Numeric({L"M", L"h", 2, 1, 1}, 1, 0, 9);
  f.forms->String({L"S", L"h", 3, 1, 2}, 0, 4, 0, withDefault);
  auto q = Questions(f.list.Bytes());
  ASSERT_EQ(q.size(), 3u);
  auto def = DefaultOpcode(image_, q[0]);
  ASSERT_TRUE(def);
  EXPECT_EQ(def->code, hii::IFR_DEFAULT);
  EXPECT_FALSE(DefaultOpcode(image_, q[1]));
  EXPECT_FALSE(DefaultOpcode(image_, q[2]));
}

TEST(NumericTextCheck, HexadecimalAndDecimalTexts) {
  struct {
    const char* text;
    bool decimal;
    int want;
  } cases[] = {
      {nullptr, false, 1}, {"", false, 1},     {"0x1F", false, 0}, {"1F", false, 0},   {"0X00", false, 0},
      {"00", false, 0},    {"x1", false, 1},   {"1x2", false, 1},  {"G1", false, 1},   {"-5", false, 1},
      {"-5", true, 0},     {"+", true, 1},     {"-", true, 1},     {"12a", true, 1},   {"00", true, 0},
      {"-0", true, 0},     {"1F", true, 1},    {"18446744073709551616", true, 1},      {"FFFFFFFFFFFFFFFF", false, 0},
      {"10000000000000000", false, 1},
  };
  for (const auto& c : cases) EXPECT_EQ(NumericTextCheck(c.text, c.decimal), c.want) << (c.text ? c.text : "null");
}

}  // namespace
}  // namespace kes
