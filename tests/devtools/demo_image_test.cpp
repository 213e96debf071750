// The demo firmware and the large benchmark image, checked with a small walker of their own
// (independent of the tool's HII reader): package lists tile the image, packages tile their
// list, string blocks and IFR opcodes tile their package, every scope is closed; then what the
// demo promises: question kinds, strings, map strings, variables and current values.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "base/le.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/hii_format.h"

namespace kes::hiibuild {
namespace {

struct QuestionInfo {
  uint8_t kind = 0;
  uint16_t prompt = 0, help = 0, id = 0, varStore = 0, offset = 0;
  uint8_t flags = 0;   // the opcode's own flags byte (ONE_OF/NUMERIC/DATE/TIME ...)
  uint8_t maxSize = 0;  // STRING MaxSize
  size_t storage = 0;   // bytes taken in the varstore
  std::vector<uint64_t> options;
};

struct ConditionInfo {
  uint8_t opcode = 0;
  uint16_t questionId = 0;  // of the first EQ_ID_VAL / EQ_ID_VAL_LIST inside it
  uint16_t value = 0;
  std::vector<uint16_t> refTargets;  // REFs inside its scope
};

struct VarStoreInfo {
  std::string name;
  EfiGuid guid;
  uint16_t size = 0;
};

struct FormSetInfo {
  std::vector<QuestionInfo> questions;
  std::map<uint16_t, VarStoreInfo> stores;  // by VarStoreId
  std::vector<ConditionInfo> conditions;
  std::set<uint16_t> formIds;
  size_t defaults = 0, defaultStores = 0;
  uint16_t title = 0;
};

struct ListInfo {
  EfiGuid guid;
  std::map<std::string, std::map<uint16_t, std::u16string>> strings;  // language -> id -> text
  std::vector<FormSetInfo> formSets;
};

struct ImageInfo {
  std::vector<ListInfo> lists;
  std::set<uint8_t> blockTypes;
  std::vector<std::string> errors;
};

// The NUL-terminated ASCII text at `at`, cut at the end of the opcode when it has no NUL.
std::string AsciiZ(Bytes o, size_t at) {
  std::string text;
  for (size_t i = at; i < o.size() && o[i] != 0; ++i) text.push_back(static_cast<char>(o[i]));
  return text;
}

bool IsQuestion(uint8_t op) {
  return op == op::kOneOf || op == op::kCheckbox || op == op::kNumeric || op == op::kPassword ||
         op == op::kDate || op == op::kTime || op == op::kString || op == op::kOrderedList;
}

void WalkStrings(Bytes pkg, const std::string& where, ListInfo& list, ImageInfo& info) {
  uint32_t hdrSize = Le32(pkg, 4), infoOffset = Le32(pkg, 8);
  if (pkg.size() <= 46) return info.errors.push_back(where + ": string package header");
  size_t tagEnd = 46;
  while (tagEnd < pkg.size() && pkg[tagEnd] != 0) ++tagEnd;
  std::string tag(pkg.begin() + 46, pkg.begin() + static_cast<long>(std::min(tagEnd, pkg.size())));
  if (tagEnd >= pkg.size() || hdrSize != tagEnd + 1 || infoOffset != hdrSize) {
    info.errors.push_back(where + ": string package header");
    return;
  }
  auto& texts = list.strings[tag];
  size_t pos = infoOffset;
  uint32_t id = 1;
  auto text = [&](size_t& p) -> std::optional<std::u16string> {
    std::u16string s;
    while (Fits(pkg, p, 2)) {
      char16_t c = Le16(pkg, p);
      p += 2;
      if (c == 0) return s;
      s.push_back(c);
    }
    return std::nullopt;
  };
  while (true) {
    if (pos >= pkg.size()) {
      info.errors.push_back(where + ": string blocks run past the package");
      return;
    }
    uint8_t type = pkg[pos++];
    info.blockTypes.insert(type);
    if (type == sibt::kEnd) break;
    if (type == sibt::kStringUcs2) {
      auto s = text(pos);
      if (!s) return info.errors.push_back(where + ": truncated string");
      texts[static_cast<uint16_t>(id++)] = *s;
    } else if (type == sibt::kStringsUcs2) {
      uint16_t count = Le16(pkg, pos);
      pos += 2;
      for (uint16_t i = 0; i < count; ++i) {
        auto s = text(pos);
        if (!s) return info.errors.push_back(where + ": truncated string");
        texts[static_cast<uint16_t>(id++)] = *s;
      }
    } else if (type == sibt::kSkip2) {
      id += Le16(pkg, pos);
      pos += 2;
    } else if (type == sibt::kSkip1) {
      id += Le8(pkg, pos);
      pos += 1;
    } else {
      return info.errors.push_back(where + ": unexpected block type " + std::to_string(type));
    }
    if (id > 0x10000) return info.errors.push_back(where + ": string ids beyond 65535");
  }
  if (pos != pkg.size()) info.errors.push_back(where + ": bytes after the END block");
}

void WalkForms(Bytes pkg, const std::string& where, ListInfo& list, ImageInfo& info) {
  FormSetInfo fs;
  struct Open {
    uint8_t opcode;
    int question;   // index of the question whose scope this is, or -1
    int condition;  // index of the condition whose scope this is, or -1
  };
  std::vector<Open> scopes;
  size_t pos = 4;
  bool first = true;
  while (pos < pkg.size()) {
    if (!Fits(pkg, pos, 2)) return info.errors.push_back(where + ": truncated opcode header");
    uint8_t opcode = pkg[pos];
    size_t length = pkg[pos + 1] & 0x7F;
    bool scope = pkg[pos + 1] & 0x80;
    if (length < 2 || !Fits(pkg, pos, length)) return info.errors.push_back(where + ": opcode length");
    Bytes o = pkg.subspan(pos, length);
    if (first && opcode != op::kFormSet) return info.errors.push_back(where + ": no FORM_SET first");
    first = false;
    int question = -1, condition = -1;
    auto innermost = [&](auto member) {
      for (auto it = scopes.rbegin(); it != scopes.rend(); ++it) {
        if ((*it).*member >= 0) return (*it).*member;
      }
      return -1;
    };
    switch (opcode) {
      case op::kFormSet: fs.title = Le16(o, 18); break;
      case op::kForm: fs.formIds.insert(Le16(o, 2)); break;
      case op::kVarStore: {
        VarStoreInfo v{AsciiZ(o, 22), EfiGuid::FromBytes(o, 2), Le16(o, 20)};
        fs.stores[Le16(o, 18)] = v;
        break;
      }
      case op::kVarStoreEfi: {
        VarStoreInfo v{AsciiZ(o, 26), EfiGuid::FromBytes(o, 4), Le16(o, 24)};
        fs.stores[Le16(o, 2)] = v;
        break;
      }
      case op::kDefault: ++fs.defaults; break;
      case op::kDefaultStore: ++fs.defaultStores; break;
      case op::kSuppressIf:
      case op::kGrayOutIf:
        fs.conditions.push_back({opcode});
        condition = static_cast<int>(fs.conditions.size() - 1);
        break;
      case op::kEqIdVal:
      case op::kEqIdValList: {
        int c = innermost(&Open::condition);
        if (c >= 0 && fs.conditions[c].questionId == 0) {
          fs.conditions[c].questionId = Le16(o, 2);
          fs.conditions[c].value = Le16(o, opcode == op::kEqIdVal ? 4 : 6);
        }
        break;
      }
      case op::kRef: {
        int c = innermost(&Open::condition);
        if (c >= 0) fs.conditions[c].refTargets.push_back(Le16(o, 13));
        break;
      }
      case op::kOneOfOption: {
        int q = innermost(&Open::question);
        if (q >= 0) {
          static const size_t kWidth[] = {1, 2, 4, 8, 1, 3, 4, 2};
          uint8_t type = Le8(o, 5);
          fs.questions[q].options.push_back(type < 8 ? LeN(o, 6, kWidth[type]) : 0);
          if (fs.questions[q].kind == op::kOrderedList && fs.questions[q].options.size() == 1) {
            fs.questions[q].flags = type;  // element type of the list
          }
        }
        break;
      }
      default: break;
    }
    if (IsQuestion(opcode)) {
      QuestionInfo q{opcode, Le16(o, 2), Le16(o, 4), Le16(o, 6), Le16(o, 8), Le16(o, 10), Le8(o, 13)};
      switch (opcode) {
        case op::kOneOf: case op::kNumeric: q.storage = size_t{1} << (q.flags & 3); break;
        case op::kCheckbox: q.storage = 1; break;
        case op::kPassword: q.storage = Le16(o, 15) * size_t{2}; break;
        case op::kString: q.maxSize = Le8(o, 14); q.storage = q.maxSize * size_t{2}; break;
        case op::kDate: q.storage = 4; break;
        case op::kTime: q.storage = 3; break;
        case op::kOrderedList: q.maxSize = Le8(o, 13); q.flags = 0; break;
      }
      fs.questions.push_back(q);
      question = static_cast<int>(fs.questions.size() - 1);
    }
    if (opcode == op::kEnd) {
      if (scopes.empty()) return info.errors.push_back(where + ": END without a scope");
      Open closed = scopes.back();
      scopes.pop_back();
      if (closed.question >= 0) {
        QuestionInfo& q = fs.questions[closed.question];
        if (q.kind == op::kOrderedList) {
          static const size_t kElement[] = {1, 2, 4, 8};
          q.storage = (q.flags < 4 ? kElement[q.flags] : 1) * q.maxSize;
        }
      }
    } else if (scope) {
      scopes.push_back({opcode, question, condition});
    }
    pos += length;
  }
  if (!scopes.empty()) info.errors.push_back(where + ": " + std::to_string(scopes.size()) + " scopes left open");
  list.formSets.push_back(std::move(fs));
}

ImageInfo CheckImage(Bytes image) {
  ImageInfo info;
  size_t at = 0;
  while (at < image.size()) {
    std::string where = "list at " + std::to_string(at);
    uint32_t length = Le32(image, at + 16);
    if (!Fits(image, at, 20) || length < 20 || !Fits(image, at, length)) {
      info.errors.push_back(where + ": list length");
      return info;
    }
    Bytes list = image.subspan(at, length);
    ListInfo li;
    li.guid = EfiGuid::FromBytes(list, 0);
    size_t p = 20;
    uint8_t lastType = 0;
    while (p < list.size()) {
      uint32_t pl = Le24(list, p);
      uint8_t type = Le8(list, p + 3);
      if (pl < 4 || !Fits(list, p, pl)) {
        info.errors.push_back(where + ": package length");
        return info;
      }
      std::string pw = where + ", package at " + std::to_string(p);
      if (type == package::kStrings) WalkStrings(list.subspan(p, pl), pw, li, info);
      if (type == package::kForms) WalkForms(list.subspan(p, pl), pw, li, info);
      if (type == package::kEnd && pl != 4) info.errors.push_back(pw + ": END package length");
      lastType = type;
      p += pl;
    }
    if (lastType != package::kEnd) info.errors.push_back(where + ": does not end with an END package");
    info.lists.push_back(std::move(li));
    at += length;
  }
  return info;
}

const Variable* FindVariable(const std::vector<Variable>& vars, const std::string& name, const EfiGuid& guid) {
  for (const auto& v : vars) {
    if (v.name == name && v.guid == guid) return &v;
  }
  return nullptr;
}

// ------------------------------------------------------------------------------------------

class DemoFirmware : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    image_ = new EmulatorImage(BuildDemoFirmware());
    info_ = new ImageInfo(CheckImage(image_->hii));
  }
  static void TearDownTestSuite() {
    delete info_;
    delete image_;
  }
  static EmulatorImage* image_;
  static ImageInfo* info_;

