// NVAR stores laid out byte by byte from the record format, read and written through NvarStore.
#include "hii/nvar_store.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "base/le.h"
#include "firmware/variable_store.h"

namespace kes {
namespace {

using Data = std::vector<uint8_t>;

const EfiGuid kSetupGuid{0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
const EfiGuid kOtherGuid{0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x01}};
const EfiGuid kThirdGuid{0xA0A1A2A3, 0xB0B1, 0xC0C1, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr uint32_t kNvBs = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS;
constexpr uint32_t kNvBsRt = kNvBs | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr uint32_t kNone = 0xFFFFFF;  // Next, erased under polarity 1

Data Cat(std::initializer_list<Data> parts) {
  Data out;
  for (const Data& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Data Ascii(const std::string& s) {
  Data d(s.begin(), s.end());
  d.push_back(0);
  return d;
}
Data Ucs2(const std::u16string& s) {
  Data d;
  for (char16_t c : s) AppendLe16(d, c);
  AppendLe16(d, 0);
  return d;
}
Data GuidBytes(const EfiGuid& g) {
  auto a = g.ToBytes();
  return Data(a.begin(), a.end());
}

// One record: "NVAR", Size, Next, Attributes, then the given body (GUID, name, data, extension).
Data Nvar(uint8_t attributes, const Data& body, uint32_t next = kNone) {
  Data r = {'N', 'V', 'A', 'R'};
  AppendLe16(r, static_cast<uint16_t>(10 + body.size()));
  for (int i = 0; i < 3; ++i) r.push_back(static_cast<uint8_t>(next >> (8 * i)));
  r.push_back(attributes);
  r.insert(r.end(), body.begin(), body.end());
  return r;
}

// Sets the checksum byte (third from the end, before ExtSize) so that the record sums to 0 over
// Size, Attributes and offset 10 onwards.
Data WithChecksum(Data r) {
  uint8_t sum = r[4] + r[5] + r[9];
  for (size_t i = 10; i < r.size(); ++i) sum += r[i];
  r[r.size() - 3] = static_cast<uint8_t>(r[r.size() - 3] - sum);
  return r;
}

// A store image: records from offset 0, GUID n in the 16 bytes at end - 16 * (n + 1).
struct Image {
  explicit Image(size_t size, uint8_t erased = 0xFF) : bytes(size, erased) {}
  size_t Add(const Data& record) {
    size_t pos = cursor;
    std::copy(record.begin(), record.end(), bytes.begin() + pos);
    cursor += record.size();
    return pos;
  }
  void Guid(size_t index, const EfiGuid& g) {
    auto b = g.ToBytes();
    std::copy(b.begin(), b.end(), bytes.end() - 16 * (index + 1));
  }
  void Next(size_t pos, uint32_t next) {
    for (int i = 0; i < 3; ++i) bytes[pos + 6 + i] = static_cast<uint8_t>(next >> (8 * i));
  }
  Data bytes;
  size_t cursor = 0;
};

NvarStore OpenOrDie(Data bytes, uint8_t polarity) {
  auto store = NvarStore::Open(std::move(bytes), polarity);
  EXPECT_TRUE(store.has_value());
  return std::move(*store);
}

std::optional<Data> Read(const NvarStore& s, std::u16string_view name, const EfiGuid& g, uint32_t* attr = nullptr) {
  return s.ReadVariable(name, g, attr);
}

// Every (name, GUID) GetNextVariableName yields, in order; bounded so a loop cannot hang a test.
std::vector<std::u16string> Names(const NvarStore& s) {
  std::vector<std::u16string> names;
  std::u16string name;
  EfiGuid guid{};
  for (int i = 0; i < 10000 && s.GetNextVariableName(name, guid) == efi::kSuccess; ++i) names.push_back(name);
  return names;
}

// Raw walk over the records of a buffer written by the store: (position, attributes) until the
// first erased Size.
std::vector<std::pair<size_t, uint8_t>> RawRecords(const Data& b) {
  std::vector<std::pair<size_t, uint8_t>> out;
  size_t pos = 0;
  while (pos + 11 <= b.size() && b[pos] == 'N' && Le16(b, pos + 4) >= 11 && Le16(b, pos + 4) != 0xFFFF) {
    out.emplace_back(pos, b[pos + 9]);
    pos += Le16(b, pos + 4);
  }
  return out;
}

// "Setup" (ASCII name, GUID index 0) written three times: a full record and two data-only
// records chained by Next, with an unrelated UCS-2 named variable with an inline GUID between.
Image ThreeWriteStore() {
  Image img(512);
  img.Guid(0, kSetupGuid);
  size_t a = img.Add(Nvar(0x80 | 0x02 | 0x01, Cat({{0x00}, Ascii("Setup"), {1, 2, 3, 4}})));
  img.Add(Nvar(0x80 | 0x04, Cat({GuidBytes(kOtherGuid), Ucs2(u"Lang"), {0x65, 0x6E}})));
  size_t c = img.Add(Nvar(0x88, {5, 6, 7, 8}));
  size_t d = img.Add(Nvar(0x88, {9, 10, 11, 12}));
  img.Next(a, static_cast<uint32_t>(c - a));
  img.Next(c, static_cast<uint32_t>(d - c));
  return img;
}

// Found by fuzzing: a second live record of a variable sent the next name back to the record
// after the first one, and a record with an empty name restarted the walk, so the walk never
// ended. Each variable is named once, at its first record; nameless records are passed over.
TEST(NvarStore, NameWalkEndsOverRepeatedAndNamelessRecords) {
  Image img(512);
  img.Guid(0, kSetupGuid);
  img.Add(Nvar(0x80 | 0x02, Cat({{0x00}, Ascii("Setup"), {1}})));
  img.Add(Nvar(0x80 | 0x04, Cat({GuidBytes(kOtherGuid), Ucs2(u"Lang"), {2}})));
  img.Add(Nvar(0x80, Cat({{0x00}, Ucs2(u"Setup"), {3}})));
  img.Add(Nvar(0x80 | 0x02, Cat({{0x00}, Ascii(""), {4}})));
  img.Add(Nvar(0x80 | 0x02, Cat({{0x00}, Ascii("Boot"), {5}})));
  NvarStore s = OpenOrDie(img.bytes, 1);
  EXPECT_EQ(Names(s), (std::vector<std::u16string>{u"Setup", u"Lang", u"Boot"}));
  EXPECT_EQ(Read(s, u"Setup", kSetupGuid), (Data{1}));
}

TEST(NvarStore, ChainReadsTheLastDataAndNamesMatchAcrossEncodings) {
  NvarStore s = OpenOrDie(ThreeWriteStore().bytes, 1);
  uint32_t attr = 0;
  EXPECT_EQ(Read(s, u"Setup", kSetupGuid, &attr), (Data{9, 10, 11, 12}));
  EXPECT_EQ(attr, kNvBsRt);
  EXPECT_EQ(Read(s, u"Lang", kOtherGuid, &attr), (Data{0x65, 0x6E}));
  EXPECT_EQ(attr, kNvBs);
  EXPECT_FALSE(Read(s, u"Setup", kOtherGuid));
  EXPECT_FALSE(Read(s, u"Setu", kSetupGuid));
  EXPECT_FALSE(Read(s, u"SetupX", kSetupGuid));
  EXPECT_EQ(Names(s), (std::vector<std::u16string>{u"Setup", u"Lang"}));
  EXPECT_TRUE(s.FreeSpaceCheck());

  size_t size = 2;
  uint8_t small[2];
  EXPECT_EQ(s.GetVariable(u"Setup", kSetupGuid, nullptr, size, small), efi::kBufferTooSmall);
  EXPECT_EQ(size, 4u);
  size = 1;
  EXPECT_EQ(s.GetVariable(u"Setup", kSetupGuid, nullptr, size, nullptr), efi::kInvalidParameter);
  EXPECT_EQ(s.GetVariable(u"", kSetupGuid, nullptr, size, small), efi::kInvalidParameter);
  size = 0;
  EXPECT_EQ(s.GetVariable(u"Nope", kSetupGuid, nullptr, size, nullptr), efi::kNotFound);
}

TEST(NvarStore, WrongPolarityFindsNothing) {
  NvarStore wrong = OpenOrDie(ThreeWriteStore().bytes, 0);
  EXPECT_FALSE(Read(wrong, u"Setup", kSetupGuid));
  EXPECT_FALSE(Read(wrong, u"Lang", kOtherGuid));
  EXPECT_FALSE(wrong.FreeSpaceCheck());

  // The same variable in a polarity-0 store: erased bytes 0x00, live records with 0x80 clear.
  Image img(256, 0x00);
  img.Guid(0, kSetupGuid);
  img.Add(Nvar(0x02, Cat({{0x00}, Ascii("Setup"), {7, 7}}), 0));
  img.Add(Nvar(0x00, Cat({{0x00}, Ucs2(u"Plain"), {8}}), 0));  // Attributes 0x00: live, no flags
  NvarStore zero = OpenOrDie(img.bytes, 0);
  EXPECT_EQ(Read(zero, u"Setup", kSetupGuid), (Data{7, 7}));
  EXPECT_EQ(Read(zero, u"Plain", kSetupGuid), (Data{8}));
  EXPECT_TRUE(zero.FreeSpaceCheck());
  NvarStore one = OpenOrDie(img.bytes, 1);
  EXPECT_FALSE(Read(one, u"Setup", kSetupGuid));
  EXPECT_FALSE(one.FreeSpaceCheck());

  EXPECT_FALSE(NvarStore::Open(img.bytes, 0xFF).has_value());
}

TEST(NvarStore, ChecksummedExtendedHeaders) {
  // ExtAttributes (checksum present), checksum byte, ExtSize = 4.
  const Data ext = {0x01, 0x00, 0x04, 0x00};
  auto build = [&](bool corruptHead, bool corruptUpdate) {
    Image img(512);
    img.Guid(0, kSetupGuid);
    Data head = WithChecksum(Nvar(0x80 | 0x10 | 0x02, Cat({{0x00}, Ascii("Setup"), {1, 2}, ext})));
    Data update = WithChecksum(Nvar(0x80 | 0x10 | 0x08, Cat({{3, 4}, ext})));
    if (corruptHead) head[17] ^= 0x40;
    if (corruptUpdate) update[10] ^= 0x01;
    size_t a = img.Add(head);
    size_t b = img.Add(update);
    img.Next(a, static_cast<uint32_t>(b - a));
    return img.bytes;
  };
  EXPECT_EQ(Read(OpenOrDie(build(false, false), 1), u"Setup", kSetupGuid), (Data{3, 4}));
  // A record failing its checksum is absent: the chain ends before it, a bad head hides the variable.
  EXPECT_EQ(Read(OpenOrDie(build(false, true), 1), u"Setup", kSetupGuid), (Data{1, 2}));
  EXPECT_FALSE(Read(OpenOrDie(build(true, false), 1), u"Setup", kSetupGuid));

  // The first record is checksummed, so records written later are too.
  NvarStore s = OpenOrDie(build(false, false), 1);
  EXPECT_EQ(s.Mode() & nvar::kModeChecksum, nvar::kModeChecksum);
  ASSERT_EQ(s.SetVariable(u"Setup", kSetupGuid, kNvBs, Data{5, 6}), efi::kSuccess);
  ASSERT_EQ(s.SetVariable(u"New", kOtherGuid, kNvBs, Data{7}), efi::kSuccess);
  auto records = RawRecords(s.Buffer());
  ASSERT_EQ(records.size(), 4u);
  for (size_t i = 2; i < 4; ++i) {
    auto [pos, attributes] = records[i];
    EXPECT_TRUE(attributes & 0x10);
    Data r(s.Buffer().begin() + pos, s.Buffer().begin() + pos + Le16(s.Buffer(), pos + 4));
    uint8_t sum = r[4] + r[5] + r[9];
    for (size_t k = 10; k < r.size(); ++k) sum += r[k];
    EXPECT_EQ(sum, 0) << "record " << i;
  }
  EXPECT_EQ(Read(s, u"Setup", kSetupGuid), (Data{5, 6}));
  EXPECT_EQ(Read(s, u"New", kOtherGuid), (Data{7}));
}

TEST(NvarStore, AuthenticatedRecordReportsItsKindAndKeepsCounterOnUpdate) {
  Data counterDigest(40);
  for (size_t i = 0; i < counterDigest.size(); ++i) counterDigest[i] = static_cast<uint8_t>(0xA0 + i);
  Data ext = Cat({{0x20}, counterDigest, {43, 0}});  // time-based kind, no checksum
  Image img(512);
  img.Guid(0, kSetupGuid);
  img.Add(Nvar(0x80 | 0x40 | 0x10 | 0x02, Cat({{0x00}, Ascii("Auth"), {1}, ext})));
  NvarStore s = OpenOrDie(img.bytes, 1);
  uint32_t attr = 0;
  EXPECT_EQ(Read(s, u"Auth", kSetupGuid, &attr), (Data{1}));
  EXPECT_EQ(attr, kNvBs | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS);
  ASSERT_EQ(s.SetVariable(u"Auth", kSetupGuid, attr, Data{2}), efi::kSuccess);
  EXPECT_EQ(Read(s, u"Auth", kSetupGuid), (Data{2}));
  auto records = RawRecords(s.Buffer());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].second, 0x80 | 0x40 | 0x10 | 0x08);
  Data update(s.Buffer().begin() + records[1].first, s.Buffer().begin() + records[1].first + 11 + 43);
  EXPECT_EQ(Data(update.begin() + 12, update.begin() + 52), counterDigest);
}

TEST(NvarStore, MalformedRecordsAreSkippedOrEndTheWalk) {
  struct Case {
    const char* what;
    Data record;         // placed between two good records
    bool laterFound;     // the good record after it is still reached
  };
  Data good = Nvar(0x82, Cat({{0x00}, Ascii("Good"), {1}}));
  Data badSignature = Nvar(0x82, Cat({{0x00}, Ascii("Bad"), {1}}));
  badSignature[3] = 'X';
  Data sizePastEnd = Nvar(0x82, Cat({{0x00}, Ascii("Bad"), {1}}));
  PutLe16(&sizePastEnd[4], 0x1000);
  const Case cases[] = {
      {"bad signature, sane size", badSignature, true},
      {"GUID index past the table", Nvar(0x82, Cat({{0x07}, Ascii("Bad"), {1}})), true},
      {"ASCII name without NUL", Nvar(0x82, Cat({{0x00}, {'B', 'a', 'd'}})), true},
      {"UCS-2 name without NUL", Nvar(0x80, Cat({{0x00}, {'B', 0, 'a', 0, 'd'}})), true},
      {"ExtSize larger than the record", Nvar(0x92, Cat({{0x00}, Ascii("Bad"), {1, 0x00, 0xFF, 0x00}})), true},
      {"ExtSize below its minimum", Nvar(0x92, Cat({{0x00}, Ascii("Bad"), {1, 0x02, 0x00}})), true},
      {"inline GUID cut short", Nvar(0x84, {1, 2, 3}), true},
      {"Next below Size", Nvar(0x82, Cat({{0x00}, Ascii("Bad"), {1}}), 5), true},
      {"Next past the store", Nvar(0x82, Cat({{0x00}, Ascii("Bad"), {1}}), 0x10000), true},
      {"Size below 11", Data{'N', 'V', 'A', 'R', 10, 0, 0xFF, 0xFF, 0xFF, 0x82}, false},
      {"Size erased", Data{'N', 'V', 'A', 'R', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x82, 0}, false},
      {"Size past the end", sizePastEnd, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Image img(300);
    img.Guid(0, kSetupGuid);
    img.Add(Nvar(0x82, Cat({{0x00}, Ascii("First"), {1}})));
    img.Add(c.record);
    img.Add(good);
    NvarStore s = OpenOrDie(img.bytes, 1);
    EXPECT_EQ(Read(s, u"First", kSetupGuid), (Data{1}));
    EXPECT_FALSE(Read(s, u"Bad", kSetupGuid));
    EXPECT_EQ(Read(s, u"Good", kSetupGuid).has_value(), c.laterFound);
  }
}

// Every truncation and many corruptions of a store, opened under both polarities: every walk
// ends, and AddressSanitizer sees no read or write outside the buffer.
TEST(NvarStore, CorruptedAndTruncatedStoresAreWalkedSafely) {
  Image img(400);
  img.Guid(0, kSetupGuid);
  img.Guid(1, kOtherGuid);
  size_t a = img.Add(WithChecksum(Nvar(0x92, Cat({{0x00}, Ascii("Setup"), {1, 2, 3}, {0x01, 0, 4, 0}}))));
  img.Add(Nvar(0x84, Cat({GuidBytes(kThirdGuid), Ucs2(u"Wide"), {9}})));
  size_t c = img.Add(WithChecksum(Nvar(0x98, Cat({{4, 5, 6}, {0x01, 0, 4, 0}}))));
  img.Add(Nvar(0x80, Cat({{0x01}, Ucs2(u"Other"), {7, 7}})));
  img.Next(a, static_cast<uint32_t>(c - a));
  const Data base = img.bytes;

  auto exercise = [](Data bytes) {
    for (uint8_t polarity : {0, 1}) {
      auto s = NvarStore::Open(bytes, polarity);
      ASSERT_TRUE(s);
      Read(*s, u"Setup", kSetupGuid);
      Read(*s, u"Other", kOtherGuid);
      Names(*s);
      s->FreeSpaceCheck();
      s->SetMode(nvar::kModeNestedStdDefaults | nvar::kModeChecksum);
      s->SetVariable(u"Setup", kSetupGuid, kNvBs, Data{1, 1, 1, 1, 1});
      s->SetVariable(u"Fresh", kThirdGuid, kNvBs, Data(50, 0x5A));
      s->DeleteVariable(u"Other", kOtherGuid);
      Names(*s);
    }
  };
  for (size_t len = 0; len <= base.size(); len += len < 130 ? 1 : 9) exercise(Data(base.begin(), base.begin() + len));
  for (size_t pos = 0; pos < 120; ++pos)
    for (uint8_t value : {0x00, 0x01, 0x0A, 0x0B, 0x10, 0x7F, 0x80, 0xFF}) {
      Data bytes = base;
      bytes[pos] = value;
      exercise(bytes);
    }
  std::mt19937 rng(5);
  for (int i = 0; i < 120; ++i) {
    Data bytes = base;
    for (int k = 0; k < 6; ++k) bytes[rng() % bytes.size()] = static_cast<uint8_t>(rng());
    exercise(bytes);
    Data noise(rng() % 300);
    for (auto& b : noise) b = static_cast<uint8_t>(rng() % 4 == 0 ? 'N' : rng());
    exercise(noise);
  }
}

TEST(NvarStore, UpdateAppendsAChainedDataOnlyRecordAndIdenticalDataWritesNothing) {
  Data before = ThreeWriteStore().bytes;
  NvarStore s = OpenOrDie(before, 1);
  EXPECT_EQ(s.SetVariable(u"Setup", kSetupGuid, kNvBsRt, Data{9, 10, 11, 12}), efi::kSuccess);
  EXPECT_EQ(s.Buffer(), before);
  EXPECT_EQ(s.SetVariable(u"Setup", kSetupGuid, kNvBsRt | EFI_VARIABLE_APPEND_WRITE, Data{}), efi::kSuccess);
  EXPECT_EQ(s.Buffer(), before);

  ASSERT_EQ(s.SetVariable(u"Setup", kSetupGuid, kNvBsRt, Data{42}), efi::kSuccess);
  EXPECT_EQ(Read(s, u"Setup", kSetupGuid), (Data{42}));
  auto records = RawRecords(s.Buffer());
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(records[4].second, 0x88);
  // The previous last record of the chain now points at the new one.
  EXPECT_EQ(Le24(s.Buffer(), records[3].first + 6), records[4].first - records[3].first);
  ASSERT_EQ(s.SetVariable(u"Setup", kSetupGuid, kNvBsRt | EFI_VARIABLE_APPEND_WRITE, Data{43}), efi::kSuccess);
  EXPECT_EQ(Read(s, u"Setup", kSetupGuid), (Data{42, 43}));
}

TEST(NvarStore, RoundTripsThroughTheWriterUnderBothPolarities) {
  for (uint8_t polarity : {1, 0}) {
    SCOPED_TRACE(polarity);
    NvarStore s = OpenOrDie(Data(1024, polarity ? 0xFF : 0x00), polarity);
    EXPECT_TRUE(s.FreeSpaceCheck());
    const std::u16string wide = u"Caf\u0101";
    ASSERT_EQ(s.SetVariable(u"Setup", kSetupGuid, kNvBsRt, Data{1, 2, 3}), efi::kSuccess);
    ASSERT_EQ(s.SetVariable(wide, kOtherGuid, kNvBs, Data{4}), efi::kSuccess);
    ASSERT_EQ(s.SetVariable(u"Hw", kSetupGuid, kNvBsRt | EFI_VARIABLE_HARDWARE_ERROR_RECORD, Data{5}), efi::kSuccess);
    uint32_t attr = 0;
    EXPECT_EQ(Read(s, u"Setup", kSetupGuid, &attr), (Data{1, 2, 3}));
    EXPECT_EQ(attr, kNvBsRt);
    EXPECT_EQ(Read(s, wide, kOtherGuid, &attr), (Data{4}));
    EXPECT_EQ(attr, kNvBs);
    EXPECT_EQ(Read(s, u"Hw", kSetupGuid, &attr), (Data{5}));
    EXPECT_EQ(attr, kNvBsRt | EFI_VARIABLE_HARDWARE_ERROR_RECORD);
    EXPECT_EQ(Names(s), (std::vector<std::u16string>{u"Setup", wide, u"Hw"}));

    auto records = RawRecords(s.Buffer());
    if (polarity) {
      ASSERT_EQ(records.size(), 3u);
      EXPECT_EQ(records[0].second, 0x80 | 0x02 | 0x01);  // live, ASCII name, runtime
      EXPECT_EQ(records[1].second, 0x80);                // live, UCS-2 name, GUID index 1
    }
    // Two GUIDs in the table, GUID 0 in the last 16 bytes.
    const Data& b = s.Buffer();
    EXPECT_EQ(EfiGuid::FromBytes(b, b.size() - 16), kSetupGuid);
    EXPECT_EQ(EfiGuid::FromBytes(b, b.size() - 32), kOtherGuid);

    ASSERT_EQ(s.SetVariable(u"Setup", kSetupGuid, kNvBsRt, Data{6}), efi::kSuccess);
    EXPECT_EQ(Read(s, u"Setup", kSetupGuid), (Data{6}));
    // Deleting flips the valid bit of the full record; the chain goes with it.
    ASSERT_EQ(s.SetVariable(u"Setup", kSetupGuid, 0, Data{}), efi::kSuccess);
    EXPECT_FALSE(Read(s, u"Setup", kSetupGuid));
    EXPECT_EQ(s.Buffer()[9] & 0x80, polarity ? 0 : 0x80);
    EXPECT_EQ(s.DeleteVariable(u"Setup", kSetupGuid), efi::kNotFound);
    ASSERT_EQ(s.SetVariable(u"Setup", kSetupGuid, kNvBs, Data{7}), efi::kSuccess);
    EXPECT_EQ(Read(s, u"Setup", kSetupGuid, &attr), (Data{7}));
    EXPECT_EQ(attr, kNvBs);
    EXPECT_TRUE(s.FreeSpaceCheck());
  }
}

TEST(NvarStore, SetVariableRejectsBadArguments) {
  NvarStore s = OpenOrDie(Data(256, 0xFF), 1);
  EXPECT_EQ(s.SetVariable(u"", kSetupGuid, kNvBs, Data{1}), efi::kInvalidParameter);
  EXPECT_EQ(s.SetVariable(u"A", kSetupGuid, 0x80, Data{1}), efi::kInvalidParameter);
  EXPECT_EQ(s.SetVariable(u"A", kSetupGuid, EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_RUNTIME_ACCESS, Data{1}),
            efi::kInvalidParameter);
  EXPECT_EQ(s.SetVariable(u"A", kSetupGuid, kNvBs, Data(65536)), efi::kOutOfResources);
  EXPECT_EQ(s.SetVariable(u"A", kSetupGuid, EFI_VARIABLE_BOOTSERVICE_ACCESS, Data{1}), efi::kUnsupported);
  EXPECT_EQ(s.SetVariable(u"A", kSetupGuid, kNvBs, Data(300)), efi::kOutOfResources);
  EXPECT_EQ(s.DeleteVariable(u"A", kSetupGuid), efi::kNotFound);
  EXPECT_EQ(s.Buffer(), Data(256, 0xFF));
}

TEST(NvarStore, GuidGoesInlineOnceTheTableHas256Entries) {
  NvarStore s = OpenOrDie(Data(16 * 1024, 0xFF), 1);
  auto guidOf = [](uint32_t i) { return EfiGuid{0x10000000u + i, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}}; };
  for (uint32_t i = 0; i <= 256; ++i)
    ASSERT_EQ(s.SetVariable(u"V", guidOf(i), kNvBs, Data{static_cast<uint8_t>(i)}), efi::kSuccess) << i;
  auto records = RawRecords(s.Buffer());
  ASSERT_EQ(records.size(), 257u);
  EXPECT_EQ(records[255].second & 0x04, 0);
  EXPECT_EQ(records[256].second & 0x04, 0x04);
  for (uint32_t i = 0; i <= 256; ++i) EXPECT_EQ(Read(s, u"V", guidOf(i)), Data{static_cast<uint8_t>(i)}) << i;
}

TEST(NvarStore, RebuildKeepsOnlyLiveNewestValuesAndUsedGuids) {
  // Live "Keep" (GUID 0) with one update, a deleted "Gone" (GUID 1, its only user), live "Wide"
  // (GUID 2). Little room is left; the next write needs the rebuild.
  Image img(160);
  img.Guid(0, kSetupGuid);
  img.Guid(1, kOtherGuid);
  img.Guid(2, kThirdGuid);
  size_t a = img.Add(Nvar(0x82, Cat({{0x00}, Ascii("Keep"), Data(8, 1)})));
  img.Add(Nvar(0x02, Cat({{0x01}, Ascii("Gone"), Data(8, 2)})));
  size_t c = img.Add(Nvar(0x88, Data(8, 3)));
  img.Add(Nvar(0x80, Cat({{0x02}, Ucs2(u"Wide"), {4}})));
  img.Next(a, static_cast<uint32_t>(c - a));
  NvarStore s = OpenOrDie(img.bytes, 1);
  ASSERT_FALSE(Read(s, u"Gone", kOtherGuid));

  ASSERT_EQ(s.SetVariable(u"Keep", kSetupGuid, kNvBs, Data(20, 5)), efi::kSuccess);
  EXPECT_EQ(s.Buffer().size(), 160u);
  EXPECT_EQ(Read(s, u"Keep", kSetupGuid), Data(20, 5));
  EXPECT_EQ(Read(s, u"Wide", kThirdGuid), Data{4});
  EXPECT_EQ(Names(s), (std::vector<std::u16string>{u"Keep", u"Wide"}));
  auto records = RawRecords(s.Buffer());
  ASSERT_EQ(records.size(), 3u);  // Keep and Wide as full records, then Keep's update
  EXPECT_EQ(records[0].second & 0x08, 0);
  EXPECT_EQ(records[1].second & 0x08, 0);
  // Only the two GUIDs in use are left in the table.
  const Data& b = s.Buffer();
  EXPECT_EQ(EfiGuid::FromBytes(b, b.size() - 16), kSetupGuid);
  EXPECT_EQ(EfiGuid::FromBytes(b, b.size() - 32), kThirdGuid);
  EXPECT_EQ(Data(b.end() - 48, b.end() - 32), Data(16, 0xFF));
  EXPECT_TRUE(s.FreeSpaceCheck());

  // A value that fits no store of this size leaves the store as it was.
  Data before = s.Buffer();
  EXPECT_EQ(s.SetVariable(u"Keep", kSetupGuid, kNvBs, Data(150, 6)), efi::kOutOfResources);
  EXPECT_EQ(s.Buffer(), before);
}

TEST(NvarStore, NestedStandardDefaultsStoreIsSearchedWhenSwitchedOn) {
  Image inner(96);
  inner.Guid(0, kSetupGuid);
  inner.Add(Nvar(0x82, Cat({{0x00}, Ascii("Setup"), {0xAB}})));
  Image outer(512);
  outer.Guid(0, nvar::kDefaultsGuid);
  outer.Add(Nvar(0x82, Cat({{0x00}, Ascii("StdDefaults"), inner.bytes})));
  NvarStore s = OpenOrDie(outer.bytes, 1);
  EXPECT_FALSE(Read(s, u"Setup", kSetupGuid));
  s.SetMode(nvar::kModeNestedStdDefaults);
  EXPECT_EQ(Read(s, u"Setup", kSetupGuid), Data{0xAB});
  EXPECT_EQ(Names(s), (std::vector<std::u16string>{u"StdDefaults", u"Setup"}));
  s.SetMode(0);
  EXPECT_FALSE(Read(s, u"Setup", kSetupGuid));
}

}  // namespace
}  // namespace kes
