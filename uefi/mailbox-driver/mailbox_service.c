#include "mailbox_service.h"
#include "byte_access.h"

/* 45AC8863-E3FA-4A38-A23C-00BCD10CBD50 and 2A7ADC98-820E-4775-A17D-2F741D55B626 as stored. */
const uint8_t mbx_enumerate_guid[16] = {0x63, 0x88, 0xAC, 0x45, 0xFA, 0xE3, 0x38, 0x4A,
                                        0xA2, 0x3C, 0x00, 0xBC, 0xD1, 0x0C, 0xBD, 0x50};
const uint8_t mbx_hii_read_guid[16] = {0x98, 0xDC, 0x7A, 0x2A, 0x0E, 0x82, 0x75, 0x47,
                                       0xA1, 0x7D, 0x2F, 0x74, 0x1D, 0x55, 0xB6, 0x26};
const uint16_t mbx_variable_name[5] = {'K', 'M', 'B', 'X', 0};
const uint8_t mbx_variable_guid[16] = {0x15, 0xCC, 0x0B, 0x28, 0xD7, 0x2C, 0x7C, 0x46,
                                       0x96, 0x47, 0x1B, 0x30, 0x30, 0x7D, 0x7E, 0xD5};

#define ENUM_STATUS 0u
#define ENUM_LENGTH 8u
#define ENUM_GUID 16u
#define ENUM_NAME 32u
#define HII_SIZE 0u
#define HII_OFFSET 8u
#define HII_STATUS 16u

/* The longest name the enumeration passes to the firmware, in UTF-16 units, terminator excluded. */
#define NAME_UNITS_MAX 512u

#define ATTR_NV 0x1u
#define ATTR_BS 0x2u
#define ATTR_RT 0x4u

static void zero_bytes(uint8_t *to, uint64_t n) {
  for (uint64_t i = 0; i < n; ++i) to[i] = 0;
}

static int same_guid(const uint8_t *a, const uint8_t *b) {
  for (unsigned i = 0; i < 16; ++i)
    if (a[i] != b[i]) return 0;
  return 1;
}

static uint64_t min_u64(uint64_t a, uint64_t b) { return a < b ? a : b; }

/* One enumeration step in place over the payload (payload_size >= 32). */
static void enumerate(const struct mbx_runtime *runtime, mbx_next_name_fn next_name, uint8_t *payload,
                      uint64_t payload_size) {
  uint64_t capacity = payload_size - ENUM_NAME;
  uint64_t available = min_u64(get_le(payload + ENUM_LENGTH, 8), capacity);
  /* The previous name ends at its first zero unit, or at the end of the payload. The firmware
   * gets it terminated in a buffer of its own, so that it never writes into the frame. */
  uint16_t name[NAME_UNITS_MAX + 2];
  uint8_t guid[16];
  uint64_t units = 0;
  int fits = 1;
  for (uint64_t off = 0; off + 1 < capacity; off += 2) {
    uint16_t unit = (uint16_t)get_le(payload + ENUM_NAME + off, 2);
    if (unit == 0) break;
    if (units == NAME_UNITS_MAX) {
      fits = 0; /* longer than any name the firmware stores */
      break;
    }
    name[units++] = unit;
  }
  name[units] = 0;
  copy_bytes(guid, payload + ENUM_GUID, 16);

  uint64_t status;
  if (!fits || !next_name) {
    status = MBX_EFI_INVALID_PARAMETER;
  } else {
    /* The firmware wants the previous name to fit in the size it is given; a next name longer
     * than the bytes available is reported as too small below. */
    uint64_t name_size = (NAME_UNITS_MAX + 1) * 2;
    status = next_name(runtime, &name_size, name, guid);
    if (status == MBX_EFI_SUCCESS) {
      uint64_t length = 0;
      while (length < NAME_UNITS_MAX + 1 && name[length] != 0) ++length;
      if (length > NAME_UNITS_MAX) {
        status = MBX_EFI_INVALID_PARAMETER; /* the firmware returned an unterminated name */
      } else if ((length + 1) * 2 > available) {
        status = MBX_EFI_BUFFER_TOO_SMALL;
        put_le(payload + ENUM_LENGTH, length + 1, 8);
      } else {
        zero_bytes(payload + ENUM_NAME, capacity);
        for (uint64_t i = 0; i < length; ++i) put_le(payload + ENUM_NAME + 2 * i, name[i], 2);
        copy_bytes(payload + ENUM_GUID, guid, 16);
        put_le(payload + ENUM_LENGTH, length, 8);
      }
    } else if (status == MBX_EFI_BUFFER_TOO_SMALL) {
      /* A name longer than any the frame can carry. */
      put_le(payload + ENUM_LENGTH, (name_size + 1) / 2, 8);
    }
  }
  put_le(payload + ENUM_STATUS, status, 8);
}

/* One HII read in place over the payload (payload_size >= 24). */
static void read_hii(const struct mbx_runtime *runtime, uint8_t *payload, uint64_t payload_size) {
  uint64_t wanted = get_le(payload + HII_SIZE, 8);
  uint64_t offset = get_le(payload + HII_OFFSET, 8);
  uint64_t status = MBX_EFI_SUCCESS;
  uint64_t total = runtime->saved.hii ? runtime->hii_size : 0;
  if (get_le(payload + HII_STATUS, 8) != MBX_HII_READ_COMMAND) {
    status = MBX_EFI_UNSUPPORTED;
  } else if (wanted == 0) {
    put_le(payload + HII_SIZE, total, 8);
  } else if (wanted > MBX_HII_MAX_CHUNK || wanted > payload_size - MBX_HII_DATA_OFFSET) {
    status = MBX_EFI_INVALID_PARAMETER;
  } else {
    /* Bytes past the end of the database read as zero, reported with EFI_BAD_BUFFER_SIZE. */
    uint64_t present = offset < total ? min_u64(wanted, total - offset) : 0;
    uint8_t *data = payload + MBX_HII_DATA_OFFSET;
    if (present) copy_bytes(data, runtime->saved.hii + offset, present);
    zero_bytes(data + present, wanted - present);
    if (present < wanted) status = MBX_EFI_BAD_BUFFER_SIZE;
  }
  put_le(payload + HII_STATUS, status, 8);
}

