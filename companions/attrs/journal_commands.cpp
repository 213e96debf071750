#include "companions/attrs/journal_commands.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>

#include "base/console.h"
#include "base/text.h"
#include "firmware/mailbox.h"
#include "firmware/variable_store.h"

namespace kes::attrs {

namespace {

void Say(const std::string& text) { WriteNarrow(Stream::Err, "kestrel-attrs: " + text + "\n"); }

std::string CrcText(uint32_t crc) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(crc));
  return text;
}

std::string Id(uint64_t id) { return std::to_string(id); }

Outcome Failed(const std::string& message, int status) {
  Say(message);
  Outcome outcome;
  outcome.status = status;
  return outcome;
}

std::optional<std::vector<uint8_t>> ReadNow(FirmwareAccess& fw, const std::string& name, const EfiGuid& guid) {
  uint32_t attributes = 0;
  std::vector<uint8_t> data;
  if (ReadEfiVariable(fw, name, guid, attributes, data) != status::kSuccess) return std::nullopt;
  return data;
}

// The Setup questions as they are now: each attribute's value, and every variable the walk read
// (the variables Setup questions keep their values in, the boot order, languages and default
// stores).
struct LiveView {
  struct Value {
    Json current;
    bool resetRequired = false;
  };
  std::unordered_map<std::string, Value> values;
  std::set<std::string> variables;

  const Json* Current(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? nullptr : &it->second.current;
  }
};

LiveView TakeView(const SetupContext& setup) {
  LiveView view;
  std::map<std::string, FirmwareAccess::VariableContent> record;
  struct Recording {
    FirmwareAccess& firmware;
    ~Recording() { firmware.readRecord = nullptr; }
  } recording{setup.firmware};
  setup.firmware.readRecord = &record;
  AttributeSink sink;
  sink.describe = false;
  sink.attribute = [&](Attribute& a) {
    view.values.emplace(a.name, LiveView::Value{std::move(a.current), a.resetRequired});
  };
  WalkAttributes(setup, sink);
  for (const auto& entry : record) view.variables.insert(entry.first);
  return view;
}

// The journal as this firmware and this boot see it.
struct JournalState {
  struct Item {
    uint64_t id = 0;
    std::optional<JournalEntry> entry;
    std::string problem;  // why it cannot be read
  };
  std::vector<Item> items;  // oldest first
  std::string bootId;
  uint32_t crc = 0;
  std::map<uint64_t, uint64_t> rolledBackBy;
  std::map<std::string, std::optional<std::vector<uint8_t>>> now;  // variable bytes by key

