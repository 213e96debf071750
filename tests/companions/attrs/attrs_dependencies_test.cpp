// kestrel-attrs' Dependencies as a Redfish client reads them, on the demo firmware, the older
// layout and every real capture: a client's evaluation of the Map dependencies
// (redfish_map.py, written from DMTF's Map semantics, not from the tool) gives each attribute's
// Hidden, GrayOut and ReadOnly before and after each attribute a dependency reads is changed
// through set, and the menus nest; a get document handed back to set writes nothing.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/companions/attrs/attrs_images.h"
#include "companions/attrs/documents.h"
#include "companions/attrs/operations.h"

namespace kes::attrs {
namespace {

using namespace test_images;
using kes::test::ProcessResult;
using kes::test::TempDir;

class AttrsDependencies : public ::testing::TestWithParam<std::string> {};

TEST_P(AttrsDependencies, AClientsEvaluationGivesTheRegistrysStateBeforeAndAfterEachChange) {
  TempDir dir;
  // Attributes that a dependency reads and set can change, per image: the demo's, and those of
  // the capture taken with a network card (the other capture's are hidden or grayed out).
  const std::map<std::string, size_t> leastReaders{{"demo", 30}, {"aavmf-aarch64-setup-nic-hii.bin", 2}};
  auto made = MakeImage(GetParam(), dir.path());
  ASSERT_TRUE(made);
  const Image& image = *made;
  std::vector<std::string> registries{dir / (image.name + ".json")};
  ProcessResult first = RunAttrs({"--hii", image.hii, "--vars", image.vars, "registry", "-o", registries[0]});
  ASSERT_EQ(first.exitCode, 0) << first.err;
  ProcessResult flips = RunPython("redfish_map.py", {"flips", registries[0]});
  ASSERT_EQ(flips.exitCode, 0) << flips.err;
  Json values = Json::parse(flips.out);
  auto least = leastReaders.find(image.name);
  EXPECT_GE(values.size(), least == leastReaders.end() ? 0 : least->second);
  // Each one changed on its own, from the image's own variables.
  size_t n = 0;
  for (const auto& [name, value] : values.items()) {
    std::string vars = dir / (image.name + "-vars-" + std::to_string(++n));
    std::filesystem::copy(image.vars, vars, std::filesystem::copy_options::recursive);
    std::string file = vars + ".set.json";
    kes::test::WriteFileText(file, Json{{"Attributes", Json{{name, value}}}}.dump());
    ProcessResult set = RunAttrs({"--hii", image.hii, "--vars", vars, "set", "--file", file});
    EXPECT_EQ(set.exitCode, 0) << name << " = " << value.dump() << "\n" << set.out << set.err;
    registries.push_back(vars + ".registry.json");
    ProcessResult after = RunAttrs({"--hii", image.hii, "--vars", vars, "registry", "-o", registries.back()});
    ASSERT_EQ(after.exitCode, 0) << after.err;
  }
  std::vector<std::string> args{"check"};
  args.insert(args.end(), registries.begin(), registries.end());
  ProcessResult check = RunPython("redfish_map.py", args);
  EXPECT_EQ(check.exitCode, 0) << check.out << check.err;
}

TEST_P(AttrsDependencies, AGetDocumentHandedBackToSetWritesNothing) {
  TempDir dir;
  auto made = MakeImage(GetParam(), dir.path());
  ASSERT_TRUE(made);
  const Image& image = *made;
  auto before = Variables(image.vars);
  std::string document = dir / (image.name + ".get.json");
  ProcessResult get = RunAttrs({"--hii", image.hii, "--vars", image.vars, "get", "-o", document});
  ASSERT_EQ(get.exitCode, 0) << get.err;
  ProcessResult set = RunAttrs({"--hii", image.hii, "--vars", image.vars, "set", "--file", document});
  EXPECT_EQ(set.exitCode, 0) << set.out << set.err;
  Json report = Json::parse(set.out);
  EXPECT_TRUE(report["Changed"].empty() && report["Refused"].empty()) << set.out;
  EXPECT_EQ(report["Unchanged"].size(), Json::parse(kes::test::ReadFileText(document))["Attributes"].size());
  EXPECT_EQ(Variables(image.vars), before);
}

INSTANTIATE_TEST_SUITE_P(Images, AttrsDependencies, ::testing::ValuesIn(ImageNames()), ImageTestName);

// Two requests in one process (as the mount makes them): the second is checked against the
// conditions as the first left them.
TEST(AttrsWholeRequests, ALaterRequestSeesWhatAnEarlierOneWrote) {
  TempDir dir;
  auto image = MakeImage("demo", dir.path());
  ASSERT_TRUE(image);
  Session session;
  ASSERT_TRUE(session.Open({image->hii, image->vars, {}}));
  Outcome first = SetAttributes(session.Setup(), {{"SATA001", "Disabled"}}, false);
  ASSERT_EQ(first.status, kExitSuccess) << first.report.dump();
  Outcome second = SetAttributes(session.Setup(), {{"SATA003", false}}, false);
  EXPECT_EQ(second.status, kExitRefused) << second.report.dump();
  Outcome third = SetAttributes(session.Setup(), {{"SATA001", "Enabled"}, {"SATA003", false}}, false);
  EXPECT_EQ(third.status, kExitSuccess) << third.report.dump();
}

}  // namespace
}  // namespace kes::attrs
