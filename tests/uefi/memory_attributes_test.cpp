// The mailbox driver's rewrite of the firmware's memory attributes table, which decides whether
// the operating system maps the driver's code executable.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "memory_attributes.h"

namespace {

using Data = std::vector<uint8_t>;
constexpr uint64_t kPage = 4096, kRuntime = 1ULL << 63, kXp = MBX_MEMORY_XP, kRo = MBX_MEMORY_RO;
constexpr uint32_t kDescriptorSize = 48;  // as EDK2 writes them: 40 bytes and padding

struct Range {
  uint64_t start, pages, attribute;
  bool operator==(const Range&) const = default;
};

void Put(Data& d, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) d[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}
uint64_t Get(const Data& d, size_t offset, size_t width) {
  uint64_t v = 0;
  for (size_t i = width; i > 0; --i) v = v << 8 | d[offset + i - 1];
  return v;
}

Data Table(const std::vector<Range>& ranges) {
  Data d(MBX_MAT_HEADER_SIZE + ranges.size() * kDescriptorSize, 0);
  Put(d, 0, 2, 4);
  Put(d, 4, ranges.size(), 4);
  Put(d, 8, kDescriptorSize, 4);
  for (size_t i = 0; i < ranges.size(); ++i) {
    size_t at = MBX_MAT_HEADER_SIZE + i * kDescriptorSize;
    Put(d, at, 5, 4);  // runtime services code
    Put(d, at + 8, ranges[i].start, 8);
    Put(d, at + 24, ranges[i].pages, 8);
    Put(d, at + 32, ranges[i].attribute, 8);
    Put(d, at + 40, 0xA5A5, 8);  // padding travels with the descriptor
  }
  return d;
}

std::vector<Range> Ranges(const Data& d) {
  std::vector<Range> out;
  for (uint64_t i = 0; i < Get(d, 4, 4); ++i) {
    size_t at = MBX_MAT_HEADER_SIZE + i * kDescriptorSize;
    EXPECT_EQ(Get(d, at, 4), 5u);
    EXPECT_EQ(Get(d, at + 40, 8), 0xA5A5u);
    out.push_back({Get(d, at + 8, 8), Get(d, at + 24, 8), Get(d, at + 32, 8)});
  }
  return out;
}

TEST(MemoryAttributes, SplitsTheDescriptorHoldingTheImage) {
  const uint64_t base = 0x3F5EC000;
  // The firmware's table: a runtime image it recorded, then the range holding the driver.
  Data table = Table({{0x3E000000, 4, kRuntime | kRo}, {base, 0x6D, kRuntime | kXp}, {0x3F659000, 1, kRuntime | kRo}});
  const uint64_t image = base + 0x58 * kPage, code = image + 3 * kPage, codeEnd = code + 8 * kPage, end = image + 0x14 * kPage;
  struct Case {
    std::string what;
    uint64_t imageStart, codeStart, codeEnd, imageEnd;
    std::vector<Range> split;  // what replaces the holding descriptor
  } cases[] = {
      {"inside", image, code, codeEnd, end,
       {{base, 0x58, kRuntime | kXp}, {image, 3, kRuntime | kXp}, {code, 8, kRuntime | kRo},
        {codeEnd, 9, kRuntime | kXp}, {end, 1, kRuntime | kXp}}},
      {"at the start, code first, to the end", base, base, base + kPage, base + 0x6D * kPage,
       {{base, 1, kRuntime | kRo}, {base + kPage, 0x6C, kRuntime | kXp}}},
  };
  for (const Case& c : cases) {
    Data out(mbx_mat_rewritten_size(table.data()), 0xEE);
    uint64_t written = 0;
    ASSERT_EQ(mbx_mat_describe_image(table.data(), table.size(), out.data(), out.size(), &written, c.imageStart,
                                     c.imageEnd, c.codeStart, c.codeEnd),
              MBX_MAT_REWRITTEN)
        << c.what;
    out.resize(written);
    EXPECT_EQ(Get(out, 0, 4), 2u) << c.what;
    std::vector<Range> expected{{0x3E000000, 4, kRuntime | kRo}};
    expected.insert(expected.end(), c.split.begin(), c.split.end());
    expected.push_back({0x3F659000, 1, kRuntime | kRo});
    EXPECT_EQ(Ranges(out), expected) << c.what;
  }
}

TEST(MemoryAttributes, RefusesWhatItCannotDescribe) {
  const uint64_t base = 0x100000;
  Data table = Table({{base, 16, kRuntime | kXp}, {base + 16 * kPage, 4, kRuntime | kRo}});
  Data huge = table;
  Put(huge, 4, 0xFFFFFFFF, 4);
  Data small = table;
  Put(small, 8, 24, 4);
  Data wrapping = Table({{~0ULL - kPage + 1, 0x100, kRuntime | kXp}});
  struct Case {
    std::string what;
    const Data* table;
    uint64_t imageStart, codeStart, codeEnd, imageEnd;
    size_t room;
    mbx_mat_result result;
  } cases[] = {
      {"code already executable", &table, base + 16 * kPage, base + 17 * kPage, base + 18 * kPage, base + 20 * kPage, 1000,
       MBX_MAT_ALREADY},
      {"image across two descriptors", &table, base + 15 * kPage, base + 15 * kPage, base + 16 * kPage, base + 17 * kPage,
       1000, MBX_MAT_NOT_COVERED},
      {"image outside the table", &table, 0x900000, 0x901000, 0x902000, 0x903000, 1000, MBX_MAT_NOT_COVERED},
      {"unaligned code", &table, base, base + 10, base + kPage, base + 2 * kPage, 1000, MBX_MAT_BAD_RANGES},
      {"code outside the image", &table, base, base + 2 * kPage, base + 3 * kPage, base + 2 * kPage, 1000,
       MBX_MAT_BAD_RANGES},
      {"entry count beyond the table", &huge, base, base, base + kPage, base + kPage, 1000, MBX_MAT_MALFORMED},
      {"descriptor smaller than a descriptor", &small, base, base, base + kPage, base + kPage, 1000, MBX_MAT_MALFORMED},
      {"range wrapping past 2^64", &wrapping, base, base, base + kPage, base + kPage, 1000, MBX_MAT_MALFORMED},
      {"no room for the split", &table, base, base, base + kPage, base + 2 * kPage, 100, MBX_MAT_NO_ROOM},
  };
  for (const Case& c : cases) {
    Data out(c.room, 0xEE);
    uint64_t written = 0;
    EXPECT_EQ(mbx_mat_describe_image(c.table->data(), c.table->size(), out.data(), out.size(), &written, c.imageStart,
                                     c.imageEnd, c.codeStart, c.codeEnd),
              c.result)
        << c.what;
    EXPECT_EQ(written, 0u) << c.what;
  }
  EXPECT_EQ(mbx_mat_size(table.data(), table.size() - 1), 0u);  // a table longer than what can be read
}

}  // namespace
