#include "memory_attributes.h"
#include "byte_access.h"

#define PAGE 4096u
#define D_START 8u
#define D_VIRTUAL 16u
#define D_PAGES 24u
#define D_ATTRIBUTE 32u
#define MAX_ENTRIES 65536u

uint64_t mbx_mat_size(const uint8_t *table, uint64_t readable) {
  if (!table || readable < MBX_MAT_HEADER_SIZE) return 0;
  uint64_t count = get_le(table + 4, 4), size = get_le(table + 8, 4);
  if (size < MBX_MAT_MIN_DESCRIPTOR || size % 8 != 0 || size > 4096 || count > MAX_ENTRIES) return 0;
  uint64_t total = MBX_MAT_HEADER_SIZE + count * size;
  return total <= readable ? total : 0;
}

uint64_t mbx_mat_rewritten_size(const uint8_t *table) {
  return MBX_MAT_HEADER_SIZE + (get_le(table + 4, 4) + 4) * get_le(table + 8, 4);
}

/* One part of the split descriptor: its bytes from the original, the range and attribute set. */
static uint8_t *emit(uint8_t *at, const uint8_t *original, uint64_t size, uint64_t start, uint64_t end,
                     uint64_t attribute) {
  if (start >= end) return at;
  copy_bytes(at, original, size);
  uint64_t virtual_start = get_le(original + D_VIRTUAL, 8);
  put_le(at + D_START, start, 8);
  put_le(at + D_VIRTUAL, virtual_start ? virtual_start + (start - get_le(original + D_START, 8)) : 0, 8);
  put_le(at + D_PAGES, (end - start) / PAGE, 8);
  put_le(at + D_ATTRIBUTE, attribute, 8);
  return at + size;
}

enum mbx_mat_result mbx_mat_describe_image(const uint8_t *table, uint64_t readable, uint8_t *out, uint64_t capacity,
                                           uint64_t *out_size, uint64_t image_start, uint64_t image_end,
                                           uint64_t code_start, uint64_t code_end) {
  uint64_t total = mbx_mat_size(table, readable);
  if (total == 0) return MBX_MAT_MALFORMED;
  if (image_start % PAGE || image_end % PAGE || code_start % PAGE || code_end % PAGE || image_start > code_start ||
      code_start >= code_end || code_end > image_end)
    return MBX_MAT_BAD_RANGES;
  uint64_t count = get_le(table + 4, 4), size = get_le(table + 8, 4);
  const uint8_t *holder = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t *d = table + MBX_MAT_HEADER_SIZE + i * size;
    uint64_t start = get_le(d + D_START, 8), pages = get_le(d + D_PAGES, 8);
    if (pages > (~0ull - start) / PAGE) return MBX_MAT_MALFORMED;
    uint64_t end = start + pages * PAGE;
    /* Code already described as executable: the firmware recorded the image. */
    if (start <= code_start && code_end <= end && !(get_le(d + D_ATTRIBUTE, 8) & MBX_MEMORY_XP)) return MBX_MAT_ALREADY;
    if (start <= image_start && image_end <= end && !holder) holder = d;
  }
  if (!holder) return MBX_MAT_NOT_COVERED;
  uint64_t attribute = get_le(holder + D_ATTRIBUTE, 8);
  if (capacity < mbx_mat_rewritten_size(table)) return MBX_MAT_NO_ROOM;

  uint64_t start = get_le(holder + D_START, 8), end = start + get_le(holder + D_PAGES, 8) * PAGE;
  uint64_t plain = attribute & ~(MBX_MEMORY_RO | MBX_MEMORY_XP);
  uint8_t *at = out + MBX_MAT_HEADER_SIZE;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t *d = table + MBX_MAT_HEADER_SIZE + i * size;
    if (d != holder) {
      copy_bytes(at, d, size);
      at += size;
      continue;
    }
    at = emit(at, d, size, start, image_start, attribute);
    at = emit(at, d, size, image_start, code_start, plain | MBX_MEMORY_XP);
    at = emit(at, d, size, code_start, code_end, plain | MBX_MEMORY_RO);
    at = emit(at, d, size, code_end, image_end, plain | MBX_MEMORY_XP);
    at = emit(at, d, size, image_end, end, attribute);
  }
  copy_bytes(out, table, MBX_MAT_HEADER_SIZE);
  *out_size = (uint64_t)(at - out);
  put_le(out + 4, (*out_size - MBX_MAT_HEADER_SIZE) / size, 4);
  return MBX_MAT_REWRITTEN;
}
