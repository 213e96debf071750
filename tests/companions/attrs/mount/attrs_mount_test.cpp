// kestrel-attrs mount over the firmware emulator serving the demo firmware, driven by Debian's
// fwupdtool (FWUPD_SYSFSFWATTRIBDIR pointed at the mount) and by plain shell clients: what they
// read, what reaches the variables (the emulator's request log) and what a script export shows.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "companions/attrs/documents.h"
#include "devtools/hiibuild/generators.h"

extern char** environ;

namespace kes::test {
namespace {

using attrs::Json;

// `kestrel-attrs mount` running in the foreground on a fresh mount point; unmounted (and its
// exit status kept) by Stop() or the destructor.
class AttrsMount {
 public:
  AttrsMount(const std::string& firmwareRoot, const std::string& work) : mountPoint_(work + "/attrs"), log_(work + "/mount.log") {
    MakeDirs(mountPoint_);
    std::string program = KESTREL_ATTRS_PATH;
    // The mount's journal is the test's own.
    std::string env = "KESTREL_SYSFS_FIRMWARE=" + firmwareRoot, state = "KESTREL_STATE_DIR=" + work + "/journal";
    std::vector<std::string> argvText{program, "mount", mountPoint_};
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<char*> envp{env.data(), state.data()};
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("KESTREL_SYSFS_FIRMWARE=", 0) != 0 && std::string(*e).rfind("KESTREL_STATE_DIR=", 0) != 0)
        envp.push_back(*e);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 2, 1);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    struct stat st {};
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      if (stat(Attributes().c_str(), &st) == 0) return;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    failure_ = "kestrel-attrs mount did not come up:\n" + ReadFileText(log_);
  }
  ~AttrsMount() { Stop(); }

  ::testing::AssertionResult Started() const {
    if (failure_.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << failure_;
  }
  const std::string& root() const { return mountPoint_; }
  std::string Attributes() const { return mountPoint_ + "/kestrel/attributes"; }
  std::string Log() const { return ReadFileText(log_); }

  // Unmounts and returns the mount's exit status.
  int Stop() {
    if (pid_ <= 0) return status_;
    RunProcess({"fusermount3", "-u", mountPoint_});
    int status = 0;
    for (int i = 0; i < 1000 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
      RunProcess({"fusermount3", "-u", "-z", mountPoint_});
    }
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

 private:
  std::string mountPoint_, log_;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string failure_;
};

class AttrsMountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(access("/dev/fuse", R_OK | W_OK), 0) << "/dev/fuse is not usable here: these tests need FUSE";
    hiibuild::EmulatorImage image = hiibuild::BuildDemoFirmware();
    image.config += Config();
    ASSERT_EQ(hiibuild::WriteEmulatorImage(dir_ / "image", image), "");
    emu_ = std::make_unique<Emulator>(dir_ / "image");
    ASSERT_TRUE(emu_->Started()) << emu_->Output();
    BeforeMount();
    mount_ = std::make_unique<AttrsMount>(emu_->root(), dir_.path());
    ASSERT_TRUE(mount_->Started());
  }
  void TearDown() override {
    if (mount_) {
      EXPECT_EQ(mount_->Stop(), 0) << mount_->Log();
    }
  }
  virtual std::string Config() { return ""; }
  virtual void BeforeMount() {}

  // Variables written since the last call, "Name" each (" refused" when the firmware refused
  // it); password and mailbox variables left out.
  std::vector<std::string> NewWrites() {
    std::vector<std::string> out;
    std::vector<std::string> log = emu_->RequestLog();
    for (size_t i = seen_; i < log.size(); ++i) {
      const std::string& line = log[i];
      if (line.rfind("set ", 0) != 0 || line.rfind("set KMBX-", 0) == 0 || line.rfind("set $", 0) == 0) continue;
      out.push_back(line.substr(4, line.find('-') - 4) + (line.find("status=0x0") != std::string::npos ? "" : " refused"));
    }
    seen_ = log.size();
    return out;
  }

