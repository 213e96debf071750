// The mailbox frame as the firmware's handler sees it. The tool writes a request frame into the
// mailbox variable; the handler replaces the variable's content with the response frame, which
// has the same layout. All fields little-endian.
//
//   offset  width  field         request                       response
//   0       2      Size          8                             echoed
//   2       2      Reserved      0                             echoed
//   4       2      Version       protocol version (8 or 4)     echoed
//   6       2      ReturnValue   0x8002 (marks a request)      0 = served, else the handler's error
//   8       16     FunctionGuid  the service                   echoed
//   24      8      PayloadSize   payload length                echoed
//   32      PayloadSize  payload: the service's command block / response block
#pragma once
#include <cstddef>
#include <cstdint>

#include "companions/fwemu/efi_types.h"

namespace kes::fwemu::frame {

inline constexpr size_t kSizeOffset = 0;
inline constexpr size_t kReservedOffset = 2;
inline constexpr size_t kVersionOffset = 4;
inline constexpr size_t kReturnValueOffset = 6;
inline constexpr size_t kFunctionGuidOffset = 8;
inline constexpr size_t kPayloadSizeOffset = 24;
inline constexpr size_t kHeaderSize = 32;

inline constexpr uint16_t kRequestMarker = 0x8002;       // ReturnValue of every request
inline constexpr uint16_t kBadRequest = 0x8001;          // malformed frame or unknown service
inline constexpr uint16_t kVersionUnsupported = 0x8003;  // the tool falls back to version 4

// Variable-name enumeration. Payload: 544 bytes.
//   0   8    request: 0xC000000000000001     response: service status (EFI_STATUS)
//   8   8    request: bytes available for the name (512)
//            response: name length in characters without the terminating zero; with
//            EFI_BUFFER_TOO_SMALL: the characters needed, terminating zero included
//   16  16   GUID of the previous variable (zero on the first call) / of the next one
//   32  512  UTF-16 name of the previous variable (empty on the first call) / of the next one
inline const Guid kEnumerateGuid = *ParseGuid("45ac8863-e3fa-4a38-a23c-00bcd10cbd50");
inline constexpr size_t kEnumStatusOffset = 0;
inline constexpr size_t kEnumNameLengthOffset = 8;
inline constexpr size_t kEnumGuidOffset = 16;
inline constexpr size_t kEnumNameOffset = 32;

// HII database read. Payload: 24 + n bytes, n at most 876.
//   0   8    request: n, the bytes wanted (0 = size query)   response: total size (size query)
//   8   8    request: byte offset into the database
//   16  8    request: command 50                             response: service status (EFI_STATUS)
//   24  n    request: zero                                   response: the database bytes
inline const Guid kHiiReadGuid = *ParseGuid("2a7adc98-820e-4775-a17d-2f741d55b626");
inline constexpr size_t kHiiSizeOffset = 0;
inline constexpr size_t kHiiOffsetOffset = 8;
inline constexpr size_t kHiiCommandOffset = 16;
inline constexpr size_t kHiiDataOffset = 24;
inline constexpr uint64_t kHiiReadCommand = 50;
inline constexpr uint64_t kHiiMaxChunk = 876;

}  // namespace kes::fwemu::frame
