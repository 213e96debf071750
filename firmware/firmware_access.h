// The firmware access of one run: where the firmware's files are (the root every path is
// resolved under), which variable interface is in use, the mailbox variable chosen by platform
// identification with its protocol version, the Setup unlock flag, the size of the HII database
// read in this run and the operating system's error of the last failed variable write. The driver
// creates one and hands it to every operation; a test hands in one pointed at a temporary tree.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "base/run_state.h"

namespace kes {

class FirmwareAccess {
 public:
  // Rooted at $KESTREL_SYSFS_FIRMWARE when set, else at /sys/firmware.
  FirmwareAccess();
  // Rooted at `root`; overridden tells whether the root was redirected (the efivarfs magic check
  // is then skipped, since an emulator mount or a captured tree is not efivarfs).
  FirmwareAccess(std::string root, bool overridden);

  const std::string& Root() const { return root_; }
  bool RootOverridden() const { return overridden_; }
  // Root() + "/" + relative (relative must not begin with "/").
  std::string Path(std::string_view relative) const { return root_ + "/" + std::string(relative); }

  bool mailboxConfigured = false;   // set by ValidatePlatform when the table was read
  std::string mailboxName;          // "KMBX"
  EfiGuid mailboxGuid{};
  uint32_t protocolVersion = 8;     // falls to 4 for good on a 0x8003 answer
  bool setupUnlocked = false;       // the current admin password was accepted
  size_t hiiDatabaseSize = 0;
  int sysfsInUse = -1;              // interface choice, -1 until decided
  int efivarfsUsable = -1;
  // errno of the last failed variable write, 0 after a good one. Lets the commit tell a refused
  // protected variable (EACCES, EPERM, EROFS) from other failures.
  int lastWriteError = 0;
  // The store was found mounted read-only and the user was told so (once per run).
  bool readOnlyReported = false;
  // Variables found larger than the store reads, already reported (each once per run).
  std::set<std::string> oversizedVariables;
  // The run's trace settings, for the layers that reach the run only through this object (set by
  // the driver; none: no trace).
  const LogSettings* log = nullptr;
  // A variable's content at one moment: its data (none: it did not exist or could not be read)
  // and attributes.
  struct VariableContent {
    std::string name;
    EfiGuid guid{};
    uint32_t attributes = 0;
    std::optional<std::vector<uint8_t>> data;
  };
  // While set, every variable read notes here, under "Name-GUID", what it found; the first read
  // of each variable is kept. A companion that keeps a view of the Setup questions learns from it
  // which variables the view was built from.
  std::map<std::string, VariableContent>* readRecord = nullptr;
  // While set, every variable write that succeeds notes here what the variable held before the
  // first write (the mailbox variable aside), so that an operation that must be all or nothing
  // can put back what it wrote (UndoWrites, variable_store.h).
  std::vector<VariableContent>* journal = nullptr;

 private:
  std::string root_;
  bool overridden_ = false;
};

}  // namespace kes
