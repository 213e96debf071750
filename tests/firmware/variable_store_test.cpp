#include "firmware/variable_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/console.h"
#include "base/debug_log.h"
#include "base/run_state.h"
#include "base/text.h"
#include "tests/support/firmware_root.h"

namespace kes {
namespace {

using test::Attr;
using test::kTestGuid;
using test::PlainFirmwareRoot;
using test::ReadFileBytes;
using test::WriteFileBytes;
using test::WriteFileText;

TEST(VariableStoreRead, FileSizesAroundTheAttributeWord) {
  struct Case {
    std::vector<uint8_t> content;
    bool present;
    uint32_t attributes;
    std::vector<uint8_t> data;
  };
  const Case cases[] = {
      {{}, false, 0, {}},
      {{7, 0, 0}, false, 0, {}},  // shorter than the attribute word: no variable
      {{7, 0, 0, 0}, true, 7, {}},
      {{6, 0, 0, 0x80, 0xAA, 0xBB}, true, 0x80000006, {0xAA, 0xBB}},
  };
  for (const Case& c : cases) {
    PlainFirmwareRoot fw;
    WriteFileBytes(fw.VarPath("Var", kTestGuid), c.content);
    uint32_t attributes = 0xFFFF;
    std::vector<uint8_t> data{1, 2, 3};
    Status s = ReadEfiVariable(fw, "Var", kTestGuid, attributes, data);
    SCOPED_TRACE(c.content.size());
    EXPECT_EQ(s, c.present ? status::kSuccess : status::kFailure);
    if (c.present) {
      EXPECT_EQ(attributes, c.attributes);
      EXPECT_EQ(data, c.data);
    }
    auto got = GetNVRAMVariable(fw, L"Var", kTestGuid);
    EXPECT_EQ(got.has_value(), c.present);
  }
}

TEST(VariableStoreRead, MissingVariableAndMissingStore) {
  {
    PlainFirmwareRoot fw;
    EXPECT_FALSE(GetNVRAMVariable(fw, L"Absent", kTestGuid));
  }
  PlainFirmwareRoot noEfivars(false);
  EXPECT_FALSE(GetNVRAMVariable(noEfivars, L"Absent", kTestGuid));
  EXPECT_EQ(SetNVRAMVariable(noEfivars, L"Absent", kTestGuid, 7, std::vector<uint8_t>{1}), status::kFailure);
  EXPECT_NE(noEfivars.access().lastWriteError, 0);
}

// A variable above the read cap stays unreadable, and says so once per variable and run, on the
// error stream and in the debug log, however often it is asked for.
TEST(VariableStoreRead, VariableAboveTheCapIsReportedOnce) {
  PlainFirmwareRoot fw;
  LogSettings log;
  log.ToScreen = true;
  fw.access().log = &log;
  for (const char* name : {"Huge", "Other"}) {
    std::string path = fw.VarPath(name, kTestGuid);
    WriteFileBytes(path, {7, 0, 0, 0});
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(kMaxVariableFileBytes + 1)), 0);
  }
  fw.PutVar("Small", kTestGuid, 7, {1});
  ConsoleCapture capture;
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(GetNVRAMVariable(fw, L"Huge", kTestGuid));
    EXPECT_TRUE(GetNVRAMVariable(fw, L"Small", kTestGuid));
  }
  EXPECT_FALSE(GetNVRAMVariable(fw, L"Other", kTestGuid));
  const std::string huge = "Huge-" + FormatGuidText(kTestGuid), other = "Other-" + FormatGuidText(kTestGuid);
  EXPECT_EQ(capture.err(),
            "ERROR: Variable " + huge + " holds more than 16777212 bytes, the most the tool reads; it is taken as unreadable.\n"
            "ERROR: Variable " + other + " holds more than 16777212 bytes, the most the tool reads; it is taken as unreadable.\n");
  EXPECT_EQ(capture.out(), "[main.cpp(9094)] Variable " + huge + " holds more than 16777212 bytes: not read\n"
                           "[main.cpp(9094)] Variable " + other + " holds more than 16777212 bytes: not read\n");
}