  ProcessResult Fwupd(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"fwupdtool"};
    argv.insert(argv.end(), args.begin(), args.end());
    // A lock directory of its own: fwupdtool refuses to run while another instance holds its lock.
    MakeDirs(dir_ / "fwupd-lock");
    ProcessResult r = RunProcess(
        argv, {.env = {{"FWUPD_SYSFSFWATTRIBDIR", mount_->root()}, {"FWUPD_LOCKDIR", dir_ / "fwupd-lock"}}, .timeoutSeconds = 180});
    if (r.exitCode == 127) ADD_FAILURE() << "fwupdtool is not installed (scripts/install-deps.sh installs fwupd)";
    return r;
  }
  ProcessResult Shell(const std::string& command) {
    return RunProcess({"bash", "-c", command}, {.workingDirectory = mount_->Attributes()});
  }
  std::string Value(const std::string& name) { return ReadFileText(mount_->Attributes() + "/" + name + "/current_value"); }
  std::string Export() {
    ProcessResult r = RunTool({"/o", "/s", dir_ / "script.txt"}, {.env = emu_->Env()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return ReadFileText(dir_ / "script.txt");
  }

  TempDir dir_;
  std::unique_ptr<Emulator> emu_;
  std::unique_ptr<AttrsMount> mount_;
  size_t seen_ = 0;
};

// What `kestrel-attrs get` shows, as current_value spells it.
std::string AbiText(const Json& value, bool list) {
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  if (value.is_number()) return value.dump();
  std::string text = value.is_string() ? value.get<std::string>() : "";
  if (list)
    for (char& c : text)
      if (c == ',') c = ';';
  return text;
}

TEST_F(AttrsMountTest, FwupdListsEveryAttributeWithItsTypeValueAndBounds) {
  ProcessResult listed = Fwupd({"get-bios-settings", "--json"});
  ASSERT_EQ(listed.exitCode, 0) << listed.out << listed.err;
  Json settings = Json::parse(listed.out)["BiosSettings"];
  ProcessResult got = RunProcess({KESTREL_ATTRS_PATH, "get"}, {.env = emu_->Env()});
  ProcessResult registry = RunProcess({KESTREL_ATTRS_PATH, "registry"}, {.env = emu_->Env()});
  ASSERT_EQ(got.exitCode, 0) << got.err;
  Json current = Json::parse(got.out)["Attributes"];
  std::map<std::string, Json> entries;
  Json all = Json::parse(registry.out);
  for (const Json& e : all["RegistryEntries"]["Attributes"]) entries[e["AttributeName"]] = e;

  // Every attribute Setup shows, and pending_reboot; passwords are under authentication/.
  size_t shown = 0;
  for (const auto& [name, e] : entries) shown += !e.value("Hidden", false) && e["Type"] != "Password";
  EXPECT_EQ(settings.size(), shown + 1);
  for (const Json& s : settings) {
    std::string name = s["Name"];
    SCOPED_TRACE(name);
    if (name == "pending_reboot") {
      EXPECT_EQ(s["BiosSettingCurrentValue"], "0");
      continue;
    }
    ASSERT_TRUE(entries.count(name));
    const Json& e = entries[name];
    bool list = e.contains("ValueExpression") && e["ValueExpression"].get<std::string>().find(",") != std::string::npos;
    // What cannot be changed carries the mark fwupd takes for read-only.
    const Json& oem = e["Oem"]["Kestrel"];
    bool showOnly = e.value("ReadOnly", false) || e.value("GrayOut", false) || !oem.value("Settable", true);
    EXPECT_EQ(s["BiosSettingCurrentValue"], AbiText(current[name], list) + (showOnly ? "[Status:ShowOnly]" : ""));
    EXPECT_EQ(s["BiosSettingReadOnly"], showOnly);
    EXPECT_EQ(s["Description"], e["DisplayName"]);
    std::string type = e["Type"];
    if (type == "Enumeration") {
      EXPECT_EQ(s["BiosSettingType"], e["Value"].size() > 1 ? 1 : 0);  // fwupd needs a ";" to see a list
      if (e["Value"].size() > 1) {
        ASSERT_EQ(s["BiosSettingPossibleValues"].size(), e["Value"].size());
        for (size_t i = 0; i < e["Value"].size(); ++i) EXPECT_EQ(s["BiosSettingPossibleValues"][i], e["Value"][i]["ValueName"]);
      }
    } else if (type == "Integer" && e["LowerBound"].get<int64_t>() >= 0) {
      EXPECT_EQ(s["BiosSettingType"], 2);
      EXPECT_EQ(s["BiosSettingLowerBound"], e["LowerBound"]);
      EXPECT_EQ(s["BiosSettingUpperBound"], e["UpperBound"]);
    } else if (type == "Integer") {
      // A signed range is a string to fwupd, which would read -128 as 18446744073709551488.
      EXPECT_EQ(s["BiosSettingType"], 3);
      EXPECT_EQ(s.dump().find("18446744073709551"), std::string::npos) << s;
    } else if (type == "Boolean") {
      EXPECT_EQ(s["BiosSettingType"], 2);
      EXPECT_EQ(s["BiosSettingUpperBound"], 1);
    } else if (type == "String" && e.contains("MaxLength") && !list) {
      EXPECT_EQ(s["BiosSettingType"], 3);
      EXPECT_EQ(s["BiosSettingUpperBound"], e["MaxLength"]);
    }
  }
}

TEST_F(AttrsMountTest, FwupdSetsValuesAndRefusalsLeaveTheVariablesAlone) {
  struct Case {
    std::vector<std::string> args;
    bool accepted;
    std::vector<std::string> writes;
    const char* said;  // in fwupdtool's output
  };
  const Case cases[] = {
      {{"MAIN002", "20"}, true, {"Setup"}, ""},
      {{"PROC001", "Disabled"}, true, {"Setup"}, ""},
      {{"SVC001", "KST-0099"}, true, {"ServiceInfo"}, ""},
      {{"MAIN002", "61"}, false, {}, "too big"},
      {{"PROC001", "Maybe"}, false, {}, "possible values"},
      {{"SVC001", "ABCDEFGHIJKLMNOPQRSTU"}, false, {}, "too long"},
      // fwupd reads 0x14 as 20; the mount takes decimal text only.
      {{"MAIN002", "0x14"}, false, {}, "Invalid argument"},
  };
  NewWrites();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + "=" + c.args[1]);
    ProcessResult r = Fwupd({"set-bios-setting", c.args[0], c.args[1]});
    EXPECT_EQ(r.exitCode == 0, c.accepted) << r.out << r.err;
    EXPECT_NE((r.out + r.err).find(c.said), std::string::npos) << r.out << r.err;
    EXPECT_EQ(NewWrites(), c.writes);
  }
  std::string script = Export();
  size_t timeout = script.find("= Setup Idle Timeout\n"), ht = script.find("= Hyper-Threading\n");
  ASSERT_NE(timeout, std::string::npos);
  ASSERT_NE(ht, std::string::npos);
  EXPECT_NE(script.find("Value\t=<20>", timeout), std::string::npos);
  EXPECT_LT(script.find("*[00]Disabled", ht), script.find("Setup Question", ht + 1));
  EXPECT_NE(script.find("KST-0099"), std::string::npos);
  // Hyper-Threading asks for a reset.
  EXPECT_EQ(ReadFileText(mount_->Attributes() + "/pending_reboot"), "1\n");
}

