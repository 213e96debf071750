// Raw mode against the firmware emulator: the listing of all variables, export and import
// through the built tool, and interoperability with Debian's efivar on the same variables.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "base/console.h"
#include "base/text.h"
#include "firmware/mailbox.h"
#include "raw/raw_mode.h"
#include "tests/firmware/emulator_fixture.h"

namespace kes::test {
namespace {

constexpr char kSsiGuidText[] = "24f4c3bc-5e58-4bcb-bd28-890a2eca96e5";
const EfiGuid kGuid = *ParseGuidText(std::string_view(kVendorGuidText));
const std::string kExported = "\nScript file exported successfully.\n";
const std::string kImported = "\nScript file imported successfully.\n";
const std::string kNotModified = "\nSystem configuration not modified.\n";
const std::string kWithErrors = "\nImport completed with some errors, see warnings given.\n";

std::vector<uint8_t> Counting(size_t n, uint8_t first = 0) {
  std::vector<uint8_t> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = static_cast<uint8_t>(first + i);
  return data;
}

std::string RawFile(uint32_t crc, const std::vector<VariableRecord>& records) {
  std::string text = "00050004\r\nHIICrc32\r\n" + NFormat("%X", crc) + "\r\n";
  for (const auto& r : records) text += FormatRawBlock(r.Name, r.Guid, r.Attributes, r.Data);
  return text;
}

std::string Listing(const std::vector<std::wstring>& names) {
  std::string text;
  for (const auto& name : names) text += FormatListingEntry(name, kGuid);
  return text;
}

class RawModeThroughTool : public ::testing::Test {
 protected:
  const std::vector<uint8_t> hii = HiiImageOfSize(3000);