  // Current value of a question from its variable (0 when not readable).
  static uint64_t Current(const FormSetInfo& fs, const QuestionInfo& q, size_t width) {
    auto store = fs.stores.find(q.varStore);
    if (store == fs.stores.end()) return 0;
    const Variable* v = FindVariable(image_->variables, store->second.name, store->second.guid);
    return v ? LeN(v->data, q.offset, width) : 0;
  }
  static const QuestionInfo* ById(const FormSetInfo& fs, uint16_t id) {
    for (const auto& q : fs.questions) {
      if (q.id == id) return &q;
    }
    return nullptr;
  }
};

EmulatorImage* DemoFirmware::image_ = nullptr;
ImageInfo* DemoFirmware::info_ = nullptr;

TEST_F(DemoFirmware, IsWellFormedWithSixFormSetsAndEveryAcceptedBlockType) {
  EXPECT_TRUE(info_->errors.empty()) << info_->errors.front();
  ASSERT_EQ(info_->lists.size(), 6u);
  std::vector<std::u16string> titles;
  for (const auto& list : info_->lists) {
    ASSERT_EQ(list.formSets.size(), 1u);
    titles.push_back(list.strings.at("en-US").at(list.formSets[0].title));
    EXPECT_EQ(list.formSets[0].defaultStores, 2u);
  }
  EXPECT_EQ(titles, (std::vector<std::u16string>{u"Main", u"Advanced", u"Chipset", u"Security", u"Boot", u"Boot Manager"}));
  EXPECT_EQ(info_->blockTypes, (std::set<uint8_t>{sibt::kEnd, sibt::kStringUcs2, sibt::kStringsUcs2,
                                                  sibt::kSkip2, sibt::kSkip1}));
}

