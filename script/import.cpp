#include "script/import.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/console.h"
#include "base/debug_log.h"
#include "base/guid.h"
#include "base/text.h"
#include "commit/special_controls.h"
#include "commit/variable_commit.h"
#include "firmware/variable_store.h"
#include "hii/default_store.h"
#include "hii/hii_format.h"
#include "hii/question_walk.h"

namespace kes {

using namespace hii;

namespace {

// The ERROR form of a finding: its first "WARNING" or "Warning" becomes "ERROR".
std::wstring ErrorForm(std::wstring text) {
  for (const wchar_t* word : {L"WARNING", L"Warning"}) {
    size_t at = text.find(word);
    if (at != std::wstring::npos) return text.replace(at, 7, L"ERROR");
  }
  return text;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::vector<uint8_t> LittleEndian(uint64_t value, size_t width) {
  std::vector<uint8_t> bytes(width, 0);
  for (size_t i = 0; i < width && i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return bytes;
}

bool IsLeapYear(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// A packed date: year in bits 0-15, month in 16-23, day in 24-31.
bool ValidDate(uint64_t packed) {
  unsigned year = packed & 0xFFFF, month = (packed >> 16) & 0xFF, day = (packed >> 24) & 0xFF;
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1900 || year > 9999 || month < 1 || month > 12 || day < 1) return false;
  unsigned days = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
  return day <= days && (packed >> 32) == 0;
}

// A packed time: hour in bits 0-7, minute in 8-15, second in 16-23.
bool ValidTime(uint64_t packed) {
  return (packed & 0xFF) < 24 && ((packed >> 8) & 0xFF) < 60 && ((packed >> 16) & 0xFF) < 60 && (packed >> 24) == 0;
}

// Decodes a braced default list "{01,02,03}" (hexadecimal elements separated by ",").
std::optional<std::vector<uint64_t>> DecodeDefaultList(const std::wstring& text) {
  if (text.size() < 2 || text.front() != L'{' || text.back() != L'}') return std::nullopt;
  std::vector<uint64_t> values;
  std::wstring body = text.substr(1, text.size() - 2);
  size_t start = 0;
  while (start <= body.size()) {
    size_t comma = body.find(L',', start);
    if (comma == std::wstring::npos) comma = body.size();
    std::wstring item = body.substr(start, comma - start);
    TrimWide(item);
    if (item.empty() || item.size() > 16) return std::nullopt;
    uint64_t value = 0;
    for (wchar_t c : item) {
      int digit = c >= L'0' && c <= L'9' ? c - L'0' : c >= L'a' && c <= L'f' ? c - L'a' + 10
                  : c >= L'A' && c <= L'F' ? c - L'A' + 10 : -1;
      if (digit < 0) return std::nullopt;
      value = (value << 4) | static_cast<uint64_t>(digit);
    }
    values.push_back(value);
    start = comma + 1;
  }
  return values;
}

// True when `list` holds every option value exactly once and nothing else.
bool IsPermutation(const std::vector<uint64_t>& list, const std::vector<OptionRecord>& options) {
  if (list.size() != options.size()) return false;
  std::vector<uint64_t> a = list, b;
  for (const OptionRecord& o : options) b.push_back(o.Value);
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  return a == b;
}

bool IsOption(const std::vector<OptionRecord>& options, uint64_t value) {
  return std::any_of(options.begin(), options.end(), [&](const OptionRecord& o) { return o.Value == value; });
}

// An entry's identity and token, viewing the entry's text (entries stay put during an import).
struct EntryKey {
  std::string_view identity;
  uint16_t token = 0;
  bool operator==(const EntryKey&) const = default;
};
struct EntryKeyHash {
  size_t operator()(const EntryKey& k) const {
    return std::hash<std::string_view>{}(k.identity) ^ (size_t{k.token} * 0x9E3779B97F4A7C15ull);
  }
};

// The import stops at once under /r: the pending changes of the current form set and the
// default stores are dropped.
struct StopImport {};
// Under /r the firmware refused a write: what the import wrote is put back.
struct WriteRefused {};

// Notes every variable the firmware access writes while alive in `journal`. A journal the caller
// set on the firmware access stays in place when `journal` is none, and is put back at the end
// with what `journal` still holds added (what was put back is no longer written).
class Journaling {
 public:
  Journaling(FirmwareAccess& firmware, std::vector<FirmwareAccess::VariableContent>* journal)
      : firmware_(firmware), journal_(journal), outer_(firmware.journal) {
    if (journal_) firmware_.journal = journal_;
  }
  ~Journaling() {
    firmware_.journal = outer_;
    if (!outer_ || !journal_ || outer_ == journal_) return;
    for (const FirmwareAccess::VariableContent& v : *journal_)
      if (std::none_of(outer_->begin(), outer_->end(),
                       [&](const FirmwareAccess::VariableContent& o) { return o.guid == v.guid && o.name == v.name; }))
        outer_->push_back(v);
  }
  Journaling(const Journaling&) = delete;
  Journaling& operator=(const Journaling&) = delete;

 private:
  FirmwareAccess& firmware_;
  std::vector<FirmwareAccess::VariableContent>* journal_;
  std::vector<FirmwareAccess::VariableContent>* outer_;
};

class Importer {
 public:
  // A dry run checks everything and changes nothing: no commit, no default-store write-back.
  Importer(const SetupContext& setup, ScriptEntryList& entries, bool dryRun, bool readChecksum = true)
      : setup_(setup),
        dryRun_(dryRun),
        run_(setup.run),
        entries_(entries),
        applied_(entries.size()),
        stores_(setup.firmware),
        walk_(setup.NewWalk()),
        special_({setup.run, setup.firmware, walk_.VarStores()}),
        older_(setup.database.Format() == HiiFormat::Older),
        readChecksum_(readChecksum && !older_),
        restricted_(run_.Given(Switch::R) && !older_),
        quiet_(run_.Quiet()),
        lang_(run_.Given(Switch::Lang) && !older_) {}

  Status Run() {
    stores_.LoadDefaultStores();
    stdPresent_ = stores_.DefaultStorePresent(DefaultStore::Std);
    mfgPresent_ = stores_.DefaultStorePresent(DefaultStore::Mfg);
    if (readChecksum_) {
      if (Status s = CheckChecksum(); s != status::kSuccess) return s;
    }
    IndexEntries();
    // Under /r the import is all or nothing also when the firmware refuses a write: every write
    // is noted with what the variable held before, to be put back should a later one fail.
    std::vector<FirmwareAccess::VariableContent> journal;
    Journaling journaling(setup_.firmware, restricted_ && !dryRun_ ? &journal : nullptr);
    try {
      Walk();
      if (!older_) PostWalk();
    } catch (const StopImport&) {
      if (!journal.empty()) Undo(journal);
      return status::kInvalidFile;
    } catch (const WriteRefused&) {
      return Undo(journal);
    }
    if (dryRun_) return status::kSuccess;
    try {
      Commit();
      if (batch_ && batch_->Commit({run_, setup_.firmware, setup_.database.Format(), restricted_}) != status::kSuccess &&
          restricted_)
        throw WriteRefused{};
    } catch (const WriteRefused&) {
      return Undo(journal);
    }
    DebugLog(&run_.log, LV_MODL, "Setting std and Mfg Defaults Buffer [START]\n ");
    Status written = stores_.WriteBackDefaultStores(run_);
    DebugLog(&run_.log, LV_MODL, "Setting std and Mfg Defaults Buffer [END] with status %x\n ", written);
    if (written != status::kSuccess && restricted_) return Undo(journal);
    return status::kSuccess;
  }

  // Whether a special control refused a value (status 13 was printed).
  bool SpecialRefused() const { return special_.Refused(); }

  // Findings about an entry go to `sink`, with the entry's position, instead of the console.
  void SetFindingSink(EntryFindingSink sink) { sink_ = std::move(sink); }
  // The form sets' changes are gathered and every changed variable is written once, at the end.
  void CommitOnce() { batch_.emplace(); }

 private:
  struct Applied {
    std::array<uint8_t, 16> guid{};
    std::wstring name;
    uint16_t offset = 0;
    bool resolved = false;
  };

  // A finding: the WARNING form unless quiet; under /r the ERROR form, always, and the import stops.
  void Finding(const std::wstring& warning, const std::wstring* error = nullptr) {
    if (sink_ && current_ < entries_.size()) {
      sink_(current_, warning);
      return;
    }
    if (restricted_) {
      Err(error ? *error : ErrorForm(warning));
      throw StopImport{};
    }
    if (!quiet_) Err(warning);
  }

  // The file's "HIICrc32" line, noted when the file was parsed. Compared with the firmware's
  // only under /r.
  Status CheckChecksum() {
    const std::optional<uint32_t>& crc = run_.options.ScriptChecksum;
    if (!crc) {
      Print(Stream::Err, L"ERROR:%X -  Parsing Advanced Script File\n", status::kInvalidFile);
      return status::kInvalidFile;
    }
    if (restricted_ && *crc != run_.options.HiiCrc32) {
      Print(Stream::Err, L"\nFILE CRC : %lx\nBIOS CRC : %lx\n", static_cast<unsigned long>(*crc),
            static_cast<unsigned long>(run_.options.HiiCrc32));
      Print(Stream::Err, L"ERROR:%X -  Script File does not match the target BIOS\n", status::kCrcMismatch);
      return status::kCrcMismatch;
    }
    return status::kSuccess;
  }

  // The matching key: identity and token byte for byte, or with /lang the identity ignoring case
  // (its lower-case form, kept in `lowered` while the key is in use) and no token.
  EntryKey Key(std::string_view identity, uint16_t token, std::string& lowered) const {
    if (!lang_) return {identity, token};
    lowered = Lower(identity);
    return {lowered, 0};
  }

  // The first candidate (an entry with a value line, a current option or an ordered list) of
  // each key, in file order, so that matching never compares every question with every entry.
  void IndexEntries() {
    if (lang_) lowered_.reserve(entries_.size());
    candidates_.reserve(entries_.size());
    std::string lowered;
    for (size_t i = 0; i < entries_.size(); ++i) {
      const ScriptEntry& e = entries_[i];
      if (!e.flags.HasIdentity || e.identity.empty()) continue;
      if (!(e.flags.HasValue || e.flags.HasCurrent || e.flags.HasListOrder)) continue;
      EntryKey key = Key(e.identity, e.token, lowered);
      if (lang_) {
        // The key must outlive this loop: it views a string that stays put.
        lowered_.push_back(std::make_unique<std::string>(std::move(lowered)));
        key.identity = *lowered_.back();
      }
      candidates_.emplace(key, i);
    }
  }

  void Commit() {
    if (dryRun_) return;
    if (batch_) {
      batch_->Collect(walk_.VarStores(), setup_.firmware);
    } else if (ImportVariablesToNvram(walk_.VarStores(), {run_, setup_.firmware, setup_.database.Format(), restricted_}) !=
                   status::kSuccess &&
               restricted_) {
      throw WriteRefused{};
    }
  }

  // A write failed (or a finding stopped the import) under /r: every variable the import wrote
  // gets back what it held before. The run fails either way.
  Status Undo(std::vector<FirmwareAccess::VariableContent>& journal) {
    bool anyWritten = !journal.empty();
    std::vector<std::string> kept = UndoWrites(setup_.firmware, journal);
    for (const std::string& name : kept)
      Print(Stream::Err, L"ERROR : Variable %ls could not be put back to its value before the import.\n",
            ToWide(name).c_str());
    if (anyWritten && kept.empty()) {
      Err(L"ERROR : The import was undone: every variable it had written holds its earlier value again.\n");
      run_.SystemModified = false;
      run_.ResetRequired = false;
    }
    run_.ImportErrors = true;
    return status::kFailure;
  }

  void Walk() {
    for (const PackageList& list : setup_.database.Lists()) {
      // What the previous form set changed reaches the firmware before its table goes (a commit
      // over an empty or unchanged table writes nothing). The form set may register a varstore.
      Commit();
      walk_.VarStores().Clear();
      auto formSet = walk_.FirstFormSet(list);
      if (!formSet) continue;
      FormInfo current;
      const FormInfo* previous = nullptr;
      while (auto form = walk_.NextForm(*formSet, previous)) {
        current = *form;
        previous = &current;
        size_t cursor = 0;
        QuestionRecord record;
        while (true) {
          QuestionStep step = walk_.NextQuestion(*formSet, current, cursor, record);
          if (step == QuestionStep::FormDone) break;
          if (step != QuestionStep::Question) continue;
          ++questions_;
          ImportQuestion(list, record);
        }
      }
    }
  }

  std::string Identity(const PackageList& list, const QuestionRecord& record) const {
    auto text = setup_.strings.GetString(list, record.Prompt, lang_);
    if (!text) return {};
    return Trim(ToNarrow(Printable(*text)));
  }

  // Every entry not yet taken is offered to the special control in file order.
  void ImportSpecial(const PackageList& list, const QuestionRecord& record) {
    auto text = setup_.strings.GetString(list, record.Prompt, lang_);
    if (!text) return;
    std::wstring prompt = Printable(*text);
    Bytes opcode = ResetTestOpcode(record);
    for (ScriptEntry& e : entries_) {
      if (e.Matched || !e.flags.HasIdentity || e.identity.empty()) continue;
      if (!(e.flags.HasValue || e.flags.HasCurrent || e.flags.HasListOrder)) continue;
      SpecialEntry offered{e.identity, e.value, e.listValues, e.flags.HasBiosDefault, e.flags.HasMfgDefault};
      if (!dryRun_) {
        if (special_.ImportSpecialControl(offered, record, prompt, opcode)) e.Matched = true;
        continue;
      }
      // The dry run of /r says nothing unless the control refuses the value: then its messages
      // are shown and the import stops before any variable is written.
      bool refusedBefore = special_.Refused();
      std::string said;
      {
        ConsoleCapture quiet;
        if (special_.ImportSpecialControl(offered, record, prompt, opcode)) e.Matched = true;
        said = quiet.err();
      }
      if (!refusedBefore && special_.Refused()) {
        WriteNarrow(Stream::Err, said);
        throw StopImport{};
      }
    }
  }

  void ImportQuestion(const PackageList& list, QuestionRecord& record) {
    if (record.Kind == IFR_PASSWORD) return;
    if (special_.KindOf(record) != SpecialControlKind::None) {
      ImportSpecial(list, record);
      return;
    }
    std::string identity = Identity(list, record);
    if (identity.empty()) return;
    std::string lowered;
    auto it = candidates_.find(Key(identity, record.QuestionId, lowered));
    if (it == candidates_.end()) return;
    size_t index = it->second;
    ScriptEntry& entry = entries_[index];
    const VarStoreEntry* store = walk_.VarStores().At(record.VarStoreIndex);
    std::wstring name = ToWide(identity);
    if (entry.Matched) {
      const Applied& used = applied_[index];
      if (store && used.resolved && used.guid == store->Guid.ToBytes() && used.name == store->Name &&
          record.VarOffset == entry.offset)
        return;
      // The value asked for is the one this instance holds: nothing stays unmodified.
      if (HeldParts(entry, record, false).value) return;
      if (store) {
        std::wstring guid = FormatGuidTextW(store->Guid);
        Finding(WFormat(L"WARNING : Multiple instances of the setup question <%ls> exist in the BIOS. The value for the "
                        L"duplicate instance of the question has not been modified (variable: %ls, GUID: %ls, offset: "
                        L"%02x).\n",
                        name.c_str(), store->Name.c_str(), guid.c_str(), record.VarOffset));
      } else {
        Finding(WFormat(L"WARNING : Multiple instances of the setup question <%ls> exist in the BIOS. The value for the "
                        L"duplicate instance of the question has not been modified.\n",
                        name.c_str()));
      }
      return;
    }
    entry.Matched = true;
    struct Current {
      size_t& at;
      ~Current() { at = SIZE_MAX; }
    } current{current_};
    current_ = index;
    if (store) applied_[index] = {store->Guid.ToBytes(), store->Name, record.VarOffset, true};
    entry.appliedVarStore = record.VarStoreIndex;
    struct HeldScope {
      Held& held;
      ~HeldScope() { held = Held{}; }
    } heldScope{held_};
    held_ = HeldParts(entry, record, true);
    if (held_.All(entry)) return;  // what the firmware holds already: nothing to check or write
    if (!Validate(entry, record, name)) return;
    if (!Store(entry, record, name)) return;
    if (record.Kind == IFR_ORDERED_LIST) {
      ListDefaults(entry, record, name, DefaultStore::Std);
      ListDefaults(entry, record, name, DefaultStore::Mfg);
    } else if (record.Kind != IFR_STRING) {
      ScalarDefault(entry, record, name, DefaultStore::Std);
      ScalarDefault(entry, record, name, DefaultStore::Mfg);
    }
  }

  // Whether the default line of `store` takes part in the checks: the store exists, the question
  // has a default there, the entry carries the line and /ds (/dm) does not replace it.
  bool ChecksDefault(const ScriptEntry& entry, const QuestionRecord& record, DefaultStore store) {
    bool mfg = store == DefaultStore::Mfg;
    if (!(mfg ? mfgPresent_ : stdPresent_)) return false;
    if (!(mfg ? entry.flags.HasMfgDefault : entry.flags.HasBiosDefault)) return false;
    if (run_.Given(mfg ? Switch::Dm : Switch::Ds)) return false;
    const VarStoreEntry* v = walk_.VarStores().At(record.VarStoreIndex);
    return v && stores_.FindQuestionDefault(store, v->Guid, v->Name, record.VarOffset, ValueWidth(record)).has_value();
  }

  static size_t ValueWidth(const QuestionRecord& record) { return record.Width; }

  // What of an entry the firmware holds already: its value (the question's storage), and its
  // BIOS and MFG default lines (the question's default in each store). A part the firmware holds
  // is never a finding: it is left as it is, without range, length, option or list checks, and
  // nothing is written for it. Changed parts keep every check.
  struct Held {
    bool value = false, bios = false, mfg = false;
    bool All(const ScriptEntry& e) const {
      return value && (bios || !e.flags.HasBiosDefault) && (mfg || !e.flags.HasMfgDefault);
    }
  };

  // The option values among the first elements of an ordered list's storage, as the export lists
  // them (elements that name no option are left out).
  static std::vector<uint64_t> NamedElements(const QuestionRecord& record, Bytes bytes) {
    size_t width = record.Width ? record.Width : 1;
    std::vector<uint64_t> out;
    for (size_t at = 0; at + width <= bytes.size(); at += width)
      if (IsOption(record.ValueInfo.Options, LeN(bytes, at, width))) out.push_back(LeN(bytes, at, width));
    return out;
  }

  // Whether a scalar value of the entry stands for these bytes of the question: it fits the
  // storage (a signed question takes its values with or without their sign) and has its bytes.
  bool ScalarHeld(const QuestionRecord& record, uint64_t value, bool negative, Bytes bytes) const {
    size_t width = bytes.size();
    bool fits = value <= WidthMask(width) && !negative;
    if (record.Kind == IFR_NUMERIC) {
      auto op = OpAt(setup_.database.Image(), record.Opcode, record.ScopeLimit);
      if (op && NumericDisplay(*op, record) == kDisplaySignedDecimal)
        fits = width >= 8 || static_cast<uint64_t>(SignExtend(value, width)) == value || value <= WidthMask(width);
    }
    return fits && LeN(bytes, 0, width) == (value & WidthMask(width));
  }

  Held HeldParts(const ScriptEntry& entry, const QuestionRecord& record, bool sameOffset) {
    Held held;
    if (entry.width != record.Width || (sameOffset && !lang_ && entry.offset != record.VarOffset)) return held;
    if (!NotationFits(entry, record)) return held;
    const VarStoreEntry* store = walk_.VarStores().At(record.VarStoreIndex);
    if (!store || !store->Data) return held;
    bool list = record.Kind == IFR_ORDERED_LIST;
    size_t length = list ? static_cast<size_t>(record.Width) * record.ValueInfo.Options.size()
                    : record.Kind == IFR_DATE ? 4 : record.Kind == IFR_TIME ? 3 : record.Width;
    auto current = walk_.VarStores().GetVarStoreValue(record.VarStoreIndex, record.VarOffset, length);
    if (!current) return held;
    if (list) {
      held.value = std::vector<uint64_t>(entry.listValues.begin(), entry.listValues.end()) == NamedElements(record, *current);
    } else if (record.Kind == IFR_STRING) {
      if (entry.stringIsPrintable) {
        std::u16string stored;
        for (size_t at = 0; at + 1 < current->size() && Le16(*current, at) != 0; at += 2)
          stored.push_back(static_cast<char16_t>(Le16(*current, at)));
        held.value = entry.stringUnits == stored;
      } else {
        held.value = entry.stringBytes == *current;
      }
    } else {
      held.value = ScalarHeld(record, entry.value, entry.flags.IsNegative, *current);
    }
    // Defaults: only lines that take part in the checks (the store holds the question's default
    // and /ds or /dm does not replace it) can be held.
    for (DefaultStore which : {DefaultStore::Std, DefaultStore::Mfg}) {
      bool mfg = which == DefaultStore::Mfg;
      if (!(mfg ? mfgPresent_ : stdPresent_) || !(mfg ? entry.flags.HasMfgDefault : entry.flags.HasBiosDefault) ||
          run_.Given(mfg ? Switch::Dm : Switch::Ds) || record.Kind == IFR_STRING)
        continue;
      auto stored = stores_.FindQuestionDefault(which, store->Guid, store->Name, record.VarOffset, length);
      if (!stored) continue;
      bool same;
      if (list) {
        auto decoded = DecodeDefaultList(mfg ? entry.mfgDefaultList : entry.biosDefaultList);
        same = decoded && *decoded == NamedElements(record, *stored);
      } else {
        same = ScalarHeld(record, mfg ? entry.mfgDefault : entry.biosDefault, false, *stored);
      }
      (mfg ? held.mfg : held.bios) = same;
    }
    return held;
  }

  std::wstring Invalid(const std::wstring& name) const {
    return WFormat(L"WARNING : Value for control (%ls) not updated as the value/defaults specified is invalid.\n",
                   name.c_str());
  }

  // Whether the value is written in the notation of the question's kind. A value in another
  // notation would skip the kind's checks (a braced string over a numeric's storage, a plain
  // number as a date) and store bytes nobody checked, so it is refused as invalid. A numeric or
  // checkbox may take its value from a "*" option line; it is range-checked like any value.
  static bool NotationFits(const ScriptEntry& entry, const QuestionRecord& record) {
    const ScriptEntryFlags& f = entry.flags;
    bool plainNumber = !f.ValueIsString && !f.IsDate && !f.IsTime && !f.HasListOrder;
    bool listDefault = f.DefaultIsList && record.Kind != IFR_STRING;  // a string's defaults are not used
    switch (record.Kind) {
      case IFR_ONE_OF:
      case IFR_NUMERIC:
      case IFR_CHECKBOX:
        return plainNumber && !listDefault;
      case IFR_DATE:
        return f.IsDate && !listDefault;
      case IFR_TIME:
        return f.IsTime && !listDefault;
      case IFR_STRING:
        return f.ValueIsString;
      case IFR_ORDERED_LIST:
        return f.HasListOrder;
      default:
        return true;
    }
  }

  // The checks in order; the first failure reports and ends the question.
  bool Validate(const ScriptEntry& entry, const QuestionRecord& record, const std::wstring& name) {
    if (entry.width != record.Width) {
      Finding(WFormat(L"WARNING : DataWidth mismatch for setup question %ls \n", name.c_str()));
      return false;
    }
    if (!lang_ && entry.offset != record.VarOffset) {
      Finding(WFormat(L"WARNING : DataOffset mismatch for setup question %ls \n", name.c_str()));
      return false;
    }
    if (!NotationFits(entry, record)) {
      Finding(Invalid(name));
      return false;
    }
    bool stdLine = ChecksDefault(entry, record, DefaultStore::Std), mfgLine = ChecksDefault(entry, record, DefaultStore::Mfg);
    auto op = OpAt(setup_.database.Image(), record.Opcode, record.ScopeLimit);
    switch (record.Kind) {
      case IFR_NUMERIC:
        if (op && NumericDisplay(*op, record) != kDisplaySignedDecimal && entry.flags.IsNegative && !held_.value) {
          Finding(Invalid(name));
          return false;
        }
        return op && RangeCheck(entry, record, *op, name, stdLine, mfgLine);
      case IFR_CHECKBOX:
        if ((!held_.value && entry.value > 1) || (stdLine && !held_.bios && entry.biosDefault > 1) ||
            (mfgLine && !held_.mfg && entry.mfgDefault > 1)) {
          Finding(Invalid(name));
          return false;
        }
        return true;
      case IFR_DATE:
      case IFR_TIME: {
        bool date = record.Kind == IFR_DATE;
        auto valid = date ? ValidDate : ValidTime;
        bool bad = (date ? entry.flags.IsDate : entry.flags.IsTime) && !held_.value && !valid(entry.value);
        bad = bad || (stdLine && !held_.bios && !valid(entry.biosDefault)) ||
              (mfgLine && !held_.mfg && !valid(entry.mfgDefault));
        if (bad) Finding(Invalid(name));
        return !bad;
      }
      case IFR_STRING:
        if (entry.flags.ValueIsString && !held_.value) {
          if (entry.stringLength > record.ValueInfo.Maximum) {
            Finding(WFormat(L"WARNING : Length of string for control (%ls) not updated as the value/defaults specified "
                            L"in the script file exceeds the maximum range (%d).\n",
                            name.c_str(), static_cast<int>(record.ValueInfo.Maximum)));
            return false;
          }
          if (entry.stringLength < record.ValueInfo.Minimum) {
            Finding(WFormat(L"WARNING : Length of string for control (%ls) not updated as the value/defaults specified "
                            L"in the script file doesn't reach the minimum range (%d).\n",
                            name.c_str(), static_cast<int>(record.ValueInfo.Minimum)));
            return false;
          }
        }
        return true;
      default:
        return true;
    }
  }

  // Value, BIOS default and MFG default against the numeric question's limits: above the maximum
  // first (value, BIOS, MFG), then below the minimum; the first hit decides.
  bool RangeCheck(const ScriptEntry& entry, const QuestionRecord& record, const IfrOp& op, const std::wstring& name,
                  bool stdLine, bool mfgLine) {
    size_t width = record.Width;
    uint8_t display = NumericDisplay(op, record);
    bool isSigned = display == kDisplaySignedDecimal, hex = display == kDisplayHex;
    uint64_t widthMax = width >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * width)) - 1;
    uint64_t min = record.ValueInfo.Minimum & widthMax, max = record.ValueInfo.Maximum & widthMax;
    struct Candidate {
      bool present;
      uint64_t value;
    };
    const Candidate candidates[] = {
        {!held_.value, entry.value}, {stdLine && !held_.bios, entry.biosDefault}, {mfgLine && !held_.mfg, entry.mfgDefault}};
    // Signed values are compared as integers of the question's width (the export writes a
    // negative byte as its byte value); a value that fits the width in neither reading is out of
    // range on its own side.
    unsigned bits = static_cast<unsigned>(8 * std::min<size_t>(width, 8));
    auto fitsWidth = [&](uint64_t v) {
      if (bits >= 64) return true;
      int64_t s = static_cast<int64_t>(v);
      return s >= -(int64_t{1} << (bits - 1)) && s <= (int64_t{1} << bits) - 1;
    };
    auto above = [&](uint64_t v) {
      if (!isSigned) return v > widthMax || v > max;
      if (!fitsWidth(v)) return static_cast<int64_t>(v) > 0;
      return SignExtend(v, width) > SignExtend(max, width);
    };
    auto below = [&](uint64_t v) {
      if (!isSigned) return v <= widthMax && v < min;
      if (!fitsWidth(v)) return static_cast<int64_t>(v) < 0;
      return SignExtend(v, width) < SignExtend(min, width);
    };
    const wchar_t* format = hex               ? L"(%llx)"
                            : isSigned        ? (width == 8 ? L"(%lld)" : L"(%d)")
                                              : (width == 8 ? L"(%llu)" : L"(%u)");
    auto limitText = [&](uint64_t limit) {
      if (hex) return WFormat(format, static_cast<unsigned long long>(limit));
      if (isSigned) {
        int64_t s = SignExtend(limit, width);
        return width == 8 ? WFormat(format, static_cast<long long>(s)) : WFormat(format, static_cast<int>(s));
      }
      return width == 8 ? WFormat(format, static_cast<unsigned long long>(limit))
                        : WFormat(format, static_cast<unsigned>(limit));
    };
    for (const Candidate& c : candidates) {
      if (!c.present || !above(c.value)) continue;
      Finding(WFormat(L"WARNING : Value for control (%ls) not updated as the value/defaults specified exceeds the "
                      L"maximum range %ls.\n",
                      name.c_str(), limitText(max).c_str()));
      return false;
    }
    for (const Candidate& c : candidates) {
      if (!c.present || !below(c.value)) continue;
      Finding(WFormat(L"WARNING : Value for control (%ls) not updated as the value/defaults specified doesn't reach "
                      L"the minimum range %ls.\n",
                      name.c_str(), limitText(min).c_str()));
      return false;
    }
    return true;
  }

  std::wstring ListInvalid(const std::wstring& name, std::wstring* error) const {
    *error = WFormat(L"ERROR : Value for control (%ls) not updated as the value/defaults specified is invalid \n",
                     name.c_str());
    return WFormat(L"WARNING : Value for control (%ls) not updated as the value/defaults specified in the script file "
                   L"is invalid \n",
                   name.c_str());
  }

  // Stores the bytes into the question's variable copy. A variable that could not be read, or
  // is shorter than the question's storage needs, cannot take the value: that is a finding, and
  // the run no longer counts as a plain success.
  bool Update(const QuestionRecord& record, size_t offset, std::span<const uint8_t> bytes, const std::wstring& name) {
    if (UpdateVarStoreValue(walk_.VarStores(), record.VarStoreIndex, offset, bytes, ResetTestOpcode(record)))
      return true;
    const VarStoreEntry* store = walk_.VarStores().At(record.VarStoreIndex);
    if (!store || !store->Data) {
      Finding(WFormat(L"WARNING : Value for control (%ls) not updated as its variable cannot be read.\n", name.c_str()));
    } else {
      Finding(WFormat(L"WARNING : Value for control (%ls) not updated as its storage (offset %02x, width %02x) lies "
                      L"past the end of variable %ls (%u bytes).\n",
                      name.c_str(), static_cast<unsigned>(offset), static_cast<unsigned>(bytes.size()),
                      store->Name.c_str(), static_cast<unsigned>(store->Data->size())));
    }
    if (!dryRun_) run_.ImportErrors = true;
    return false;
  }

  // The opcode whose flags say whether a change needs a reset; none for the older encoding,
  // whose opcodes carry no such flag.
  Bytes ResetTestOpcode(const QuestionRecord& record) const {
    return record.OlderEncoding ? Bytes() : record.Op(setup_.database.Image());
  }

  // Stores the accepted value; false when nothing was stored.
  bool Store(const ScriptEntry& entry, const QuestionRecord& record, const std::wstring& name) {
    if (held_.value) return true;  // held already: nothing to write, the defaults follow
    const auto& options = record.ValueInfo.Options;
    if (entry.flags.HasListOrder) {
      if (record.Kind != IFR_ORDERED_LIST) {
        // A list written over a scalar's storage would overwrite the questions that follow it.
        Finding(Invalid(name));
        return false;
      }
      std::vector<uint64_t> list(entry.listValues.begin(), entry.listValues.end());
      if (options.size() < list.size()) {
        std::wstring warning = WFormat(L"\nWarning : Setup question '%ls' is not imported, as OrderedList count "
                                       L"mismatches with Listorder Options in NVRAM\n",
                                       name.c_str());
        if (restricted_) Finding(warning);
        Err(warning);
        return false;
      }
      if (!IsPermutation(list, options)) {
        std::wstring error, warning = ListInvalid(name, &error);
        Finding(warning, &error);
        return false;
      }
      return StoreList(record, list, name);
    }
    if (!options.empty() && !IsOption(options, entry.value)) {
      Finding(WFormat(L"WARNING : Value for control (%ls) not updated as the value/defaults specified in the script "
                      L"file exceeds the maximum range \n",
                      name.c_str()),
              ptr(WFormat(L"ERROR : Value for control (%ls) not updated as the value/defaults specified exceeds the "
                          L"maximum range \n",
                          name.c_str())));
      return false;
    }
    size_t width = record.Width;
    std::vector<uint8_t> bytes(width, 0);
    if (entry.flags.ValueIsString && entry.stringIsPrintable) {
      for (size_t i = 0; i < entry.stringUnits.size() && 2 * i + 1 < width; ++i) {
        bytes[2 * i] = static_cast<uint8_t>(entry.stringUnits[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(entry.stringUnits[i] >> 8);
      }
    } else if (entry.flags.ValueIsString) {
      std::copy_n(entry.stringBytes.begin(), std::min(entry.stringBytes.size(), width), bytes.begin());
    } else {
      bytes = LittleEndian(entry.value, width);
    }
    return Update(record, record.VarOffset, bytes, name);
  }

  // An ordered list's elements, little-endian at the question's element width.
  static std::vector<uint8_t> ListBytes(const QuestionRecord& record, const std::vector<uint64_t>& list) {
    size_t width = record.Width ? record.Width : 1;
    std::vector<uint8_t> bytes;
    for (uint64_t element : list) {
      auto b = LittleEndian(element, width);
      bytes.insert(bytes.end(), b.begin(), b.end());
    }
    return bytes;
  }

  bool StoreList(const QuestionRecord& record, const std::vector<uint64_t>& list, const std::wstring& name) {
    return Update(record, record.VarOffset, ListBytes(record, list), name);
  }

  std::wstring UpdateFailed(const std::wstring& name, DefaultStore store) const {
    return WFormat(store == DefaultStore::Std ? L"Warning : Failed to update BIOS defaults for %ls\n"
                                              : L"Warning : Failed to update MFG defaults for %ls\n",
                   name.c_str());
  }

  // Whether the entry's default line for `store` is to be written: it has one, and the store
  // exists (a line for a store the firmware lacks is reported as a failed update).
  bool DefaultLineApplies(const ScriptEntry& entry, const std::wstring& name, DefaultStore store) {
    bool mfg = store == DefaultStore::Mfg;
    if (!(mfg ? entry.flags.HasMfgDefault : entry.flags.HasBiosDefault)) return false;
    if (mfg ? mfgPresent_ : stdPresent_) return true;
    Finding(UpdateFailed(name, store));
    return false;
  }

  void ScalarDefault(const ScriptEntry& entry, const QuestionRecord& record, const std::wstring& name,
                     DefaultStore store) {
    bool mfg = store == DefaultStore::Mfg;
    if (mfg ? held_.mfg : held_.bios) return;
    if (!DefaultLineApplies(entry, name, store)) return;
    uint64_t fromLine = mfg ? entry.mfgDefault : entry.biosDefault;
    const auto& options = record.ValueInfo.Options;
    if (!options.empty() && !IsOption(options, fromLine) && !run_.Given(mfg ? Switch::Dm : Switch::Ds)) {
      // Said not updated, so not written: a default that is not an option is never stored.
      Finding(WFormat(L"WARNING : Value for control (%ls) not updated as the value/defaults specified exceeds the "
                      L"maximum range \n",
                      name.c_str()));
      return;
    }
    uint64_t value = run_.Given(mfg ? Switch::Dm : Switch::Ds) ? entry.value : fromLine;
    WriteDefault(record, name, store, LittleEndian(value, record.Width));
  }

  void WriteDefault(const QuestionRecord& record, const std::wstring& name, DefaultStore store,
                    const std::vector<uint8_t>& bytes) {
    const VarStoreEntry* v = walk_.VarStores().At(record.VarStoreIndex);
    if (!v || !stores_.SetQuestionDefault(store, v->Guid, v->Name, record.VarOffset, bytes))
      Finding(UpdateFailed(name, store));
  }

  void ListDefaults(const ScriptEntry& entry, const QuestionRecord& record, const std::wstring& name,
                    DefaultStore store) {
    bool mfg = store == DefaultStore::Mfg;
    if (mfg ? held_.mfg : held_.bios) return;
    if (!DefaultLineApplies(entry, name, store)) return;
    std::vector<uint64_t> list;
    if (run_.Given(mfg ? Switch::Dm : Switch::Ds)) {
      list.assign(entry.listValues.begin(), entry.listValues.end());
    } else {
      auto decoded = DecodeDefaultList(mfg ? entry.mfgDefaultList : entry.biosDefaultList);
      if (!decoded) {
        Finding(WFormat(L"WARNING : Value for control (%ls) not updated as the value/defaults specified is invalid \n",
                        name.c_str()));
        return;
      }
      if (decoded->size() > record.ValueInfo.Options.size()) {
        Finding(WFormat(mfg ? L"\nWarning : Setup question '%ls' is not imported, as OrderedList MfgDefault count "
                              L"mismatches with Listorder Options in NVRAM\n"
                            : L"\nWarning : Setup question '%ls' is not imported, as OrderedList BiosDefault count "
                              L"mismatches with Listorder Options in NVRAM\n",
                        name.c_str()));
        return;
      }
      if (!IsPermutation(*decoded, record.ValueInfo.Options)) {
        std::wstring error, warning = ListInvalid(name, &error);
        Finding(warning, &error);
        return;
      }
      list = std::move(*decoded);
    }
    WriteDefault(record, name, store, ListBytes(record, list));
  }

  // Duplicates of applied entries, then the entries no question took.
  void PostWalk() {
    std::unordered_map<EntryKey, size_t, EntryKeyHash> applied;
    for (size_t i = 0; i < entries_.size(); ++i) {
      const ScriptEntry& e = entries_[i];
      if (e.Matched) applied.emplace(EntryKey{e.identity, e.token}, i);
    }
    for (ScriptEntry& e : entries_) {
      if (e.Matched) continue;
      auto it = applied.find(EntryKey{e.identity, e.token});
      if (it == applied.end()) continue;
      e.Matched = true;
      if (entries_[it->second].value != e.value)
        Finding(WFormat(L"\nWarning : Duplicate question with different value ,prompt: %s,Token:%x\n",
                        e.identity.c_str(), e.token));
    }
    for (const ScriptEntry& e : entries_) {
      if (e.Matched || LeavesUnchanged(e)) continue;
      Finding(WFormat(L"\nWarning : Unmatched question... prompt: %s,Token:%x", e.identity.c_str(), e.token));
    }
    if (questions_ == 0) Finding(L"WARNING: HII data does not have setup questions information\n");
  }

  // An options block without a "*" asks for no value: the export writes one so when the current
  // value matches none of the question's options. It leaves the question as it is.
  static bool LeavesUnchanged(const ScriptEntry& e) {
    return e.flags.HasOptions && !e.flags.HasCurrent && !e.flags.HasValue;
  }

  static const std::wstring* ptr(const std::wstring& text) { return &text; }

  const SetupContext& setup_;
  bool dryRun_;
  RunState& run_;
  ScriptEntryList& entries_;
  std::vector<Applied> applied_;
  DefaultStores stores_;
  QuestionWalk walk_;
  SpecialControls special_;
  // The older layout matches by prompt and token only, warns and never stops, and has no
  // checksum check and no post-walk passes.
  bool older_;
  bool readChecksum_;
  bool restricted_, quiet_, lang_;
  bool stdPresent_ = false, mfgPresent_ = false;
  std::unordered_map<EntryKey, size_t, EntryKeyHash> candidates_;
  std::vector<std::unique_ptr<std::string>> lowered_;  // the /lang keys' lower-case identities
  size_t questions_ = 0;
  EntryFindingSink sink_;
  std::optional<CommitBatch> batch_;
  size_t current_ = SIZE_MAX;  // the entry whose question is being checked
  Held held_;                  // what of that entry the firmware holds already
};

}  // namespace

Status ParseScriptFile(RunState& run, ScriptEntryList& entries) {
  ParseOptions options;
  options.log = &run.log;
  options.lang = run.Given(Switch::Lang);
  options.quiet = run.Quiet();
  options.systemChecksum = run.options.HiiCrc32;
  options.keepTexts = false;
  ScriptChecksumLine checksum;
  options.checksumLine = &checksum;
  run.options.ScriptChecksum.reset();
  // Room for the entries up front: a question block takes well over 100 bytes of the file, and
  // growing a vector of large entries step by step moves them all again and again.
  struct stat st {};
  if (std::FILE* file = run.options.ScriptFile.get(); file && fstat(fileno(file), &st) == 0 && st.st_size > 0)
    entries.reserve(std::min<size_t>(static_cast<size_t>(st.st_size) / 100, size_t{1} << 22));
  if (ParseScript(run.options.ScriptFile.get(), options, entries) != status::kSuccess) {
    entries.clear();
    return status::kInvalidFile;
  }
  run.options.ScriptChecksum = checksum.value;
  return status::kSuccess;
}

Status ImportScript(const SetupContext& setup, ScriptEntryList& entries) {
  // Under /r an import is all or nothing: a dry run finds any refusal before the first variable
  // of any form set is written. The older layout's import only warns, so it needs no dry run.
  if (setup.run.Given(Switch::R) && setup.database.Format() != HiiFormat::Older) {
    Status checked = Importer(setup, entries, true).Run();
    if (checked != status::kSuccess) return checked;
    for (ScriptEntry& entry : entries) {
      entry.Matched = false;
      entry.appliedVarStore = -1;
    }
  }
  return Importer(setup, entries, false).Run();
}

Status CheckEntries(const SetupContext& setup, ScriptEntryList& entries, const EntryFindingSink& sink) {
  Importer importer(setup, entries, true, false);
  importer.SetFindingSink(sink);
  return importer.Run();
}

Status ImportEntriesOnce(const SetupContext& setup, ScriptEntryList& entries, bool* specialRefused) {
  Importer importer(setup, entries, false, false);
  importer.CommitOnce();
  Status result = importer.Run();
  if (specialRefused) *specialRefused = importer.SpecialRefused();
  return result;
}

Status ImportEntries(const SetupContext& setup, ScriptEntryList& entries, bool* specialRefused) {
  Importer importer(setup, entries, false, false);
  Status result = importer.Run();
  if (specialRefused) *specialRefused = importer.SpecialRefused();
  return result;
}

}  // namespace kes
