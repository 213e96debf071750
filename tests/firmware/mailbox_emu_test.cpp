// The mailbox client and the variable store against the firmware emulator, in process.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <set>

#include "base/console.h"
#include "base/text.h"
#include "firmware/hii_retrieval.h"
#include "firmware/mailbox.h"
#include "firmware/variable_store.h"
#include "tests/firmware/emulator_fixture.h"
#include "tests/firmware/zlib_crc.h"

namespace kes {
namespace {

using test::FirmwareImage;
using test::HiiImageOfSize;
using test::InProcessMount;
using test::kVendorGuidText;
using test::TempDir;
using test::ZlibCrc;

const EfiGuid kVendor = *ParseGuidText(std::string_view(kVendorGuidText));

// The number of bytes each HII read request asked for ("size=N" of the request log).
std::vector<uint64_t> RequestedSizes(const std::vector<std::string>& requests) {
  std::vector<uint64_t> sizes;
  for (const auto& line : requests) {
    size_t at = line.find("size=");
    sizes.push_back(at == std::string::npos ? UINT64_MAX : std::stoull(line.substr(at + 5)));
  }
  return sizes;
}

TEST(HiiReadThroughEmulator, SizesAndRequestCounts) {
  struct Case {
    size_t size;
    size_t requests;  // the size query included
  };
  const Case cases[] = {{0, 2}, {876, 2}, {877, 3}, {300000, 1 + (300000 + 875) / 876}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    TempDir tmp;
    FirmwareImage image(tmp / "image");
    std::vector<uint8_t> hii = HiiImageOfSize(c.size, static_cast<unsigned>(c.size));
    image.Hii(hii).Fidt();
    InProcessMount mount(image.dir());
    ASSERT_TRUE(mount.emulator.Started());

    std::vector<uint8_t> database{1, 2, 3};
    uint32_t crc = 0;
    ConsoleCapture capture;
    ASSERT_EQ(GetHiiDatabase(mount.fw, database, crc), status::kSuccess);
    EXPECT_TRUE(database == hii) << "the database differs from the image";
    EXPECT_EQ(crc, ZlibCrc(hii));
    EXPECT_EQ(mount.fw.hiiDatabaseSize, c.size);
    EXPECT_EQ(capture.out(), "");

    auto requests = mount.Requests("hii-read");
    ASSERT_EQ(requests.size(), c.requests);
    auto sizes = RequestedSizes(requests);
    EXPECT_EQ(sizes.front(), 0u) << "the first request is the size query";
    uint64_t total = 0;
    for (size_t i = 1; i < sizes.size(); ++i) {
      EXPECT_LE(sizes[i], 876u);
      total += sizes[i];
    }
    EXPECT_EQ(total, c.size);
  }
}

TEST(MailboxThroughEmulator, Version8FallsBackTo4ForTheRestOfTheRun) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  std::vector<uint8_t> hii = HiiImageOfSize(2000);
  image.Hii(hii).Config("reject_version_8 = yes\n");
  InProcessMount mount(image.dir());
  ASSERT_TRUE(mount.emulator.Started());

  ConsoleCapture capture;
  std::vector<uint8_t> database;
  uint32_t crc = 0;
  ASSERT_EQ(GetHiiDatabase(mount.fw, database, crc), status::kSuccess);
  EXPECT_EQ(database, hii);
  EXPECT_EQ(mount.fw.protocolVersion, 4u);
  size_t length = 0;
  std::wstring name;
  EfiGuid guid{};
  EXPECT_EQ(GetNextNVRAMVariableName(mount.fw, length, name, guid), status::kSuccess);
  EXPECT_EQ(capture.out(), "Vorn Header ReturnValue 8003\n") << "only the first request is refused";

