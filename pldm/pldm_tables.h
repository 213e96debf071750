// Building the PLDM BIOS tables from the Setup questions of the running firmware.
//
// Each HII package list that has a forms package, an English ("en-US" or "en") string package
// and at least one exported question becomes one PackEntry: its English strings (one record per
// string id, marked used when a table refers to it), the configuration-language keyword of each
// string id (from the "x-UEFI-Vorn" and "x-Vorn" string packages, or those /lang names), and one
// attribute with its current value per exported question. Handles: the first package's strings
// and attributes start at 11; each later package starts 11 after the previous package's last
// handle, counting the strings and attributes added while that package was built (boot options,
// languages and legacy groups), so added strings never take a handle of the next package.
//
// The walk that decides what is exported (PldmWalk) is shared by the export and the import.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
#include "commit/special_controls.h"
#include "hii/default_store.h"
#include "hii/question_walk.h"
#include "hii/setup_context.h"
#include "pldm/pldm_format.h"
#include "script/question_block.h"

namespace kes::pldm {

inline constexpr uint32_t kFirstHandle = 11;
// An ordered-list element that names no option of the question (its stored value is kept).
inline constexpr uint16_t kNoOption = 0xFFFF;
inline constexpr uint32_t kHandleGap = 11;

struct StringRecord {
  bool used = false;
  std::optional<std::u16string> text;  // none: the id has no English text
};

struct AttributeRecord {
  Attribute attribute;
  Value value;
  size_t question = 0;  // the opcode offset of the question it was made from
};

struct PackEntry {
  const PackageList* list = nullptr;
  size_t listIndex = 0;
  uint32_t firstStringHandle = 0;
  std::vector<StringRecord> strings;                     // by string id - 1, then the added strings
  std::vector<std::optional<std::u16string>> keywords;   // parallel; empty when the list has none
  uint32_t firstAttributeHandle = 0;
  uint32_t firstBootStringHandle = 0;
  std::vector<AttributeRecord> attributes;
  size_t legacyGroupsDone = 0;

  bool HasKeywords() const { return !keywords.empty(); }
  // The handle of string id `id` (marked used), or of an added string.
  uint32_t StringHandle(uint16_t id) const { return firstStringHandle + id - 1u; }
  uint16_t UseString(uint16_t id);
  // Appends a used string (and the same text as its keyword when the list has keywords); its handle.
  uint16_t NewString(std::u16string text);
  // The keyword of string id `id`, if any.
  const std::u16string* Keyword(uint16_t id) const;
  const std::u16string* Text(uint16_t id) const;
};

// What one build leaves: every package entry, in list order.
struct InternalTable {
  std::vector<PackEntry> packs;
};

// One walk over the exported questions of the running firmware, package list by package list.
class PldmWalk {
 public:
  explicit PldmWalk(const SetupContext& setup);
  ~PldmWalk();

  // Calls `question` for every exported question of each package list that has a forms package
  // and an English string package, with that list's entry (strings and keywords loaded, handles
  // set), then `done` once the list's questions are walked. `done` returns false when the list
  // contributed nothing (it then takes no handles). kSuccess, or a failure already reported.
  Status Run(const std::function<void(PackEntry&, QuestionRecord&)>& question,
             const std::function<bool(PackEntry&)>& done);

  bool IsPldmExportable(const PackEntry& pack, QuestionRecord& record);

  const SetupContext& Setup() const { return setup_; }
  QuestionWalk& Walk() { return walk_; }
  SpecialControls& Special() { return special_; }
  DefaultStores& Stores() { return stores_; }
  const DefaultsSource& Defaults() const { return defaults_; }
  bool WithBoot() const;

 private:
  Status LoadStrings(PackEntry& pack, const Package& english);
  Status LoadKeywords(PackEntry& pack);

  const SetupContext& setup_;
  QuestionWalk walk_;
  SpecialControls special_;
  DefaultStores stores_;
  DefaultsSource defaults_;
};

// The storage of a question's value that the tables describe: its width, or for an ordered list
// the elements its storage holds (never more than its containers, its options or its variable).
size_t OrderedListElements(Bytes image, const QuestionRecord& record, const VarStoreEntry& store);
// The question's current value bytes (ordered lists: the elements above), or none.
std::optional<std::vector<uint8_t>> CurrentBytes(Bytes image, const QuestionRecord& record, const VarStoreTable& table);
// Whether a NUMERIC question is read as signed (IsSignedNumeric: signed display and bounds that
// read signed form a range).
bool IsSignedQuestion(Bytes image, const QuestionRecord& record);

// The integer attribute of a numeric, checkbox, date or time question, in the form DSP0247
// codecs accept (libpldm's integer attribute check): bounds in the question's reading (a signed
// one sign-extended to 64 bits); DefaultValue the standard default when the firmware has one
// inside the bounds, else the question's IFR default when that lies inside them, else the lower
// bound; ScalarIncrement 0 where the bounds are equal, else the IFR step where it is at least 1,
// fits 32 bits and the default lies on it, else 1. `stdDefault` is the standard default as
// stored (the question's bytes), none when the firmware has none.
struct IntegerFields {
  uint64_t lower = 0, upper = 0, defaultValue = 0;
  uint32_t step = 0;
};
IntegerFields IntegerAttributeFields(Bytes image, const QuestionRecord& record, std::optional<uint64_t> stdDefault);

// The run's tables: builds the internal table and lays out the four tables (keyword table empty
// when no package list has keyword strings). kSuccess, or a failure already reported.
Status BuildInternalTables(const SetupContext& setup, InternalTable& table);
// `built`, when given, receives the internal table the tables were laid out from.
Status CreatePldmTables(const SetupContext& setup, PldmTables& tables, InternalTable* built = nullptr);

}  // namespace kes::pldm
