// The varstore table: one entry per distinct variable that the form sets of the package list
// being walked name, holding a copy of the variable's bytes. Questions refer to their variable by
// position (VarStoreIndex); values are read at the question's VarOffset for its Width. Each
// question walk owns one table and empties it at the start of every package list it visits.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <map>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/guid.h"
#include "base/le.h"
#include "firmware/firmware_access.h"

namespace kes {

struct VarStoreEntry {
  EfiGuid Guid;
  std::wstring Name;
  uint32_t Attributes = 0;                    // as read from the variable store; 0 when absent
  uint32_t VarStoreId = 0;                    // of the form set walked last
  uint32_t Size = 0;                          // the declared size, or the variable's real size
  uint16_t Index = 0;                         // position in the table
  std::optional<std::vector<uint8_t>> Data;   // the variable's bytes; none when it does not exist
  bool ResetRequired = false;                 // set by value updates of reset-required questions
};

enum class SpecialControlKind : uint8_t { None = 0, Language = 1, PlatformLanguage = 2, BootOrder = 3, LegacyOrder = 4 };

// The special control a varstore stands for (language, boot order, legacy order), by its name
// and GUID.
SpecialControlKind SpecialControlKindOf(const EfiGuid& guid, std::wstring_view name);

uint64_t GetValueFromBytes(Bytes bytes, size_t width);

class VarStoreTable {
 public:
  // Variables are read through `firmware`, which must outlive the table.
  explicit VarStoreTable(FirmwareAccess& firmware) : firmware_(&firmware) {}

  std::vector<VarStoreEntry>& Entries() { return entries_; }
  const std::vector<VarStoreEntry>& Entries() const { return entries_; }
  VarStoreEntry* At(size_t index) { return index < entries_.size() ? &entries_[index] : nullptr; }
  const VarStoreEntry* At(size_t index) const { return index < entries_.size() ? &entries_[index] : nullptr; }

  // Registers a varstore declared by a form set: an existing entry with the same GUID and name
  // takes the new VarStoreId; otherwise a new entry is appended. The variable is read when the
  // entry has no data yet. A declared size of 0 registers nothing unless `sizeFromVariable` is
  // set (the older layout's "Setup" store declares no size): the entry then takes the size of
  // the variable it reads. Either way a variable whose size differs from the declared one keeps
  // its own size.
  void Register(const EfiGuid& guid, const std::wstring& name, uint32_t varStoreId, uint32_t declaredSize,
                bool sizeFromVariable = false);

  // Position of the first entry with that VarStoreId, or the number of entries.
  uint16_t FindVarStoreIndex(uint32_t varStoreId) const;
  // The first entry with that name.
  const VarStoreEntry* FindByName(std::wstring_view name) const;
  void Clear();

  // `width` bytes of the entry's data from `offset` (the whole data for "PlatformLang"); none when
  // there is no such entry, no data, or the range runs past the entry's size.
  std::optional<std::vector<uint8_t>> GetVarStoreValue(size_t index, size_t offset, size_t width) const;
  SpecialControlKind GetSpecialControlKind(size_t index) const;
  // Whole data plus one zero byte.
  std::optional<std::vector<uint8_t>> CopyVarStoreDataByIndex(size_t index) const;
  std::optional<std::vector<uint8_t>> CopyVarStoreDataByName(std::wstring_view name) const;
  uint16_t GetVarStoreIdByName(std::wstring_view name) const;     // 0xFFFF when none
  uint16_t GetVarStoreIndexByName(std::wstring_view name) const;  // 0 when none

 private:
  FirmwareAccess* firmware_;
  std::vector<VarStoreEntry> entries_;
  std::map<std::pair<std::array<uint8_t, 16>, std::wstring>, uint16_t> byGuidAndName_;
  std::unordered_map<std::wstring, uint16_t> firstByName_;
  mutable std::unordered_map<uint32_t, uint16_t> firstById_;  // rebuilt lazily when VarStoreIds change
  mutable bool idIndexValid_ = true;
  void RebuildIdIndex() const;
};

}  // namespace kes
