// NVAR variable stores: the firmware's record format for a whole NVRAM variable store, as held by
// the "StdDefaults" and "MfgDefaults" variables. A store is a byte buffer:
//
//   offset 0 ...          NVAR records back to back
//   ...                   erased bytes (0xFF under polarity 1, 0x00 under polarity 0)
//   end - 16 * n ... end  GUID table: GUID 0 in the last 16 bytes, GUID 1 in the 16 before, ...
//
// NVAR record (little-endian):
//   0   4  Signature   "NVAR"
//   4   2  Size        whole record: header, GUID, name, data and extended header
//   6   3  Next        distance to the record holding this variable's newer value; erased = none
//   9   1  Attributes  kAttr* below
//   10  1 or 16        GUID: table index, or the GUID itself with kAttrGuidInline (full records)
//   ..     Name        ASCII (kAttrAsciiName) or UCS-2, NUL-terminated (full records)
//   ..     Data        to the extended header or the end of the record
//   end-ExtSize        extended header (kAttrExtHeader): ExtAttributes u8; for an authenticated
//                      variable the counter (8) and key digest (32); the checksum byte when
//                      kExtChecksum is set; ExtSize u16 in the last two bytes of the record.
// A data-only record (kAttrDataOnly) has no GUID and no name: its data start at offset 10.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "base/status.h"

namespace kes {

namespace nvar {
inline constexpr size_t kSignatureOffset = 0;
inline constexpr size_t kSizeOffset = 4;
inline constexpr size_t kNextOffset = 6;
inline constexpr size_t kAttributesOffset = 9;
inline constexpr size_t kHeaderSize = 10;  // GUID (full record) or data (data-only record)
inline constexpr size_t kMinRecordSize = 11;
inline constexpr size_t kMaxRecordSize = 0xFFFF;
inline constexpr uint32_t kNextMask = 0xFFFFFF;
inline constexpr uint8_t kSignature[4] = {'N', 'V', 'A', 'R'};

inline constexpr uint8_t kAttrRuntime = 0x01;
inline constexpr uint8_t kAttrAsciiName = 0x02;
inline constexpr uint8_t kAttrGuidInline = 0x04;
inline constexpr uint8_t kAttrDataOnly = 0x08;
inline constexpr uint8_t kAttrExtHeader = 0x10;
inline constexpr uint8_t kAttrHwErrorRecord = 0x20;
inline constexpr uint8_t kAttrAuthWrite = 0x40;
// Live records have this bit in its erased state: set under polarity 1, clear under polarity 0.
// Flipping it deletes the record (on flash, programming a bit from 1 to 0).
inline constexpr uint8_t kAttrValid = 0x80;

inline constexpr uint8_t kExtChecksum = 0x01;
inline constexpr uint8_t kExtAuthMask = 0x30;  // the EFI authenticated-write attribute bits
inline constexpr size_t kExtAuthFieldsSize = 8 + 32;
inline constexpr size_t kExtSizeFieldSize = 2;
inline constexpr size_t kExtMinSize = 1 + kExtSizeFieldSize;

inline constexpr size_t kGuidSize = 16;
// Erased bytes a writer leaves between the last record and the GUID table, so that the walk
// always ends on an erased Size instead of reading the table as a record.
inline constexpr size_t kMinFreeGap = kHeaderSize;
inline constexpr size_t kGuidIndexLimit = 256;  // a table index is one byte

// SetMode bits.
inline constexpr uint8_t kModeChecksum = 0x01;          // later writes carry checksummed extended headers
inline constexpr uint8_t kModeNestedStdDefaults = 0x02; // also search the store nested in "StdDefaults"

// The GUID of "StdDefaults" and "MfgDefaults".
inline constexpr EfiGuid kDefaultsGuid{0x4599D26F, 0x1A11, 0x49B8, {0xB9, 0x1F, 0x85, 0x87, 0x45, 0xCF, 0xF8, 0x24}};
}  // namespace nvar

// One NVAR store over an owned buffer. Nothing in the buffer can make a walk read outside it:
// every field is checked against the store's bounds, and every walk moves strictly forward.
class NvarStore {
 public:
  // nullopt unless polarity is 0 or 1. The main store covers the whole buffer; when its first
  // live record carries a checksummed extended header, later writes carry one too.
  static std::optional<NvarStore> Open(std::vector<uint8_t> buffer, uint8_t polarity);

  uint8_t Polarity() const { return polarity_; }
  uint8_t Mode() const;
  void SetMode(uint8_t mode);

