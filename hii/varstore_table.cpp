#include "hii/varstore_table.h"

#include "firmware/variable_store.h"

namespace kes {
namespace {

struct SpecialVariable {
  SpecialControlKind kind;
  const wchar_t* name;
  EfiGuid guid;
};

const SpecialVariable kSpecialVariables[] = {
    {SpecialControlKind::Language, L"LangCodes", guids::kGlobalVariable},
    {SpecialControlKind::PlatformLanguage, L"PlatformLangCodes", guids::kGlobalVariable},
    {SpecialControlKind::BootOrder, L"BootManager", {0xB4909CF3, 0x7B93, 0x4751, {0x9B, 0xD8, 0x5B, 0xA8, 0x22, 0x0B, 0x9B, 0xB2}}},
    {SpecialControlKind::LegacyOrder, L"LegacyGroup", {0xA56074DB, 0x65FE, 0x45F7, {0xBD, 0x21, 0x2D, 0x2B, 0xDD, 0x8E, 0x96, 0x52}}},
};

}  // namespace

SpecialControlKind SpecialControlKindOf(const EfiGuid& guid, std::wstring_view name) {
  for (const auto& s : kSpecialVariables)
    if (guid == s.guid && name == s.name) return s.kind;
  return SpecialControlKind::None;
}

void VarStoreTable::Register(const EfiGuid& guid, const std::wstring& name, uint32_t varStoreId,
                             uint32_t declaredSize, bool sizeFromVariable) {
  if (declaredSize == 0 && !sizeFromVariable) return;
  auto key = std::make_pair(guid.ToBytes(), name);
  VarStoreEntry* entry = nullptr;
  if (auto it = byGuidAndName_.find(key); it != byGuidAndName_.end()) {
    entry = &entries_[it->second];
    if (entry->VarStoreId != varStoreId) {
      entry->VarStoreId = varStoreId;
      idIndexValid_ = false;
    }
  } else {
    VarStoreEntry e;
    e.Guid = guid;
    e.Name = name;
    e.VarStoreId = varStoreId;
    e.Size = declaredSize;
    e.Index = static_cast<uint16_t>(entries_.size());
    byGuidAndName_.emplace(std::move(key), e.Index);
    firstByName_.emplace(e.Name, e.Index);
    if (idIndexValid_) firstById_.emplace(e.VarStoreId, e.Index);
    entries_.push_back(std::move(e));
    entry = &entries_.back();
  }
  if (!entry->Data) {
    uint32_t attributes = 0;
    auto data = GetNVRAMVariable(*firmware_, entry->Name, entry->Guid, &attributes);
    if (data) {
      entry->Attributes = attributes;
      if (data->size() != entry->Size) entry->Size = static_cast<uint32_t>(data->size());
      entry->Data = std::move(*data);
    }
  }
}

void VarStoreTable::RebuildIdIndex() const {
  firstById_.clear();
  for (const auto& e : entries_) firstById_.emplace(e.VarStoreId, e.Index);
  idIndexValid_ = true;
}

uint16_t VarStoreTable::FindVarStoreIndex(uint32_t varStoreId) const {
  if (!idIndexValid_) RebuildIdIndex();
  auto it = firstById_.find(varStoreId);
  return it == firstById_.end() ? static_cast<uint16_t>(entries_.size()) : it->second;
}

const VarStoreEntry* VarStoreTable::FindByName(std::wstring_view name) const {
  auto it = firstByName_.find(std::wstring(name));
  return it == firstByName_.end() ? nullptr : &entries_[it->second];
}

void VarStoreTable::Clear() {
  entries_.clear();
  byGuidAndName_.clear();
  firstByName_.clear();
  firstById_.clear();
  idIndexValid_ = true;
}

std::optional<std::vector<uint8_t>> VarStoreTable::GetVarStoreValue(size_t index, size_t offset, size_t width) const {
  const VarStoreEntry* e = At(index);
  if (!e || !e->Data) return std::nullopt;
  const std::vector<uint8_t>& data = *e->Data;
  if (e->Name == L"PlatformLang") return data;
  if (offset + width > e->Size || offset + width > data.size()) return std::nullopt;
  return std::vector<uint8_t>(data.begin() + offset, data.begin() + offset + width);
}

uint64_t GetValueFromBytes(Bytes bytes, size_t width) {
  if (width != 1 && width != 2 && width != 4 && width != 8) return 0;
  return LeN(bytes, 0, width);
}

SpecialControlKind VarStoreTable::GetSpecialControlKind(size_t index) const {
  const VarStoreEntry* e = At(index);
  return e ? SpecialControlKindOf(e->Guid, e->Name) : SpecialControlKind::None;
}

std::optional<std::vector<uint8_t>> VarStoreTable::CopyVarStoreDataByIndex(size_t index) const {
  const VarStoreEntry* e = At(index);
  if (!e || !e->Data) return std::nullopt;
  std::vector<uint8_t> copy = *e->Data;
  copy.push_back(0);
  return copy;
}

std::optional<std::vector<uint8_t>> VarStoreTable::CopyVarStoreDataByName(std::wstring_view name) const {
  const VarStoreEntry* e = FindByName(name);
  if (!e) return std::nullopt;
  return CopyVarStoreDataByIndex(e->Index);
}

uint16_t VarStoreTable::GetVarStoreIdByName(std::wstring_view name) const {
  const VarStoreEntry* e = FindByName(name);
  return e ? static_cast<uint16_t>(e->VarStoreId) : 0xFFFF;
}

uint16_t VarStoreTable::GetVarStoreIndexByName(std::wstring_view name) const {
  const VarStoreEntry* e = FindByName(name);
  return e ? e->Index : 0;
}

}  // namespace kes
