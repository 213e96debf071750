// Committing values to variables. Imports never write a question's bytes straight to the
// firmware: they change the copies held by the walk's varstore table (UpdateVarStoreValue), and
// the commit (ImportVariablesToNvram) compares each copy with what the variable store holds now
// and writes back, whole and with the attributes the store reports, every variable that differs.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/le.h"
#include "base/run_state.h"
#include "base/status.h"
#include "firmware/firmware_access.h"
#include "hii/hii_database.h"
#include "hii/varstore_table.h"

namespace kes {

// Writes `value` into the entry's data at `offset`. Nothing happens when the index names no
// entry or the range runs past the entry's size; "PlatformLang" has no such bound and grows to
// take a longer language code. When the bytes change on behalf of a question whose opcode says
// it needs a reset (`opcode` may be empty: no marking), the entry is marked ResetRequired.
// Returns true when the value was stored.
bool UpdateVarStoreValue(VarStoreTable& table, size_t index, size_t offset, std::span<const uint8_t> value,
                         Bytes opcode = {});

// What the commit needs besides the table.
struct CommitContext {
  RunState& run;            // quiet mode; the outcome flags and the language length are set here
  FirmwareAccess& firmware; // the variable store, and the mailbox variable that is never written
  HiiFormat format = HiiFormat::Uefi;
  // An import that is all or nothing (/r): the first failed write stops the commit, and its
  // message is printed in the ERROR form, also under /q. The caller puts back what was written.
  bool allOrNothing = false;
};

// Writes every entry whose data differs from the variable as the store now holds it. A failed
// write does not stop the others (unless allOrNothing); it prints a warning (not under /q) and
// sets ImportErrors. A write sets SystemModified and carries the entry's ResetRequired into the
// run. Returns 0, or 1 when a write failed.
Status ImportVariablesToNvram(const VarStoreTable& table, const CommitContext& context);

// The changes of several varstore tables gathered for one commit at the end, so that a variable
// two form sets change is written once. A table's changes are the bytes of its copies that
// differ from what the store holds (nothing is written before the end); each collected table's
// changes are laid over those collected before.
class CommitBatch {
 public:
  void Collect(const VarStoreTable& table, FirmwareAccess& firmware);
  // ImportVariablesToNvram over the gathered copies; the batch is empty afterwards.
  Status Commit(const CommitContext& context);

 private:
  std::vector<VarStoreEntry> entries_;
};

}  // namespace kes
