/* Little-endian field access and byte copies for the driver's plain C parts. They run in firmware
 * (no C library) and on the host alike, so they are spelled out instead of taken from libc. */
#ifndef KESTREL_MAILBOX_BYTE_ACCESS_H
#define KESTREL_MAILBOX_BYTE_ACCESS_H

#include <stdint.h>

static inline uint64_t get_le(const uint8_t *p, unsigned width) {
  uint64_t v = 0;
  for (unsigned i = width; i > 0; --i) v = (v << 8) | p[i - 1];
  return v;
}

static inline void put_le(uint8_t *p, uint64_t v, unsigned width) {
  for (unsigned i = 0; i < width; ++i) p[i] = (uint8_t)(v >> (8 * i));
}

static inline void copy_bytes(uint8_t *to, const uint8_t *from, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) to[i] = from[i];
}

#endif