TEST_F(DemoFirmware, HasAFewHundredQuestionsOfEveryKindWithTextsAndStorage) {
  std::map<uint8_t, size_t> kinds;
  size_t total = 0, lineFeedHelp = 0, nonAsciiPrompt = 0, clockKept = 0;
  for (const auto& list : info_->lists) {
    const auto& en = list.strings.at("en-US");
    for (const auto& fs : list.formSets) {
      for (const auto& q : fs.questions) {
        ++kinds[q.kind];
        ++total;
        ASSERT_TRUE(en.count(q.prompt) && en.count(q.help)) << "question " << q.id;
        const std::u16string& prompt = en.at(q.prompt);
        if (en.at(q.help).find(u'\n') != std::u16string::npos) ++lineFeedHelp;
        if (std::any_of(prompt.begin(), prompt.end(), [](char16_t c) { return c > 0x7E; })) ++nonAsciiPrompt;
        bool clock = (q.kind == op::kDate || q.kind == op::kTime) && (q.flags & flags::kStorageMask) != 0;
        if (clock) {
          ++clockKept;
          continue;
        }
        auto store = fs.stores.find(q.varStore);
        ASSERT_NE(store, fs.stores.end()) << "question " << q.id;
        EXPECT_LE(q.offset + q.storage, store->second.size) << "question " << q.id;
        const Variable* v = FindVariable(image_->variables, store->second.name, store->second.guid);
        ASSERT_NE(v, nullptr) << store->second.name;
        EXPECT_EQ(v->data.size(), store->second.size) << store->second.name;
        EXPECT_EQ(v->attributes, attr::kNvBsRt);
      }
    }
  }
  EXPECT_GE(total, 250u);
  for (uint8_t kind : {op::kOneOf, op::kCheckbox, op::kNumeric, op::kPassword, op::kDate, op::kTime, op::kString,
                       op::kOrderedList}) {
    EXPECT_GT(kinds[kind], 0u) << "kind " << int(kind);
  }
  EXPECT_GT(lineFeedHelp, 2u);
  EXPECT_GE(nonAsciiPrompt, 1u);
  EXPECT_GE(clockKept, 3u);  // system date and time, a wake-up time
}

