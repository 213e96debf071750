// PLDM export and import through the built tool against the firmware emulator serving the demo
// firmware: the exported file read by the test's own decoder and compared with the script export,
// and imports of changed, damaged and foreign files with what they wrote (the emulator's log).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <regex>
#include <set>

#include "tests/pldm/pldm_decoder.h"
#include "tests/pldm/script_blocks.h"
#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/generators.h"

namespace kes::test {
namespace {

std::vector<std::string> Writes(const std::vector<std::string>& log, size_t from) {
  std::vector<std::string> out;
  for (size_t i = from; i < log.size(); ++i)
    if (log[i].rfind("set ", 0) == 0 && log[i].rfind("set KMBX-", 0) != 0) out.push_back(log[i].substr(4, log[i].find('-') - 4));
  return out;
}

class PldmThroughEmulator : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir();
    ASSERT_EQ(hiibuild::WriteEmulatorImage(*dir_ / "image", hiibuild::BuildDemoFirmware()), "");
  }
  static void TearDownTestSuite() { delete dir_; }
  void SetUp() override {
    emu_ = std::make_unique<Emulator>(*dir_ / "image");
    ASSERT_TRUE(emu_->Started()) << emu_->Output();
  }
  void TearDown() override {
    emu_.reset();
    // Every test starts from the image as built.
    ASSERT_EQ(hiibuild::WriteEmulatorImage(*dir_ / "image", hiibuild::BuildDemoFirmware()), "");
  }

