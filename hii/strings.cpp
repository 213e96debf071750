#include "hii/strings.h"

#include "base/text.h"
#include "hii/hii_format.h"
#include "hii/older_layout.h"

namespace kes {
namespace {

// The package's language tag, viewed in place (up to its NUL or the package's end).
std::string_view LanguageTag(Bytes package) {
  if (package.size() <= hii::kStringLanguage) return {};
  size_t end = hii::kStringLanguage;
  while (end < package.size() && package[end] != 0) ++end;
  return std::string_view(reinterpret_cast<const char*>(package.data()) + hii::kStringLanguage, end - hii::kStringLanguage);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

}  // namespace

StringLookup::StringLookup(const HiiDatabase& database, StringOptions options)
    : database_(database), options_(std::move(options)) {
  if (database_.Format() == HiiFormat::Older)
    olderPacks_ = std::make_unique<older::StringPackIndex>(database_, options_.olderLanguage);
}

StringLookup::~StringLookup() = default;

std::optional<std::wstring> StringLookup::GetOlderString(const PackageList& list, uint16_t token) const {
  const OlderStringPack* pack = olderPacks_ ? olderPacks_->For(list) : nullptr;
  return pack ? older::StringInPack(*pack, token) : std::nullopt;
}

StringOptions StringOptions::FromRun(const RunState& run) {
  StringOptions o;
  o.lang = run.Given(Switch::Lang);
  o.langCode = run.langCode;
  o.singleQuestion = run.Given(Switch::Ms);
  return o;
}

std::vector<std::string> StringLookup::LanguageList(bool mapping, bool noCompletion) const {
  std::string list;
  if (mapping && options_.lang) {
    const auto& code = options_.langCode;
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

std::optional<Package> StringLookup::FindStringPackage(const PackageList& list, std::string_view language) const {
  for (const Package& p : database_.PackagesOf(list)) {
    if (p.type != hii::kPackageStrings) continue;
    std::string_view tag = LanguageTag(p.bytes);
    if (tag == language || (!options_.lang && tag == "en")) return p;
  }
  return std::nullopt;
}

StringFound FindStringText(const HiiDatabase& database, const Package& package, uint16_t id, Bytes& text) {
  const StringPackageIndex* index = database.StringIndex(package);
  if (!index || id == 0) return StringFound::No;
  if (id > index->lastId) {
    if (index->unsupported) throw UnsupportedStringBlocks();
    return StringFound::No;
  }
  uint32_t at = index->textOffset[id];
  if (at == 0) return StringFound::No;
  text = package.bytes.subspan(at, 2 * static_cast<size_t>(index->textUnits[id]));
  return StringFound::Yes;
}

std::optional<std::wstring> StringLookup::GetStringInLanguages(const PackageList& list, uint16_t id,
                                                               const std::vector<std::string>& languages,
                                                               const std::wstring* match) const {
  if (database_.Format() != HiiFormat::Uefi) return std::nullopt;
  const PackageList* searched = database_.FirstListWithGuid(list.guid);
  if (!searched) searched = &list;
  bool matching = match && options_.singleQuestion;
  for (const std::string& language : languages) {
    auto package = FindStringPackage(*searched, language);
    if (!package) continue;
    Bytes text;
    if (FindStringText(database_, *package, id, text) != StringFound::Yes) continue;
    std::wstring wide = Utf16BytesToWide(text, false);
    if (matching && CompareNoCaseWide(wide, *match) != 0) continue;
    return wide;
  }
  return std::nullopt;
}

std::optional<std::wstring> StringLookup::GetString(const PackageList& list, uint16_t id, bool mapping,
                                                    const std::wstring* match, bool noCompletion) const {
  if (database_.Format() == HiiFormat::Older) {
    auto text = GetOlderString(list, id);
    if (text && match && options_.singleQuestion && CompareNoCaseWide(*text, *match) != 0) return std::nullopt;
    return text;
  }
  if (database_.Format() != HiiFormat::Uefi) return std::nullopt;
  // The plain lookup (no map string under /lang) is by far the most frequent: its one-language
  // list is not rebuilt for every string.
  static const std::vector<std::string> kPlain{"en-US"};
  if (!(mapping && options_.lang)) return GetStringInLanguages(list, id, kPlain, match);
  return GetStringInLanguages(list, id, LanguageList(mapping, noCompletion), match);
}


}  // namespace kes
