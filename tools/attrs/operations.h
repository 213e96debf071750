// The operations of kestrel-attrs over one SetupContext: the registry, the Bios resource, set and
// diff. Each returns its document and the exit status it calls for.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "hii/setup_context.h"
#include "tools/attrs/attribute_model.h"
#include "tools/attrs/documents.h"

namespace kes::attrs {

// Exit statuses of kestrel-attrs.
inline constexpr int kExitSuccess = 0;      // done; set: every value holds; diff: no difference
inline constexpr int kExitDifferent = 1;    // diff: the documents differ
inline constexpr int kExitUsage = 2;        // bad command line or unreadable / invalid input
inline constexpr int kExitRefused = 3;      // set: a value was refused; nothing was written
inline constexpr int kExitWriteFailed = 4;  // set: a write failed or a value does not hold
inline constexpr int kExitFirmware = 5;     // the Setup data could not be read
inline constexpr int kExitPending = 6;      // verify: no reboot since the change
inline constexpr int kExitNotHeld = 7;      // verify: a value did not hold over the reboot
inline constexpr int kExitJournal = 8;      // the journal cannot be written: nothing was written

// Writes the registry while the questions are walked.
bool WriteRegistry(const SetupContext& setup, const TextSink& out);

enum class Defaults { None, Bios, Mfg };
// The Bios resource: every attribute, or those named (in registry order); `missing` receives the
// names no attribute has.
Json BuildBios(const SetupContext& setup, const std::vector<std::string>& names, Defaults defaults,
               std::vector<std::string>& missing);

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
// after "0x") where the attribute wants one.
Outcome SetAttributes(const SetupContext& setup, const AttributeValues& values, bool dryRun, bool textValues = false,
                      const WriteObserver* observer = nullptr);

// The attributes whose values differ between two Bios documents (`b` none: the current values
// of `setup`), or with `fromDefaults` between `a` (none: the current values) and the BIOS
// defaults of `setup`.
Outcome DiffAttributes(const SetupContext* setup, const AttributeValues* a, const AttributeValues* b,
                       bool fromDefaults);

}  // namespace kes::attrs
