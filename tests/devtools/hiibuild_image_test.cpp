// Variables in efivarfs form, variable buffers and the emulator image directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "tests/support/test_support.h"
#include "devtools/hiibuild/emulator_image.h"

namespace kes::hiibuild {
namespace {

using V = std::vector<uint8_t>;
constexpr EfiGuid kGuid{0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};

TEST(HiiBuildImage, VariablesInEfivarfsForm) {
  Variable v{"Setup", kGuid, 0x07, {0xAA, 0xBB}};
  EXPECT_EQ(EfivarfsFileName(v), "Setup-ec87d643-eba4-4bb5-a1e5-3f3e36b20da9");
  EXPECT_EQ(EfivarfsBytes(v), (V{0x07, 0x00, 0x00, 0x00, 0xAA, 0xBB}));
}

TEST(HiiBuildImage, VarBufferPutsValuesLittleEndianAndRefusesOutsideWrites) {
  VarBuffer b(16);
  b.Put(0, 0x1234, 2).PutDate(2, 2024, 1, 31).PutTime(6, 8, 5, 0).PutUcs2(9, L"A\u00e9", 3);
  const V written = {0x34, 0x12, 0xE8, 0x07, 1, 31, 8, 5, 0, 'A', 0, 0xE9, 0, 0, 0, 0};
  EXPECT_EQ(b.bytes(), written);
  // Refused calls write no byte, not even the part that would fit.
  EXPECT_THROW(b.Put(15, 0xFFFF, 2), std::out_of_range);
  EXPECT_THROW(b.PutUcs2(11, L"abc", 3), std::out_of_range);
  EXPECT_THROW(b.PutUcs2(0, L"abcd", 3), std::out_of_range);
  EXPECT_THROW(b.PutDate(13, 0xFFFF, 12, 31), std::out_of_range);
  EXPECT_THROW(b.PutTime(14, 23, 59, 59), std::out_of_range);
  EXPECT_THROW(b.PutBytes(12, V{1, 2, 3, 4, 5}), std::out_of_range);
  EXPECT_EQ(b.bytes(), written);
}

TEST(HiiBuildImage, SupportedTableHasTheCoreVersionAndAValidChecksum) {
  V t = SupportedFidtTable();
  ASSERT_EQ(t.size(), 156u);
  EXPECT_EQ(V(t.begin(), t.begin() + 4), (V{'F', 'I', 'D', 'T'}));
  EXPECT_EQ(Le32(t, 4), 156u);
  EXPECT_EQ(V(t.begin() + 68, t.begin() + 71), (V{'0', '5', 0}));
  uint8_t sum = 0;
  for (uint8_t b : t) sum = static_cast<uint8_t>(sum + b);
  EXPECT_EQ(sum, 0);
}

TEST(HiiBuildImage, WritesTheDirectoryAndDropsVariablesOfAnEarlierImage) {
  test::TempDir dir;
  std::string root = dir / "image";
  EmulatorImage first;
  first.hii = {1, 2, 3};
  first.fidt = SupportedFidtTable();
  first.config = "# defaults\n";
  first.variables = {{"Setup", kGuid, 7, {9}}, {"Old", kGuid, 3, {}}};
  ASSERT_EQ(WriteEmulatorImage(root, first), "");
  EXPECT_EQ(test::ReadFileBytes(root + "/hii.bin"), (V{1, 2, 3}));
  EXPECT_EQ(test::ReadFileBytes(root + "/FIDT"), SupportedFidtTable());
  EXPECT_EQ(test::ReadFileText(root + "/fwemu.conf"), "# defaults\n");
  EXPECT_EQ(test::ReadFileBytes(root + "/vars/Old-ec87d643-eba4-4bb5-a1e5-3f3e36b20da9"), (V{3, 0, 0, 0}));

  EmulatorImage second;
  second.variables = {{"Setup", kGuid, 7, {8, 8}}};
  ASSERT_EQ(WriteEmulatorImage(root, second), "");
  EXPECT_EQ(test::ReadFileBytes(root + "/hii.bin"), V{});
  EXPECT_FALSE(std::filesystem::exists(root + "/FIDT"));
  EXPECT_FALSE(std::filesystem::exists(root + "/vars/Old-ec87d643-eba4-4bb5-a1e5-3f3e36b20da9"));
  EXPECT_EQ(test::ReadFileBytes(root + "/vars/Setup-ec87d643-eba4-4bb5-a1e5-3f3e36b20da9"), (V{7, 0, 0, 0, 8, 8}));
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(root + "/vars")) files += entry.is_regular_file();
  EXPECT_EQ(files, 1u);  // no temporary files left behind
}

TEST(HiiBuildImage, RefusesNamesEfivarfsCannotHoldAndUnwritableDirectories) {
  test::TempDir dir;
  struct Case {
    const char* why;
    std::vector<Variable> vars;
  } cases[] = {
      {"empty name", {{"", kGuid, 7, {}}}},
      {"slash", {{"a/b", kGuid, 7, {}}}},
      {"twice", {{"A", kGuid, 7, {}}, {"A", kGuid, 6, {1}}}},
  };
  for (const auto& c : cases) {
    EmulatorImage image;
    image.variables = c.vars;
    EXPECT_NE(WriteEmulatorImage(dir / "x", image), "") << c.why;
    EXPECT_FALSE(std::filesystem::exists(dir / "x")) << c.why;
  }
  test::WriteFileText(dir / "file", "");
  EXPECT_NE(WriteEmulatorImage(dir / "file", EmulatorImage{}), "");
  EXPECT_NE(WriteVariableFiles(dir / "file/efivars", {{"A", kGuid, 7, {}}}), "");
}

TEST(HiiBuildImage, WritesVariablesIntoAFirmwareTree) {
  test::TempDir dir;
  std::string efivars = dir / "efi/efivars";
  ASSERT_EQ(WriteVariableFiles(efivars, {{"Setup", kGuid, 7, {1, 2}}, {"Boot", kGuid, 6, {}}}), "");
  EXPECT_EQ(test::ReadFileBytes(efivars + "/Setup-ec87d643-eba4-4bb5-a1e5-3f3e36b20da9"), (V{7, 0, 0, 0, 1, 2}));
  EXPECT_EQ(test::ReadFileBytes(efivars + "/Boot-ec87d643-eba4-4bb5-a1e5-3f3e36b20da9"), (V{6, 0, 0, 0}));
  EXPECT_NE(WriteVariableFiles(efivars, {{"", kGuid, 7, {}}}), "");
}

}  // namespace
}  // namespace kes::hiibuild
