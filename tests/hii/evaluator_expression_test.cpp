// The expression machine: every opcode over one image whose form holds a suppress-if per case,
// against question values in a temporary efivarfs "Setup" variable; the text helpers; and
// images whose expressions are cut short, corrupted or made to grow without bound.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hii/evaluator.h"
#include "hii/evaluator_opcodes.h"
#include "hii/evaluator_text.h"
#include "tests/hii/evaluator_test_support.h"

namespace kes::evaltest {
namespace {

using hiibuild::ByteWriter;
using hiibuild::Expr;
using hiibuild::Forms;
using hiibuild::VarBuffer;
using BuiltList = hiibuild::PackageList;
namespace op = hiibuild::op;
using Ops = std::vector<uint8_t>;

constexpr uint64_t kAllOnes = ~uint64_t{0};
constexpr uint16_t kOneOfQ = 0x10, kCheckboxQ = 0x11, kNumericQ = 0x12, kStringQ = 0x13, kDateQ = 0x14,
                   kOtherFormQ = 0x20, kNameValueQ = 0x21, kPastEndQ = 0x22;

// "Setup": one-of 1 at 0, checkbox 0 at 1, numeric 0x1234 at 2, string "AbC" (4 units) at 4,
// date 2024-05-17 at 12, and 7 at 18 for the question of the second form.
std::vector<uint8_t> SetupBytes() {
  VarBuffer b(20);
  b.Put(0, 1, 1).Put(1, 0, 1).Put(2, 0x1234, 2).PutUcs2(4, L"AbC", 4).PutDate(12, 2024, 5, 17).Put(18, 7, 1);
  return b.Take();
}

struct Case {
  const char* name;
  Expr expr;
  EfiStatus status = efi::kSuccess;
  uint8_t type = kValueOther;
  uint64_t value = 0;
  const char16_t* text = nullptr;  // expected text of a STRING result
};

class ExpressionTest : public EvaluatorTest {
 protected:
  void SetUp() override {
    EvaluatorTest::SetUp();
    PutVariable("Setup", kSetupGuid, SetupBytes());
  }

  // Builds the image: strings first (their ids go into the cases), then one suppress-if per case.
  BuiltList& List() { return list_; }
  Forms& Begin() {
    Forms& f = list_.AddForms();
    f.FormSet(kFormSetGuid, L"Set", L"");
    f.VarStore(1, kSetupGuid, "Setup", 20);
    f.Op(0x25, ByteWriter().U16(2).Guid(kSetupGuid).bytes());  // a name/value varstore, id 2
    f.Form(1, L"Main");
    f.OneOf({.prompt = L"One", .id = kOneOfQ, .varStore = 1, .offset = 0}, 1, {{0, L"a"}, {1, L"b"}});
    f.Checkbox({.prompt = L"Box", .id = kCheckboxQ, .varStore = 1, .offset = 1});
    f.Numeric({.prompt = L"Num", .id = kNumericQ, .varStore = 1, .offset = 2}, 2, 0, 0xFFFF);
    f.String({.prompt = L"Str", .id = kStringQ, .varStore = 1, .offset = 4}, 0, 4);
    f.Date({.prompt = L"Day", .id = kDateQ, .varStore = 1, .offset = 12});
    f.Checkbox({.prompt = L"NV", .id = kNameValueQ, .varStore = 2, .offset = 0});
    f.Numeric({.prompt = L"Far", .id = kPastEndQ, .varStore = 1, .offset = 19}, 2, 0, 0xFFFF);
    return f;
  }

  // One suppress-if per case around a checkbox, then a second form.
  void Finish(Forms& f, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      offsets_.push_back(InImage(f.SuppressIf(c.expr)));
      f.Checkbox({.prompt = L"T", .id = 0x40, .varStore = 1, .offset = 1});
      f.End();
    }
    f.End();  // form 1
    f.Form(2, L"Second");
    f.Numeric({.prompt = L"Other", .id = kOtherFormQ, .varStore = 1, .offset = 18}, 1, 0, 255);
    f.End();
    Load(list_.Bytes());
  }