TEST_F(AttrsMountTest, ShellClientsWriteWholeValuesAndGetErrnoForBadOnes) {
  struct Case {
    const char* command;
    const char* attribute;
    const char* value;   // current_value afterwards
    std::vector<std::string> writes;
    const char* error;   // in bash's message; empty when the write succeeds
  };
  const Case cases[] = {
      {"echo 30 > MAIN002/current_value", "MAIN002", "30\n", {"Setup"}, ""},
      {"printf 40 > MAIN002/current_value", "MAIN002", "40\n", {"Setup"}, ""},
      {"echo 40 > MAIN002/current_value", "MAIN002", "40\n", {}, ""},  // the value already holds
      {"printf Disabled | dd of=PROC001/current_value bs=64 seek=1 conv=notrunc status=none", "PROC001", "Disabled\n",
       {"Setup"}, ""},
      {"echo > SVC002/current_value", "SVC002", "\n", {"ServiceInfo"}, ""},
      {"echo 'Boot0001;Boot0000;Boot0002;Boot000A' > BOOTORDER/current_value", "BOOTORDER",
       "Boot0001;Boot0000;Boot0002;Boot000A\n", {"BootOrder"}, ""},
      {"echo fra > LANG001/current_value", "LANG001", "fra\n", {"Lang"}, ""},
      {"echo 61 > MAIN002/current_value", "MAIN002", "40\n", {}, "Invalid argument"},
      {"echo -1 > MAIN002/current_value", "MAIN002", "40\n", {}, "Invalid argument"},
      {"echo +4x > MAIN002/current_value", "MAIN002", "40\n", {}, "Invalid argument"},
      {"echo Maybe > PROC001/current_value", "PROC001", "Disabled\n", {}, "Invalid argument"},
      {"echo 2025-02-30 > SVC004/current_value", "SVC004", "2024-03-15\n", {}, "Invalid argument"},
      {"echo 'Boot0001;Boot0001' > BOOTORDER/current_value", "BOOTORDER", "Boot0001;Boot0000;Boot0002;Boot000A\n", {},
       "Invalid argument"},
      {"echo Boot000A > BOOTORDER/current_value", "BOOTORDER", "Boot000A;Boot0001;Boot0000;Boot0002\n", {"BootOrder"}, ""},
      {"echo 3 > PWR004/current_value", "PWR004", nullptr, {}, "Operation not permitted"},
      {"echo x > MAIN002/type", "MAIN002", "40\n", {}, "Permission denied"},
      {"echo bogus > reset_bios", "MAIN002", "40\n", {}, "Invalid argument"},
      // A value outside the bounds max_value shows is refused, never stored cut to its width.
      {"echo 200 > PWR022/current_value", "PWR022", nullptr, {}, "Invalid argument"},
      // bash writes the value and the blank line after it separately: the lone line end is no
      // second value. CR LF is a line end; a CR elsewhere is no part of a value.
      {"printf 'Rack 9\\n\\n' > SVC001/current_value", "SVC001", "Rack 9\n", {"ServiceInfo"}, ""},
      {"printf 'Lab\\r\\n' > SVC002/current_value", "SVC002", "Lab\n", {"ServiceInfo"}, ""},
      {"printf 'Lab 2\\r' > SVC002/current_value", "SVC002", "Lab\n", {}, "Invalid argument"},
  };
  NewWrites();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ProcessResult r = Shell(c.command);
    EXPECT_EQ(r.exitCode == 0, *c.error == 0) << r.err;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    if (c.value) {
      EXPECT_EQ(Value(c.attribute), c.value);
    }
    EXPECT_EQ(NewWrites(), c.writes);
  }
  EXPECT_NE(mount_->Log().find("PWR022: refused: out of bounds: 200 is above the upper bound; the value must be from "
                               "-128 to 127"),
            std::string::npos)
      << mount_->Log();
  // Names without the firmware's "%d"; a legacy group lists its devices; what cannot change says so.
  EXPECT_EQ(ReadFileText(mount_->Attributes() + "/BOOTORDER/display_name"), "Boot Option #\n");
  EXPECT_EQ(ReadFileText(mount_->Attributes() + "/BBS_TYPE_HARDDRIVE_Legacy_Boot_Priorities/elements"), "0000;0001\n");
  EXPECT_EQ(ReadFileText(mount_->Attributes() + "/BBS_TYPE_HARDDRIVE_Legacy_Boot_Priorities/current_value"),
            "0000;0001[Status:ShowOnly]\n");
  // A value written behind the mount reads back new.
  ProcessResult set = RunProcess({KESTREL_ATTRS_PATH, "set", "MAIN002=15"}, {.env = emu_->Env()});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  EXPECT_EQ(Value("MAIN002"), "15\n");

  // reset_bios loads the BIOS defaults into every question in one commit.
  EXPECT_EQ(ReadFileText(mount_->Attributes() + "/reset_bios"), "builtinsafe factory\n");
  NewWrites();
  ProcessResult reset = Shell("echo builtinsafe > reset_bios");
  EXPECT_EQ(reset.exitCode, 0) << reset.err << mount_->Log();
  EXPECT_EQ(Value("MAIN002"), "0\n");
  EXPECT_EQ(Value("PROC001"), "Enabled\n");
  std::vector<std::string> writes = NewWrites();
  EXPECT_EQ(std::count(writes.begin(), writes.end(), "Setup"), 1) << ::testing::PrintToString(writes);
  EXPECT_EQ(ReadFileText(mount_->Attributes() + "/reset_bios"), "[builtinsafe] factory\n");
  EXPECT_EQ(ReadFileText(mount_->Attributes() + "/pending_reboot"), "1\n");

  // reset_bios starts from the firmware's values too: PROC001 changed behind the mount, and not
  // read through it since, gets its default back.
  set = RunProcess({KESTREL_ATTRS_PATH, "set", "PROC001=Disabled"}, {.env = emu_->Env()});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  reset = Shell("echo builtinsafe > reset_bios");
  EXPECT_EQ(reset.exitCode, 0) << reset.err << mount_->Log();
  EXPECT_EQ(Value("PROC001"), "Enabled\n");
}

