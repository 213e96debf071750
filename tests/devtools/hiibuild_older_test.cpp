// The older-layout builder against bytes written out by hand, its knobs for broken images, and
// the older demo firmware's determinism.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

#include <stdexcept>
#include <string>

#include "base/le.h"
#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/older_layout.h"

namespace kes::hiibuild {
namespace {

using V = std::vector<uint8_t>;

constexpr EfiGuid kGuid{0x04030201, 0x0605, 0x0807, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};
const V kGuidBytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};

using test::Cat;
using test::Utf16;

V U32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

TEST(HiiBuildOlder, TinyTableByteForByte) {
  OlderTable t(0x0102, kGuid);
  Emitted set = t.FormSet(kGuid, L"Set", L"Help", 0x0001, 0x0002, 0x0010);
  Emitted form = t.Form(0x0005, L"Frm");
  Emitted box = t.CheckBox({.prompt = L"Cb", .help = Str::Id(2), .offset = 4, .width = 1, .key = 0x0A0B,
                            .flags = older::flags::kDefault});
  t.EndForm();
  t.EndFormSet();
  EXPECT_EQ(set.prompt, 1);
  EXPECT_EQ(set.help, 2);
  EXPECT_EQ(form.prompt, 3);
  EXPECT_EQ(box.prompt, 4);
  EXPECT_EQ(box.help, 2);
  EXPECT_EQ(box.at, 6u + 36 + 6);

  V ifr = Cat({{0x0E, 36}, kGuidBytes, {0x01, 0x00, 0x02, 0x00}, V(8, 0), {0x01, 0x00, 0x02, 0x00, 0x10, 0x00},
               {0x01, 6, 0x05, 0x00, 0x03, 0x00},
               {0x06, 12, 0x04, 0x00, 0x01, 0x04, 0x00, 0x02, 0x00, 0x01, 0x0B, 0x0A},
               {0x0B, 2},
               {0x0D, 2}});
  V ifrPack = Cat({U32(64), {0x01, 0x00}, ifr});
  // Five pointers (tokens 0..4) after the 22-byte header; texts from offset 42.
  V strings = Cat({U32(98), {0x02, 0x00}, U32(42), U32(50), U32(5), U32(0),
                   U32(42), U32(66), U32(74), U32(84), U32(92),
                   Utf16(u"eng"), Utf16(u"English"), Utf16(u"Set"), Utf16(u"Help"), Utf16(u"Frm"), Utf16(u"Cb")});
  V table = Cat({{0x02, 0x01}, kGuidBytes, U32(30 + 64 + 98 + 6), U32(30), U32(30 + 64), ifrPack, strings, V(6, 0)});
  EXPECT_EQ(t.Bytes(), table);
  EXPECT_EQ(OlderImageBytes({table}), Cat({{0x01, 0x00}, V(16, 0), table}));
}

TEST(HiiBuildOlder, OpcodeEncodings) {
  struct Case {
    const char* name;
    void (*write)(OlderTable&);
    V want;
  } cases[] = {
      {"one-of with option and end",
       [](OlderTable& t) {
         t.OneOf({.prompt = Str::Id(7), .help = Str::Id(8), .offset = 0x0102, .width = 2},
                 {{0x0304, Str::Id(9), older::flags::kManufacturing, 0x0506}});
       },
       {0x05, 9, 0x02, 0x01, 0x02, 0x07, 0x00, 0x08, 0x00, 0x09, 9, 0x09, 0x00, 0x04, 0x03, 0x02, 0x06, 0x05, 0x10, 2}},
      {"numeric",
       [](OlderTable& t) {
         t.Numeric({.prompt = Str::Id(1), .help = Str::Id(2), .offset = 3, .width = 2, .key = 0x44, .flags = 3},
                   1, 100, 5, 0x1234);
       },
       {0x07, 20, 3, 0, 2, 1, 0, 2, 0, 3, 0x44, 0, 1, 0, 100, 0, 5, 0, 0x34, 0x12}},
      {"string",
       [](OlderTable& t) {
         t.String({.prompt = Str::Id(1), .help = Str::Id(2), .offset = 0x10, .width = 32, .key = 0x55}, 1, 16);
       },
       {0x1C, 14, 0x10, 0, 32, 1, 0, 2, 0, 0, 0x55, 0, 1, 16}},
      {"ordered list: width is MaxEntries",
       [](OlderTable& t) {
         t.OrderedList({.prompt = Str::Id(1), .help = Str::Id(2), .offset = 6, .width = 3}, {});
       },
       {0x23, 9, 6, 0, 3, 1, 0, 2, 0, 0x10, 2}},
      {"conditions",
       [](OlderTable& t) {
         t.SuppressIf();
         t.EqIdVal(0x20, 1, 0xFFFF);
         t.GrayOutIf();
         t.EqIdList(0x21, 2, {7, 0x0809});
         t.Hidden();
         t.EndIf();
       },
       {0x0A, 2, 0x12, 7, 0x20, 0, 1, 0xFF, 0xFF, 0x19, 2, 0x14, 11, 0x21, 0, 2, 2, 0, 7, 0, 9, 8, 0x0C, 2, 0x18, 2}},
      {"varstores",
       [](OlderTable& t) {
         t.VarStore(1, kGuid, "Oem", 8);
         t.VarStoreSelect(1);
         t.VarStoreSelectPair(2, 3);
       },
       Cat({{0x24, 26}, kGuidBytes, {1, 0, 8, 0, 'O', 'e', 'm', 0}, {0x25, 4, 1, 0}, {0x26, 6, 2, 0, 3, 0}})},
      {"subtitle and raw opcode",
       [](OlderTable& t) {
         t.Subtitle(Str::Id(5));
         t.Op(0x7F, V{1, 2});
         t.Raw(V{0xEE});
       },
       {0x02, 4, 5, 0, 0x7F, 4, 1, 2, 0xEE}},
  };
  for (const Case& c : cases) {
    OlderTable t(1, kGuid);
    c.write(t);
    EXPECT_EQ(t.ifr(), c.want) << c.name;
    EXPECT_EQ(t.tokenCount(), 1u) << c.name << ": explicit tokens allocate none";
  }
  OlderTable t(1, kGuid);
  EXPECT_THROW(t.VarStore(1, kGuid, std::string(233, 'x'), 8), std::length_error);
  EXPECT_NO_THROW(t.VarStore(1, kGuid, std::string(232, 'x'), 8));  // 255 bytes
}

TEST(HiiBuildOlder, TranslationsFollowThePrimaryPackAndFallBackToItsTexts) {
  OlderTable t(1, kGuid);
  t.AddLanguage("fra", L"Francais");
  uint16_t yes = t.AddString(L"Yes");
  uint16_t no = t.AddString(L"No");
  t.SetString("fra", yes, L"Oui");
  V table = t.Bytes();
  Bytes b(table);
  size_t eng = Le32(b, 26);
  size_t fra = eng + Le32(b, eng);
  ASSERT_EQ(Le16(b, fra + 4), older::kStringPackType);
  size_t end = fra + Le32(b, fra);
  EXPECT_EQ(V(table.begin() + end, table.end()), V(6, 0));  // the terminating pack header
  auto text = [&](size_t pack, uint16_t token) {
    EXPECT_LT(token, Le32(b, pack + 14));
    std::u16string s;
    for (size_t at = pack + Le32(b, pack + 22 + 4 * token); Le16(b, at) != 0; at += 2) s += char16_t(Le16(b, at));
    return s;
  };
  EXPECT_EQ(text(eng, 0), u"eng");
  EXPECT_EQ(text(fra, 0), u"fra");
  EXPECT_EQ(text(fra, yes), u"Oui");
  EXPECT_EQ(text(eng, yes), u"Yes");
  EXPECT_EQ(text(fra, no), u"No");
  std::u16string printable;
  for (size_t at = fra + Le32(b, fra + 10); Le16(b, at) != 0; at += 2) printable += char16_t(Le16(b, at));
  EXPECT_EQ(printable, u"Francais");
}

TEST(HiiBuildOlder, KnobsForMissingPacksAndBrokenSizes) {
  struct Case {
    const char* name;
    void (*tweak)(OlderTable&);
    bool hasIfr, hasStrings;
    uint32_t sizeField;  // 0: the real size
    V tail;              // expected last bytes of the table
  } cases[] = {
      {"as built", [](OlderTable&) {}, true, true, 0, V(6, 0)},
      {"no IFR pack", [](OlderTable& t) { t.ifrPack = false; }, false, true, 0, V(6, 0)},
      {"no string packs", [](OlderTable& t) { t.stringPacks = false; }, true, false, 0, {0x0D, 2}},
      {"no terminator", [](OlderTable& t) { t.stringTerminator = false; }, true, true, 0, Utf16(u"T")},
      {"declared size", [](OlderTable& t) { t.declaredSize = 0x1234; }, true, true, 0x1234, V(6, 0)},
      {"trailing bytes", [](OlderTable& t) { t.trailing = {0xAB, 0xCD}; }, true, true, 0, {0xAB, 0xCD}},
  };
  for (const Case& c : cases) {
    OlderTable t(7, kGuid);
    t.FormSet(kGuid, L"T", Str{}, 0);
    t.EndFormSet();
    c.tweak(t);
    V table = t.Bytes();
    Bytes b(table);
    EXPECT_EQ(Le32(b, 18), c.sizeField ? c.sizeField : table.size()) << c.name;
    EXPECT_EQ(Le32(b, 22), c.hasIfr ? 30u : 0u) << c.name;
    EXPECT_EQ(Le32(b, 26), c.hasStrings ? (c.hasIfr ? 30u + t.IfrPackBytes().size() : 30u) : 0u) << c.name;
    ASSERT_GE(table.size(), c.tail.size()) << c.name;
    EXPECT_EQ(V(table.end() - c.tail.size(), table.end()), c.tail) << c.name;
    if (c.hasIfr) {
      EXPECT_EQ(Le16(b, 36 + 30), 0) << c.name << ": FORM_SET of class 0";
    }
  }
  V image = OlderImageBytes({V{1}, V{2, 3}}, 5);
  EXPECT_EQ(image, Cat({{5, 0}, V(16, 0), {1, 2, 3}}));
}

// The older demo firmware's questions, strings and variables are checked by walking it with the
// tool (tests/script/older_layout_emu_test.cpp); here only what that cannot see.
TEST(HiiBuildOlder, DemoFirmwareIsDeterministic) {
  EmulatorImage image = BuildOlderDemoFirmware();
  EmulatorImage again = BuildOlderDemoFirmware();
  EXPECT_EQ(image.hii, again.hii);
  ASSERT_EQ(image.variables.size(), again.variables.size());
  for (size_t i = 0; i < image.variables.size(); ++i) EXPECT_EQ(image.variables[i].data, again.variables[i].data);
  EXPECT_EQ(image.fidt, SupportedFidtTable());
}

}  // namespace
}  // namespace kes::hiibuild
