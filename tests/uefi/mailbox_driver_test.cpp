// The mailbox driver's request handling on the host: every answer is compared with the
// emulator's for the same request over the same variables and database, and the parts only the
// driver has (the stored mailbox content, the GetVariable size rules, the pointer conversion)
// are checked on their own.
#include <gtest/gtest.h>

#ifdef KESTREL_FWEMU_PATH

#include <cstring>
#include <string>
#include <vector>

#include "mailbox_service.h"
#include "devtools/hiibuild/generators.h"
#include "companions/fwemu/config.h"
#include "companions/fwemu/mailbox.h"
#include "companions/fwemu/mailbox_frame.h"
#include "companions/fwemu/variable_store.h"

namespace kes::fwemu {
namespace {

using Data = std::vector<uint8_t>;

void Put(Data& d, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) d[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
uint64_t Get(const Data& d, size_t offset, size_t width) {
  uint64_t v = 0;
  for (size_t i = width; i > 0; --i) v = v << 8 | d[offset + i - 1];
  return v;
}

Data Frame(const Guid& service, size_t payloadSize, uint16_t marker = frame::kRequestMarker) {
  Data d(frame::kHeaderSize + payloadSize, 0);
  Put(d, frame::kSizeOffset, 8, 2);
  Put(d, frame::kVersionOffset, 8, 2);
  Put(d, frame::kReturnValueOffset, marker, 2);
  std::memcpy(d.data() + frame::kFunctionGuidOffset, service.bytes.data(), 16);
  Put(d, frame::kPayloadSizeOffset, payloadSize, 8);
  return d;
}

Data HiiRequest(uint64_t wanted, uint64_t offset, uint64_t command = frame::kHiiReadCommand, size_t room = 0) {
  Data d = Frame(frame::kHiiReadGuid, frame::kHiiDataOffset + (room ? room : wanted));
  Put(d, frame::kHeaderSize + frame::kHiiSizeOffset, wanted, 8);
  Put(d, frame::kHeaderSize + frame::kHiiOffsetOffset, offset, 8);
  Put(d, frame::kHeaderSize + frame::kHiiCommandOffset, command, 8);
  return d;
}

Data EnumRequest(const std::string& previous, const Guid& guid, uint64_t available = 512) {
  Data d = Frame(frame::kEnumerateGuid, 544);
  Put(d, frame::kHeaderSize + frame::kEnumStatusOffset, 0xC000000000000001ULL, 8);
  Put(d, frame::kHeaderSize + frame::kEnumNameLengthOffset, available, 8);
  std::memcpy(d.data() + frame::kHeaderSize + frame::kEnumGuidOffset, guid.bytes.data(), 16);
  for (size_t i = 0; i < previous.size() && 2 * i + 1 < 512; ++i)
    Put(d, frame::kHeaderSize + frame::kEnumNameOffset + 2 * i, static_cast<uint8_t>(previous[i]), 2);
  return d;
}

// The firmware's GetNextVariableName over the emulator's store, with its buffer-size rules.
uint64_t StoreNextName(const mbx_runtime* runtime, uint64_t* nameSize, uint16_t* name, uint8_t guid[16]);
const VariableStore* gStore = nullptr;  // the store StoreNextName walks, set by the fixture

uint64_t StoreNextName(const mbx_runtime*, uint64_t* nameSize, uint16_t* name, uint8_t guid[16]) {
  VariableId previous;
  for (size_t i = 0; name[i] != 0; ++i) previous.name.push_back(static_cast<char>(name[i]));
  std::memcpy(previous.guid.bytes.data(), guid, 16);
  bool found = true;
  const Variable* next = gStore->Next(previous.name.empty() ? nullptr : &previous, found);
  if (!found) return MBX_EFI_INVALID_PARAMETER;
  if (!next) return MBX_EFI_NOT_FOUND;
  uint64_t needed = 2 * (next->id.name.size() + 1);
  if (*nameSize < needed) {
    *nameSize = needed;
    return MBX_EFI_BUFFER_TOO_SMALL;
  }
  for (size_t i = 0; i < next->id.name.size(); ++i) name[i] = static_cast<uint8_t>(next->id.name[i]);
  name[next->id.name.size()] = 0;
  std::memcpy(guid, next->id.guid.bytes.data(), 16);
  *nameSize = needed;
  return MBX_EFI_SUCCESS;
}

class MailboxDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    for (size_t i = 0; i < hii_.size(); ++i) hii_[i] = static_cast<uint8_t>(i * 7 + 3);
    store_.Put({"Boot0000", vendor_}, 7, {1, 2});
    store_.Put({"Setup", vendor_}, 7, {3});
    store_.Put({std::string(300, 'L'), other_}, 7, {4});
    store_.Put({"Lang", other_}, 7, {5});
    gStore = &store_;
    content_.assign(MBX_MAX_CONTENT, 0);
    runtime_.saved.hii = hii_.data();
    runtime_.hii_size = hii_.size();
    runtime_.saved.content = content_.data();
  }
  void TearDown() override { gStore = nullptr; }

