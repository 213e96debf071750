// UEFI variables through the kernel's file systems: efivarfs (<root>/efi/efivars/Name-GUID,
// content = 4-byte little-endian attribute mask + data) and the older sysfs interface
// (<root>/efi/vars/Name-GUID/{data,attributes,raw_var}). <root> is the firmware access's root.
#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "base/status.h"
#include "firmware/firmware_access.h"

namespace kes {

inline constexpr uint32_t EFI_VARIABLE_NON_VOLATILE = 0x1;
inline constexpr uint32_t EFI_VARIABLE_BOOTSERVICE_ACCESS = 0x2;
inline constexpr uint32_t EFI_VARIABLE_RUNTIME_ACCESS = 0x4;
inline constexpr uint32_t EFI_VARIABLE_HARDWARE_ERROR_RECORD = 0x8;
inline constexpr uint32_t EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS = 0x10;
inline constexpr uint32_t EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS = 0x20;
inline constexpr uint32_t EFI_VARIABLE_APPEND_WRITE = 0x40;
inline constexpr uint32_t kDefaultVariableAttributes = 0x7;

inline constexpr size_t kMaxVariableNameBytes = 99;
inline constexpr Status kSetVariableBadArguments = 215;

// The largest variable file the store reads (attribute word + data). A larger file is refused
// instead of allocated; firmware variable storage is far smaller.
inline constexpr size_t kMaxVariableFileBytes = 16 * 1024 * 1024;

// The record the sysfs interface takes through <dir>/raw_var (the kernel's packed variable
// record): UTF-16 name, vendor GUID, data size, data, status, attributes.
namespace raw_var {
inline constexpr size_t kNameOffset = 0;
inline constexpr size_t kNameBytes = 1024;        // at most 512 UTF-16 units, zero-filled
inline constexpr size_t kGuidOffset = 1024;
inline constexpr size_t kDataSizeOffset = 1040;   // 8 bytes
inline constexpr size_t kDataOffset = 1048;
inline constexpr size_t kDataBytes = 1024;
inline constexpr size_t kStatusOffset = 2072;     // 8 bytes, always 0
inline constexpr size_t kAttributesOffset = 2080; // 4 bytes
inline constexpr size_t kRecordBytes = 2084;
}  // namespace raw_var

// A name can become part of a variable file name when it is not empty, holds no '/' or NUL and
// is at most kMaxVariableNameBytes long in the multibyte encoding. Otherwise prints a clear error
// naming the variable and returns false; the store never cuts a name.
bool CheckVariableName(std::string_view name);

// 0 on success, 1 on failure. data receives the variable's bytes (possibly empty).
Status ReadEfiVariable(FirmwareAccess& fw, const std::string& name, const EfiGuid& guid, uint32_t& attributes,
                       std::vector<uint8_t>& data);
// 0 or 1. An empty data span deletes the variable.
Status WriteEfiVariable(FirmwareAccess& fw, const std::string& name, const EfiGuid& guid, uint32_t attributes,
                        std::span<const uint8_t> data);

// Puts back every variable noted in `journal` (FirmwareAccess::journal) with what it held
// before, the last written first; a variable that did not exist is deleted again. The journal is
// emptied. Returns the names of the variables that could not be put back.
std::vector<std::string> UndoWrites(FirmwareAccess& fw, std::vector<FirmwareAccess::VariableContent>& journal);

// The variable's bytes, or nullopt when it does not exist or cannot be read.
std::optional<std::vector<uint8_t>> GetNVRAMVariable(FirmwareAccess& fw, std::wstring_view name, const EfiGuid& guid,
                                                     uint32_t* attributes = nullptr);
// 0, 1, or 215 when the name is empty or the attributes are 0.
Status SetNVRAMVariable(FirmwareAccess& fw, std::wstring_view name, const EfiGuid& guid, uint32_t attributes,
                        std::span<const uint8_t> data);


// True when the variable store in use is mounted read-only (some distributions mount efivarfs
// so): every write would fail with EROFS. `directory` receives the store's directory.
bool VariableStoreReadOnly(FirmwareAccess& fw, std::string* directory = nullptr);

// One variable written and read back many times in a row, as the firmware mailbox is. On
// efivarfs the file's immutable flag is cleared once, when the exchange begins (or right after
// the write that creates the file), and put back once, when the exchange object goes away,
// whatever happened in between. Each write is open, one write() of the attribute word and the
// data, close; each read is open, one read() (more only for an answer longer than the last
// write), close; the opens are relative to the efivarfs directory, held open meanwhile. Where
// the sysfs interface is in use, or efivarfs is not, every call goes through WriteEfiVariable
// and ReadEfiVariable instead.
class VariableExchange {
 public:
  // `fw` must outlive the exchange.
  VariableExchange(FirmwareAccess& fw, std::string name, const EfiGuid& guid);
  ~VariableExchange();
  VariableExchange(const VariableExchange&) = delete;
  VariableExchange& operator=(const VariableExchange&) = delete;

  // 0 or 1, as WriteEfiVariable.
  Status Write(uint32_t attributes, std::span<const uint8_t> data);
  // 0 or 1, as ReadEfiVariable. data keeps its capacity from one call to the next.
  Status Read(uint32_t& attributes, std::vector<uint8_t>& data);

 private:
  void ClearImmutableFlag(int fd);

  FirmwareAccess& fw_;
  std::string name_;
  EfiGuid guid_;
  int directory_ = -1;        // the efivarfs directory, for the exchange's lifetime
  std::string fileName_;      // Name-guid within it
  bool direct_ = false;       // efivarfs served by this object's own calls
  bool flagChecked_ = false;  // the file's flags were looked at (it existed)
  bool flagCleared_ = false;  // ... and the immutable flag was cleared: put it back at the end
  uint32_t flags_ = 0;
  size_t lastWriteBytes_ = 0;
  std::vector<uint8_t> buffer_;  // the attribute word and data of a write or a read
};

}  // namespace kes
