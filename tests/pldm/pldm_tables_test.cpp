// The PLDM tables built in process over images made for the purpose, the demo firmware grown past
// 30 package lists, and real EDK2 HII databases; the bounded reader of tables and files.
#include <gtest/gtest.h>

#include <set>

#include "base/console.h"
#include "base/text.h"
#include "hii/default_store.h"
#include "hii/hii_format.h"
#include "pldm/pldm.h"
#include "pldm/pldm_tables.h"
#include "script/export.h"
#include "tests/pldm/pldm_decoder.h"
#include "tests/pldm/script_blocks.h"
#include "tests/support/firmware_root.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes {
namespace {

using hiibuild::Opt;
using hiibuild::Q;
using hiibuild::Str;

// One in-process run over an image, its variables in a plain firmware root.
class InProcessRun {
 public:
  InProcessRun(std::vector<uint8_t> hii, const std::vector<hiibuild::Variable>& variables, std::initializer_list<Switch> switches)
      : image_(std::move(hii)), database_(image_) {
    for (Switch s : switches) run_.switches.Set(s);
    strings_ = std::make_unique<StringLookup>(database_, StringOptions::FromRun(run_));
    setup_ = std::make_unique<SetupContext>(SetupContext{run_, root_.access(), database_, *strings_, nullptr});
    EXPECT_EQ(hiibuild::WriteVariableFiles(root_ / "efi/efivars", variables), "");
  }
  // The exported file (what /o /p writes) and the console's error text.
  std::vector<uint8_t> Export(std::string* err = nullptr) {
    pldm::PldmTables tables;
    ConsoleCapture capture;
    EXPECT_EQ(pldm::CreatePldmTables(*setup_, tables), status::kSuccess);
    if (err) *err = capture.err();
    return pldm::AssemblePldmFile(tables);
  }
  std::string Script() {
    std::string path = root_ / "script.txt";
    FilePtr file(std::fopen(path.c_str(), "w+"));
    ConsoleCapture quiet;
    EXPECT_EQ(ExportScriptTo(*setup_, file.get(), nullptr, false), 0u);
    file.reset();
    return test::ReadFileText(path);
  }
  Status Import(const std::vector<uint8_t>& file, std::string* err) {
    pldm::PldmTables tables;
    std::wstring error;
    auto split = pldm::SplitPldmFile(file, error);
    EXPECT_TRUE(split) << ToNarrow(error);
    ConsoleCapture capture;
    Status s = ImportPldmTables(*setup_, *split);
    *err = capture.err();
    return s;
  }
  std::vector<uint8_t> Variable(const std::string& name, const EfiGuid& guid) const {
    auto bytes = test::ReadFileBytes(root_.VarPath(name, guid));
    return bytes && bytes->size() >= 4 ? std::vector<uint8_t>(bytes->begin() + 4, bytes->end()) : std::vector<uint8_t>{};
  }
  RunState& run() { return run_; }
  const SetupContext& setup() { return *setup_; }
  test::PlainFirmwareRoot& root() { return root_; }

