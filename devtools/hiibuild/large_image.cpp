// Large images for the export benchmark: many package lists of the same shape, each with one
// form set of ten forms and a thousand questions of every kind, strings in three languages and
// map strings in the two mapping languages, and a variable per varstore with varied contents.
// The conditions variant has questions of the same kinds in fewer, larger form sets, most of them
// under nested suppress-if and gray-out-if scopes; the nested image is one question under a deep
// stack of suppress-if scopes.
#include <cstdio>
#include <utility>
#include <stdexcept>
#include <string>

#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes::hiibuild {

namespace {

constexpr unsigned kListsPerScale = 20;
constexpr unsigned kFormsPerList = 10;
constexpr unsigned kQuestionsPerForm = 100;
// The conditions variant grows its form sets and forms with the scale instead of their number:
// the cost of a condition must not grow with the size of the form set or form holding it.
constexpr unsigned kConditionLists = 8;
constexpr unsigned kConditionQuestionsPerForm = 250;

// Small deterministic generator of variable contents (linear congruential).
class Lcg {
 public:
  explicit Lcg(uint64_t seed) : state_(seed * 6364136223846793005ull + 1442695040888963407ull) {}
  uint32_t Next() {
    state_ = state_ * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>(state_ >> 33);
  }
  uint32_t Below(uint32_t n) { return n == 0 ? 0 : Next() % n; }

 private:
  uint64_t state_;
};

std::wstring Wf(const wchar_t* fmt, unsigned a, unsigned b) {
  wchar_t buffer[96];
  std::swprintf(buffer, 96, fmt, a, b);
  return buffer;
}

EfiGuid ListGuid(unsigned list) {
  return EfiGuid{0xB5A70000u + list, 0x4E21, 0x4C9A, {0x8F, 0x3D, 0x52, 0x19, 0x6B, 0xE0, 0x7A, 0x44}};
}
EfiGuid StoreGuid(unsigned list) {
  return EfiGuid{0xC3D80000u + list, 0x1B7F, 0x4A02, {0x93, 0x6E, 0x0D, 0x48, 0xA5, 0x2C, 0xF1, 0x86}};
}

// Strings of one text in the three languages.
struct Texts {
  std::wstring en, fr, de;
};

class ListWriter {
 public:
  ListWriter(PackageList& list, unsigned index, LargeImageKind kind, unsigned questionsPerForm)
      : list_(list), index_(index), kind_(kind), questionsPerForm_(questionsPerForm), rng_(index + 1) {}

  uint16_t Add(const Texts& t) {
    uint16_t id = list_.AddString(t.en);
    list_.SetString("fr-FR", id, t.fr);
    list_.SetString("de-DE", id, t.de);
    ++strings_;
    return id;
  }

  size_t strings() const { return strings_; }
  size_t questions() const { return questions_; }
  size_t maps() const { return maps_; }

  // Writes the list's forms and strings and returns its variable's current contents.
  std::vector<uint8_t> Build();

 private:
  Q Question(unsigned form, unsigned n, size_t width, bool reuse) {
    unsigned number = form * questionsPerForm_ + n;
    Q q;
    q.prompt = Str::Id(Add({Wf(L"Setting %u.%u", index_, number), Wf(L"R\u00e9glage %u.%u", index_, number),
                            Wf(L"Einstellung %u.%u", index_, number)}));
    q.help = Str::Id(Add({Wf(L"Controls feature %u of group %u.", number, index_),
                          Wf(L"Contr\u00f4le la fonction %u du groupe %u.", number, index_),
                          Wf(L"Steuert Funktion %u der Gruppe %u.", number, index_)}));
    q.id = static_cast<uint16_t>(number + 1);
    q.varStore = 1;
    if (reuse) {
      q.offset = lastOffset_;
    } else {
      q.offset = static_cast<uint16_t>(next_);
      next_ += width;
    }
    lastOffset_ = q.offset;
    list_.SetMapString(q.prompt.id(), Wf(L"L%03uQ%04u", index_, number));
    ++maps_;
    ++questions_;
    return q;
  }

