/* The mailbox as the firmware serves it: a write of the mailbox variable that carries a request
 * frame is answered in memory with a response frame of the same length, which the next read of
 * the variable returns. Plain C without a C library, shared by the UEFI driver and the host's
 * tests and fuzz target.
 *
 * Frame (little-endian): Size (2), Reserved (2), Version (2), ReturnValue (2; 0x8002 marks a
 * request, the response carries 0 or the handler's error), FunctionGuid (16), PayloadSize (8),
 * then the payload. The two services:
 *   variable-name enumeration  45AC8863-E3FA-4A38-A23C-00BCD10CBD50, 544-byte payload:
 *     0 status, 8 name bytes available / name length, 16 vendor GUID, 32 UTF-16 name (512 bytes)
 *   HII database read          2A7ADC98-820E-4775-A17D-2F741D55B626, payload 24 + n (n <= 876):
 *     0 n (0 = size query) / total size, 8 byte offset, 16 command 50 / status, 24 the bytes
 */
#ifndef KESTREL_MAILBOX_SERVICE_H
#define KESTREL_MAILBOX_SERVICE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MBX_HEADER_SIZE 32u
#define MBX_REQUEST_MARKER 0x8002u
#define MBX_BAD_REQUEST 0x8001u

#define MBX_ENUM_PAYLOAD_MIN 32u
#define MBX_ENUM_NAME_BYTES 512u
#define MBX_HII_DATA_OFFSET 24u
#define MBX_HII_MAX_CHUNK 876u
#define MBX_HII_READ_COMMAND 50u

/* The largest mailbox content kept: any frame of either service fits. */
#define MBX_MAX_CONTENT 4096u

/* EFI_STATUS values as the 64-bit firmware writes them. */
#define MBX_EFI_ERROR_BIT 0x8000000000000000ull
#define MBX_EFI_SUCCESS 0ull
#define MBX_EFI_INVALID_PARAMETER (MBX_EFI_ERROR_BIT | 2)
#define MBX_EFI_UNSUPPORTED (MBX_EFI_ERROR_BIT | 3)
#define MBX_EFI_BAD_BUFFER_SIZE (MBX_EFI_ERROR_BIT | 4)
#define MBX_EFI_BUFFER_TOO_SMALL (MBX_EFI_ERROR_BIT | 5)
#define MBX_EFI_OUT_OF_RESOURCES (MBX_EFI_ERROR_BIT | 9)
#define MBX_EFI_NOT_FOUND (MBX_EFI_ERROR_BIT | 14)

extern const uint8_t mbx_enumerate_guid[16];
extern const uint8_t mbx_hii_read_guid[16];
/* The mailbox variable: "KMBX" under 280BCC15-2CD7-467C-9647-1B30307D7ED5. */
extern const uint16_t mbx_variable_name[5];
extern const uint8_t mbx_variable_guid[16];

/* Every address the driver saves while boot services run, in one place, so that the
 * virtual-address change converts all of them. */
#define MBX_SAVED_POINTER_COUNT 5u
struct mbx_saved_pointers {
  void *get_variable;           /* the firmware's services, wrapped */
  void *set_variable;
  void *get_next_variable_name; /* used for the enumeration */
  uint8_t *hii;                 /* the HII database snapshot */
  uint8_t *content;             /* the mailbox variable's content, MBX_MAX_CONTENT bytes */
};

/* The driver's run-time state. The mailbox variable's content lives here between requests,
 * never in flash. */
struct mbx_runtime {
  struct mbx_saved_pointers saved;
  uint64_t hii_size;
  uint64_t content_size;
  uint32_t content_attributes;
  int content_present;
};

/* The firmware's GetNextVariableName, with the calling convention taken care of by the caller:
 * name_size in bytes (in: the buffer's size; out: the bytes written or needed, terminator
 * included), name (in: the previous name, terminated; out: the next one), guid (in/out). */
typedef uint64_t (*mbx_next_name_fn)(const struct mbx_runtime *runtime, uint64_t *name_size, uint16_t *name,
                                     uint8_t guid[16]);

/* Answers one mailbox write. request/size: the bytes written. When they are a request frame
 * (at least a header long, ReturnValue 0x8002) the response, `size` bytes, is written to
 * response (which must hold `size` bytes and may not overlap the request) and 1 is returned;
 * otherwise 0 and response is untouched. Reads nothing outside request[0, size) and the
 * snapshot. */
int mbx_answer(const struct mbx_runtime *runtime, mbx_next_name_fn next_name, const uint8_t *request, uint64_t size,
               uint8_t *response);

/* SetVariable of the mailbox variable: a request is answered, other content kept as it is, an
 * empty write (or one without boot-service and runtime access) deletes. Returns the EFI status. */
uint64_t mbx_set(struct mbx_runtime *runtime, mbx_next_name_fn next_name, uint32_t attributes, uint64_t size,
                 const uint8_t *data);

/* GetVariable of the mailbox variable, with the service's size rules. */
uint64_t mbx_get(const struct mbx_runtime *runtime, uint32_t *attributes, uint64_t *size, uint8_t *data);

/* True when the name (terminated UTF-16) and GUID are the mailbox variable's. A null name or
 * guid is never the mailbox. */
int mbx_is_mailbox(const uint16_t *name, const uint8_t *guid);

/* Converts each non-null saved pointer with convert (the runtime service's ConvertPointer,
 * through the caller's adapter). Returns 0, or the first failing status after trying all. */
typedef uint64_t (*mbx_convert_fn)(void *context, void **address);
uint64_t mbx_convert_saved(struct mbx_saved_pointers *saved, mbx_convert_fn convert, void *context);

/* A platform policy of the kind POST applies to a setting: the unsigned little-endian value of
 * `width` bytes (1 to 8) at `offset` of a variable's data is clamped to `limit`. Returns 1, with
 * the value before in *before, when `data` was changed; 0 when the value is within the limit or
 * does not lie within the `size` bytes of `data`. */
int mbx_clamp_value(uint8_t *data, uint64_t size, uint64_t offset, uint32_t width, uint64_t limit, uint64_t *before);

/* The standard CRC-32 (IEEE 802.3), bitwise: the driver reports its snapshot's CRC with it. */
uint32_t mbx_crc32(const uint8_t *data, uint64_t size);

#ifdef __cplusplus
}
#endif

#endif