  ConditionRequest Request(size_t condition) {
    ConditionRequest r;
    r.packageList = 0;
    r.PageIndex = Page(1);
    r.QuestionId = kNumericQ;
    r.Condition = condition;
    return r;
  }

  void Check(const std::vector<Case>& cases) {
    ASSERT_EQ(offsets_.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      SCOPED_TRACE(c.name);
      IfrValue value;
      size_t consumed = 0;
      ConditionRequest request = Request(offsets_[i]);
      EfiStatus status = evaluator_->EvaluateExpression(request, value, consumed);
      EXPECT_EQ(status, c.status);
      if (c.status != efi::kSuccess) continue;
      EXPECT_EQ(consumed, 2 + c.expr.bytes().size());
      EXPECT_EQ(value.Type, c.type);
      if (c.text) {
        auto text = evaluator_->ExpressionValueText(request, value);
        ASSERT_TRUE(text.has_value());
        EXPECT_EQ(*text, std::u16string(c.text));
      } else {
        EXPECT_EQ(value.Value, c.value);
      }
    }
  }

  BuiltList list_{kListGuid};
  std::vector<size_t> offsets_;
};

Expr Str(uint16_t id) { return Expr::StringRef(id); }
Expr U8(uint8_t v) { return Expr::Uint8(v); }
Expr U64(uint64_t v) { return Expr::Uint64(v); }

TEST_F(ExpressionTest, EveryOpcode) {
  Forms& f = Begin();
  uint16_t hello = List().AddString(L"Hello World");
  uint16_t hello2 = List().AddString(L"Hello World");
  uint16_t apple = List().AddString(L"Apple");
  uint16_t banana = List().AddString(L"Banana");
  uint16_t hex = List().AddString(L"0x1F");
  uint16_t dec = List().AddString(L"  42");
  uint16_t falseWord = List().AddString(L"FALSE");
  uint16_t trueWord = List().AddString(L"tRuE");
  uint16_t maybe = List().AddString(L"maybe");
  uint16_t mixed = List().AddString(L"AbC \u00C4\u00F6 \u0394\u03C9 \u0416\u044F");
  uint16_t list = List().AddString(L"a,b;c");
  uint16_t gappy = List().AddString(L"a,,b");
  uint16_t comma = List().AddString(L",");
  uint16_t delims = List().AddString(L",;");
  uint16_t digits = List().AddString(L"09");
  uint16_t lower = List().AddString(L"az");
  uint16_t code = List().AddString(L"abc123");
  uint16_t o = List().AddString(L"o");
  uint16_t world = List().AddString(L"WORLD");
  uint16_t pattern = List().AddString(L"h*W?rld");
  uint16_t setPattern = List().AddString(L"H[a-f]llo*");
  uint16_t otherSet = List().AddString(L"H[x-z]llo*");
  uint16_t abc = List().AddString(L"AbC");
  const uint8_t kB = kValueBoolean, kU64 = kValueUint64, kS = kValueString;
  const EfiStatus kInvalid = efi::kInvalidParameter, kUnsupported = efi::kUnsupported, kNotFound = efi::kNotFound;

  // Rules of the form: 1 is true, 2 refers to 1, 3 to itself.
  f.Op(op::kRule, ByteWriter().U8(1).bytes(), true);
  f.Expression(Expr::True());
  f.End();
  f.Op(op::kRule, ByteWriter().U8(2).bytes(), true);
  f.Expression(Not(Expr::RuleRef(1)));
  f.End();
  f.Op(op::kRule, ByteWriter().U8(3).bytes(), true);
  f.Expression(Expr::RuleRef(3));
  f.End();

  std::vector<Case> cases = {
      {"EQ_ID_VAL holds", Expr::EqIdVal(kOneOfQ, 1), 0, kB, 1},
      {"EQ_ID_VAL differs", Expr::EqIdVal(kOneOfQ, 0), 0, kB, 0},
      {"EQ_ID_VAL on a question of another form", Expr::EqIdVal(kOtherFormQ, 7), 0, kB, 1},
      {"EQ_ID_VAL on an unknown question", Expr::EqIdVal(0x99, 0), kNotFound},
      {"EQ_ID_VAL on a name/value varstore", Expr::EqIdVal(kNameValueQ, 0), kNotFound},
      {"EQ_ID_VAL past the variable's end", Expr::EqIdVal(kPastEndQ, 0), kNotFound},
      {"EQ_ID_ID equal", Expr::EqIdId(kOneOfQ, kOneOfQ), 0, kB, 1},
      {"EQ_ID_ID different", Expr::EqIdId(kOneOfQ, kCheckboxQ), 0, kB, 0},
      {"EQ_ID_VAL_LIST found", Expr::EqIdValList(kNumericQ, {1, 0x1234}), 0, kB, 1},
      {"EQ_ID_VAL_LIST not found", Expr::EqIdValList(kNumericQ, {1, 2}), 0, kB, 0},
      {"AND", And(Expr::True(), Expr::False()), 0, kB, 0},
      {"OR", Or(Expr::True(), Expr::False()), 0, kB, 1},
      {"NOT", Not(Expr::False()), 0, kB, 1},
      {"AND of a number", And(U8(1), Expr::True()), kInvalid},
      {"NOT of a number", Not(U8(0)), kInvalid},
      {"VERSION", Expr::Version(), 0, kValueUint16, 539},
      {"EQUAL across widths", Equal(U8(3), Expr::Uint16(3)), 0, kB, 1},
      {"NOT_EQUAL", NotEqual(U8(3), U8(4)), 0, kB, 1},
      {"GREATER_THAN", GreaterThan(U8(5), U8(3)), 0, kB, 1},
      {"GREATER_EQUAL", GreaterEqual(U8(3), U8(3)), 0, kB, 1},
      {"LESS_THAN", LessThan(U8(5), U8(3)), 0, kB, 0},
      {"LESS_EQUAL", LessEqual(U8(3), U8(3)), 0, kB, 1},
      {"numbers compare by their signed difference", GreaterThan(Expr::Ones(), Expr::Zero()), 0, kB, 0},
      {"strings equal by text", Equal(Str(hello), Str(hello2)), 0, kB, 1},
      {"strings differ", Equal(Str(hello), Str(apple)), 0, kB, 0},
      {"strings order", LessThan(Str(apple), Str(banana)), 0, kB, 1},
      {"string id 0", Equal(Str(0), Str(hello)), kInvalid},
      {"missing string", Equal(Str(999), Str(hello)), kInvalid},
      {"string against number", Equal(Str(hello), U8(1)), kInvalid},
      {"undefined compared", Equal(Expr::Undefined(), U8(1)), kInvalid},
      {"BITWISE_AND", BitwiseAnd(U8(0x0F), U8(0x3C)), 0, kU64, 0x0C},
      {"BITWISE_OR", BitwiseOr(U8(0x0F), U8(0x30)), 0, kU64, 0x3F},
      {"BITWISE_NOT", BitwiseNot(Expr::Zero()), 0, kU64, kAllOnes},
      {"BITWISE_AND of a string", BitwiseAnd(Str(hello), U8(1)), kInvalid},
      {"SHIFT_LEFT", ShiftLeft(U8(1), U8(4)), 0, kU64, 16},
      {"SHIFT_RIGHT", ShiftRight(Expr::Uint16(0x100), U8(4)), 0, kU64, 0x10},
      {"SHIFT_LEFT by 64", ShiftLeft(U8(1), U8(64)), 0, kU64, 0},
      {"ADD wraps", Add(Expr::Ones(), U8(2)), 0, kU64, 1},
      {"SUBTRACT wraps", Subtract(Expr::Zero(), Expr::One()), 0, kU64, kAllOnes},
      {"MULTIPLY by the low 32 bits", Multiply(U8(3), U64(0x100000002)), 0, kU64, 6},
      {"DIVIDE", Divide(U8(100), U8(7)), 0, kU64, 14},
      {"MODULO", Modulo(U8(100), U8(7)), 0, kU64, 2},
      {"DIVIDE by zero", Divide(U8(5), Expr::Zero()), 0, kU64, 0},
      {"MODULO by zero", Modulo(U8(5), Expr::Zero()), 0, kU64, 0},
      {"DIVIDE by a divisor whose low 32 bits are zero", Divide(U8(5), U64(0x100000000)), 0, kU64, 0},
      {"RULE_REF", Expr::RuleRef(1), 0, kB, 1},
      {"RULE_REF to a rule using a rule", Expr::RuleRef(2), 0, kB, 0},
      {"RULE_REF to a missing rule", Expr::RuleRef(9), kNotFound},
      {"RULE_REF to itself", Expr::RuleRef(3), kInvalid},
      {"QUESTION_REF1 one-of", Expr::QuestionRef(kNumericQ), 0, kValueUint16, 0x1234},
      {"QUESTION_REF1 checkbox", Expr::QuestionRef(kCheckboxQ), 0, kB, 0},
      {"QUESTION_REF1 date", Expr::QuestionRef(kDateQ), 0, kValueDate, 0x110507E8},
      {"QUESTION_REF1 string", Expr::QuestionRef(kStringQ), 0, kS, 0, u"AbC"},
      {"QUESTION_REF1 string compared", Equal(Expr::QuestionRef(kStringQ), Str(abc)), 0, kB, 1},
      {"QUESTION_REF1 unknown", Expr::QuestionRef(0x99), kNotFound},
      {"QUESTION_REF2", QuestionRef2(Expr::Uint16(kNumericQ)), 0, kValueUint16, 0x1234},
      {"QUESTION_REF2 beyond 0xFFFF", QuestionRef2(Expr::Uint32(0x10000)), kNotFound},
      {"QUESTION_REF2 of a string", QuestionRef2(Str(hello)), kNotFound},
      {"QUESTION_REF3", QuestionRef3(U8(kOneOfQ)), 0, kValueUint8, 1},
      {"UINT8", U8(0xAB), 0, kValueUint8, 0xAB},
      {"UINT16", Expr::Uint16(0xABCD), 0, kValueUint16, 0xABCD},
      {"UINT32", Expr::Uint32(0xABCDEF01), 0, kValueUint32, 0xABCDEF01},
      {"UINT64", U64(0x0123456789ABCDEF), 0, kU64, 0x0123456789ABCDEF},
      {"TRUE", Expr::True(), 0, kB, 1},
      {"FALSE", Expr::False(), 0, kB, 0},
      {"ZERO", Expr::Zero(), 0, kValueUint8, 0},
      {"ONE", Expr::One(), 0, kValueUint8, 1},
      {"ONES", Expr::Ones(), 0, kU64, kAllOnes},
      {"UNDEFINED", Expr::Undefined(), 0, kValueOther, 0},
      {"TO_UINT hexadecimal", ToUint(Str(hex)), 0, kU64, 0x1F},
      {"TO_UINT decimal", ToUint(Str(dec)), 0, kU64, 42},
      {"TO_UINT boolean", ToUint(Expr::True()), 0, kU64, 1},
      {"TO_UINT undefined", ToUint(Expr::Undefined()), kUnsupported},
      {"TO_UINT missing string", ToUint(Str(999)), kNotFound},
      {"TO_STRING unsigned", ToString(U8(200), 0), 0, kS, 0, u"200"},
      {"TO_STRING unsigned all ones", ToString(Expr::Ones(), 0), 0, kS, 0, u"18446744073709551615"},
      {"TO_STRING signed", ToString(Expr::Ones(), 1), 0, kS, 0, u"-1"},
      {"TO_STRING lower hex", ToString(Expr::Uint16(0xAB), 2), 0, kS, 0, u"ab"},
      {"TO_STRING upper hex", ToString(Expr::Uint16(0xAB), 3), 0, kS, 0, u"AB"},
      {"TO_STRING boolean", ToString(Expr::True(), 0), 0, kS, 0, u"True"},
      {"TO_STRING of a string", ToString(Str(hello), 0), 0, kS, hello},
      {"TO_STRING format 4", ToString(U8(1), 4), kUnsupported},
      {"TO_STRING undefined", ToString(Expr::Undefined(), 0), kUnsupported},
      {"TO_BOOLEAN FALSE", ToBoolean(Str(falseWord)), 0, kB, 0},
      {"TO_BOOLEAN tRuE", ToBoolean(Str(trueWord)), 0, kB, 1},
      {"TO_BOOLEAN another word", ToBoolean(Str(maybe)), 0, kValueOther, 0},
      {"TO_BOOLEAN number", ToBoolean(U8(2)), 0, kB, 1},
      {"MID", Mid(Str(hello), U8(6), U8(5)), 0, kS, 0, u"World"},
      {"MID length 0", Mid(Str(hello), U8(6), U8(0)), 0, kS, 0, u""},
      {"MID past the end", Mid(Str(hello), U8(20), U8(3)), 0, kS, 0, u""},
      {"MID long length", Mid(Str(hello), U8(6), U8(100)), 0, kS, 0, u"World"},
      {"MID of a number", Mid(U8(1), U8(0), U8(1)), kUnsupported},
      {"CATENATE", Catenate(Str(apple), Str(banana)), 0, kS, 0, u"AppleBanana"},
      {"CATENATE of a number", Catenate(Str(apple), U8(1)), kInvalid},
      {"FIND", Find(0, Str(hello), Str(o), U8(0)), 0, kU64, 4},
      {"FIND from a start", Find(0, Str(hello), Str(o), U8(5)), 0, kU64, 7},
      {"FIND case-sensitive miss", Find(0, Str(hello), Str(world), U8(0)), 0, kU64, kAllOnes},
      {"FIND case-insensitive", Find(1, Str(hello), Str(world), U8(0)), 0, kU64, 6},
      {"FIND start past the end", Find(0, Str(hello), Str(o), U8(50)), 0, kU64, kAllOnes},
      {"FIND format 2", Find(2, Str(hello), Str(o), U8(0)), kUnsupported},
      {"TOKEN", Token(Str(list), Str(delims), U8(2)), 0, kS, 0, u"c"},
      {"TOKEN first", Token(Str(list), Str(delims), U8(0)), 0, kS, 0, u"a"},
      {"TOKEN missing", Token(Str(list), Str(delims), U8(5)), 0, kS, 0, u""},
      {"TOKEN between two delimiters", Token(Str(gappy), Str(comma), U8(1)), 0, kS, 0, u""},
      {"SPAN first matching", Span(0, Str(code), Str(digits), U8(0)), 0, kU64, 3},
      {"SPAN first non-matching", Span(1, Str(code), Str(lower), U8(0)), 0, kU64, 3},
      {"SPAN from a start", Span(1, Str(code), Str(lower), U8(4)), 0, kU64, 4},
      {"SPAN none", Span(0, Str(abc), Str(digits), U8(0)), 0, kU64, kAllOnes},
      {"SPAN flags 2", Span(2, Str(code), Str(digits), U8(0)), kUnsupported},
      {"STRING_REF1", Str(hello), 0, kS, hello},
      {"STRING_REF2", StringRef2(Expr::Uint16(hello)), 0, kS, hello},
      {"STRING_REF2 missing string", StringRef2(Expr::Uint16(999)), 0, kS, 0, u""},
      {"STRING_REF2 beyond 0xFFFF", StringRef2(Expr::Uint32(0x10000)), kNotFound},
      {"CONDITIONAL true takes the first popped", Conditional(Expr::True(), U8(1), U8(2)), 0, kValueUint8, 2},
      {"CONDITIONAL false takes the second popped", Conditional(Expr::False(), U8(1), U8(2)), 0, kValueUint8, 1},
      {"CONDITIONAL on a number", Conditional(U8(1), U8(1), U8(2)), kInvalid},
      {"LENGTH", Length(Str(hello)), 0, kU64, 11},
      {"LENGTH of a number", Length(U8(1)), kInvalid},
      {"DUP", Dup(U8(3)) + Expr::Op(op::kAdd), 0, kU64, 6},
      {"THIS", Expr::This(), 0, kValueUint16, 0x1234},
      {"TO_LOWER", ToLower(Str(mixed)), 0, kS, 0, u"abc \u00E4\u00F6 \u03B4\u03C9 \u0436\u044F"},
      {"TO_UPPER", ToUpper(Str(mixed)), 0, kS, 0, u"ABC \u00C4\u00D6 \u0394\u03A9 \u0416\u042F"},
      {"TO_UPPER of a number", ToUpper(U8(1)), kInvalid},
      {"MATCH wildcards", Match(Str(hello), Str(pattern)), 0, kB, 1},
      {"MATCH set", Match(Str(hello), Str(setPattern)), 0, kB, 1},
      {"MATCH set missed", Match(Str(hello), Str(otherSet)), 0, kB, 0},
      {"leftover second value", Expr::True() + Expr::True(), kInvalid},
      {"operator without operands", Expr::Op(op::kAnd), kInvalid},
  };
  Finish(f, cases);
  Check(cases);
}

TEST_F(ExpressionTest, EmptyExpressionFails) {
  Forms& f = Begin();
  Finish(f, {{"nothing", Expr{}, efi::kInvalidParameter}});
  Check({{"nothing", Expr{}, efi::kInvalidParameter}});
}

TEST_F(ExpressionTest, ValueOpensAnExpressionAndAQuestionDoesNot) {
  Forms& f = Begin();
  size_t value = InImage(f.Op(op::kValue, {}, true));
  f.Expression(Add(U8(1), U8(2)));
  f.End();
  size_t question = InImage(f.Checkbox({.prompt = L"Q", .id = 0x41, .varStore = 1, .offset = 1}).at);
  Finish(f, {});
  IfrValue result;
  size_t consumed = 0;
  ASSERT_EQ(evaluator_->EvaluateExpression(Request(value), result, consumed), efi::kSuccess);
  EXPECT_EQ(result.Type, kValueUint64);
  EXPECT_EQ(result.Value, 3u);
  EXPECT_EQ(consumed, 2u + 3 + 3 + 2);
  ASSERT_EQ(evaluator_->EvaluateExpression(Request(question), result, consumed), efi::kSuccess);
  EXPECT_EQ(result.Type, kValueOther);
}

TEST_F(ExpressionTest, StringsComeFromTheCurrentLanguageOrEn) {
  // The first language of "PlatformLangCodes" is the current one; a language without a string
  // package falls back to "en".
  PutVariable("PlatformLangCodes", kes::guids::kGlobalVariable, Ascii("de-DE;en-US"));
  Forms& f = Begin();
  uint16_t id = List().AddString(L"english");
  List().SetString("de-DE", id, L"deutsch");
  List().SetString("en", id, L"en");
  std::vector<Case> cases = {{"current language", Str(id), 0, kValueString, 0, u"deutsch"}};
  Finish(f, cases);
  EXPECT_EQ(evaluator_->EvaluationLanguages(), (std::vector<std::string>{"de-DE", "en-US"}));
  Check(cases);

  PutVariable("PlatformLangCodes", kes::guids::kGlobalVariable, Ascii("fr-FR"));
  ASSERT_EQ(evaluator_->InitializeEvaluation(), efi::kSuccess);
  cases[0].text = u"en";
  Check(cases);
}

TEST_F(ExpressionTest, GrowingStringsStopAtTheLimit) {
  // Every DUP + CATENATE doubles the text: the chain ends with an out-of-resources status
  // instead of exhausting memory.
  Forms& f = Begin();
  uint16_t hello = List().AddString(L"Hello World");
  Expr e = Str(hello);
  for (int i = 0; i < 30; ++i) e = Dup(e) + Expr::Op(op::kCatenate);
  std::vector<Case> cases = {{"doubling", Length(e), efi::kOutOfResources}};
  Finish(f, cases);
  Check(cases);
}

TEST(ExpressionText, MatchPattern) {
  struct {
    const char16_t* text;
    const char16_t* pattern;
    bool match;
  } cases[] = {
      {u"Hello", u"Hello", true},     {u"Hello", u"hELLO", true},  {u"Hello", u"Hell", false},
      {u"Hello", u"*", true},         {u"", u"*", true},           {u"", u"?", false},
      {u"Hello", u"H?llo", true},     {u"Hello", u"*llo", true},   {u"Hello", u"*l*o", true},
      {u"Hello", u"*x*", false},      {u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaab", u"*a*a*a*a*a*a*a*a*a*c", false},
      {u"Hello", u"[gh]ello", true},  {u"Hello", u"[a-g]ello", false}, {u"-", u"[-]", true},
      {u"Hello", u"[h", false},       {u"\u00E4", u"\u00C4", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(evaluation::MatchPattern(c.text, c.pattern), c.match)
        << std::string(c.pattern, c.pattern + std::char_traits<char16_t>::length(c.pattern));
  }
}

TEST(ExpressionText, CaseMappingRoundTrips) {
  // Every unit the upper-case mapping changes maps back to its lower case, and the other way.
  for (uint32_t u = 0; u <= 0xFFFF; ++u) {
    char16_t c = static_cast<char16_t>(u);
    char16_t upper = evaluation::ToUpperUnit(c);
    char16_t lower = evaluation::ToLowerUnit(c);
    if (upper != c && c != 0x00B5 && c != 0x0131 && c != 0x017F && c != 0x03C2) {
      EXPECT_EQ(evaluation::ToLowerUnit(upper), c) << std::hex << u;
    }
    if (lower != c && c != 0x0130) {
      EXPECT_EQ(evaluation::ToUpperUnit(lower), c) << std::hex << u;
    }
  }
  EXPECT_EQ(evaluation::ToUpperText(u"stra\u00DFe \u0101\u017E"), u"STRA\u00DFE \u0100\u017D");
}

// Expressions cut short or corrupted end with an error, never outside the image.
class CorruptExpressionTest : public EvaluatorTest {
 protected:
  // A form whose last opcodes are a suppress-if and `tail`, with the package ending right there.
  std::vector<uint8_t> Truncated(const Ops& tail, size_t& condition, size_t& formsEnd) {
    BuiltList list(kListGuid);
    Forms& f = list.AddForms();
    f.autoClose = false;
    f.FormSet(kFormSetGuid, L"Set", L"");
    f.VarStore(1, kSetupGuid, "Setup", 4);
    f.Form(1, L"Main");
    f.Checkbox({.prompt = L"Box", .id = 1, .varStore = 1, .offset = 0});
    condition = InImage(f.Raw(Ops{op::kSuppressIf, 0x82}));
    f.Raw(tail);
    formsEnd = InImage(f.Bytes().size());
    return list.Bytes();
  }
};

TEST_F(CorruptExpressionTest, CutShortOrMalformedExpressionsFail) {
  PutVariable("Setup", kSetupGuid, {1, 0, 0, 0});
  struct {
    const char* name;
    Ops tail;
  } cases[] = {
      {"ends after one operand", {op::kTrue, 0x02}},
      {"opcode of length 0", {op::kTrue, 0x02, op::kTrue, 0x00}},
      {"opcode running past the package", {op::kUint64, 0x0A, 1, 2}},
      {"UINT64 shorter than its value", {op::kUint64, 0x04, 1, 2, op::kEnd, 0x02}},
      {"EQ_ID_VAL shorter than its fields", {op::kEqIdVal, 0x03, 1, op::kEnd, 0x02}},
      {"EQ_ID_VAL_LIST longer list than opcode", {op::kEqIdValList, 0x08, 1, 0, 100, 0, 1, 0, op::kEnd, 0x02}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    size_t condition = 0, formsEnd = 0;
    Load(Truncated(c.tail, condition, formsEnd));
    ConditionRequest request;
    request.PageIndex = Page(1);
    request.Condition = condition;
    request.Target = formsEnd - 1;
    IfrValue value;
    size_t consumed = 0;
    EXPECT_TRUE(efi::IsError(evaluator_->EvaluateExpression(request, value, consumed)));
    EXPECT_EQ(evaluator_->EvaluateCondition(request), kConditionNone);
  }
}

TEST_F(CorruptExpressionTest, EveryByteOfACorruptedFormEvaluatesCleanly) {
  // Each byte of the forms package is overwritten in turn with values that break lengths,
  // scopes and opcodes; every condition of the result is evaluated towards every later opcode.
  PutVariable("Setup", kSetupGuid, {1, 0, 0x34, 0x12});
  BuiltList list(kListGuid);
  Forms& f = list.AddForms();
  f.FormSet(kFormSetGuid, L"Set", L"");
  f.VarStore(1, kSetupGuid, "Setup", 4);
  f.Form(1, L"Main");
  uint16_t text = list.AddString(L"abc");
  f.Op(op::kRule, ByteWriter().U8(1).bytes(), true);
  f.Expression(Expr::EqIdVal(1, 1));
  f.End();
  f.SuppressIf(And(Expr::RuleRef(1), Equal(Length(Str(text)), U8(3))));
  f.GrayOutIf(Match(Str(text), Str(text)));
  f.Checkbox({.prompt = L"A", .id = 1, .varStore = 1, .offset = 0});
  f.OneOf({.prompt = L"B", .id = 2, .varStore = 1, .offset = 1}, 1, {{0, L"x"}, {1, L"y"}});
  f.End();
  f.End();
  f.Numeric({.prompt = L"C", .id = 3, .varStore = 1, .offset = 2}, 2, 0, 0xFFFF);
  const std::vector<uint8_t> good = list.Bytes();
  const size_t formsEnd = InImage(f.Bytes().size());
  const uint8_t values[] = {0x00, 0xFF, 0x80, 0x7F, 0x29, 0x0A, 0x02};
  for (size_t at = InImage(0); at < formsEnd; ++at) {
    for (uint8_t v : values) {
      std::vector<uint8_t> bad = good;
      bad[at] = v;
      Load(bad);
      std::vector<size_t> ops;
      for (size_t p = InImage(4); p + 2 <= formsEnd && ops.size() < 64;) {
        size_t length = image_[p + 1] & 0x7F;
        if (length < 2) break;
        ops.push_back(p);
        p += length;
      }
      for (size_t i = 0; i < ops.size(); ++i) {
        uint8_t code = image_[ops[i]];
        if (code != op::kSuppressIf && code != op::kGrayOutIf && code != op::kRule) continue;
        for (size_t j = i + 1; j < ops.size(); ++j) {
          ConditionRequest request;
          request.PageIndex = evaluator_->FindPageIndex(1, kFormSetGuid).value_or(0);
          request.QuestionId = 1;
          request.Condition = ops[i];
          request.Target = ops[j];
          ConditionResult result = evaluator_->EvaluateCondition(request);
          EXPECT_TRUE(result == kConditionNone || result == kConditionSuppress || result == kConditionGrayOut ||
                      result == kConditionInconsistent || result == kConditionNoSubmit);
          IfrValue value;
          size_t consumed = 0;
          evaluator_->EvaluateExpression(request, value, consumed);
          EXPECT_LE(ops[i] + consumed, image_.size());
        }
      }
    }
  }
}

}  // namespace
}  // namespace kes::evaltest
