// What kestrel-attrs does with its journal (journal.h): records every change a set or the mount
// makes to the firmware (JournalRecorder, the set's WriteObserver), lists the entries with their
// status, verifies an entry after the reboot and rolls one back.
//
// The status of an entry, in this order:
//   interrupted     its run ended between the write and recording it as done
//   rolled-back     a later rollback entry undid it (and was not itself rolled back)
//   other-firmware  made on firmware with another HII database
//   changed-since   a variable no longer holds the entry's bytes after, for another cause than
//                   the reboot: a later entry wrote it, it changed in the entry's boot, or its
//                   bytes differ outside those of the values the entry set
//   pending-reboot  no reboot since (the boot id is the entry's)
//   adjusted        a value now differs from the one requested
//   verified        every value requested holds
// After a reboot, a variable whose bytes differ from the entry's bytes after only in the bytes of
// values the entry set (or that holds its bytes before again), and that no later entry wrote,
// was adjusted by the firmware at the reboot: verify reports those values, and rollback writes
// the bytes before back over them.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "hii/setup_context.h"
#include "companions/attrs/journal.h"
#include "companions/attrs/operations.h"

namespace kes::attrs {

// The firmware's identity as the journal records it: the CRC-32 of its HII database.
uint32_t FirmwareIdentity(const SetupContext& setup);

// Records the writes of one set (or one write through the mount) in the journal: an entry before
// anything is written (the values, the variables' bytes before), completed once the writes are
// over (the bytes after, and every other variable the import wrote). An entry in which no
// variable changed (and no password) is removed again.
class JournalRecorder {
 public:
  // `command`: "set" or "mount". The recorder must outlive the set it observes.
  JournalRecorder(const SetupContext& setup, const JournalOptions& options, std::string command);
  ~JournalRecorder();
  JournalRecorder(const JournalRecorder&) = delete;
  JournalRecorder& operator=(const JournalRecorder&) = delete;

  const WriteObserver& Observer() const { return observer_; }
  // The entry recorded (0: none, or removed again).
  uint64_t EntryId() const { return entryId_; }
  // Removes the entry: the change it recorded did not take place.
  void Discard();

 private:
  bool Before(const std::vector<PlannedValue>& planned);
  void After();

  const SetupContext& setup_;
  Journal journal_;
  std::string command_;
  WriteObserver observer_;
  JournalEntry entry_;
  uint64_t entryId_ = 0;
  bool capturing_ = false;
  std::vector<FirmwareAccess::VariableContent> written_;  // the firmware access's write journal
};

// The entries, newest first: {"Entries": [{"Id", "Time", "BootId", "ThisBoot", "Command",
// "RollbackOf", "Status", "Attributes": [names], "Variables": [names], "Problem"}]}. A damaged
// entry is listed with status "damaged" and what is wrong with it.
Outcome ListJournal(const SetupContext& setup, const JournalOptions& options);
// The list as a table, one line an entry.
std::string JournalTable(const Json& list);

// Compares the values an entry requested (the newest when `id` is none) with the values now.
// Status 0 when every one applied, kExitPending before a reboot, kExitNotHeld when one was
// reverted or adjusted; kExitRefused for an interrupted entry or one of other firmware,
// kExitUsage when there is no such entry or it is damaged. Errors are printed; the report is then
// null.
Outcome VerifyEntry(const SetupContext& setup, const JournalOptions& options, std::optional<uint64_t> id);

// Writes back the bytes before of every variable the entry (when `id` is none, the newest made
// by a set or the mount: a rollback is rolled back only by its id) wrote,
// where the variable still holds the entry's bytes after or was adjusted at the reboot; a
// variable that already holds its bytes before is left alone. A variable changed since refuses
// the whole rollback, by name (kExitRefused, nothing written) unless `force`; so do an
// interrupted entry (unless `force`), an entry of other firmware and one naming a variable in
// which no Setup question of this firmware keeps its value (always). The rollback is an entry of
// its own. Status 0 when done or nothing was left to do, kExitWriteFailed when a write failed
// (what was written is put back), kExitJournal when the journal cannot record it.
Outcome RollbackEntry(const SetupContext& setup, const JournalOptions& options, std::optional<uint64_t> id,
                      bool dryRun, bool force);

}  // namespace kes::attrs
