// kestrel-attrs against the firmware emulator serving the demo firmware: what set writes (the
// emulator's request log), what a script export and get show afterwards, refusals, the dry run,
// failed writes and protected variables.
#include <gtest/gtest.h>

#include <map>
#include <memory>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"
#include "tests/companions/attrs/attrs_images.h"
#include "companions/attrs/documents.h"
#include "devtools/hiibuild/generators.h"

namespace kes::test {
namespace {

using attrs::Json;

class AttrsThroughEmulator : public ::testing::Test {
 protected:
  void Start(const std::string& config = "") {
    hiibuild::EmulatorImage image = hiibuild::BuildDemoFirmware();
    image.config += config;
    emu_.reset();
    ASSERT_EQ(hiibuild::WriteEmulatorImage(dir_ / "image", image), "");
    emu_ = std::make_unique<Emulator>(dir_ / "image");
    ASSERT_TRUE(emu_->Started()) << emu_->Output();
  }

  // Runs kestrel-attrs on the emulator; the variables it wrote are in writes_.
  ProcessResult Attrs(std::vector<std::string> args) {
    size_t before = Writes().size();
    args.insert(args.begin(), KESTREL_ATTRS_PATH);
    ProcessResult r = RunProcess(args, {.env = emu_->Env()});
    std::vector<std::string> all = Writes();
    writes_.assign(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
    return r;
  }

  // One "Name" per variable write (" refused" when the firmware refused it), password and
  // mailbox variables left out.
  std::vector<std::string> Writes() const {
    std::vector<std::string> out;
    for (const std::string& line : emu_->RequestLog()) {
      if (line.rfind("set ", 0) != 0 || line.rfind("set KMBX-", 0) == 0 || line.rfind("set $", 0) == 0) continue;
      out.push_back(line.substr(4, line.find('-') - 4) + (line.find("status=0x0") != std::string::npos ? "" : " refused"));
    }
    return out;
  }

  Json Get(const std::vector<std::string>& names) {
    std::vector<std::string> args{"get"};
    args.insert(args.end(), names.begin(), names.end());
    ProcessResult r = Attrs(args);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return Json::parse(r.out)["Attributes"];
  }

  TempDir dir_;
  std::unique_ptr<Emulator> emu_;
  std::vector<std::string> writes_;
};

TEST_F(AttrsThroughEmulator, SetWritesEachChangedVariableOnceAndTheExportShowsIt) {
  Start();
  // Live and offline read the same firmware the same way.
  ProcessResult live = Attrs({"registry"});
  ProcessResult offline = Attrs({"--hii", dir_ / "image/hii.bin", "--vars", dir_ / "image/vars", "registry"});
  ASSERT_EQ(live.exitCode, 0) << live.err;
  EXPECT_EQ(live.out, offline.out);
  ProcessResult before = Attrs({"get", "-o", dir_ / "before.json"});
  ASSERT_EQ(before.exitCode, 0) << before.err;

  ProcessResult set = Attrs({"set", "MAIN002=20", "SVC004=2025-01-02", "PROC001=Disabled"});
  ASSERT_EQ(set.exitCode, 0) << set.out << set.err;
  Json report = Json::parse(set.out);
  EXPECT_EQ(report["Changed"].size(), 3u) << set.out;
  EXPECT_EQ(report["Changed"][2], (Json{{"AttributeName", "PROC001"}, {"OldValue", "Enabled"}, {"NewValue", "Disabled"}}));
  EXPECT_EQ(report["ResetRequired"], true);  // Hyper-Threading asks for a reset
  EXPECT_EQ(writes_, (std::vector<std::string>{"Setup", "ServiceInfo"}));

  Json now = Get({"SVC004", "MAIN002", "PROC001"});
  EXPECT_EQ(now.dump(), R"({"MAIN002":20,"SVC004":"2025-01-02","PROC001":"Disabled"})");
  ProcessResult exported = RunTool({"/o", "/s", dir_ / "script.txt"}, {.env = emu_->Env()});
  ASSERT_EQ(exported.exitCode, 0) << exported.err;
  std::string script = ReadFileText(dir_ / "script.txt");
  for (const char* text : {"= Setup Idle Timeout\n", "= Last Service Date\n", "= Hyper-Threading\n"})
    ASSERT_NE(script.find(text), std::string::npos) << text;
  EXPECT_NE(script.find("Value\t=<20>", script.find("= Setup Idle Timeout\n")), std::string::npos);
  EXPECT_NE(script.find("Date\t=01-02-2025", script.find("= Last Service Date\n")), std::string::npos);
  size_t ht = script.find("= Hyper-Threading\n");
  EXPECT_LT(script.find("*[00]Disabled", ht), script.find("Setup Question", ht + 1));

  // Values that already hold, a read-only one included: nothing to write, success.
  ProcessResult again = Attrs({"set", "MAIN002=20", "PROC001=Disabled", "PWR004=39"});
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_EQ(Json::parse(again.out)["Unchanged"].size(), 3u);
  EXPECT_TRUE(writes_.empty());

  // diff: a document against itself, and the one taken before against the live system.
  ProcessResult same = Attrs({"diff", dir_ / "before.json", dir_ / "before.json"});
  EXPECT_EQ(same.exitCode, 0);
  EXPECT_EQ(Json::parse(same.out)["Differences"].size(), 0u);
  ProcessResult changed = Attrs({"diff", dir_ / "before.json"});
  EXPECT_EQ(changed.exitCode, 1) << changed.err;
  // PWR001 is a second Hyper-Threading question over the same byte.
  EXPECT_EQ(Json::parse(changed.out)["Differences"].size(), 4u) << changed.out;
  EXPECT_NE(changed.out.find("\"AttributeName\": \"PWR001\""), std::string::npos);
  ProcessResult defaults = Attrs({"diff", "--from-defaults"});
  EXPECT_EQ(defaults.exitCode, 1) << defaults.err;
  EXPECT_NE(defaults.out.find("\"AttributeName\": \"MAIN002\""), std::string::npos);
}

TEST_F(AttrsThroughEmulator, RefusedValuesLeaveEveryVariableAsItWas) {
  Start();
  WriteFileText(dir_ / "wrong-type.json", R"({"Attributes": {"MAIN002": "ten", "MAIN001": "Standard"}})");
  WriteFileText(dir_ / "nul.json", R"({"Attributes": {"SVC001": "\u0000XY"}})");
  struct Case {
    std::vector<std::string> args;
    const char* refused;
    const char* reason;
  };
  const Case cases[] = {
      {{"MAIN002=99", "MAIN001=Standard"}, "MAIN002", "the value must be from 0 to 60"},
      {{"MAIN001=Foo", "MAIN002=20"}, "MAIN001", "not an option"},
      {{"--file", dir_ / "wrong-type.json"}, "MAIN002", "wrong type"},
      {{"PROC009=maybe"}, "PROC009", "wrong type"},
      {{"PWR004=3"}, "PWR004", "read-only"},
      {{"SVC004=2024-02-30"}, "SVC004", "is invalid"},
      {{"SEC011=SHA_1,SHA_1,SHA_256"}, "SEC011", "is invalid"},
      {{"NOSUCH=1"}, "NOSUCH", "no attribute of this name"},
      // Checked before anything is written: a string the firmware would cut at its NUL, signed
      // values above their bounds (stored cut to the width, they would read -56, -1, -1).
      {{"--file", dir_ / "nul.json"}, "SVC001", "holds U+0000"},
      {{"PWR022=200"}, "PWR022", "200 is above the upper bound; the value must be from -128 to 127"},
      {{"PWR021=65535"}, "PWR021", "the value must be from -250 to 250"},
      {{"PWR023=4294967295"}, "PWR023", "the value must be from -5000 to 5000"},
      {{"PWR022=-129"}, "PWR022", "below the lower bound"},
      {{"MAIN01=1"}, "MAIN01", "no attribute of this name; nearest: MAIN001, MAIN002"},
      {{"PROC001=Disabled", "PWR001=Enabled"}, "PWR001", "shares its variable bytes with PROC001"},
      {{"MAIN002=20", "MAIN002=21"}, "MAIN002", "given more than once"},
      {{"BOOTORDER=Boot0001,Boot0001"}, "BOOTORDER", "Boot0001 is listed more than once"},
      {{"BOOTORDER=Boot0009"}, "BOOTORDER", "Boot0009 is not a boot option"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.refused);
    std::vector<std::string> args{"set"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProcessResult r = Attrs(args);
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_TRUE(writes_.empty());
    Json report = Json::parse(r.out);
    ASSERT_EQ(report["Refused"].size(), 1u) << r.out;
    EXPECT_EQ(report["Refused"][0]["AttributeName"], c.refused);
    EXPECT_NE(report["Refused"][0]["Reason"].get<std::string>().find(c.reason), std::string::npos) << r.out;
    EXPECT_TRUE(report["Changed"].empty());
  }
  // The dry run reports the change and writes nothing.
  ProcessResult dry = Attrs({"set", "--dry-run", "MAIN002=30"});
  EXPECT_EQ(dry.exitCode, 0) << dry.err;
  EXPECT_EQ(Json::parse(dry.out)["Changed"][0]["NewValue"], 30);
  EXPECT_TRUE(writes_.empty());
  EXPECT_EQ(Get({"MAIN002", "MAIN001"}).dump(), R"({"MAIN001":"Advanced","MAIN002":10})");
}

TEST_F(AttrsThroughEmulator, FailedWritesAndProtectedVariables) {
  struct Case {
    const char* name;
    std::string config;
    std::vector<std::string> password;
    int status;
    std::vector<std::string> writes;
    size_t failed;
    const char* reason;  // of the failure, in the JSON report
  };
  const Case cases[] = {
      {"failing variable", "failing_variables = ServiceInfo\n", {}, 4, {"Setup", "ServiceInfo refused"}, 1,
       "writing the variable failed"},
      {"protected without the password", "admin_password = pw\nprotected_variables = Setup\n", {}, 4,
       {"Setup refused", "ServiceInfo"}, 1,
       "writing the variable failed: Setup is protected; pass the current admin password (/cpwd PASSWORD or /cpwdf FILE)"},
      {"protected with the password", "admin_password = pw\nprotected_variables = Setup\n", {"/cpwd", "pw"}, 0,
       {"Setup", "ServiceInfo"}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start(c.config);
    std::vector<std::string> args = c.password;
    args.insert(args.end(), {"set", "MAIN002=20", "SVC004=2025-01-02"});
    ProcessResult r = Attrs(args);
    EXPECT_EQ(r.exitCode, c.status) << r.out << r.err;
    EXPECT_EQ(writes_, c.writes);
    Json failed = Json::parse(r.out)["Failed"];
    ASSERT_EQ(failed.size(), c.failed) << r.out;
    if (c.failed) {
      std::string reason = failed[0]["Reason"];
      EXPECT_EQ(reason.find(c.reason), 0u) << reason;
      EXPECT_EQ(reason.find("protected") != std::string::npos, c.config.find("protected") != std::string::npos);
    }
  }
}

// A partial boot order puts the options listed first, in that order, and the others after them
// in their current order (the demo's is Boot0000,Boot0002,Boot0001,Boot000A).
TEST_F(AttrsThroughEmulator, APartialBootOrderKeepsTheOthersInTheirOrder) {
  Start();
  const std::pair<const char*, const char*> cases[] = {
      {"Boot000A", "Boot000A,Boot0000,Boot0002,Boot0001"},
      {"Boot0001,Boot0002", "Boot0001,Boot0002,Boot000A,Boot0000"},
      {"Boot0000,Boot0002,Boot0001,Boot000A", "Boot0000,Boot0002,Boot0001,Boot000A"},
  };
  for (const auto& [given, order] : cases) {
    SCOPED_TRACE(given);
    ProcessResult r = Attrs({"set", std::string("BOOTORDER=") + given});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(Get({"BOOTORDER"})["BOOTORDER"], order);
    EXPECT_EQ(Json::parse(r.out)["Changed"][0]["NewValue"], order) << r.out;
  }
}


// The values of one request are checked together, on the state the whole request leaves, in
// either order: a value for an attribute that the request hides, grays out or disables is
// refused, naming the attribute whose new value does it, and nothing is written; a value for an
// attribute hidden now (itself, or its menu) that the request shows is taken. Both orders leave
// the same variables.
TEST_F(AttrsThroughEmulator, RequestsAreCheckedAsAWholeInEitherOrder) {
  struct Case {
    std::vector<std::string> values;
    const char* refused;  // null: accepted
    const char* reason;
  };
  const Case cases[] = {
      {{"SATA001=Disabled", "SATA003=false"}, "SATA003", "hidden after this request: the new value of SATA001 makes"},
      {{"PCIE003=false", "PCIE004=Gen3"}, "PCIE004", "grayed out after this request: the new value of PCIE003 makes"},
      {{"NB004=Disabled", "NB005=Enabled"}, "NB005", "hidden after this request: the new value of NB004 makes its disable-if"},
      {{"PWR013=Enabled", "PWR014=C6"}, nullptr, nullptr},
      {{"ADV001=Enabled", "DBG001=USB"}, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.values[0] + " " + c.values[1]);
    std::map<std::string, std::vector<uint8_t>> variables[2];
    for (int order = 0; order < 2; ++order) {
      Start();
      auto before = attrs::test_images::Variables(emu_->efivars());
      std::vector<std::string> args{"set"};
      if (order == 0) args.insert(args.end(), c.values.begin(), c.values.end());
      else args.insert(args.end(), c.values.rbegin(), c.values.rend());
      ProcessResult r = Attrs(args);
      variables[order] = attrs::test_images::Variables(emu_->efivars());
      Json report = Json::parse(r.out);
      if (!c.refused) {
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_EQ(report["Changed"].size(), 2u) << r.out;
        continue;
      }
      EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
      EXPECT_TRUE(writes_.empty());
      EXPECT_EQ(variables[order], before);
      ASSERT_EQ(report["Refused"].size(), 1u) << r.out;
      EXPECT_EQ(report["Refused"][0]["AttributeName"], c.refused);
      EXPECT_NE(report["Refused"][0]["Reason"].get<std::string>().find(c.reason), std::string::npos) << r.out;
    }
    EXPECT_EQ(variables[0], variables[1]);
  }
}

// plan writes nothing and predicts exactly the Hidden, GrayOut and ReadOnly the registry shows
// after the same values are set; a get document handed back afterwards writes nothing.
TEST_F(AttrsThroughEmulator, PlanPredictsTheRegistryAfterTheSet) {
  Start();
  const std::vector<std::string> values{"SATA001=Disabled", "PWR013=Enabled", "PWR003=Enabled", "PCIE003=false",
                                        "ADV001=Enabled", "NB004=Disabled", "PROC001=Disabled"};
  std::vector<std::string> args{"plan"};
  args.insert(args.end(), values.begin(), values.end());
  ProcessResult plan = Attrs(args);
  ASSERT_EQ(plan.exitCode, 0) << plan.out << plan.err;
  EXPECT_TRUE(writes_.empty());
  Json predicted = Json::parse(plan.out);
  for (const Json& r : predicted["requested"]) EXPECT_EQ(r["Result"], "applies") << r.dump();

  auto states = [&] {
    ProcessResult r = Attrs({"registry"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::map<std::string, Json> out;
    Json registry = Json::parse(r.out);
    for (const Json& a : registry["RegistryEntries"]["Attributes"])
      out[a["AttributeName"]] = Json{{"Hidden", a["Hidden"]}, {"GrayOut", a["GrayOut"]}, {"ReadOnly", a["ReadOnly"]}};
    return out;
  };
  auto before = states();
  args[0] = "set";
  ProcessResult set = Attrs(args);
  ASSERT_EQ(set.exitCode, 0) << set.out << set.err;
  auto after = states();
  Json changes = Json::object();
  for (const auto& [name, state] : before) {
    Json change = Json::object();
    for (const char* p : {"Hidden", "GrayOut", "ReadOnly"})
      if (state[p] != after[name][p]) change[p] = Json::array({state[p], after[name][p]});
    if (!change.empty()) changes[name] = change;
  }
  EXPECT_GT(changes.size(), 20u);
  // Compared whatever the order of the members.
  EXPECT_EQ(nlohmann::json::parse(predicted["changes"].dump()), nlohmann::json::parse(changes.dump()));

  ProcessResult get = Attrs({"get", "-o", dir_ / "now.json"});
  ASSERT_EQ(get.exitCode, 0) << get.err;
  ProcessResult again = Attrs({"set", "--file", dir_ / "now.json"});
  EXPECT_EQ(again.exitCode, 0) << again.out << again.err;
  EXPECT_TRUE(writes_.empty());
}

}  // namespace
}  // namespace kes::test