TEST_F(DemoFirmware, MapStringsAreUniqueAndBootOnesExistOnlyInTheUefiNamespace) {
  std::map<std::u16string, int> seen;
  size_t withoutMap = 0;
  for (size_t i = 0; i < info_->lists.size(); ++i) {
    const auto& list = info_->lists[i];
    const auto& vorn = list.strings.at("x-Vorn");
    const auto& uefi = list.strings.at("x-UEFI-Vorn");
    for (const auto& q : list.formSets[0].questions) {
      bool inVorn = vorn.count(q.prompt) > 0, inUefi = uefi.count(q.prompt) > 0;
      if (!inVorn && !inUefi) {
        ++withoutMap;
        continue;
      }
      if (i >= 4) {  // boot and boot manager
        EXPECT_FALSE(inVorn) << "boot question " << q.id;
      } else {
        ASSERT_TRUE(inVorn && inUefi);
        EXPECT_EQ(vorn.at(q.prompt), uefi.at(q.prompt));
      }
      ++seen[inUefi ? uefi.at(q.prompt) : vorn.at(q.prompt)];
    }
  }
  for (const auto& [map, count] : seen) EXPECT_EQ(count, 1) << std::string(map.begin(), map.end());
  EXPECT_TRUE(seen.count(u"QBOOT01"));
  EXPECT_TRUE(seen.count(u"PROC001"));
  EXPECT_GE(withoutMap, 2u + 3u);  // two in security, plus the clock-kept date and times in main
}

