#include <gtest/gtest.h>

#include "base/console.h"
#include "base/text.h"

namespace kes {
namespace {

TEST(Console, FormatsPrintfConversionsIndependentlyOfLocale) {
  struct Case {
    std::wstring got;
    std::wstring want;
  } cases[] = {
      {WFormat(L"ERROR:%X - %ls\n", 87u, L"x"), L"ERROR:57 - x\n"},
      {WFormat(L"[%02llX]%ls", 1ULL, L"Enabled"), L"[01]Enabled"},
      {WFormat(L"%-12ls- y", L"/o"), L"/o          - y"},
      {WFormat(L"<%d>", -5), L"<-5>"},
      {WFormat(L"<%lld>", -9223372036854775807LL - 1), L"<-9223372036854775808>"},
      {WFormat(L"%04X ", 0xE9u), L"00E9 "},
      {WFormat(L"%c%c", 'A', 'b'), L"Ab"},
      {WFormat(L"%s|%ls", "narrow", L"wide"), L"narrow|wide"},
      {WFormat(L"%08x-%04x", 0x280bcc15u, 0x2cd7u), L"280bcc15-2cd7"},
      {WFormat(L"100%%"), L"100%"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(Console, NonAsciiTextRoundTripsThroughBytes) {
  std::wstring text = L"Fran\u00e7ais \u20ac";
  EXPECT_EQ(DecodeText(EncodeText(text)), text);
  std::string invalid = "a\xff\xc3";  // not UTF-8: kept byte for byte
  EXPECT_EQ(EncodeText(DecodeText(invalid)), invalid);
}

TEST(Console, CaptureCollectsBothStreamsInOrder) {
  ConsoleCapture capture;
  Print(Stream::Out, L"out %d\n", 1);
  PrintNarrow(Stream::Err, "err %s\n", "two");
  Write(Stream::Out, L"three");
  EXPECT_EQ(capture.out(), "out 1\nthree");
  EXPECT_EQ(capture.err(), "err two\n");
}

}  // namespace
}  // namespace kes
