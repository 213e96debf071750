/* The firmware's memory attributes table, as the operating system reads it to map runtime
 * memory: a 16-byte header (version, number of entries, descriptor size, reserved; 32-bit each)
 * and memory descriptors (type, padding, physical start, virtual start, number of 4 KiB pages,
 * attribute). Code ranges carry EFI_MEMORY_RO, everything else EFI_MEMORY_XP.
 *
 * EDK2 describes a runtime image's sections in it only when the image was loaded before the end
 * of DXE; a driver loaded later (a Driver#### load option, the shell's `load`) lies in a range
 * marked XP, and Linux, which maps runtime memory by this table, then faults on the first call
 * into the driver. The driver therefore describes its own image. Plain C, shared with the host. */
#ifndef KESTREL_MEMORY_ATTRIBUTES_H
#define KESTREL_MEMORY_ATTRIBUTES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MBX_MAT_HEADER_SIZE 16u
#define MBX_MAT_MIN_DESCRIPTOR 40u
#define MBX_MEMORY_RO 0x20000ull
#define MBX_MEMORY_XP 0x4000ull

enum mbx_mat_result {
  MBX_MAT_REWRITTEN = 0,   /* out holds the new table */
  MBX_MAT_ALREADY = 1,     /* the image's code is already executable in the table */
  MBX_MAT_MALFORMED = 2,   /* the table's header or sizes make no sense */
  MBX_MAT_NOT_COVERED = 3, /* no single descriptor holds the whole image */
  MBX_MAT_BAD_RANGES = 4,  /* the image or code range is not page-aligned or not nested */
  MBX_MAT_NO_ROOM = 5,     /* out is smaller than mbx_mat_rewritten_size() */
};

/* The table's size in bytes from its header, or 0 when the header is malformed or the table
 * would be larger than `readable`. */
uint64_t mbx_mat_size(const uint8_t *table, uint64_t readable);

/* The size a rewritten copy of the table can take (four more descriptors). */
uint64_t mbx_mat_rewritten_size(const uint8_t *table);

/* Writes to out a copy of the table (its size given by its header, at most `readable` bytes)
 * in which the descriptor holding the image [image_start, image_end) is split so that
 * [code_start, code_end) is read-only code and the rest of the image non-executable data; the
 * parts of that descriptor outside the image keep their attributes. *out_size receives the
 * copy's size. */
enum mbx_mat_result mbx_mat_describe_image(const uint8_t *table, uint64_t readable, uint8_t *out, uint64_t capacity,
                                           uint64_t *out_size, uint64_t image_start, uint64_t image_end,
                                           uint64_t code_start, uint64_t code_end);

#ifdef __cplusplus
}
#endif

#endif