  auto requests = mount.Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_NE(requests[0].find("version=8"), std::string::npos) << requests[0];
  for (size_t i = 1; i < requests.size(); ++i) EXPECT_NE(requests[i].find("version=4"), std::string::npos) << requests[i];
}

TEST(MailboxThroughEmulator, FirmwareErrorsAreMapped) {
  struct Case {
    std::string config;
    Status hiiStatus;
    Status enumerationStatus;
    std::string printed;
  };
  const Case cases[] = {
      {"mailbox_return_value = 0x8010\n", 0x90, status::kTransportFailure,
       "Vorn Header ReturnValue 8010\nVorn Header ReturnValue 8010\n"},
      {"mailbox_return_value = 0x8010\nmailbox_error_service = enumerate\n", 0, status::kTransportFailure,
       "Vorn Header ReturnValue 8010\n"},
      // The chunk covering offset 1000 fails with EFI_DEVICE_ERROR (7).
      {"hii_fail_offset = 1000\n", 0x87, 0, ""},
      // EFI_BAD_BUFFER_SIZE (4) carries no data in the middle of the database; it is taken only
      // on the last chunk (the one holding offset 2999 of 3000).
      {"hii_fail_offset = 1000\nhii_fail_status = 4\n", 0x84, 0, ""},
      {"hii_fail_offset = 2999\nhii_fail_status = 4\n", 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    TempDir tmp;
    FirmwareImage image(tmp / "image");
    image.Hii(HiiImageOfSize(3000)).Config(c.config);
    InProcessMount mount(image.dir());
    ASSERT_TRUE(mount.emulator.Started());

    ConsoleCapture capture;
    std::vector<uint8_t> database{9};
    uint32_t crc = 0;
    EXPECT_EQ(GetHiiDatabase(mount.fw, database, crc), c.hiiStatus);
    if (c.hiiStatus != 0) {
      EXPECT_EQ(database, std::vector<uint8_t>{9}) << "a failed read leaves the output alone";
    }
    size_t length = 0;
    std::wstring name;
    EfiGuid guid{};
    EXPECT_EQ(GetNextNVRAMVariableName(mount.fw, length, name, guid), c.enumerationStatus);
    EXPECT_EQ(capture.out(), c.printed);
  }
}

// The mailbox variable's immutable flag is cleared once for a whole HII read and put back once
// after its last request: also when the first request creates the variable, and when the read
// stops half way.
TEST(MailboxThroughEmulator, ImmutableFlagClearedOnceForTheWholeRead) {
  struct Case {
    const char* what;
    bool mailboxExists;
    std::string config;
    Status status;
  };
  const Case cases[] = {
      {"existing mailbox variable", true, "", status::kSuccess},
      {"created by the first request", false, "", status::kSuccess},
      {"failing chunk", true, "hii_fail_offset = 1000\n", 0x87},
      {"refused write", true, "failing_variables = KMBX\n", 0x81},
  };
  const std::string file = std::string("KMBX-") + test::kMailboxGuidText;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir tmp;
    FirmwareImage image(tmp / "image");
    image.Hii(HiiImageOfSize(3000)).Config(c.config);
    if (c.mailboxExists) image.Var("KMBX", test::kMailboxGuidText, 7, {0});
    InProcessMount mount(image.dir());
    ASSERT_TRUE(mount.emulator.Started());

    std::vector<uint8_t> database;
    uint32_t crc = 0;
    EXPECT_EQ(GetHiiDatabase(mount.fw, database, crc), c.status);
    auto log = mount.emulator.RequestLog();
    std::vector<std::string> flags;
    for (const auto& line : log)
      if (line.rfind("flags ", 0) == 0) flags.push_back(line);
    EXPECT_EQ(flags, (std::vector<std::string>{"flags " + file + " 0x0", "flags " + file + " 0x10"}));
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "flags " + file + " 0x10") << "restored after the last request";
  }
}