TEST(VariableStoreWrite, CreateReplaceAndDelete) {
  PlainFirmwareRoot fw;
  std::vector<uint8_t> longData{1, 2, 3, 4, 5, 6};
  ASSERT_EQ(SetNVRAMVariable(fw, L"Var", kTestGuid, 7, longData), status::kSuccess);
  EXPECT_EQ(fw.VarFile("Var", kTestGuid), Attr(7, longData));
  EXPECT_EQ(fw.access().lastWriteError, 0);

  // A shorter replacement leaves no stale bytes behind.
  ASSERT_EQ(SetNVRAMVariable(fw, L"Var", kTestGuid, 3, std::vector<uint8_t>{9}), status::kSuccess);
  EXPECT_EQ(fw.VarFile("Var", kTestGuid), Attr(3, {9}));
  uint32_t attributes = 0;
  auto data = GetNVRAMVariable(fw, L"Var", kTestGuid, &attributes);
  ASSERT_TRUE(data);
  EXPECT_EQ(*data, std::vector<uint8_t>{9});
  EXPECT_EQ(attributes, 3u);

  // Size 0 deletes.
  ASSERT_EQ(SetNVRAMVariable(fw, L"Var", kTestGuid, 7, {}), status::kSuccess);
  EXPECT_FALSE(std::filesystem::exists(fw.VarPath("Var", kTestGuid)));
  EXPECT_FALSE(GetNVRAMVariable(fw, L"Var", kTestGuid));

  // Deleting a variable that does not exist fails and creates nothing.
  EXPECT_EQ(SetNVRAMVariable(fw, L"Var", kTestGuid, 7, {}), status::kFailure);
  EXPECT_EQ(fw.access().lastWriteError, ENOENT);
  EXPECT_FALSE(std::filesystem::exists(fw.VarPath("Var", kTestGuid)));
}

TEST(VariableStoreWrite, ArgumentChecks) {
  PlainFirmwareRoot fw;
  std::vector<uint8_t> one{1};
  EXPECT_EQ(SetNVRAMVariable(fw, L"", kTestGuid, 7, one), kSetVariableBadArguments);
  EXPECT_EQ(SetNVRAMVariable(fw, L"Var", kTestGuid, 0, one), kSetVariableBadArguments);
  EXPECT_FALSE(std::filesystem::exists(fw.VarPath("Var", kTestGuid)));
}

TEST(VariableStoreWrite, NamesAreRefusedNotCut) {
  PlainFirmwareRoot fw;
  std::vector<uint8_t> one{1};
  std::string name99(99, 'n');
  ASSERT_EQ(SetNVRAMVariable(fw, ToWide(name99), kTestGuid, 7, one), status::kSuccess);
  EXPECT_TRUE(fw.VarFile(name99, kTestGuid));

  struct Case {
    std::wstring name;
    int error;
    const char* message;
  };
  const Case cases[] = {
      {std::wstring(100, L'n'), ENAMETOOLONG, "is longer than 99 bytes"},
      {std::wstring(50, L'\u00e9'), ENAMETOOLONG, "is longer than 99 bytes"},  // 100 bytes in UTF-8
      {L"../escape", EINVAL, "must not contain '/'"},
  };
  for (const Case& c : cases) {
    ConsoleCapture capture;
    EXPECT_EQ(SetNVRAMVariable(fw, c.name, kTestGuid, 7, one), status::kFailure);
    EXPECT_EQ(fw.access().lastWriteError, c.error);
    EXPECT_NE(capture.err().find(c.message), std::string::npos) << capture.err();
    EXPECT_FALSE(GetNVRAMVariable(fw, c.name, kTestGuid));
  }
  // Nothing but the 99-byte variable was created, in efivars or above it.
  size_t files = 0;
  for (auto& e : std::filesystem::recursive_directory_iterator(fw.root()))
    if (e.is_regular_file()) ++files;
  EXPECT_EQ(files, 1u);
}

TEST(VariableStoreWrite, FailedWriteKeepsTheSystemError) {
  PlainFirmwareRoot fw;
  // A directory where the variable file should be: every open for writing fails with EISDIR.
  test::MakeDirs(fw.VarPath("Blocked", kTestGuid));
  EXPECT_EQ(SetNVRAMVariable(fw, L"Blocked", kTestGuid, 7, std::vector<uint8_t>{1}), status::kFailure);
  EXPECT_EQ(fw.access().lastWriteError, EISDIR);
  EXPECT_EQ(SetNVRAMVariable(fw, L"Other", kTestGuid, 7, std::vector<uint8_t>{1}), status::kSuccess);
  EXPECT_EQ(fw.access().lastWriteError, 0);
}

