// The HII database image held for the run, its layout, and the chain of UEFI package lists.
// Every walk over the image stays inside it: a length that would run past the image, a list or
// a package ends that walk.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/guid.h"
#include "base/le.h"
#include "hii/hii_layout.h"

namespace kes {

// One package list inside the image. `bytes` is the list clipped to the image.
struct PackageList {
  size_t offset = 0;
  Bytes bytes;
  EfiGuid guid;
};

// Process-wide image: set once after retrieval (ClassifyHiiLayout does it), read by every HII walk.
// The bytes are owned by the caller (the driver's ToolOptions) and must outlive the run's walks.
void SetHiiImage(Bytes image, HiiFormat format);
Bytes HiiImage();
HiiFormat CurrentHiiFormat();

// Valid when the lists' lengths add up exactly to the image size and none is 0.
bool IsPackageListChain(Bytes image);
uint16_t CountPackageLists(Bytes image);
// The list after `cursor` (the first one when cursor is null).
std::optional<PackageList> NextPackageList(Bytes image, const PackageList* cursor);
// Count, then next: the lists every walker visits, in image order.
std::vector<PackageList> PackageLists(Bytes image);

// A package inside a list: header length (24 bits) and type; `bytes` clipped to the list.
struct Package {
  size_t offset = 0;  // in the image
  uint8_t type = 0;
  Bytes bytes;
};
// The packages of a list from offset 20, stepping by their lengths; ends at a zero length.
std::vector<Package> PackagesOf(const PackageList& list);

}  // namespace kes