  // The emulator's answer and the driver's for one request; both must say it is a request or not.
  void ExpectSameAnswer(const Data& request, const std::string& what) {
    Data expected;
    bool emulated = AnswerMailboxRequest(request, config_, hii_, store_, expected);
    Data answered(request.size(), 0xEE);
    int served = mbx_answer(&runtime_, StoreNextName, request.data(), request.size(), answered.data());
    ASSERT_EQ(served != 0, emulated) << what;
    if (emulated) {
      EXPECT_EQ(answered, expected) << what;
    }
  }

  Guid vendor_ = *ParseGuid("01234567-89ab-cdef-0123-456789abcdef");
  Guid other_ = *ParseGuid("8be4df61-93ca-11d2-aa0d-00e098032b8c");
  Data hii_ = Data(2000);
  Data content_;
  VariableStore store_;
  Config config_;
  mbx_runtime runtime_{};
};

TEST_F(MailboxDriver, AnswersEveryRequestAsTheEmulatorDoes) {
  Data badSize = HiiRequest(8, 0);
  Put(badSize, frame::kPayloadSizeOffset, 9, 8);
  Data unknown = Frame(*ParseGuid("00000000-0000-0000-0000-000000000001"), 24);
  Data noMarker = HiiRequest(8, 0);
  Put(noMarker, frame::kReturnValueOffset, 0, 2);
  const std::string longName(300, 'L');
  struct Case {
    std::string what;
    Data request;
  } cases[] = {
      {"size query", HiiRequest(0, 0)},
      {"first chunk", HiiRequest(876, 0)},
      {"chunk at an odd offset", HiiRequest(100, 1333)},
      {"chunk crossing the end", HiiRequest(876, 1500)},
      {"chunk past the end", HiiRequest(10, 5000)},
      {"offset near 2^64", HiiRequest(10, ~0ULL - 3)},
      {"chunk above 876", HiiRequest(877, 0)},
      {"chunk above the payload", HiiRequest(100, 0, frame::kHiiReadCommand, 50)},
      {"wrong command", HiiRequest(8, 0, 51)},
      {"payload size not the frame's", badSize},
      {"unknown service", unknown},
      {"HII payload too short", Frame(frame::kHiiReadGuid, 23)},
      {"enumeration payload too short", Frame(frame::kEnumerateGuid, 31)},
      {"not a request", noMarker},
      {"shorter than a header", Data(31, 0x02)},
      {"first variable", EnumRequest("", {})},
      {"next variable", EnumRequest("Boot0000", vendor_)},
      {"long name after", EnumRequest("Setup", vendor_)},
      {"long name, too little room", EnumRequest("Setup", vendor_, 600)},
      {"after the long name", EnumRequest(longName, other_)},
      {"after the last", EnumRequest("Lang", other_)},
      {"unknown previous", EnumRequest("Nothing", vendor_)},
      {"previous under another GUID", EnumRequest("Setup", other_)},
      {"room for less than the name", EnumRequest("", {}, 8)},
      {"room for exactly the name", EnumRequest("", {}, 18)},
  };
  for (const Case& c : cases) ExpectSameAnswer(c.request, c.what);
}

TEST_F(MailboxDriver, PreviousNameLongerThanAnyVariableNeverReachesTheFirmware) {
  // A payload larger than the tool sends, its name area full of one letter without a terminator.
  Data request = Frame(frame::kEnumerateGuid, 32 + 1100);
  Put(request, frame::kHeaderSize + frame::kEnumNameLengthOffset, 512, 8);
  for (size_t off = frame::kHeaderSize + 32; off + 1 < request.size(); off += 2) Put(request, off, 'A', 2);
  static int calls;
  calls = 0;
  auto counting = [](const mbx_runtime*, uint64_t*, uint16_t*, uint8_t*) -> uint64_t { return ++calls, MBX_EFI_SUCCESS; };
  Data answered(request.size());
  ASSERT_EQ(mbx_answer(&runtime_, counting, request.data(), request.size(), answered.data()), 1);
  EXPECT_EQ(Get(answered, frame::kHeaderSize, 8), MBX_EFI_INVALID_PARAMETER);
  EXPECT_EQ(calls, 0);
  ExpectSameAnswer(request, "long unterminated name");
  // Without the firmware's enumeration no variable is found either.
  Data first = EnumRequest("", {});
  ASSERT_EQ(mbx_answer(&runtime_, nullptr, first.data(), first.size(), answered.data()), 1);
  EXPECT_EQ(Get(answered, frame::kHeaderSize, 8), MBX_EFI_INVALID_PARAMETER);
}

TEST_F(MailboxDriver, MailboxVariableKeepsTheLastResponse) {
  uint64_t size = 100;
  uint32_t attributes = 0;
  Data out(2000, 0);
  EXPECT_EQ(mbx_get(&runtime_, &attributes, &size, out.data()), MBX_EFI_NOT_FOUND);

  Data request = HiiRequest(876, 0);
  ASSERT_EQ(mbx_set(&runtime_, StoreNextName, 7, request.size(), request.data()), MBX_EFI_SUCCESS);
  Data expected;
  ASSERT_TRUE(AnswerMailboxRequest(request, config_, hii_, store_, expected));
  size = 10;
  EXPECT_EQ(mbx_get(&runtime_, &attributes, &size, out.data()), MBX_EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, request.size());
  EXPECT_EQ(mbx_get(&runtime_, &attributes, &size, nullptr), MBX_EFI_INVALID_PARAMETER);
  EXPECT_EQ(mbx_get(&runtime_, &attributes, nullptr, out.data()), MBX_EFI_INVALID_PARAMETER);
  size = out.size();
  ASSERT_EQ(mbx_get(&runtime_, &attributes, &size, out.data()), MBX_EFI_SUCCESS);
  EXPECT_EQ(attributes, 7u);
  EXPECT_EQ(Data(out.begin(), out.begin() + static_cast<long>(size)), expected);

  // Content that is no request is kept as it is.
  Data plain = {1, 2, 3};
  ASSERT_EQ(mbx_set(&runtime_, StoreNextName, 7, plain.size(), plain.data()), MBX_EFI_SUCCESS);
  size = out.size();
  ASSERT_EQ(mbx_get(&runtime_, nullptr, &size, out.data()), MBX_EFI_SUCCESS);
  EXPECT_EQ(Data(out.begin(), out.begin() + 3), plain);

  // Refused writes leave the content alone; an empty write deletes it, once.
  Data big(MBX_MAX_CONTENT + 1, 0);
  struct Refusal {
    uint32_t attributes;
    uint64_t size;
    const uint8_t* data;
    uint64_t status;
  } refusals[] = {
      {7, big.size(), big.data(), MBX_EFI_OUT_OF_RESOURCES},
      {7 | 0x40, 3, plain.data(), MBX_EFI_INVALID_PARAMETER},
      {7 | 0x20, 3, plain.data(), MBX_EFI_INVALID_PARAMETER},
      {5, 3, plain.data(), MBX_EFI_INVALID_PARAMETER},
      {7, 3, nullptr, MBX_EFI_INVALID_PARAMETER},
  };
  for (const Refusal& r : refusals) EXPECT_EQ(mbx_set(&runtime_, StoreNextName, r.attributes, r.size, r.data), r.status);
  size = out.size();
  ASSERT_EQ(mbx_get(&runtime_, nullptr, &size, out.data()), MBX_EFI_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(mbx_set(&runtime_, StoreNextName, 7, 0, nullptr), MBX_EFI_SUCCESS);
  EXPECT_EQ(mbx_set(&runtime_, StoreNextName, 0, 3, plain.data()), MBX_EFI_NOT_FOUND);
  EXPECT_EQ(mbx_get(&runtime_, nullptr, &size, out.data()), MBX_EFI_NOT_FOUND);
}

TEST(MailboxDriverNames, RecognisesOnlyTheMailboxVariable) {
  const uint8_t* guid = mbx_variable_guid;
  uint8_t otherGuid[16] = {};
  const uint16_t kmbx[] = {'K', 'M', 'B', 'X', 0}, longer[] = {'K', 'M', 'B', 'X', 'Y', 0}, shorter[] = {'K', 'M', 0};
  EXPECT_TRUE(mbx_is_mailbox(kmbx, guid));
  EXPECT_FALSE(mbx_is_mailbox(longer, guid));
  EXPECT_FALSE(mbx_is_mailbox(shorter, guid));
  EXPECT_FALSE(mbx_is_mailbox(kmbx, otherGuid));
  EXPECT_FALSE(mbx_is_mailbox(nullptr, guid));
  EXPECT_FALSE(mbx_is_mailbox(kmbx, nullptr));
}

// ConvertPointer as a firmware that moves every runtime address by the same offset.
constexpr uintptr_t kMove = 0xFFFF800000000000ULL;
uint64_t MoveAll(void* calls, void** address) {
  ++*static_cast<int*>(calls);
  *address = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(*address) + kMove);
  return 0;
}

TEST(MailboxDriverPointers, VirtualAddressChangeConvertsEverySavedPointer) {
  uint8_t a, b, c, d, e;
  mbx_saved_pointers saved{&a, &b, &c, &d, &e};
  int calls = 0;
  ASSERT_EQ(mbx_convert_saved(&saved, MoveAll, &calls), 0u);
  EXPECT_EQ(calls, static_cast<int>(MBX_SAVED_POINTER_COUNT));
  void* expected[] = {&a, &b, &c, &d, &e};
  void* converted[] = {saved.get_variable, saved.set_variable, saved.get_next_variable_name, saved.hii, saved.content};
  static_assert(sizeof(mbx_saved_pointers) == MBX_SAVED_POINTER_COUNT * sizeof(void*), "a saved pointer is missed");
  for (size_t i = 0; i < MBX_SAVED_POINTER_COUNT; ++i)
    EXPECT_EQ(reinterpret_cast<uintptr_t>(converted[i]), reinterpret_cast<uintptr_t>(expected[i]) + kMove) << i;

  // Unset pointers stay null; a failing conversion is reported after trying the others.
  mbx_saved_pointers partial{};
  partial.hii = &d;
  calls = 0;
  auto failing = [](void* count, void** address) -> uint64_t {
    ++*static_cast<int*>(count);
    return MBX_EFI_NOT_FOUND;
  };
  EXPECT_EQ(mbx_convert_saved(&partial, failing, &calls), MBX_EFI_NOT_FOUND);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(partial.get_variable, nullptr);
}

TEST(MailboxDriverCrc, IsTheStandardCrc32) {
  const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(mbx_crc32(text, sizeof text), 0xCBF43926u);
  EXPECT_EQ(mbx_crc32(nullptr, 0), 0u);
}

// The platform policy the driver applies at boot: a value above the limit is clamped to it, in
// place; anything else (within the limit, outside the data, a width of no integer) is left alone.
TEST(MailboxDriverPolicy, ClampsOnlyAValueAboveTheLimit) {
  struct Case {
    Data data;
    uint64_t offset;
    uint32_t width;
    Data after;
    uint64_t before;
  };
  const Case cases[] = {
      {{0xAA, 0xB8, 0x0B, 0xAA}, 1, 2, {0xAA, 0x08, 0x07, 0xAA}, 3000},  // 3000 -> 1800
      {{0xAA, 0x08, 0x07, 0xAA}, 1, 2, {0xAA, 0x08, 0x07, 0xAA}, 0},     // 1800 stays
      {{0x58, 0x02}, 0, 2, {0x58, 0x02}, 0},                              // 600 stays
      {{0xFF, 0xFF}, 1, 2, {0xFF, 0xFF}, 0},                              // past the end
      {{0xFF, 0xFF}, ~0ull, 2, {0xFF, 0xFF}, 0},
      {{0xFF, 0xFF}, 0, 0, {0xFF, 0xFF}, 0},
      {Data(9, 0xFF), 0, 9, Data(9, 0xFF), 0},
  };
  for (const Case& c : cases) {
    Data data = c.data;
    uint64_t before = 0;
    EXPECT_EQ(mbx_clamp_value(data.data(), data.size(), c.offset, c.width, 1800, &before), c.before != 0);
    EXPECT_EQ(data, c.after);
    EXPECT_EQ(before, c.before);
  }
  // The driver's policy is over "Watchdog Timeout (s)" of the variable it creates: 600, within it.
  hiibuild::DriverFormSets sets = hiibuild::BuildDriverFormSets();
  EXPECT_EQ(sets.policy.prompt, L"Watchdog Timeout (s)");
  EXPECT_EQ(Get(sets.variable.data, sets.policy.offset, sets.policy.width), 600u);
}

}  // namespace
}  // namespace kes::fwemu

#endif  // KESTREL_FWEMU_PATH