  std::vector<Opt> Options(unsigned count, unsigned number, uint64_t step) {
    std::vector<Opt> options;
    for (unsigned i = 0; i < count; ++i) {
      uint16_t id = Add({Wf(L"Choice %u-%u", number, i), Wf(L"Choix %u-%u", number, i), Wf(L"Wahl %u-%u", number, i)});
      options.push_back({i * step, Str::Id(id), static_cast<uint8_t>(i == 0 ? flags::kOptionDefault : 0)});
    }
    return options;
  }

  // Conditions variant: opens the scopes that start before question n of a form and closes those
  // that end after it. Questions 10 to 99 sit in one gray-out-if against 0xFFFF; each group of
  // ten in a suppress-if, its second half in a gray-out-if and its last two in a third
  // suppress-if, testing questions of the group before, the form's first question (the gate),
  // the previous form's gate and the form's rules.
  void OpenConditions(Forms& f, unsigned form, unsigned n) const {
    if (n < 10) return;
    unsigned g = n / 10;
    uint16_t base = static_cast<uint16_t>(form * questionsPerForm_ + 1);  // QuestionId of question 0
    uint16_t gate = base;
    uint16_t previousGate = form == 0 ? gate : static_cast<uint16_t>(base - questionsPerForm_);
    uint16_t oneOfA = static_cast<uint16_t>(base + 10 * (g - 1) + 1);
    uint16_t oneOfB = static_cast<uint16_t>(base + 10 * (g - 1) + 2);
    uint16_t checkbox = static_cast<uint16_t>(base + 10 * (g - 1) + 4);
    if (n == 10) f.GrayOutIf(Expr::EqIdVal(gate, 0xFFFF));
    if (n % 10 == 0) {
      switch ((g + form) % 5) {
        case 0: f.SuppressIf(Expr::EqIdVal(gate, 2)); break;
        case 1: f.SuppressIf(Expr::EqIdValList(oneOfA, {4, 5, 6})); break;
        case 2: f.SuppressIf(Expr::EqIdId(oneOfA, oneOfB)); break;
        case 3: f.SuppressIf(Expr::RuleRef(1)); break;
        default: f.SuppressIf(Expr::EqIdVal(previousGate, 0xFFFF)); break;
      }
    }
    if (n % 10 == 5) {
      switch ((g + form) % 3) {
        case 0: f.GrayOutIf(And(Expr::RuleRef(2), Expr::EqIdVal(checkbox, 1))); break;
        case 1: f.GrayOutIf(Or(Expr::EqIdVal(previousGate, 1), Expr::EqIdId(gate, oneOfA))); break;
        default: f.GrayOutIf(Expr::RuleRef(3)); break;
      }
    }
    if (n % 10 == 8) f.SuppressIf(Expr::EqIdValList(g % 2 ? oneOfB : gate, {0xFFFF, 7}));
  }
  void CloseConditions(Forms& f, unsigned n) const {
    if (n < 10 || n % 10 != 9) return;
    f.End();
    f.End();
    f.End();
    if (n == questionsPerForm_ - 1) f.End();
  }
  // Conditions variant: the rules that the form's conditions refer to, at the end of the form.
  void Rules(Forms& f, unsigned form) const {
    uint16_t gate = static_cast<uint16_t>(form * questionsPerForm_ + 1);
    f.Op(op::kRule, ByteWriter().U8(1).bytes(), true);
    f.Expression(Expr::EqIdVal(gate, 1));
    f.End();
    f.Op(op::kRule, ByteWriter().U8(2).bytes(), true);
    f.Expression(Or(Expr::RuleRef(1), Expr::EqIdValList(gate, {2, 9})));
    f.End();
    f.Op(op::kRule, ByteWriter().U8(3).bytes(), true);
    f.Expression(Not(Expr::RuleRef(2)));
    f.End();
  }

  struct Pending {
    uint16_t offset;
    uint8_t kind;
    unsigned width;
    uint64_t extra;  // option count, element count or string length
  };