  ProcessResult Tool(const std::vector<std::string>& args) {
    logStart_ = emu_->RequestLog().size();
    return RunTool(args, {.env = emu_->Env()});
  }
  std::vector<uint8_t> ExportPldm(const std::vector<std::string>& extra = {"/b"}) {
    std::vector<std::string> args{"/o", "/p", *dir_ / "tables.pldm"};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcessResult run = Tool(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("PLDM Tables exported to files Successfully."), std::string::npos);
    return ReadFileBytes(*dir_ / "tables.pldm").value_or(std::vector<uint8_t>{});
  }
  ProcessResult Import(const std::vector<uint8_t>& file, const std::vector<std::string>& extra = {"/b"}) {
    WriteFileBytes(*dir_ / "in.pldm", file);
    std::vector<std::string> args{"/i", "/p", *dir_ / "in.pldm"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Tool(args);
  }
  std::vector<std::string> Written() const { return Writes(emu_->RequestLog(), logStart_); }

  static TempDir* dir_;
  std::unique_ptr<Emulator> emu_;
  size_t logStart_ = 0;
};
TempDir* PldmThroughEmulator::dir_ = nullptr;

TEST_F(PldmThroughEmulator, ExportedTablesAgreeWithTheScriptExport) {
  PldmDecoded d = DecodePldmFile(ExportPldm());
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.word, 1u);
  EXPECT_EQ(d.signature, "PLDM");
  for (const auto& t : d.tables) {
    EXPECT_EQ(t.length % 4, 0u);
    EXPECT_TRUE(t.checksumOk);
  }
  // What a DSP0247 codec accepts: every entry but the four signed ranges below zero, which its
  // unsigned fields cannot hold as a range.
  size_t refused = 0;
  for (const auto& a : d.attributes) {
    std::string problem = CodecProblem(a);
    if (problem.empty()) continue;
    ++refused;
    EXPECT_EQ(problem, "LowerBound is greater than UpperBound") << d.Text(a.name);
    EXPECT_LT(static_cast<int64_t>(a.lower), 0) << d.Text(a.name);
  }
  EXPECT_EQ(refused, 4u);
  ProcessResult run = Tool({"/o", "/s", *dir_ / "script.txt", "/b"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  size_t blockCount = 0;
  auto blocks = ScriptBlocks(ReadFileText(*dir_ / "script.txt"), &blockCount);

  size_t passwords = 0, compared = 0;
  std::set<uint16_t> attributeHandles;
  for (const auto& a : d.attributes) {
    SCOPED_TRACE(d.Text(a.name));
    EXPECT_TRUE(attributeHandles.insert(a.handle).second);
    ASSERT_TRUE(a.hasValue);
    ASSERT_TRUE(d.strings.count(a.name));
    for (uint16_t h : a.options) EXPECT_TRUE(d.strings.count(h));
    for (uint16_t h : a.defaults) EXPECT_NE(std::find(a.options.begin(), a.options.end(), h), a.options.end());
    if (a.type == 2) {
      ++passwords;
      EXPECT_TRUE(a.bytes.empty());  // stored password bytes never leave the machine
      continue;
    }
    std::string name = a.type == 4 && d.Text(a.name) == "Boot Options" ? "Boot Option #" : Ascii(d.Text(a.name));
    auto block = blocks.find(name);
    ASSERT_NE(block, blocks.end());
    const std::string& text = block->second;
    ++compared;
    std::smatch m;
    switch (a.type) {
      case 0: {
        std::string starred;
        EXPECT_EQ(Items(text, &starred), Texts(d, a.options));
        // A stored value that is no option: no current value, as the script marks none.
        EXPECT_EQ(CurrentTexts(d, a), starred.empty() ? std::vector<std::string>{} : std::vector<std::string>{starred});
        break;
      }
      case 4:
      case 5:
        EXPECT_EQ(Items(text), CurrentTexts(d, a));
        break;
      case 1: {
        ASSERT_TRUE(std::regex_search(text, m, std::regex("\nWidth\t=([0-9A-F]+)\n")));
        EXPECT_EQ(a.maxLength, std::stoul(m[1].str(), nullptr, 16));  // bounds and lengths in bytes
        EXPECT_LE(a.bytes.size(), a.maxLength);
        if (std::regex_search(text, m, std::regex("\nValue\t=\"([^\"]*)\""))) {
          EXPECT_EQ(Utf16Ascii(a.bytes), m[1].str());
        }
        break;
      }
      case 3: {
        if (std::regex_search(text, m, std::regex("\nDate\t=(\\d+)-(\\d+)-(\\d+)"))) {
          EXPECT_EQ(a.value, std::stoull(m[3]) | std::stoull(m[1]) << 16 | std::stoull(m[2]) << 24);
        } else if (std::regex_search(text, m, std::regex("\nTime\t=(\\d+):(\\d+):(\\d+)"))) {
          EXPECT_EQ(a.value, std::stoull(m[1]) | std::stoull(m[2]) << 8 | std::stoull(m[3]) << 16);
        } else {
          ASSERT_TRUE(std::regex_search(text, m, std::regex("\nValue\t=(<?)(-?[0-9A-F]+)>?")));
          ASSERT_TRUE(std::regex_search(text, m, std::regex("\nValue\t=(<?)(-?[0-9A-F]+)")));
          uint64_t scripted = m[1].length() ? static_cast<uint64_t>(std::stoll(m[2])) : std::stoull(m[2], nullptr, 16);
          std::smatch w;
          ASSERT_TRUE(std::regex_search(text, w, std::regex("\nWidth\t=([0-9A-F]+)\n")));
          unsigned width = static_cast<unsigned>(std::stoul(w[1].str(), nullptr, 16));
          uint64_t mask = width >= 8 ? ~0ull : (1ull << (8 * width)) - 1;
          EXPECT_EQ(a.value & mask, scripted & mask);
          // One reading for value and bounds: a signed question's value lies inside them.
          if (static_cast<int64_t>(a.lower) < 0) {
            EXPECT_LE(static_cast<int64_t>(a.lower), static_cast<int64_t>(a.value));
            EXPECT_LE(static_cast<int64_t>(a.value), static_cast<int64_t>(a.upper));
          }
        }
        break;
      }
      default:
        ADD_FAILURE() << "type " << int(a.type);
    }
  }
  EXPECT_EQ(passwords, 2u);
  EXPECT_EQ(compared, blockCount);  // one attribute per exported question
  // Signed bounds sign-extended: a one-byte -128..127 range is not empty.
  const auto* bias = d.ByName("Fan Curve Bias");
  ASSERT_NE(bias, nullptr);
  EXPECT_EQ(static_cast<int64_t>(bias->lower), -128);
  EXPECT_EQ(static_cast<int64_t>(bias->upper), 127);
  // Keywords: every string handle is unique to one string, so keywords never collide.
  std::set<std::u16string> keywordTexts;
  for (const auto& a : d.attributes)
    if (d.keywords.count(a.name)) keywordTexts.insert(d.keywords.at(a.name));
  EXPECT_GT(keywordTexts.size(), 200u);
}

TEST_F(PldmThroughEmulator, WithoutSlashBNoBootOrLegacyAttributes) {
  PldmDecoded with = DecodePldmFile(ExportPldm({"/b"}));
  PldmDecoded without = DecodePldmFile(ExportPldm({}));
  auto bootAttributes = [](const PldmDecoded& d) {
    return std::count_if(d.attributes.begin(), d.attributes.end(), [](const auto& a) { return a.type == 4; });
  };
  EXPECT_EQ(bootAttributes(with), 3);  // boot order and two legacy groups
  EXPECT_EQ(bootAttributes(without), 0);
  EXPECT_NE(without.ByKeyword("LANG001"), nullptr);  // language controls stay
  EXPECT_EQ(with.attributes.size(), without.attributes.size() + 3);
}

// Imports of the exported file, changed as each case says: the outcome and what was written.
TEST_F(PldmThroughEmulator, ImportOutcomesAndWrites) {
  const std::vector<uint8_t> exported = ExportPldm();
  const PldmDecoded d = DecodePldmFile(exported);
  ASSERT_TRUE(d.ok);
  const auto* timeout = d.ByKeyword("MAIN002");  // Setup Idle Timeout, 0..60, in "Setup"
  const auto* mode = d.ByKeyword("MAIN001");     // Setup Mode, an enumeration
  ASSERT_TRUE(timeout && mode);
  auto setValue = [&](std::vector<uint8_t>& f, const PldmDecoded::Attr& a, uint64_t v) {
    for (int i = 0; i < 8; ++i) f[a.valueAt + 3 + i] = static_cast<uint8_t>(v >> (8 * i));
    ResealTable(f, d, 2);
  };
  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> change;
    int exitCode;
    std::vector<std::string> err;  // expected in stderr, in order
    std::vector<std::string> writes;
  };
  const std::string crc = "does not match (EFI_CRC_ERROR).\n\nERROR:57 - Pldm Import failed.\n";
  // The keyword table removed, as a firmware without x-UEFI strings exports it.
  auto dropKeywords = [](std::vector<uint8_t>& f) {
    f.resize(f.size() - (f[36] | f[37] << 8 | f[38] << 16));
    for (int i = 36; i < 40; ++i) f[i] = 0;
  };
  const PldmDecoded::Attr* pcr = nullptr;
  for (const auto& a : d.attributes)
    if (d.Text(a.name) == "PCR Bank Priority") pcr = &a;
  std::vector<Case> cases = {
      {"unchanged", [](auto&) {}, 0, {"\nSystem configuration not modified.\n"}, {}},
      {"wrong header word and signature",
       [](auto& f) { f[0] = 7, f[4] = 'X'; },
       0, {"\nSystem configuration not modified.\n"}, {}},
      {"string table byte", [&](auto& f) { f[d.tables[0].offset + 5] ^= 1; }, 87, {"PLDM string table " + crc}, {}},
      {"attribute table byte", [&](auto& f) { f[d.tables[1].offset + 5] ^= 1; }, 87, {"PLDM attribute table " + crc}, {}},
      {"value table byte", [&](auto& f) { f[d.tables[2].offset + 5] ^= 1; }, 87, {"PLDM attribute value table " + crc}, {}},
      {"keyword table byte", [&](auto& f) { f[d.tables[3].offset + 5] ^= 1; }, 87, {"PLDM keyword table " + crc}, {}},
      {"shorter than its header", [](auto& f) { f.resize(20); }, 87, {"fewer than the 40 of a PLDM file header"}, {}},
      {"lengths past the end", [](auto& f) { f.resize(f.size() - 1); }, 87,
       {"past the end of the file", "Pldm Import failed."}, {}},
      {"huge lengths", [](auto& f) { for (int i = 12; i < 40; i += 8) f[i + 3] = 0xFF; }, 87, {"past the end of the file"}, {}},
      {"no keyword table: by handle", [&](auto& f) {
         dropKeywords(f);
         setValue(f, *timeout, 30);
       }, 0, {"\nPldm file imported successfully.\n"}, {"Setup"}},
      {"no keyword table and another firmware's strings", [&](auto& f) {
         f[d.tables[0].offset + 5] ^= 1;
         ResealTable(f, d, 0);
         dropKeywords(f);
       }, 87, {"has no keyword table, and its string table differs from those this firmware's Setup questions give now"},
       {}},
      {"two values for one attribute", [&](auto& f) {
         const auto* interval = d.ByKeyword("SVC004");  // a date, another integer: its value takes MAIN002's handle
         ASSERT_TRUE(interval && interval->type == 3);
         f[interval->valueAt] = static_cast<uint8_t>(timeout->handle);
         f[interval->valueAt + 1] = static_cast<uint8_t>(timeout->handle >> 8);
         ResealTable(f, d, 2);
       }, 87, {"The PLDM attribute value table holds more than one value for attribute MAIN002.\n"}, {}},
      {"an ordered list that is no permutation", [&](auto& f) {
         ASSERT_TRUE(pcr && pcr->current.size() == 3);
         for (int i = 0; i < 3; ++i) f[pcr->valueAt + 5 + 2 * i] = 0, f[pcr->valueAt + 6 + 2 * i] = 0;  // SHA-1 thrice
         ResealTable(f, d, 2);
       }, 0, {"not imported: its elements are not a permutation of the question's 3 options.\n",
              "\nImport completed with some errors"}, {}},
      {"a new value", [&](auto& f) { setValue(f, *timeout, 30); }, 0, {"\nPldm file imported successfully.\n"}, {"Setup"}},
      {"above the maximum", [&](auto& f) { setValue(f, *timeout, 61); }, 0,
       {"WARNING : PLDM attribute MAIN002 not imported: 61 is above the maximum 60.\n",
        "\nImport completed with some errors, see warnings given.\n"}, {}},
      {"no such option", [&](auto& f) {
         uint16_t h = mode->options[mode->current.front()];
         size_t at = d.tables[0].offset;
         while (f[at] != (h & 0xFF) || f[at + 1] != (h >> 8)) at += 4 + (f[at + 2] | f[at + 3] << 8);
         f[at + 4] ^= 0x20;  // the current option's text changes case
         ResealTable(f, d, 0);
       }, 0, {"WARNING : PLDM attribute MAIN001 not imported: \"", "is not an option of the question.\n",
              "\nImport completed with some errors"}, {}},
      {"unknown keyword", [&](auto& f) {
         size_t at = d.tables[3].offset;
         while (f[at] != (mode->name & 0xFF) || f[at + 1] != (mode->name >> 8)) at += 4 + (f[at + 2] | f[at + 3] << 8);
         f[at + 4] = 'X';  // "MAIN001" becomes "XAIN001"
         ResealTable(f, d, 3);
       }, 0, {"WARNING : PLDM attribute XAIN001 not imported: no Setup question of this firmware has this keyword.\n"}, {}},
      {"type mismatch", [&](auto& f) {
         // The enumeration's and the integer's keywords trade places ("MAIN001" <-> "MAIN002").
         for (uint16_t h : {mode->name, timeout->name}) {
           size_t at = d.tables[3].offset;
           while (f[at] != (h & 0xFF) || f[at + 1] != (h >> 8)) at += 4 + (f[at + 2] | f[at + 3] << 8);
           f[at + 4 + 12] ^= 3;  // '1' <-> '2'
         }
         ResealTable(f, d, 3);
       }, 0, {"not imported: the file holds an integer value for a question that takes an enumeration.\n",
              "\nImport completed with some errors"}, {}},
      {"one of two questions sharing storage", [&](auto& f) {
         // Quiet Boot to Disabled; Full Screen Logo, stored in the same byte, keeps its value.
         const auto* quiet = d.ByKeyword("QBOOT01");
         ASSERT_TRUE(quiet && quiet->current.size() == 1 && d.Text(quiet->options[0]) == "Disabled");
         f[quiet->valueAt + 4] = 0;
         ResealTable(f, d, 2);
       }, 0, {"\nPldm file imported successfully.\n"}, {"BootConfig"}},
      {"moved handles", [&](auto& f) {
         // Every attribute under another handle (the firmware would assign other handles).
         for (const auto& a : d.attributes) {
           f[a.at + 1] ^= 0x40;
           f[a.valueAt + 1] ^= 0x40;
         }
         ResealTable(f, d, 1);
         setValue(f, *timeout, 45);
       }, 0, {"\nPldm file imported successfully.\n"}, {"Setup"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> file = exported;
    c.change(file);
    ProcessResult run = Import(file);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    size_t at = 0;
    for (const std::string& part : c.err) {
      at = run.err.find(part, at);
      EXPECT_NE(at, std::string::npos) << part << "\n" << run.err;
      if (at == std::string::npos) break;
    }
    EXPECT_EQ(Written(), c.writes);
    if (!c.writes.empty()) {
      // Back to the exported state for the next case.
      ProcessResult back = Import(exported);
      EXPECT_EQ(back.exitCode, 0) << back.err;
    }
  }
  // The moved-handles import took effect: the re-export shows the new value.
  PldmDecoded after = DecodePldmFile(ExportPldm());
  ASSERT_NE(after.ByKeyword("MAIN002"), nullptr);
  EXPECT_EQ(after.ByKeyword("MAIN002")->value, timeout->value);
}

TEST_F(PldmThroughEmulator, AFileWithoutEndIsRefusedAtTheCap) {
  ProcessResult run = Tool({"/i", "/p", "/dev/zero"});
  EXPECT_EQ(run.exitCode, 87);
  EXPECT_NE(run.err.find("Cannot read the PLDM file: /dev/zero is larger than 67108864 bytes"), std::string::npos)
      << run.err;
  EXPECT_EQ(Written(), std::vector<std::string>{});
}

TEST_F(PldmThroughEmulator, FailedExportLeavesTheFileAndFails) {
  WriteFileText(*dir_ / "kept.pldm", "the user's file");
  ProcessResult run = Tool({"/o", "/p", *dir_ / "no-such-dir/x.pldm"});
  EXPECT_NE(run.exitCode, 0);
  EXPECT_NE(run.err.find("Unable to create file"), std::string::npos);
  EXPECT_NE(run.err.find("\nFailed to export some or all of the PLDM tables.\n"), std::string::npos);
  EXPECT_EQ(ReadFileText(*dir_ / "kept.pldm"), "the user's file");
}

}  // namespace
}  // namespace kes::test
