// The built tool against the firmware emulator: password services with their messages and exit
// statuses, the re-lock, protected variables, and the HII step's dump file and CRC line.
#include <gtest/gtest.h>

#include <filesystem>

#include "base/console.h"
#include "tests/firmware/emulator_fixture.h"
#include "tests/firmware/zlib_crc.h"

namespace kes::test {
namespace {

struct ToolRun {
  std::vector<std::string> args;
  int exitCode;
  std::string out;
};

ProcessResult RunAgainst(const Emulator& emulator, std::vector<std::string> args) {
  args.push_back("/hb");
  ProcessOptions options;
  options.env = emulator.Env();
  return RunTool(args, options);
}

TEST(PasswordsThroughTool, EveryPath) {
  struct Case {
    std::string name;
    std::string config;
    std::vector<ToolRun> runs;
  };
  const std::string relocked = "Variable access re-locked\n";
  const Case cases[] = {
      {"plain, new admin then new user with it",
       "admin_password = secret\n",
       {{{"/cpwd", "secret", "/apwd", "newpw"}, 0,
         "Password accepted\nNew admin password set successfully.\n" + relocked},
        {{"/cpwd", "secret", "/upwd", "user"}, 1,
         "Input password doesn't match admin password or retry count exceeded.\n"},
        {{"/cpwd", "newpw", "/apwd", "third", "/upwd", "user"}, 0,
         "Password accepted\nNew admin password set successfully.\nNew user password set successfully.\n" +
             relocked}}},
      {"scan code",
       "admin_password_scancode = 1e 30\n",
       {{{"/cpwds", "1e", "30", "/apwds", "1f"}, 0,
         "Password accepted\nNew admin password set successfully.\n" + relocked},
        {{"/cpwds", "1f", "/apwd", "plain"}, 87,
         "Password accepted\nError: New admin password type does not match with existing password type.\n" +
             relocked}}},
      {"EFI key",
       "admin_password_efikey = 61 62\n",
       {{{"/cpwde", "61", "62", "/upwde", "63"}, 0,
         "Password accepted\nNew user password set successfully.\n" + relocked},
        {{"/cpwds", "61", "62", "/upwds", "63"}, 1,
         "Input password doesn't match admin password or retry count exceeded.\n"}}},
      {"no password feature",
       "password_feature = no\n",
       {{{"/cpwd", "secret", "/apwd", "x"}, 134, "Warning: BIOS does not support password feature\n"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir tmp;
    FirmwareImage image(tmp / "image");
    image.Fidt().Config(c.config);
    Emulator emulator(image.dir());
    ASSERT_TRUE(emulator.Started());
    for (const ToolRun& run : c.runs) {
      ProcessResult r = RunAgainst(emulator, run.args);
      EXPECT_EQ(r.exitCode, run.exitCode) << r.err;
      EXPECT_EQ(r.out, run.out);
    }
    // No password ever stays stored as a variable (a refused write may leave an empty file, as
    // efivarfs does, which holds no variable).
    for (const char* name : {"$SETUPPASSWD", "$SETADMINPASSWD", "$SETUSERPASSWD"}) {
      auto file = ReadFileBytes(emulator.VarPath(name, kPasswordGuidText));
      EXPECT_TRUE(!file || file->size() < 4) << name;
    }
  }
}

TEST(PasswordsThroughTool, ProtectedVariableWrittenOnlyWhileUnlocked) {
  TempDir tmp;
  FirmwareImage image(tmp / "image");
  image.Fidt().Var("Setup", kVendorGuidText, 7, {1}).Config("admin_password = secret\nprotected_variables = Setup\n");
  Emulator emulator(image.dir());
  ASSERT_TRUE(emulator.Started());
  std::vector<std::string> update = {"/i", "/varname", "Setup", "/varguid", kVendorGuidText, "/varvalue"};
  auto withValue = [&](const std::string& value, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = update;
    args.push_back(value);
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  };
  std::string path = emulator.VarPath("Setup", kVendorGuidText);

  ProcessResult locked = RunAgainst(emulator, withValue("AB"));
  EXPECT_EQ(locked.exitCode, 1);
  EXPECT_NE(locked.err.find("ERROR:1 -  Variable update/create failed.\n"), std::string::npos) << locked.err;
  EXPECT_EQ(ReadFileBytes(path), VarFileBytes(7, {1}));

  ProcessResult unlocked = RunAgainst(emulator, withValue("AB", {"/cpwd", "secret"}));
  EXPECT_EQ(unlocked.exitCode, 0) << unlocked.err;
  EXPECT_EQ(unlocked.out, "Password accepted\nVariable access re-locked\n");
  EXPECT_NE(unlocked.err.find("\nVariable updated/created successfully.\n"), std::string::npos) << unlocked.err;
  EXPECT_EQ(ReadFileBytes(path), VarFileBytes(7, {'A', 0, 'B', 0}));

  // The run re-locked: the next write without the password is refused again.
  EXPECT_EQ(RunAgainst(emulator, withValue("CD")).exitCode, 1);
  EXPECT_EQ(ReadFileBytes(path), VarFileBytes(7, {'A', 0, 'B', 0}));
}

TEST(HiiStepThroughTool, DumpIsByteIdenticalAndCrcLineMatches) {
  for (size_t size : {size_t{0}, size_t{876}, size_t{877}, size_t{300000}}) {
    SCOPED_TRACE(size);
    TempDir tmp;
    FirmwareImage image(tmp / "image");
    std::vector<uint8_t> hii = HiiImageOfSize(size, 7);
    image.Fidt().Hii(hii);
    Emulator emulator(image.dir());
    ASSERT_TRUE(emulator.Started());
    ProcessResult r = RunAgainst(emulator, {"/o", "/s", tmp / "script.txt", "/h", tmp / "dump.bin"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(tmp / "dump.bin"), hii);
    std::string crcLine = "\r\nHIICrc32= " + NFormat("%X", ZlibCrc(hii)) + "\r\n";
    EXPECT_NE(ReadFileText(tmp / "script.txt").find(crcLine), std::string::npos) << ReadFileText(tmp / "script.txt");
  }
}

TEST(HiiStepThroughTool, FailedReadIsReportedWithTheMappedStatus) {
  struct Case {
    std::string config;
    int exitCode;
    std::string message;
  };
  const Case cases[] = {
      {"hii_fail_offset = 2000\n", 0x87, "ERROR:87 -  Retrieving HII Database\n"},
      // A bad-buffer-size status in the middle of the database: its chunk holds no data.
      {"hii_fail_offset = 2000\nhii_fail_status = 4\n", 0x84, "ERROR:84 -  Retrieving HII Database\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.config);
    TempDir tmp;
    FirmwareImage image(tmp / "image");
    image.Fidt().Hii(HiiImageOfSize(5000)).Config(c.config);
    Emulator emulator(image.dir());
    ASSERT_TRUE(emulator.Started());
    ProcessResult r = RunAgainst(emulator, {"/o", "/s", tmp / "script.txt", "/h", tmp / "dump.bin"});
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(ReadFileBytes(tmp / "dump.bin").has_value()) << "a failed read creates no dump";
    EXPECT_FALSE(ReadFileBytes(tmp / "script.txt").has_value()) << "nor a script";
  }
}

}  // namespace
}  // namespace kes::test
