// The variable commit over a temporary efivarfs tree: value updates with the reset marking, and
// the write-back of whole variables that changed.
#include "commit/variable_commit.h"

#include <gtest/gtest.h>

#include "hii/hii_format.h"
#include "tests/support/firmware_root.h"

namespace kes {
namespace {

using Data = std::vector<uint8_t>;
using test::kTestGuid;

// A question opcode's bytes with the header flags byte (offset 12) set.
Data Opcode(uint8_t code, uint8_t flags) {
  Data op(16, 0);
  op[0] = code;
  op[1] = 16;
  op[12] = flags;
  return op;
}

class Commit : public ::testing::Test {
 protected:
  VarStoreTable& Table(const Data& stored, uint32_t declared) {
    firmware_.PutVar("Var", kTestGuid, 7, stored);
    table_.Register(kTestGuid, L"Var", 1, declared);
    return table_;
  }
  Data Stored() const {
    Data file = *firmware_.VarFile("Var", kTestGuid);
    return {file.begin() + 4, file.end()};
  }
  Status CommitNow() { return ImportVariablesToNvram(table_, {run_, firmware_.access(), HiiFormat::Uefi}); }

  test::PlainFirmwareRoot firmware_{true, true};
  VarStoreTable table_{firmware_.access()};
  RunState run_;
};

TEST_F(Commit, ResetMarkingFollowsChangedBytesOfResetRequiredQuestions) {
  struct Case {
    const char* name;
    uint8_t code, flags;
    uint8_t value;
    bool marked;
  };
  const Case cases[] = {
      {"changed, reset required", hii::IFR_CHECKBOX, 0x10, 1, true},
      {"same bytes", hii::IFR_CHECKBOX, 0x10, 0, false},
      {"interactive and reset required", hii::IFR_CHECKBOX, 0x14, 1, false},
      {"not a value question", hii::IFR_REF, 0x10, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    table_.Clear();
    Table(Data(4, 0), 4);
    EXPECT_TRUE(UpdateVarStoreValue(table_, 0, 1, Data{c.value}, Opcode(c.code, c.flags)));
    EXPECT_EQ(table_.At(0)->ResetRequired, c.marked);
  }
  // Past the declared size nothing is stored.
  EXPECT_FALSE(UpdateVarStoreValue(table_, 0, 3, Data{1, 2}));
  EXPECT_FALSE(UpdateVarStoreValue(table_, 5, 0, Data{1}));
}

TEST_F(Commit, OnlyChangedVariablesAreWrittenWholeWithTheirAttributes) {
  // The stored variable is larger than the varstore declares: written back whole.
  Table({1, 2, 3, 4, 5, 6}, 4);
  EXPECT_EQ(CommitNow(), status::kSuccess);
  EXPECT_FALSE(run_.SystemModified);

  ASSERT_TRUE(UpdateVarStoreValue(table_, 0, 1, Data{9}, Opcode(hii::IFR_NUMERIC, 0x10)));
  ASSERT_TRUE(UpdateVarStoreValue(table_, 0, 2, Data{8}));
  EXPECT_EQ(CommitNow(), status::kSuccess);
  EXPECT_EQ(Stored(), (Data{1, 9, 8, 4, 5, 6}));
  EXPECT_TRUE(run_.SystemModified);
  EXPECT_TRUE(run_.ResetRequired);
  EXPECT_FALSE(run_.ImportErrors);
}

TEST_F(Commit, PlatformLangGrowsInsteadOfBeingWrittenPast) {
  firmware_.PutVar("PlatformLang", guids::kGlobalVariable, 7, {'e', 'n', 0});
  table_.Register(guids::kGlobalVariable, L"PlatformLang", 1, 3);
  const Data code = {'d', 'e', '-', 'D', 'E', 0};
  ASSERT_TRUE(UpdateVarStoreValue(table_, 0, 0, code));
  run_.LanguageLength = 6;
  EXPECT_EQ(CommitNow(), status::kSuccess);
  Data file = *firmware_.VarFile("PlatformLang", guids::kGlobalVariable);
  EXPECT_EQ(Data(file.begin() + 4, file.end()), code);
}

}  // namespace
}  // namespace kes
