// The mailbox driver's readers of outside data. The input is a sequence of mailbox writes, each
// preceded by its 16-bit little-endian length and a byte of attributes, answered over a small HII
// snapshot and a fixed list of variables; after each write the variable is read back with a
// buffer of the length the write had. The same bytes are then a firmware memory attributes table
// that the driver rewrites to describe its image.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <vector>

#include "mailbox_service.h"
#include "memory_attributes.h"

namespace {

struct Name {
  const char* text;
  uint8_t guid;
};
constexpr Name kNames[] = {{"Boot0000", 1}, {"Setup", 2}, {"KMBX", 3}, {"Lang", 1}};

// GetNextVariableName over kNames, with the firmware's rules for the previous name.
uint64_t NextName(const mbx_runtime*, uint64_t* size, uint16_t* name, uint8_t guid[16]) {
  size_t index = 0;
  if (name[0] != 0) {
    for (index = 0; index < std::size(kNames); ++index) {
      const char* t = kNames[index].text;
      size_t i = 0;
      while (t[i] != 0 && name[i] == static_cast<uint8_t>(t[i])) ++i;
      if (t[i] == 0 && name[i] == 0 && guid[0] == kNames[index].guid) break;
    }
    if (index == std::size(kNames)) return MBX_EFI_INVALID_PARAMETER;
    ++index;
  }
  if (index == std::size(kNames)) return MBX_EFI_NOT_FOUND;
  size_t length = std::strlen(kNames[index].text);
  if (*size < 2 * (length + 1)) {
    *size = 2 * (length + 1);
    return MBX_EFI_BUFFER_TOO_SMALL;
  }
  for (size_t i = 0; i <= length; ++i) name[i] = static_cast<uint8_t>(kNames[index].text[i]);
  std::memset(guid, 0, 16);
  guid[0] = kNames[index].guid;
  *size = 2 * (length + 1);
  return MBX_EFI_SUCCESS;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static std::vector<uint8_t> hii = [] {
    std::vector<uint8_t> bytes(3000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    return bytes;
  }();
  std::vector<uint8_t> content(MBX_MAX_CONTENT);
  mbx_runtime runtime{};
  runtime.saved.hii = hii.data();
  runtime.hii_size = hii.size();
  runtime.saved.content = content.data();
  size_t at = 0;
  while (size - at >= 3) {
    size_t length = data[at] | size_t{data[at + 1]} << 8;
    uint32_t attributes = data[at + 2];
    at += 3;
    length = std::min(length, size - at);
    // A copy of exactly the write's bytes, so that a read beyond them is caught.
    std::vector<uint8_t> write(data + at, data + at + length);
    at += length;
    mbx_set(&runtime, NextName, attributes, write.size(), write.empty() ? nullptr : write.data());
    std::vector<uint8_t> back(write.size());
    uint64_t backSize = back.size();
    uint32_t backAttributes = 0;
    mbx_get(&runtime, &backAttributes, &backSize, back.empty() ? nullptr : back.data());
  }

  if (size >= MBX_MAT_HEADER_SIZE && mbx_mat_size(data, size) != 0) {
    std::vector<uint8_t> table(data, data + mbx_mat_size(data, size));
    std::vector<uint8_t> out(mbx_mat_rewritten_size(table.data()));
    uint64_t written = 0;
    mbx_mat_describe_image(table.data(), table.size(), out.data(), out.size(), &written, 0x100000, 0x120000, 0x103000,
                           0x10A000);
  }
  return 0;
}