  void Start(const std::string& config = "", const std::function<void(FirmwareImage&)>& more = {}) {
    image = std::make_unique<FirmwareImage>(tmp / ("image" + std::to_string(++images_)));
    image->Fidt().Hii(hii).Config(config);
    image->Var("Setup", kVendorGuidText, 7, Counting(16))
        .Var("Odd", kVendorGuidText, 7, Counting(17))
        .Var("Other", kVendorGuidText, 7, {5})
        .Var("SSI", kSsiGuidText, 7, {1});
    if (more) more(*image);
    emulator.reset();
    emulator = std::make_unique<Emulator>(image->dir());
    ASSERT_TRUE(emulator->Started());
  }
  ProcessResult Tool(std::vector<std::string> args) {
    args.push_back("/hb");
    ProcessOptions options;
    options.env = emulator->Env();
    return RunTool(args, options);
  }
  ProcessResult Export() { return Tool({"/o", "/c", "/l", tmp / "list.txt", "/n", tmp / "raw.txt", "/h", tmp / "hii.bin"}); }
  ProcessResult Import(const std::string& listing, const std::string& raw, std::vector<std::string> extra = {}) {
    WriteFileText(tmp / "in-list.txt", listing);
    WriteFileText(tmp / "in-raw.txt", raw);
    std::vector<std::string> args = {"/i", "/l", tmp / "in-list.txt", "/n", tmp / "in-raw.txt"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Tool(args);
  }
  std::optional<std::vector<uint8_t>> Var(const std::string& name) {
    return ReadFileBytes(emulator->VarPath(name, kVendorGuidText));
  }
  // The variables the firmware was asked to set, the mailbox aside.
  std::vector<std::string> Writes() {
    std::vector<std::string> names;
    for (const auto& line : emulator->RequestLog())
      if (line.rfind("set ", 0) == 0 && line.find("set KMBX-") == std::string::npos)
        names.push_back(line.substr(4, line.find('-') - 4));
    return names;
  }

  TempDir tmp;
  std::unique_ptr<FirmwareImage> image;
  std::unique_ptr<Emulator> emulator;
  int images_ = 0;
};

TEST_F(RawModeThroughTool, ExportThenImportOfTheSameFile) {
  Start();
  ProcessResult exported = Export();
  ASSERT_EQ(exported.exitCode, 0) << exported.err;
  EXPECT_EQ(exported.err, kExported);
  // Enumeration order (file names), SSI and the mailbox variable left out.
  EXPECT_EQ(ReadFileText(tmp / "list.txt"), Listing({L"Odd", L"Other", L"Setup"}));
  EXPECT_EQ(ReadFileText(tmp / "raw.txt"),
            RawFile(CalculateCrc32(hii), {{L"Odd", 7, kGuid, true, Counting(17)},
                                          {L"Other", 7, kGuid, true, {5}},
                                          {L"Setup", 7, kGuid, true, Counting(16)}}));
  EXPECT_EQ(ReadFileBytes(tmp / "hii.bin"), hii);

  ProcessResult imported = Import(ReadFileText(tmp / "list.txt"), ReadFileText(tmp / "raw.txt"));
  EXPECT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_EQ(imported.err, kNotModified);
  EXPECT_TRUE(Writes().empty());
}

TEST_F(RawModeThroughTool, ImportWritesListedChangedVariablesOnly) {
  const uint32_t crc = CalculateCrc32(hii);
  // Setup and Other changed, Odd as the firmware holds it; Other is not always listed.
  const std::vector<VariableRecord> records = {{L"Setup", 7, kGuid, true, Counting(16, 0x40)},
                                               {L"Odd", 7, kGuid, true, Counting(17)},
                                               {L"Other", 7, kGuid, true, {6, 6}}};
  struct Case {
    const char* what;
    std::string config;
    std::vector<std::wstring> listed;
    uint32_t crc;
    std::vector<std::string> extra;
    int exitCode;
    std::vector<std::string> messages;
    std::vector<std::string> writes;  // the variables the firmware was asked to set
  };
  const Case cases[] = {
      {"listed and changed", "", {L"Setup", L"Odd"}, crc, {}, 0, {kImported}, {"Setup"}},
      {"foreign CRC", "", {L"Setup", L"Odd"}, crc ^ 1, {}, 23,
       {NFormat("\nFILE CRC : %x\nBIOS CRC : %x\n", crc ^ 1, crc),
        "ERROR:17 -  Script File does not match the target BIOS\nERROR:17 -  Importing NVRAM Variables\n"},
       {}},
      {"foreign CRC forced", "", {L"Setup", L"Odd"}, crc ^ 1, {"/f"}, 0, {kImported}, {"Setup"}},
      {"every write refused", "failing_variables = Setup Other\n", {L"Setup", L"Other"}, crc, {}, 0,
       {"WARNING Variable Setup not writeable\nWARNING Variable Other not writeable\n" + kWithErrors},
       {"Setup", "Other"}},
      {"every write refused, quiet", "failing_variables = Setup Other\n", {L"Setup", L"Other"}, crc, {"/q"}, 0,
       {"\nImport completed with some errors.\n"}, {"Setup", "Other"}},
      {"protected variable", "admin_password = pw\nprotected_variables = Setup\n", {L"Setup", L"Other"}, crc, {}, 0,
       {"WARNING : Cannot update protected variable Setup. Please use /cpwd <admin_pwd> to update protected "
        "variables.\n",
        kWithErrors},
       {"Setup", "Other"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start(c.config);
    ProcessResult r = Import(Listing(c.listed), RawFile(c.crc, records), c.extra);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    for (const auto& m : c.messages) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    EXPECT_EQ(Writes(), c.writes);
    bool setupWritten = c.exitCode == 0 && c.config.empty();
    EXPECT_EQ(Var("Setup"), VarFileBytes(7, setupWritten ? Counting(16, 0x40) : Counting(16)));
    if (c.config.empty()) {
      EXPECT_EQ(Var("Other"), VarFileBytes(7, {5}));
    }
  }
}

// Records that would not restore what the listing asks for are never written: an empty block
// (writing nothing deletes a variable), a variable listed under another GUID, the mailbox.
TEST_F(RawModeThroughTool, RecordsNeverWritten) {
  const EfiGuid otherGuid = guids::kGlobalVariable;
  const EfiGuid mailboxGuid = *ParseGuidText(std::string_view(kMailboxGuidText));
  struct Case {
    const char* what;
    std::string listing;
    VariableRecord record;
    std::string err;
  };
  const Case cases[] = {
      {"empty block", Listing({L"Other"}), {L"Other", 7, kGuid, true, {}},
       "WARNING Variable Other not writeable\n" + kWithErrors},
      {"listed under another GUID", FormatListingEntry(L"Other", otherGuid), {L"Other", 7, kGuid, true, {9}},
       kNotModified},
      {"mailbox variable", FormatListingEntry(L"KMBX", mailboxGuid), {L"KMBX", 7, mailboxGuid, true, {9}},
       kNotModified},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start();
    ProcessResult r = Import(c.listing, RawFile(CalculateCrc32(hii), {c.record}));
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(Writes().empty());
    EXPECT_EQ(Var("Other"), VarFileBytes(7, {5}));
    for (const auto& line : emulator->RequestLog())  // the mailbox only ever carries frames
      EXPECT_FALSE(line.rfind("set KMBX-", 0) == 0 && line.find(" size=1 ") != std::string::npos) << line;
  }
}

// What the file records replaces the variable, whatever the file says around it: a copy cut
// inside a block is refused before anything is written, and the append-write attribute never
// reaches the firmware, so importing a file twice leaves the same bytes.
TEST_F(RawModeThroughTool, ImportWritesExactlyTheRecordedContents) {
  const uint32_t crc = CalculateCrc32(hii);
  const std::string changed = RawFile(crc, {{L"Other", 7, kGuid, true, {6, 6}},
                                            {L"Setup", 7, kGuid, true, Counting(17, 0x40)}});
  struct Case {
    const char* what;
    std::string raw;
    int imports;
    int exitCode;
    std::string err;
    std::vector<std::string> writes;
    std::vector<uint8_t> setup;
  };
  const Case cases[] = {
      {"cut inside the last data line", changed.substr(0, changed.size() - 3), 1, 13,
       "ERROR:D -  Variable Data of Setup is cut short at line 22 of the NVRAM raw file.\n", {}, Counting(16)},
      {"cut after a full data line", changed.substr(0, changed.size() - 5), 1, 13,
       "ERROR:D -  Variable Data of Setup is cut short at line 21 of the NVRAM raw file.\n", {}, Counting(16)},
      {"append-write attribute, twice", RawFile(crc, {{L"Setup", 0x47, kGuid, true, Counting(4, 0x40)}}), 2, 0,
       kImported + kNotModified, {"Setup"}, Counting(4, 0x40)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Start();
    std::string err;
    ProcessResult r;
    for (int i = 0; i < c.imports; ++i) {
      r = Import(Listing({L"Setup", L"Other"}), c.raw);
      err += r.err;
    }
    EXPECT_EQ(r.exitCode, c.exitCode) << err;
    EXPECT_NE(err.find(c.err), std::string::npos) << err;
    EXPECT_EQ(Writes(), c.writes);
    EXPECT_EQ(Var("Setup"), VarFileBytes(7, c.setup));
    if (c.writes.empty()) {
      EXPECT_EQ(Var("Other"), VarFileBytes(7, {5}));
    }
  }
}

TEST_F(RawModeThroughTool, Attributes27RoundTrip) {
  Start("strict_attributes = no\n", [](FirmwareImage& i) { i.Var("Auth", kVendorGuidText, 0x27, {1, 2}); });
  ProcessResult exported = Export();
  ASSERT_EQ(exported.exitCode, 0) << exported.err;
  std::string raw = ReadFileText(tmp / "raw.txt");
  const std::string block = "Attributes\r\n00000027\r\nVariable Name\r\nAuth\r\nVariable Data\r\n01 02 \r\n";
  size_t at = raw.find(block);
  ASSERT_NE(at, std::string::npos) << raw;
  raw.replace(at + block.size() - 8, 5, "03 04");
  ProcessResult imported = Import(Listing({L"Auth"}), raw);
  EXPECT_EQ(imported.exitCode, 0) << imported.err;
  EXPECT_EQ(Var("Auth"), VarFileBytes(0x27, {3, 4}));
}

// The bytes of efivar's hexdump ("00000000  00 01 ... |...|").
std::vector<uint8_t> EfivarBytes(const std::string& out) {
  std::vector<uint8_t> bytes;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() < 10 || line.substr(8, 2) != "  " || line.find_first_not_of("0123456789abcdef") != 8) continue;
    std::istringstream words(line.substr(10, line.find('|') - 10));
    std::string word;
    while (words >> word) bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
  }
  return bytes;
}

TEST_F(RawModeThroughTool, InteroperatesWithEfivar) {
  Start();
  auto efivar = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "efivar");
    ProcessOptions options;
    options.env = {{"EFIVARFS_PATH", emulator->efivars() + "/"}};
    return RunProcess(args, options);
  };
  const std::string name = std::string(kVendorGuidText) + "-EfivarWrote";
  const std::vector<uint8_t> original = Counting(33, 0xE0);
  WriteFileBytes(tmp / "original.bin", original);
  ProcessResult w = efivar({"-w", "-t", "7", "-n", name, "-f", tmp / "original.bin"});
  ASSERT_EQ(w.exitCode, 0) << "efivar (Debian package efivar) must be installed: " << w.err;

