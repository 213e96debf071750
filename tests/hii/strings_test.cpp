// Package-list chain, string packages and string lookups.
#include <gtest/gtest.h>

#include <memory>

#include "base/le.h"
#include "base/run_state.h"
#include "hii/hii_database.h"
#include "hii/strings.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes {
namespace {

using hiibuild::ByteVector;
using hiibuild::StringBlocks;

TEST(PackageListChain, AcceptsOnlyListsThatTileTheImage) {
  struct Case {
    const char* name;
    std::vector<uint32_t> lengths;  // declared lengths
    size_t imageSize;
    bool valid;
    uint16_t count;
  } cases[] = {
      {"empty image", {}, 0, true, 0},
      {"two lists summing exactly", {24, 40}, 64, true, 2},
      {"last list longer than the rest", {24, 60}, 64, false, 2},
      {"zero length", {24, 0}, 64, false, 1},
      {"one list shorter than the image", {24}, 30, false, 1},
  };
  for (const Case& c : cases) {
    ByteVector image(c.imageSize, 0);
    size_t at = 0;
    for (uint32_t length : c.lengths) {
      if (at + 20 <= image.size()) PutLe32(image.data() + at + 16, length);
      at += length ? length : 20;
    }
    EXPECT_EQ(IsPackageListChain(image), c.valid) << c.name;
    EXPECT_EQ(CountPackageLists(image), c.count) << c.name;
  }
}

class Strings : public ::testing::Test {
 protected:
  // Parses `bytes` as the database and returns its first list.
  PackageList Use(ByteVector bytes) {
    image_ = std::move(bytes);
    database_ = std::make_unique<HiiDatabase>(image_);
    EXPECT_EQ(database_->Format(), HiiFormat::Uefi);
    return database_->Lists().empty() ? PackageList{} : database_->Lists().front();
  }
  // Lookups under the run's switches as they are at the call.
  std::optional<std::wstring> GetString(const PackageList& list, uint16_t id, bool mapping,
                                        const std::wstring* match = nullptr) {
    return StringLookup(*database_, StringOptions::FromRun(run_)).GetString(list, id, mapping, match);
  }
  std::vector<std::string> LanguageList(bool mapping, bool noCompletion) {
    return StringLookup(*database_, StringOptions::FromRun(run_)).LanguageList(mapping, noCompletion);
  }
  static std::wstring Text(const std::optional<std::wstring>& s) { return s ? *s : L"<none>"; }
  RunState run_;
  ByteVector image_;
  std::unique_ptr<HiiDatabase> database_ = std::make_unique<HiiDatabase>();
};

TEST_F(Strings, BlockTypesSkipsAndEnd) {
  StringBlocks blocks;
  blocks.String(L"one").Strings({L"two", L"three"}).Skip2(3).Skip1(1).String(L"seven").End().String(L"after end");
  EfiGuid guid{1, 2, 3, {}};
  PackageList list = Use(hiibuild::PackageListBytes(
      guid, hiibuild::PackageBytes(hiibuild::package::kStrings,
                                   Bytes(hiibuild::StringPackageBytes("en-US", blocks.bytes())).subspan(4))));
  struct {
    uint16_t id;
    std::wstring want;
  } cases[] = {{0, L"<none>"}, {1, L"one"},     {2, L"two"},    {3, L"three"},
               {4, L"<none>"}, {6, L"<none>"}, {7, L"<none>"}, {8, L"seven"}, {9, L"<none>"}};
  for (const auto& c : cases) EXPECT_EQ(Text(GetString(list, c.id, false)), c.want) << c.id;
}

TEST_F(Strings, UnsupportedBlockFailsOnlyWhenALookupReachesIt) {
  StringBlocks blocks;
  blocks.String(L"before").Scsu("scsu").String(L"after").End();
  PackageList list = Use(hiibuild::PackageListBytes(
      {9, 9, 9, {}}, hiibuild::PackageBytes(hiibuild::package::kStrings,
                                            Bytes(hiibuild::StringPackageBytes("en-US", blocks.bytes())).subspan(4))));
  EXPECT_EQ(Text(GetString(list, 1, false)), L"before");
  EXPECT_THROW(GetString(list, 2, false), UnsupportedStringBlocks);
  EXPECT_THROW(GetString(list, 3, false), UnsupportedStringBlocks);
}

TEST_F(Strings, LanguageTagsTheEnRuleAndMapStrings) {
  hiibuild::PackageList builder({5, 5, 5, {}}, "en");
  uint16_t id = builder.AddString(L"Boot Mode");
  builder.SetMapString(id, L"BOOTMODE");
  builder.SetString("de", id, L"Startmodus");
  PackageList list = Use(builder.Bytes());

  EXPECT_EQ(Text(GetString(list, id, false)), L"Boot Mode");  // "en" answers an en-US request
  EXPECT_EQ(Text(GetString(list, id, true)), L"Boot Mode");   // mapping needs /lang
  run_.switches.Set(Switch::Lang);
  EXPECT_EQ(Text(GetString(list, id, false)), L"<none>");     // with /lang only en-US itself
  EXPECT_EQ(Text(GetString(list, id, true)), L"BOOTMODE");
  run_.langCode = L"de";
  EXPECT_EQ(Text(GetString(list, id, true)), L"Startmodus");
}

TEST_F(Strings, NamespaceCompletionOfTheLangCode) {
  using List = std::vector<std::string>;
  struct {
    std::optional<std::wstring> code;
    bool noCompletion;
    List want;
  } cases[] = {
      {std::nullopt, false, {"x-Vorn", "x-UEFI-Vorn"}},
      {L"x-Vorn", false, {"x-Vorn", "x-UEFI-Vorn"}},
      {L"x-UEFI-Vorn", false, {"x-UEFI-Vorn", "x-Vorn"}},
      {L"x-Vorn,x-UEFI-Vorn", false, {"x-Vorn", "x-UEFI-Vorn"}},
      {L"de", false, {"de"}},
      {L"x-Vorn", true, {"x-Vorn"}},
  };
  run_.switches.Set(Switch::Lang);
  for (const auto& c : cases) {
    run_.langCode = c.code;
    EXPECT_EQ(LanguageList(true, c.noCompletion), c.want);
  }
  EXPECT_EQ(LanguageList(false, false), List{"en-US"});
}

TEST_F(Strings, OnlyTheFirstListWithAGuidIsSearched) {
  hiibuild::Database db;
  EfiGuid shared{7, 7, 7, {}};
  db.AddList(shared).AddString(L"first");
  auto& second = db.AddList(shared);
  second.AddString(L"second");
  second.AddString(L"only in second");
  Use(db.Bytes());
  const auto& lists = database_->Lists();
  ASSERT_EQ(lists.size(), 2u);
  EXPECT_EQ(Text(GetString(lists[1], 1, false)), L"first");
  EXPECT_EQ(Text(GetString(lists[1], 2, false)), L"<none>");
}

TEST_F(Strings, SingleQuestionModeReturnsOnlyTheMatchingText) {
  hiibuild::PackageList builder({6, 6, 6, {}});
  uint16_t id = builder.AddString(L"Quiet Boot");
  builder.SetString("x-Vorn", id, L"QBOOT01");
  builder.SetString("x-UEFI-Vorn", id, L"QuietBoot");
  PackageList list = Use(builder.Bytes());
  run_.switches.Set(Switch::Lang);
  run_.switches.Set(Switch::Ms);
  std::wstring match = L"quietboot";
  EXPECT_EQ(Text(GetString(list, id, true, &match)), L"QuietBoot");
  match = L"qboot01";
  EXPECT_EQ(Text(GetString(list, id, true, &match)), L"QBOOT01");
  match = L"nothing";
  EXPECT_EQ(Text(GetString(list, id, true, &match)), L"<none>");
}

}  // namespace
}  // namespace kes
