// The journal of kestrel-attrs: one entry for every change it makes to the firmware's variables,
// kept in a state directory (/var/lib/kestrel/journal, or $KESTREL_STATE_DIR) so that a change
// can be verified after the reboot and rolled back.
//
// An entry is one JSON file, "<id>.json" (the id zero-padded to 8 digits), a person can read:
//
//   {"Journal": 1, "Id": 12, "Time": "2025-01-02T03:04:05Z", "BootId": "...",
//    "HiiCrc32": "1A2B3C4D", "Command": "set", "Complete": true,
//    "Attributes": [{"AttributeName": "MAIN002", "Value": 20, "OldValue": 10,
//                    "Storage": {"Variable": "Setup", "Guid": "...", "Offset": 4, "Width": 1}}],
//    "Variables": [{"Name": "Setup", "Guid": "...", "Attributes": 7,
//                   "BeforeSize": 64, "Before": "0a00...", "AfterSize": 64, "After": "1400..."}]}
//
// It is written twice: before anything reaches the firmware ("Complete": false, the bytes before
// only) and once the writes are over (the bytes after too). Each write goes beside the file and
// is synced and renamed into place, so an entry is whole or absent; one whose run ended between
// the two is read as interrupted, never as complete. A password attribute is recorded by name
// only ("Password": true), without values. A rollback entry names the entry it undid
// ("RollbackOf").
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/guid.h"
#include "companions/attrs/attribute_model.h"

namespace kes::attrs {

inline constexpr int kJournalFormat = 1;
inline constexpr size_t kDefaultJournalKeep = 100;
inline constexpr const char* kDefaultJournalDirectory = "/var/lib/kestrel/journal";
inline constexpr const char* kDefaultBootIdFile = "/proc/sys/kernel/random/boot_id";

// Where the variable bytes of an attribute's value are.
struct JournalStorage {
  std::string variable;
  EfiGuid guid{};
  uint32_t offset = 0, width = 0;
};

struct JournalAttribute {
  std::string name;
  bool password = false;   // recorded as changed, without values
  Json value;              // the value requested
  Json oldValue;           // the value before
  std::optional<JournalStorage> storage;  // none: a boot order or language control
};

// A variable the entry's run wrote: its content before and after (none: it did not exist).
struct JournalVariable {
  std::string name;
  EfiGuid guid{};
  uint32_t attributes = 0;
  std::optional<std::vector<uint8_t>> before, after;
  std::string Key() const { return name + "-" + FormatGuidText(guid); }
};

struct JournalEntry {
  uint64_t id = 0;
  std::string time;        // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  std::string bootId;
  uint32_t hiiCrc = 0;     // the firmware's identity: the CRC-32 of its HII database
  std::string command;     // "set", "mount" or "rollback"
  std::optional<uint64_t> rollbackOf;
  bool complete = false;
  std::vector<JournalAttribute> attributes;
  std::vector<JournalVariable> variables;

  const JournalVariable* Variable(std::string_view name, const EfiGuid& guid) const;
};

Json EntryToJson(const JournalEntry& entry);
// Reads an entry's text. None, with `error` saying what is wrong, when it is not an entry this
// journal wrote: not JSON, another format, a member missing or of the wrong type, a size that
// does not match its bytes, hexadecimal that is not, a variable name that is empty, longer than
// a variable file name allows or holds "/" or NUL, a GUID that is not one, a variable given
// twice, after-bytes in an interrupted entry or none in a complete one, a storage range outside
// its variable.
std::optional<JournalEntry> ParseEntry(std::string_view text, std::string& error);

struct JournalOptions {
  bool enabled = true;      // off: --no-journal
  std::string directory;    // the state directory
  std::string bootIdFile;   // where this boot's id is read
  size_t keep = kDefaultJournalKeep;
};
// The defaults, with $KESTREL_STATE_DIR and $KESTREL_BOOT_ID where set.
JournalOptions DefaultJournalOptions();

// This boot's id (the file's text without white space around it). None, with `error`, when the
// file cannot be read or holds no id (1 to 64 characters of letters, digits and "-").
std::optional<std::string> ReadBootId(const std::string& file, std::string& error);

// Now, as an entry's time.
std::string JournalTime();

// The entries in the state directory.
class Journal {
 public:
  explicit Journal(JournalOptions options) : options_(std::move(options)) {}

  const JournalOptions& Options() const { return options_; }
  const std::string& Directory() const { return options_.directory; }

  // Creates the directory (mode 0700, with missing parents) when asked to and it is absent, and
  // checks it: a directory of this user's that nobody else may write. False, with `error`, when
  // not. `exists` receives whether it is there (an absent one is no error when not creating).
  bool Open(bool create, std::string& error, bool* exists = nullptr);
  // Gives the entry the next id and writes it, then drops the oldest entries beyond the number
  // kept. False, with `error`, when it could not be written (nothing is then in the journal).
  bool Add(JournalEntry& entry, std::string& error);
  // Writes an entry again under its id (whole or not at all).
  bool Replace(const JournalEntry& entry, std::string& error);
  void Remove(uint64_t id);
  // The ids of the entries, oldest first. Other files in the directory are left alone.
  std::vector<uint64_t> Ids() const;
  // One entry. None, with `error`, when it is absent, unreadable or damaged.
  std::optional<JournalEntry> Read(uint64_t id, std::string& error) const;

 private:
  std::string PathOf(uint64_t id) const;
  bool Write(const JournalEntry& entry, std::string& error);

  JournalOptions options_;
};

}  // namespace kes::attrs