  PackageList& list_;
  unsigned index_;
  LargeImageKind kind_;
  unsigned questionsPerForm_;
  Lcg rng_;
  size_t strings_ = 0;
  size_t questions_ = 0;
  size_t maps_ = 0;
  size_t next_ = 0;
  uint16_t lastOffset_ = 0;
  std::vector<Pending> pending_;
};

std::vector<uint8_t> ListWriter::Build() {
  Forms& f = list_.AddForms();
  StringPackage& en = list_.Language("en-US");
  en.skipStyle = SkipStyle::Skip2Only;
  list_.Language("fr-FR").useStringsRuns = true;
  list_.Language("de-DE");
  list_.Language("x-Vorn").useStringsRuns = true;
  list_.Language("x-UEFI-Vorn").skipStyle = SkipStyle::Skip2Only;

  uint16_t title = Add({Wf(L"Group %u (%u)", index_, 0), Wf(L"Groupe %u (%u)", index_, 0), Wf(L"Gruppe %u (%u)", index_, 0)});
  uint16_t help = Add({L"Benchmark settings", L"R\u00e9glages de mesure", L"Messeinstellungen"});
  f.FormSet(ListGuid(index_), Str::Id(title), Str::Id(help));
  f.ClassAndSubclass(static_cast<uint16_t>(index_ % 5 + 1), 0);
  f.DefaultStore(Str::Id(help), kDefaultStandard);
  f.DefaultStore(Str::Id(help), kDefaultManufacturing);

  std::vector<uint16_t> formIds;
  for (unsigned form = 0; form < kFormsPerList; ++form) formIds.push_back(static_cast<uint16_t>(0x100 + form));

  // The varstore opcode comes before the questions, so its size is computed from the fixed
  // layout first (and checked against the questions' offsets at the end).
  size_t size = 0;
  for (unsigned form = 0; form < kFormsPerList; ++form) {
    for (unsigned n = 0; n < questionsPerForm_; ++n) {
      unsigned number = form * questionsPerForm_ + n;
      if (number % 500 == 499) continue;  // shares the previous question's storage
      switch (n % 10) {
        case 0: case 1: case 2: case 3: case 4: size += 1; break;
        case 5: size += 1u << (number / 10 % 4); break;
        case 6: size += 2; break;
        case 7: size += 24; break;
        case 8: size += (number / 10) % 2 ? 3 : 4; break;
        case 9: size += 3; break;
      }
    }
  }
  if (size > 0xFFFF) throw std::invalid_argument("large image: a varstore would exceed 64 KiB at this scale");
  if (index_ % 2 == 0) {
    f.VarStore(1, StoreGuid(index_), "BenchCfg" + std::to_string(index_), static_cast<uint16_t>(size));
  } else {
    f.VarStoreEfi(1, StoreGuid(index_), "BenchCfg" + std::to_string(index_), static_cast<uint16_t>(size));
  }

  const bool conditions = kind_ == LargeImageKind::Conditions;
  // In the conditions variant the second-to-last form is reached only through a suppressed REF
  // and the last one only through a REF on that hidden form.
  const unsigned hiddenForm = kFormsPerList - 2, behindHidden = kFormsPerList - 1;
  auto ref = [&](unsigned other) {
    f.Ref(Q{.prompt = Str::Id(list_.lastStringId()), .id = static_cast<uint16_t>(0x8000 + other), .offset = 0xFFFF},
          formIds[other]);
  };
  uint16_t gateQid = 0;
  for (unsigned form = 0; form < kFormsPerList; ++form) {
    f.Form(formIds[form], Str::Id(Add({Wf(L"Page %u.%u", index_, form), Wf(L"Page %u.%u", index_, form),
                                        Wf(L"Seite %u.%u", index_, form)})));
    if (form == 0) {
      // A REF to each other page (REFs are not questions).
      for (unsigned other = 1; other < kFormsPerList; ++other) {
        if (!conditions) {
          ref(other);
        } else if (other == hiddenForm) {
          f.SuppressIf(Not(Expr::EqIdVal(1, 0xFFFF)));
          ref(other);
          f.End();
        } else if (other != behindHidden) {
          ref(other);
        }
      }
    }
    if (conditions && form == hiddenForm) ref(behindHidden);
    for (unsigned n = 0; n < questionsPerForm_; ++n) {
      unsigned number = form * questionsPerForm_ + n;
      bool reuse = number % 500 == 499;
      if (conditions) OpenConditions(f, form, n);
      // Every 50 questions, ten are kept under a condition on the form's first one-of (options 0
      // to 2): hidden while it holds 2, grayed out while it holds 1.
      if (!conditions && n == 20 && gateQid != 0) f.SuppressIf(Expr::EqIdVal(gateQid, 2));
      if (!conditions && n == 60 && gateQid != 0)
        f.GrayOutIf(And(Expr::EqIdVal(gateQid, 1), Not(Expr::EqIdVal(gateQid, 2))));
      switch (n % 10) {
        case 0: case 1: case 2: case 3: {
          Q q = Question(form, n, 1, reuse);
          auto options = Options(3, number, 1);
          f.OneOf(q, 1, options);
          if (n == 0) gateQid = q.id;
          if (!reuse) pending_.push_back({q.offset, op::kOneOf, 1, 3});
          break;
        }
        case 4: {
          Q q = Question(form, n, 1, reuse);
          f.Checkbox(q, flags::kCheckboxDefault);
          if (!reuse) pending_.push_back({q.offset, op::kCheckbox, 1, 0});
          break;
        }
        case 5: {
          uint8_t width = static_cast<uint8_t>(1u << (number / 10 % 4));
          uint8_t display = number % 3 == 0 ? flags::kDisplayIntDec
                                            : number % 3 == 1 ? flags::kDisplayUintDec : flags::kDisplayUintHex;
          Q q = Question(form, n, width, reuse);
          Extra x;
          x.defaults = {{kDefaultStandard, 1}, {kDefaultManufacturing, 2}};
          f.Numeric(q, width, 0, width == 8 ? ~0ull : (1ull << (8 * width)) - 1, 1, display, x);
          if (!reuse) pending_.push_back({q.offset, op::kNumeric, width, 0});
          break;
        }
        case 6: {
          Q q = Question(form, n, 2, reuse);
          f.OneOf(q, 2, Options(4, number, 100));
          if (!reuse) pending_.push_back({q.offset, op::kOneOf, 2, 4});
          break;
        }
        case 7: {
          Q q = Question(form, n, 24, reuse);
          f.String(q, 0, 12);
          if (!reuse) pending_.push_back({q.offset, op::kString, 24, 0});
          break;
        }
        case 8: {
          bool time = (number / 10) % 2 == 1;
          Q q = Question(form, n, time ? 3 : 4, reuse);
          if (time) {
            f.Time(q);
          } else {
            f.Date(q);
          }
          if (!reuse) pending_.push_back({q.offset, time ? op::kTime : op::kDate, time ? 3u : 4u, 0});
          break;
        }
        case 9: {
          Q q = Question(form, n, 3, reuse);
          f.OrderedList(q, 3, Options(3, number, 1));
          if (!reuse) pending_.push_back({q.offset, op::kOrderedList, 1, 3});
          break;
        }
      }
      if (conditions) CloseConditions(f, n);
      if (!conditions && n == 29 && gateQid != 0) f.End();
      if (!conditions && n == 69 && gateQid != 0) f.End();
    }
    if (conditions) Rules(f, form);
    f.End();
  }
  f.EndAll();
  if (next_ != size) throw std::logic_error("large image: varstore layout mismatch");

  // Current values.
  VarBuffer buffer(size);
  for (const Pending& p : pending_) {
    switch (p.kind) {
      case op::kOneOf: {
        uint64_t step = p.width == 2 ? 100 : 1;
        // Now and then a value that matches no option.
        uint64_t value = rng_.Below(50) == 0 ? p.extra + 5 : rng_.Below(static_cast<uint32_t>(p.extra)) * step;
        buffer.Put(p.offset, value, p.width);
        break;
      }
      case op::kCheckbox: buffer.Put(p.offset, rng_.Below(2), 1); break;
      case op::kNumeric: buffer.Put(p.offset, (static_cast<uint64_t>(rng_.Next()) << 32) | rng_.Next(), p.width); break;
      case op::kString: {
        std::wstring text;
        unsigned length = rng_.Below(13);
        for (unsigned i = 0; i < length; ++i) text.push_back(static_cast<wchar_t>(L'A' + rng_.Below(26)));
        if (rng_.Below(40) == 0 && length > 0) text[0] = 0x01;  // now and then an unprintable unit
        buffer.PutUcs2(p.offset, text, 12);
        break;
      }
      case op::kDate:
        buffer.PutDate(p.offset, static_cast<uint16_t>(2000 + rng_.Below(40)), static_cast<uint8_t>(1 + rng_.Below(12)),
                       static_cast<uint8_t>(1 + rng_.Below(28)));
        break;
      case op::kTime:
        buffer.PutTime(p.offset, static_cast<uint8_t>(rng_.Below(24)), static_cast<uint8_t>(rng_.Below(60)),
                       static_cast<uint8_t>(rng_.Below(60)));
        break;
      case op::kOrderedList: {
        uint8_t order[3] = {0, 1, 2};
        for (int i = 2; i > 0; --i) std::swap(order[i], order[rng_.Below(static_cast<uint32_t>(i + 1))]);
        for (int i = 0; i < 3; ++i) buffer.Put(p.offset + i, order[i], 1);
        break;
      }
    }
  }
  return buffer.Take();
}

}  // namespace

