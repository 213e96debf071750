// String packages: the prompts, help texts, option texts and map strings of the Setup questions.
// Lookups go through the database's index of each string package, so fetching the strings of
// tens of thousands of questions stays linear; results are those of walking the string blocks.
#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <memory>
#include <string_view>
#include <vector>

#include "base/le.h"
#include "base/run_state.h"
#include "hii/hii_database.h"

namespace kes {
namespace older {
class StringPackIndex;
}

// A string package uses a block type the tool cannot read. Ends the run with status 1 after
// "The BIOS has unsupported string blocks.\n".
class UnsupportedStringBlocks : public std::runtime_error {
 public:
  UnsupportedStringBlocks() : std::runtime_error("unsupported string blocks") {}
};

// What the run asks of string lookups.
struct StringOptions {
  bool lang = false;                     // /lang: map strings in the mapping languages
  std::optional<std::wstring> langCode;  // the /lang code, absent when /lang had none
  bool singleQuestion = false;           // /ms: a match text filters the answers
  std::wstring olderLanguage;            // older layout: the language of the "Lang" variable
  static StringOptions FromRun(const RunState& run);
};

// Looks strings up in one HII database for one run's options.
class StringLookup {
 public:
  StringLookup(const HiiDatabase& database, StringOptions options);
  ~StringLookup();

  const HiiDatabase& Database() const { return database_; }
  const StringOptions& Options() const { return options_; }

  // The languages tried, in order. mapping: the question's map string is wanted (only honoured
  // when /lang is in force); noCompletion: the /lang code without the namespace completion.
  std::vector<std::string> LanguageList(bool mapping, bool noCompletion) const;

  // The first string package of the list tagged `language` (or "en" when /lang is off).
  std::optional<Package> FindStringPackage(const PackageList& list, std::string_view language) const;

  // The string `id` of the list, searched in the first list of the image with the same GUID,
  // language by language. In single-question mode (/ms) with a match text, a text is returned
  // only when it equals the match text ignoring case. In the older layout the string comes from
  // the string pack in the "Lang" language (map strings and /lang do not exist there).
  std::optional<std::wstring> GetString(const PackageList& list, uint16_t id, bool mapping,
                                        const std::wstring* match = nullptr, bool noCompletion = false) const;
  // Older layout: the string `token` of the list's string pack in the "Lang" language.
  std::optional<std::wstring> GetOlderString(const PackageList& list, uint16_t token) const;
  // GetString with an explicit language list (UEFI layout only).
  std::optional<std::wstring> GetStringInLanguages(const PackageList& list, uint16_t id,
                                                   const std::vector<std::string>& languages,
                                                   const std::wstring* match = nullptr) const;

 private:
  const HiiDatabase& database_;
  StringOptions options_;
  // Older layout: which string pack answers each list, in the run's language.
  std::unique_ptr<older::StringPackIndex> olderPacks_;
};

enum class StringFound { Yes, No };
// The UCS-2 text of string `id` inside a string package of the database (without its NUL), or
// No. Throws UnsupportedStringBlocks when the walk to the id meets a block type it cannot read.
StringFound FindStringText(const HiiDatabase& database, const Package& package, uint16_t id, Bytes& text);

}  // namespace kes
