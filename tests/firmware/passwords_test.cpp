// Password handling where a plain directory suffices: such a "firmware" stores every password
// write as an ordinary variable, exactly like a firmware without the password feature, and a
// directory in place of a variable file makes the firmware reject that write.
#include "firmware/passwords.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/console.h"
#include "firmware/firmware_access.h"
#include "tests/support/firmware_root.h"

namespace kes {
namespace {

using test::PlainFirmwareRoot;

PasswordInput Plain(const std::wstring& text) {
  PasswordInput p;
  p.Type = PasswordType::Plain;
  p.Text = text;
  p.Length = static_cast<uint32_t>(text.size() + 1);
  return p;
}

PasswordInput Keys(PasswordType type, std::vector<uint16_t> units) {
  PasswordInput p;
  p.Type = type;
  p.Units = std::move(units);
  p.Length = static_cast<uint32_t>(p.Units.size());
  return p;
}

class PasswordsOnPlainStore : public ::testing::Test {
 protected:
  std::string PasswordVar(const char* name) const { return fw.VarPath(name, kPasswordVariableGuid); }
  bool Exists(const char* name) const { return std::filesystem::exists(PasswordVar(name)); }
  void Reject(const char* name) const { test::MakeDirs(PasswordVar(name)); }
  PlainFirmwareRoot fw;
  RunState run_;
};

TEST_F(PasswordsOnPlainStore, CurrentPasswordWithoutPasswordFeature) {
  for (auto password : {Plain(L"secret"), Keys(PasswordType::ScanCode, {0x1E, 0x30}),
                        Keys(PasswordType::EfiKey, {0x8061})}) {
    run_ = RunState();
    fw.access() = FirmwareAccess(fw.root(), true);
    run_.currentAdmin = password;
    ConsoleCapture capture;
    EXPECT_EQ(ChangeSetupPasswords(run_, fw), status::kTransportFailure);
    EXPECT_EQ(capture.out(), "Warning: BIOS does not support password feature\n");
    EXPECT_FALSE(Exists("$SETUPPASSWD")) << "the stored password must be removed again";
    EXPECT_FALSE(fw.access().setupUnlocked);
  }
}

TEST_F(PasswordsOnPlainStore, QuietRunGoesOnAndLeavesNothingBehind) {
  run_.switches.Set(Switch::Q);
  run_.currentAdmin = Plain(L"secret");
  ConsoleCapture capture;
  EXPECT_EQ(ChangeSetupPasswords(run_, fw), status::kSuccess);
  EXPECT_TRUE(fw.access().setupUnlocked);
  // The re-lock write is stored too (nothing rejects it): it is removed, and nothing is printed.
  EXPECT_EQ(RelockProtectedVariables(fw), status::kSuccess);
  EXPECT_FALSE(fw.access().setupUnlocked);
  EXPECT_EQ(capture.out(), "");
  EXPECT_FALSE(Exists("$SETUPPASSWD"));
}

TEST_F(PasswordsOnPlainStore, RejectedWritesPrintTheirMessages) {
  struct Case {
    const char* variable;
    bool giveNewAdmin, giveNewUser;
    std::string message;
  };
  const Case cases[] = {
      {"$SETUPPASSWD", false, false, "Input password doesn't match admin password or retry count exceeded.\n"},
      {"$SETADMINPASSWD", true, false, "Invalid input or password doesn't match admin password.\n"},
      {"$SETUSERPASSWD", false, true, "Invalid Input or password doesn't match admin password.\n"},
  };
  for (const Case& c : cases) {
    PlainFirmwareRoot local;
    run_.switches.Set(Switch::Q);  // lets the current password pass on a plain store
    run_.currentAdmin = Plain(L"pw");
    if (c.giveNewAdmin) run_.newAdmin = Plain(L"admin");
    if (c.giveNewUser) run_.newUser = Plain(L"user");
    test::MakeDirs(local.VarPath(c.variable, kPasswordVariableGuid));
    ConsoleCapture capture;
    EXPECT_EQ(ChangeSetupPasswords(run_, local), status::kFailure) << c.variable;
    EXPECT_EQ(capture.out(), c.message);
  }
}

TEST_F(PasswordsOnPlainStore, NewPasswordTypeMustMatchTheCurrentOne) {
  struct Case {
    PasswordInput current, newAdmin, newUser;
    std::string message;
  };
  const Case cases[] = {
      {Keys(PasswordType::ScanCode, {0x1E}), Plain(L"a"), {},
       "Error: New admin password type does not match with existing password type.\n"},
      {Plain(L"a"), {}, Keys(PasswordType::EfiKey, {0x8001}),
       "Error: New user password type does not match with existing password type.\n"},
      {{}, Plain(L"a"), {}, "Error: New admin password type does not match with existing password type.\n"},
  };
  for (const Case& c : cases) {
    run_ = RunState();
    run_.switches.Set(Switch::Q);
    run_.currentAdmin = c.current;
    run_.newAdmin = c.newAdmin;
    run_.newUser = c.newUser;
    ConsoleCapture capture;
    EXPECT_EQ(ChangeSetupPasswords(run_, fw), status::kInvalidParameter);
    EXPECT_EQ(capture.out(), c.message);
    EXPECT_FALSE(Exists("$SETADMINPASSWD"));
    EXPECT_FALSE(Exists("$SETUSERPASSWD"));
  }
}

TEST_F(PasswordsOnPlainStore, NewPasswordsWithoutTheChangingFeature) {
  run_.currentAdmin = Plain(L"pw");
  run_.newAdmin = Plain(L"admin");
  run_.newUser = Plain(L"user");
  run_.switches.Set(Switch::Q);
  ConsoleCapture capture;
  // Quiet: every step passes silently; nothing stays stored.
  EXPECT_EQ(ChangeSetupPasswords(run_, fw), status::kSuccess);
  EXPECT_EQ(capture.out(), "");
  EXPECT_FALSE(Exists("$SETADMINPASSWD"));
  EXPECT_FALSE(Exists("$SETUSERPASSWD"));
}

TEST_F(PasswordsOnPlainStore, RelockOnlyAfterAnUnlock) {
  ConsoleCapture capture;
  EXPECT_EQ(RelockProtectedVariables(fw), status::kSuccess);
  EXPECT_FALSE(Exists("$SETUPPASSWD"));

  // A firmware that refuses the re-lock write has locked again.
  fw.access().setupUnlocked = true;
  Reject("$SETUPPASSWD");
  EXPECT_EQ(RelockProtectedVariables(fw), status::kFailure);
  EXPECT_EQ(capture.out(), "Variable access re-locked\n");
  EXPECT_FALSE(fw.access().setupUnlocked);
}

}  // namespace
}  // namespace kes
