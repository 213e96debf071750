// The condition walk (nested suppress-if, gray-out-if and the others around a question or an
// option), the evaluator's page and variable tables, and the question iterator using them.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "hii/evaluator.h"
#include "hii/question_model.h"
#include "hii/question_walk.h"
#include "hii/strings.h"
#include "hii/hii_format.h"
#include "hii/varstore_table.h"
#include "devtools/hiibuild/generators.h"
#include "tests/hii/evaluator_test_support.h"

namespace kes::evaltest {
namespace {

using hiibuild::Database;
using hiibuild::Expr;
using hiibuild::Forms;
using BuiltList = hiibuild::PackageList;

constexpr uint16_t kSwitchQ = 0x10;  // one-of at offset 0 of "Setup"

class ConditionTest : public EvaluatorTest {
 protected:
  void SetSwitch(uint8_t value) { PutVariable("Setup", kSetupGuid, {value, 0, 0, 0, 0, 0, 0, 0}); }

  Forms& Begin() {
    Forms& f = list_.AddForms();
    f.FormSet(kFormSetGuid, L"Set", L"");
    f.VarStore(1, kSetupGuid, "Setup", 8);
    f.Form(1, L"Main");
    f.OneOf({.prompt = L"Switch", .id = kSwitchQ, .varStore = 1, .offset = 0}, 1, {{0, L"Off"}, {1, L"On"}});
    return f;
  }
  size_t Target(Forms& f) { return InImage(f.Checkbox({.prompt = L"T", .id = 0x30, .varStore = 1, .offset = 1}).at); }

  // The result as a number, so that a failure prints it readably.
  int Evaluate(size_t condition, size_t target, uint32_t controlFlags = 0) {
    ConditionRequest r;
    r.PageIndex = Page(1);
    r.QuestionId = 0x30;
    r.Condition = condition;
    r.Target = target;
    r.ControlFlags = controlFlags;
    return evaluator_->EvaluateCondition(r);
  }

