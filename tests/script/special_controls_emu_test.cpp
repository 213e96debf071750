// The demo firmware's boot manager through the built tool and the emulator: the special controls
// in the script with and without /b, what their import writes, and the single-question forms.
#include <gtest/gtest.h>

#include <functional>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "devtools/hiibuild/generators.h"

namespace kes::test {
namespace {

const char* kBootList =
    "Setup Question\t= Boot Option #\nHelp String\t= Order in which the boot options are tried\nToken\t=6003\t// Do "
    "NOT change this line\nOffset\t=00\nWidth\t=02\nListOrder\t=[0000] UEFI: NVMe SSD\n\t\t [0002] SATA HDD: Legacy "
    "Disk\n\t\t [0001] UEFI: PXE IPv4 Onboard NIC\n\t\t [000a] UEFI: Built-in Shell\n\t\t \n";

// The variables a run wrote (mailbox requests left out).
std::vector<std::string> Writes(const std::vector<std::string>& log, size_t from) {
  std::vector<std::string> out;
  for (size_t i = from; i < log.size(); ++i) {
    const std::string& line = log[i];
    if (line.rfind("set ", 0) != 0 || line.rfind("set KMBX-", 0) == 0) continue;
    out.push_back(line.substr(4, line.find('-') - 4));
  }
  return out;
}

class BootManager : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(hiibuild::WriteEmulatorImage(dir_ / "image", hiibuild::BuildDemoFirmware()), "");
    emu_ = std::make_unique<Emulator>(dir_ / "image");
    ASSERT_TRUE(emu_->Started()) << emu_->Output();
  }

  ProcessResult Tool(const std::vector<std::string>& args) {
    logStart_ = emu_->RequestLog().size();
    return RunTool(args, {.env = emu_->Env()});
  }
  std::string Export(const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"/o", "/s", dir_ / "script.txt"};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcessResult run = Tool(args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    return ReadFileText(dir_ / "script.txt");
  }
  std::vector<std::string> Written() const { return Writes(emu_->RequestLog(), logStart_); }

  TempDir dir_;
  std::unique_ptr<Emulator> emu_;
  size_t logStart_ = 0;
};

TEST_F(BootManager, ExportListsBootOptionsAndLegacyGroupsOnlyWithSlashB) {
  std::string plain = Export();
  EXPECT_EQ(plain.find("Boot Option #"), std::string::npos);
  EXPECT_NE(plain.find("Options\t=*[00]en-US\n\t\t[01]fr-FR\n\t\t[02]de-DE\n"), std::string::npos);
  EXPECT_NE(plain.find("Options\t=*[00]eng\n\t\t[01]fra\n\t\t[02]deu\n"), std::string::npos);
  std::string withB = Export({"/b"});
  // Boot000a exists only under its lower-case name.
  EXPECT_NE(withB.find(kBootList), std::string::npos) << withB.substr(withB.find("Boot Option #") - 20, 400);
  EXPECT_NE(withB.find("Setup Question\t= BBS_TYPE_USB Legacy Boot Priorities\n"), std::string::npos);
  EXPECT_NE(withB.find("ListOrder\t= [0002]BBS_TYPE_USB 0002\n\t\t[ff03]BBS_TYPE_USB ff03\n"), std::string::npos);
}

