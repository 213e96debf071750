// Run statuses shared by every subsystem. A status is an unsigned 32-bit value; 0 is success.
// Non-zero statuses reported by the firmware are folded into 128..255 (see MapFirmwareStatus).
#pragma once
#include <cstdint>

namespace kes {

using Status = uint32_t;

namespace status {
inline constexpr Status kSuccess = 0;
inline constexpr Status kFailure = 1;                 // variable read/write, HII version check
inline constexpr Status kEndSilently = 2;             // ends the run without a message (like 50)
inline constexpr Status kOutOfMemory = 8;
inline constexpr Status kInvalidFile = 13;            // invalid file contents
inline constexpr Status kBufferTooSmall = 14;         // size returned to the caller, who retries
inline constexpr Status kNoArguments = 20;            // usage screen shown
inline constexpr Status kCrcMismatch = 23;            // file does not match the target firmware
inline constexpr Status kEndOfEnumeration = 38;
inline constexpr Status kPlatformUnsupported = 50;
inline constexpr Status kInvalidParameter = 87;
inline constexpr Status kEmptyVariableData = 89;
inline constexpr Status kVariableBufferTooSmall = 133;
inline constexpr Status kTransportFailure = 134;      // mailbox transport, or no password feature
inline constexpr Status kNotImplemented = 127;        // an operation this version does not provide yet
}  // namespace status

// UEFI EFI_STATUS values used inside the HII subsystem (evaluator and default stores).
using EfiStatus = uint64_t;
namespace efi {
inline constexpr EfiStatus kSuccess = 0;
inline constexpr EfiStatus kInvalidParameter = 0x8000000000000002ULL;
inline constexpr EfiStatus kUnsupported = 0x8000000000000003ULL;
inline constexpr EfiStatus kBufferTooSmall = 0x8000000000000005ULL;
inline constexpr EfiStatus kDeviceError = 0x8000000000000007ULL;
inline constexpr EfiStatus kOutOfResources = 0x8000000000000009ULL;
inline constexpr EfiStatus kNotFound = 0x800000000000000EULL;
inline constexpr bool IsError(EfiStatus s) { return (s >> 63) != 0; }
}  // namespace efi

}  // namespace kes
