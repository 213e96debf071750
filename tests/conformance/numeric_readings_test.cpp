// One reading of every numeric question, the firmware's, on every face: the script export and
// import, the PLDM tables (export, import, kestrel-pldm), and kestrel-attrs (registry and the
// mount's min_value, max_value and current_value). A question is read signed only where its
// display flag says signed decimal and its bounds, read signed, form a range; EDK2 leaves many
// unsigned questions (a TCP port of 0..65535) with that flag.
#include <gtest/gtest.h>

#include <functional>

#include "base/text.h"
#include "tests/pldm/pldm_decoder.h"
#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "companions/attrs/documents.h"
#include "companions/attrs/mount_tree.h"
#include "companions/attrs/session.h"
#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes::test {
namespace {

using hiibuild::Q;
using hiibuild::Str;
namespace flags = hiibuild::flags;

const EfiGuid kStoreGuid{0x6E7D1A20, 0x3B4C, 0x4D5E, {0x8F, 0x90, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6}};

struct Row {
  const wchar_t* prompt;
  const char* keyword;
  uint8_t size;
  uint8_t display;
  uint64_t min, max, stored;  // as the IFR and the variable hold them
  uint16_t offset;
  // In the question's reading, as decimal text.
  const char* lower;
  const char* upper;
  const char* current;
  const char* exported;  // the script's value ("<...>")
  const char* above;     // a script value above the maximum; null when none exists
  const char* aboveLimit;
  const char* below;     // a script value below the minimum
  const char* belowLimit;  // null: refused as invalid (a negative number for an unsigned question)
};

constexpr uint64_t Neg(int64_t v) { return static_cast<uint64_t>(v); }
uint64_t Raw(uint64_t v, uint8_t size) { return size >= 8 ? v : v & ((uint64_t{1} << (8 * size)) - 1); }

const Row kRows[] = {
    {L"Port", "NUM001", 2, flags::kDisplayIntDec, 0, 65535, 3260, 0, "0", "65535", "3260", "<3260>", "<65536>",
     "(65535)", "<-1>", nullptr},
    {L"Bias", "NUM002", 1, flags::kDisplayIntDec, 0x80, 0x7F, 0xF6, 2, "-128", "127", "-10", "<246>", "<256>", "(127)",
     "<-129>", "(-128)"},
    {L"Ratio", "NUM003", 1, flags::kDisplayUintDec, 0, 255, 200, 3, "0", "255", "200", "<200>", "<256>", "(255)",
     "<-1>", nullptr},
    {L"Offset", "NUM004", 2, flags::kDisplayIntDec, Neg(-1000), 1000, Neg(-5), 4, "-1000", "1000", "-5", "<-5>",
     "<1001>", "(1000)", "<-1001>", "(-1000)"},
    {L"Window", "NUM005", 4, flags::kDisplayIntDec, 0, 0xFFFFFFFF, 123456, 8, "0", "4294967295", "123456", "<123456>",
     "<4294967296>", "(4294967295)", "<-1>", nullptr},
    {L"Skew", "NUM006", 4, flags::kDisplayIntDec, Neg(-5000), 5000, Neg(-1200), 12, "-5000", "5000", "-1200", "<-1200>",
     "<5001>", "(5000)", "<-5001>", "(-5000)"},
    {L"Mask", "NUM007", 8, flags::kDisplayIntDec, 0, ~0ull, 5, 16, "0", "18446744073709551615", "5", "<5>", nullptr,
     nullptr, "<-1>", nullptr},
    {L"Trim", "NUM008", 8, flags::kDisplayIntDec, Neg(-16), 16, Neg(-3), 24, "-16", "16", "-3", "<-3>", "<17>", "(16)",
     "<-17>", "(-16)"},
    {L"Level", "NUM009", 4, flags::kDisplayUintDec, 0, 4000000000, 7, 32, "0", "4000000000", "7", "<7>", "<4000000001>",
     "(4000000000)", "<-1>", nullptr},
};
constexpr uint16_t kStoreSize = 40;

hiibuild::EmulatorImage ReadingsImage() {
  hiibuild::Database db;
  auto& list = db.AddList({0x6E7D1A21, 1, 1, {}});
  auto& f = list.AddForms();
  f.FormSet({0x6E7D1A22, 2, 2, {}}, Str(L"Readings"), Str(L"Numeric readings"));
  f.VarStore(1, kStoreGuid, "Readings", kStoreSize);
  f.Form(1, Str(L"Readings"));
  hiibuild::VarBuffer data(kStoreSize);
  uint16_t id = 1;
  for (const Row& r : kRows) {
    f.Numeric({Str(r.prompt), Str(std::wstring(r.prompt) + L" help"), id++, 1, r.offset, 0, ToWide(r.keyword)}, r.size,
              r.min, r.max, 1, r.display);
    data.Put(r.offset, r.stored, r.size);
  }
  hiibuild::EmulatorImage image;
  image.hii = db.Bytes();
  image.fidt = hiibuild::SupportedFidtTable();
  image.variables.push_back({"Readings", kStoreGuid, hiibuild::attr::kNvBsRt, data.Take()});
  return image;
}

// The value line of each row's block replaced by the text `pick` gives (rows it gives none
// for keep theirs).
std::string Edited(std::string script, const std::function<const char*(const Row&)>& pick) {
  for (const Row& r : kRows) {
    const char* value = pick(r);
    if (!value) continue;
    size_t block = script.find("Setup Question\t= " + ToNarrow(r.prompt) + "\n");
    size_t line = script.find("Value\t=", block);
    size_t end = script.find('\n', line);
    EXPECT_NE(block, std::string::npos);
    script.replace(line, end - line, std::string("Value\t=") + value);
  }
  return script;
}

std::string Trimmed(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

TEST(NumericReadings, EveryFaceReadsTheFirmwaresWay) {
  TempDir dir;
  ASSERT_EQ(hiibuild::WriteEmulatorImage(dir / "image", ReadingsImage()), "");

  // kestrel-attrs offline: the registry and the mount's files.
  {
    ProcessResult registry = RunProcess({KESTREL_ATTRS_PATH, "--hii", dir / "image/hii.bin", "--vars", dir / "image/vars", "registry"});
    ASSERT_EQ(registry.exitCode, 0) << registry.err;
    attrs::Json entries = attrs::Json::parse(registry.out)["RegistryEntries"]["Attributes"];
    attrs::Session session;
    ASSERT_TRUE(session.Open({dir / "image/hii.bin", dir / "image/vars", {}}));
    attrs::AttributeTree tree(session.Setup(), "kestrel");
    for (const Row& r : kRows) {
      SCOPED_TRACE(r.keyword);
      const attrs::Json* entry = nullptr;
      for (const auto& e : entries)
        if (e["AttributeName"] == r.keyword) entry = &e;
      ASSERT_NE(entry, nullptr);
      EXPECT_EQ((*entry)["LowerBound"].dump(), r.lower);
      EXPECT_EQ((*entry)["UpperBound"].dump(), r.upper);
      EXPECT_EQ((*entry)["CurrentValue"].dump(), r.current);
      std::string base = std::string("kestrel/attributes/") + r.keyword + "/", text;
      for (auto [file, expected] : {std::pair{"min_value", r.lower}, {"max_value", r.upper}, {"current_value", r.current}}) {
        ASSERT_EQ(tree.Read(base + file, true, text), 0) << file;
        EXPECT_EQ(Trimmed(text), expected) << file;
      }
    }
  }

  Emulator emu(dir / "image");
  ASSERT_TRUE(emu.Started()) << emu.Output();
  auto tool = [&](std::vector<std::string> args) { return RunTool(args, {.env = emu.Env()}); };
  auto stored = [&](const Row& r) {
    auto bytes = ReadFileBytes(emu.VarPath("Readings", FormatGuidText(kStoreGuid))).value_or(std::vector<uint8_t>{});
    return bytes.size() >= 4u + kStoreSize ? LeN(Bytes(bytes), 4 + r.offset, r.size) : ~0ull;
  };

  // The script: the export's values, then imports of values past each end of every range.
  ASSERT_EQ(tool({"/o", "/s", dir / "setup.txt"}).exitCode, 0);
  std::string script = ReadFileText(dir / "setup.txt");
  for (const Row& r : kRows)
    EXPECT_NE(script.find(std::string("Value\t=") + r.exported + "\n"), std::string::npos) << r.keyword;
  struct Pass {
    std::function<const char*(const Row&)> pick;
    std::function<const char*(const Row&)> limit;
    const char* message;
  } passes[] = {{[](const Row& r) { return r.above; }, [](const Row& r) { return r.aboveLimit; }, "exceeds the maximum range "},
                {[](const Row& r) { return r.below; }, [](const Row& r) { return r.belowLimit; }, "doesn't reach the minimum range "}};
  for (const Pass& pass : passes) {
    WriteFileText(dir / "edited.txt", Edited(script, pass.pick));
    ProcessResult run = tool({"/i", "/s", dir / "edited.txt"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("\nSystem configuration not modified.\n"), std::string::npos) << run.err;
    for (const Row& r : kRows) {
      if (!pass.pick(r)) continue;
      std::string name = "(" + ToNarrow(r.prompt) + ") not updated as the value/defaults specified ";
      std::string expected = pass.limit(r) ? name + pass.message + pass.limit(r) + ".\n" : name + "is invalid.\n";
      EXPECT_NE(run.err.find(expected), std::string::npos) << expected << run.err;
    }
  }
  // Every lower bound, written in the reading of its question, is taken.
  std::vector<std::string> lowerTexts;
  for (const Row& r : kRows) lowerTexts.push_back("<" + std::string(r.lower) + ">");
  WriteFileText(dir / "lower.txt", Edited(script, [&](const Row& r) { return lowerTexts[&r - kRows].c_str(); }));
  ProcessResult lower = tool({"/i", "/s", dir / "lower.txt", "/r"});
  EXPECT_EQ(lower.exitCode, 0) << lower.err;
  EXPECT_NE(lower.err.find("\nScript file imported successfully.\n"), std::string::npos) << lower.err;
  for (const Row& r : kRows) EXPECT_EQ(stored(r), Raw(r.min, r.size)) << r.keyword;

  // PLDM: bounds and values in the reading; kestrel-pldm shows and sets them so; the import
  // takes every upper bound.
  ASSERT_EQ(tool({"/o", "/p", dir / "setup.pldm"}).exitCode, 0);
  PldmDecoded d = DecodePldmFile(ReadFileBytes(dir / "setup.pldm").value_or(std::vector<uint8_t>{}));
  ASSERT_TRUE(d.ok);
  ProcessResult dump = RunProcess({KESTREL_PLDM_COMPANION_PATH, "dump", "--json", dir / "setup.pldm"});
  ASSERT_EQ(dump.exitCode, 0) << dump.err;
  attrs::Json shown = attrs::Json::parse(dump.out)["attributes"];
  std::vector<std::string> set{KESTREL_PLDM_COMPANION_PATH, "set", dir / "setup.pldm", dir / "upper.pldm"};
  for (const Row& r : kRows) {
    SCOPED_TRACE(r.keyword);
    const PldmDecoded::Attr* a = d.ByKeyword(r.keyword);
    ASSERT_NE(a, nullptr);
    bool isSigned = r.lower[0] == '-';
    auto text = [&](uint64_t v) { return isSigned ? std::to_string(static_cast<int64_t>(v)) : std::to_string(v); };
    EXPECT_EQ(text(a->lower), r.lower);
    EXPECT_EQ(text(a->upper), r.upper);
    EXPECT_EQ(text(a->value), r.lower);  // after the script import above
    EXPECT_EQ(CodecProblem(*a), isSigned ? "LowerBound is greater than UpperBound" : "");
    for (const auto& j : shown) {
      if (j["keyword"] == r.keyword) {
        EXPECT_EQ(j["lowerBound"].dump() + " " + j["upperBound"].dump(), std::string(r.lower) + " " + r.upper);
      }
    }
    set.push_back(std::string(r.keyword) + "=" + r.upper);
  }
  ProcessResult edited = RunProcess(set);
  ASSERT_EQ(edited.exitCode, 0) << edited.err;
  ProcessResult imported = tool({"/i", "/p", dir / "upper.pldm"});
  EXPECT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_NE(imported.err.find("\nPldm file imported successfully.\n"), std::string::npos) << imported.err;
  for (const Row& r : kRows) EXPECT_EQ(stored(r), Raw(r.max, r.size)) << r.keyword;
}

}  // namespace
}  // namespace kes::test