LargeImage BuildLargeImage(unsigned scale, LargeImageKind kind) {
  if (scale == 0) throw std::invalid_argument("scale must be at least 1");
  LargeImage out;
  bool conditions = kind == LargeImageKind::Conditions;
  unsigned lists = conditions ? kConditionLists : kListsPerScale * scale;
  unsigned questionsPerForm = conditions ? kConditionQuestionsPerForm * scale : kQuestionsPerForm;
  for (unsigned index = 0; index < lists; ++index) {
    PackageList list(ListGuid(index));
    ListWriter writer(list, index, kind, questionsPerForm);
    std::vector<uint8_t> data = writer.Build();
    std::vector<uint8_t> bytes = list.Bytes();
    out.hii.insert(out.hii.end(), bytes.begin(), bytes.end());
    out.variables.push_back({"BenchCfg" + std::to_string(index), StoreGuid(index), attr::kNvBsRt, std::move(data)});
    out.questions += writer.questions();
    out.stringsPerLanguage += writer.strings();
    out.mapStrings += writer.maps();
    ++out.packageLists;
  }
  return out;
}

LargeImage BuildNestedConditionsImage(unsigned depth) {
  LargeImage out;
  PackageList list(ListGuid(0));
  Forms& f = list.AddForms();
  f.FormSet(ListGuid(0), L"Nested", L"Nested conditions");
  f.VarStore(1, StoreGuid(0), "BenchCfg0", 1);
  f.Form(0x100, L"Nested");
  for (unsigned d = 0; d < depth; ++d) f.SuppressIf(Expr::False());
  f.Checkbox(Q{.prompt = L"Deep Setting", .help = L"Under every condition", .id = 1, .varStore = 1, .offset = 0});
  f.EndAll();
  out.hii = list.Bytes();
  out.variables.push_back({"BenchCfg0", StoreGuid(0), attr::kNvBsRt, {1}});
  out.packageLists = 1;
  out.questions = 1;
  out.stringsPerLanguage = list.lastStringId();
  return out;
}

EmulatorImage ToEmulatorImage(LargeImage image) {
  EmulatorImage out;
  out.hii = std::move(image.hii);
  out.fidt = SupportedFidtTable();
  out.variables = std::move(image.variables);
  out.config = "# Large benchmark image generated by kestrel-mkimage; emulator defaults.\n";
  return out;
}

}  // namespace kes::hiibuild