  // Reads the journal, this boot's id and the Setup questions; false (after saying why, with the
  // status in `status`) when the journal or the boot id cannot be read.
  bool Load(const SetupContext& setup, const JournalOptions& options, int& status) {
    Journal journal(options);
    std::string error;
    bool exists = false;
    if (!journal.Open(false, error, &exists)) {
      Say(error);
      status = kExitJournal;
      return false;
    }
    auto boot = ReadBootId(options.bootIdFile, error);
    if (!boot) {
      Say(error);
      status = kExitJournal;
      return false;
    }
    bootId = *boot;
    crc = FirmwareIdentity(setup);
    if (exists) {
      for (uint64_t id : journal.Ids()) {
        Item item;
        item.id = id;
        item.entry = journal.Read(id, item.problem);
        items.push_back(std::move(item));
      }
    }
    // A rollback counts while it is not itself rolled back: decided from the newest down.
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
      const auto& e = it->entry;
      if (e && e->complete && e->rollbackOf && !rolledBackBy.count(e->id) && !rolledBackBy.count(*e->rollbackOf))
        rolledBackBy[*e->rollbackOf] = e->id;
    }
    setup_ = &setup;
    return true;
  }

  // The Setup questions now, walked when first needed (a refused entry needs no walk).
  const LiveView& View() {
    if (!view_) view_ = TakeView(*setup_);
    return *view_;
  }

  // The entry `id`, or the newest (with `changesOnly`, the newest not made by a rollback).
  const Item* Find(std::optional<uint64_t> id, bool changesOnly = false) const {
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
      if (id ? it->id == *id : !changesOnly || !it->entry || it->entry->command != "rollback") return &*it;
    }
    return nullptr;
  }

  const std::optional<std::vector<uint8_t>>& Now(const JournalVariable& v) {
    auto [it, added] = now.try_emplace(v.Key());
    if (added) it->second = ReadNow(setup_->firmware, v.name, v.guid);
    return it->second;
  }

  // What became of one variable of an entry.
  struct Facts {
    bool holdsAfter = false, holdsBefore = false;
    bool withinOwned = false;  // differs from the bytes after only in bytes of values the entry set
    uint64_t laterWriter = 0;  // the first later entry that wrote it
  };
  Facts FactsOf(const JournalEntry& e, const JournalVariable& v) {
    Facts f;
    const auto& bytes = Now(v);
    f.holdsAfter = e.complete && bytes == v.after;
    f.holdsBefore = bytes == v.before;
    for (const Item& item : items) {
      if (item.id <= e.id || !item.entry || !item.entry->complete) continue;
      if (item.entry->Variable(v.name, v.guid)) {
        f.laterWriter = item.id;
        break;
      }
    }
    if (!e.complete || !bytes || !v.after || bytes->size() != v.after->size()) return f;
    // The bytes the entry's values own: their storage, or the whole variable for a boot order or
    // language control, which keeps its value in a variable of its own.
    std::vector<std::pair<size_t, size_t>> ranges;
    bool anyStorage = false, special = false;
    for (const JournalAttribute& a : e.attributes) {
      if (a.password) continue;
      if (!a.storage) {
        special = true;
      } else if (a.storage->guid == v.guid && a.storage->variable == v.name) {
        anyStorage = true;
        ranges.emplace_back(a.storage->offset, size_t{a.storage->offset} + a.storage->width);
      }
    }
    bool whole = special && !anyStorage;
    f.withinOwned = true;
    for (size_t i = 0; i < bytes->size() && f.withinOwned; ++i) {
      if ((*bytes)[i] == (*v.after)[i] || whole) continue;
      f.withinOwned = std::any_of(ranges.begin(), ranges.end(), [&](const auto& r) { return i >= r.first && i < r.second; });
    }
    return f;
  }

  std::string StatusOf(const JournalEntry& e) {
    if (!e.complete) return "interrupted";
    if (rolledBackBy.count(e.id)) return "rolled-back";
    if (e.hiiCrc != crc) return "other-firmware";
    bool rebooted = e.bootId != bootId;
    for (const JournalVariable& v : e.variables) {
      Facts f = FactsOf(e, v);
      if (!f.holdsAfter && (f.laterWriter || !rebooted || !(f.holdsBefore || f.withinOwned))) return "changed-since";
    }
    if (!rebooted) return "pending-reboot";
    for (const JournalAttribute& a : e.attributes) {
      if (a.password) continue;
      const Json* current = View().Current(a.name);
      if (!current || *current != a.value) return "adjusted";
    }
    return "verified";
  }

 private:
  const SetupContext* setup_ = nullptr;
  std::optional<LiveView> view_;
};

std::string OtherFirmware(const JournalEntry& e, uint32_t crc) {
  return "entry " + Id(e.id) + " was made on other firmware (HII CRC " + CrcText(e.hiiCrc) + "; this firmware's is " +
         CrcText(crc) + ")";
}

// Reads the bytes before of the entry's variables and writes the entry, not complete (its id
// set). False after saying why the journal cannot record it.
bool BeginEntry(const SetupContext& setup, Journal& journal, JournalEntry& entry) {
  std::string error;
  auto boot = ReadBootId(journal.Options().bootIdFile, error);
  if (boot && journal.Open(true, error)) {
    entry.bootId = *boot;
    entry.time = JournalTime();
    entry.hiiCrc = FirmwareIdentity(setup);
    entry.complete = false;
    for (JournalVariable& v : entry.variables) {
      uint32_t attributes = 0;
      std::vector<uint8_t> data;
      v.before.reset();
      if (ReadEfiVariable(setup.firmware, v.name, v.guid, attributes, data) == status::kSuccess) {
        v.attributes = attributes;
        v.before = std::move(data);
      }
    }
    if (journal.Add(entry, error)) return true;
  }
  entry.id = 0;
  Say("the journal cannot record this change, so nothing was written: " + error + " (--no-journal writes without one)");
  return false;
}

