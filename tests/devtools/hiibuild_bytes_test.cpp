// The builder's structures against bytes written out by hand from the UEFI layouts.
#include <gtest/gtest.h>

#include "tests/support/test_support.h"

#include <stdexcept>

#include "devtools/hiibuild/hii_builder.h"

namespace kes::hiibuild {
namespace {

using V = std::vector<uint8_t>;

constexpr EfiGuid kGuid{0x04030201, 0x0605, 0x0807, {0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10}};
const V kGuidBytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};
// GUIDs as they appear in real firmware images.
const V kPlatformSetupBytes = {0x71, 0x99, 0x03, 0x93, 0x45, 0x85, 0x04, 0x4B,
                               0xB4, 0x5E, 0x32, 0xEB, 0x83, 0x26, 0x04, 0x0E};
const V kExtensionBytes = {0x35, 0x17, 0x0B, 0x0F, 0xA0, 0x87, 0x93, 0x41,
                           0xB2, 0x66, 0x53, 0x8C, 0x38, 0xAF, 0x48, 0xCE};

using test::Cat;
using test::Utf16;

TEST(HiiBuildBytes, PackageListHeaderWithEndPackage) {
  PackageList list(kGuid);
  EXPECT_EQ(list.Bytes(), Cat({kGuidBytes, {0x18, 0, 0, 0}, {0x04, 0x00, 0x00, 0xDF}}));
  list.endPackage = false;
  EXPECT_EQ(list.Bytes(), Cat({kGuidBytes, {0x14, 0, 0, 0}}));
}

TEST(HiiBuildBytes, StringPackageHeaderAndEveryBlockType) {
  StringBlocks blocks;
  blocks.String(L"Hi").Strings({L"A", L"BC"}).Skip1(2).Skip2(0x0102).Scsu("x").End();
  EXPECT_EQ(blocks.nextId(), 1 + 1 + 2 + 2 + 0x102 + 1);

  V header = Cat({{0x51, 0x00, 0x00, 0x04},   // Length 81, type strings
                  {0x34, 0, 0, 0},            // HdrSize 52 = 46 + "en-US" + NUL
                  {0x34, 0, 0, 0},            // StringInfoOffset
                  V(32, 0),                   // LanguageWindow
                  {0x01, 0x00},               // LanguageName
                  {'e', 'n', '-', 'U', 'S', 0}});
  V body = Cat({{0x14}, Utf16(u"Hi"),
                {0x16, 0x02, 0x00}, Utf16(u"A"), Utf16(u"BC"),
                {0x22, 0x02},
                {0x21, 0x02, 0x01},
                {0x10, 'x', 0x00},
                {0x00}});
  EXPECT_EQ(StringPackageBytes("en-US", blocks.bytes(), 1), Cat({header, body}));
}

TEST(HiiBuildBytes, StringsByIdEncodeGapsAndRunsAsAsked) {
  std::map<uint16_t, std::u16string> strings = {{1, u"a"}, {2, u"b"}, {5, u"c"}, {300, u"d"}};
  struct Case {
    const char* name;
    bool runs;
    SkipStyle skips;
    V want;
  } cases[] = {
      {"one block per string", false, SkipStyle::Mixed,
       Cat({{0x14}, Utf16(u"a"), {0x14}, Utf16(u"b"), {0x22, 0x02}, {0x14}, Utf16(u"c"), {0x21, 0x26, 0x01}, {0x14},
            Utf16(u"d"), {0x00}})},
      {"skip2 only", false, SkipStyle::Skip2Only,
       Cat({{0x14}, Utf16(u"a"), {0x14}, Utf16(u"b"), {0x21, 0x02, 0x00}, {0x14}, Utf16(u"c"), {0x21, 0x26, 0x01},
            {0x14}, Utf16(u"d"), {0x00}})},
      {"runs", true, SkipStyle::Mixed,
       Cat({{0x16, 0x02, 0x00}, Utf16(u"a"), Utf16(u"b"), {0x22, 0x02}, {0x14}, Utf16(u"c"), {0x21, 0x26, 0x01},
            {0x14}, Utf16(u"d"), {0x00}})},
  };
  for (const Case& c : cases) {
    StringPackage p;
    p.language = "x-Vorn";
    p.strings = strings;
    p.useStringsRuns = c.runs;
    p.skipStyle = c.skips;
    EXPECT_EQ(p.Blocks(), c.want) << c.name;
  }
  // A gap wider than one SKIP2 takes several.
  StringPackage wide;
  wide.strings = {{0xFFFF, u"z"}};
  wide.skipStyle = SkipStyle::Skip2Only;
  EXPECT_EQ(wide.Blocks(), Cat({{0x21, 0xFE, 0xFF}, {0x14}, Utf16(u"z"), {0x00}}));
}

TEST(HiiBuildBytes, FormSetHeaderMatchesFirmwareLayout) {
  PackageList list(kGuid);
  Forms& f = list.AddForms();
  Emitted set = f.FormSet(kGuid, L"Main", L"Main help");
  f.ClassAndSubclass(0x0001, 0x0002);
  Emitted store = f.DefaultStore(Str::Id(9), kDefaultManufacturing);
  Emitted form = f.Form(0x1000, L"Main Form");
  f.EndAll();
  EXPECT_EQ(set.prompt, 1);
  EXPECT_EQ(set.help, 2);
  EXPECT_EQ(set.at, 4u);
  EXPECT_EQ(store.prompt, 9);
  EXPECT_EQ(form.prompt, 3);
  V want = Cat({{0x0E, 0x80 | 39}, kGuidBytes, {0x01, 0x00, 0x02, 0x00, 0x01}, kPlatformSetupBytes,
                {0x5F, 21}, kExtensionBytes, {0x03, 0x01, 0x00},
                {0x5F, 21}, kExtensionBytes, {0x04, 0x02, 0x00},
                {0x5C, 0x06, 0x09, 0x00, 0x01, 0x00},
                {0x01, 0x86, 0x00, 0x10, 0x03, 0x00},
                {0x29, 0x02}, {0x29, 0x02}});
  EXPECT_EQ(f.ifr(), want);
  EXPECT_EQ(f.Bytes(), Cat({{static_cast<uint8_t>(want.size() + 4), 0x00, 0x00, 0x02}, want}));
}

TEST(HiiBuildBytes, OneOfWithOptionsAndMapStrings) {
  PackageList list(kGuid);
  Forms& f = list.AddForms();
  Emitted e = f.OneOf({.prompt = L"Quiet Boot", .help = L"Boot logo", .id = 0x1A, .varStore = 1, .offset = 5,
                       .map = L"QBOOT01"},
                      1, {{0, L"Disabled"}, {1, L"Enabled", flags::kOptionDefault}});
  EXPECT_EQ(e.prompt, 1);
  EXPECT_EQ(e.help, 2);
  EXPECT_EQ(e.options, (std::vector<uint16_t>{3, 4}));
  V want = {0x05, 0x91,                                                        // ONE_OF, 17 bytes, scope
            0x01, 0x00, 0x02, 0x00, 0x1A, 0x00, 0x01, 0x00, 0x05, 0x00, 0x00,  // question header
            0x10, 0x00, 0x01, 0x00,                                            // flags, min, max, step
            0x09, 0x07, 0x03, 0x00, 0x00, 0x00, 0x00,                          // option "Disabled"
            0x09, 0x07, 0x04, 0x00, 0x10, 0x00, 0x01,                          // option "Enabled", default
            0x29, 0x02};
  EXPECT_EQ(f.ifr(), want);
  EXPECT_EQ(list.Language("en-US").strings.at(1), u"Quiet Boot");
  EXPECT_EQ(list.Language("en-US").strings.at(4), u"Enabled");
  EXPECT_EQ(list.Language("x-Vorn").strings.at(1), u"QBOOT01");
  EXPECT_EQ(list.Language("x-UEFI-Vorn").strings.at(1), u"QBOOT01");
  EXPECT_EQ(list.Language("x-Vorn").strings.size(), 1u);
}

TEST(HiiBuildBytes, NumericOfSizeTwoWithDefaultAndInconsistentIf) {
  PackageList list(kGuid);
  Forms& f = list.AddForms();
  Extra x;
  x.open = true;
  f.Numeric({.prompt = Str::Id(7), .help = Str::Id(8), .id = 0x20, .varStore = 2, .offset = 0x10,
             .flags = flags::kResetRequired},
            2, 0x8000, 0x7FFF, 1, flags::kDisplayIntDec, x);
  f.InconsistentIf(Str::Id(9), Expr::EqIdVal(0x20, 0));
  f.Default(kDefaultStandard, type::kNum16, 5);
  f.End();
  V want = {0x07, 0x94,                                                        // NUMERIC, 20 bytes, scope
            0x07, 0x00, 0x08, 0x00, 0x20, 0x00, 0x02, 0x00, 0x10, 0x00, 0x10,  // question header
            0x01,                                                              // size 2, signed decimal
            0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00,                                // min, max, step
            0x11, 0x84, 0x09, 0x00,                                            // INCONSISTENT_IF, error 9
            0x12, 0x06, 0x20, 0x00, 0x00, 0x00,                                // EQ_ID_VAL
            0x29, 0x02,
            0x5B, 0x07, 0x00, 0x00, 0x01, 0x05, 0x00,                          // DEFAULT standard, u16 5
            0x29, 0x02};
  EXPECT_EQ(f.ifr(), want);
  EXPECT_EQ(f.depth(), 0);
}

TEST(HiiBuildBytes, VarStoresOfBothKinds) {
  PackageList list(kGuid);
  Forms& f = list.AddForms();
  size_t efiAt = f.VarStoreEfi(3, kGuid, "Boot", 0x40);
  size_t bufferAt = f.VarStore(1, kGuid, "Boot", 0x40);
  EXPECT_EQ(efiAt, 4u);
  EXPECT_EQ(bufferAt, 4u + 31);
  V want = Cat({{0x26, 31, 0x03, 0x00}, kGuidBytes, {0x07, 0x00, 0x00, 0x00, 0x40, 0x00, 'B', 'o', 'o', 't', 0x00},
                {0x24, 27}, kGuidBytes, {0x01, 0x00, 0x40, 0x00, 'B', 'o', 'o', 't', 0x00}});
  EXPECT_EQ(f.ifr(), want);
}

TEST(HiiBuildBytes, QuestionKindsHaveTheirUefiLengths) {
  PackageList list(kGuid);
  Forms& f = list.AddForms();
  Q q{.prompt = Str::Id(1), .id = 1, .varStore = 1};
  Extra open;
  open.open = true;
  struct Case {
    const char* name;
    Emitted e;
    V head;  // opcode, length byte, then the bytes after the question header
  } cases[] = {
      {"checkbox", f.Checkbox(q, flags::kCheckboxDefault, open), {0x06, 0x80 | 14, 0x01}},
      {"password", f.Password(q, 8, 20, open), {0x08, 0x80 | 17, 8, 0, 20, 0}},
      {"string", f.String(q, 1, 16, flags::kStringMultiLine, open), {0x1C, 0x80 | 16, 1, 16, 1}},
      {"date", f.Date(q, flags::kStorageTime, open), {0x1A, 0x80 | 14, 0x10}},
      {"time", f.Time(q, flags::kStorageWakeup, open), {0x1B, 0x80 | 14, 0x20}},
      {"ordered list", f.OrderedList(q, 4, {}, type::kNum16, flags::kUniqueSet, open), {0x23, 0x80 | 15, 4, 1}},
      {"action", f.Action(q, Str::Id(0x33), open), {0x0C, 0x80 | 15, 0x33, 0}},
      {"ref", f.Ref(q, 0x2000), {0x0F, 15, 0x00, 0x20}},
      {"numeric 8", f.Numeric(q, 8, 1, 2, 3, flags::kDisplayUintHex, open),
       {0x07, 0x80 | 38, 0x23, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0}},
      {"one-of 4", f.OneOf(q, 4, {}, open), {0x05, 0x80 | 26, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const V& ifr = f.ifr();
    size_t at = c.e.at - 4;
    ASSERT_LT(at + 1, ifr.size()) << c.name;
    EXPECT_EQ(ifr[at], c.head[0]) << c.name;
    EXPECT_EQ(ifr[at + 1], c.head[1]) << c.name;
    V tail(ifr.begin() + static_cast<long>(at + 13), ifr.begin() + static_cast<long>(at + (ifr[at + 1] & 0x7F)));
    EXPECT_EQ(tail, V(c.head.begin() + 2, c.head.end())) << c.name;
  }
  EXPECT_EQ(f.depth(), 9);  // every question but the REF left open
}

TEST(HiiBuildBytes, OptionValuesBySize) {
  struct Case {
    int type;
    uint64_t value;
    V bytes;
  } cases[] = {
      {type::kNum8, 0x12, {0x12}},
      {type::kNum16, 0x1234, {0x34, 0x12}},
      {type::kNum32, 0x12345678, {0x78, 0x56, 0x34, 0x12}},
      {type::kNum64, 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}},
      {type::kBoolean, 1, {0x01}},
      {type::kTime, TimeValue(8, 5, 0), {8, 5, 0}},
      {type::kDate, DateValue(2024, 1, 31), {0xE8, 0x07, 1, 31}},
      {type::kString, 0x42, {0x42, 0x00}},
      {type::kOther, 7, {}},
  };
  for (const Case& c : cases) {
    PackageList list(kGuid);
    Forms& f = list.AddForms();
    f.Option({c.value, Str::Id(5), flags::kOptionDefaultMfg, c.type});
    V want = Cat({{0x09, static_cast<uint8_t>(6 + c.bytes.size()), 0x05, 0x00, 0x20, static_cast<uint8_t>(c.type)},
                  c.bytes});
    EXPECT_EQ(f.ifr(), want) << "type " << c.type;
  }
}

TEST(HiiBuildBytes, ExpressionsArePostfixAndConditionsOpenScopes) {
  PackageList list(kGuid);
  Forms& f = list.AddForms();
  f.SuppressIf(Or(Expr::EqIdVal(1, 0), Not(Expr::EqIdValList(2, {3, 4}))));
  EXPECT_EQ(f.depth(), 1);
  f.GrayOutIf(Equal(Expr::QuestionRef(5), Expr::Uint8(2)));
  f.End();
  f.End();
  V want = {0x0A, 0x82,
            0x12, 0x06, 0x01, 0x00, 0x00, 0x00,
            0x14, 0x0A, 0x02, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04, 0x00,
            0x17, 0x02,
            0x16, 0x02,
            0x19, 0x82,
            0x40, 0x04, 0x05, 0x00,
            0x42, 0x03, 0x02,
            0x2F, 0x02,
            0x29, 0x02,
            0x29, 0x02};
  EXPECT_EQ(f.ifr(), want);
  // A scope inside an expression is followed.
  f.DisableIf(Expr::Op(op::kQuestionRef1, V{0x05, 0x00}, true) + Expr::Uint64(0) + Expr::Op(op::kEqual) + Expr::End());
  EXPECT_EQ(f.depth(), 1);
}

TEST(HiiBuildBytes, OpenScopesAreClosedUnlessAskedNotTo) {
  PackageList list(kGuid);
  Forms& f = list.AddForms();
  f.FormSet(kGuid, Str::Id(1), Str::Id(2), {});
  f.Form(1, Str::Id(3));
  EXPECT_EQ(f.depth(), 2);
  V closed = f.Bytes();
  EXPECT_EQ(V(closed.end() - 4, closed.end()), (V{0x29, 0x02, 0x29, 0x02}));
  f.autoClose = false;
  V open = f.Bytes();
  EXPECT_EQ(open.size() + 4, closed.size());
  EXPECT_EQ(open[0], open.size());  // 24-bit length of the package
}

TEST(HiiBuildBytes, EscapeHatchesWriteBytesAsGiven) {
  Database db;
  PackageList& list = db.AddList(kGuid);
  list.endPackage = false;
  Forms& f = list.AddForms();
  f.Raw(V{0x05, 0x00});  // a zero-length opcode
  f.autoClose = false;
  list.AddPackage(0x30, V{0xAA});
  list.AddRaw(V{0xEE});
  db.AddRaw(V{0xFF, 0xFF});
  V want = Cat({kGuidBytes, {20 + 6 + 5 + 1, 0, 0, 0},
                {0x06, 0x00, 0x00, 0x02, 0x05, 0x00},
                {0x05, 0x00, 0x00, 0x30, 0xAA},
                {0xEE},
                {0xFF, 0xFF}});
  EXPECT_EQ(db.Bytes(), want);
}

TEST(HiiBuildBytes, MisuseIsRefused) {
  PackageList list(kGuid);
  Forms& f = list.AddForms();
  EXPECT_THROW(f.Op(op::kGuid, V(126, 0)), std::length_error);
  EXPECT_NO_THROW(f.Op(op::kGuid, V(125, 0)));
  EXPECT_THROW(f.OneOf({.map = L"X"}, 1, {}), std::invalid_argument);
  EXPECT_THROW(f.Numeric({}, 3, 0, 1), std::invalid_argument);
  EXPECT_THROW(list.SetString("en-US", 0, L"x"), std::invalid_argument);
  EXPECT_THROW(StringBlocks().String(std::wstring(L"a\0b", 3)), std::invalid_argument);
  list.SetString("en-US", 0xFFFF, L"last");
  EXPECT_THROW(list.AddString(L"one too many"), std::length_error);
}

}  // namespace
}  // namespace kes::hiibuild