  BuiltList list_{kListGuid};
};

TEST_F(ConditionTest, SuppressIfFollowsTheQuestionsCurrentValue) {
  SetSwitch(1);
  Forms& f = Begin();
  size_t condition = InImage(f.SuppressIf(Expr::EqIdVal(kSwitchQ, 1)));
  size_t target = Target(f);
  f.End();
  Load(list_.Bytes());
  EXPECT_EQ(Evaluate(condition, target), kConditionSuppress);

  SetSwitch(0);
  ASSERT_EQ(evaluator_->InitializeEvaluation(), efi::kSuccess);
  EXPECT_EQ(Evaluate(condition, target), kConditionNone);
}

TEST_F(ConditionTest, NestedConditionsCombine) {
  SetSwitch(1);
  Forms& f = Begin();
  uint16_t maybe = list_.AddString(L"maybe");
  struct Case {
    const char* name;
    size_t condition = 0;
    size_t target = 0;
    int expected;
  };
  std::vector<Case> cases;
  auto add = [&](const char* name, size_t condition, size_t target, int expected) {
    cases.push_back({name, condition, target, expected});
  };
  size_t c, t;

  c = InImage(f.SuppressIf(Expr::False()));
  f.GrayOutIf(Expr::True());
  t = Target(f);
  f.End();
  f.End();
  add("gray-out (true) inside suppress (false)", c, t, kConditionGrayOut);

  c = InImage(f.SuppressIf(Expr::True()));
  f.GrayOutIf(Expr::True());
  t = Target(f);
  f.End();
  f.End();
  add("gray-out (true) inside suppress (true)", c, t, kConditionSuppress);

  c = InImage(f.GrayOutIf(Expr::True()));
  f.SuppressIf(Expr::EqIdVal(kSwitchQ, 1));
  t = Target(f);
  f.End();
  f.End();
  add("suppress (question holds 1) inside gray-out (true)", c, t, kConditionSuppress);

  c = InImage(f.GrayOutIf(Expr::True()));
  f.SuppressIf(Expr::False());
  t = Target(f);
  f.End();
  f.End();
  add("suppress (false) inside gray-out (true)", c, t, kConditionGrayOut);

  c = InImage(f.GrayOutIf(Expr::False()));
  t = Target(f);
  f.End();
  add("gray-out (false)", c, t, kConditionNone);

  c = InImage(f.DisableIf(Expr::True()));
  t = Target(f);
  f.End();
  add("disable (true)", c, t, kConditionSuppress);

  c = InImage(f.SuppressIf(Expr::False()));
  f.GrayOutIf(Expr::False());
  f.SuppressIf(Expr::True());
  t = Target(f);
  f.End();
  f.End();
  f.End();
  add("suppress (true) three deep", c, t, kConditionSuppress);

  c = InImage(f.SuppressIf(Expr::False()));
  f.GrayOutIf(Expr::True());
  Target(f);
  f.End();
  t = Target(f);
  f.End();
  add("a gray-out beside the question does not reach it", c, t, kConditionNone);

  c = InImage(f.SuppressIf(Expr::True() + Expr::True()));
  f.GrayOutIf(Expr::True());
  t = Target(f);
  f.End();
  f.End();
  add("a failing suppress counts as false", c, t, kConditionGrayOut);

  c = InImage(f.SuppressIf(ToBoolean(Expr::StringRef(maybe))));
  t = Target(f);
  f.End();
  add("TO_BOOLEAN of another word is not true", c, t, kConditionNone);

  c = InImage(f.InconsistentIf(L"bad", Expr::True()).at);
  t = Target(f);
  add("inconsistent (true)", c, t, kConditionInconsistent);

  c = InImage(f.NoSubmitIf(L"no", Expr::True()).at);
  t = Target(f);
  add("no-submit (true)", c, t, kConditionNoSubmit);

  c = InImage(f.SuppressIf(Expr::True()));
  t = InImage(f.Ref({.prompt = L"Go", .id = 0x31}, 2).at);
  f.End();
  add("a REF inside suppress (true)", c, t, kConditionSuppress);

  // An option hidden by its own suppress-if inside the one-of.
  f.OneOf({.prompt = L"Pick", .id = 0x32, .varStore = 1, .offset = 2}, 1, {}, {.open = true});
  f.Option({0, L"Always"});
  c = InImage(f.SuppressIf(Expr::EqIdVal(kSwitchQ, 1)));
  t = InImage(f.Option({1, L"Hidden"}).at);
  f.End();
  f.End();
  add("an option inside its suppress-if", c, t, kConditionSuppress);

  f.End();  // form 1
  f.Form(2, L"Second");
  f.End();
  Load(list_.Bytes());
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    EXPECT_EQ(Evaluate(k.condition, k.target), k.expected);
  }