TEST(MailboxThroughEmulator, EnumerationVisitsEveryVariable) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Var("Setup", kVendorGuidText, 7, {1, 2, 3})
      .Var("Setup", "8be4df61-93ca-11d2-aa0d-00e098032b8c", 7, {4})
      .Var("BootOrder", "8be4df61-93ca-11d2-aa0d-00e098032b8c", 7, {0, 0})
      .Var(std::string(99, 'L'), kVendorGuidText, 7, {5});
  InProcessMount mount(image.dir());
  ASSERT_TRUE(mount.emulator.Started());

  std::set<std::string> enumerated;
  size_t length = 0;
  std::wstring name;
  EfiGuid guid{};
  Status s = status::kSuccess;
  for (int step = 0; step < 100; ++step) {
    s = GetNextNVRAMVariableName(mount.fw, length, name, guid);
    if (s != status::kSuccess) break;
    EXPECT_EQ(length, name.size());
    enumerated.insert(ToNarrow(name) + "-" + FormatGuidText(guid));
  }
  EXPECT_EQ(s, 142u) << "the walk ends with the mapped end status";
  // The listing after the walk holds the mailbox variable its first request created.
  std::set<std::string> listed;
  for (const auto& entry : std::filesystem::directory_iterator(mount.emulator.efivars()))
    listed.insert(entry.path().filename().string());
  EXPECT_EQ(enumerated, listed);
  EXPECT_TRUE(enumerated.count(std::string("KMBX-") + test::kMailboxGuidText));
}

TEST(VariableStoreThroughEmulator, RefusalsKeepTheSystemError) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Var("Prot", kVendorGuidText, 7, {1})
      .Var("Fail", kVendorGuidText, 7, {1})
      .Var("RO", kVendorGuidText, 7, {1})
      .Config("admin_password = secret\nprotected_variables = Prot\nfailing_variables = Fail\nwrite_protected_variables = RO\n");
  InProcessMount mount(image.dir());
  ASSERT_TRUE(mount.emulator.Started());

  const std::pair<const wchar_t*, int> cases[] = {{L"Prot", EACCES}, {L"Fail", EIO}, {L"RO", EROFS}};
  std::vector<uint8_t> two{2};
  for (auto [name, error] : cases) {
    EXPECT_EQ(SetNVRAMVariable(mount.fw, name, kVendor, 7, two), status::kFailure) << ToNarrow(name);
    EXPECT_EQ(mount.fw.lastWriteError, error) << ToNarrow(name);
    EXPECT_EQ(GetNVRAMVariable(mount.fw, name, kVendor), std::vector<uint8_t>{1}) << "the variable is unchanged";
  }
}

TEST(VariableStoreThroughEmulator, ImmutableFilesAreWrittenAndStayImmutable) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Var("Old", kVendorGuidText, 7, {1});
  InProcessMount mount(image.dir());
  ASSERT_TRUE(mount.emulator.Started());

  std::vector<uint8_t> data{7, 8, 9};
  ASSERT_EQ(SetNVRAMVariable(mount.fw, L"Old", kVendor, 7, data), status::kSuccess);
  EXPECT_EQ(test::ReadFileBytes(mount.emulator.VarPath("Old", kVendorGuidText)), test::VarFileBytes(7, data));
  ASSERT_EQ(SetNVRAMVariable(mount.fw, L"New", kVendor, 7, data), status::kSuccess);
  ASSERT_EQ(SetNVRAMVariable(mount.fw, L"New", kVendor, 7, std::vector<uint8_t>{1}), status::kSuccess)
      << "a new variable carries the immutable flag, which the next write must clear";
  EXPECT_EQ(GetNVRAMVariable(mount.fw, L"New", kVendor), std::vector<uint8_t>{1});

  // A refused attribute word leaves an empty file behind: no variable, and writable afterwards.
  EXPECT_EQ(WriteEfiVariable(mount.fw, "Bad", kVendor, 0x80000007, data), status::kFailure);
  EXPECT_EQ(mount.fw.lastWriteError, EINVAL);
  EXPECT_FALSE(GetNVRAMVariable(mount.fw, L"Bad", kVendor));
  ASSERT_EQ(SetNVRAMVariable(mount.fw, L"Bad", kVendor, 7, data), status::kSuccess);
  EXPECT_EQ(GetNVRAMVariable(mount.fw, L"Bad", kVendor), data);

  for (const wchar_t* name : {L"Old", L"New", L"Bad"}) {
    EXPECT_EQ(SetNVRAMVariable(mount.fw, name, kVendor, 7, {}), status::kSuccess) << ToNarrow(name);
    EXPECT_FALSE(std::filesystem::exists(mount.emulator.VarPath(ToNarrow(name), kVendorGuidText)));
  }
}

}  // namespace
}  // namespace kes