TEST_F(DemoFirmware, CurrentValuesCoverTheAwkwardCases) {
  size_t sharedStorage = 0, unmatchedOneOf = 0, unprintableString = 0, negativeSigned = 0, realDates = 0,
         realTimes = 0;
  for (const auto& list : info_->lists) {
    for (const auto& fs : list.formSets) {
      std::set<std::pair<uint16_t, uint16_t>> storage;
      for (const auto& q : fs.questions) {
        bool clock = (q.kind == op::kDate || q.kind == op::kTime) && (q.flags & flags::kStorageMask) != 0;
        if (clock || q.kind == op::kPassword) continue;
        if (!storage.insert({q.varStore, q.offset}).second) ++sharedStorage;
        if (q.kind == op::kOneOf) {
          uint64_t v = Current(fs, q, q.storage);
          if (std::find(q.options.begin(), q.options.end(), v) == q.options.end()) ++unmatchedOneOf;
        }
        if (q.kind == op::kNumeric && (q.flags & flags::kDisplayMask) == flags::kDisplayIntDec) {
          uint64_t v = Current(fs, q, q.storage);
          if (v >> (8 * q.storage - 1)) ++negativeSigned;
        }
        if (q.kind == op::kString) {
          for (size_t i = 0; i < q.maxSize; ++i) {
            uint64_t unit = Current(fs, QuestionInfo{q.kind, 0, 0, 0, q.varStore, static_cast<uint16_t>(q.offset + 2 * i)}, 2);
            if (unit != 0 && (unit < 0x20 || unit > 0x7E)) {
              ++unprintableString;
              break;
            }
          }
        }
        if (q.kind == op::kDate) {
          uint64_t v = Current(fs, q, 4);
          uint64_t year = v & 0xFFFF, month = (v >> 16) & 0xFF, day = v >> 24;
          if (year >= 2000 && month >= 1 && month <= 12 && day >= 1 && day <= 31) ++realDates;
        }
        if (q.kind == op::kTime) {
          uint64_t v = Current(fs, q, 3);
          if ((v & 0xFF) < 24 && ((v >> 8) & 0xFF) < 60 && (v >> 16) < 60 && v != 0) ++realTimes;
        }
      }
    }
  }
  EXPECT_GE(sharedStorage, 3u);
  EXPECT_EQ(unmatchedOneOf, 1u);
  EXPECT_GE(unprintableString, 1u);
  EXPECT_GE(negativeSigned, 4u);  // one of each numeric size
  EXPECT_GE(realDates, 2u);
  EXPECT_GE(realTimes, 1u);
}

TEST_F(DemoFirmware, ConditionsDependOnCurrentValuesAndHideAForm) {
  size_t suppressTrue = 0, suppressFalse = 0, grayTrue = 0, hiddenRefs = 0, defaults = 0;
  for (const auto& list : info_->lists) {
    for (const auto& fs : list.formSets) {
      defaults += fs.defaults;
      for (const auto& c : fs.conditions) {
        // A special-control marker tests a hidden action against 0xFFFF; it names a variable, not a value.
        if (c.questionId == 0 || c.value == 0xFFFF) continue;
        const QuestionInfo* q = ById(fs, c.questionId);
        ASSERT_NE(q, nullptr) << "condition on question " << c.questionId;
        bool holds = Current(fs, *q, q->storage) == c.value;
        if (c.opcode == op::kSuppressIf) {
          ++(holds ? suppressTrue : suppressFalse);
          if (holds) {
            for (uint16_t target : c.refTargets) {
              EXPECT_TRUE(fs.formIds.count(target)) << "REF to form " << target;
              ++hiddenRefs;
            }
          }
        } else if (holds) {
          ++grayTrue;
        }
      }
    }
  }
  EXPECT_GE(suppressTrue, 2u);
  EXPECT_GE(suppressFalse, 2u);
  EXPECT_GE(grayTrue, 2u);
  EXPECT_GE(hiddenRefs, 1u);
  EXPECT_GT(defaults, 50u);
}

TEST_F(DemoFirmware, IsDeterministicAndCarriesASupportedTable) {
  EmulatorImage again = BuildDemoFirmware();
  EXPECT_EQ(again.hii, image_->hii);
  ASSERT_EQ(again.variables.size(), image_->variables.size());
  for (size_t i = 0; i < again.variables.size(); ++i) {
    EXPECT_EQ(EfivarfsBytes(again.variables[i]), EfivarfsBytes(image_->variables[i]));
    EXPECT_EQ(EfivarfsFileName(again.variables[i]), EfivarfsFileName(image_->variables[i]));
  }
  ASSERT_TRUE(image_->fidt.has_value());
  EXPECT_EQ(image_->fidt->size(), 156u);
  EXPECT_EQ((*image_->fidt)[68], '0');
  EXPECT_EQ((*image_->fidt)[69], '5');
  EXPECT_EQ((*image_->fidt)[70], 0);
  EXPECT_FALSE(image_->config.empty());
}

