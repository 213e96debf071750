#include "hii/hii_database.h"

#include "hii/hii_format.h"

namespace kes {
namespace {

uint32_t ListLength(Bytes image, size_t offset) { return Le32(image, offset + hii::kListLength); }

size_t UnitsBeforeNul(Bytes package, size_t offset, bool& terminated) {
  size_t units = 0;
  terminated = false;
  while (Fits(package, offset + 2 * units, 2)) {
    if (Le16(package, offset + 2 * units) == 0) {
      terminated = true;
      return units;
    }
    ++units;
  }
  return units;
}

}  // namespace

StringPackageIndex BuildStringIndex(Bytes package) {
  StringPackageIndex built;
  StringPackageIndex* index = &built;
  index->textOffset.push_back(0);
  index->textUnits.push_back(0);
  uint32_t counter = 0;
  size_t offset = Le32(package, hii::kStringInfoOffset);
  auto addText = [&](size_t at, size_t units) {
    ++counter;
    index->textOffset.push_back(static_cast<uint32_t>(at));
    index->textUnits.push_back(static_cast<uint32_t>(units));
  };
  auto addSkip = [&](uint32_t count) {
    for (uint32_t i = 0; i < count && counter < 0x10000; ++i) {
      ++counter;
      index->textOffset.push_back(0);
      index->textUnits.push_back(0);
    }
  };
  while (offset < package.size() && counter < 0x10000) {
    uint8_t type = package[offset];
    if (type == hii::SIBT_END) break;
    if (type == hii::SIBT_STRING_UCS2) {
      bool terminated;
      size_t units = UnitsBeforeNul(package, offset + 1, terminated);
      if (!terminated) break;
      addText(offset + 1, units);
      offset += 1 + 2 * (units + 1);
    } else if (type == hii::SIBT_STRINGS_UCS2) {
      if (!Fits(package, offset, 3)) break;
      uint16_t count = Le16(package, offset + 1);
      size_t at = offset + 3;
      bool ok = true;
      for (uint16_t i = 0; i < count; ++i) {
        bool terminated;
        size_t units = UnitsBeforeNul(package, at, terminated);
        if (!terminated) {
          ok = false;
          break;
        }
        addText(at, units);
        at += 2 * (units + 1);
      }
      if (!ok) break;
      offset = at;
    } else if (type == hii::SIBT_SKIP2) {
      if (!Fits(package, offset, 3)) break;
      addSkip(Le16(package, offset + 1));
      offset += 3;
    } else if (type == hii::SIBT_SKIP1) {
      if (!Fits(package, offset, 2)) break;
      addSkip(package[offset + 1]);
      offset += 2;
    } else {
      index->unsupported = true;
      break;
    }
  }
  index->lastId = counter;
  return built;
}

HiiFormat ClassifyHiiLayout(Bytes image) {
  if (IsOlderHiiLayout(image)) return HiiFormat::Older;
  return IsPackageListChain(image) ? HiiFormat::Uefi : HiiFormat::Unknown;
}

bool IsPackageListChain(Bytes image) {
  size_t offset = 0;
  while (offset < image.size()) {
    if (!Fits(image, offset, hii::kListHeaderSize)) return false;
    uint32_t length = ListLength(image, offset);
    if (length == 0 || length > image.size() - offset) return false;
    offset += length;
  }
  return true;
}

uint16_t CountPackageLists(Bytes image) {
  if (image.empty()) return 0;
  size_t offset = 0;
  uint16_t count = 0;
  while (offset <= image.size() && count < UINT16_MAX) {
    uint32_t length = ListLength(image, offset);
    if (length == 0) break;
    offset += length;
    ++count;
    if (offset + 20 >= image.size()) break;
  }
  return count;
}

std::optional<PackageList> NextPackageList(Bytes image, const PackageList* cursor) {
  size_t offset = 0;
  if (cursor) {
    uint32_t length = ListLength(image, cursor->offset);
    if (length == 0) return std::nullopt;
    offset = cursor->offset + length;
  }
  if (!Fits(image, offset, hii::kListHeaderSize)) return std::nullopt;
  PackageList list;
  list.offset = offset;
  size_t length = ListLength(image, offset);
  if (length < hii::kListHeaderSize) length = hii::kListHeaderSize;
  list.bytes = image.subspan(offset, std::min(length, image.size() - offset));
  list.guid = EfiGuid::FromBytes(image, offset);
  return list;
}

std::vector<PackageList> PackageLists(Bytes image) {
  std::vector<PackageList> lists;
  uint16_t count = CountPackageLists(image);
  const PackageList* cursor = nullptr;
  for (uint16_t i = 0; i < count; ++i) {
    auto next = NextPackageList(image, cursor);
    if (!next) break;
    lists.push_back(*next);
    cursor = &lists.back();
  }
  return lists;
}

std::vector<Package> PackagesOf(const PackageList& list) {
  std::vector<Package> packages;
  size_t offset = hii::kListHeaderSize;
  while (Fits(list.bytes, offset, hii::kPackageHeaderSize)) {
    uint32_t header = Le32(list.bytes, offset);
    size_t length = header & 0xFFFFFF;
    if (length == 0) break;
    Package p;
    p.offset = list.offset + offset;
    p.type = static_cast<uint8_t>(header >> 24);
    p.bytes = list.bytes.subspan(offset, std::min(length, list.bytes.size() - offset));
    packages.push_back(p);
    offset += length;
  }
  return packages;
}

HiiDatabase::HiiDatabase(Bytes image) : HiiDatabase(image, ClassifyHiiLayout(image)) {}

HiiDatabase HiiDatabase::AsUefi(Bytes image) { return HiiDatabase(image, HiiFormat::Uefi); }

HiiDatabase::HiiDatabase(Bytes image, HiiFormat format) : image_(image), format_(format) {
  if (format_ == HiiFormat::Older) {
    olderTables_ = OlderDataTables(image);
    for (size_t i = 0; i < olderTables_.size(); ++i) {
      const OlderDataTable& table = olderTables_[i];
      PackageList list;
      list.offset = table.offset;
      list.bytes = table.bytes;
      list.guid = table.guid;
      list.handle = table.handle;
      lists_.push_back(list);
      listByOffset_.emplace(list.offset, i);
      firstOlderTable_.emplace(std::make_pair(table.handle, table.guid.ToBytes()), i);
    }
    packages_.resize(lists_.size());
    return;
  }
  if (format_ != HiiFormat::Uefi) return;
  lists_ = PackageLists(image);
  packages_.reserve(lists_.size());
  for (size_t i = 0; i < lists_.size(); ++i) {
    const PackageList& list = lists_[i];
    listByOffset_.emplace(list.offset, i);
    firstListByGuid_.emplace(list.guid.ToBytes(), i);
    packages_.push_back(kes::PackagesOf(list));
    for (const Package& package : packages_.back())
      if (package.type == hii::kPackageStrings) stringPackages_.emplace(package.offset, package.bytes);
  }
}

const std::vector<Package>& HiiDatabase::PackagesOf(const PackageList& list) const {
  static const std::vector<Package> kNone;  // immutable: the answer for a list of another image
  auto it = listByOffset_.find(list.offset);
  return it == listByOffset_.end() ? kNone : packages_[it->second];
}

const PackageList* HiiDatabase::FirstListWithGuid(const EfiGuid& guid) const {
  auto it = firstListByGuid_.find(guid.ToBytes());
  return it == firstListByGuid_.end() ? nullptr : &lists_[it->second];
}

const OlderDataTable* HiiDatabase::OlderTableOf(const PackageList& list) const {
  if (format_ != HiiFormat::Older) return nullptr;
  auto it = listByOffset_.find(list.offset);
  return it == listByOffset_.end() ? nullptr : &olderTables_[it->second];
}

std::optional<size_t> HiiDatabase::FirstOlderTable(uint16_t handle, const EfiGuid& guid) const {
  auto it = firstOlderTable_.find(std::make_pair(handle, guid.ToBytes()));
  if (it == firstOlderTable_.end()) return std::nullopt;
  return it->second;
}

const StringPackageIndex* HiiDatabase::StringIndex(const Package& package) const {
  if (auto it = strings_.find(package.offset); it != strings_.end()) return &it->second;
  auto found = stringPackages_.find(package.offset);
  if (found == stringPackages_.end()) return nullptr;
  return &strings_.emplace(package.offset, BuildStringIndex(found->second)).first->second;
}

}  // namespace kes