// Adds the variables written that the entry did not name yet (with what they held before), reads
// every variable's bytes after, leaves out those that did not change and writes the entry
// complete. An entry left without a change (or a password) is removed (its id becomes 0).
void CompleteEntry(const SetupContext& setup, Journal& journal, JournalEntry& entry,
                   const std::vector<FirmwareAccess::VariableContent>& written) {
  if (!entry.id) return;
  for (const FirmwareAccess::VariableContent& w : written) {
    if (entry.Variable(w.name, w.guid)) continue;
    JournalVariable v;
    v.name = w.name;
    v.guid = w.guid;
    v.attributes = w.attributes;
    v.before = w.data;
    entry.variables.push_back(std::move(v));
  }
  for (JournalVariable& v : entry.variables) {
    uint32_t attributes = 0;
    std::vector<uint8_t> data;
    v.after.reset();
    if (ReadEfiVariable(setup.firmware, v.name, v.guid, attributes, data) == status::kSuccess) {
      v.after = std::move(data);
      if (!v.before) v.attributes = attributes;
    }
  }
  std::erase_if(entry.variables, [](const JournalVariable& v) { return v.before == v.after; });
  bool password = std::any_of(entry.attributes.begin(), entry.attributes.end(),
                              [](const JournalAttribute& a) { return a.password; });
  if (entry.variables.empty() && !password) {
    journal.Remove(entry.id);
    entry.id = 0;
    return;
  }
  entry.complete = true;
  std::string error;
  if (!journal.Replace(entry, error))
    Say("warning: the journal entry " + Id(entry.id) + " could not be completed (" + error +
        "); it stays marked interrupted");
}

JournalAttribute Recorded(const Attribute& a, const Json& value) {
  JournalAttribute out;
  out.name = a.name;
  if (a.type == AttrType::Password) {
    out.password = true;
    return out;
  }
  out.value = value;
  out.oldValue = a.current;
  if (a.special == SpecialControlKind::None && a.width > 0 && !a.variableName.empty())
    out.storage = JournalStorage{ToNarrow(a.variableName), a.variableGuid, a.offset, a.width};
  return out;
}

}  // namespace

uint32_t FirmwareIdentity(const SetupContext& setup) { return CalculateCrc32(Bytes(setup.run.options.HiiDatabase)); }

// ---- Recording ----

JournalRecorder::JournalRecorder(const SetupContext& setup, const JournalOptions& options, std::string command)
    : setup_(setup), journal_(options), command_(std::move(command)) {
  observer_.beforeWrite = [this](const std::vector<PlannedValue>& planned) { return Before(planned); };
  observer_.afterWrite = [this] { After(); };
}

JournalRecorder::~JournalRecorder() {
  if (capturing_) setup_.firmware.journal = nullptr;
}

bool JournalRecorder::Before(const std::vector<PlannedValue>& planned) {
  entry_ = JournalEntry{};
  entry_.command = command_;
  bool anyValue = false;
  for (const PlannedValue& p : planned) {
    if (!p.attribute) continue;
    const Attribute& a = *p.attribute;
    entry_.attributes.push_back(Recorded(a, p.value));
    if (a.type == AttrType::Password) continue;
    anyValue = true;
    std::string name = ToNarrow(a.variableName);
    if (name.empty() || entry_.Variable(name, a.variableGuid)) continue;
    JournalVariable v;
    v.name = std::move(name);
    v.guid = a.variableGuid;
    entry_.variables.push_back(std::move(v));
  }
  if (!BeginEntry(setup_, journal_, entry_)) return false;
  entryId_ = entry_.id;
  // The firmware access notes every variable written from here on, with what it held before;
  // password variables are never noted.
  written_.clear();
  if (anyValue) {
    setup_.firmware.journal = &written_;
    capturing_ = true;
  }
  return true;
}

void JournalRecorder::After() {
  if (capturing_) setup_.firmware.journal = nullptr;
  capturing_ = false;
  CompleteEntry(setup_, journal_, entry_, written_);
  entryId_ = entry_.id;
}

void JournalRecorder::Discard() {
  if (entryId_) journal_.Remove(entryId_);
  entryId_ = entry_.id = 0;
}

// ---- The journal, verify, rollback ----

