// Edge behaviour of the common text and file helpers.
#include <gtest/gtest.h>

#include "base/console.h"
#include "base/guid.h"
#include "base/text.h"
#include "tests/support/test_support.h"

namespace kes {
namespace {

TEST(TextHelpers, Utf16Conversions) {
  EXPECT_EQ(WideToUtf16Bytes(L"", true), (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(WideToUtf16Bytes(L"A\u00e9", false), (std::vector<uint8_t>{'A', 0, 0xE9, 0}));
  EXPECT_EQ(WideToUtf16(L"\U0001F600"), std::u16string(1, char16_t{0xF600}));  // one unit per character
  const std::vector<uint8_t> odd{'a', 0, 'b'};
  EXPECT_EQ(Utf16BytesToWide(odd, false), L"a");  // a lone last byte is no unit
  const std::vector<uint8_t> unterminated{'a', 0, 'b', 0};
  EXPECT_EQ(Utf16Length(unterminated), 2u);  // never past the end
  const std::vector<uint8_t> terminated{'a', 0, 0, 0, 'b', 0};
  EXPECT_EQ(Utf16Length(terminated), 1u);
  EXPECT_EQ(Utf16BytesToWide(terminated, true), L"a");
  EXPECT_EQ(CompareWideToUtf16(L"ab", u"ab"), 0);
  EXPECT_EQ(CompareWideToUtf16(L"ab", u"abc"), -'c');
  EXPECT_EQ(CompareWideToUtf16(L"b", u"a"), 1);
}

TEST(TextHelpers, GuidTextRoundTrips) {
  for (const char* text : {"8be4df61-93ca-11d2-aa0d-00e098032b8c", "00000000-0000-0000-0000-000000000000",
                           "ffffffff-ffff-ffff-ffff-ffffffffffff", "0123abcd-0a0b-f00f-8091-a1b2c3d4e5f6"}) {
    auto guid = ParseGuidText(text);
    ASSERT_TRUE(guid) << text;
    EXPECT_EQ(FormatGuidText(*guid), text);
  }
}

TEST(TextHelpers, TrimsAndFilters) {
  struct Case {
    std::string in, leading, trailing;
  } cases[] = {{" ", "", " "}, {"  a b \t\n", "a b \t\n", "  a b"}, {"", "", ""}, {"x", "x", "x"}};
  for (const Case& c : cases) {
    std::string a = c.in, b = c.in;
    TrimLeading(a);
    TrimTrailing(b);
    EXPECT_EQ(a, c.leading);
    EXPECT_EQ(b, c.trailing);
  }
  std::wstring w = L" \t x y \r\n";
  TrimWide(w);
  EXPECT_EQ(w, L"x y");
  std::string n = "a\tb\x7f\xc3";
  ReplaceUnprintable(n);
  EXPECT_EQ(n, "a b  ");
  std::wstring wn = L"a\u00e9\x01z";
  ReplaceUnprintable(wn);
  EXPECT_EQ(wn, L"a  z");
}

TEST(TextHelpers, CaseInsensitiveSearch) {
  EXPECT_EQ(FindNoCase("string table", "TABLE"), 7u);  // at the t of table in the searched text
  EXPECT_EQ(FindNoCase("tab", "TABLE"), std::string::npos);
  EXPECT_EQ(FindNoCase("string", "x"), std::string::npos);
  EXPECT_EQ(CompareNoCase("Abc", "aBC"), 0);
  EXPECT_NE(CompareNoCase("Abc", "aBCd"), 0);
}

TEST(TextHelpers, WriteFileReportsEveryFailure) {
  test::TempDir dir;
  const std::vector<uint8_t> data{1, 2, 3};
  ConsoleCapture capture;
  EXPECT_EQ(WriteFile(dir / "a.bin", data), 0);
  EXPECT_EQ(test::ReadFileBytes(dir / "a.bin"), data);
  EXPECT_EQ(WriteFile("", data), 1);
  EXPECT_EQ(WriteFile(dir / "no/a.bin", data), 1);
  EXPECT_EQ(WriteFile("/dev/full", data), 1);
  EXPECT_EQ(capture.out(), "File Name Not Provided\nUnable to create file " + (dir / "no/a.bin") +
                               "\nUnable to write into file : /dev/full\n");
}

TEST(TextHelpers, WriteFileInDirectoryJoinsWithOneSlash) {
  test::TempDir dir;
  test::MakeDirs(dir / "out");
  const std::vector<uint8_t> one{1}, two{2};
  EXPECT_EQ(WriteFileInDirectory(ToWide(dir / "out/"), "a.bin", one), 1);
  EXPECT_EQ(test::ReadFileBytes(dir / "out/a.bin"), one);
  EXPECT_EQ(WriteFileInDirectory(ToWide(dir / "out"), "a.bin", two), 1);
  EXPECT_EQ(test::ReadFileBytes(dir / "out/a.bin"), two);
  ConsoleCapture capture;
  EXPECT_EQ(WriteFileInDirectory(ToWide(dir / "missing"), "a.bin", one), 0);
}

}  // namespace
}  // namespace kes
