// The command line: the switch vocabulary, the scan of the argument vector into ToolOptions and
// the switch flags of the run record, the combination rules, and the files opened before any
// operation runs.
#pragma once
#include <cstdint>
#include <string_view>

#include "base/run_state.h"
#include "base/status.h"
#include "firmware/firmware_access.h"

namespace kes {

// What a switch consumes after itself.
enum class ArgKind : uint8_t {
  None,           // nothing
  Word,           // the next word, whatever it is
  Value,          // the next word, which must not itself be a switch
  OptionalCode,   // /lang: the next word unless it is missing or a switch
  KeyUnits,       // every following word up to the next one beginning with "/"
  CompareOutput,  // /o: the next word, but only once /cs has been given
};

enum class PasswordSlot : uint8_t { None, CurrentAdmin, NewAdmin, NewUser };

// One row of the switch table. The same table drives the scan and the usage screen.
struct SwitchInfo {
  Switch id;
  ArgKind arg;
  const wchar_t* missing;  // message (with %X) when the argument is missing, or null
  const wchar_t* help;     // usage-screen text
  PasswordSlot slot = PasswordSlot::None;
  PasswordType passwordType = PasswordType::None;
  bool passwordFile = false;  // the argument names a file holding the password
};

const SwitchInfo& SwitchTable(Switch s);

// True when the word is one of the 57 switch names, ignoring case.
bool IsToolSwitch(std::wstring_view word);

// Counts /hb in the whole vector. Exactly once: silent, 0. Otherwise prints the banner; twice or
// more also reports the repeat and returns 87.
Status PreScanBanner(int argc, char** argv);

// Scans and validates argv into the run record (options, switches, passwords, log settings),
// identifies the platform through `fw` and opens the files.
// Returns 0, 20 (no arguments), 50 (platform), 8 (password conversion), 87, or the status of the
// variable listing written for /c.
Status ParseCommandLine(int argc, char** argv, RunState& run, FirmwareAccess& fw);

// The usage predicates: each is true when the combination of switches is acceptable.
bool SingleQuestionUsageOk(const RunState& run);
bool PldmUsageOk(const RunState& run);
bool SingleVariableUsageOk(const RunState& run);
bool ScriptCompareUsageOk(const RunState& run);
bool PasswordOnlyUsageOk(const RunState& run);

bool AnyPasswordGiven(const RunState& run);
bool NewPasswordGiven(const RunState& run);
bool AnyVariableSwitch(const RunState& run);

}  // namespace kes
