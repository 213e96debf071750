// NVRAM script import (/i /s): the parsed entries are matched to the Setup questions in walk
// order, checked against each question's model, stored into the walk's variable copies and the
// default-store images, and committed form set by form set.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

#include "base/run_state.h"
#include "base/status.h"
#include "hii/setup_context.h"
#include "script/script_parser.h"

namespace kes {

// Parses the script file the command line opened into `entries`. 0, or 13 after the parser's
// messages (nothing may be imported then).
Status ParseScriptFile(RunState& run, ScriptEntryList& entries);

// Applies the parsed entries. 0; 13 when the file has no checksum line or /r met a finding; 0x17
// when /r finds the file made for another firmware.
Status ImportScript(const SetupContext& setup, ScriptEntryList& entries);

// Applies entries the caller built (the single-question update) in one pass: there is no file,
// so no checksum line is read. `specialRefused`, when given, tells whether a boot order, legacy
// order or language control refused its value.
Status ImportEntries(const SetupContext& setup, ScriptEntryList& entries, bool* specialRefused = nullptr);

// ImportEntries, except that every changed variable is written once, after the last form set,
// even where several form sets change it.
Status ImportEntriesOnce(const SetupContext& setup, ScriptEntryList& entries, bool* specialRefused = nullptr);

// Checks entries the caller built as ImportEntries would apply them, writing nothing: each
// finding about an entry (the import's own warning text) goes to `sink` with the entry's
// position instead of the console. Entries no question took stay unmatched (Matched false).
using EntryFindingSink = std::function<void(size_t entry, const std::wstring& finding)>;
Status CheckEntries(const SetupContext& setup, ScriptEntryList& entries, const EntryFindingSink& sink);

}  // namespace kes