TEST_F(DemoFirmware, BuildTimeImageDirectoryHoldsTheSameBytes) {
  std::string dir = std::string(KESTREL_BINARY_DIR) + "/demo-image";
  if (!std::filesystem::exists(dir + "/hii.bin")) GTEST_SKIP() << "demo-image not built";
  EXPECT_EQ(test::ReadFileBytes(dir + "/hii.bin"), image_->hii);
  EXPECT_EQ(test::ReadFileBytes(dir + "/FIDT"), image_->fidt);
  for (const auto& v : image_->variables) {
    EXPECT_EQ(test::ReadFileBytes(dir + "/vars/" + EfivarfsFileName(v)), EfivarfsBytes(v)) << v.name;
  }
}

TEST(LargeImage, ScaleOneHasTheBenchmarkCountsAndIsWellFormed) {
  LargeImage image = BuildLargeImage(1);
  ImageInfo info = CheckImage(image.hii);
  ASSERT_TRUE(info.errors.empty()) << info.errors.front();
  EXPECT_EQ(info.lists.size(), image.packageLists);

  size_t questions = 0;
  std::map<std::string, size_t> strings;
  for (const auto& list : info.lists) {
    for (const auto& [language, texts] : list.strings) strings[language] += texts.size();
    for (const auto& fs : list.formSets) {
      questions += fs.questions.size();
      for (const auto& q : fs.questions) {
        const VarStoreInfo& store = fs.stores.at(q.varStore);
        ASSERT_LE(q.offset + q.storage, store.size);
        const Variable* v = FindVariable(image.variables, store.name, store.guid);
        ASSERT_NE(v, nullptr);
        ASSERT_EQ(v->data.size(), store.size);
      }
    }
  }
  EXPECT_GE(questions, 20000u);
  EXPECT_EQ(questions, image.questions);
  for (const char* language : {"en-US", "fr-FR", "de-DE"}) {
    EXPECT_GE(strings[language], 60000u) << language;
    EXPECT_EQ(strings[language], image.stringsPerLanguage) << language;
  }
  EXPECT_EQ(strings["x-Vorn"], questions);
  EXPECT_EQ(strings["x-UEFI-Vorn"], questions);
  EXPECT_EQ(strings.size(), 5u);
  // Contents are varied, not zero-filled.
  size_t nonZero = 0, total = 0;
  for (const auto& v : image.variables) {
    total += v.data.size();
    nonZero += static_cast<size_t>(std::count_if(v.data.begin(), v.data.end(), [](uint8_t b) { return b != 0; }));
  }
  EXPECT_GT(nonZero * 4, total);
  EXPECT_THROW(BuildLargeImage(0), std::invalid_argument);
}

TEST(LargeImage, ConditionsVariantPutsAsManyQuestionsUnderConditions) {
  LargeImage image = BuildLargeImage(1, LargeImageKind::Conditions);
  ImageInfo info = CheckImage(image.hii);
  ASSERT_TRUE(info.errors.empty()) << info.errors.front();
  EXPECT_EQ(image.questions, BuildLargeImage(1).questions);
  size_t conditions = 0, special = 0, suppressedRefs = 0;
  for (const auto& list : info.lists) {
    for (const auto& fs : list.formSets) {
      for (const auto& [id, store] : fs.stores) {
        const Variable* v = FindVariable(image.variables, store.name, store.guid);
        ASSERT_NE(v, nullptr);
        EXPECT_EQ(v->data.size(), store.size);
      }
      conditions += fs.conditions.size();
      for (const auto& c : fs.conditions) {
        if (c.value == 0xFFFF) ++special;
        if (!c.refTargets.empty()) ++suppressedRefs;
      }
    }
  }
  EXPECT_GE(conditions * 4, image.questions);  // three in every group of ten after the first
  EXPECT_GT(special, image.packageLists);
  EXPECT_EQ(suppressedRefs, image.packageLists);

  LargeImage nested = BuildNestedConditionsImage(500);
  info = CheckImage(nested.hii);
  ASSERT_TRUE(info.errors.empty()) << info.errors.front();
  ASSERT_EQ(info.lists.size(), 1u);
  EXPECT_EQ(info.lists[0].formSets.at(0).conditions.size(), 500u);
  EXPECT_EQ(info.lists[0].formSets.at(0).questions.size(), 1u);
  EXPECT_THROW(BuildLargeImage(7, LargeImageKind::Conditions), std::invalid_argument);
}

}  // namespace
}  // namespace kes::hiibuild
