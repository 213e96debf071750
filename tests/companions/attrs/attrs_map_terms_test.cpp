// Conditions written as Map dependencies, one kind of expression per question: how each is
// spelled (NOT folded in, an enumeration's values, a group of terms first, an OR at the top split
// into dependencies), or why it cannot be, and what a client's evaluation of them gives.
#include <gtest/gtest.h>

#include <map>

#include "tests/support/test_support.h"
#include "tests/companions/attrs/attrs_images.h"
#include "companions/attrs/operations.h"
#include "companions/attrs/session.h"
#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes::attrs {
namespace {

using namespace hiibuild;

constexpr EfiGuid kGuid{0x6D3A0B11, 0x2C4E, 0x4F70, {0x91, 0x0A, 0x3B, 0x5C, 0x7E, 0x1F, 0x22, 0x48}};

// Question ids of the attributes the conditions read.
constexpr uint16_t kEnum = 1, kFlag = 2, kCheck = 3, kNumber = 4, kSigned = 5, kText = 6;

struct Case {
  const char* target;
  uint8_t opcode;  // the condition
  Expr condition;
  std::vector<std::string> expected;  // "Property: terms", or "unmapped: reason"
};

std::vector<Case> Cases() {
  auto eq = [](uint16_t q, uint16_t v) { return Expr::EqIdVal(q, v); };
  auto ref = [](uint16_t q) { return Expr::QuestionRef(q); };
  return {
      {"T01", op::kSuppressIf, eq(kEnum, 1), {"Hidden: EN EQU Middle"}},
      {"T02", op::kSuppressIf, Not(eq(kEnum, 1)), {"Hidden: EN NEQ Middle"}},
      {"T03", op::kSuppressIf, GreaterThan(ref(kEnum), Expr::Uint8(0)), {"Hidden: EN NEQ Low"}},
      {"T04", op::kGrayOutIf, And(Or(eq(kEnum, 0), eq(kEnum, 1)), eq(kCheck, 1)),
       {"GrayOut: EN EQU Low OR EN EQU Middle AND CB EQU true", "ReadOnly: EN EQU Low OR EN EQU Middle AND CB EQU true"}},
      {"T05", op::kSuppressIf, And(Expr::EqIdValList(kNumber, {1, 2}), eq(kFlag, 1)),
       {"Hidden: NU EQU 1 OR NU EQU 2 AND FL EQU On"}},
      {"T06", op::kSuppressIf, Or(And(eq(kEnum, 0), eq(kFlag, 0)), And(eq(kEnum, 1), eq(kFlag, 1))),
       {"Hidden: EN EQU Low AND FL EQU Off", "Hidden: EN EQU Middle AND FL EQU On"}},
      {"T07", op::kSuppressIf, And(Or(eq(kEnum, 0), eq(kFlag, 0)), Or(eq(kEnum, 1), eq(kCheck, 1))),
       {"unmapped: it joins more than one group of terms, which a left-to-right chain cannot write"}},
      {"T08", op::kSuppressIf, LessThan(ref(kSigned), Expr::Uint16(0)),
       {"unmapped: it orders SI, a signed integer, by its stored bytes"}},
      {"T09", op::kSuppressIf, eq(kSigned, 0xFFFF), {"Hidden: SI EQU -1"}},
      {"T10", op::kSuppressIf, LessEqual(Expr::Uint8(10), ref(kNumber)), {"Hidden: NU GEQ 10"}},
      {"T11", op::kDisableIf, eq(kCheck, 0), {"Hidden: CB EQU false", "ReadOnly: CB EQU false"}},
      {"T12", op::kSuppressIf, eq(kText, 1), {"unmapped: it compares TX, whose value is not a number"}},
      {"T13", op::kSuppressIf, Expr::EqIdId(kEnum, kFlag), {"unmapped: it compares two questions (EQ_ID_ID)"}},
      {"T14", op::kSuppressIf, eq(0x99, 1), {"unmapped: it reads question 0x0099, which does not exist"}},
      {"T15", op::kSuppressIf, Equal(Add(ref(kNumber), Expr::One()), Expr::Uint8(6)),
       {"unmapped: it uses arithmetic (ADD)"}},
      {"T16", op::kSuppressIf, Expr::True(), {"unmapped: it holds whatever the attributes' values are"}},
      {"T17", op::kSuppressIf, eq(kEnum, 7), {"unmapped: it holds for no value of the attributes it reads"}},
      {"T18", op::kGrayOutIf, Not(Or(eq(kNumber, 5), Not(eq(kFlag, 0)))),
       {"GrayOut: NU NEQ 5 AND FL EQU Off", "ReadOnly: NU NEQ 5 AND FL EQU Off"}},
  };
}

// The dependencies and unmapped conditions of each attribute, spelled as the cases spell them.
std::map<std::string, std::vector<std::string>> Spelled(const Json& registry) {
  std::map<std::string, std::vector<std::string>> out;
  for (const Json& d : registry["RegistryEntries"]["Dependencies"]) {
    const Json& dependency = d["Dependency"];
    std::string text = dependency["MapToProperty"].get<std::string>() + ":";
    for (const Json& m : dependency["MapFrom"]) {
      if (m.contains("MapTerms")) text += " " + m["MapTerms"].get<std::string>();
      Json value = m["MapFromValue"];
      text += " " + m["MapFromAttribute"].get<std::string>() + " " + m["MapFromCondition"].get<std::string>() + " " +
              (value.is_string() ? value.get<std::string>() : value.dump());
    }
    out[dependency["MapToAttribute"]].push_back(text);
  }
  for (const Json& a : registry["RegistryEntries"]["Attributes"])
    for (const Json& u : a["Oem"]["Kestrel"].value("UnmappedConditions", Json::array()))
      out[a["AttributeName"]].push_back("unmapped: " + u["Reason"].get<std::string>());
  return out;
}

TEST(AttrsMapTerms, EachKindOfConditionIsSpelledOrExplained) {
  hiibuild::PackageList list(kGuid);
  Forms& f = list.AddForms();
  f.FormSet(kGuid, L"Terms", L"h");
  f.VarStore(1, kGuid, "Terms", 64);
  f.Form(1, L"Terms");
  uint16_t offset = 0;
  auto q = [&](const wchar_t* map, uint16_t id, uint16_t width) {
    Q question{.prompt = map, .help = L"h", .id = id, .varStore = 1, .offset = offset, .map = map};
    offset = static_cast<uint16_t>(offset + width);
    return question;
  };
  f.OneOf(q(L"EN", kEnum, 1), 1, {{0, L"Low"}, {1, L"Middle"}, {2, L"High"}});
  f.OneOf(q(L"FL", kFlag, 1), 1, {{0, L"Off"}, {1, L"On"}});
  f.Checkbox(q(L"CB", kCheck, 1));
  f.Numeric(q(L"NU", kNumber, 1), 1, 0, 100, 1, flags::kDisplayUintDec);
  f.Numeric(q(L"SI", kSigned, 2), 2, 0x8000, 0x7FFF, 1, flags::kDisplayIntDec);
  f.String(q(L"TX", kText, 8), 0, 4);
  uint16_t id = 0x40;
  for (const Case& c : Cases()) {
    f.Condition(c.opcode, {}, c.condition);
    f.Checkbox(q(std::wstring(c.target, c.target + 3).c_str(), id++, 1));
    f.End();
  }
  // A form reached through a REF under a suppress-if: its question inherits the condition.
  f.SuppressIf(Expr::EqIdVal(kFlag, 1));
  f.Ref(Q{.prompt = L"More", .help = L"h", .id = id++, .offset = 0xFFFF}, 2);
  f.End();
  f.End();
  f.Form(2, L"More");
  f.Checkbox(q(L"T19", id++, 1));
  f.End();

  // EN Middle, FL Off, CB on, NU 5, SI -1, TX "x".
  std::vector<uint8_t> data(64, 0);
  data[0] = 1;
  data[2] = 1;
  data[3] = 5;
  data[4] = data[5] = 0xFF;
  data[6] = 'x';
  test::TempDir dir;
  test::WriteFileBytes(dir / "hii.bin", list.Bytes());
  ASSERT_EQ(WriteVariableFiles(dir / "vars", {{"Terms", kGuid, attr::kNvBsRt, data}}), "");
  Session session;
  ASSERT_TRUE(session.Open({dir / "hii.bin", dir / "vars", {}}));
  std::string text;
  ASSERT_TRUE(WriteRegistry(session.Setup(), [&](std::string_view piece) {
    text.append(piece);
    return true;
  }));
  Json registry = Json::parse(text);
  auto spelled = Spelled(registry);
  for (const Case& c : Cases()) EXPECT_EQ(spelled[c.target], c.expected) << c.target;
  EXPECT_EQ(spelled["T19"], std::vector<std::string>{"Hidden: FL EQU On"});
  Json menus = registry["RegistryEntries"]["Menus"];
  ASSERT_EQ(menus.size(), 2u);
  EXPECT_EQ(menus[1]["MenuPath"], "./Terms/More");

  test::WriteFileText(dir / "registry.json", text);
  test::ProcessResult check = test_images::RunPython("redfish_map.py", {"check", dir / "registry.json"});
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
}

}  // namespace
}  // namespace kes::attrs
