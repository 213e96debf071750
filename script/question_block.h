// One question's block in an NVRAM script file: the optional storage comment, the header, the
// BIOS and MFG default lines and the value lines, plain or commented out.
#pragma once
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "hii/hii_database.h"
#include "hii/question_model.h"
#include "hii/strings.h"
#include "hii/varstore_table.h"

namespace kes {

// Where a question's defaults come from: the firmware's standard ("BIOS") and manufacturing
// ("MFG") default stores. `find` returns the bytes of the question's variable inside the store
// at the question's offset, when the store holds them.
struct DefaultsSource {
  bool stdPresent = false;
  bool mfgPresent = false;
  std::function<std::optional<std::vector<uint8_t>>(bool mfg, const VarStoreEntry& store, size_t offset,
                                                    size_t length)>
      find;
};

struct BlockOptions {
  const StringLookup* strings = nullptr;
  const VarStoreTable* varStores = nullptr;  // of the walk handing out the question
  const PackageList* list = nullptr;
  bool lang = false;            // /lang: "Map String" line, map string required unless /a
  bool all = false;             // /a
  bool verbose = false;         // /v
  bool ndef = false;            // /ndef
  bool duplicate = false;       // shares storage with a question already written
  bool toDuplicateFile = false; // the block goes to the /sd file
  bool formSuppressed = false;  // the question's form is hidden behind a suppressed REF
  bool formGrayedOut = false;   // ... behind a grayed-out REF
  const DefaultsSource* defaults = nullptr;
  // Special controls: the name written for "Setup Question" (and "Map String" with /lang) and
  // the value lines, given whether the block is commented out. No default lines are written.
  const std::wstring* specialName = nullptr;
  const std::wstring* specialMapName = nullptr;
  std::function<std::wstring(bool commented)> specialValue;
};

// The bytes of the question's current value (width bytes; for an ordered list, element width
// times the number of options), or none when its storage cannot be resolved.
std::optional<std::vector<uint8_t>> ReadQuestionValue(const VarStoreTable& varStores, const QuestionRecord& record);

// The assembled BIOS/MFG defaults lines, filtered for printing; bare mode prints the values only.
std::wstring FormatDefaultsLines(const StringLookup& strings, Bytes image, const PackageList& list, const QuestionRecord& record,
                                 const std::optional<std::vector<uint8_t>>& stdDefault,
                                 const std::optional<std::vector<uint8_t>>& mfgDefault, bool commented,
                                 bool bare);

// The block's text, or none when the question is not exported (storage unresolved, /ndef,
// blank prompt or map string).
std::optional<std::wstring> FormatQuestionBlock(Bytes image, QuestionRecord& record, const BlockOptions& options);
// Writes the block; true when something was written.
bool WriteQuestionBlock(std::FILE* out, Bytes image, QuestionRecord& record, const BlockOptions& options);

// The value as the single-question export prints it on the console: the value lines of a block,
// without the "Move" comment, with two blanks after "//" in a date and a braced string closed by
// "}" alone.
std::wstring FormatConsoleValue(const StringLookup& strings, Bytes image, const PackageList& list,
                                const QuestionRecord& record, const std::vector<uint8_t>& value);
// The bare value (/ov), without line feed at the end.
std::wstring FormatBareValue(Bytes image, const QuestionRecord& record, const std::vector<uint8_t>& value);

// The printable, filtered string `id` of the list (empty when absent).
std::wstring ScriptString(const StringLookup& strings, const PackageList& list, uint16_t id, bool mapping);

}  // namespace kes