int mbx_answer(const struct mbx_runtime *runtime, mbx_next_name_fn next_name, const uint8_t *request, uint64_t size,
               uint8_t *response) {
  if (!request || size < MBX_HEADER_SIZE || get_le(request + 6, 2) != MBX_REQUEST_MARKER) return 0;
  copy_bytes(response, request, size);
  uint8_t *payload = response + MBX_HEADER_SIZE;
  uint64_t payload_size = size - MBX_HEADER_SIZE;
  int is_enumerate = same_guid(request + 8, mbx_enumerate_guid);
  int is_hii = same_guid(request + 8, mbx_hii_read_guid);
  uint16_t return_value = 0;
  if (get_le(request + 24, 8) != payload_size || (!is_enumerate && !is_hii) ||
      (is_enumerate && payload_size < MBX_ENUM_PAYLOAD_MIN) || (is_hii && payload_size < MBX_HII_DATA_OFFSET)) {
    return_value = MBX_BAD_REQUEST;
  } else if (is_enumerate) {
    enumerate(runtime, next_name, payload, payload_size);
  } else {
    read_hii(runtime, payload, payload_size);
  }
  put_le(response + 6, return_value, 2);
  return 1;
}

uint64_t mbx_set(struct mbx_runtime *runtime, mbx_next_name_fn next_name, uint32_t attributes, uint64_t size,
                 const uint8_t *data) {
  if (size == 0 || (attributes & (ATTR_BS | ATTR_RT)) == 0) {
    if (!runtime->content_present) return MBX_EFI_NOT_FOUND;
    runtime->content_present = 0;
    runtime->content_size = 0;
    return MBX_EFI_SUCCESS;
  }
  /* Run-time rules of variable services: runtime access needs boot-service access; nothing
   * beyond the three plain attributes is meaningful for a mailbox. */
  if (!data || (attributes & ~(ATTR_NV | ATTR_BS | ATTR_RT)) != 0 || (attributes & (ATTR_BS | ATTR_RT)) != (ATTR_BS | ATTR_RT))
    return MBX_EFI_INVALID_PARAMETER;
  if (size > MBX_MAX_CONTENT || !runtime->saved.content) return MBX_EFI_OUT_OF_RESOURCES;
  if (!mbx_answer(runtime, next_name, data, size, runtime->saved.content)) copy_bytes(runtime->saved.content, data, size);
  runtime->content_size = size;
  runtime->content_attributes = attributes;
  runtime->content_present = 1;
  return MBX_EFI_SUCCESS;
}

uint64_t mbx_get(const struct mbx_runtime *runtime, uint32_t *attributes, uint64_t *size, uint8_t *data) {
  if (!size) return MBX_EFI_INVALID_PARAMETER;
  if (!runtime->content_present) return MBX_EFI_NOT_FOUND;
  if (attributes) *attributes = runtime->content_attributes;
  if (*size < runtime->content_size) {
    *size = runtime->content_size;
    return MBX_EFI_BUFFER_TOO_SMALL;
  }
  if (!data) return MBX_EFI_INVALID_PARAMETER;
  copy_bytes(data, runtime->saved.content, runtime->content_size);
  *size = runtime->content_size;
  return MBX_EFI_SUCCESS;
}

int mbx_is_mailbox(const uint16_t *name, const uint8_t *guid) {
  if (!name || !guid || !same_guid(guid, mbx_variable_guid)) return 0;
  for (unsigned i = 0;; ++i) {
    if (name[i] != mbx_variable_name[i]) return 0;
    if (name[i] == 0) return 1;
  }
}

uint64_t mbx_convert_saved(struct mbx_saved_pointers *saved, mbx_convert_fn convert, void *context) {
  void **slots[MBX_SAVED_POINTER_COUNT] = {&saved->get_variable, &saved->set_variable, &saved->get_next_variable_name,
                                           (void **)&saved->hii, (void **)&saved->content};
  uint64_t first = 0;
  for (unsigned i = 0; i < MBX_SAVED_POINTER_COUNT; ++i) {
    if (!*slots[i]) continue;
    uint64_t status = convert(context, slots[i]);
    if (status != 0 && first == 0) first = status;
  }
  return first;
}

int mbx_clamp_value(uint8_t *data, uint64_t size, uint64_t offset, uint32_t width, uint64_t limit, uint64_t *before) {
  if (!data || width == 0 || width > 8 || offset > size || size - offset < width) return 0;
  uint64_t value = 0;
  for (uint32_t i = width; i > 0; --i) value = value << 8 | data[offset + i - 1];
  if (value <= limit) return 0;
  for (uint32_t i = 0; i < width; ++i) data[offset + i] = (uint8_t)(limit >> (8 * i));
  if (before) *before = value;
  return 1;
}

uint32_t mbx_crc32(const uint8_t *data, uint64_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint64_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}