TEST_F(AttrsMountTest, ADetachedMountLogsWhyAWriteWasRefused) {
  // The test's own log socket stands for /dev/log.
  std::string socketPath = dir_ / "log.sock", point = dir_ / "detached";
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  MakeDirs(point);
  auto env = emu_->Env();
  env["KESTREL_SYSLOG_SOCKET"] = socketPath;
  ProcessResult started = RunProcess({KESTREL_ATTRS_PATH, "mount", "--detach", point}, {.env = env});
  ASSERT_EQ(started.exitCode, 0) << started.err;
  ProcessResult refused = Shell("echo Maybe > " + point + "/kestrel/attributes/PROC001/current_value");
  EXPECT_NE(refused.err.find("Invalid argument"), std::string::npos) << refused.err;
  RunProcess({"fusermount3", "-u", point});
  pollfd wait{fd, POLLIN, 0};
  std::string line;
  if (poll(&wait, 1, 10000) == 1) {
    char buffer[2048];
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) line.assign(buffer, static_cast<size_t>(n));
  }
  close(fd);
  EXPECT_EQ(line.rfind("<28>kestrel-attrs[", 0), 0u) << line;
  EXPECT_NE(line.find("]: " + point + ": PROC001: refused: not an option: \"Maybe\""), std::string::npos) << line;
}