TEST_F(BootManager, ScriptImport) {
  struct Case {
    const char* name;
    std::vector<std::string> switches;
    std::function<void(std::string&)> edit;
    std::vector<std::string> written;
    const char* err;  // expected in the error output
  };
  const Case cases[] = {
      {"unchanged", {"/b"}, [](std::string&) {}, {}, "System configuration not modified."},
      {"permutation",
       {"/b"},
       [](std::string& s) { Replace(s, "=[0000] UEFI: NVMe SSD\n\t\t [0002]", "=[0002] UEFI: NVMe SSD\n\t\t [0000]"); },
       {"BootOrder"},
       "Script file imported successfully."},
      {"replaced number",
       {"/b"},
       [](std::string& s) { Replace(s, "[000a] UEFI: Built-in Shell", "[000b] UEFI: Built-in Shell"); },
       {},
       "ERROR:D - Value for control not updated as the value specified is invalid\n"},
      // All or nothing: the refused boot order keeps the language change out too.
      {"replaced number under /r",
       {"/b", "/r"},
       [](std::string& s) {
         Replace(s, "[000a] UEFI: Built-in Shell", "[000b] UEFI: Built-in Shell");
         Replace(s, "*[00]en-US\n\t\t[01]fr-FR", "[00]en-US\n\t\t*[01]fr-FR");
       },
       {},
       "ERROR:D - Value for control not updated as the value specified is invalid\n\nERROR:D -  Importing Script file"},
      {"without /b",
       {},
       [](std::string& s) { Replace(s, "=[0000] UEFI: NVMe SSD\n\t\t [0002]", "=[0002] UEFI: NVMe SSD\n\t\t [0000]"); },
       {},
       "WARNING : /b option is missing, BOOT_ORDER_CONTROL will not be imported\n "},
      {"legacy device disabled",
       {"/b"},
       [](std::string& s) { Replace(s, "[0001]BBS_TYPE_HARDDRIVE", "[ff01]BBS_TYPE_HARDDRIVE"); },
       {"LegacyDevOrder"},
       "Script file imported successfully."},
      {"language",
       {},
       [](std::string& s) { Replace(s, "*[00]en-US\n\t\t[01]fr-FR", "[00]en-US\n\t\t*[01]fr-FR"); },
       {"PlatformLang"},
       "Script file imported successfully."},
  };
  std::string script = Export({"/b"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string text = script;
    c.edit(text);
    WriteFileText(dir_ / "edited.txt", text);
    std::vector<std::string> args{"/i", "/s", dir_ / "edited.txt"};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    ProcessResult run = Tool(args);
    EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    EXPECT_EQ(Written(), c.written);
    // Back to the first state for the next case.
    if (!c.written.empty()) {
      WriteFileText(dir_ / "edited.txt", script);
      Tool({"/i", "/s", dir_ / "edited.txt", "/b"});
    }
  }
}

TEST_F(BootManager, SingleQuestion) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    const char* out;  // expected in standard output, or null
    const char* err;  // expected in the error output, or null
    std::vector<std::string> written;
  };
  const Case cases[] = {
      {{"/o", "/ms", "bootorder", "/ov"}, 0, "\n[0000] UEFI: NVMe SSD\n \n [0002] SATA HDD: Legacy Disk\n \n", nullptr, {}},
      {{"/o", "/ms", "LANG002"}, 0, "Options\t=*[00]en-US\n\t\t[01]fr-FR\n\t\t[02]de-DE\n", nullptr, {}},
      {{"/o", "/ms", "LEGACYORDER", "/ov"}, 0, " [0000]BBS_TYPE_HARDDRIVE 0000\n\t\t[0001]BBS_TYPE_HARDDRIVE 0001\n", nullptr, {}},
      {{"/i", "/ms", "LANG002", "/qv", "3"}, 0, nullptr, "Warning: Invalid Index value for Language Option Control\n", {}},
      {{"/i", "/ms", "LANG001", "/qv", "2"}, 0, nullptr, "Question value imported successfully.", {"Lang"}},
      {{"/i", "/ms", "BOOTORDER", "/qv", "a,2,1,0"}, 0, nullptr, "Question value imported successfully.", {"BootOrder"}},
      {{"/i", "/ms", "BOOTORDER", "/qv", "a,2,1,5"}, 13, nullptr, "ERROR:D - Import of question failed.", {}},
      {{"/i", "/ms", "LEGACYORDER", "/qv", "ff02,ff03", "/bt", "BBS_TYPE_USB"}, 0, nullptr,
       "Question value imported successfully.", {"LegacyDevOrder"}},
      {{"/i", "/ms", "LEGACYORDER", "/qv", "2,3"}, 13, nullptr, "ERROR:D - Device type is not specified.\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[2] + " " + c.args.back());
    ProcessResult run = Tool(c.args);
    EXPECT_EQ(run.exitCode, c.exit) << run.err;
    if (c.out) {
      EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    }
    if (c.err) {
      EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
    EXPECT_EQ(Written(), c.written);
  }
}

// A BootOrder entry without its Boot#### variable is not listed and keeps its place: the listed
// options can still be reordered, by a script or by a single question.
TEST_F(BootManager, DanglingBootOrderEntryKeepsItsPlace) {
  hiibuild::EmulatorImage image = hiibuild::BuildDemoFirmware();
  for (hiibuild::Variable& v : image.variables)
    if (v.name == "BootOrder") v.data = {0x00, 0x00, 0x07, 0x00, 0x02, 0x00, 0x01, 0x00, 0x0A, 0x00};
  emu_.reset();
  ASSERT_EQ(hiibuild::WriteEmulatorImage(dir_ / "image", image), "");
  emu_ = std::make_unique<Emulator>(dir_ / "image");
  ASSERT_TRUE(emu_->Started()) << emu_->Output();
  const std::string path = emu_->VarPath("BootOrder", "8be4df61-93ca-11d2-aa0d-00e098032b8c");

  std::string script = Export({"/b"});
  ASSERT_NE(script.find(kBootList), std::string::npos);
  Replace(script, "=[0000] UEFI: NVMe SSD\n\t\t [0002]", "=[0002] UEFI: NVMe SSD\n\t\t [0000]");
  WriteFileText(dir_ / "edited.txt", script);
  struct Case {
    std::vector<std::string> args;
    std::vector<uint8_t> order;
  };
  const Case cases[] = {
      {{"/i", "/s", dir_ / "edited.txt", "/b"}, {0x02, 0x00, 0x07, 0x00, 0x00, 0x00, 0x01, 0x00, 0x0A, 0x00}},
      {{"/i", "/ms", "BOOTORDER", "/qv", "a,1,2,0"}, {0x0A, 0x00, 0x07, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[1]);  // each case starts from the order the one before left
    ProcessResult run = Tool(c.args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(Written(), std::vector<std::string>{"BootOrder"}) << run.err;
    EXPECT_EQ(ReadFileBytes(path), Cat({{0x07, 0x00, 0x00, 0x00}, c.order}));
  }
}

// Debian's efibootmgr works on the same variables (through libefivar's EFIVARFS_PATH): what it
// changes, the tool's export shows, and a boot order the tool imports is the one it reports.
TEST_F(BootManager, EfibootmgrAndTheToolAgreeOnTheBootOrder) {
  if (std::system("command -v efibootmgr >/dev/null 2>&1") != 0) GTEST_SKIP() << "efibootmgr is not installed";
  auto efibootmgr = [&](std::vector<std::string> args) {
    args.insert(args.begin(), "efibootmgr");
    return RunProcess(args, {.env = {{"EFIVARFS_PATH", emu_->efivars() + "/"}}});
  };
  auto bootList = [&] {
    std::string script = Export({"/b"});
    size_t at = script.find("ListOrder\t=", script.find("Setup Question\t= Boot Option #"));
    return script.substr(at, script.find("\n\n", at) - at);
  };

  ProcessResult r = efibootmgr({"-o", "0001,0000,0002,000A"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(bootList(),
            "ListOrder\t=[0001] UEFI: PXE IPv4 Onboard NIC\n\t\t [0000] UEFI: NVMe SSD\n\t\t [0002] SATA HDD: Legacy "
            "Disk\n\t\t [000a] UEFI: Built-in Shell\n\t\t ");
  // A load option efibootmgr deletes leaves the boot order and the export.
  r = efibootmgr({"-b", "0000", "-B"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::string list = bootList();
  EXPECT_EQ(list.find("NVMe SSD"), std::string::npos) << list;
  EXPECT_NE(list.find("[0001] UEFI: PXE IPv4 Onboard NIC"), std::string::npos) << list;

  // The tool reorders, by a single question and by a script; efibootmgr reports the result.
  r = Tool({"/i", "/ms", "BOOTORDER", "/qv", "a,2,1"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(efibootmgr({}).out.find("BootOrder: 000A,0002,0001\n"), std::string::npos);
  std::string script = Export({"/b"});
  Replace(script, "ListOrder\t=[000a] UEFI: Built-in Shell\n\t\t [0002] SATA HDD: Legacy Disk\n\t\t [0001]",
          "ListOrder\t=[0001] UEFI: PXE IPv4 Onboard NIC\n\t\t [0002] SATA HDD: Legacy Disk\n\t\t [000a]");
  Replace(script, "[000a] UEFI: PXE IPv4 Onboard NIC", "[000a] UEFI: Built-in Shell");
  WriteFileText(dir_ / "edited.txt", script);
  r = Tool({"/i", "/s", dir_ / "edited.txt", "/b"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(efibootmgr({}).out.find("BootOrder: 0001,0002,000A\n"), std::string::npos) << efibootmgr({}).out;
}

}  // namespace
}  // namespace kes::test
