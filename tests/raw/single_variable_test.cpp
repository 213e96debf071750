#include "raw/single_variable.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "base/console.h"
#include "base/run_state.h"
#include "base/text.h"
#include "firmware/variable_store.h"
#include "tests/support/firmware_root.h"

namespace kes {
namespace {

using test::Attr;
using test::kTestGuid;
using test::PlainFirmwareRoot;

const std::wstring kGuidText = L"12345678-9abc-def0-0123-456789abcdef";  // kTestGuid

class SingleVariable : public ::testing::Test {
 protected:
  Status UpdateValue(const std::wstring& name, const std::wstring& value, const std::wstring& guid = kGuidText) {
    run_.switches.Set(Switch::VarValue);
    return UpdateSingleVariable(run_, fw, name, guid, value, L"");
  }
  PlainFirmwareRoot fw;
  RunState run_;
};

TEST_F(SingleVariable, ValueTextBecomesUtf16Units) {
  EXPECT_EQ(UpdateValue(L"Var", L"AB"), status::kSuccess);
  EXPECT_EQ(fw.VarFile("Var", kTestGuid), Attr(7, {0x41, 0x00, 0x42, 0x00}));
  EXPECT_TRUE(run_.SystemModified);
}

TEST_F(SingleVariable, SameValueAgainWritesNothing) {
  fw.PutVar("Var", kTestGuid, 3, {0x41, 0x00, 0x42, 0x00});
  auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(24);
  std::filesystem::last_write_time(fw.VarPath("Var", kTestGuid), old);
  EXPECT_EQ(UpdateValue(L"Var", L"AB"), status::kSuccess);
  EXPECT_FALSE(run_.SystemModified);
  EXPECT_EQ(std::filesystem::last_write_time(fw.VarPath("Var", kTestGuid)), old) << "the file was written";
}

TEST_F(SingleVariable, ExistingVariableKeepsItsAttributes) {
  fw.PutVar("Var", kTestGuid, 0x6, {1, 2});
  EXPECT_EQ(UpdateValue(L"Var", L"x"), status::kSuccess);
  EXPECT_EQ(fw.VarFile("Var", kTestGuid), Attr(6, {'x', 0}));
}

TEST_F(SingleVariable, InvalidGuidTextsAreRefused) {
  const std::wstring cases[] = {
      L"12345678-9abc-def0-0123-456789abcde",    // 35 characters
      L"12345678-9abc-def0-0123-456789abcdef0",  // 37
      L"123456789abcdef00123456789abcdef",       // no hyphens
      L"12345678-9abc-def0-0123-456789abcdeg",   // not hexadecimal
  };
  for (const auto& guid : cases) {
    ConsoleCapture capture;
    EXPECT_EQ(UpdateValue(L"Var", L"AB", guid), status::kInvalidParameter);
    EXPECT_EQ(capture.err(), "ERROR:57 - Invalid variable GUID!\n");
  }
  EXPECT_TRUE(std::filesystem::is_empty(fw.root() + "/efi/efivars"));
  EXPECT_FALSE(run_.SystemModified);
}

TEST_F(SingleVariable, DataFromAFile) {
  std::string file = fw.root() + "/data.bin";
  test::WriteFileBytes(file, {0, 1, 2, 0xFF});
  run_.switches.Set(Switch::VarFile);
  EXPECT_EQ(UpdateSingleVariable(run_, fw, L"Var", kGuidText, L"", ToWide(file)), status::kSuccess);
  EXPECT_EQ(fw.VarFile("Var", kTestGuid), Attr(7, {0, 1, 2, 0xFF}));

  std::string empty = fw.root() + "/empty.bin";
  test::WriteFileBytes(empty, {});
  for (const std::string& bad : {empty, fw.root() + "/missing.bin", fw.root()}) {
    ConsoleCapture capture;
    EXPECT_EQ(UpdateSingleVariable(run_, fw, L"Other", kGuidText, L"", ToWide(bad)), status::kInvalidParameter) << bad;
    EXPECT_EQ(capture.err(), "ERROR:57 - Variable file is empty or not found!\n");
  }
  EXPECT_FALSE(fw.VarFile("Other", kTestGuid));
}

TEST_F(SingleVariable, DataFileSizeLimit) {
  // A sparse file of exactly what a variable holds is taken; one byte more, or a device that
  // never ends, is refused without being loaded whole.
  constexpr size_t kMaxData = kMaxVariableFileBytes - 4;
  std::string fits = fw.root() + "/fits.bin", big = fw.root() + "/big.bin";
  test::WriteFileBytes(fits, {});
  std::filesystem::resize_file(fits, kMaxData);
  test::WriteFileBytes(big, {});
  std::filesystem::resize_file(big, kMaxData + 1);
  run_.switches.Set(Switch::VarFile);

  EXPECT_EQ(UpdateSingleVariable(run_, fw, L"Fits", kGuidText, L"", ToWide(fits)), status::kSuccess);
  EXPECT_EQ(std::filesystem::file_size(fw.VarPath("Fits", kTestGuid)), kMaxVariableFileBytes);
  for (const std::string& file : {big, std::string("/dev/zero")}) {
    ConsoleCapture capture;
    EXPECT_EQ(UpdateSingleVariable(run_, fw, L"Var", kGuidText, L"", ToWide(file)), status::kInvalidParameter) << file;
    EXPECT_EQ(capture.err(), "ERROR:57 - Variable file is too large!\n");
  }
  EXPECT_FALSE(fw.VarFile("Var", kTestGuid));
}

TEST_F(SingleVariable, EmptyDataAndMissingArguments) {
  EXPECT_EQ(UpdateValue(L"New", L""), status::kEmptyVariableData);
  fw.PutVar("Old", kTestGuid, 7, {1});
  EXPECT_EQ(UpdateValue(L"Old", L""), status::kEmptyVariableData);
  EXPECT_EQ(fw.VarFile("Old", kTestGuid), Attr(7, {1})) << "an empty value must not delete";

  run_ = RunState();
  EXPECT_EQ(UpdateSingleVariable(run_, fw, L"Var", kGuidText, L"", L""), status::kInvalidParameter);
  EXPECT_EQ(UpdateValue(L"", L"AB"), status::kInvalidParameter);
  EXPECT_EQ(UpdateValue(L"Var", L"AB", L""), status::kInvalidParameter);
  EXPECT_FALSE(run_.SystemModified);
}

TEST_F(SingleVariable, OverlongNameIsRefusedBeforeAnyAccess) {
  ConsoleCapture capture;
  EXPECT_EQ(UpdateValue(std::wstring(100, L'v'), L"AB"), status::kInvalidParameter);
  EXPECT_NE(capture.err().find("is longer than 99 bytes"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(fw.root() + "/efi/efivars"));
}

TEST_F(SingleVariable, FailedWriteIsReported) {
  test::MakeDirs(fw.VarPath("Var", kTestGuid));
  EXPECT_EQ(UpdateValue(L"Var", L"AB"), status::kFailure);
  EXPECT_FALSE(run_.SystemModified);
}

TEST(UtilityIndication, OneByteOfOne) {
  PlainFirmwareRoot fw;
  constexpr EfiGuid kGuid{0x5A71834C, 0xB9BA, 0x48EE, {0xAC, 0x37, 0xF1, 0x1D, 0xBC, 0x4C, 0x6F, 0x6F}};
  EXPECT_EQ(WriteUtilityIndication(fw), status::kSuccess);
  EXPECT_EQ(fw.VarFile("UtilityIndication", kGuid), Attr(7, {1}));
}

}  // namespace
}  // namespace kes