Outcome ListJournal(const SetupContext& setup, const JournalOptions& options) {
  JournalState state;
  int status = kExitSuccess;
  if (!state.Load(setup, options, status)) return Failed("the journal cannot be listed", status);
  Json entries = Json::array();
  for (auto it = state.items.rbegin(); it != state.items.rend(); ++it) {
    Json item;
    item["Id"] = it->id;
    if (!it->entry) {
      item["Status"] = "damaged";
      item["Problem"] = it->problem;
      entries.push_back(std::move(item));
      continue;
    }
    const JournalEntry& e = *it->entry;
    item["Time"] = e.time;
    item["BootId"] = e.bootId;
    item["ThisBoot"] = e.bootId == state.bootId;
    item["Command"] = e.command;
    if (e.rollbackOf) item["RollbackOf"] = *e.rollbackOf;
    item["Status"] = state.StatusOf(e);
    if (auto by = state.rolledBackBy.find(e.id); by != state.rolledBackBy.end()) item["RolledBackBy"] = by->second;
    Json names = Json::array(), variables = Json::array();
    for (const JournalAttribute& a : e.attributes) names.push_back(a.name);
    for (const JournalVariable& v : e.variables) variables.push_back(v.name);
    item["Attributes"] = std::move(names);
    item["Variables"] = std::move(variables);
    entries.push_back(std::move(item));
  }
  Outcome outcome;
  outcome.report["Directory"] = options.directory;
  outcome.report["BootId"] = state.bootId;
  outcome.report["Entries"] = std::move(entries);
  return outcome;
}

std::string JournalTable(const Json& list) {
  const Json& entries = list["Entries"];
  if (entries.empty()) return "The journal " + list["Directory"].get<std::string>() + " holds no entries.\n";
  std::string out;
  char line[160];
  std::snprintf(line, sizeof line, "%-6s %-20s %-9s %-9s %-15s %s\n", "ID", "TIME", "BOOT", "COMMAND", "STATUS",
                "ATTRIBUTES");
  out += line;
  for (const Json& e : entries) {
    std::string status = e["Status"].get<std::string>();
    if (status == "damaged") {
      std::snprintf(line, sizeof line, "%-6s %-20s %-9s %-9s %-15s ", Id(e["Id"].get<uint64_t>()).c_str(), "-", "-",
                    "-", "damaged");
      out += line + e["Problem"].get<std::string>() + "\n";
      continue;
    }
    std::string boot = e["ThisBoot"].get<bool>() ? "this" : e["BootId"].get<std::string>().substr(0, 8);
    std::string command = e["Command"].get<std::string>();
    std::string names;
    if (e.contains("RollbackOf")) names = "(of " + Id(e["RollbackOf"].get<uint64_t>()) + ") ";
    for (const Json& n : e["Attributes"]) names += (names.empty() || names.back() == ' ' ? "" : ", ") + n.get<std::string>();
    std::snprintf(line, sizeof line, "%-6s %-20s %-9s %-9s %-15s ", Id(e["Id"].get<uint64_t>()).c_str(),
                  e["Time"].get<std::string>().c_str(), boot.c_str(), command.c_str(), status.c_str());
    out += line + names + "\n";
  }
  return out;
}

namespace {

// The entry asked for, or none after saying why (status in `status`).
const JournalEntry* Pick(const JournalState& state, std::optional<uint64_t> id, int& status, bool changesOnly = false) {
  const JournalState::Item* item = state.Find(id, changesOnly);
  status = kExitUsage;
  if (!item) {
    Say(id ? "the journal has no entry " + Id(*id)
           : std::string(changesOnly ? "the journal holds no change to roll back" : "the journal holds no entries"));
    return nullptr;
  }
  if (!item->entry) {
    Say(item->problem);
    return nullptr;
  }
  status = kExitSuccess;
  return &*item->entry;
}

}  // namespace

