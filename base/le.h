// Little-endian reads and writes over byte views. Every read is bounds-checked: a field that
// does not fit in the view reads as 0, so a walker over firmware data can never read outside
// its buffer; walkers still check Fits() wherever a short field must end the walk.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kes {

using Bytes = std::span<const uint8_t>;

inline bool Fits(Bytes b, size_t offset, size_t size) {
  return offset <= b.size() && size <= b.size() - offset;
}

inline uint8_t Le8(Bytes b, size_t offset) { return Fits(b, offset, 1) ? b[offset] : 0; }

inline uint16_t Le16(Bytes b, size_t offset) {
  if (!Fits(b, offset, 2)) return 0;
  return static_cast<uint16_t>(b[offset] | (b[offset + 1] << 8));
}

inline uint32_t Le24(Bytes b, size_t offset) {
  if (!Fits(b, offset, 3)) return 0;
  return b[offset] | (b[offset + 1] << 8) | (static_cast<uint32_t>(b[offset + 2]) << 16);
}

inline uint32_t Le32(Bytes b, size_t offset) {
  if (!Fits(b, offset, 4)) return 0;
  return b[offset] | (b[offset + 1] << 8) | (b[offset + 2] << 16) | (static_cast<uint32_t>(b[offset + 3]) << 24);
}

inline uint64_t Le64(Bytes b, size_t offset) {
  if (!Fits(b, offset, 8)) return 0;
  return Le32(b, offset) | (static_cast<uint64_t>(Le32(b, offset + 4)) << 32);
}

// Unsigned little-endian integer of 1..8 bytes; 0 for other widths or a short view.
inline uint64_t LeN(Bytes b, size_t offset, size_t width) {
  if (width == 0 || width > 8 || !Fits(b, offset, width)) return 0;
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i) v |= static_cast<uint64_t>(b[offset + i]) << (8 * i);
  return v;
}

// The low `width` bytes (1..8) of `value` read as a two's complement integer; 0 for width 0.
inline int64_t SignExtend(uint64_t value, size_t width) {
  if (width >= 8) return static_cast<int64_t>(value);
  if (width == 0) return 0;
  uint64_t sign = uint64_t{1} << (8 * width - 1);
  value &= (sign << 1) - 1;
  return static_cast<int64_t>((value ^ sign) - sign);
}
// The low `width` bytes (1..8) of `value`.
inline uint64_t WidthMask(size_t width) { return width >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * width)) - 1; }

inline void PutLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutLeN(uint8_t* p, uint64_t v, size_t width) {
  for (size_t i = 0; i < width && i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

inline void AppendLe16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
inline void AppendLe32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void AppendLe64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace kes