class ProtectedMountTest : public AttrsMountTest {
  std::string Config() override { return "admin_password = pw\nprotected_variables = Setup\n"; }
};

TEST_F(ProtectedMountTest, FirmwareRefusalsAreTheSystemsErrorAndThePasswordUnlocks) {
  std::string auth = mount_->root() + "/kestrel/authentication/";
  EXPECT_EQ(ReadFileText(auth + "SEC001/role"), "bios-admin\n");
  EXPECT_EQ(ReadFileText(auth + "SEC001/mechanism"), "password\n");
  NewWrites();
  struct Case {
    const char* command;
    const char* error;
    std::vector<std::string> writes;
  };
  const Case cases[] = {
      {"echo 20 > MAIN002/current_value", "Permission denied", {"Setup refused"}},
      {"cat ../authentication/SEC001/current_password", "Permission denied", {}},
      {"echo wrong > ../authentication/SEC001/current_password", "Permission denied", {}},
      {"echo pw > ../authentication/SEC001/current_password", "", {}},
      {"echo 20 > MAIN002/current_value", "", {"Setup"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ProcessResult r = Shell(c.command);
    EXPECT_EQ(r.exitCode == 0, *c.error == 0) << r.err << mount_->Log();
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(NewWrites(), c.writes);
  }
  EXPECT_EQ(Value("MAIN002"), "20\n");
}



// A D-Bus of the test's own on which fwupd's daemon and polkitd are started on demand, as the
// system bus starts them; the daemon reads the attributes from the mount, and its state,
// configuration and locks live in the test's directory. The bus and everything it started form
// one process group, ended with it.
class PrivateSystemBus {
 public:
  PrivateSystemBus(const std::string& dir, const std::string& attributes) : socket_(dir + "/bus") {
    MakeDirs(dir + "/services");
    WriteFileText(dir + "/bus.conf",
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig>\n"
                  "  <type>session</type>\n  <listen>unix:path=" + socket_ + "</listen>\n"
                  "  <servicedir>" + dir + "/services</servicedir>\n"
                  "  <policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                  "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/></policy>\n"
                  "</busconfig>\n");
    WriteFileText(dir + "/services/org.freedesktop.fwupd.service",
                  "[D-BUS Service]\nName=org.freedesktop.fwupd\nExec=/usr/libexec/fwupd/fwupd\n");
    WriteFileText(dir + "/services/org.freedesktop.PolicyKit1.service",
                  "[D-BUS Service]\nName=org.freedesktop.PolicyKit1\nExec=/usr/lib/polkit-1/polkitd --no-debug\n");
    std::vector<std::string> env{"FWUPD_SYSFSFWATTRIBDIR=" + attributes};
    for (const char* kind : {"FWUPD_SYSCONFDIR", "FWUPD_LOCALSTATEDIR", "CACHE_DIRECTORY", "STATE_DIRECTORY",
                             "FWUPD_LOCKDIR", "FWUPD_RUNDIR"}) {
      std::string path = dir + "/fwupd/" + kind;
      MakeDirs(path);
      env.push_back(std::string(kind) + "=" + path);
    }
    // The services it starts take it for the system bus (fwupd reaches polkitd there).
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + Address());
    for (char** e = environ; *e; ++e)
      if (std::string(*e).rfind("DBUS_", 0) != 0) env.push_back(*e);
    std::vector<std::string> argvText{"dbus-daemon", "--nofork", "--config-file=" + dir + "/bus.conf"};
    std::vector<char*> argv, envp;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    if (posix_spawnp(&pid_, "dbus-daemon", nullptr, &attr, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
    struct stat st {};
    for (int i = 0; pid_ > 0 && i < 500 && stat(socket_.c_str(), &st) != 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ~PrivateSystemBus() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool Started() const {
    struct stat st {};
    return pid_ > 0 && stat(socket_.c_str(), &st) == 0;
  }
  std::string Address() const { return "unix:path=" + socket_; }

 private:
  std::string socket_;
  pid_t pid_ = -1;
};

// fwupd's daemon over the mount, on the test's own bus: the mount and the test's clients reach
// that bus through DBUS_SYSTEM_BUS_ADDRESS.
class FwupdDaemonTest : public AttrsMountTest {
 protected:
  void BeforeMount() override {
    ASSERT_EQ(access("/usr/libexec/fwupd/fwupd", X_OK), 0) << "fwupd is not installed (scripts/install-deps.sh)";
    // polkitd runs as its own user and must reach the bus's socket.
    MakeDirs(dir_ / "dbus");
    chmod(dir_.path().c_str(), 0711);
    chmod((dir_ / "dbus").c_str(), 0711);
    bus_ = std::make_unique<PrivateSystemBus>(dir_ / "dbus", dir_ / "attrs");
    ASSERT_TRUE(bus_->Started());
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_->Address().c_str(), 1);
  }
  void TearDown() override {
    AttrsMountTest::TearDown();
    bus_.reset();
  }
  // What `fwupdmgr get-bios-settings` shows of `name`.
  Json Daemon(const std::string& name) {
    ProcessResult r = RunProcess({"fwupdmgr", "get-bios-settings", "--json", name}, {.timeoutSeconds = 60});
    if (r.exitCode != 0) return Json{{"failed", r.out + r.err}};
    Json all = Json::parse(r.out, nullptr, false);
    return all.is_object() && all["BiosSettings"].size() == 1 ? all["BiosSettings"][0] : Json{{"failed", r.out}};
  }
  // The daemon's value of `name` once it reads `want`, or the last it read after 30 s: it is
  // asked to quit after each change and started afresh by the next request, which takes a few
  // seconds.
  std::string DaemonValue(const std::string& name, const std::string& want) {
    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    do {
      Json s = Daemon(name);
      seen = s.value("BiosSettingCurrentValue", s.dump());
      if (seen == want) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    } while (std::chrono::steady_clock::now() < deadline);
    return seen;
  }
  std::unique_ptr<PrivateSystemBus> bus_;
};

TEST_F(FwupdDaemonTest, SeesChangesMadeBehindItAndShowsWhatCannotChange) {
  EXPECT_EQ(DaemonValue("PROC001", "Enabled"), "Enabled");
  // Through the mount, through kestrel-attrs set (another process) and through fwupd itself.
  ASSERT_EQ(Shell("echo Disabled > PROC001/current_value").exitCode, 0) << mount_->Log();
  EXPECT_EQ(DaemonValue("PROC001", "Disabled"), "Disabled");
  ProcessResult set = RunProcess({KESTREL_ATTRS_PATH, "set", "PROC001=Enabled"}, {.env = emu_->Env()});
  ASSERT_EQ(set.exitCode, 0) << set.err;
  EXPECT_EQ(DaemonValue("PROC001", "Enabled"), "Enabled");
  ProcessResult own = RunProcess({"fwupdmgr", "set-bios-setting", "MAIN002", "25"}, {.timeoutSeconds = 120});
  EXPECT_EQ(own.exitCode, 0) << own.out << own.err;
  EXPECT_EQ(Value("MAIN002"), "25\n");
  EXPECT_EQ(DaemonValue("MAIN002", "25"), "25");
  // A setting that cannot be changed reads as read-only; a signed range is no huge number.
  EXPECT_EQ(Daemon("PWR004").value("BiosSettingReadOnly", false), true) << Daemon("PWR004");
  EXPECT_EQ(Daemon("PWR022").value("BiosSettingType", 0), 3) << Daemon("PWR022");
}

}  // namespace
}  // namespace kes::test