Outcome VerifyEntry(const SetupContext& setup, const JournalOptions& options, std::optional<uint64_t> id) {
  JournalState state;
  int status = kExitSuccess;
  if (!state.Load(setup, options, status)) return Failed("nothing was verified", status);
  const JournalEntry* picked = Pick(state, id, status);
  if (!picked) return Failed("nothing was verified", status);
  const JournalEntry& e = *picked;
  if (!e.complete)
    return Failed("entry " + Id(e.id) + " was interrupted: its run ended before its writes were recorded as done, "
                  "so what it wrote is unknown (kestrel-attrs get shows the values now)",
                  kExitRefused);
  if (e.hiiCrc != state.crc) return Failed(OtherFirmware(e, state.crc) + ": its attributes are not this firmware's", kExitRefused);

  bool rebooted = e.bootId != state.bootId;
  Outcome outcome;
  Json& report = outcome.report;
  report["Entry"] = e.id;
  report["Command"] = e.command;
  if (e.rollbackOf) report["RollbackOf"] = *e.rollbackOf;
  report["Time"] = e.time;
  report["BootId"] = e.bootId;
  report["Rebooted"] = rebooted;
  report["EntryStatus"] = state.StatusOf(e);
  Json attributes = Json::array();
  bool held = true;
  for (const JournalAttribute& a : e.attributes) {
    Json item;
    item["AttributeName"] = a.name;
    if (a.password) {
      item["Status"] = "not-compared";
      item["Reason"] = "the journal keeps no password values";
      attributes.push_back(std::move(item));
      continue;
    }
    const Json* current = state.View().Current(a.name);
    Json now = current ? *current : Json();
    const char* verdict = !rebooted ? "pending-reboot" : now == a.value ? "applied" : now == a.oldValue ? "reverted" : "adjusted";
    held = held && (!rebooted || now == a.value);
    item["Status"] = verdict;
    item["RequestedValue"] = a.value;
    item["CurrentValue"] = now;
    item["OldValue"] = a.oldValue;
    attributes.push_back(std::move(item));
  }
  report["Status"] = !rebooted ? "pending-reboot" : held ? "verified" : "adjusted";
  report["Attributes"] = std::move(attributes);
  outcome.status = !rebooted ? kExitPending : held ? kExitSuccess : kExitNotHeld;
  return outcome;
}

