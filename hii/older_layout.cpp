#include "hii/older_layout.h"

#include <algorithm>

#include "base/guid.h"
#include "firmware/variable_store.h"

namespace kes {

using namespace older;

namespace {

uint32_t TableSize(Bytes image, size_t offset) {
  uint32_t size = Le32(image, offset + kTableSize);
  return size == 0 ? kDefaultTableSize : size;
}

// The string packs of a table from `first` (an offset in the table): each must hold its header
// and say type 2; the walk ends at anything else or at a length too short to make progress.
std::vector<OlderStringPack> StringPacks(Bytes table, size_t first) {
  std::vector<OlderStringPack> packs;
  for (size_t at = first; Fits(table, at, kStringPackPointers);) {
    uint32_t length = Le32(table, at);
    if (Le16(table, at + 4) != kPackStrings || length < kStringPackPointers) break;
    OlderStringPack pack;
    pack.bytes = table.subspan(at, std::min<size_t>(length, table.size() - at));
    pack.count = Le32(pack.bytes, kStringPackCount);
    for (size_t c = Le32(pack.bytes, kStringPackLanguage); Fits(pack.bytes, c, 2) && Le16(pack.bytes, c) != 0; c += 2)
      pack.language.push_back(static_cast<wchar_t>(Le16(pack.bytes, c)));
    packs.push_back(std::move(pack));
    if (length > table.size() - at) break;
    at += length;
  }
  return packs;
}

}  // namespace

bool IsOlderHiiLayout(Bytes image) {
  if (!Fits(image, 0, kImageHeaderSize)) return false;
  uint16_t count = Le16(image, 0);
  size_t offset = kImageHeaderSize;
  for (uint16_t i = 0; i < count; ++i) {
    if (!Fits(image, offset, kTableSize + 4)) return false;
    offset += TableSize(image, offset);
    if (offset >= image.size()) return i + 1 == count;
  }
  return false;
}

std::optional<OlderDataTable> NextDataTable(Bytes image, const OlderDataTable* cursor) {
  size_t offset = cursor ? cursor->offset + TableSize(image, cursor->offset) : kImageHeaderSize;
  if (offset >= image.size()) return std::nullopt;
  OlderDataTable table;
  table.offset = offset;
  table.bytes = image.subspan(offset, std::min<size_t>(TableSize(image, offset), image.size() - offset));
  table.handle = Le16(table.bytes, kTableHandle);
  table.guid = EfiGuid::FromBytes(table.bytes, kTableGuid);
  if (uint32_t ifr = Le32(table.bytes, kTableIfrOffset); ifr != 0 && Fits(table.bytes, ifr, kPackHeaderSize)) {
    table.ifrPack = offset + ifr;
    size_t length = std::max<size_t>(Le32(table.bytes, ifr), kPackHeaderSize);
    table.ifrLimit = offset + ifr + std::min<size_t>(length, table.bytes.size() - ifr);
  }
  if (uint32_t strings = Le32(table.bytes, kTableStringOffset); strings != 0)
    table.stringPacks = StringPacks(table.bytes, strings);
  return table;
}

std::vector<OlderDataTable> OlderDataTables(Bytes image) {
  std::vector<OlderDataTable> tables;
  uint16_t count = Le16(image, 0);
  for (uint16_t i = 0; i < count; ++i) {
    auto next = NextDataTable(image, tables.empty() ? nullptr : &tables.back());
    if (!next) break;
    tables.push_back(std::move(*next));
  }
  return tables;
}

namespace older {

std::optional<IfrOp> OpAt(Bytes image, size_t offset, size_t limit) {
  limit = std::min(limit, image.size());
  if (offset >= limit || limit - offset < 2) return std::nullopt;
  uint8_t length = image[offset + 1];
  if (length < 2 || length > limit - offset) return std::nullopt;
  IfrOp op;
  op.offset = offset;
  op.code = image[offset];
  op.length = length;
  op.bytes = image.subspan(offset, length);
  return op;
}

std::wstring ReadLanguage(FirmwareAccess& firmware) {
  auto data = GetNVRAMVariable(firmware, L"Lang", guids::kGlobalVariable, nullptr);
  std::wstring language;
  if (!data) return language;
  for (size_t i = 0; i < data->size() && i < 3; ++i) language.push_back(static_cast<wchar_t>((*data)[i]));
  return language;
}

StringPackIndex::StringPackIndex(const HiiDatabase& database, std::wstring_view language) : database_(database) {
  const std::vector<OlderDataTable>& tables = database.OlderTables();
  fromTable_.resize(tables.size());
  for (size_t i = tables.size(); i-- > 0;) {
    const OlderDataTable& table = tables[i];
    const OlderStringPack*& latest = firstByGuid_[table.guid.ToBytes()];
    for (const OlderStringPack& pack : table.stringPacks) {
      if (pack.language != language) continue;
      latest = &pack;
      break;
    }
    fromTable_[i] = latest;
  }
}

const OlderStringPack* StringPackIndex::For(const PackageList& list) const {
  if (auto start = database_.FirstOlderTable(list.handle, list.guid)) return fromTable_[*start];
  auto it = firstByGuid_.find(list.guid.ToBytes());
  return it == firstByGuid_.end() ? nullptr : it->second;
}

std::optional<std::wstring> StringInPack(const OlderStringPack& pack, uint16_t token) {
  if (token >= pack.count) return std::nullopt;
  size_t pointer = kStringPackPointers + 4 * static_cast<size_t>(token);
  if (!Fits(pack.bytes, pointer, 4)) return std::nullopt;
  std::wstring text;
  for (size_t at = Le32(pack.bytes, pointer);; at += 2) {
    if (!Fits(pack.bytes, at, 2)) return std::nullopt;
    uint16_t unit = Le16(pack.bytes, at);
    if (unit == 0) return text;
    text.push_back(static_cast<wchar_t>(unit));
  }
}

}  // namespace older
}  // namespace kes