  ASSERT_EQ(Export().exitCode, 0);
  EXPECT_NE(ReadFileText(tmp / "raw.txt").find(FormatRawBlock(L"EfivarWrote", kGuid, 7, original)), std::string::npos);

  WriteFileBytes(tmp / "changed.bin", {1, 2, 3});
  ASSERT_EQ(efivar({"-w", "-t", "7", "-n", name, "-f", tmp / "changed.bin"}).exitCode, 0);
  const size_t before = Writes().size();
  ProcessResult imported = Import(ReadFileText(tmp / "list.txt"), ReadFileText(tmp / "raw.txt"));
  EXPECT_EQ(imported.err, kImported);
  std::vector<std::string> writes = Writes();
  ASSERT_EQ(writes.size(), before + 1);
  EXPECT_EQ(writes.back(), "EfivarWrote");
  EXPECT_EQ(Var("EfivarWrote"), VarFileBytes(7, original));
  ProcessResult read = efivar({"-p", "-n", name});
  ASSERT_EQ(read.exitCode, 0) << read.err;
  EXPECT_EQ(EfivarBytes(read.out), original) << read.out;
}

// The listing of all variables is the firmware's enumeration without the mailbox variable and
// SSI, taken in one mailbox session with one request per name.
TEST(RawListingThroughEmulator, ListingIsTheEnumeration) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Var("Setup", kVendorGuidText, 7, {1})
      .Var("Setup", "8be4df61-93ca-11d2-aa0d-00e098032b8c", 7, {2})
      .Var("SSI", kSsiGuidText, 7, {3})
      .Var("SSI", kVendorGuidText, 7, {4})
      .Var(std::string(99, 'L'), kVendorGuidText, 7, {5});
  InProcessMount mount(image.dir());
  ASSERT_TRUE(mount.emulator.Started());