Outcome RollbackEntry(const SetupContext& setup, const JournalOptions& options, std::optional<uint64_t> id,
                      bool dryRun, bool force) {
  JournalState state;
  int status = kExitSuccess;
  if (!state.Load(setup, options, status)) return Failed("nothing was written", status);
  // Without an id, the newest change: a rollback is rolled back only when named.
  const JournalEntry* picked = Pick(state, id, status, true);
  if (!picked) return Failed("nothing was written", status);
  const JournalEntry& e = *picked;
  std::string refusal = "rollback of entry " + Id(e.id) + " refused, nothing was written: ";
  // Never overridden: bytes of other firmware, or a variable no Setup question keeps its value in
  // (an entry naming one was not written by this journal).
  if (e.hiiCrc != state.crc) return Failed(refusal + OtherFirmware(e, state.crc), kExitRefused);
  for (const JournalVariable& v : e.variables) {
    if (!state.View().variables.count(v.Key()) ||
        (setup.firmware.mailboxConfigured && v.guid == setup.firmware.mailboxGuid && v.name == setup.firmware.mailboxName))
      return Failed(refusal + "it names the variable " + v.Key() + ", in which no Setup question of this firmware keeps "
                    "its value", kExitRefused);
    if (v.before && v.attributes == 0)
      return Failed(refusal + "it gives the variable " + v.Key() + " no attributes", kExitRefused);
  }
  if (!e.complete && !force)
    return Failed(refusal + "entry " + Id(e.id) + " was interrupted: its run ended before its writes were recorded "
                  "as done, so what it wrote is unknown (--force writes its bytes before back anyway)",
                  kExitRefused);

  bool rebooted = e.bootId != state.bootId;
  Outcome outcome;
  Json& report = outcome.report;
  report["DryRun"] = dryRun;
  report["Entry"] = e.id;
  if (auto by = state.rolledBackBy.find(e.id); by != state.rolledBackBy.end()) report["RolledBackBy"] = by->second;
  Json restored = Json::array(), unchanged = Json::array(), refused = Json::array(), failed = Json::array();
  std::vector<const JournalVariable*> writes;
  for (const JournalVariable& v : e.variables) {
    JournalState::Facts f = state.FactsOf(e, v);
    std::string reason;
    if (f.holdsBefore) {
      unchanged.push_back(v.Key());
      continue;
    }
    if (f.holdsAfter) {
      reason = "holds the bytes entry " + Id(e.id) + " wrote";
    } else if (f.laterWriter) {
      reason = "changed since: entry " + Id(f.laterWriter) + " wrote it";
    } else if (rebooted && f.withinOwned) {
      reason = "adjusted by the firmware at the reboot";
    } else {
      reason = e.complete ? "changed since: it holds neither the bytes entry " + Id(e.id) + " wrote nor those before"
                          : "the entry was interrupted";
    }
    bool changedSince = reason.starts_with("changed since");
    if (changedSince && !force) {
      refused.push_back(Json{{"Variable", v.Key()}, {"Reason", reason}});
      continue;
    }
    if (changedSince || !e.complete) reason += " (--force)";
    restored.push_back(Json{{"Variable", v.Key()}, {"Reason", reason}});
    writes.push_back(&v);
  }
  Json values = Json::array();
  bool resetRequired = false;
  for (const JournalAttribute& a : e.attributes) {
    if (a.password) continue;
    values.push_back(Json{{"AttributeName", a.name}, {"Value", a.oldValue}});
    auto it = state.View().values.find(a.name);
    resetRequired = resetRequired || (it != state.View().values.end() && it->second.resetRequired);
  }

  auto finish = [&](int result) {
    report["Restored"] = std::move(restored);
    report["Unchanged"] = std::move(unchanged);
    report["Refused"] = std::move(refused);
    report["Failed"] = std::move(failed);
    report["Attributes"] = std::move(values);
    report["ResetRequired"] = resetRequired && result == kExitSuccess && !writes.empty();
    outcome.status = result;
    return outcome;
  };
  if (!refused.empty()) {
    std::string names;
    for (const Json& r : refused) names += (names.empty() ? "" : "; ") + r["Variable"].get<std::string>() + " " +
                                           r["Reason"].get<std::string>();
    Say(refusal + names + " (--force writes the bytes before back anyway)");
    restored = Json::array();
    writes.clear();
    return finish(kExitRefused);
  }
  if (writes.empty() || dryRun) {
    if (writes.empty()) report["Note"] = "every variable already holds its bytes before entry " + Id(e.id);
    return finish(kExitSuccess);
  }

  // The rollback is an entry of its own: the values go back to what they were before.
  Journal journal(options);
  JournalEntry rollback;
  rollback.command = "rollback";
  rollback.rollbackOf = e.id;
  for (const JournalAttribute& a : e.attributes) {
    if (a.password) continue;
    JournalAttribute back = a;
    back.value = a.oldValue;
    const Json* current = state.View().Current(a.name);
    back.oldValue = current ? *current : Json();
    rollback.attributes.push_back(std::move(back));
  }
  for (const JournalVariable* v : writes) {
    JournalVariable w;
    w.name = v->name;
    w.guid = v->guid;
    rollback.variables.push_back(std::move(w));
  }
  if (options.enabled && !BeginEntry(setup, journal, rollback)) return finish(kExitJournal);

  // All or nothing: the firmware access notes every write, to put it back should one fail.
  FirmwareAccess& fw = setup.firmware;
  std::vector<FirmwareAccess::VariableContent> written;
  fw.journal = &written;
  bool ok = true;
  for (auto it = writes.rbegin(); it != writes.rend() && ok; ++it) {
    const JournalVariable& v = **it;
    Status put;
    if (v.before) {
      put = WriteEfiVariable(fw, v.name, v.guid, v.attributes, *v.before);
    } else {
      // It did not exist before: deleted again (with the attributes it has now).
      uint32_t attributes = 0;
      std::vector<uint8_t> data;
      put = ReadEfiVariable(fw, v.name, v.guid, attributes, data) == status::kSuccess
                ? WriteEfiVariable(fw, v.name, v.guid, attributes, {})
                : status::kSuccess;
    }
    if (put != status::kSuccess) {
      ok = false;
      failed.push_back(Json{{"Variable", v.Key()}, {"Reason", "the firmware refused the write"}});
    }
  }
  fw.journal = nullptr;
  if (!ok) {
    std::vector<std::string> kept = UndoWrites(fw, written);
    for (const std::string& name : kept)
      failed.push_back(Json{{"Variable", name}, {"Reason", "written, and could not be put back"}});
    Say("rollback of entry " + Id(e.id) + " failed: " + failed[0]["Variable"].get<std::string>() + ": " +
        failed[0]["Reason"].get<std::string>() + (kept.empty() ? "; what was written was put back" : ""));
    restored = Json::array();
  }
  // Read back: each variable holds the bytes before.
  for (const JournalVariable* v : writes) {
    if (!ok) break;
    if (ReadNow(fw, v->name, v->guid) != v->before) {
      ok = false;
      failed.push_back(Json{{"Variable", v->Key()}, {"Reason", "it does not hold the bytes before after the write"}});
    }
  }
  if (options.enabled) {
    CompleteEntry(setup, journal, rollback, written);
    if (rollback.id) report["JournalEntry"] = rollback.id;
  }
  return finish(ok ? kExitSuccess : kExitWriteFailed);
}

}  // namespace kes::attrs
