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

void VarStoreTable::Register(const EfiGuid& guid, const std::wstring& name, uint32_t varStoreId,
                             uint32_t declaredSize) {
  if (declaredSize == 0) return;
  VarStoreEntry* entry = nullptr;
  for (auto& e : entries_) {
    if (e.Guid == guid && e.Name == name) {
      entry = &e;
      break;
    }
  }
  if (entry) {
    entry->VarStoreId = varStoreId;
  } else {
    VarStoreEntry e;
    e.Guid = guid;
    e.Name = name;
    e.VarStoreId = varStoreId;
    e.Size = declaredSize;
    e.Index = static_cast<uint16_t>(entries_.size());
    entries_.push_back(std::move(e));
    entry = &entries_.back();
  }
  idIndexValid_ = false;
  if (!entry->Data) {
    uint32_t attributes = 0;
    auto data = GetNVRAMVariable(entry->Name, entry->Guid, &attributes);
    if (data) {
      entry->Attributes = attributes;
      if (data->size() != entry->Size) entry->Size = static_cast<uint32_t>(data->size());
      entry->Data = std::move(*data);
    }
  }
}

uint16_t VarStoreTable::FindVarStoreIndex(uint32_t varStoreId) const {
  if (!idIndexValid_) {
    firstById_.clear();
    for (const auto& e : entries_) firstById_.emplace(e.VarStoreId, e.Index);
    idIndexValid_ = true;
  }
  auto it = firstById_.find(varStoreId);
  return it == firstById_.end() ? static_cast<uint16_t>(entries_.size()) : it->second;
}

const VarStoreEntry* VarStoreTable::FindByName(std::wstring_view name) const {
  for (const auto& e : entries_)
    if (e.Name == name) return &e;
  return nullptr;
}

void VarStoreTable::Clear() {
  entries_.clear();
  firstById_.clear();
  idIndexValid_ = false;
}

VarStoreTable& VarStores() {
  static VarStoreTable table;
  return table;
}

uint16_t FindVarStoreIndex(uint32_t varStoreId) { return VarStores().FindVarStoreIndex(varStoreId); }

std::optional<std::vector<uint8_t>> GetVarStoreValue(size_t index, size_t offset, size_t width) {
  const VarStoreEntry* e = VarStores().At(index);
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

SpecialControlKind GetSpecialControlKind(size_t index) {
  const VarStoreEntry* e = VarStores().At(index);
  if (!e) return SpecialControlKind::None;
  for (const auto& s : kSpecialVariables)
    if (e->Guid == s.guid && e->Name == s.name) return s.kind;
  return SpecialControlKind::None;
}

std::optional<std::vector<uint8_t>> CopyVarStoreDataByIndex(size_t index) {
  const VarStoreEntry* e = VarStores().At(index);
  if (!e || !e->Data) return std::nullopt;
  std::vector<uint8_t> copy = *e->Data;
  copy.push_back(0);
  return copy;
}

std::optional<std::vector<uint8_t>> CopyVarStoreDataByName(std::wstring_view name) {
  const VarStoreEntry* e = VarStores().FindByName(name);
  if (!e) return std::nullopt;
  return CopyVarStoreDataByIndex(e->Index);
}

uint16_t GetVarStoreIdByName(std::wstring_view name) {
  const VarStoreEntry* e = VarStores().FindByName(name);
  return e ? static_cast<uint16_t>(e->VarStoreId) : 0xFFFF;
}

uint16_t GetVarStoreIndexByName(std::wstring_view name) {
  const VarStoreEntry* e = VarStores().FindByName(name);
  return e ? e->Index : 0;
}

void FreeVarStoreTable() { VarStores().Clear(); }

}  // namespace kes
