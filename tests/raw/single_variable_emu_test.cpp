// The single variable update through the built tool against the firmware emulator, and
// interoperability of its variables with Debian's efivar tool pointed at the emulator's efivars.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "tests/support/emulator.h"
#include "tests/support/test_support.h"

namespace kes::test {
namespace {

constexpr char kGuid[] = "12345678-9abc-def0-0123-456789abcdef";
constexpr char kUtilityIndicationGuid[] = "5a71834c-b9ba-48ee-ac37-f11dbc4c6f6f";
const std::string kUpdated = "\nVariable updated/created successfully.\n";
const std::string kNotModified = "\nSystem configuration not modified.\n";

class SingleVariableThroughTool : public ::testing::Test {
 protected:
  void SetUp() override {
    image.Fidt().Var("Volatile", kGuid, 6, {1, 2});
    emulator = std::make_unique<Emulator>(image.dir());
    ASSERT_TRUE(emulator->Started());
  }
  ProcessResult Tool(std::vector<std::string> args) {
    args.push_back("/hb");
    ProcessOptions options;
    options.env = emulator->Env();
    return RunTool(args, options);
  }
  ProcessResult SetValue(const std::string& name, const std::string& value, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"/i", "/varname", name, "/varguid", kGuid, "/varvalue", value};
    args.insert(args.end(), extra.begin(), extra.end());
    return Tool(args);
  }
  std::optional<std::vector<uint8_t>> Var(const std::string& name, const std::string& guid = kGuid) {
    return ReadFileBytes(emulator->VarPath(name, guid));
  }
  ProcessResult Efivar(std::vector<std::string> args) {
    args.insert(args.begin(), "efivar");
    ProcessOptions options;
    options.env = {{"EFIVARFS_PATH", emulator->efivars() + "/"}};
    return RunProcess(args, options);
  }

  TempDir tmp;
  FirmwareImage image{tmp / "image"};
  std::unique_ptr<Emulator> emulator;
};

TEST_F(SingleVariableThroughTool, CreateThenSameValueAgain) {
  ProcessResult first = SetValue("Var", "AB");
  EXPECT_EQ(first.exitCode, 0) << first.err;
  EXPECT_EQ(first.err, kUpdated);
  EXPECT_EQ(Var("Var"), VarFileBytes(7, {0x41, 0x00, 0x42, 0x00}));

  ProcessResult second = SetValue("Var", "AB");
  EXPECT_EQ(second.exitCode, 0) << second.err;
  EXPECT_EQ(second.err, kNotModified);
}

TEST_F(SingleVariableThroughTool, ExistingVariableKeepsItsAttributes) {
  // The emulator refuses a write whose attributes differ from the variable's own.
  ProcessResult r = SetValue("Volatile", "Z");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(Var("Volatile"), VarFileBytes(6, {'Z', 0}));
}

TEST_F(SingleVariableThroughTool, InvalidGuidTexts) {
  for (std::string guid : {"12345678-9abc-def0-0123-456789abcde", "12345678-9abc-def0-0123-456789abcdef0",
                           "123456789abcdef00123456789abcdef"}) {
    ProcessResult r = Tool({"/i", "/varname", "Var", "/varguid", guid, "/varvalue", "AB"});
    EXPECT_EQ(r.exitCode, 87) << guid;
    EXPECT_NE(r.err.find("ERROR:57 - Invalid variable GUID!\n"), std::string::npos) << r.err;
  }
  EXPECT_FALSE(Var("Var"));
}

TEST_F(SingleVariableThroughTool, DataFileAndUtilityIndication) {
  // Nothing modified: no indication.
  WriteFileBytes(tmp / "same.bin", {1, 2});
  ProcessResult r = Tool({"/i", "/varname", "Volatile", "/varguid", kGuid, "/varfile", tmp / "same.bin", "/ni"});
  EXPECT_EQ(r.err, kNotModified);
  EXPECT_FALSE(Var("UtilityIndication", kUtilityIndicationGuid));

  WriteFileBytes(tmp / "data.bin", {0, 0xFF, 0x10});
  r = Tool({"/i", "/varname", "FromFile", "/varguid", kGuid, "/varfile", tmp / "data.bin", "/ni"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.err, kUpdated);
  EXPECT_EQ(Var("FromFile"), VarFileBytes(7, {0, 0xFF, 0x10}));
  EXPECT_EQ(Var("UtilityIndication", kUtilityIndicationGuid), VarFileBytes(7, {1}));
}

TEST_F(SingleVariableThroughTool, InteroperatesWithEfivar) {
  // Written by the tool, read by efivar.
  ASSERT_EQ(SetValue("ToolWrote", "Hi").exitCode, 0);
  ProcessResult read = Efivar({"-p", "-n", std::string(kGuid) + "-ToolWrote"});
  ASSERT_EQ(read.exitCode, 0) << "efivar (Debian package efivar) must be installed: " << read.err;
  EXPECT_NE(read.out.find("Name: \"ToolWrote\""), std::string::npos) << read.out;
  EXPECT_NE(read.out.find("00000000  48 00 69 00 "), std::string::npos) << read.out;
  EXPECT_NE(read.out.find("Runtime Service Access"), std::string::npos) << read.out;

  // Written by efivar, read back by the tool: the same value is recognised as unchanged, and a
  // different one replaces it.
  WriteFileBytes(tmp / "hi.bin", {0x48, 0x00, 0x69, 0x00});
  ProcessResult write = Efivar({"-w", "-t", "7", "-n", std::string(kGuid) + "-EfivarWrote", "-f", tmp / "hi.bin"});
  ASSERT_EQ(write.exitCode, 0) << write.err;
  EXPECT_EQ(Var("EfivarWrote"), VarFileBytes(7, {0x48, 0x00, 0x69, 0x00}));
  EXPECT_EQ(SetValue("EfivarWrote", "Hi").err, kNotModified);
  EXPECT_EQ(SetValue("EfivarWrote", "Ho").err, kUpdated);
  read = Efivar({"-p", "-n", std::string(kGuid) + "-EfivarWrote"});
  EXPECT_NE(read.out.find("00000000  48 00 6f 00 "), std::string::npos) << read.out;
}

}  // namespace
}  // namespace kes::test
