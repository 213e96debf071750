// The defaults lookup and write-back against StdDefaults/MfgDefaults files in a temporary
// efivarfs directory.
#include "hii/default_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "base/console.h"
#include "base/le.h"
#include "base/run_state.h"
#include "firmware/variable_store.h"
#include "tests/support/firmware_root.h"

namespace kes {
namespace {

using Data = std::vector<uint8_t>;

const EfiGuid kSetupGuid{0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};

// One full record "Setup" (ASCII name, GUID index 0) holding data, laid out by hand, in a store
// of the given polarity; the GUID table holds kSetupGuid.
Data SetupStore(const Data& data, uint8_t polarity) {
  const uint8_t erased = polarity ? 0xFF : 0x00;
  Data store(256, erased);
  Data r = {'N', 'V', 'A', 'R', 0, 0, erased, erased, erased, static_cast<uint8_t>(polarity ? 0x82 : 0x02), 0x00};
  for (char c : std::string("Setup")) r.push_back(static_cast<uint8_t>(c));
  r.push_back(0);
  r.insert(r.end(), data.begin(), data.end());
  PutLe16(&r[4], static_cast<uint16_t>(r.size()));
  std::copy(r.begin(), r.end(), store.begin());
  auto guid = kSetupGuid.ToBytes();
  std::copy(guid.begin(), guid.end(), store.end() - 16);
  return store;
}

Data Sequence(size_t n) {
  Data d(n);
  for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(i);
  return d;
}

class DefaultStoreTest : public ::testing::Test {
 protected:
  void PutStore(const std::string& name, const Data& store, uint32_t attributes = 7) {
    firmware_.PutVar(name, nvar::kDefaultsGuid, attributes, store);
  }
  std::optional<Data> FileOf(const std::string& name) const { return firmware_.VarFile(name, nvar::kDefaultsGuid); }

