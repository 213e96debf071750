// zlib's crc32: an independent reference for the tool's CRC-32 of the HII database.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <vector>

namespace kes::test {

inline uint32_t ZlibCrc(const std::vector<uint8_t>& data) {
  return static_cast<uint32_t>(crc32(crc32(0L, Z_NULL, 0), data.data(), static_cast<uInt>(data.size())));
}

}  // namespace kes::test
