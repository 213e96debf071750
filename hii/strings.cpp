#include "hii/strings.h"

#include <map>
#include <memory>
#include <tuple>
#include <unordered_map>

#include "base/run_state.h"
#include "base/text.h"
#include "hii/hii_format.h"

namespace kes {
namespace {

// Where each string id of a package starts, from one walk of its blocks.
struct StringPackageIndex {
  std::vector<uint32_t> textOffset;   // by id; 0 = no text (offsets are from the package start)
  std::vector<uint32_t> textUnits;    // by id
  // The walk stopped at an unsupported block after ids up to `lastId`: ids above it cannot be
  // answered.
  bool unsupported = false;
  uint32_t lastId = 0;
};

struct StringIndexes {
  std::unordered_map<size_t, std::unique_ptr<StringPackageIndex>> byPackage;
  std::map<std::array<uint8_t, 16>, size_t> firstListByGuid;   // list offset
  bool guidsIndexed = false;
  // (list offset, language tag, /lang in force) -> the string package answering it
  std::map<std::tuple<size_t, std::string, bool>, std::optional<Package>> packageByLanguage;
  std::map<size_t, PackageList> listsByOffset;
};

StringIndexes& Indexes() {
  static StringIndexes indexes;
  return indexes;
}

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

std::unique_ptr<StringPackageIndex> BuildIndex(Bytes package) {
  auto index = std::make_unique<StringPackageIndex>();
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
  return index;
}

const StringPackageIndex& IndexFor(const Package& package) {
  auto& slot = Indexes().byPackage[package.offset];
  if (!slot) slot = BuildIndex(package.bytes);
  return *slot;
}

const PackageList* FirstListWithGuid(const EfiGuid& guid) {
  StringIndexes& idx = Indexes();
  Bytes image = HiiImage();
  if (!idx.guidsIndexed) {
    for (const PackageList& list : PackageLists(image)) {
      idx.firstListByGuid.emplace(list.guid.ToBytes(), list.offset);
      idx.listsByOffset.emplace(list.offset, list);
    }
    idx.guidsIndexed = true;
  }
  auto it = idx.firstListByGuid.find(guid.ToBytes());
  if (it == idx.firstListByGuid.end()) return nullptr;
  return &idx.listsByOffset.at(it->second);
}

std::string LanguageTag(Bytes package) {
  std::string tag;
  for (size_t i = hii::kStringLanguage; i < package.size() && package[i] != 0; ++i)
    tag.push_back(static_cast<char>(package[i]));
  return tag;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

void ResetStringIndex() { Indexes() = StringIndexes(); }

std::vector<std::string> LanguageList(bool mapping, bool noCompletion) {
  std::string list;
  if (mapping && Given(Switch::Lang)) {
    const auto& code = Run().langCode;
    if (!code) {
      list = "x-Vorn,x-UEFI-Vorn";
    } else {
      list = ToNarrow(*code);
      if (!noCompletion) {
        bool plain = Contains(list, "x-Vorn"), uefi = Contains(list, "x-UEFI-Vorn");
        if (plain && !uefi) list += ",x-UEFI-Vorn";
        else if (uefi && !plain) list += ",x-Vorn";
      }
    }
  } else {
    list = "en-US";
  }
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    out.push_back(list.substr(start, comma - start));
    start = comma + 1;
  }
  return out;
}

std::optional<Package> FindStringPackage(const PackageList& list, std::string_view language) {
  bool langMode = Given(Switch::Lang);
  auto key = std::make_tuple(list.offset, std::string(language), langMode);
  auto& cache = Indexes().packageByLanguage;
  if (auto it = cache.find(key); it != cache.end()) return it->second;
  std::optional<Package> found;
  for (const Package& p : PackagesOf(list)) {
    if (p.type != hii::kPackageStrings) continue;
    std::string tag = LanguageTag(p.bytes);
    if (tag == language || (!langMode && tag == "en")) {
      found = p;
      break;
    }
  }
  cache.emplace(key, found);
  return found;
}

StringFound FindStringText(const Package& package, uint16_t id, Bytes& text) {
  const StringPackageIndex& index = IndexFor(package);
  if (id == 0) return StringFound::No;
  if (id > index.lastId) {
    if (index.unsupported) throw UnsupportedStringBlocks();
    return StringFound::No;
  }
  uint32_t at = index.textOffset[id];
  if (at == 0) return StringFound::No;
  text = package.bytes.subspan(at, 2 * static_cast<size_t>(index.textUnits[id]));
  return StringFound::Yes;
}

std::optional<std::wstring> GetStringInLanguages(const PackageList& list, uint16_t id,
                                                 const std::vector<std::string>& languages,
                                                 const std::wstring* match) {
  const PackageList* searched = FirstListWithGuid(list.guid);
  if (!searched) searched = &list;
  bool matching = match && Given(Switch::Ms);
  for (const std::string& language : languages) {
    auto package = FindStringPackage(*searched, language);
    if (!package) continue;
    Bytes text;
    if (FindStringText(*package, id, text) != StringFound::Yes) continue;
    std::wstring wide = Utf16BytesToWide(text, false);
    if (matching && CompareNoCaseWide(wide, *match) != 0) continue;
    return wide;
  }
  return std::nullopt;
}

std::optional<std::wstring> GetString(const PackageList& list, uint16_t id, bool mapping, const std::wstring* match,
                                      bool noCompletion) {
  if (CurrentHiiFormat() != HiiFormat::Uefi) return std::nullopt;
  return GetStringInLanguages(list, id, LanguageList(mapping, noCompletion), match);
}

}  // namespace kes