  test::PlainFirmwareRoot firmware_{true, true};
  FirmwareAccess& fw_ = firmware_.access();
  DefaultStores stores_{fw_};
  RunState run_;
};

TEST_F(DefaultStoreTest, PolarityOneStoreGivesQuestionDefaultsAndIsKept) {
  PutStore("StdDefaults", SetupStore(Sequence(16), 1));
  PutStore("MfgDefaults", SetupStore(Data(16, 0x33), 1));
  EXPECT_TRUE(stores_.DefaultStorePresent(DefaultStore::Std));
  EXPECT_TRUE(stores_.DefaultStorePresent(DefaultStore::Mfg));

  struct Case {
    size_t offset, width;
    std::optional<Data> expected;
  };
  const Case cases[] = {
      {2, 2, Data{2, 3}}, {0, 16, Sequence(16)}, {15, 1, Data{15}}, {15, 2, std::nullopt}, {16, 1, std::nullopt},
      {1000, 1, std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(stores_.FindQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", c.offset, c.width), c.expected)
        << c.offset << "/" << c.width;
  EXPECT_EQ(stores_.State().polarity, 1);
  EXPECT_EQ(stores_.FindQuestionDefault(DefaultStore::Mfg, kSetupGuid, L"Setup", 4, 1), Data{0x33});
  EXPECT_FALSE(stores_.FindQuestionDefault(DefaultStore::Std, kSetupGuid, L"Other", 0, 1));
  EXPECT_FALSE(stores_.FindQuestionDefault(DefaultStore::Std, nvar::kDefaultsGuid, L"Setup", 0, 1));
}

TEST_F(DefaultStoreTest, PolarityZeroIsTriedWhenTheFreeSpaceAgrees) {
  PutStore("StdDefaults", SetupStore(Data{9, 8, 7}, 0));
  EXPECT_EQ(stores_.FindQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", 1, 2), (Data{8, 7}));
  EXPECT_EQ(stores_.State().polarity, 0);
}

TEST_F(DefaultStoreTest, AMissBeforeThePolarityIsKnownIsLookedUpAgainOnceItIs) {
  // StdDefaults is filled up to its GUID table, so its free space cannot confirm polarity 0 and
  // the first lookup misses; MfgDefaults then settles polarity 0, under which StdDefaults is read.
  PutStore("StdDefaults", SetupStore(Data(223, 5), 0));
  PutStore("MfgDefaults", SetupStore(Data{6}, 0));
  EXPECT_FALSE(stores_.FindQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", 0, 1));
  EXPECT_EQ(stores_.State().polarity, kPolarityUnknown);
  EXPECT_EQ(stores_.FindQuestionDefault(DefaultStore::Mfg, kSetupGuid, L"Setup", 0, 1), Data{6});
  EXPECT_EQ(stores_.State().polarity, 0);
  EXPECT_EQ(stores_.FindQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", 222, 1), Data{5});
}

TEST_F(DefaultStoreTest, DeletedVariableOfAPolarityOneStoreStaysDeleted) {
  // "Setup" deleted (valid bit clear) with a chained update: under polarity 0 the head would look
  // live, but that store's free space is 0xFF, so polarity 0 is never tried.
  Data store = SetupStore(Data{1, 2}, 1);
  store[9] = 0x02;
  const size_t update = Le16(store, 4);
  Data r = {'N', 'V', 'A', 'R', 12, 0, 0xFF, 0xFF, 0xFF, 0x88, 5, 6};
  std::copy(r.begin(), r.end(), store.begin() + update);
  store[6] = static_cast<uint8_t>(update);
  store[7] = store[8] = 0;
  PutStore("StdDefaults", store);
  EXPECT_FALSE(stores_.FindQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", 0, 1));
  EXPECT_EQ(stores_.State().polarity, kPolarityUnknown);
}

TEST_F(DefaultStoreTest, AbsentStoresHoldNoDefaults) {
  EXPECT_FALSE(stores_.DefaultStorePresent(DefaultStore::Std));
  EXPECT_FALSE(stores_.DefaultStorePresent(DefaultStore::Mfg));
  EXPECT_FALSE(stores_.FindQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", 0, 1));
  EXPECT_EQ(stores_.SetDefaultVariable(DefaultStore::Mfg, kSetupGuid, L"Setup", Data{1}), efi::kNotFound);
  EXPECT_FALSE(stores_.SetQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", 0, Data{1}));
  EXPECT_EQ(stores_.WriteBackDefaultStores(run_), status::kSuccess);
  EXPECT_FALSE(run_.SystemModified);
  EXPECT_FALSE(FileOf("StdDefaults"));
}

TEST_F(DefaultStoreTest, ChangedImageIsWrittenBackWithItsAttributes) {
  PutStore("StdDefaults", SetupStore(Sequence(8), 1), EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
  PutStore("MfgDefaults", SetupStore(Sequence(8), 1));
  const Data mfgBefore = *FileOf("MfgDefaults");
  const Data stdBefore = *FileOf("StdDefaults");

  EXPECT_FALSE(stores_.SetQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", 7, Data{1, 2}));
  ASSERT_TRUE(stores_.SetQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", 6, Data{0xAA, 0xBB}));
  ASSERT_TRUE(stores_.SetQuestionDefault(DefaultStore::Mfg, kSetupGuid, L"Setup", 0, Data{0}));  // the same byte
  EXPECT_EQ(stores_.FindQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", 5, 3), (Data{5, 0xAA, 0xBB}));
  EXPECT_EQ(*FileOf("StdDefaults"), stdBefore);  // nothing reaches the firmware before the write-back

  EXPECT_EQ(stores_.WriteBackDefaultStores(run_), status::kSuccess);
  EXPECT_TRUE(run_.SystemModified);
  EXPECT_FALSE(run_.ImportErrors);
  EXPECT_EQ(*FileOf("MfgDefaults"), mfgBefore);
  Data written = *FileOf("StdDefaults");
  ASSERT_GE(written.size(), 4u);
  EXPECT_EQ(Le32(written, 0), EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS);
  EXPECT_EQ(written.size(), stdBefore.size());
  auto reread = NvarStore::Open(Data(written.begin() + 4, written.end()), 1);
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->ReadVariable(u"Setup", kSetupGuid), (Data{0, 1, 2, 3, 4, 5, 0xAA, 0xBB}));

  // Nothing changed since: no further write.
  run_.SystemModified = false;
  EXPECT_EQ(stores_.WriteBackDefaultStores(run_), status::kSuccess);
  EXPECT_FALSE(run_.SystemModified);
}

TEST_F(DefaultStoreTest, FailedWriteBackIsReported) {
  PutStore("StdDefaults", SetupStore(Sequence(4), 1));
  ASSERT_TRUE(stores_.SetQuestionDefault(DefaultStore::Std, kSetupGuid, L"Setup", 0, Data{0x7F}));
  // The variable's file turns into a directory: neither reading nor writing it can succeed.
  std::filesystem::remove(firmware_.VarPath("StdDefaults", nvar::kDefaultsGuid));
  std::filesystem::create_directory(firmware_.VarPath("StdDefaults", nvar::kDefaultsGuid));
  ConsoleCapture capture;
  EXPECT_EQ(stores_.WriteBackDefaultStores(run_), status::kFailure);
  EXPECT_EQ(capture.err(), "Error Writing Variable StdDefaults to NVRAM\n");
  EXPECT_TRUE(run_.ImportErrors);
  EXPECT_FALSE(run_.SystemModified);
}

}  // namespace
}  // namespace kes
