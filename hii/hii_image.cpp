#include "hii/hii_image.h"

#include "hii/hii_format.h"
#include "hii/strings.h"

namespace kes {
namespace {

struct ImageState {
  Bytes image;
  HiiFormat format = HiiFormat::Unknown;
};

ImageState& State() {
  static ImageState state;
  return state;
}

uint32_t ListLength(Bytes image, size_t offset) { return Le32(image, offset + hii::kListLength); }

}  // namespace

void SetHiiImage(Bytes image, HiiFormat format) {
  State().image = image;
  State().format = format;
  ResetStringIndex();
}

Bytes HiiImage() { return State().image; }
HiiFormat CurrentHiiFormat() { return State().format; }

HiiFormat ClassifyHiiLayout(Bytes image) {
  // The older pre-UEFI layout is not recognised by this version: such data is reported as an
  // unsupported layout by the caller.
  HiiFormat format = IsPackageListChain(image) ? HiiFormat::Uefi : HiiFormat::Unknown;
  SetHiiImage(image, format);
  return format;
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

}  // namespace kes
