// String packages: the prompts, help texts, option texts and map strings of the Setup questions.
// Lookups go through an index built once per string package, so fetching the strings of tens of
// thousands of questions stays linear; results are those of walking the string blocks.
#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/le.h"
#include "hii/hii_image.h"

namespace kes {

// A string package uses a block type the tool cannot read. Ends the run with status 1 after
// "The BIOS has unsupported string blocks.\n".
class UnsupportedStringBlocks : public std::runtime_error {
 public:
  UnsupportedStringBlocks() : std::runtime_error("unsupported string blocks") {}
};

// The languages tried, in order. mapping: the question's map string is wanted (only honoured
// when /lang is in force); noCompletion: the /lang code without the namespace completion.
std::vector<std::string> LanguageList(bool mapping, bool noCompletion);

// The first string package of the list tagged `language` (or "en" when /lang is off).
std::optional<Package> FindStringPackage(const PackageList& list, std::string_view language);

enum class StringFound { Yes, No };
// The UCS-2 text of string `id` inside the package (without its NUL), or No. Throws
// UnsupportedStringBlocks when the walk to the id meets a block type it cannot read.
StringFound FindStringText(const Package& package, uint16_t id, Bytes& text);

// The string `id` of the list, searched in the first list of the image with the same GUID,
// language by language. In single-question mode (/ms) with a match text, a text is returned
// only when it equals the match text ignoring case.
std::optional<std::wstring> GetString(const PackageList& list, uint16_t id, bool mapping,
                                      const std::wstring* match = nullptr, bool noCompletion = false);
// GetString with an explicit language list.
std::optional<std::wstring> GetStringInLanguages(const PackageList& list, uint16_t id,
                                                 const std::vector<std::string>& languages,
                                                 const std::wstring* match = nullptr);

// Drops the indexes (the image changed).
void ResetStringIndex();

}  // namespace kes
