// The operations of kestrel-attrs over one SetupContext: the registry, the Bios resource, set and
// diff. Each returns its document and the exit status it calls for.
#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "hii/setup_context.h"
#include "companions/attrs/attribute_model.h"
#include "companions/attrs/documents.h"

namespace kes::attrs {

// Exit statuses of kestrel-attrs.
inline constexpr int kExitSuccess = 0;      // done; set: every value holds; diff: no difference
inline constexpr int kExitDifferent = 1;    // diff: the documents differ; find: nothing matched
inline constexpr int kExitUsage = 2;        // bad command line or unreadable / invalid input
inline constexpr int kExitRefused = 3;      // set, plan: a value was refused; nothing was written
inline constexpr int kExitWriteFailed = 4;  // set: a write failed or a value does not hold
inline constexpr int kExitFirmware = 5;     // the Setup data could not be read
inline constexpr int kExitPending = 6;      // verify: no reboot since the change
inline constexpr int kExitNotHeld = 7;      // verify: a value did not hold over the reboot
inline constexpr int kExitJournal = 8;      // the journal cannot be written: nothing was written

// Writes the registry while the questions are walked.
bool WriteRegistry(const SetupContext& setup, const TextSink& out);

enum class Defaults { None, Bios, Mfg };
// The Bios resource: every attribute, or those named (in registry order); `missing` receives the
// names no attribute has, each with the nearest names (SuggestNames).
Json BuildBios(const SetupContext& setup, const std::vector<std::string>& names, Defaults defaults,
               std::vector<std::string>& missing);

// "; nearest: A, B, C": the three names of `names` nearest to `unknown` (edit distance, ignoring
// the case of ASCII letters); empty when there are none.
std::string SuggestNames(const std::string& unknown, const std::vector<std::string>& names);

// The advice ending a Failed reason when the firmware refused a protected variable's write.
inline constexpr std::string_view kPasswordAdvice = "pass the current admin password (/cpwd PASSWORD or /cpwdf FILE)";

struct Outcome {
  Json report;
  int status = kExitSuccess;
};

// What a set that is about to write tells its journal (journal_commands.h): `beforeWrite` gets
// each value it writes (the attribute as it is now, the value as it will read) before anything is
// written, and false from it stops the set (status kExitJournal, nothing written); `afterWrite`
// is called once the writes are over, whatever they did.
struct PlannedValue {
  const Attribute* attribute = nullptr;
  Json value;
};
struct WriteObserver {
  std::function<bool(const std::vector<PlannedValue>&)> beforeWrite;
  std::function<void()> afterWrite;
};

// Checks the values as the script import would and, unless a value is refused or `dryRun` is
// set, commits them through the import; then reads them back. `textValues`: the values are
// command-line text, read as a boolean ("true", "false") or an integer (decimal, or hexadecimal
// after "0x") where the attribute wants one. `checkConditions`: the request is checked as a
// whole, each value against the conditions as the whole request leaves them (a value for an
// attribute then hidden, grayed out or disabled is refused); without it (a load of defaults, as
// the firmware loads them) only a question grayed out now is refused.
// `observer`, when given, is told what will be written before the first write and called again
// after the writes (the journal).
Outcome SetAttributes(const SetupContext& setup, const AttributeValues& values, bool dryRun, bool textValues = false,
                      bool checkConditions = true, const WriteObserver* observer = nullptr);
// An observer passed where checkConditions belongs would convert to `true` and go unrecorded.
Outcome SetAttributes(const SetupContext&, const AttributeValues&, bool, bool, const WriteObserver*) = delete;

// What `set` would do with the values, writing nothing: "requested" lists each value with its
// result ("applies", or "refused" with the reason, as set --dry-run finds it), "changes" every
// attribute whose Hidden, GrayOut or ReadOnly the values would change, as [before, after].
Outcome PlanAttributes(const SetupContext& setup, const AttributeValues& values, bool textValues = false);

// The attributes whose name, display name or help text holds `text`, ignoring the case of ASCII
// letters: {"Attributes": [...]}; the status is kExitDifferent when none does.
Outcome FindAttributesByText(const SetupContext& setup, const std::string& text);
// The found attributes one line each: name, current value, display name and menu path.
std::string FoundLines(const Json& report);

// The attributes whose values differ between two Bios documents (`b` none: the current values
// of `setup`), or with `fromDefaults` between `a` (none: the current values) and the BIOS
// defaults of `setup`. Each difference has the attribute's DisplayName from `setup` (null without
// one, or for a name it has no attribute of).
Outcome DiffAttributes(const SetupContext* setup, const AttributeValues* a, const AttributeValues* b,
                       bool fromDefaults);

}  // namespace kes::attrs
