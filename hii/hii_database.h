// The HII database of one run: the byte image the firmware returned, its layout, the chain of
// UEFI package lists with their packages, and an index of each string package a walk reads. It
// is parsed once, right after retrieval, and is immutable afterwards (apart from the string
// indexes, made on first use); every walk, the evaluator, the export and the import read it. Every walk over the image stays inside it: a length that would run past
// the image, a list or a package ends that walk.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <unordered_map>
#include <vector>

#include "base/guid.h"
#include "base/le.h"

namespace kes {

enum class HiiFormat : uint8_t { Unknown = 0, Older = 0x20, Uefi = 0x21 };

// A package inside a list: header length (24 bits) and type; `bytes` clipped to the list.
struct Package {
  size_t offset = 0;  // in the image
  uint8_t type = 0;
  Bytes bytes;
};

// One package list inside the image. `bytes` is the list clipped to the image. In the older
// layout each data table stands in for a package list: its bytes, its package GUID and its HII
// handle.
struct PackageList {
  size_t offset = 0;
  Bytes bytes;
  EfiGuid guid;
  uint16_t handle = 0;  // older layout only
};

// A string pack of an older-layout data table (one language).
struct OlderStringPack {
  Bytes bytes;             // the pack, clipped to its table
  std::wstring language;   // its language name, e.g. "eng"
  uint32_t count = 0;      // number of string pointers
};

// A data table of the older layout: one form-set package with its IFR pack and string packs.
struct OlderDataTable {
  size_t offset = 0;   // in the image
  uint16_t handle = 0;
  EfiGuid guid;
  Bytes bytes;         // the table, clipped to the image
  size_t ifrPack = 0;  // offset in the image of the IFR pack; 0 when the table has none
  size_t ifrLimit = 0; // end of the IFR pack, clipped to the table
  std::vector<OlderStringPack> stringPacks;
};

// Where each string id of a string package starts, from one walk of its blocks.
struct StringPackageIndex {
  std::vector<uint32_t> textOffset;   // by id; 0 = no text (offsets are from the package start)
  std::vector<uint32_t> textUnits;    // by id
  // The walk stopped at an unsupported block after ids up to `lastId`: ids above it cannot be
  // answered.
  bool unsupported = false;
  uint32_t lastId = 0;
};

// Applies the older layout's own test, then the package-list chain test.
HiiFormat ClassifyHiiLayout(Bytes image);
// The older layout: from offset 18, the declared number of data tables, each as long as its size
// field says (46 bytes when it says 0). Valid when the running offset reaches or passes the image
// size exactly at the last declared table.
bool IsOlderHiiLayout(Bytes image);
// The data table after `cursor` (the first one when cursor is null), clipped to the image; none
// when it would start past the image.
std::optional<OlderDataTable> NextDataTable(Bytes image, const OlderDataTable* cursor);
// The declared data tables in image order (next after next, at most the declared count).
std::vector<OlderDataTable> OlderDataTables(Bytes image);
// Valid when the lists' lengths add up exactly to the image size and none is 0.
bool IsPackageListChain(Bytes image);
uint16_t CountPackageLists(Bytes image);
// The list after `cursor` (the first one when cursor is null).
std::optional<PackageList> NextPackageList(Bytes image, const PackageList* cursor);
// Count, then next: the lists every walker visits, in image order.
std::vector<PackageList> PackageLists(Bytes image);
// The packages of a list from offset 20, stepping by their lengths; ends at a zero length.
std::vector<Package> PackagesOf(const PackageList& list);
// The index of one string package's blocks.
StringPackageIndex BuildStringIndex(Bytes package);

class HiiDatabase {
 public:
  HiiDatabase() = default;
  // Classifies the image and indexes its lists, packages and strings (the UEFI layout) or its data
  // tables (the older layout). The
  // bytes are viewed, not copied: they must outlive the database (the run's options own them).
  explicit HiiDatabase(Bytes image);
  // The image indexed as UEFI package lists whatever its chain test says: damaged images are
  // walked as far as they hold together (robustness tests and fuzzing).
  static HiiDatabase AsUefi(Bytes image);

  Bytes Image() const { return image_; }
  HiiFormat Format() const { return format_; }
  // The lists every walker visits, in image order: the package lists of the UEFI layout, the data
  // tables of the older layout, none otherwise.
  const std::vector<PackageList>& Lists() const { return lists_; }
  // Older layout: the data table behind a list of Lists() (null for other lists and layouts).
  const OlderDataTable* OlderTableOf(const PackageList& list) const;
  const std::vector<OlderDataTable>& OlderTables() const { return olderTables_; }
  // Older layout: position in OlderTables() of the first table with that handle and GUID.
  std::optional<size_t> FirstOlderTable(uint16_t handle, const EfiGuid& guid) const;
  // The packages of a list of Lists().
  const std::vector<Package>& PackagesOf(const PackageList& list) const;
  // The first list of the image with that GUID.
  const PackageList* FirstListWithGuid(const EfiGuid& guid) const;
  // The index of a string package of the image, made the first time the package is asked for
  // (a walk reads the strings of one or two languages; the others are never indexed).
  const StringPackageIndex* StringIndex(const Package& package) const;

 private:
  HiiDatabase(Bytes image, HiiFormat format);

  Bytes image_;
  HiiFormat format_ = HiiFormat::Unknown;
  std::vector<PackageList> lists_;
  std::vector<std::vector<Package>> packages_;          // by list position
  std::unordered_map<size_t, size_t> listByOffset_;     // list offset -> position
  // Looked up for every string a walk fetches: hashed, not ordered.
  struct GuidBytesHash {
    size_t operator()(const std::array<uint8_t, 16>& g) const {
      return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(g.data()), g.size()));
    }
  };
  std::unordered_map<std::array<uint8_t, 16>, size_t, GuidBytesHash> firstListByGuid_;
  std::unordered_map<size_t, Bytes> stringPackages_;                // by package offset
  mutable std::unordered_map<size_t, StringPackageIndex> strings_;  // the indexes made so far
  std::vector<OlderDataTable> olderTables_;                 // older layout: parallel to lists_
  std::map<std::pair<uint16_t, std::array<uint8_t, 16>>, size_t> firstOlderTable_;
};

}  // namespace kes