  std::unique_ptr<std::FILE, FileCloser> file(std::tmpfile());
  ASSERT_EQ(CreateVariableListing(mount.fw, file.get()), status::kEndOfEnumeration);
  std::string text;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;) text.append(buffer, n);
  std::vector<VariableRecord> entries;
  ASSERT_EQ(ParseVariableListing(text, entries), status::kSuccess);
  std::set<std::string> listed;
  for (const auto& e : entries) listed.insert(ToNarrow(e.Name) + "-" + FormatGuidText(e.Guid));

  const size_t requests = mount.Requests("enumerate").size();
  size_t flagChanges = 0;
  for (const auto& line : mount.emulator.RequestLog()) flagChanges += line.rfind("flags KMBX-", 0) == 0;
  EXPECT_EQ(flagChanges, 2u) << "the mailbox variable's flag cleared and restored once for the walk";
  std::set<std::string> enumerated;
  size_t length = 0;
  std::wstring name;
  EfiGuid guid{};
  while (GetNextNVRAMVariableName(mount.fw, length, name, guid) == status::kSuccess)
    enumerated.insert(ToNarrow(name) + "-" + FormatGuidText(guid));
  EXPECT_EQ(requests, enumerated.size() + 1) << "one request per name and one for the end";
  enumerated.erase(std::string("KMBX-") + kMailboxGuidText);
  enumerated.erase(std::string("SSI-") + kSsiGuidText);
  EXPECT_EQ(listed, enumerated);
  EXPECT_EQ(listed.size(), 4u);
}

}  // namespace
}  // namespace kes::test
