// kestrel-attrs offline: the registry against the script export of the same firmware, the
// documents (the registry with its Menus and Dependencies) against the DMTF schemas (demo
// firmware, the older layout and real EDK2 databases), names, the reader of user documents and
// diff.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <set>
#include <unistd.h>

#include "base/console.h"
#include "base/text.h"
#include "hii/hii_format.h"
#include "hii/question_walk.h"
#include "script/export.h"
#include "tests/support/test_support.h"
#include "tests/companions/attrs/attrs_images.h"
#include "companions/attrs/operations.h"
#include "companions/attrs/session.h"
#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes::attrs {
namespace {

using test::ProcessResult;
using test::TempDir;

ProcessResult RunAttrs(const std::vector<std::string>& args) {
  std::vector<std::string> argv{KESTREL_ATTRS_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return test::RunProcess(argv);
}

// Validates documents against a schema of tests/data/redfish with Debian's python3-jsonschema.
::testing::AssertionResult Validates(const std::string& schema, const std::vector<std::string>& documents) {
  std::string python = access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  std::vector<std::string> argv{python, test::SourceDir() + "/tests/companions/attrs/validate_redfish.py",
                                test::SourceDir() + "/tests/data/redfish", schema};
  argv.insert(argv.end(), documents.begin(), documents.end());
  ProcessResult r = test::RunProcess(argv);
  if (r.exitCode == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "exit " << r.exitCode << "\n" << r.out.substr(0, 4000) << r.err;
}

Json Load(const std::string& path) { return Json::parse(test::ReadFileText(path)); }

// Registry, current values and BIOS defaults of an offline image, each validated, and the
// registry's names checked.
void CheckDocuments(const std::string& hii, const std::string& vars, const TempDir& out, size_t atLeast) {
  std::string registry = out / "registry.json", bios = out / "bios.json", defaults = out / "defaults.json";
  for (auto args : {std::vector<std::string>{"registry", "-o", registry}, {"get", "-o", bios},
                    {"get", "--defaults", "bios", "-o", defaults}}) {
    args.insert(args.begin(), {"--hii", hii, "--vars", vars});
    ProcessResult r = RunAttrs(args);
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  EXPECT_TRUE(Validates("AttributeRegistry.v1_4_0.json", {registry}));
  EXPECT_TRUE(Validates("Bios.v1_2_3.json", {bios, defaults}));

  Json entries = Load(registry)["RegistryEntries"]["Attributes"];
  Json values = Load(bios)["Attributes"];
  EXPECT_GE(entries.size(), atLeast);
  ASSERT_EQ(entries.size(), values.size());
  const std::regex pattern("^[A-Za-z][A-Za-z0-9_]+$");
  std::set<std::string> names;
  size_t at = 0;
  for (auto it = values.begin(); it != values.end(); ++it, ++at) {
    const Json& e = entries[at];
    std::string name = e["AttributeName"];
    EXPECT_TRUE(std::regex_match(name, pattern)) << name;
    EXPECT_TRUE(names.insert(name).second) << "repeated " << name;
    EXPECT_EQ(it.key(), name) << "get follows registry order";
    EXPECT_EQ(it.value(), e["CurrentValue"]) << name;
  }
  // Same firmware, same bytes.
  ProcessResult again = RunAttrs({"--hii", hii, "--vars", vars, "registry"});
  EXPECT_EQ(again.out, test::ReadFileText(registry));
}

TEST(AttrsDocuments, DemoFirmwareValidatesAndMatchesTheScriptExport) {
  TempDir dir;
  ASSERT_EQ(hiibuild::WriteEmulatorImage(dir / "image", hiibuild::BuildDemoFirmware()), "");
  CheckDocuments(dir / "image/hii.bin", dir / "image/vars", dir, 250);

  SessionOptions options{dir / "image/hii.bin", dir / "image/vars", {}};
  Session session;
  ASSERT_TRUE(session.Open(options));
  std::vector<Attribute> attributes;
  WalkAttributes(session.Setup(), {[&](Attribute& a) { attributes.push_back(a); }, nullptr});

  // The export as /o /sp /g /ce /b writes it: every question, conditions marked.
  for (Switch s : {Switch::O, Switch::Sp, Switch::G, Switch::Ce}) session.Run().switches.Set(s);
  FilePtr file(std::fopen((dir / "script.txt").c_str(), "w+"));
  ASSERT_EQ(ExportScriptTo(session.Setup(), file.get(), nullptr, true), 0u);
  file.reset();
  std::string script = test::ReadFileText(dir / "script.txt");

  // Blocks by (token, offset); legacy groups share their control's token and offset.
  std::multimap<std::pair<unsigned, unsigned>, std::string> blocks;
  size_t start = script.find("Setup Question\t= ");
  while (start != std::string::npos) {
    size_t next = script.find("Setup Question\t= ", start + 1);
    std::string block = script.substr(start, next == std::string::npos ? std::string::npos : next - start);
    unsigned token = std::stoul(block.substr(block.find("Token\t=") + 7), nullptr, 16);
    unsigned offset = std::stoul(block.substr(block.find("Offset\t=") + 8), nullptr, 16);
    blocks.emplace(std::make_pair(token, offset), block);
    start = next;
  }
  size_t compared = 0;
  std::multimap<std::pair<unsigned, unsigned>, std::string> unmatched = blocks;
  for (const Attribute& a : attributes) {
    if (a.type == AttrType::Password) continue;
    auto it = unmatched.find({a.questionId, a.offset});
    ASSERT_NE(it, unmatched.end()) << a.name << " is not in the export";
    const std::string block = it->second;
    unmatched.erase(it);
    // The text the export shows for the same current value.
    std::string expected;
    const Json& v = a.current;
    auto choice = [&](const Json& name) -> const Choice* {
      for (const Choice& c : a.choices)
        if (c.name == name) return &c;
      return nullptr;
    };
    switch (a.form) {
      case ValueForm::Language:
        expected = NFormat("*[%02llX]", static_cast<unsigned long long>(choice(v)->value)) + v.get<std::string>();
        break;
      case ValueForm::BootOrder:
        expected = NFormat("ListOrder\t=[%04llx]", static_cast<unsigned long long>(choice(v.get<std::string>().substr(0, 8))->value));
        break;
      case ValueForm::OrderedList: {
        std::string first = v.get<std::string>().substr(0, v.get<std::string>().find(','));
        expected = NFormat("ListOrder\t=[%02llX]", static_cast<unsigned long long>(choice(first)->value));
        break;
      }
      case ValueForm::Date: {
        std::string d = v;
        expected = "Date\t=" + d.substr(5, 2) + "-" + d.substr(8, 2) + "-" + d.substr(0, 4);
        break;
      }
      case ValueForm::Time:
        expected = "Time\t=" + v.get<std::string>();
        break;
      case ValueForm::LegacyOrder:
        expected = "ListOrder\t=";
        break;
      default:
        if (a.kind == hii::IFR_ONE_OF && v.is_null()) {
          EXPECT_EQ(block.find("*["), std::string::npos) << a.name << " has no current option";
          expected = "Options\t=";
        } else if (a.kind == hii::IFR_ONE_OF) {
          expected = NFormat("*[%02llX]", static_cast<unsigned long long>(choice(v)->value));
        } else if (a.kind == hii::IFR_CHECKBOX) {
          expected = v.get<bool>() ? "Value\t=1" : "Value\t=0";
        } else if (a.numericDisplay == hii::kDisplayHex) {
          expected = NFormat("Value\t=%llX", v.get<unsigned long long>());
        } else if (a.kind == hii::IFR_NUMERIC) {
          // The export writes a signed byte as its byte value.
          bool signedByte = a.numericDisplay == hii::kDisplaySignedDecimal && a.width == 1;
          expected = "Value\t=<" + (signedByte ? std::to_string(v.get<int64_t>() & 0xFF) : v.dump()) + ">";
        } else {
          const std::string& text = v.get_ref<const std::string&>();
          bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
          expected = ascii ? "Value\t=\"" + text + "\"" : "Value\t={";
        }
    }
    EXPECT_NE(block.find(expected), std::string::npos) << a.name << ": " << expected << " not in\n" << block;
    ++compared;
  }
  EXPECT_TRUE(unmatched.empty()) << unmatched.size() << " exported questions have no attribute, first:\n"
                                 << (unmatched.empty() ? "" : unmatched.begin()->second);
  EXPECT_EQ(compared, blocks.size());
}

// The older layout and every real capture (their varstores supplied zero-filled).
TEST(AttrsDocuments, OlderLayoutAndRealFirmwareDatabasesValidate) {
  TempDir dir;
  for (const test_images::Image& image : test_images::AllImages(dir.path())) {
    if (image.name == "demo") continue;
    SCOPED_TRACE(image.name);
    TempDir out;
    CheckDocuments(image.hii, image.vars, out, image.name == "older" ? 5 : 10);
  }
}

TEST(AttrsDocuments, NamesFollowTheDocumentedRule) {
  const std::pair<const char*, const char*> cases[] = {
      {"Hyper-Threading", "Hyper_Threading"}, {"  C-State  Limit (C1E) ", "C_State_Limit_C1E"},
      {"3D Mode", "Q_3D_Mode"},               {"X", "Q_X"},
      {"Café", "Caf"},                          {"---", ""},
      {"PROC001", "PROC001"},
  };
  for (const auto& [text, name] : cases) EXPECT_EQ(MakeName(text), name) << text;
}

// Repeated prompts and option texts through the walk: names made unique in walk order, a
// question the import cannot reach (same prompt and id as an earlier one) marked as such.
TEST(AttrsDocuments, RepeatedTextsGetUniqueNames) {
  constexpr EfiGuid kGuid{0x5E7A11D0, 0x1234, 0x4321, {1, 2, 3, 4, 5, 6, 7, 8}};
  hiibuild::PackageList list(kGuid);
  hiibuild::Forms& f = list.AddForms();
  f.FormSet(kGuid, L"Main", L"h");
  f.VarStore(1, kGuid, "Setup", 128);
  f.Form(1, L"Main");
  uint16_t id = 1, offset = 0;
  f.Checkbox({L"Dup 2", L"h", id++, 1, offset++});
  for (int i = 0; i < 40; ++i) f.Checkbox({L"Dup", L"h", id++, 1, offset++});  // past the table's first size
  f.Checkbox({L"Twin", L"h", 900, 1, offset++});
  f.Checkbox({L"Twin", L"h", 900, 1, offset++});
  std::vector<hiibuild::Opt> many;
  for (uint64_t v = 0; v < 20; ++v) many.push_back({v, v == 18 ? L"Xy 1" : L"Xy"});
  f.OneOf({L"Many", L"h", id++, 1, offset++}, 1, many);
  f.OneOf({L"Few", L"h", id++, 1, offset++}, 1, {{0, L"On"}, {1, L"On"}, {2, L" "}});
  TempDir dir;
  test::WriteFileBytes(dir / "hii.bin", list.Bytes());
  ASSERT_EQ(hiibuild::WriteVariableFiles(dir / "vars", {{"Setup", kGuid, hiibuild::attr::kNvBsRt,
                                                         std::vector<uint8_t>(128, 0)}}), "");
  Session session;
  ASSERT_TRUE(session.Open({dir / "hii.bin", dir / "vars", {}}));
  std::vector<Attribute> attributes;
  WalkAttributes(session.Setup(), {[&](Attribute& a) { attributes.push_back(a); }, nullptr});
  ASSERT_EQ(attributes.size(), 45u);
  EXPECT_EQ(attributes[0].name, "Dup_2");
  EXPECT_EQ(attributes[1].name, "Dup");
  EXPECT_EQ(attributes[2].name, "Dup_3");  // "Dup_2" was taken by a prompt
  EXPECT_EQ(attributes[40].name, "Dup_41");
  EXPECT_EQ(attributes[41].name, "Twin");
  EXPECT_EQ(attributes[42].name, "Twin_2");
  EXPECT_EQ(attributes[41].unreachable, "");
  EXPECT_EQ(attributes[42].unreachable, "the question Twin has the same prompt and question id and takes the value");
  std::vector<std::string> names;
  for (const Choice& c : attributes[43].choices) names.push_back(c.name);
  EXPECT_EQ(names[1], "Xy_1");
  EXPECT_EQ(names[17], "Xy_17");
  EXPECT_EQ(names[18], "Xy_1_18");  // past the scanned few, through the lookup
  names.clear();
  for (const Choice& c : attributes[44].choices) names.push_back(c.name);
  EXPECT_EQ(names, (std::vector<std::string>{"On", "On_1", "Value"}));
}

// Entries written over the objects of an earlier entry of the same shape read exactly as
// entries made afresh, whatever the types of their values.
TEST(AttrsDocuments, ReusedRegistryEntriesMatchFreshOnes) {
  TempDir dir;
  ASSERT_EQ(hiibuild::WriteEmulatorImage(dir / "image", hiibuild::BuildDemoFirmware()), "");
  Session session;
  ASSERT_TRUE(session.Open({dir / "image/hii.bin", dir / "image/vars", {}}));
  std::vector<Attribute> attributes;
  WalkAttributes(session.Setup(), {[&](Attribute& a) { attributes.push_back(a); }, nullptr});
  RegistryEntries shared;
  size_t at = 0;
  for (Attribute& a : attributes) {
    if (++at % 3 == 0) a.current = nullptr;  // the same shape with a value of another type
    if (at % 5 == 0) a.biosDefault = 7;
    Attribute copy = a;
    std::string fresh = RegistryEntries().Make(std::move(copy)).dump();
    EXPECT_EQ(shared.Make(std::move(a)).dump(), fresh);
  }
}

TEST(AttrsDocuments, ReaderRefusesWhatIsNotABiosDocument) {
  const std::pair<const char*, const char*> bad[] = {
      {"", "not valid JSON"},
      {"{\"Attributes\": {\"A1\": 1,}", "not valid JSON"},
      {"[1,2]", "no \"Attributes\" object"},
      {"{\"Attributes\": [1]}", "no \"Attributes\" object"},
      {"{\"Attributes\": {\"A1\": 1, \"A1\": 2}}", "appears twice"},
      {"{\"Attributes\": {\"\": 1, \"\": 2}}", "the name \"\" appears twice"},
      {"{\"Attributes\": {\"A1\": {\"x\": 1}}}", "not a string, number, boolean or null"},
      {"{\"Attributes\": {\"A1\": \"\xff\"}}", "not valid JSON"},
  };
  for (const auto& [text, message] : bad) {
    std::string error;
    EXPECT_FALSE(ReadAttributeValues(text, error)) << text;
    EXPECT_NE(error.find(message), std::string::npos) << text << " -> " << error;
  }
  std::string deep = std::string(100, '[') + std::string(100, ']');
  std::string error;
  EXPECT_FALSE(ReadAttributeValues("{\"Attributes\": {\"A1\": " + deep + "}}", error));
  EXPECT_NE(error.find("deeper than 64"), std::string::npos) << error;

  auto values = ReadAttributeValues(R"({"@odata.type": "#Bios.v1_2_3.Bios", "Attributes": {"B2": true, "A1": -3, "C3": "x", "D4": null}})", error);
  ASSERT_TRUE(values) << error;
  ASSERT_EQ(values->size(), 4u);
  EXPECT_EQ((*values)[0].first, "B2");  // document order
  EXPECT_EQ((*values)[1].second, -3);
}

// find, the nearest names for one that is missing, and diff's display names from the firmware.
TEST(AttrsDocuments, FindNearestNamesAndDisplayNames) {
  TempDir dir;
  ASSERT_EQ(hiibuild::WriteEmulatorImage(dir / "image", hiibuild::BuildDemoFirmware()), "");
  std::vector<std::string> offline{"--hii", dir / "image/hii.bin", "--vars", dir / "image/vars"};
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.begin(), offline.begin(), offline.end());
    return RunAttrs(args);
  };
  ProcessResult found = run({"find", "HYPER-thread"});
  ASSERT_EQ(found.exitCode, 0) << found.err;
  std::vector<std::string> names;
  Json foundDocument = Json::parse(found.out);
  for (const Json& a : foundDocument["Attributes"]) names.push_back(a["AttributeName"]);
  EXPECT_EQ(names, (std::vector<std::string>{"PROC001", "PWR001"}));  // two questions with that prompt
  ProcessResult text = run({"find", "idle timeout", "--text"});
  EXPECT_EQ(text.out, "MAIN002 = 10  Setup Idle Timeout (./Main)\n");
  EXPECT_EQ(run({"find", "no such words"}).exitCode, 1);

  ProcessResult missing = run({"get", "MAIN002", "PROC01"});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find("no attribute named PROC01; nearest: PROC001, PROC010, PROC011"), std::string::npos)
      << missing.err;

  test::WriteFileText(dir / "a.json", R"({"Attributes": {"MAIN002": 10, "GONE": 1}})");
  test::WriteFileText(dir / "b.json", R"({"Attributes": {"MAIN002": 20, "GONE": 1}})");
  ProcessResult diff = run({"diff", dir / "a.json", dir / "b.json"});
  EXPECT_EQ(diff.exitCode, 1);
  EXPECT_EQ(Json::parse(diff.out)["Differences"].dump(),
            R"([{"AttributeName":"MAIN002","DisplayName":"Setup Idle Timeout","A":10,"B":20}])");
}

TEST(AttrsDocuments, DiffListsWhatDiffers) {
  std::string error;
  auto a = *ReadAttributeValues(R"({"Attributes": {"A1": 1, "B2": "x", "C3": true}})", error);
  auto b = *ReadAttributeValues(R"({"Attributes": {"C3": true, "B2": "y", "D4": 4}})", error);
  Outcome same = DiffAttributes(nullptr, &a, &a, false);
  EXPECT_EQ(same.status, kExitSuccess);
  EXPECT_TRUE(same.report["Differences"].empty());
  Outcome differ = DiffAttributes(nullptr, &a, &b, false);
  EXPECT_EQ(differ.status, kExitDifferent);
  EXPECT_EQ(differ.report["Differences"].dump(),
            R"([{"AttributeName":"A1","DisplayName":null,"A":1,"B":null},)"
            R"({"AttributeName":"B2","DisplayName":null,"A":"x","B":"y"},)"
            R"({"AttributeName":"D4","DisplayName":null,"A":null,"B":4}])");
}

}  // namespace
}  // namespace kes::attrs