namespace kes {
namespace {

// The driver's HII step: the dump file and the CRC lines of each export mode.
TEST(RetrieveHiiDatabaseThroughEmulator, DumpAndCrcLines) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  std::vector<uint8_t> hii = test::HiiImageOfSize(1500, 9);
  image.Hii(hii);
  InProcessMount mount(image.dir());
  ASSERT_TRUE(mount.emulator.Started());
  const std::string crc = NFormat("%X", ZlibCrc(hii));

  struct Case {
    const char* name;
    bool rawMode;
    Switch mode;  // Switch::Count: plain script export
    bool exporting;
    std::string expected;
  };
  const Case cases[] = {
      {"raw export", true, Switch::Count, true, "00050004\r\nHIICrc32\r\n" + crc + "\r\n"},
      {"script export", false, Switch::Count, true, "\r\nHIICrc32= " + crc + "\r\n"},
      {"PLDM export", false, Switch::P, true, ""},
      {"single question export", false, Switch::Ms, true, ""},
      {"import", false, Switch::Count, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunState run;
    ToolOptions& options = run.options;
    options.Export = c.exporting;
    options.Import = !c.exporting;
    options.RawMode = c.rawMode;
    if (c.mode != Switch::Count) run.switches.Set(c.mode);
    options.ScriptFile.reset(std::fopen((tmp / "script").c_str(), "w+b"));
    options.HiiFile.reset(std::fopen((tmp / "dump").c_str(), "w+b"));
    if (c.exporting && !c.rawMode && c.mode == Switch::Count) {
      run.switches.Set(Switch::Sd);
      options.DuplicateFile.reset(std::fopen((tmp / "duplicate").c_str(), "w+b"));
    }
    ASSERT_EQ(RetrieveHiiDatabase(run, mount.fw), status::kSuccess);
    EXPECT_EQ(options.HiiCrc32, ZlibCrc(hii));
    EXPECT_EQ(options.HiiDatabase, hii);
    options.ScriptFile.reset();
    options.HiiFile.reset();
    EXPECT_EQ(test::ReadFileText(tmp / "script"), c.expected);
    EXPECT_EQ(test::ReadFileBytes(tmp / "dump"), hii);
    if (options.DuplicateFile) {
      options.DuplicateFile.reset();
      EXPECT_EQ(test::ReadFileText(tmp / "duplicate"), c.expected);
    }
  }
}

TEST(RetrieveHiiDatabaseThroughEmulator, UnwritableDumpIsAnError) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Hii(test::HiiImageOfSize(100));
  InProcessMount mount(image.dir());
  ASSERT_TRUE(mount.emulator.Started());
  test::WriteFileBytes(tmp / "dump", {});
  RunState run;
  ToolOptions& options = run.options;
  options.HiiFile.reset(std::fopen((tmp / "dump").c_str(), "rb"));  // cannot take the bytes
  options.HiiFileName = L"dump";
  ConsoleCapture capture;
  EXPECT_EQ(RetrieveHiiDatabase(run, mount.fw), status::kFailure);
  EXPECT_EQ(capture.err(), "ERROR:1 -  Writing HII dump file dump\n");
}

}  // namespace
}  // namespace kes
