// The journal of kestrel-attrs: its reader against damaged and hostile entries, and set, verify
// and rollback through the firmware emulator serving the demo firmware, with reboots modelled by
// another boot id and firmware adjustments by writing a variable behind the tool's back.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>
#include <functional>
#include <memory>

#include "firmware/variable_store.h"
#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "companions/attrs/journal.h"
#include "companions/attrs/journal_commands.h"
#ifdef KESTREL_ATTRS_MOUNT
#include "companions/attrs/mount_tree.h"
#endif
#include "companions/attrs/session.h"
#include "devtools/hiibuild/generators.h"

namespace kes::test {
namespace {

using attrs::Json;

constexpr char kSetupGuid[] = "ec87d643-eba4-4bb5-a1e5-3f3e36b20da9";
constexpr size_t kMain002 = 1, kProc001 = 3;  // their bytes in Setup

attrs::JournalEntry SampleEntry() {
  attrs::JournalEntry e;
  e.id = 7;
  e.time = "2025-01-02T03:04:05Z";
  e.bootId = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
  e.hiiCrc = 0x1A2B3C4D;
  e.command = "set";
  e.complete = true;
  EfiGuid guid = *ParseGuidText(std::string_view(kSetupGuid));
  e.attributes.push_back({"MAIN002", false, Json(20), Json(10), attrs::JournalStorage{"Setup", guid, 1, 1}});
  e.attributes.push_back({"SEC001", true, Json(), Json(), std::nullopt});
  e.variables.push_back({"Setup", guid, 7, std::vector<uint8_t>{1, 10, 0, 1}, std::vector<uint8_t>{1, 20, 0, 1}});
  return e;
}

TEST(AttrsJournal, ReaderRefusesDamagedAndHostileEntries) {
  Json good = attrs::EntryToJson(SampleEntry());
  std::string error;
  auto read = attrs::ParseEntry(good.dump(2), error);
  ASSERT_TRUE(read) << error;
  EXPECT_EQ(attrs::EntryToJson(*read), good);  // read as written

  struct Case {
    const char* what;
    std::function<void(Json&)> damage;
    const char* message;
  };
  auto variable = [](Json& e) -> Json& { return e["Variables"][0]; };
  const Case cases[] = {
      {"a size that is not its bytes'", [&](Json& e) { variable(e)["BeforeSize"] = 3; }, "\"BeforeSize\" of Setup-"},
      {"an odd number of digits", [&](Json& e) { variable(e)["After"] = "0114000"; }, "an odd number of digits"},
      {"digits that are not hexadecimal", [&](Json& e) { variable(e)["After"] = "0114zz01"; }, "not hexadecimal"},
      {"a name with /", [&](Json& e) { variable(e)["Name"] = "../Setup"; }, "holds \"/\""},
      {"an empty name", [&](Json& e) { variable(e)["Name"] = ""; }, "a variable name is empty"},
      {"a GUID that is not one", [&](Json& e) { variable(e)["Guid"] = "ec87d643-eba4-4bb5-a1e5-3f3e36b20dz9"; },
       "is not a GUID"},
      {"a variable given twice", [&](Json& e) { e["Variables"].push_back(variable(e)); }, "given twice"},
      {"bytes after in an interrupted entry", [](Json& e) { e["Complete"] = false; }, "interrupted entry holds bytes after"},
      {"no bytes after in a complete entry", [&](Json& e) { variable(e).erase("After"); }, "\"After\" of Setup-"},
      {"a value outside its variable", [](Json& e) { e["Attributes"][0]["Storage"]["Offset"] = 4; }, "lie outside"},
      {"a password with its value", [](Json& e) { e["Attributes"][1]["Value"] = "secret"; }, "holds a value"},
      {"an attribute name that is none", [](Json& e) { e["Attributes"][0]["AttributeName"] = "A B"; },
       "is not an attribute name"},
      {"a CRC that is not one", [](Json& e) { e["HiiCrc32"] = "1A2B3C"; }, "8 hexadecimal digits"},
      {"a rollback without its entry", [](Json& e) { e["Command"] = "rollback"; }, "\"RollbackOf\" is missing"},
      {"another format", [](Json& e) { e["Journal"] = 2; }, "format 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Json bad = good;
    c.damage(bad);
    error.clear();
    EXPECT_FALSE(attrs::ParseEntry(bad.dump(2), error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  std::string text = good.dump(2);
  const std::pair<std::string, const char*> texts[] = {
      {text.substr(0, text.size() / 2), "cut short"},
      {"", "empty"},
      {"{\"Journal\": 1, \"Journal\": 1}", "appears twice"},
      {std::string(40, '[') + std::string(40, ']'), "nested deeper"},
  };
  for (const auto& [bad, message] : texts) {
    error.clear();
    EXPECT_FALSE(attrs::ParseEntry(bad, error));
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

class JournalThroughEmulator : public ::testing::Test {
 protected:
  void Start() {
    ASSERT_EQ(hiibuild::WriteEmulatorImage(dir_ / "image", hiibuild::BuildDemoFirmware()), "");
    emu_ = std::make_unique<Emulator>(dir_ / "image");
    ASSERT_TRUE(emu_->Started()) << emu_->Output();
    fw_ = std::make_unique<FirmwareAccess>(emu_->root(), true);
  }

  // kestrel-attrs on the emulator, optionally under `wrapper` (a program and its arguments) and
  // with other environment; the variables it wrote are in writes_.
  ProcessResult Attrs(std::vector<std::string> args, std::map<std::string, std::string> env = {},
                      std::vector<std::string> wrapper = {}) {
    size_t before = Writes().size();
    args.insert(args.begin(), KESTREL_ATTRS_PATH);
    args.insert(args.begin(), wrapper.begin(), wrapper.end());
    for (const auto& e : emu_->Env()) env.emplace(e);
    ProcessResult r = RunProcess(args, {.env = env});
    std::vector<std::string> all = Writes();
    writes_.assign(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    return r;
  }

  std::vector<std::string> Writes() const {
    std::vector<std::string> out;
    for (const std::string& line : emu_->RequestLog())
      if (line.rfind("set ", 0) == 0 && line.rfind("set KMBX-", 0) != 0) out.push_back(line.substr(4, line.find('-') - 4));
    return out;
  }

  Json Run(std::vector<std::string> args, int status) {
    ProcessResult r = Attrs(std::move(args));
    EXPECT_EQ(r.exitCode, status) << r.out << r.err;
    return r.out.empty() ? Json() : Json::parse(r.out);
  }

  // The Setup variable's data, read and written behind the tool's back.
  std::vector<uint8_t> SetupBytes() {
    uint32_t attributes = 0;
    std::vector<uint8_t> data;
    EXPECT_EQ(ReadEfiVariable(*fw_, "Setup", *ParseGuidText(std::string_view(kSetupGuid)), attributes, data), 0u);
    return data;
  }
  void WriteSetup(const std::vector<uint8_t>& data) {
    ASSERT_EQ(WriteEfiVariable(*fw_, "Setup", *ParseGuidText(std::string_view(kSetupGuid)), 7, data), 0u);
  }

  std::string EntryPath(int id) const {
    char name[32];
    std::snprintf(name, sizeof name, "/%08d.json", id);
    return emu_->StateDir() + name;
  }
  // Each entry's status by id, from `journal --json`.
  std::map<uint64_t, std::string> Statuses() {
    std::map<uint64_t, std::string> out;
    Json list = Run({"journal", "--json"}, 0);
    for (const Json& e : list["Entries"]) out[e["Id"].get<uint64_t>()] = e["Status"];
    return out;
  }
  static std::vector<std::string> AttributeStatuses(const Json& verify) {
    std::vector<std::string> out;
    for (const Json& a : verify["Attributes"]) out.push_back(a["AttributeName"].get<std::string>() + " " + a["Status"].get<std::string>());
    return out;
  }

  TempDir dir_;
  std::unique_ptr<Emulator> emu_;
  std::unique_ptr<FirmwareAccess> fw_;
  std::vector<std::string> writes_;
};

TEST_F(JournalThroughEmulator, SetRebootVerifyAdjustAndRollBack) {
  Start();
  std::vector<uint8_t> original = SetupBytes();
  Json set = Run({"set", "MAIN002=20", "PROC001=Disabled"}, 0);
  EXPECT_EQ(set["JournalEntry"], 1);
  struct stat st {};
  ASSERT_EQ(stat(emu_->StateDir().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  Json entry = Json::parse(ReadFileText(EntryPath(1)));
  EXPECT_EQ(entry["Complete"], true);
  ASSERT_EQ(entry["Variables"].size(), 1u) << entry.dump();
  EXPECT_EQ(entry["Variables"][0]["Name"], "Setup");
  EXPECT_EQ(entry["Variables"][0]["BeforeSize"], original.size());

  Json pending = Run({"verify"}, attrs::kExitPending);
  EXPECT_EQ(AttributeStatuses(pending), (std::vector<std::string>{"MAIN002 pending-reboot", "PROC001 pending-reboot"}));
  emu_->Reboot();
  Json held = Run({"verify", "1"}, 0);
  EXPECT_EQ(AttributeStatuses(held), (std::vector<std::string>{"MAIN002 applied", "PROC001 applied"}));
  EXPECT_EQ(Statuses()[1], "verified");

  // The firmware clamps one value and reverts the other at the reboot.
  std::vector<uint8_t> adjusted = SetupBytes();
  adjusted[kMain002] = 25;
  adjusted[kProc001] = original[kProc001];
  WriteSetup(adjusted);
  Json verify = Run({"verify"}, attrs::kExitNotHeld);
  EXPECT_EQ(AttributeStatuses(verify), (std::vector<std::string>{"MAIN002 adjusted", "PROC001 reverted"}));
  EXPECT_EQ(verify["Attributes"][0]["CurrentValue"], 25);
  EXPECT_EQ(Statuses()[1], "adjusted");

  // Rollback puts back every byte, and is an entry of its own; a second one changes nothing.
  Json rollback = Run({"rollback"}, 0);
  EXPECT_EQ(writes_, std::vector<std::string>{"Setup"});
  EXPECT_EQ(SetupBytes(), original);
  EXPECT_EQ(rollback["JournalEntry"], 2);
  EXPECT_EQ(Json::parse(ReadFileText(EntryPath(2)))["RollbackOf"], 1);
  EXPECT_EQ(Statuses(), (std::map<uint64_t, std::string>{{1, "rolled-back"}, {2, "pending-reboot"}}));
  Json again = Run({"rollback", "1"}, 0);
  EXPECT_TRUE(writes_.empty());
  EXPECT_TRUE(again["Restored"].empty());
  EXPECT_EQ(Statuses().size(), 2u);
  // The rollback of the rollback brings the values of entry 1 back.
  Run({"rollback", "2"}, 0);
  EXPECT_EQ(SetupBytes(), adjusted);
}

TEST_F(JournalThroughEmulator, RollbackRefusesWhatChangedSinceOrIsNotThisFirmwares) {
  Start();
  std::vector<uint8_t> original = SetupBytes();
  Run({"set", "MAIN002=20"}, 0);
  // Another value of the same variable changes in the same boot.
  std::vector<uint8_t> changed = SetupBytes();
  changed[kProc001] ^= 1;
  WriteSetup(changed);
  ProcessResult refused = Attrs({"rollback"});
  EXPECT_EQ(refused.exitCode, attrs::kExitRefused) << refused.err;
  EXPECT_NE(refused.err.find("Setup-" + std::string(kSetupGuid) + " changed since"), std::string::npos) << refused.err;
  EXPECT_TRUE(writes_.empty());
  EXPECT_EQ(SetupBytes(), changed);
  EXPECT_EQ(Statuses()[1], "changed-since");
  Run({"rollback", "--force"}, 0);
  EXPECT_EQ(SetupBytes(), original);

  // Entries this journal did not write that way are refused before anything is written.
  Run({"set", "MAIN002=21"}, 0);  // entry 3
  std::string path = EntryPath(3), text = ReadFileText(path);
  struct Case {
    const char* what;
    std::function<void(Json&)> edit;
    int status;
    const char* message;
    std::vector<std::string> commands;
  };
  const Case cases[] = {
      {"another firmware's entry", [](Json& e) { e["HiiCrc32"] = "0BADF00D"; }, attrs::kExitRefused,
       "made on other firmware (HII CRC 0BADF00D", {"rollback", "verify"}},
      {"a variable no question keeps its value in", [](Json& e) { e["Variables"][0]["Name"] = "SetupBackup"; },
       attrs::kExitRefused, "no Setup question of this firmware keeps its value", {"rollback"}},
      {"a variable name with /", [](Json& e) { e["Variables"][0]["Name"] = "../Setup"; }, attrs::kExitUsage,
       "is damaged: the variable name \"../Setup\" holds \"/\"", {"rollback", "verify"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Json entry = Json::parse(text);
    c.edit(entry);
    WriteFileText(path, entry.dump(2));
    for (const std::string& command : c.commands) {
      ProcessResult r = Attrs({command, "3"});
      EXPECT_EQ(r.exitCode, c.status) << r.out << r.err;
      EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
      EXPECT_TRUE(writes_.empty());
    }
  }
  WriteFileText(path, text.substr(0, text.size() - 20));
  EXPECT_EQ(Statuses()[3], "damaged");
}

TEST_F(JournalThroughEmulator, AJournalThatCannotBeWrittenStopsTheSetBeforeAnyWrite) {
  Start();
  WriteFileText(dir_ / "a-file", "");
  MakeDirs(dir_ / "open");
  chmod((dir_ / "open").c_str(), 0777);
  const std::pair<std::map<std::string, std::string>, const char*> cases[] = {
      {{{"KESTREL_STATE_DIR", dir_ / "a-file/journal"}}, "cannot reach the journal directory"},
      {{{"KESTREL_STATE_DIR", dir_ / "open"}}, "mode 0777"},
      {{{"KESTREL_BOOT_ID", dir_ / "no-such-file"}}, "cannot read the boot id"},
  };
  for (const auto& [env, message] : cases) {
    SCOPED_TRACE(message);
    ProcessResult r = Attrs({"set", "MAIN002=20"}, env);
    EXPECT_EQ(r.exitCode, attrs::kExitJournal) << r.out << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;
    EXPECT_TRUE(writes_.empty());
    EXPECT_TRUE(Json::parse(r.out)["Changed"].empty());
  }
  ProcessResult without = Attrs({"--no-journal", "set", "MAIN002=20"}, cases[0].first);
  EXPECT_EQ(without.exitCode, 0) << without.err;
  EXPECT_EQ(writes_, std::vector<std::string>{"Setup"});
  EXPECT_FALSE(Json::parse(without.out).contains("JournalEntry"));
}

TEST_F(JournalThroughEmulator, AnEntryInterruptedBetweenTheWriteAndItsRecordIsNeverComplete) {
  Start();
  std::vector<uint8_t> original = SetupBytes();
  Run({"set", "MAIN002=20"}, 0);
  // The same change's entry once complete is as long as entry 1: a file size limit one byte
  // shorter kills the run (SIGXFSZ) when it writes the complete entry, after the variable.
  std::string limit = "--fsize=" + std::to_string(ReadFileText(EntryPath(1)).size() - 1);
  ProcessResult killed = Attrs({"set", "MAIN002=30"}, {}, {"prlimit", limit});
  EXPECT_EQ(killed.exitCode, 128 + SIGXFSZ) << killed.err;
  EXPECT_EQ(writes_, std::vector<std::string>{"Setup"});
  EXPECT_EQ(Json::parse(ReadFileText(EntryPath(2)))["Complete"], false);
  EXPECT_EQ(Statuses()[2], "interrupted");
  for (const char* command : {"verify", "rollback"}) {
    ProcessResult r = Attrs({command});
    EXPECT_EQ(r.exitCode, attrs::kExitRefused) << r.err;
    EXPECT_NE(r.err.find("entry 2 was interrupted"), std::string::npos) << r.err;
    EXPECT_TRUE(writes_.empty());
  }
  Run({"rollback", "--force"}, 0);
  std::vector<uint8_t> back = original;
  back[kMain002] = 20;
  EXPECT_EQ(SetupBytes(), back);
}

// In process: a hundred and one sets keep a hundred entries; the mount records its writes, a new
// password by name only.
TEST_F(JournalThroughEmulator, KeepsTheNewestHundredAndRecordsTheMountsWrites) {
  Start();
  setenv("KESTREL_SYSFS_FIRMWARE", emu_->root().c_str(), 1);
  attrs::Session session;
  ASSERT_TRUE(session.Open({}));
  attrs::JournalOptions options;
  options.directory = dir_ / "journal";
  options.bootIdFile = dir_ / "boot_id";
  WriteFileText(options.bootIdFile, "boot-1\n");
  for (int i = 0; i <= 100; ++i) {
    attrs::JournalRecorder recorder(session.Setup(), options, "set");
    attrs::Outcome outcome =
        attrs::SetAttributes(session.Setup(), {{"MAIN002", Json(20 + i % 2)}}, false, false, true, &recorder.Observer());
    ASSERT_EQ(outcome.status, 0) << outcome.report.dump();
    ASSERT_EQ(recorder.EntryId(), static_cast<uint64_t>(i + 1));
  }
  attrs::Journal journal(options);
  std::vector<uint64_t> ids = journal.Ids();
  ASSERT_EQ(ids.size(), 100u);
  EXPECT_EQ(ids.front(), 2u);

#ifdef KESTREL_ATTRS_MOUNT
  attrs::AttributeTree tree(session.Setup(), "kestrel", &options);
  EXPECT_EQ(tree.Write("kestrel/attributes/MAIN002/current_value", "33\n"), 0);
  // A new password goes with the current one (any, while the emulated Setup has none).
  EXPECT_EQ(tree.Write("kestrel/authentication/SEC001/current_password", "Old-word1\n"), 0);
  EXPECT_EQ(tree.Write("kestrel/authentication/SEC001/new_password", "Pass-word9\n"), 0);
  std::string error;
  auto value = journal.Read(102, error);
  ASSERT_TRUE(value) << error;
  EXPECT_EQ(value->command, "mount");
  EXPECT_EQ(value->attributes[0].value, 33);
  auto password = journal.Read(103, error);
  ASSERT_TRUE(password) << error;
  ASSERT_EQ(password->attributes.size(), 1u);
  EXPECT_TRUE(password->attributes[0].password);
  EXPECT_TRUE(password->variables.empty());
  std::string text = ReadFileText(options.directory + "/00000103.json");
  EXPECT_EQ(text.find("Pass-word9"), std::string::npos);
  EXPECT_EQ(text.find("500061007300730077"), std::string::npos);  // nor as UTF-16 in hexadecimal
#endif
  unsetenv("KESTREL_SYSFS_FIRMWARE");
}

}  // namespace
}  // namespace kes::test