  // UEFI GetVariable: kInvalidParameter for an empty name or a size with no buffer,
  // kBufferTooSmall with dataSize set to the needed size, kNotFound when no store holds it.
  EfiStatus GetVariable(std::u16string_view name, const EfiGuid& guid, uint32_t* attributes,
                        size_t& dataSize, uint8_t* data) const;
  std::optional<std::vector<uint8_t>> ReadVariable(std::u16string_view name, const EfiGuid& guid,
                                                   uint32_t* attributes = nullptr) const;
  // UEFI GetNextVariableName: an empty name starts the walk; kNotFound after the last variable,
  // kInvalidParameter when the given variable is not in the store.
  EfiStatus GetNextVariableName(std::u16string& name, EfiGuid& guid) const;
  // UEFI SetVariable into the main store. Attributes 0 or no data delete the variable.
  EfiStatus SetVariable(std::u16string_view name, const EfiGuid& guid, uint32_t attributes,
                        std::span<const uint8_t> data);
  EfiStatus DeleteVariable(std::u16string_view name, const EfiGuid& guid);

  // True when the records area ends in erased bytes, i.e. the polarity matches the buffer.
  bool FreeSpaceCheck() const;
  const std::vector<uint8_t>& Buffer() const { return buffer_; }

 private:
  // A store inside buffer_ (the main store, or the one nested in "StdDefaults").
  struct View {
    size_t base = 0;
    size_t size = 0;
    size_t freeStart = 0;   // end of the last record the walk reached
    size_t guidCount = 0;   // entries of the GUID table
    bool nonVolatile = true;
    size_t End() const { return base + size; }
    size_t RecordsEnd() const { return End() - guidCount * nvar::kGuidSize; }
  };
  // A well-formed record; offsets are absolute in buffer_.
  struct Record {
    size_t pos = 0;
    size_t size = 0;
    uint32_t next = 0;
    uint8_t attributes = 0;
    size_t nameOffset = 0;
    size_t nameUnits = 0;  // characters before the NUL
    size_t dataOffset = 0;
    size_t dataSize = 0;
    size_t extOffset = 0;
    size_t extSize = 0;    // 0 without an extended header
    uint8_t extAttributes = 0;
    bool DataOnly() const { return attributes & nvar::kAttrDataOnly; }
  };
  struct Found {
    Record head;  // the full record
    Record tail;  // the last record of its chain: holds the value
  };
  struct Located {
    const View* view;  // the store of the list that holds the variable
    Found found;
  };
  struct AuthFields {
    uint8_t kind = 0;                   // ExtAttributes & kExtAuthMask
    std::vector<uint8_t> counterDigest; // kExtAuthFieldsSize bytes, or empty
  };

  NvarStore(std::vector<uint8_t> buffer, uint8_t polarity);

  View ScanView(size_t base, size_t size) const;
  void Rescan();
  std::optional<Record> ParseRecord(const View& view, size_t pos) const;
  template <typename F> void ForEachRecord(const View& view, F&& visit) const;
  bool IsLive(uint8_t attributes) const { return (attributes & nvar::kAttrValid) == LiveBit(); }
  uint8_t LiveBit() const { return polarity_ ? nvar::kAttrValid : 0; }
  std::optional<EfiGuid> RecordGuid(const View& view, const Record& record) const;
  std::u16string RecordName(const Record& record) const;
  bool NameMatches(const Record& record, std::u16string_view name) const;
  Record FollowChain(const View& view, const Record& head) const;
  std::optional<Found> Find(const View& view, std::u16string_view name, const EfiGuid& guid) const;
  // The first store of the list holding the variable.
  std::optional<Located> FindAny(std::u16string_view name, const EfiGuid& guid) const;
  uint32_t ReportedAttributes(const View& view, const Record& head) const;
  AuthFields Auth(const Found& found) const;
  std::vector<uint8_t> RecordData(const Record& record) const;

  EfiStatus SetInStore(std::u16string_view name, const EfiGuid& guid, uint32_t attributes,
                       std::span<const uint8_t> data);
  std::vector<uint8_t> BuildRecord(uint8_t attributes, std::span<const uint8_t> body,
                                   std::span<const uint8_t> data, const AuthFields& auth) const;
  EfiStatus AppendDataOnly(const Found& found, std::span<const uint8_t> data);
  EfiStatus AppendFull(std::u16string_view name, const EfiGuid& guid, uint8_t recordAttributes,
                       std::span<const uint8_t> data, const AuthFields& auth);
  std::optional<NvarStore> Rebuilt() const;

  std::vector<uint8_t> buffer_;
  uint8_t polarity_ = 1;
  uint8_t erased8_ = 0xFF;
  uint16_t erased16_ = 0xFFFF;
  uint32_t erased24_ = 0xFFFFFF;
  bool checksumWrites_ = false;
  bool nested_ = false;
  std::vector<View> views_;  // [0] is the main store; then the nested store when switched on
};

}  // namespace kes