// The mailbox's exchange reads the whole answer, however much longer than the last write it is.
TEST(VariableExchange, ReadsAnswersLongerAndShorterThanTheRequest) {
  PlainFirmwareRoot fw;
  VariableExchange exchange(fw, "Box", kTestGuid);
  ASSERT_EQ(exchange.Write(7, std::vector<uint8_t>{1, 2}), status::kSuccess);
  EXPECT_EQ(fw.VarFile("Box", kTestGuid), Attr(7, {1, 2}));
  std::vector<uint8_t> longAnswer(100000);
  for (size_t i = 0; i < longAnswer.size(); ++i) longAnswer[i] = static_cast<uint8_t>(i * 13 + i / 256);
  const std::vector<uint8_t> answers[] = {longAnswer, {9}, {}};
  for (const auto& answer : answers) {
    fw.PutVar("Box", kTestGuid, 3, answer);
    uint32_t attributes = 0;
    std::vector<uint8_t> data{0xEE};
    ASSERT_EQ(exchange.Read(attributes, data), status::kSuccess) << answer.size();
    EXPECT_EQ(attributes, 3u);
    EXPECT_TRUE(data == answer) << answer.size();
  }
}

// The sysfs interface next to efivarfs.
TEST(EfivarfsVariables, TwoFirmwareAccessesInOneProcessStayApart) {
  PlainFirmwareRoot a, b;
  ASSERT_EQ(SetNVRAMVariable(a, L"Var", kTestGuid, 7, std::vector<uint8_t>{1}), status::kSuccess);
  EXPECT_FALSE(GetNVRAMVariable(b, L"Var", kTestGuid));
  EXPECT_EQ(SetNVRAMVariable(b, L"Var", kTestGuid, 0, std::vector<uint8_t>{1}), kSetVariableBadArguments);
  EXPECT_EQ(b.access().lastWriteError, EINVAL);
  EXPECT_EQ(a.access().lastWriteError, 0);
}

class SysfsVariables : public ::testing::Test {
 protected:
  void SetUp() override { test::MakeDirs(fw.root() + "/efi/vars"); }
  void PutSysfsVar(const std::string& name, const std::vector<uint8_t>& data, const std::string& attributes) {
    std::string dir = fw.SysfsDir(name, kTestGuid);
    test::MakeDirs(dir);
    WriteFileBytes(dir + "/data", data);
    WriteFileText(dir + "/attributes", attributes);
    WriteFileBytes(dir + "/raw_var", {});
  }
  PlainFirmwareRoot fw;
};

TEST_F(SysfsVariables, ReadTakesDataAndAttributeLines) {
  PutSysfsVar("Var", {0x10, 0x20, 0x30},
              "EFI_VARIABLE_NON_VOLATILE\nEFI_VARIABLE_RUNTIME_ACCESS\nNOT_AN_ATTRIBUTE\n"
              "EFI_VARIABLE_APPEND_WRITE");
  fw.PutVar("Var", kTestGuid, 7, {0xEE});  // the sysfs copy wins
  uint32_t attributes = 0;
  auto data = GetNVRAMVariable(fw, L"Var", kTestGuid, &attributes);
  ASSERT_TRUE(data);
  EXPECT_EQ(*data, (std::vector<uint8_t>{0x10, 0x20, 0x30}));
  EXPECT_EQ(attributes, 0x1u | 0x4u | 0x40u);
}

