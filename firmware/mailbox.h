// The firmware mailbox: a request/response exchange carried in one UEFI variable that the
// firmware intercepts. The tool writes a request frame into the mailbox variable, the firmware's
// handler replaces the variable's content with its response, and the tool reads it back. Two
// services use it: enumerating variable names and reading the HII database.
//
// Frame (little-endian), the same layout for request and response:
//   offset  width  field         request                          response
//   0       2      Size          8                                -
//   2       2      Reserved      0                                -
//   4       2      Version       protocol version (8, or 4)       -
//   6       2      ReturnValue   0x8002                           0 = done, else the firmware's value
//   8       16     FunctionGuid  the service                      echoed
//   24      8      PayloadSize   payload bytes                    as returned
//   32      n      Payload       command block                    response block
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/guid.h"
#include "base/le.h"
#include "base/status.h"
#include "firmware/firmware_access.h"
#include "firmware/variable_store.h"

namespace kes {

namespace mailbox {
inline constexpr size_t kSizeOffset = 0;
inline constexpr size_t kReservedOffset = 2;
inline constexpr size_t kVersionOffset = 4;
inline constexpr size_t kReturnValueOffset = 6;
inline constexpr size_t kFunctionGuidOffset = 8;
inline constexpr size_t kPayloadSizeOffset = 24;
inline constexpr size_t kHeaderBytes = 32;  // the payload starts here

inline constexpr uint16_t kFrameSize = 8;
inline constexpr uint16_t kRequestPending = 0x8002;     // ReturnValue of a request
inline constexpr uint16_t kVersionUnsupported = 0x8003;  // answered to a version the firmware lacks
inline constexpr uint32_t kProtocolVersion = 8;
inline constexpr uint32_t kFallbackProtocolVersion = 4;
inline constexpr uint32_t kMailboxAttributes = 7;
}  // namespace mailbox

// Variable-name enumeration: payload of 544 bytes.
namespace name_enumeration {
inline constexpr EfiGuid kFunctionGuid{0x45AC8863, 0xE3FA, 0x4A38, {0xA2, 0x3C, 0x00, 0xBC, 0xD1, 0x0C, 0xBD, 0x50}};
inline constexpr size_t kPayloadBytes = 544;
inline constexpr size_t kStatusOffset = 0;      // request: kRequestTag; response: service status
inline constexpr size_t kLengthOffset = 8;      // request: name bytes available; response: characters
inline constexpr size_t kGuidOffset = 16;       // previous / next vendor GUID
inline constexpr size_t kNameOffset = 32;       // previous / next name, UTF-16
inline constexpr size_t kNameBytes = 512;
inline constexpr uint64_t kRequestTag = 0xC000000000000001ULL;
inline constexpr uint32_t kFound = 0;
inline constexpr uint32_t kNameBufferTooSmall = 5;
inline constexpr uint32_t kNoMoreVariables = 14;
}  // namespace name_enumeration

// HII database read: payload of 24 + n bytes, n at most 876.
namespace hii_read {
inline constexpr EfiGuid kFunctionGuid{0x2A7ADC98, 0x820E, 0x4775, {0xA1, 0x7D, 0x2F, 0x74, 0x1D, 0x55, 0xB6, 0x26}};
inline constexpr size_t kPayloadBufferBytes = 900;
inline constexpr size_t kMaxChunk = 876;
inline constexpr size_t kLengthOffset = 0;   // request: bytes wanted (0 = size query); response: total size
inline constexpr size_t kOffsetOffset = 8;   // byte offset into the database
inline constexpr size_t kCommandOffset = 16; // request: kCommand; response: service status (low 32 bits)
inline constexpr size_t kDataOffset = 24;
inline constexpr uint64_t kCommand = 50;
// The largest database the tool accepts from a size query; anything larger is a broken answer.
inline constexpr uint64_t kMaxDatabaseBytes = 256ULL * 1024 * 1024;
}  // namespace hii_read

// A series of round trips over the mailbox variable chosen by platform identification. The
// variable's immutable flag is cleared once for the whole series and put back when the session
// ends (see VariableExchange); each round trip is then one write and one read of the variable.
class MailboxSession {
 public:
  // Carries one round trip in process instead of over the mailbox variable: gets the request
  // frame, fills the whole response and returns 0, or a failure status as the variable store
  // would. Tests and the fuzz targets answer with it.
  using Responder = std::function<Status(Bytes request, std::vector<uint8_t>& response)>;

  explicit MailboxSession(FirmwareAccess& fw);
  MailboxSession(FirmwareAccess& fw, Responder responder);

  FirmwareAccess& Firmware() const { return fw_; }

  // One round trip. frame holds mailbox::kHeaderBytes of room for the header followed by at
  // least payloadLength payload bytes; the header is built in place and, on return, the response
  // (header and payload) has been copied over the frame. Returns the firmware's ReturnValue
  // (0 = done), or the variable store's failure when the mailbox variable cannot be written or
  // read back, or 134 when the response is too short to hold a frame header. responseLength, when
  // given, receives the number of frame bytes the response filled (at most kHeaderBytes +
  // payloadLength).
  Status Send(std::vector<uint8_t>& frame, const EfiGuid& function, size_t payloadLength,
              size_t* responseLength = nullptr);

 private:
  FirmwareAccess& fw_;
  std::optional<VariableExchange> variable_;  // none without a platform identification
  Responder responder_;                       // set instead of variable_ for in-process answers
  std::vector<uint8_t> response_;
};

// One round trip in a session of its own (MailboxSession::Send).
Status SendFirmwareRequest(FirmwareAccess& fw, std::vector<uint8_t>& frame, const EfiGuid& function, size_t payloadLength,
                           size_t* responseLength = nullptr);

// 0 stays 0; any other status s becomes (s AND 0x7F) + 0x80. Idempotent.
Status MapFirmwareStatus(uint32_t value);

// The variable after (name, guid); nameLength 0 asks for the first. name holds at least
// nameLength characters of the previous name. Returns 0 with the next name, its length and GUID;
// 133 with the needed length in nameLength; 142 when no variable follows; 134 on a transport
// failure or a malformed answer; 215 when the previous name cannot be sent.
Status GetNextNVRAMVariableName(FirmwareAccess& fw, size_t& nameLength, std::wstring& name, EfiGuid& guid);
// The same within a session the caller holds, so that a whole walk clears and restores the
// mailbox variable's immutable flag once instead of around every name.
Status GetNextNVRAMVariableName(MailboxSession& session, size_t& nameLength, std::wstring& name, EfiGuid& guid);

// Reads the whole HII database (size query, then chunks of at most 876 bytes) in one mailbox
// session, records its size in fw.hiiDatabaseSize and computes its CRC-32. Returns 0 or a mapped
// firmware status; a service status 4 is taken only on the last chunk of a read.
Status GetHiiDatabase(FirmwareAccess& fw, std::vector<uint8_t>& database, uint32_t& crc);
// The same over a session the caller holds (its firmware access receives the size).
Status GetHiiDatabase(MailboxSession& session, std::vector<uint8_t>& database, uint32_t& crc);

// The IEEE 802.3 CRC-32 (reflected polynomial 0xEDB88320, initial value and final complement
// 0xFFFFFFFF).
uint32_t CalculateCrc32(Bytes data);
void CalculateCrc32(const uint8_t* data, size_t length, uint32_t& crc);

}  // namespace kes
