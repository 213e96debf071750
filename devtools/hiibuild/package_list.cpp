// Package lists (strings shared by id across languages, packages in creation order) and
// databases of package lists.
#include <stdexcept>

#include "devtools/hiibuild/hii_builder.h"

namespace kes::hiibuild {

PackageList::PackageList(const EfiGuid& guid, std::string primaryLanguage)
    : guid_(guid), primary_(std::move(primaryLanguage)) {}

uint16_t PackageList::ReserveId() {
  if (nextId_ > 0xFFFF) throw std::length_error("a package list holds at most 65535 string ids");
  return static_cast<uint16_t>(nextId_++);
}

uint16_t PackageList::AddString(std::wstring_view text) {
  uint16_t id = ReserveId();
  Language(primary_).strings[id] = ToUcs2(text);
  return id;
}

void PackageList::SetString(std::string_view language, uint16_t id, std::wstring_view text) {
  if (id == 0) throw std::invalid_argument("string id 0 does not exist");
  Language(language).strings[id] = ToUcs2(text);
  if (id >= nextId_) nextId_ = static_cast<uint32_t>(id) + 1;
}

void PackageList::SetMapString(uint16_t id, std::wstring_view text) {
  for (const auto& language : mapLanguages) SetString(language, id, text);
}

StringPackage& PackageList::Language(std::string_view tag) {
  for (auto& package : strings_) {
    if (package.language == tag) return package;
  }
  strings_.emplace_back();
  strings_.back().language = std::string(tag);
  slots_.push_back({SlotKind::Strings, strings_.size() - 1});
  return strings_.back();
}

Forms& PackageList::AddForms() {
  forms_.push_back(std::unique_ptr<Forms>(new Forms(*this)));
  slots_.push_back({SlotKind::Forms, forms_.size() - 1});
  return *forms_.back();
}

void PackageList::AddPackage(uint8_t type, ByteSpan body) {
  raw_.push_back(PackageBytes(type, body));
  slots_.push_back({SlotKind::Raw, raw_.size() - 1});
}

void PackageList::AddRaw(ByteSpan bytes) {
  raw_.emplace_back(bytes.begin(), bytes.end());
  slots_.push_back({SlotKind::Raw, raw_.size() - 1});
}

ByteVector PackageList::Bytes() const {
  ByteVector packages;
  auto append = [&packages](const ByteVector& b) { packages.insert(packages.end(), b.begin(), b.end()); };
  for (const Slot& slot : slots_) {
    switch (slot.kind) {
      case SlotKind::Forms: append(forms_[slot.index]->Bytes()); break;
      case SlotKind::Strings: append(strings_[slot.index].Bytes()); break;
      case SlotKind::Raw: append(raw_[slot.index]); break;
    }
  }
  if (endPackage) append(PackageBytes(package::kEnd, {}));
  return PackageListBytes(guid_, packages);
}

PackageList& Database::AddList(const EfiGuid& guid, std::string primaryLanguage) {
  lists_.emplace_back(guid, std::move(primaryLanguage));
  order_.emplace_back(true, lists_.size() - 1);
  return lists_.back();
}

void Database::AddRaw(ByteSpan bytes) {
  raw_.emplace_back(bytes.begin(), bytes.end());
  order_.emplace_back(false, raw_.size() - 1);
}

ByteVector Database::Bytes() const {
  ByteVector image;
  for (const auto& [isList, index] : order_) {
    ByteVector part = isList ? lists_[index].Bytes() : raw_[index];
    image.insert(image.end(), part.begin(), part.end());
  }
  return image;
}

}  // namespace kes::hiibuild