  // Requests that name no condition, set control flags, or a target before the condition.
  EXPECT_EQ(Evaluate(0, cases[1].target), kConditionNone);
  EXPECT_EQ(Evaluate(cases[1].condition, cases[1].target, 1), kConditionNone);
  EXPECT_EQ(Evaluate(cases[1].condition, cases[0].target), kConditionNone);
  EXPECT_EQ(Evaluate(cases[1].condition, image_.size() + 100), kConditionNone);
}

TEST_F(ConditionTest, LaterTargetsGetWhatAWalkFromTheConditionGives) {
  // Requests on one condition for targets in walk order go on from the previous request; each
  // result must equal that of a walk started afresh, which a new initialisation forces.
  PutVariable("Setup", kSetupGuid, {1, 1, 0, 0, 1, 0, 0, 0});
  Forms& f = Begin();
  auto box = [&](uint16_t id, uint16_t offset) {
    return InImage(f.Checkbox({.prompt = L"T", .id = id, .varStore = 1, .offset = offset}).at);
  };
  struct Step {
    uint16_t questionId;
    size_t target;
    int expected;
  };
  std::vector<Step> steps;
  size_t outer = InImage(f.GrayOutIf(Expr::False()));
  steps.push_back({0x21, box(0x21, 1), kConditionNone});
  f.SuppressIf(Expr::EqIdVal(kSwitchQ, 1));
  steps.push_back({0x22, box(0x22, 1), kConditionSuppress});
  f.GrayOutIf(Expr::True());
  steps.push_back({0x23, box(0x23, 1), kConditionSuppress});
  f.End();
  steps.push_back({0x24, box(0x24, 1), kConditionSuppress});
  f.End();
  steps.push_back({0x25, box(0x25, 1), kConditionNone});
  f.Condition(hiibuild::op::kInconsistentIf, hiibuild::ByteWriter().U16(0).bytes(), Expr::True());
  steps.push_back({0x26, box(0x26, 1), kConditionNone});
  f.End();
  steps.push_back({0x27, box(0x27, 1), kConditionNone});
  f.GrayOutIf(Expr::This());  // the checkboxes at offset 4 are set, those at offset 5 are not
  steps.push_back({0x28, box(0x28, 4), kConditionGrayOut});
  steps.push_back({0x29, box(0x29, 5), kConditionNone});
  steps.push_back({0x3A, box(0x3A, 5), kConditionNone});
  steps.push_back({0x3B, box(0x3B, 4), kConditionGrayOut});
  steps.push_back({0x28, box(0x28, 4), kConditionGrayOut});
  f.End();
  f.OneOf({.prompt = L"Pick", .id = 0x2A, .varStore = 1, .offset = 2}, 1, {}, {.open = true});
  f.SuppressIf(Expr::EqIdVal(kSwitchQ, 1));
  steps.push_back({0x2A, InImage(f.Option({1, L"Hidden"}).at), kConditionSuppress});
  f.End();
  f.End();
  f.End();
  steps.push_back({0x2B, box(0x2B, 1), kConditionNone});  // after the condition's scope
  // The same condition read by THIS from its outermost scope.
  size_t self = InImage(f.GrayOutIf(Expr::This()));
  std::vector<Step> selfSteps = {{0x2C, box(0x2C, 4), kConditionGrayOut},
                                 {0x2D, box(0x2D, 5), kConditionNone},
                                 {0x2E, box(0x2E, 5), kConditionNone},
                                 {0x2F, box(0x2F, 4), kConditionGrayOut}};
  f.End();
  Load(list_.Bytes());

  auto request = [&](size_t condition, const Step& step) {
    ConditionRequest r;
    r.PageIndex = Page(1);
    r.QuestionId = step.questionId;
    r.Condition = condition;
    r.Target = step.target;
    return static_cast<int>(evaluator_->EvaluateCondition(r));
  };
  for (auto [condition, list] : {std::pair{outer, steps}, std::pair{self, selfSteps}}) {
    // In order, then backwards (every request starts afresh), then in order again.
    std::vector<Step> order = list;
    order.insert(order.end(), list.rbegin(), list.rend());
    order.insert(order.end(), list.begin(), list.end());
    std::vector<int> fresh;
    for (const Step& step : order) {
      ASSERT_EQ(evaluator_->InitializeEvaluation(), efi::kSuccess);
      fresh.push_back(request(condition, step));
    }
    ASSERT_EQ(evaluator_->InitializeEvaluation(), efi::kSuccess);
    for (size_t i = 0; i < order.size(); ++i) {
      SCOPED_TRACE("request " + std::to_string(i) + ", question " + std::to_string(order[i].questionId));
      EXPECT_EQ(fresh[i], order[i].expected);
      EXPECT_EQ(request(condition, order[i]), fresh[i]);
    }
  }
}

TEST_F(ConditionTest, RuleRefsTakeTheRuleOfTheirOwnForm) {
  // Rule 1 is defined at the end of each form, false in form 1 and true in form 2.
  SetSwitch(0);
  Forms& f = Begin();
  size_t c1 = InImage(f.SuppressIf(Expr::RuleRef(1)));
  size_t t1 = Target(f);
  f.End();
  f.Op(hiibuild::op::kRule, hiibuild::ByteWriter().U8(1).bytes(), true);
  f.Expression(Expr::False());
  f.End();
  f.End();
  f.Form(2, L"Second");
  size_t c2 = InImage(f.SuppressIf(Expr::RuleRef(1)));
  size_t t2 = InImage(f.Checkbox({.prompt = L"U", .id = 0x31, .varStore = 1, .offset = 1}).at);
  f.End();
  f.Op(hiibuild::op::kRule, hiibuild::ByteWriter().U8(1).bytes(), true);
  f.Expression(Expr::True());
  f.End();
  f.End();
  Load(list_.Bytes());
  ConditionRequest r;
  r.PageIndex = Page(1);
  r.Condition = c1;
  r.Target = t1;
  EXPECT_EQ(evaluator_->EvaluateCondition(r), kConditionNone);
  r.PageIndex = Page(2);
  r.Condition = c2;
  r.Target = t2;
  EXPECT_EQ(evaluator_->EvaluateCondition(r), kConditionSuppress);
}

TEST_F(ConditionTest, EightyThousandNestedConditionsAroundOneQuestion) {
  // Deep nesting is walked without recursion; the innermost condition decides.
  for (bool innermost : {false, true}) {
    SCOPED_TRACE(innermost);
    SetSwitch(0);
    BuiltList list(kListGuid);
    Forms& f = list.AddForms();
    f.FormSet(kFormSetGuid, L"Set", L"");
    f.VarStore(1, kSetupGuid, "Setup", 8);
    f.Form(1, L"Main");
    for (int d = 1; d < 80000; ++d) f.SuppressIf(Expr::False());
    f.SuppressIf(innermost ? Expr::True() : Expr::False());
    f.Checkbox({.prompt = L"Deep", .id = 0x30, .varStore = 1, .offset = 1});
    Load(list.Bytes());
    std::vector<bool> suppressed;
    Walk({.exportMode = true, .suppressIf = true, .commentOut = true},
         {.question = [&](const kes::PackageList&, const FormSetInfo&, const FormInfo&, QuestionRecord& r) {
           if (r.QuestionId == 0x30) suppressed.push_back(r.Suppressed);
         }});
    EXPECT_EQ(suppressed, std::vector<bool>{innermost});
  }
}

TEST_F(ConditionTest, VisibleOptionsDropTheSuppressedOption) {
  SetSwitch(1);
  Forms& f = Begin();
  f.OneOf({.prompt = L"Pick", .id = 0x32, .varStore = 1, .offset = 2}, 1, {}, {.open = true});
  f.Option({0, L"Always"});
  f.SuppressIf(Expr::EqIdVal(kSwitchQ, 1));
  f.Option({1, L"Hidden"});
  f.End();
  f.SuppressIf(Expr::EqIdVal(kSwitchQ, 0));
  f.Option({2, L"Shown"});
  f.End();
  f.End();
  Load(list_.Bytes());

  std::vector<uint64_t> values;
  Walk(WalkContext{}, {.question = [&](const kes::PackageList& list, const FormSetInfo&, const FormInfo&,
                                                QuestionRecord& record) {
                  if (record.QuestionId != 0x32) return;
                  EXPECT_EQ(record.ValueInfo.Options.size(), 3u);
                  for (const OptionRecord& o : VisibleOptions(image_, record, list.offset, evaluator_.get())) values.push_back(o.Value);
                }});
  EXPECT_EQ(values, (std::vector<uint64_t>{0, 2}));
}

TEST_F(ConditionTest, ExportWalkLeavesOutOrMarksHiddenQuestions) {
  SetSwitch(1);
  Forms& f = Begin();
  f.SuppressIf(Expr::EqIdVal(kSwitchQ, 1));
  f.Checkbox({.prompt = L"Hidden", .id = 0x30, .varStore = 1, .offset = 1});
  f.End();
  f.GrayOutIf(Expr::EqIdVal(kSwitchQ, 1));
  f.Checkbox({.prompt = L"Gray", .id = 0x31, .varStore = 1, .offset = 2});
  f.End();
  f.Checkbox({.prompt = L"Plain", .id = 0x33, .varStore = 1, .offset = 3});
  Load(list_.Bytes());

  auto walk = [&](WalkContext context) {
    std::vector<std::string> seen;
    Walk(context, {.question = [&](const kes::PackageList&, const FormSetInfo&, const FormInfo&, QuestionRecord& r) {
                    seen.push_back(std::to_string(r.QuestionId) + (r.Suppressed ? "s" : "") + (r.GrayedOut ? "g" : ""));
                  }});
    return seen;
  };
  using V = std::vector<std::string>;
  EXPECT_EQ(walk({.exportMode = true}), (V{"16", "48", "49", "51"}));
  EXPECT_EQ(walk({.exportMode = true, .suppressIf = true}), (V{"16", "49", "51"}));
  EXPECT_EQ(walk({.exportMode = true, .suppressIf = true, .grayOutIf = true}), (V{"16", "51"}));
  EXPECT_EQ(walk({.exportMode = true, .suppressIf = true, .grayOutIf = true, .commentOut = true}),
            (V{"16", "48s", "49g", "51"}));
  // Without an initialised evaluator nothing is evaluated.
  evaluator_.reset();
  EXPECT_EQ(walk({.exportMode = true, .suppressIf = true, .grayOutIf = true}), (V{"16", "48", "49", "51"}));
}

// Pages, parents, variables and languages.
// The REF that makes a page a child comes with the conditions whose scopes enclose it (not one
// closed before it); a condition reads as terms whose question is resolved, and evaluates on bytes
// that replace its variable's.
TEST_F(ConditionTest, ParentReferencesTermsAndAssumedBytes) {
  SetSwitch(0);
  Forms& f = Begin();
  size_t outer = InImage(f.SuppressIf(Expr::EqIdVal(kSwitchQ, 1)));
  f.GrayOutIf(Expr::True());
  f.End();
  size_t inner = InImage(f.DisableIf(Not(Expr::EqIdValList(kSwitchQ, {0, 2}))));
  size_t ref = InImage(f.Ref({.prompt = L"to 2", .id = 0x40}, 2).at);
  f.End();
  f.End();
  f.End();
  size_t second = InImage(f.Form(2, L"Two").at);
  f.Ref({.prompt = L"back", .id = 0x41}, 1);
  f.End();
  Load(list_.Bytes());
  EXPECT_EQ(evaluator_->PageOfForm(second), Page(2));
  auto reference = evaluator_->ParentReference(Page(2));
  ASSERT_TRUE(reference);
  EXPECT_EQ(reference->parent, Page(1));
  EXPECT_EQ(reference->reference, ref);
  EXPECT_EQ(reference->questionId, 0x40);
  EXPECT_EQ(reference->conditions, (std::vector<size_t>{outer, inner}));
  ASSERT_TRUE(evaluator_->ParentReference(Page(1)));  // the REF back from form 2
  EXPECT_TRUE(evaluator_->ParentReference(Page(1))->conditions.empty());

  ConditionRequest request;
  request.packageList = 0;
  request.PageIndex = Page(1);
  request.QuestionId = 0x30;
  request.Condition = inner;
  ConditionTerms terms = evaluator_->ReadConditionTerms(request);
  ASSERT_EQ(terms.postfix.size(), 2u) << terms.unreadable;
  EXPECT_EQ(terms.postfix[0].kind, TermKind::InList);
  EXPECT_EQ(terms.postfix[0].values, (std::vector<uint64_t>{0, 2}));
  EXPECT_EQ(terms.postfix[0].question.code, hii::IFR_ONE_OF);
  EXPECT_TRUE(terms.postfix[0].question.readable);
  EXPECT_EQ(terms.postfix[1].kind, TermKind::Not);
  EXPECT_FALSE(terms.perQuestion);

  auto holds = [&](size_t condition) {
    request.Condition = condition;
    IfrValue value;
    size_t consumed = 0;
    return evaluator_->EvaluateExpression(request, value, consumed) == efi::kSuccess && value.Value != 0;
  };
  EXPECT_FALSE(holds(outer));
  EXPECT_FALSE(holds(inner));
  ASSERT_TRUE(evaluator_->ReplaceEvaluationVariableBytes(L"Setup", kSetupGuid, {1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_TRUE(holds(outer));
  EXPECT_TRUE(holds(inner));
  EXPECT_FALSE(evaluator_->ReplaceEvaluationVariableBytes(L"Nothing", kSetupGuid, {1}));
}

class EvaluatorTablesTest : public EvaluatorTest {};

constexpr EfiGuid kOtherList{0x22222222, 0x3333, 0x4444, {0x55, 0x55, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66}};
constexpr EfiGuid kOtherFormSet{0xB0B0B0B0, 0xC1C1, 0xD2D2, {0xE3, 0xE3, 0xF4, 0xF4, 0xF4, 0xF4, 0xF4, 0xF4}};

TEST_F(EvaluatorTablesTest, PagesAndTheirParents) {
  {
    const HiiDatabase none;
    const StringLookup strings(none, StringOptions{});
    EXPECT_FALSE(Evaluator(none, strings, fw_).FindPageIndex(1, kFormSetGuid).has_value());  // not initialised
  }
  Database db;
  {
    BuiltList& list = db.AddList(kListGuid);
    Forms& f = list.AddForms();
    f.FormSet(kFormSetGuid, L"A", L"");
    f.Form(1, L"One");
    f.Ref({.prompt = L"to 2"}, 2);
    f.Ref({.prompt = L"to itself"}, 1);
    f.End();
    f.Form(2, L"Two");
    f.Ref({.prompt = L"to 3"}, 3);
    f.End();
    f.Form(3, L"Three");
    f.Ref({.prompt = L"back to 2"}, 2);
    f.End();
    f.Form(4, L"Four");
    f.End();
  }
  {
    BuiltList& list = db.AddList(kOtherList);
    Forms& f = list.AddForms();
    f.FormSet(kOtherFormSet, L"B", L"");
    f.Form(1, L"B one");
    f.End();
    f.Form(2, L"B two");
    f.End();
  }
  Load(db.Bytes());
  EXPECT_TRUE(evaluator_->EvaluationInitialized());
  EXPECT_EQ(evaluator_->FindPageIndex(1, kFormSetGuid), 0);
  EXPECT_EQ(evaluator_->FindPageIndex(4, kFormSetGuid), 3);
  EXPECT_EQ(evaluator_->FindPageIndex(1, kOtherFormSet), 4);
  EXPECT_EQ(evaluator_->FindPageIndex(2, kOtherFormSet), 5);
  EXPECT_FALSE(evaluator_->FindPageIndex(3, kOtherFormSet).has_value());
  EXPECT_FALSE(evaluator_->FindPageIndex(1, kListGuid).has_value());

  EXPECT_FALSE(evaluator_->ParentPageFormId(0).has_value());  // only a REF to itself
  EXPECT_EQ(evaluator_->ParentPageFormId(1), 1);              // the first REF to form 2 is in form 1
  EXPECT_EQ(evaluator_->ParentPageFormId(2), 2);
  EXPECT_FALSE(evaluator_->ParentPageFormId(3).has_value());
  EXPECT_FALSE(evaluator_->ParentPageFormId(4).has_value());
  EXPECT_FALSE(evaluator_->ParentPageFormId(100).has_value());
}

TEST_F(EvaluatorTablesTest, VariableCachesAndLanguages) {
  const EfiGuid kDefaultBootOrder{0x45CF35F6, 0x0D6E, 0x4D04, {0x85, 0x6A, 0x03, 0x70, 0xA5, 0xB1, 0x6F, 0x53}};
  const EfiGuid kLegacyGuid{0xA56074DB, 0x65FE, 0x45F7, {0xBD, 0x21, 0x2D, 0x2B, 0xDD, 0x8E, 0x96, 0x52}};
  const EfiGuid kPlatform{0x99999999, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};
  PutVariable("PlatformLangCodes", kes::guids::kGlobalVariable, Ascii("en-US;fr-FR"));
  PutVariable("BootOrder", kes::guids::kGlobalVariable, {1, 0, 2, 0});
  PutVariable("DefaultBootOrder", kDefaultBootOrder, {2, 0, 1, 0});
  PutVariable("LegacyDevOrder", kLegacyGuid, {9});
  PutVariable("Platform", kPlatform, {5, 6});

  BuiltList list(kListGuid);
  Forms& f = list.AddForms();
  f.FormSet(kFormSetGuid, L"A", L"");
  f.VarStoreEfi(3, kPlatform, "Platform", 2);
  f.VarStore(4, kSetupGuid, "Setup", 4);  // the fixed entry; the variable does not exist
  f.Form(1, L"One");
  f.Numeric({.prompt = L"P", .id = 7, .varStore = 3, .offset = 0}, 2, 0, 0xFFFF);
  f.Numeric({.prompt = L"S", .id = 8, .varStore = 4, .offset = 0}, 1, 0, 0xFF);
  Load(list.Bytes());

  EXPECT_EQ(evaluator_->EvaluationLanguages(), (std::vector<std::string>{"en-US", "fr-FR"}));
  using Data = std::vector<uint8_t>;
  EXPECT_EQ(evaluator_->EvaluationVariableBytes(L"BootOrder", kes::guids::kGlobalVariable), (Data{1, 0, 2, 0}));
  EXPECT_EQ(evaluator_->EvaluationVariableBytes(L"BootOrder", kes::guids::kGlobalVariable, true), (Data{2, 0, 1, 0}));
  EXPECT_EQ(evaluator_->EvaluationVariableBytes(L"LegacyDevOrder", kLegacyGuid, true), (Data{9}));
  EXPECT_EQ(evaluator_->EvaluationVariableBytes(L"Platform", kPlatform), (Data{5, 6}));
  EXPECT_FALSE(evaluator_->EvaluationVariableBytes(L"Setup", kSetupGuid).has_value());
  EXPECT_FALSE(evaluator_->EvaluationVariableBytes(L"Unknown", kPlatform).has_value());

  IfrValue value;
  ASSERT_EQ(evaluator_->GetQuestionValue(7, Page(1), value), efi::kSuccess);
  EXPECT_EQ(value.Type, kValueUint16);
  EXPECT_EQ(value.Value, 0x0605u);
  EXPECT_EQ(evaluator_->GetQuestionValue(8, Page(1), value), efi::kNotFound);

  // A second initialisation starts from nothing: the variable is gone, and so is its value.
  RemoveVariable("Platform", kPlatform);
  ASSERT_EQ(evaluator_->InitializeEvaluation(), efi::kSuccess);
  EXPECT_EQ(evaluator_->GetQuestionValue(7, Page(1), value), efi::kNotFound);
  EXPECT_FALSE(evaluator_->EvaluationVariableBytes(L"Platform", kPlatform).has_value());
}

TEST_F(EvaluatorTablesTest, QuestionsAreLookedUpWithinTheirFormSet) {
  // Question 5 lives in the second form of list A; list B has no question 5.
  PutVariable("Setup", kSetupGuid, {3, 4});
  Database db;
  size_t conditionB = 0, targetB = 0;
  {
    BuiltList& list = db.AddList(kListGuid);
    Forms& f = list.AddForms();
    f.FormSet(kFormSetGuid, L"A", L"");
    f.VarStore(1, kSetupGuid, "Setup", 2);
    f.Form(1, L"One");
    f.End();
    f.Form(2, L"Two");
    f.Numeric({.prompt = L"Five", .id = 5, .varStore = 1, .offset = 1}, 1, 0, 255);
    f.End();
  }
  size_t listB = db.Bytes().size();
  {
    BuiltList& list = db.AddList(kOtherList);
    Forms& f = list.AddForms();
    f.FormSet(kOtherFormSet, L"B", L"");
    f.VarStore(1, kSetupGuid, "Setup", 2);
    f.Form(1, L"B one");
    conditionB = listB + InImage(f.SuppressIf(Expr::EqIdVal(5, 4)));
    targetB = listB + InImage(f.Checkbox({.prompt = L"T", .id = 6, .varStore = 1, .offset = 0}).at);
    f.End();
  }
  Load(db.Bytes());
  IfrValue value;
  ASSERT_EQ(evaluator_->GetQuestionValue(5, Page(1), value), efi::kSuccess);
  EXPECT_EQ(value.Value, 4u);
  EXPECT_EQ(evaluator_->GetQuestionValue(5, Page(1, kOtherFormSet), value), efi::kNotFound);

  ConditionRequest request;
  request.packageList = listB;
  request.PageIndex = Page(1, kOtherFormSet);
  request.Condition = conditionB;
  request.Target = targetB;
  EXPECT_EQ(evaluator_->EvaluateCondition(request), kConditionNone);
  // The same condition named with a page of the other form set is refused, not evaluated.
  request.PageIndex = Page(1);
  EXPECT_EQ(evaluator_->EvaluateCondition(request), kConditionNone);
}

TEST_F(EvaluatorTablesTest, DemoFirmwareConditionsAllEvaluate) {
  // Every condition of the demo firmware evaluates without error against its variables, and
  // the export walk hides what its current values hide.
  hiibuild::EmulatorImage demo = hiibuild::BuildDemoFirmware();
  for (const hiibuild::Variable& v : demo.variables) PutVariable(v.name, v.guid, v.data, v.attributes);
  Load(demo.hii);
  size_t conditions = 0;
  for (const kes::PackageList& list : PackageLists(image_)) {
    for (const Package& package : PackagesOf(list)) {
      if (package.type != hii::kPackageForms) continue;
      EfiGuid formSet;
      std::optional<uint16_t> page;
      uint16_t question = 0;  // THIS of a condition inside a question is that question
      ForEachOp(image_, package.offset + 4, package.offset + package.bytes.size(), [&](const IfrOp& op) {
        if (op.code == hii::IFR_FORM_SET) formSet = EfiGuid::FromBytes(op.bytes, hii::kFormSetGuid);
        if (op.code == hii::IFR_FORM) page = evaluator_->FindPageIndex(Le16(op.bytes, hii::kFormId), formSet);
        if (IsQuestionKind(op.code)) question = OpQuestionId(op);
        bool condition = op.code == hii::IFR_SUPPRESS_IF || op.code == hii::IFR_GRAY_OUT_IF ||
                         op.code == hii::IFR_DISABLE_IF || op.code == hii::IFR_INCONSISTENT_IF ||
                         op.code == hii::IFR_NO_SUBMIT_IF;
        if (!condition || !page) return true;
        // A special-control marker (a hidden action tested against 0xFFFF) names a variable; it
        // has no value to evaluate.
        auto first = OpAt(image_, op.offset + op.length, package.offset + package.bytes.size());
        if (first && first->code == hii::IFR_EQ_ID_VAL && Le16(first->bytes, 4) == 0xFFFF) return true;
        ConditionRequest request;
        request.packageList = list.offset;
        request.PageIndex = *page;
        request.QuestionId = question;
        request.Condition = op.offset;
        IfrValue value;
        size_t consumed = 0;
        EXPECT_EQ(evaluator_->EvaluateExpression(request, value, consumed), efi::kSuccess) << "condition at " << op.offset;
        EXPECT_EQ(value.Type, kValueBoolean);
        ++conditions;
        return true;
      });
    }
  }
  EXPECT_GE(conditions, 10u);

  std::set<std::wstring> hidden, grayed;
  Walk({.exportMode = true, .suppressIf = true, .grayOutIf = true, .commentOut = true},
                {.question = [&](const kes::PackageList& list, const FormSetInfo&, const FormInfo&, QuestionRecord& r) {
                  std::wstring prompt = strings_->GetString(list, r.Prompt, false).value_or(L"");
                  if (r.Suppressed) hidden.insert(prompt);
                  if (r.GrayedOut) grayed.insert(prompt);
                }});
  EXPECT_TRUE(hidden.count(L"C-State Limit")) << "C-States is disabled";
  EXPECT_TRUE(grayed.count(L"Turbo Ratio Limit 1 Core")) << "Turbo Mode is disabled";
  EXPECT_FALSE(hidden.count(L"Hyper-Threading"));
}

TEST_F(EvaluatorTablesTest, ImagesWithoutFormSetsInitialiseEmpty) {
  std::vector<uint8_t> empty;
  Load(empty);
  EXPECT_TRUE(evaluator_->EvaluationInitialized());
  EXPECT_FALSE(evaluator_->FindPageIndex(1, kFormSetGuid).has_value());
  ConditionRequest request;
  request.Condition = 4;
  request.Target = 8;
  EXPECT_EQ(evaluator_->EvaluateCondition(request), kConditionNone);
  IfrValue value;
  size_t consumed = 0;
  EXPECT_EQ(evaluator_->EvaluateExpression(request, value, consumed), efi::kInvalidParameter);
}

}  // namespace
}  // namespace kes::evaltest