TEST_F(SysfsVariables, WriteBuildsTheRawVarRecord) {
  PutSysfsVar("Ab", {0}, "EFI_VARIABLE_NON_VOLATILE\n");
  std::vector<uint8_t> data(1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(SetNVRAMVariable(fw, L"Ab", kTestGuid, 0x7, data), status::kSuccess);

  auto record = ReadFileBytes(fw.SysfsDir("Ab", kTestGuid) + "/raw_var");
  ASSERT_TRUE(record);
  ASSERT_EQ(record->size(), 2084u);
  std::vector<uint8_t> expected(2084, 0);
  expected[0] = 'A';
  expected[2] = 'b';
  auto guid = kTestGuid.ToBytes();
  std::copy(guid.begin(), guid.end(), expected.begin() + 1024);
  PutLe64(expected.data() + 1040, 1024);
  std::copy(data.begin(), data.end(), expected.begin() + 1048);
  PutLe32(expected.data() + 2080, 7);
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ((*record)[i], expected[i]) << "offset " << i;
  EXPECT_FALSE(fw.VarFile("Ab", kTestGuid)) << "the efivarfs path must not be used";
}

TEST_F(SysfsVariables, VariablesTheSysfsTreeCannotTakeGoThroughEfivarfs) {
  // Absent from the sysfs directory: written through efivarfs.
  ASSERT_EQ(SetNVRAMVariable(fw, L"New", kTestGuid, 7, std::vector<uint8_t>{5}), status::kSuccess);
  EXPECT_EQ(fw.VarFile("New", kTestGuid), Attr(7, {5}));

  // More data than the record holds: never cut, written through efivarfs instead.
  PutSysfsVar("Big", {0}, "EFI_VARIABLE_NON_VOLATILE\n");
  std::vector<uint8_t> big(1025, 0x5A);
  ASSERT_EQ(SetNVRAMVariable(fw, L"Big", kTestGuid, 7, big), status::kSuccess);
  EXPECT_EQ(ReadFileBytes(fw.SysfsDir("Big", kTestGuid) + "/raw_var")->size(), 0u);
  EXPECT_EQ(fw.VarFile("Big", kTestGuid), Attr(7, big));
}

// Inode flags of a file, or nullopt where the file system has none.
std::optional<uint32_t> InodeFlags(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return std::nullopt;
  uint64_t buffer = 0;
  int r = ioctl(fd, FS_IOC_GETFLAGS, &buffer);
  close(fd);
  if (r != 0) return std::nullopt;
  uint32_t flags;
  std::memcpy(&flags, &buffer, sizeof flags);
  return flags;
}

bool SetImmutable(const std::string& path, bool on) {
  auto flags = InodeFlags(path);
  if (!flags) return false;
  int fd = open(path.c_str(), O_RDONLY);
  uint64_t buffer = 0;
  uint32_t wanted = on ? (*flags | FS_IMMUTABLE_FL) : (*flags & ~FS_IMMUTABLE_FL);
  std::memcpy(&buffer, &wanted, sizeof wanted);
  int r = ioctl(fd, FS_IOC_SETFLAGS, &buffer);
  close(fd);
  return r == 0;
}

TEST(VariableStoreImmutable, ClearedForTheWriteAndRestored) {
  PlainFirmwareRoot fw;
  fw.PutVar("Locked", kTestGuid, 7, {1});
  fw.PutVar("Open", kTestGuid, 7, {1});
  std::string locked = fw.VarPath("Locked", kTestGuid);
  if (!SetImmutable(locked, true))
    GTEST_SKIP() << "the temporary directory's file system cannot set the immutable flag here";
  struct Unlock {  // the temporary directory must stay removable whatever happens
    std::string path;
    ~Unlock() { SetImmutable(path, false); }
  } unlock{locked};

  ASSERT_EQ(SetNVRAMVariable(fw, L"Locked", kTestGuid, 7, std::vector<uint8_t>{2, 3}), status::kSuccess);
  EXPECT_EQ(fw.VarFile("Locked", kTestGuid), Attr(7, {2, 3}));
  EXPECT_TRUE(*InodeFlags(locked) & FS_IMMUTABLE_FL);

  // A file that was not immutable does not become so.
  ASSERT_EQ(SetNVRAMVariable(fw, L"Open", kTestGuid, 7, std::vector<uint8_t>{4}), status::kSuccess);
  EXPECT_FALSE(*InodeFlags(fw.VarPath("Open", kTestGuid)) & FS_IMMUTABLE_FL);

  // Deleting an immutable variable works too.
  ASSERT_EQ(SetNVRAMVariable(fw, L"Locked", kTestGuid, 7, {}), status::kSuccess);
  EXPECT_FALSE(std::filesystem::exists(locked));
}

TEST(VariableStoreImmutable, FileSystemsWithoutInodeFlagsAreTolerated) {
  // A FIFO has no inode flags (the ioctl fails with ENOTTY), like file systems without them: the
  // store must go ahead with the write when the flags cannot be read.
  PlainFirmwareRoot fw;
  std::string path = fw.VarPath("Fifo", kTestGuid);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  // A reader keeps the FIFO open so that the store's write does not block.
  int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_EQ(SetNVRAMVariable(fw, L"Fifo", kTestGuid, 7, std::vector<uint8_t>{0xAB}), status::kSuccess);
  uint8_t got[8] = {};
  EXPECT_EQ(read(reader, got, sizeof got), 5);
  EXPECT_EQ(got[0], 7);
  EXPECT_EQ(got[4], 0xAB);
  close(reader);
}

}  // namespace
}  // namespace kes
