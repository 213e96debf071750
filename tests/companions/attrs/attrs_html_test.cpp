// kestrel-attrs html without a browser: the machines' documents read for a compare page, the
// drift rows, the data kept safe inside the page's <script> element, and the command line. The
// pages themselves are tested in headless chromium (tests/companions/attrs/browser/).
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/test_support.h"
#include "companions/attrs/html.h"

namespace kes::attrs {
namespace {

struct DocumentCase {
  const char* what;
  std::string text;
  std::string name;        // the machine's name ("" when the document is refused)
  std::string values;      // its attributes as JSON
  std::string error;       // part of the refusal
};

TEST(HtmlMachineDocument, PlacesNamesAndRefusals) {
  const std::string deep = std::string(70, '[') + std::string(70, ']');
  const DocumentCase cases[] = {
      {"Bios resource", R"({"@odata.id":"x","Attributes":{"A":1,"B":"on","C":null}})", "node-1",
       R"({"A":1,"B":"on","C":null})", ""},
      {"facts as saved", R"({"registry":{"A":{"DisplayName":"Alpha"}},"attributes":{"A":true}})", "node-1",
       R"({"A":true})", ""},
      {"fact cache", R"({"ansible_hostname":"rack1","kestrel_bios":{"attributes":{"A":2}}})", "rack1", R"({"A":2})", ""},
      {"module result", R"({"changed":false,"ansible_facts":{"ansible_hostname":"r2","kestrel_bios":{"attributes":{"A":3}}}})",
       "r2", R"({"A":3})", ""},
      {"Bios before facts", R"({"attributes":{"A":1},"Attributes":{"A":2}})", "node-1", R"({"A":2})", ""},
      {"not JSON", "{\"Attributes\":", "", "", "not valid JSON"},
      {"no attributes", R"({"Registry":{}})", "", "", "holds no attributes"},
      {"array, not attributes", R"({"Attributes":[1,2]})", "", "", "holds no attributes"},
      {"value an object", R"({"Attributes":{"A":{"x":1}}})", "", "", "\"A\" is not a string, number"},
      {"repeated name", R"({"Attributes":{"A":1,"A":2}})", "", "", "\"A\" appears twice"},
      {"too deep", deep, "", "", "deeper than 64"},
  };
  for (const DocumentCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    auto machine = ReadMachineDocument(c.text, "/tmp/fleet/node-1.json", error);
    if (c.name.empty()) {
      EXPECT_FALSE(machine);
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(machine) << error;
    EXPECT_EQ(machine->name, c.name);
    Json values = Json::object();
    for (const auto& [name, value] : machine->values) values[name] = value;
    EXPECT_EQ(values, Json::parse(c.values));
  }
  std::string error;
  auto facts = ReadMachineDocument(R"({"registry":{"A":{"DisplayName":"Alpha","MenuPath":"./Main"}},"attributes":{"A":1}})",
                                   "-", error);
  ASSERT_TRUE(facts);
  EXPECT_EQ(facts->name, "standard input");
  EXPECT_EQ(facts->described.at("A"), std::make_pair(std::string("Alpha"), std::string("./Main")));
}

MachineDocument Machine(const std::string& name, const std::string& attributes) {
  MachineDocument m;
  m.name = name;
  Json parsed = Json::parse(attributes);
  for (const auto& [key, value] : parsed.items()) m.values.emplace_back(key, value);
  return m;
}

TEST(HtmlCompare, MajorityDifferingCellsAndCounts) {
  std::vector<MachineDocument> machines{
      Machine("n", R"({"Same":1,"B":1,"C":"x","D":1,"E":null})"),
      Machine("n", R"({"Same":1,"B":2,"C":"y","D":"1","E":null})"),
      Machine("m", R"({"Same":1,"B":1,"D":1,"E":null,"F":5})"),
  };
  machines[2].described["F"] = {"Eff", "./Main/Sub"};
  Json setup = Json::parse(R"({"attrs":[["D","Dee"],["C","Cee"]]})");
  struct Row {
    std::string name, display;
    size_t majority;
    std::string differs, missing;
  };
  // Rows follow the Setup's order, then the documents'. A missing value counts as a value of
  // its own (F: most machines lack it); on a tie the earliest machine's value is the majority;
  // 1 and "1" differ.
  const Row rows[] = {
      {"D", "Dee", 0, "[1]", "[]"},
      {"C", "Cee", 0, "[1,2]", "[2]"},
      {"B", "", 0, "[1]", "[]"},
      {"F", "", 0, "[2]", "[0,1]"},
  };
  Json data = ComparePageData(machines, &setup);
  ASSERT_EQ(data["rows"].size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Json& r = data["rows"][i];
    SCOPED_TRACE(rows[i].name);
    EXPECT_EQ(r[0], rows[i].name);
    EXPECT_EQ(r[1], rows[i].display);
    EXPECT_EQ(r[3], rows[i].majority);
    EXPECT_EQ(r[5], Json::parse(rows[i].differs));
    EXPECT_EQ(r[6], Json::parse(rows[i].missing));
  }
  EXPECT_EQ(data["rows"][0][4], Json::parse(R"(["1","1","1"])")) << "values as text, as the cells show them";
  EXPECT_EQ(data["machines"], Json::parse(R"j([["n",0],["n (2)",3],["m",2]])j"));
  EXPECT_EQ(data["attributes"], 6);
  // Without a Setup the documents' registries name the rows.
  Json bare = ComparePageData(machines, nullptr);
  EXPECT_EQ(bare["rows"][3][1], "Eff");
  EXPECT_EQ(bare["rows"][3][2], "./Main/Sub");
}

TEST(HtmlPage, DataCannotLeaveItsScriptElement) {
  Json data = {{"t", "</script><!-- & \xE2\x80\xA8 \xE2\x80\xA9 >"}, {"bad", "\xFF"}};
  std::string text = ScriptSafeJson(data);
  for (const char* unsafe : {"<", ">", "&", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xFF"})
    EXPECT_EQ(text.find(unsafe), std::string::npos) << unsafe;
  Json back = Json::parse(text);
  EXPECT_EQ(back["t"], data["t"]);

  Page page{"<b>&\"", Json{{"x", 1}}};
  std::string out;
  ASSERT_TRUE(WritePage(page, [&](std::string_view piece) {
    out.append(piece);
    return true;
  }));
  EXPECT_NE(out.find("<title>&lt;b&gt;&amp;&quot;</title>"), std::string::npos);
  EXPECT_NE(out.find(R"(<script type="application/json" id="kestrel-data">{"x":1}</script>)"), std::string::npos);
  EXPECT_FALSE(std::regex_search(out, std::regex("@[A-Z]+@"))) << "every marker filled";
  for (const char* remote : {"http:", "https:", "src=", "@import", "url("}) EXPECT_EQ(out.find(remote), std::string::npos) << remote;
}

TEST(HtmlCommandLine, Refusals) {
  test::TempDir dir;
  const std::string a = dir / "a.json", b = dir / "b.json", bad = dir / "bad.json", page = dir / "page.html";
  test::WriteFileText(a, R"({"Attributes":{"X":1}})");
  test::WriteFileText(b, R"({"Attributes":{"X":2}})");
  test::WriteFileText(bad, R"({"Attributes":{"X":[1]}})");
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string said;
  } cases[] = {
      {{"html", "--compare", a}, 2, "two or more documents"},
      {{"html", a}, 2, "documents only with --compare"},
      {{"registry", "--compare"}, 2, "--compare belongs to html"},
      {{"html", "--compare", a, bad}, 2, "bad.json: the value of \"X\""},
      {{"html"}, 5, ""},  // live, and no firmware under KESTREL_SYSFS_FIRMWARE
      // Documents alone need no firmware: the page has no menus then, and nothing is said.
      {{"html", "--compare", a, b, "-o", page}, 0, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{KESTREL_ATTRS_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    test::ProcessResult r = test::RunProcess(argv);
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(r.exitCode, c.status) << r.err;
    if (!c.said.empty()) {
      EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
    if (c.status == 0) {
      EXPECT_EQ(r.err, "");
    }
  }
  EXPECT_NE(test::ReadFileText(page).find(R"("machines":[["a",0],["b",1]])"), std::string::npos);
}

}  // namespace
}  // namespace kes::attrs
