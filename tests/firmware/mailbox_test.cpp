#include "firmware/mailbox.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "base/console.h"
#include "firmware/hii_retrieval.h"
#include "firmware/variable_store.h"
#include "tests/firmware/zlib_crc.h"
#include "tests/support/firmware_root.h"

namespace kes {
namespace {

using test::PlainFirmwareRoot;
using test::ZlibCrc;

constexpr EfiGuid kMailboxGuid{0x280BCC15, 0x2CD7, 0x467C, {0x96, 0x47, 0x1B, 0x30, 0x30, 0x7D, 0x7E, 0xD5}};

TEST(Crc32, MatchesAnIndependentImplementation) {
  std::mt19937 random(12345);
  std::vector<std::vector<uint8_t>> inputs = {{}, {0}, {0xFF}, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}};
  for (size_t size : {3u, 876u, 877u, 4096u, 300001u}) {
    std::vector<uint8_t> data(size);
    for (auto& b : data) b = static_cast<uint8_t>(random());
    inputs.push_back(std::move(data));
  }
  for (const auto& input : inputs) {
    EXPECT_EQ(CalculateCrc32(input), ZlibCrc(input)) << "size " << input.size();
    uint32_t out = 0;
    CalculateCrc32(input.data(), input.size(), out);
    EXPECT_EQ(out, ZlibCrc(input));
  }
  EXPECT_EQ(CalculateCrc32(inputs[3]), 0xCBF43926u);  // the check value of "123456789"
}

TEST(MapFirmwareStatus, FoldsIntoTheFirmwareRange) {
  const std::pair<uint32_t, uint32_t> cases[] = {
      {0, 0},         {1, 0x81},     {5, 133},       {14, 142},  {87, 215},
      {0x8003, 0x83}, {0x8002, 0x82}, {0x80, 0x80}, {0xFF, 0xFF}, {0xFFFFFFFF, 0xFF},
  };
  for (auto [in, out] : cases) {
    EXPECT_EQ(MapFirmwareStatus(in), out) << in;
    EXPECT_EQ(MapFirmwareStatus(MapFirmwareStatus(in)), out) << "mapping twice, " << in;
  }
}

// Without a firmware handler the mailbox variable simply keeps the request, which then reads
// back with its pending ReturnValue: that is how a missing handler shows.
class MailboxWithoutHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    fw.access().mailboxConfigured = true;
    fw.access().mailboxName = "KMBX";
    fw.access().mailboxGuid = kMailboxGuid;
  }
  PlainFirmwareRoot fw;
};

TEST_F(MailboxWithoutHandler, RequestFrameLayout) {
  for (uint32_t version : {8u, 4u}) {
    fw.access().protocolVersion = version;
    std::vector<uint8_t> frame(mailbox::kHeaderBytes + 3, 0xCC);
    frame[32] = 1;
    frame[33] = 2;
    frame[34] = 3;
    ConsoleCapture capture;
    size_t answered = 0;
    EXPECT_EQ(SendFirmwareRequest(fw, frame, hii_read::kFunctionGuid, 3, &answered), 0x8002u);
    EXPECT_EQ(capture.out(), "Vorn Header ReturnValue 8002\n");
    EXPECT_EQ(answered, 35u);

    auto stored = fw.VarFile("KMBX", kMailboxGuid);
    ASSERT_TRUE(stored);
    std::vector<uint8_t> expected = {7, 0, 0, 0,                               // attributes
                                     8, 0, 0, 0, static_cast<uint8_t>(version), 0, 0x02, 0x80};
    auto guid = hii_read::kFunctionGuid.ToBytes();
    expected.insert(expected.end(), guid.begin(), guid.end());
    AppendLe64(expected, 3);
    expected.insert(expected.end(), {1, 2, 3});
    EXPECT_EQ(*stored, expected);
  }
}

TEST_F(MailboxWithoutHandler, ServicesReportTheFailure) {
  size_t length = 0;
  std::wstring name;
  EfiGuid guid{};
  EXPECT_EQ(GetNextNVRAMVariableName(fw, length, name, guid), status::kTransportFailure);

  std::vector<uint8_t> database;
  uint32_t crc = 0;
  EXPECT_EQ(GetHiiDatabase(fw, database, crc), 0x82u);

  ConsoleCapture capture;
  RunState run;
  EXPECT_EQ(RetrieveHiiDatabase(run, fw), 0x82u);
  EXPECT_NE(capture.err().find("ERROR:82 -  Retrieving HII Database\n"), std::string::npos);
}

TEST_F(MailboxWithoutHandler, PreviousNameMustFitTheRequest) {
  std::wstring name(256, L'x');
  size_t length = name.size();
  EfiGuid guid{};
  EXPECT_EQ(GetNextNVRAMVariableName(fw, length, name, guid), 215u);
  length = 5;
  name = L"abc";  // shorter than the length claimed
  EXPECT_EQ(GetNextNVRAMVariableName(fw, length, name, guid), 215u);
  EXPECT_FALSE(fw.VarFile("KMBX", kMailboxGuid)) << "nothing may be sent";
}

TEST(Mailbox, UnconfiguredMailboxSendsNothing) {
  PlainFirmwareRoot fw;
  std::vector<uint8_t> frame(mailbox::kHeaderBytes + 24, 0);
  EXPECT_EQ(SendFirmwareRequest(fw, frame, hii_read::kFunctionGuid, 24), kSetVariableBadArguments);
  EXPECT_TRUE(std::filesystem::is_empty(fw.root() + "/efi/efivars"));
}

// A session with a responder answers in process: the HII read gets its chunks from it (each one
// at the offset the request asks for), and the variable store is never touched.
TEST(Mailbox, InProcessResponderServesTheHiiRead) {
  PlainFirmwareRoot fw;
  std::vector<uint8_t> image(2000);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
  int requests = 0;
  MailboxSession session(fw, [&](Bytes request, std::vector<uint8_t>& response) {
    ++requests;
    response.assign(request.begin(), request.end());
    PutLe16(response.data() + mailbox::kReturnValueOffset, 0);
    uint8_t* payload = response.data() + mailbox::kHeaderBytes;
    uint64_t wanted = Le64(request, mailbox::kHeaderBytes + hii_read::kLengthOffset);
    uint64_t offset = Le64(request, mailbox::kHeaderBytes + hii_read::kOffsetOffset);
    PutLe64(payload + hii_read::kCommandOffset, 0);
    if (wanted == 0) PutLe64(payload + hii_read::kLengthOffset, image.size());
    std::copy_n(image.begin() + offset, wanted, payload + hii_read::kDataOffset);
    return status::kSuccess;
  });
  std::vector<uint8_t> database;
  uint32_t crc = 0;
  ASSERT_EQ(GetHiiDatabase(session, database, crc), status::kSuccess);
  EXPECT_EQ(database, image);
  EXPECT_EQ(crc, ZlibCrc(image));
  EXPECT_EQ(requests, 1 + 3);  // the size query, then 876 + 876 + 248 bytes
  EXPECT_TRUE(std::filesystem::is_empty(fw.root() + "/efi/efivars"));
}

}  // namespace
}  // namespace kes