 private:
  test::PlainFirmwareRoot root_{true, true};
  RunState run_;
  std::vector<uint8_t> image_;
  HiiDatabase database_;
  std::unique_ptr<StringLookup> strings_;
  std::unique_ptr<SetupContext> setup_;
};

const EfiGuid kStoreGuid{0x1234, 0x5678, 0x9ABC, {1, 2, 3, 4, 5, 6, 7, 8}};

// A list without English strings (only fr-FR), then an English one with a one-of of 255
// options, one of 256, an ordered list of 4 options stored in 2 containers followed by a
// checkbox, and a signed byte numeric.
std::vector<uint8_t> EdgeImage(bool french = true) {
  hiibuild::Database db;
  if (french) {
    auto& french = db.AddList({0xF0, 1, 1, {}}, "fr-FR");
    auto& f = french.AddForms();
    f.FormSet({0xF0, 2, 2, {}}, Str(L"Principal"), Str(L"Aide"));
    f.VarStore(1, kStoreGuid, "French", 4);
    f.Form(1, Str(L"Principal"));
    f.Checkbox({Str(L"Activer"), Str(L"Aide"), 1, 1, 0, 0, L"FR001"});
  }
  auto& list = db.AddList({0xE0, 1, 1, {}});
  auto& f = list.AddForms();
  f.FormSet({0xE0, 2, 2, {}}, Str(L"Edge"), Str(L"Edge cases"));
  f.VarStore(1, kStoreGuid, "Edge", 16);
  f.Form(1, Str(L"Edge"));
  auto options = [](size_t n) {
    std::vector<Opt> out;
    for (size_t i = 0; i < n; ++i) out.push_back({i, Str(L"Choice " + std::to_wstring(i))});
    return out;
  };
  f.OneOf({Str(L"Many"), Str(L"255 options"), 1, 1, 0, 0, L"EDGE001"}, 2, options(255));
  f.OneOf({Str(L"Too Many"), Str(L"256 options"), 2, 1, 2, 0, L"EDGE002"}, 2, options(256));
  f.OrderedList({Str(L"Short List"), Str(L"4 options, 2 containers"), 3, 1, 4, 0, L"EDGE003"}, 2,
                {{1, Str(L"One")}, {2, Str(L"Two")}, {3, Str(L"Three")}, {4, Str(L"Four")}});
  f.Checkbox({Str(L"After List"), Str(L"Stored right after the list"), 4, 1, 6, 0, L"EDGE004"});
  f.Numeric({Str(L"Signed Byte"), Str(L"-128..127"), 5, 1, 7, 0, L"EDGE005"}, 1, 0x80, 0x7F, 1,
            hiibuild::flags::kDisplayIntDec);
  return db.Bytes();
}

std::vector<hiibuild::Variable> EdgeVariables() {
  std::vector<uint8_t> edge(16, 0);
  edge[4] = 2, edge[5] = 1, edge[6] = 1, edge[7] = 0x9C;  // list {2,1}, checkbox 1, -100
  return {{"French", kStoreGuid, hiibuild::attr::kNvBsRt, {1, 0, 0, 0}}, {"Edge", kStoreGuid, hiibuild::attr::kNvBsRt, edge}};
}

TEST(PldmTables, EdgeImageHandlesOptionsAndListStorage) {
  InProcessRun run(EdgeImage(), EdgeVariables(), {Switch::O, Switch::P});
  std::string err;
  std::vector<uint8_t> file = run.Export(&err);
  EXPECT_EQ(err, "WARNING: Too many options\n");  // once, for the 256 options
  test::PldmDecoded d = test::DecodePldmFile(file);
  ASSERT_TRUE(d.ok);
  // The French-only list takes no handles: the file is the same without it.
  EXPECT_EQ(file, InProcessRun(EdgeImage(false), EdgeVariables(), {Switch::O, Switch::P}).Export());
  ASSERT_FALSE(d.attributes.empty());
  EXPECT_EQ(d.attributes.front().handle, 11u);
  EXPECT_EQ(d.ByName("Activer"), nullptr);
  ASSERT_NE(d.ByKeyword("EDGE001"), nullptr);
  EXPECT_EQ(d.ByKeyword("EDGE001")->options.size(), 255u);
  EXPECT_EQ(d.ByKeyword("EDGE002"), nullptr);
  // The list's storage holds 2 elements: only those are read, never the checkbox after them.
  const auto* list = d.ByKeyword("EDGE003");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(test::CurrentTexts(d, *list), (std::vector<std::string>{"Two", "One"}));
  const auto* byte = d.ByKeyword("EDGE005");
  ASSERT_NE(byte, nullptr);
  EXPECT_EQ(static_cast<int64_t>(byte->lower), -128);
  EXPECT_EQ(static_cast<int64_t>(byte->upper), 127);
  EXPECT_EQ(static_cast<int64_t>(byte->value), -100);
}

// Imports into the edge image: values changed in the exported file with the project's own
// encoder, the outcome, and the variable's bytes afterwards.
TEST(PldmTables, EdgeImageImports) {
  InProcessRun exporter(EdgeImage(), EdgeVariables(), {Switch::O, Switch::P});
  std::vector<uint8_t> exported = exporter.Export();
  auto change = [&](const std::string& keyword, auto edit) {
    std::wstring error;
    auto tables = *pldm::SplitPldmFile(exported, error);
    auto strings = *pldm::DecodeStringTable(tables.keywords);
    auto attributes = *pldm::DecodeAttributeTable(tables.attributes);
    auto values = *pldm::DecodeValueTable(tables.values);
    uint16_t name = 0;
    for (const auto& s : strings)
      if (ToNarrow(Utf16ToWide(s.text)) == keyword) name = s.handle;
    uint16_t handle = 0;
    for (const auto& a : attributes)
      if (a.nameHandle == name) handle = a.handle;
    std::vector<uint8_t> encoded;
    for (auto& v : values) {
      if (v.handle == handle) edit(v);
      EXPECT_TRUE(pldm::EncodeValue(encoded, v));
    }
    pldm::PadAndChecksum(encoded);
    tables.values = encoded;
    return pldm::AssemblePldmFile(tables);
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> file;
    std::string err;                 // expected in the console's error text ("" : nothing)
    std::vector<uint8_t> edgeBytes;  // bytes 4..7 of "Edge" afterwards
  } cases[] = {
      {"unchanged", exported, "", {2, 1, 1, 0x9C}},
      {"a negative value in range", change("EDGE005", [](pldm::Value& v) { v.value = static_cast<uint64_t>(-128); }), "",
       {2, 1, 1, 0x80}},
      {"below the signed minimum", change("EDGE005", [](pldm::Value& v) { v.value = static_cast<uint64_t>(-129); }),
       "WARNING : PLDM attribute EDGE005 not imported: -129 is below the minimum -128.\n", {2, 1, 1, 0x9C}},
      {"a value wider than the signed byte", change("EDGE005", [](pldm::Value& v) { v.value = 0x80; }),
       "WARNING : PLDM attribute EDGE005 not imported: 128 is above the maximum 127.\n", {2, 1, 1, 0x9C}},
      {"the list reordered", change("EDGE003", [](pldm::Value& v) { v.indexes = {3, 2}; }), "", {4, 3, 1, 0x9C}},
      {"more elements than the list's storage", change("EDGE003", [](pldm::Value& v) { v.indexes = {0, 1, 2}; }),
       "WARNING : PLDM attribute EDGE003 not imported: it holds 3 elements, the question's storage 2.\n", {2, 1, 1, 0x9C}},
      {"an option index past the options", change("EDGE001", [](pldm::Value& v) { v.indexes = {255}; }),
       "WARNING : PLDM attribute EDGE001 not imported: index 255 is not one of its 255 possible values.\n",
       {2, 1, 1, 0x9C}},
      {"one element of the list's two", change("EDGE003", [](pldm::Value& v) { v.indexes = {3}; }),
       "WARNING : PLDM attribute EDGE003 not imported: it holds 1 element, the question's storage 2.\n",
       {2, 1, 1, 0x9C}},
      {"an option twice", change("EDGE003", [](pldm::Value& v) { v.indexes = {3, 3}; }),
       "WARNING : PLDM attribute EDGE003 not imported: its elements are not 2 different options of the question.\n",
       {2, 1, 1, 0x9C}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    InProcessRun run(EdgeImage(), EdgeVariables(), {Switch::I, Switch::P});
    std::string err;
    EXPECT_EQ(run.Import(c.file, &err), status::kSuccess);
    if (c.err.empty()) EXPECT_EQ(err, "");
    else EXPECT_NE(err.find(c.err), std::string::npos) << err;
    EXPECT_EQ(run.run().ImportErrors, !c.err.empty());
    std::vector<uint8_t> edge = run.Variable("Edge", kStoreGuid);
    ASSERT_EQ(edge.size(), 16u);
    EXPECT_EQ(std::vector<uint8_t>(edge.begin() + 4, edge.begin() + 8), c.edgeBytes);
  }
  // The checkbox's value under the signed byte's handle: two values for one attribute, the file
  // refused before anything is touched.
  uint16_t signedByte = test::DecodePldmFile(exported).ByKeyword("EDGE005")->handle;
  InProcessRun run(EdgeImage(), EdgeVariables(), {Switch::I, Switch::P});
  std::string err;
  EXPECT_EQ(run.Import(change("EDGE004", [&](pldm::Value& v) { v.handle = signedByte; }), &err),
            status::kInvalidParameter);
  EXPECT_NE(err.find("ERROR:57 - The PLDM attribute value table holds more than one value for attribute EDGE005.\n"),
            std::string::npos) << err;
  EXPECT_FALSE(run.run().SystemModified);
}

// The demo firmware followed by 30 copies of its first package list: no list is dropped, and
// the strings the boot manager adds (languages, boot options, legacy groups: more than 11)
// never take a handle of the list after it. An ordered-list default naming no option is left
// out of the default count.
TEST(PldmTables, ManyPackageListsKeepHandlesApart) {
  hiibuild::EmulatorImage demo = hiibuild::BuildDemoFirmware();
  std::vector<uint8_t> hii = demo.hii;
  size_t firstLength = Le32(Bytes(hii), 16);
  for (int i = 0; i < 30; ++i) hii.insert(hii.end(), demo.hii.begin(), demo.hii.begin() + static_cast<std::ptrdiff_t>(firstLength));
  InProcessRun alone(demo.hii, demo.variables, {Switch::O, Switch::P, Switch::B});
  InProcessRun first(std::vector<uint8_t>(demo.hii.begin(), demo.hii.begin() + static_cast<std::ptrdiff_t>(firstLength)),
            demo.variables, {Switch::O, Switch::P, Switch::B});
  InProcessRun grown(hii, demo.variables, {Switch::O, Switch::P, Switch::B});

  // "PCR Bank Priority" gets a standard default whose first element is no option.
  QuestionWalk walk = grown.setup().NewWalk();
  QuestionVisitor visitor;
  std::optional<std::tuple<EfiGuid, std::wstring, uint16_t>> pcr;
  visitor.question = [&](const PackageList& list, const FormSetInfo&, const FormInfo&, QuestionRecord& r) {
    auto prompt = grown.setup().strings.GetString(list, r.Prompt, false);
    const VarStoreEntry* e = walk.VarStores().At(r.VarStoreIndex);
    if (prompt && *prompt == L"PCR Bank Priority" && e && !pcr) pcr = {e->Guid, e->Name, r.VarOffset};
  };
  walk.WalkQuestions(visitor);
  ASSERT_TRUE(pcr);
  {
    DefaultStores stores(grown.root().access());
    stores.LoadDefaultStores();
    uint8_t list[] = {9, 2, 3};
    ASSERT_TRUE(stores.SetQuestionDefault(DefaultStore::Std, std::get<0>(*pcr), std::get<1>(*pcr), std::get<2>(*pcr), list));
    ConsoleCapture quiet;
    EXPECT_EQ(stores.WriteBackDefaultStores(grown.run()), 0u);
  }

  test::PldmDecoded one = test::DecodePldmFile(alone.Export());
  test::PldmDecoded many = test::DecodePldmFile(grown.Export());
  ASSERT_TRUE(one.ok && many.ok);  // every count matches what follows it
  size_t firstListAttributes = test::DecodePldmFile(first.Export()).attributes.size();
  ASSERT_GT(firstListAttributes, 0u);
  EXPECT_EQ(many.attributes.size(), one.attributes.size() + 30 * firstListAttributes);
  std::set<uint16_t> handles;
  for (const auto& a : many.attributes) EXPECT_TRUE(handles.insert(a.handle).second) << a.handle;
  // Each list's strings are its own: an attribute's name and options are texts of its list.
  for (const auto& a : many.attributes) {
    EXPECT_TRUE(many.strings.count(a.name)) << a.handle;
    for (uint16_t h : a.options) EXPECT_TRUE(many.strings.count(h));
  }
  const auto* boot = many.ByName("Boot Options");
  ASSERT_NE(boot, nullptr);
  uint16_t lastBootString = *std::max_element(boot->options.begin(), boot->options.end());
  const auto* firstCopy = &many.attributes[one.attributes.size()];
  EXPECT_GT(firstCopy->name, lastBootString + 11);
  const auto* bank = many.ByName("PCR Bank Priority");
  ASSERT_NE(bank, nullptr);
  EXPECT_EQ(test::Texts(many, bank->defaults), (std::vector<std::string>{"SHA-256", "SHA-384"}));
}

class RealHii : public ::testing::TestWithParam<std::string> {};

// Real EDK2 databases, given variables of the declared sizes: the tables agree with the script
// export, and a file without keyword strings is refused on import.
TEST_P(RealHii, TablesAgreeWithTheScriptExport) {
  auto hii = test::ReadFileBytes(test::SourceDir() + "/tests/data/real-hii/" + GetParam());
  ASSERT_TRUE(hii);
  std::vector<hiibuild::Variable> variables;
  {
    InProcessRun probe(*hii, {}, {});
    QuestionWalk walk = probe.setup().NewWalk();
    QuestionVisitor visitor;
    std::set<std::pair<std::string, std::wstring>> seen;
    visitor.question = [&](const PackageList&, const FormSetInfo&, const FormInfo&, QuestionRecord& r) {
      const VarStoreEntry* e = walk.VarStores().At(r.VarStoreIndex);
      if (e && seen.insert({FormatGuidText(e->Guid), e->Name}).second)
        variables.push_back({ToNarrow(e->Name), e->Guid, hiibuild::attr::kNvBsRt, std::vector<uint8_t>(e->Size, 0)});
    };
    walk.WalkQuestions(visitor);
  }
  ASSERT_FALSE(variables.empty());
  InProcessRun run(*hii, variables, {Switch::O, Switch::P});
  std::vector<uint8_t> file = run.Export();
  test::PldmDecoded d = test::DecodePldmFile(file);
  ASSERT_TRUE(d.ok);
  EXPECT_GT(d.attributes.size(), 10u);
  size_t count = 0;
  auto blocks = test::ScriptBlocks(run.Script(), &count);
  size_t passwords = 0;
  for (const auto& a : d.attributes) {
    SCOPED_TRACE(d.Text(a.name));
    if (a.type == 2) {
      ++passwords;
      continue;
    }
    auto block = blocks.find(test::Ascii(d.Text(a.name)));
    ASSERT_NE(block, blocks.end());
    if (a.type == 0) {
      std::string starred;
      EXPECT_EQ(test::Items(block->second, &starred), test::Texts(d, a.options));
      EXPECT_EQ(test::CurrentTexts(d, a), starred.empty() ? std::vector<std::string>{} : std::vector<std::string>{starred});
    }
  }
  EXPECT_EQ(d.attributes.size() - passwords, count);
  // No x-UEFI strings in these images: no keyword table. The file imports by handle, as its
  // tables are this firmware's, and changes nothing.
  EXPECT_EQ(d.tables[3].length, 0u);
  std::string err;
  EXPECT_EQ(run.Import(file, &err), status::kSuccess);
  EXPECT_EQ(err, "");
  EXPECT_FALSE(run.run().ImportErrors);
  EXPECT_FALSE(run.run().SystemModified);
#ifdef KESTREL_PLDM_COMPANION_PATH
  // A round trip by handle: kestrel-pldm sets a checkbox by its handle, the import applies it,
  // and the next export shows it.
  const test::PldmDecoded::Attr* box = nullptr;
  for (const auto& a : d.attributes)
    if (a.type == 3 && a.lower == 0 && a.upper == 1 && !box) box = &a;
  ASSERT_NE(box, nullptr);
  test::TempDir dir;
  test::WriteFileBytes(dir / "in.pldm", file);
  uint64_t flipped = box->value ^ 1;
  test::ProcessResult set = test::RunProcess({KESTREL_PLDM_COMPANION_PATH, "set", dir / "in.pldm", dir / "out.pldm",
                                              "@" + std::to_string(box->handle) + "=" + std::to_string(flipped)});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  test::ProcessResult json = test::RunProcess({KESTREL_PLDM_COMPANION_PATH, "dump", "--json", dir / "out.pldm"});
  EXPECT_NE(json.out.find("\"keyword\": null"), std::string::npos);
  EXPECT_EQ(run.Import(*test::ReadFileBytes(dir / "out.pldm"), &err), status::kSuccess);
  EXPECT_EQ(err, "");
  EXPECT_TRUE(run.run().SystemModified);
  test::PldmDecoded again = test::DecodePldmFile(run.Export());
  for (const auto& a : again.attributes) {
    if (a.handle == box->handle) {
      EXPECT_EQ(a.value, flipped);
    }
  }
#endif
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealHii,
                         ::testing::Values("aavmf-aarch64-hii.bin", "aavmf-aarch64-setup-nic-hii.bin"));

// The bounded walkers refuse malformed tables without reading past them.
TEST(PldmFormat, MalformedTablesAreRefused) {
  auto sealed = [](std::vector<uint8_t> body) {
    pldm::PadAndChecksum(body);
    return body;
  };
  std::vector<uint8_t> integer = sealed({1, 0, 3, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0, 0, 0, 0, 0, 0, 0});
  struct Case {
    const char* name;
    std::vector<uint8_t> table;
    pldm::TableKind kind;
    bool valid;
  } cases[] = {
      {"one integer attribute", integer, pldm::TableKind::Attribute, true},
      {"length less 4 not a multiple of 4", std::vector<uint8_t>(integer.begin(), integer.end() - 1),
       pldm::TableKind::Attribute, false},
      {"an entry running past the table", sealed({1, 0, 0, 0, 0, 200, 0}), pldm::TableKind::Attribute, false},
      {"unknown attribute type", sealed({1, 0, 9, 0, 0, 0, 0, 0}), pldm::TableKind::Attribute, false},
      {"string longer than the table", sealed({1, 0, 40, 0, 'a', 0}), pldm::TableKind::String, false},
      {"ordered-list value past the table", sealed({1, 0, 5, 0xFF, 0xFF}), pldm::TableKind::Value, false},
      {"read-only enumeration value", sealed({1, 0, 0x80, 1, 0}), pldm::TableKind::Value, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(pldm::TableEntries(c.table, c.kind).has_value(), c.valid);
  }
  EXPECT_EQ(integer.size() % 4, 0u);
  EXPECT_EQ(Le32(Bytes(integer), integer.size() - 4), test::ReferenceCrc32(integer.data(), integer.size() - 4));
}

#ifdef KESTREL_PLDM_COMPANION_PATH
// kestrel-pldm over the demo firmware's file: what dump shows, and what set writes or refuses.
TEST(PldmCompanion, DumpAndSet) {
  hiibuild::EmulatorImage demo = hiibuild::BuildDemoFirmware();
  InProcessRun run(demo.hii, demo.variables, {Switch::O, Switch::P, Switch::B});
  test::TempDir dir;
  test::WriteFileBytes(dir / "in.pldm", run.Export());
  auto companion = [&](std::vector<std::string> args) {
    args.insert(args.begin(), KESTREL_PLDM_COMPANION_PATH);
    return test::RunProcess(args);
  };
  test::ProcessResult dump = companion({"dump", dir / "in.pldm"});
  EXPECT_EQ(dump.exitCode, 0) << dump.err;
  EXPECT_NE(dump.out.find("attribute value   "), std::string::npos);
  EXPECT_NE(dump.out.find("\n[11] MAIN001 \"Setup Mode\" enumeration\n    options: \"Standard\", \"Advanced\"\n"),
            std::string::npos) << dump.out;
  test::ProcessResult json = companion({"dump", dir / "in.pldm", "--json"});
  EXPECT_EQ(json.exitCode, 0);
  EXPECT_NE(json.out.find("\"keyword\": \"MAIN002\""), std::string::npos);
  std::vector<uint8_t> damaged = *test::ReadFileBytes(dir / "in.pldm");
  damaged[50] ^= 1;
  test::WriteFileBytes(dir / "damaged.pldm", damaged);
  test::ProcessResult bad = companion({"dump", dir / "damaged.pldm"});
  EXPECT_EQ(bad.exitCode, 1);
  EXPECT_NE(bad.out.find("mismatch"), std::string::npos);

  struct Case {
    std::vector<std::string> assignments;
    int exitCode;
    std::string err;
  } cases[] = {
      {{"MAIN001=Standard", "MAIN002=0x1E", "PWR022=-128", "SVC001=RACK-9",
        "Boot Options=UEFI: Built-in Shell;UEFI: NVMe SSD;SATA HDD: Legacy Disk;UEFI: PXE IPv4 Onboard NIC"},
       0, ""},
      {{"MAIN001=Expert"}, 1, "MAIN001 not set: \"Expert\" is not one of its options (\"Standard\", \"Advanced\")\n"},
      {{"MAIN002=61"}, 1, "MAIN002 not set: 61 is outside 0 to 60\n"},
      {{"PWR022=-129"}, 1, "PWR022 not set: -129 is outside -128 to 127\n"},
      {{"MAIN002=ten"}, 1, "is not a decimal or 0x hexadecimal integer"},
      {{"SVC001=" + std::string(17, 'x')}, 1, "its length of 34 bytes is outside 0 to 32"},
      {{"SEC001=secret"}, 1, "passwords are not written into PLDM files"},
      {{"Boot Options=UEFI: NVMe SSD"}, 1, "it holds 4 elements, the new order names 1"},
      {{"NOSUCH=1"}, 1, "no attribute with a value has the keyword NOSUCH"},
      // A character outside the BMP is a surrogate pair: two units against the bounds.
      {{"SVC001=" + std::string(15, 'x') + "\U0001F600"}, 1, "its length of 34 bytes is outside 0 to 32"},
      {{"@65535=1"}, 1, "no attribute with a value has the handle 65535"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.assignments.front());
    std::remove((dir / "out.pldm").c_str());
    std::vector<std::string> args{"set", dir / "in.pldm", dir / "out.pldm"};
    args.insert(args.end(), c.assignments.begin(), c.assignments.end());
    test::ProcessResult set = companion(args);
    EXPECT_EQ(set.exitCode, c.exitCode) << set.err;
    EXPECT_NE(set.err.find(c.err), std::string::npos) << set.err;
    auto written = test::ReadFileBytes(dir / "out.pldm");
    EXPECT_EQ(written.has_value(), c.exitCode == 0);
    if (!written) continue;
    test::PldmDecoded d = test::DecodePldmFile(*written);
    ASSERT_TRUE(d.ok);
    for (const auto& t : d.tables) EXPECT_TRUE(t.checksumOk);
    EXPECT_EQ(test::CurrentTexts(d, *d.ByKeyword("MAIN001")), std::vector<std::string>{"Standard"});
    EXPECT_EQ(d.ByKeyword("MAIN002")->value, 30u);
    EXPECT_EQ(static_cast<int64_t>(d.ByKeyword("PWR022")->value), -128);
    EXPECT_EQ(test::Utf16Ascii(d.ByKeyword("SVC001")->bytes), "RACK-9");
    EXPECT_EQ(test::CurrentTexts(d, *d.ByName("Boot Options")).front(), "UEFI: Built-in Shell");
  }

  // By handle, and a character outside the BMP stored as its surrogate pair.
  test::PldmDecoded in = test::DecodePldmFile(*test::ReadFileBytes(dir / "in.pldm"));
  const auto* tag = in.ByKeyword("SVC001");
  ASSERT_NE(tag, nullptr);
  test::ProcessResult set = companion({"set", dir / "in.pldm", dir / "out.pldm", "@" + std::to_string(tag->handle) + "=\U0001F600"});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  test::PldmDecoded out = test::DecodePldmFile(*test::ReadFileBytes(dir / "out.pldm"));
  EXPECT_EQ(out.ByKeyword("SVC001")->bytes, (std::vector<uint8_t>{0x3D, 0xD8, 0x00, 0xDE}));

  // A lone surrogate: shown as U+FFFD (and said so), the JSON still whole.
  std::vector<uint8_t> lone = *test::ReadFileBytes(dir / "in.pldm");
  lone[tag->valueAt + 5] = 0x00, lone[tag->valueAt + 6] = 0xD8;
  test::ResealTable(lone, in, 2);
  test::WriteFileBytes(dir / "lone.pldm", lone);
  test::ProcessResult shown = companion({"dump", dir / "lone.pldm", "--json"});
  EXPECT_EQ(shown.exitCode, 0) << shown.err;
  EXPECT_NE(shown.out.find("\"current\": \"\xEF\xBF\xBDST-0042\""), std::string::npos) << shown.out.substr(0, 2000);
  EXPECT_NE(shown.err.find("holds a lone UTF-16 surrogate, shown as U+FFFD"), std::string::npos) << shown.err;

  // Two values for one attribute: dump and set refuse the file, naming the attribute.
  std::vector<uint8_t> twice = *test::ReadFileBytes(dir / "in.pldm");
  const auto* timeout = in.ByKeyword("MAIN002");
  const auto* date = in.ByKeyword("SVC004");
  twice[date->valueAt] = static_cast<uint8_t>(timeout->handle), twice[date->valueAt + 1] = static_cast<uint8_t>(timeout->handle >> 8);
  test::ResealTable(twice, in, 2);
  test::WriteFileBytes(dir / "twice.pldm", twice);
  for (auto args : {std::vector<std::string>{"dump", dir / "twice.pldm"},
                    std::vector<std::string>{"set", dir / "twice.pldm", dir / "twice-out.pldm", "MAIN002=5"}}) {
    test::ProcessResult r = companion(args);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the attribute value table holds more than one value for attribute MAIN002"), std::string::npos)
        << r.err;
  }
  EXPECT_FALSE(test::ReadFileBytes(dir / "twice-out.pldm"));
  // A file without end is refused at the cap.
  test::ProcessResult endless = companion({"dump", "/dev/zero"});
  EXPECT_EQ(endless.exitCode, 2);
  EXPECT_NE(endless.err.find("/dev/zero is larger than 67108864 bytes"), std::string::npos) << endless.err;
}
#endif

}  // namespace
}  // namespace kes
