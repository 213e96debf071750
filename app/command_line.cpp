#include "app/command_line.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/console.h"
#include "base/interrupt.h"
#include "base/text.h"
#include "app/usage.h"
#include "firmware/platform.h"
#include "firmware/variable_store.h"
#include "raw/raw_mode.h"
#include "script/export.h"

namespace kes {
namespace {

using enum Switch;
using Slot = PasswordSlot;
using PT = PasswordType;

constexpr const wchar_t* kScriptNameMissing = L"ERROR:%X - NVRAM script file name is not given\n";
constexpr const wchar_t* kSystemPasswordMissing = L"ERROR:%X -  System Password is not given...\n";
constexpr const wchar_t* kAdminPasswordMissing = L"ERROR:%X -  New Admin Password is not given...\n";
constexpr const wchar_t* kUserPasswordMissing = L"ERROR:%X -  New User Password is not given...\n";
constexpr const wchar_t* kSystemFileMissing = L"ERROR:%X -  System Password filename is not given...\n";
constexpr const wchar_t* kAdminFileMissing = L"ERROR:%X -  New Admin Password filename is not given...\n";
constexpr const wchar_t* kUserFileMissing = L"ERROR:%X -  New User Password filename is not given...\n";

// In the order of the Switch enumeration.
constexpr SwitchInfo kSwitches[] = {
    {O, ArgKind::CompareOutput, kScriptNameMissing,
     L"Indicates Dump NVRAM data for Variables found in Listing \n\t\t\tFile"},
    {I, ArgKind::None, nullptr, L"Indicates Import modified Variable data found in Listing \n\t\t\tFile to the NVRAM "},
    {S, ArgKind::Word, kScriptNameMissing, L"Indicates advanced script file"},
    {N, ArgKind::Word, L"ERROR:%X - NVRAM raw file name is not given\n", L"Indicates NVRAM Script File"},
    {L, ArgKind::Word, L"ERROR:%X - Listing file name is not given\n", L"Indicates Variable Listing File"},
    {H, ArgKind::Word, L"ERROR:%X - HII dump file name is not given\n", L"Indicates HII data file"},
    {C, ArgKind::None, nullptr,
     L"Optional, Creates Variable Listing File containing \n\t\t\tinformation about all the variables found in NVRAM"},
    {F, ArgKind::None, nullptr,
     L"Imports the NVRAM script file even when the CRC checksum \n\t\t\tof the target BIOS & the script file differs"},
    {V, ArgKind::None, nullptr, L"Indicates verbose mode"},
    {Q, ArgKind::None, nullptr, L"Indicates Quiet mode"},
    {Ds, ArgKind::None, nullptr, L"Indicates BIOS Standard Default Value"},
    {Dm, ArgKind::None, nullptr, L"Indicates BIOS Manufacturing Default Value"},
    {B, ArgKind::None, nullptr, L"Enables export/import of boot order controls"},
    {R, ArgKind::None, nullptr, L"Indicates restriction of migration mode"},
    {Lang, ArgKind::OptionalCode, nullptr, L"Enables mapping language mode"},
    {Sp, ArgKind::None, nullptr, L"Enables Expression Evaluation for Suppressif Opcode"},
    {G, ArgKind::None, nullptr, L"Enables Expression Evaluation for Grayoutif Opcode"},
    {A, ArgKind::None, nullptr, L"Enables Setup Question having Empty or Blank names to be \n\t\t\texported"},
    {D, ArgKind::None, nullptr, L"Skip checking for TessarV BIOS and behave normally"},
    {Ndef, ArgKind::None, nullptr, L"Export only those Questions whose Value is different \n\t\t\tfrom the Default"},
    {Sd, ArgKind::Word, L"ERROR:%X - Duplicate script file name is not given\n", L"Export duplicate questions in new file "},
    {P, ArgKind::Word, L"ERROR:%X - PLDM file name is not given\n", L"Indicates PLDM File"},
    {Ms, ArgKind::Value, L"ERROR:%X - MapString value is not given\n", L"Indicates Map String of the Setup Question"},
    {Ov, ArgKind::None, nullptr, L"Print Question Value in console"},
    {Qv, ArgKind::Value, L"ERROR:%X - Question value is not given\n",
     L"Indicates Question Value to be set for the Setup Question"},
    {Bt, ArgKind::Value, L"ERROR:%X - Device type is not given\n", L"Indicates the device type for legacy boot device"},
    {Ce, ArgKind::None, nullptr, L"Comment out suppress and gray out controls in script file"},
    {Ni, ArgKind::None, nullptr,
     L"To create Utility Indication variable to indicate  \n\t\t\tvariable modification by Kestrel"},
    {Shutdown, ArgKind::None, nullptr, L"Shutdown after programming."},
    {Reboot, ArgKind::None, nullptr, L"Reboot after programming."},
    {VarName, ArgKind::Value, L"ERROR:%X - Variable name is not given\n", L"Name of the NVRAM variable to update/create"},
    {VarGuid, ArgKind::Value, L"ERROR:%X - Variable GUID is not given\n", L"GUID of the NVRAM variable to update/create"},
    {VarValue, ArgKind::Value, L"ERROR:%X - Variable value is not given\n", L"Data of the NVRAM variable"},
    {VarFile, ArgKind::Value, L"ERROR:%X - Variable data file name is not given\n",
     L"File containg Data of the NVRAM variable"},
    {Cs, ArgKind::Value, kScriptNameMissing, L"Switch used to specify the script file for comparison"},
    {Log, ArgKind::None, nullptr, L"Directs debugInfo to screen"},
    {LogFile, ArgKind::Word, L"ERROR:%X - Logfile name is not given\n", L"Directs debugInfo to specific file"},
    {LogLvl, ArgKind::Word, L"ERROR:%X - Debug Level is not given\n",
     L"Enables specific output(Allowed Levels 1,2,4 and 8)"},
    {Hb, ArgKind::None, nullptr, L"Hides tool information banner"},
    {Cpwd, ArgKind::Word, kSystemPasswordMissing,
     L"To validate the admin password and unlock the protected \n\t\t\tvariables update", Slot::CurrentAdmin, PT::Plain},
    {Apwd, ArgKind::Word, kAdminPasswordMissing, L"To set new admin password", Slot::NewAdmin, PT::Plain},
    {Upwd, ArgKind::Word, kUserPasswordMissing, L"To set new user Password ", Slot::NewUser, PT::Plain},
    {Cpwds, ArgKind::KeyUnits, kSystemPasswordMissing,
     L"To validate the admin password of type Scan Code and \n\t\t\tunlock the protected variables update",
     Slot::CurrentAdmin, PT::ScanCode},
    {Cpwde, ArgKind::KeyUnits, kSystemPasswordMissing,
     L"To validate the admin password of type EFI Key and \n\t\t\tunlock the protected variables update",
     Slot::CurrentAdmin, PT::EfiKey},
    {Apwds, ArgKind::KeyUnits, kAdminPasswordMissing, L"To set new admin password of type Scan Code", Slot::NewAdmin,
     PT::ScanCode},
    {Apwde, ArgKind::KeyUnits, kAdminPasswordMissing, L"To set new admin password of type EFI Key", Slot::NewAdmin,
     PT::EfiKey},
    {Upwds, ArgKind::KeyUnits, kUserPasswordMissing, L"To set new user Password of type Scan Code", Slot::NewUser,
     PT::ScanCode},
    {Upwde, ArgKind::KeyUnits, kUserPasswordMissing, L"To set new user Password of type EFI Key", Slot::NewUser,
     PT::EfiKey},
    {Cpwdf, ArgKind::Word, kSystemFileMissing,
     L"To validate the admin password mentioned in file and \n\t\t\tunlock the protected variables update",
     Slot::CurrentAdmin, PT::Plain, true},
    {Cpwdsf, ArgKind::Word, kSystemFileMissing,
     L"To validate the admin password of type Scan Code  \n\t\t\tmentioned in file and unlock the protected variables update",
     Slot::CurrentAdmin, PT::ScanCode, true},
    {Cpwdef, ArgKind::Word, kSystemFileMissing,
     L"To validate the admin password of type EFI Key mentioned \n\t\t\tin file and unlock the protected variables update",
     Slot::CurrentAdmin, PT::EfiKey, true},
    {Apwdf, ArgKind::Word, kAdminFileMissing, L"To set new admin password mentioned in file", Slot::NewAdmin, PT::Plain,
     true},
    {Apwdsf, ArgKind::Word, kAdminFileMissing, L"To set new admin password of type Scan Code mentioned \n\t\t\t in file",
     Slot::NewAdmin, PT::ScanCode, true},
    {Apwdef, ArgKind::Word, kAdminFileMissing, L"To set new admin password of type EFI Key mentioned \n\t\t\tin file",
     Slot::NewAdmin, PT::EfiKey, true},
    {Upwdf, ArgKind::Word, kUserFileMissing, L"To set new user Password mentioned in file", Slot::NewUser, PT::Plain,
     true},
    {Upwdsf, ArgKind::Word, kUserFileMissing, L"To set new user Password of type Scan Code mentioned \n\t\t\tin file",
     Slot::NewUser, PT::ScanCode, true},
    {Upwdef, ArgKind::Word, kUserFileMissing, L"To set new user Password of type EFI Key mentioned \n\t\t\tin file",
     Slot::NewUser, PT::EfiKey, true},
};
static_assert(std::size(kSwitches) == kSwitchCount, "one row per switch");

constexpr bool TableInEnumOrder() {
  for (size_t i = 0; i < kSwitchCount; ++i)
    if (static_cast<size_t>(kSwitches[i].id) != i) return false;
  return true;
}
static_assert(TableInEnumOrder(), "rows in the order of the Switch enumeration");

// Per password slot: the message for an unreadable or empty password file.
const wchar_t* InvalidPasswordFileMessage(Slot slot) {
  switch (slot) {
    case Slot::CurrentAdmin: return L"ERROR:%X -  Invalid Input file or System Password is not given...\n";
    case Slot::NewAdmin: return L"ERROR:%X - Invalid Input file or New Admin Password is not given...\n";
    default: return L"ERROR:%X - Invalid Input file or New User Password is not given...\n";
  }
}

PasswordInput& SlotInput(RunState& run, Slot slot) {
  switch (slot) {
    case Slot::CurrentAdmin: return run.currentAdmin;
    case Slot::NewAdmin: return run.newAdmin;
    default: return run.newUser;
  }
}

// Prints a rejection (status 87 as its %X, then the extra arguments) and returns 87.
template <typename... Args>
Status Reject(const wchar_t* fmt, Args... args) {
  Print(Stream::Err, fmt, status::kInvalidParameter, args...);
  return status::kInvalidParameter;
}

const SwitchInfo* FindSwitch(std::wstring_view word) {
  for (const SwitchInfo& info : kSwitches)
    if (CompareNoCaseWide(word, SwitchName(info.id)) == 0) return &info;
  return nullptr;
}


// A whole word read as a hexadecimal number, with an optional "0x" prefix. Anything else
// (no digits, a stray character, more than 64 bits) is not a number.
std::optional<uint64_t> ParseHexWord(std::wstring_view word) {
  if (word.size() >= 2 && word[0] == L'0' && (word[1] == L'x' || word[1] == L'X')) word.remove_prefix(2);
  if (word.empty() || word.size() > 16) return std::nullopt;
  uint64_t value = 0;
  for (wchar_t c : word) {
    int digit;
    if (c >= L'0' && c <= L'9') digit = c - L'0';
    else if (c >= L'a' && c <= L'f') digit = c - L'a' + 10;
    else if (c >= L'A' && c <= L'F') digit = c - L'A' + 10;
    else return std::nullopt;
    value = (value << 4) | static_cast<uint64_t>(digit);
  }
  return value;
}

// Text that goes to the firmware as UTF-16 one character per unit must hold nothing that unit
// cannot carry: a character above U+FFFF would be cut to its low 16 bits, and a byte that is not
// valid UTF-8 (kept as U+DC80..U+DCFF) or a surrogate would become a unit nobody typed.
bool FitsSixteenBitUnits(std::wstring_view text) {
  for (wchar_t c : text)
    if (static_cast<uint32_t>(c) > 0xFFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  return true;
}

// UTF-16 units read from a file: surrogates are fine in pairs only.
bool SurrogatesPaired(std::wstring_view units) {
  for (size_t i = 0; i < units.size(); ++i) {
    if (units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      ++i;
    } else if (units[i] >= 0xD800 && units[i] <= 0xDFFF) {
      return false;
    }
  }
  return true;
}

Status RejectText(Switch s) {
  return Reject(L"ERROR:%X -  '%ls' text holds a byte sequence that is not valid UTF-8 or a character above "
                L"U+FFFF.\n",
                SwitchName(s));
}

uint16_t KeyUnit(uint64_t value, PT type) {
  uint16_t unit = static_cast<uint16_t>(value & 0xFFFF);
  return type == PT::EfiKey ? static_cast<uint16_t>(unit ^ 0x8000) : unit;
}

// A password goes to the firmware as one variable of at most two bytes per byte of its file; a
// larger file, or a device that never ends, holds no password and is not read beyond this.
constexpr size_t kMaxPasswordFileBytes = (kMaxVariableFileBytes - 4) / 2;

// Reads a password file into the slot. Plain files hold UTF-16LE text; key-unit files hold one
// unit per byte.
Status ReadPasswordFile(RunState& run, const SwitchInfo& info, const std::wstring& fileName) {
  std::optional<std::vector<uint8_t>> bytes = ReadWholeFile(ToNarrow(fileName), kMaxPasswordFileBytes + 1);
  if (!bytes || bytes->empty() || bytes->size() > kMaxPasswordFileBytes)
    return Reject(InvalidPasswordFileMessage(info.slot));
  PasswordInput& input = SlotInput(run, info.slot);
  try {
    if (info.passwordType == PT::Plain) {
      bytes->push_back(0);
      bytes->push_back(0);
      input.Text = Utf16BytesToWide(*bytes, true);
      if (!SurrogatesPaired(input.Text)) {
        std::fill(input.Text.begin(), input.Text.end(), L'\0');
        input = PasswordInput{};
        return Reject(L"ERROR:%X -  '%ls' file holds an unpaired UTF-16 surrogate.\n", SwitchName(info.id));
      }
      input.Length = static_cast<uint32_t>(input.Text.size() + 1);
    } else {
      input.Units.reserve(bytes->size());
      for (uint8_t b : *bytes) input.Units.push_back(KeyUnit(b, info.passwordType));
      input.Length = static_cast<uint32_t>(input.Units.size());
    }
  } catch (const std::bad_alloc&) {
    input = PasswordInput{};
    Err(L"ERROR: Memory Allocation Failure.\n");
    return status::kOutOfMemory;
  }
  input.Type = info.passwordType;
  return status::kSuccess;
}

// The scan of the argument words. Fills the state and stops at the first error; a repeated
// switch only stops the scan: it is reported after the platform check.
class Scanner {
 public:
  Scanner(const std::vector<std::wstring>& words, RunState& run) : words_(words), run_(run), options_(run.options) {}

  Status Scan() {
    while (next_ < words_.size()) {
      const std::wstring& word = words_[next_];
      const SwitchInfo* info = FindSwitch(word);
      // /ov is only taken right after the map string of /ms.
      if (!info || info->id == Ov) return Reject(L"ERROR:%X -  Unknown CMD Line Option %ls specified\n", word.c_str());
      if (IsRepeat(*info)) {
        repeated = word;
        return status::kSuccess;
      }
      MarkSeen(*info);
      ++next_;
      Status st = Apply(*info);
      if (st != status::kSuccess) return st;
    }
    return status::kSuccess;
  }

  std::optional<std::wstring> repeated;  // the word at which the scan stopped

 private:
  bool IsRepeat(const SwitchInfo& info) const {
    if (info.slot != Slot::None) return slotSeen_[static_cast<size_t>(info.slot)];
    if (info.id == Cs) return compareCount_ >= 2;
    return seen_.test(static_cast<size_t>(info.id));
  }

  void MarkSeen(const SwitchInfo& info) {
    if (info.slot != Slot::None) slotSeen_[static_cast<size_t>(info.slot)] = true;
    seen_.set(static_cast<size_t>(info.id));
  }

  bool NextWord(std::wstring& out) {
    if (next_ >= words_.size()) return false;
    out = words_[next_++];
    return true;
  }

  // The next word if there is one and it is not a switch.
  bool NextValue(std::wstring& out) {
    if (next_ >= words_.size() || IsToolSwitch(words_[next_])) return false;
    out = words_[next_++];
    return true;
  }

  Status Apply(const SwitchInfo& info) {
    RunState& run = run_;
    SwitchSet& flags = run.switches;
    std::wstring arg;
    switch (info.arg) {
      case ArgKind::Word:
        if (info.id == S && (flags.Has(N) || flags.Has(L)))
          return Reject(L"ERROR:%X -  '/s' cannot be combined with '/l' or '/n' switch.\n");
        if (info.id == N && flags.Has(S)) return Reject(L"ERROR:%X -  '/n' cannot be combined with '/s' switch.\n");
        if (info.id == L && flags.Has(S)) return Reject(L"ERROR:%X -  '/l' cannot be combined with '/s' switch.\n");
        if (!NextWord(arg)) return Reject(info.missing);
        break;
      case ArgKind::Value:
        if (!NextValue(arg)) return Reject(info.missing);
        break;
      case ArgKind::CompareOutput:
        if (compareCount_ > 0 && !NextValue(arg)) return Reject(info.missing);
        break;
      case ArgKind::OptionalCode:
        if (NextValue(arg)) run.langCode = arg;
        break;
      case ArgKind::KeyUnits:
        return ApplyKeyUnits(info);
      case ArgKind::None:
        break;
    }
    if (info.slot != Slot::None) return ApplyPassword(info, arg);

    ToolOptions& o = options_;
    switch (info.id) {
      case O:
        if (compareCount_ > 0) run.compareOutput = arg;
        break;
      case S: o.ScriptFileName = arg; break;
      case N: o.RawFileName = arg; break;
      case L: o.ListingFileName = arg; break;
      case H:
        o.HiiFileName = arg;
        o.HiiDumpWanted = true;
        break;
      case F: o.Force = true; break;
      case V: o.Verbose = true; break;
      case Sp: o.EvaluateSuppressIf = true; break;
      case G: o.EvaluateGrayOutIf = true; break;
      case Ce: o.CommentOut = true; break;
      case Ni: o.UtilityIndication = true; break;
      case Sd: o.DuplicateFileName = arg; break;
      case P: o.PldmFileName = arg; break;
      case Ms:
        o.MapString = arg;
        if (next_ < words_.size() && CompareNoCaseWide(words_[next_], SwitchName(Ov)) == 0) {
          ++next_;
          flags.Set(Ov);
          o.PrintValue = true;
        }
        break;
      case Qv: o.QuestionValue = ToNarrow(arg); break;
      case Bt: o.BootDeviceType = arg; break;
      case VarName: o.VariableName = arg; break;
      case VarGuid: o.VariableGuid = arg; break;
      case VarValue:
        if (!FitsSixteenBitUnits(arg)) return RejectText(VarValue);
        o.VariableValue = arg;
        break;
      case VarFile: o.VariableFile = arg; break;
      // Only one of /shutdown and /reboot takes effect: the one given first.
      case Shutdown:
        if (flags.Has(Reboot)) return status::kSuccess;
        break;
      case Reboot:
        if (flags.Has(Shutdown)) return status::kSuccess;
        break;
      case Cs:
        if (++compareCount_ == 1) {
          run.compareFileA = arg;
        } else {
          run.compareFileB = arg;
          run.singleFileCompare = false;
        }
        break;
      case Log: run.log.ToScreen = true; break;
      case LogFile:
        run.log.ToFile = true;
        run.log.FileName = ToNarrow(arg);
        break;
      case LogLvl: {
        std::optional<uint64_t> level = ParseHexWord(arg);
        if (!level || (*level != 1 && *level != 2 && *level != 4 && *level != 8))
          return Reject(L"ERROR:%X - Debug Level is invalid\n");
        run.log.LevelGiven = true;
        run.log.Level = static_cast<uint32_t>(*level);
        break;
      }
      default:
        break;
    }
    flags.Set(info.id);
    return status::kSuccess;
  }

  Status ApplyPassword(const SwitchInfo& info, const std::wstring& arg) {
    if (info.passwordFile) {
      Status st = ReadPasswordFile(run_, info, arg);
      if (st != status::kSuccess) return st;
    } else {
      if (!FitsSixteenBitUnits(arg)) return RejectText(info.id);
      PasswordInput& input = SlotInput(run_, info.slot);
      input.Type = PT::Plain;
      input.Text = arg;
      input.Length = static_cast<uint32_t>(arg.size() + 1);
    }
    run_.switches.Set(info.id);
    return status::kSuccess;
  }

  Status ApplyKeyUnits(const SwitchInfo& info) {
    std::vector<uint16_t> units;
    while (next_ < words_.size() && !(words_[next_].size() > 0 && words_[next_][0] == L'/')) {
      const std::wstring& word = words_[next_];
      std::optional<uint64_t> value = ParseHexWord(word);
      // A word that is no hexadecimal number would silently become a different password.
      if (!value) return Reject(L"ERROR:%X -  Unknown CMD Line Option %ls specified\n", word.c_str());
      units.push_back(KeyUnit(*value, info.passwordType));
      ++next_;
    }
    if (units.empty()) return Reject(info.missing);
    PasswordInput& input = SlotInput(run_, info.slot);
    input.Type = info.passwordType;
    input.Length = static_cast<uint32_t>(units.size());
    input.Units = std::move(units);
    run_.switches.Set(info.id);
    return status::kSuccess;
  }

  const std::vector<std::wstring>& words_;
  RunState& run_;
  ToolOptions& options_;
  size_t next_ = 0;
  std::bitset<kSwitchCount> seen_;
  std::array<bool, 4> slotSeen_{};
  int compareCount_ = 0;
};

// A file the run only reads.
bool OpenInput(OutputFile& into, const std::wstring& name, const char* mode) {
  into.reset(OpenStreamForReading(ToNarrow(name).c_str(), mode));
  return static_cast<bool>(into);
}

// A file the run writes: the user's file is only replaced when the run succeeds.
bool OpenOutput(OutputFile& into, const std::wstring& name) { return into.Open(ToNarrow(name)); }

// Two files of one run that are the same file, at least one of them written, would corrupt each
// other (or the output would destroy an input before it is read): such a command line is refused
// before any file is opened.
Status RefuseSharedFiles(const RunState& run) {
  struct NamedFile {
    Switch id;
    std::string name;
    bool written;
  };
  const ToolOptions& o = run.options;
  bool exporting = run.Given(O);
  std::vector<NamedFile> files;
  auto add = [&](Switch id, const std::wstring& name, bool written) {
    if (run.Given(id) && !name.empty()) files.push_back({id, ToNarrow(name), written});
  };
  add(S, o.ScriptFileName, exporting);
  add(Sd, o.DuplicateFileName, exporting);
  add(L, o.ListingFileName, run.Given(C));
  add(N, o.RawFileName, exporting);
  add(H, o.HiiFileName, true);
  add(P, o.PldmFileName, exporting);
  add(VarFile, o.VariableFile, false);
  add(Cs, run.compareFileA, false);
  add(Cs, run.compareFileB, false);
  if (run.Given(Cs)) add(O, run.compareOutput, true);
  if (run.log.ToFile && !run.log.FileName.empty()) files.push_back({LogFile, run.log.FileName, true});
  for (size_t i = 0; i < files.size(); ++i)
    for (size_t j = i + 1; j < files.size(); ++j)
      if ((files[i].written || files[j].written) && SameFile(files[i].name, files[j].name))
        return Reject(L"ERROR:%X -  '%ls' and '%ls' name the same file.\n", SwitchName(files[i].id),
                      SwitchName(files[j].id));
  return status::kSuccess;
}

// Raw mode: its own combination rules, then the listing and raw files are opened.
Status ValidateRawMode(RunState& run, FirmwareAccess& fw, ToolOptions& o) {
  if (run.Given(Ms)) return Reject(L"ERROR:%X -  '/ms' option cannot be combined with raw('/n') mode.\n");
  if (run.Given(P)) return Reject(L"ERROR:%X -  '/p' option cannot be combined with raw('/n') mode.\n");
  if (run.Given(V)) return Reject(L"ERROR:%X -  '/v' option cannot be combined with raw('/n') mode.\n");
  if (run.Given(Sd)) return Reject(L"ERROR:%X -  '/sd' option cannot be combined with raw('/n') mode.\n");
  if (run.Given(O) && (!run.Given(H) || !run.Given(N)))
    return Reject(L"ERROR:%X -  Exporting NVRAM Variables requires both '/h' and '/n' options.\n");
  if (run.Given(O) && run.Given(F)) return Reject(L"ERROR:%X -  '/f' option cannot come while exporting.\n");
  if (run.Given(I) && !run.Given(N)) return Reject(L"ERROR:%X -  Importing NVRAM Variables requires '/n' option.\n");
  if (run.Given(I) && run.Given(C)) return Reject(L"ERROR:%X -  '/c' option cannot be specified while importing.\n");
  if (run.Given(I) && run.Given(H)) return Reject(L"ERROR:%X -  '/h' option cannot be specified while importing.\n");
  if (run.Given(R)) return Reject(L"ERROR:%X -  '/r' option cannot be specified in Raw Mode.\n");
  if (Status st = RefuseSharedFiles(run); st != status::kSuccess) return st;

  // The listing is written (to be read back by the export) only with /c, the raw file only on
  // export; both replace the user's files only once the run has succeeded.
  if (o.ListingFileName.empty()) return Reject(L"ERROR:%X - ListingFile Not Specified\n");
  bool listingOpen = run.Given(C) ? OpenOutput(o.ListingFile, o.ListingFileName)
                                  : OpenInput(o.ListingFile, o.ListingFileName, "rb");
  if (!listingOpen) return Reject(L"ERROR:%X -  Opening Variable Listing File\n");
  if (o.RawFileName.empty()) return Reject(L"ERROR:%X - NVRAM Script File Not Specified\n");
  bool rawOpen = run.Given(O) ? OpenOutput(o.ScriptFile, o.RawFileName) : OpenInput(o.ScriptFile, o.RawFileName, "rb");
  if (!rawOpen) return Reject(L"ERROR:%X -  Opening NVRAM Script File\n");
  if (run.Given(C)) {
    Status st = CreateVariableListing(fw, o.ListingFile.get());
    if (st != status::kSuccess && st != status::kEndOfEnumeration) return st;
  }
  return status::kSuccess;
}

// Default script mode: the script file (and the duplicate file) are opened; an export starts
// them with the header lines.
Status ValidateScriptMode(const RunState& run, ToolOptions& o) {
  if (!run.Given(S) || o.ScriptFileName.empty()) return Reject(L"ERROR:%X - NVRAM Script File Not Specified\n");
  if (run.Given(C) || run.Given(F)) return Reject(L"ERROR:%X -  '/c' or '/f' cannot be combined with '/s' switch.\n");
  if (run.Given(I) && (run.Given(H) || run.Given(V)))
    return Reject(L"ERROR:%X -  '/h' or '/v' option cannot be specified while importing.\n");
  if (Status st = RefuseSharedFiles(run); st != status::kSuccess) return st;
  // An export writes the script files for the driver to commit; an import only reads.
  auto open = [&](OutputFile& file, const std::wstring& name) {
    return o.Export ? OpenOutput(file, name) : OpenInput(file, name, "r");
  };
  if (!open(o.ScriptFile, o.ScriptFileName)) return Reject(L"ERROR:%X -  Opening NVRAM Script File\n");
  if (o.Export) WriteScriptHeader(o.ScriptFile.get(), o.ScriptFileName);
  if (run.Given(Sd)) {
    if (o.DuplicateFileName.empty()) return Reject(L"ERROR:%X - Duplicate NVRAM Script File Not Specified\n");
    if (!open(o.DuplicateFile, o.DuplicateFileName))
      return Reject(L"ERROR:%X -  Opening Duplicate NVRAM Script File\n");
    if (o.Export) WriteScriptHeader(o.DuplicateFile.get(), o.DuplicateFileName);
  }
  return status::kSuccess;
}

Status ValidatePasswordUsage(const RunState& run) {
  if (!AnyPasswordGiven(run)) return status::kSuccess;
  bool current = run.currentAdmin.Given();
  bool fresh = NewPasswordGiven(run);
  if ((fresh && !current) || (current && !fresh && !run.Given(I)) || (fresh && !PasswordOnlyUsageOk(run)))
    return Reject(L"ERROR:%X -  Incorrect usage of Password option\n");
  return status::kSuccess;
}

// /p needs a name; /h opens the HII dump file.
Status OpenPldmAndHiiFiles(const RunState& run, ToolOptions& o) {
  if (run.Given(P) && o.PldmFileName.empty()) return Reject(L"ERROR:%X - PLDM Table File Name Not Specified\n");
  if (run.Given(H)) {
    if (o.HiiFileName.empty()) return Reject(L"ERROR:%X - HII File Not Specified\n");
    if (!OpenOutput(o.HiiFile, o.HiiFileName)) return Reject(L"ERROR:%X -  Opening HII File\n");
  }
  return status::kSuccess;
}

// The combination rules, in order; the first that fails decides.
Status Validate(RunState& run, FirmwareAccess& fw, size_t wordCount, const std::optional<std::wstring>& repeated) {
  ToolOptions& o = run.options;
  SwitchSet& flags = run.switches;
  if (run.Given(Ms) && !run.Given(Lang)) flags.Set(Lang);  // map strings always use language mapping
  if (!ValidatePlatform(run, fw)) return status::kPlatformUnsupported;
  if (wordCount == 0) return status::kNoArguments;
  if (repeated) return Reject(L"ERROR:%X -  Multiple occurrences of same switch %ls.\n", repeated->c_str());
  if (run.Given(Cs) && !ScriptCompareUsageOk(run)) return Reject(L"ERROR:%X - Incorrect usage of Script Compare\n");
  if (run.Given(O) && run.Given(I)) return Reject(L"ERROR:%X -  Invalid CMD Line option. Both '/o' and '/i' specified.\n");
  if (!run.Given(O) && !run.Given(I) && !AnyPasswordGiven(run))
    return Reject(L"ERROR:%X -  Invalid CMD Line option. Commands should have '/o' or '/i'.\n");
  if (!run.Given(I) && AnyVariableSwitch(run))
    return Reject(L"ERROR:%X -  Invalid CMD Line option. '/varname' or '/varguid' or '/varfile or '/varvalue' "
                  L"cannot be given without '/i'.\n");
  if (!run.Given(I) && run.Given(Shutdown))
    return Reject(L"ERROR:%X -  Invalid CMD Line option. '/shutdown' cannot be given without '/i'.\n");
  if (!run.Given(I) && run.Given(Reboot))
    return Reject(L"ERROR:%X -  Invalid CMD Line option. '/reboot' cannot be given without '/i'.\n");
  if (!run.Given(I) && run.Given(Ni)) return Reject(L"ERROR:%X -  Invalid CMD Line option. '/ni' cannot be given without '/i'.\n");
  if (run.Given(O) && !run.Given(Ms) && run.switches.Any({Ds, Dm}))
    return Reject(L"ERROR:%X -  Invalid CMD Line option. '/ds' or '/dm' cannot be given without '/ms' while "
                  L"exporting.\n");
  if (run.Given(N) && run.switches.Any({Ds, Dm}))
    return Reject(L"ERROR:%X -  Invalid CMD Line option. '/ds' or '/dm' cannot be combined with '/n'.\n");
  if (run.Given(O)) {
    if (run.Given(S) && IsToolSwitch(o.ScriptFileName))
      return Reject(L"ERROR:%X -  Invalid CMD Line option. '%ls' cannot be given as script file name..\n",
                    o.ScriptFileName.c_str());
    if (run.Given(L) && IsToolSwitch(o.ListingFileName))
      return Reject(L"ERROR:%X - Invalid CMD Line option. '%ls' cannot be given as Listing file name..\n",
                    o.ListingFileName.c_str());
    if (run.Given(H) && IsToolSwitch(o.HiiFileName))
      return Reject(L"ERROR:%X - Invalid CMD Line option. '%ls' cannot be given as Dump file name..\n",
                    o.HiiFileName.c_str());
    if (run.Given(Sd) && IsToolSwitch(o.DuplicateFileName))
      return Reject(L"ERROR:%X - Invalid CMD Line option. '%ls' cannot be given as Duplicate Script file name..\n",
                    o.DuplicateFileName.c_str());
  }
  if ((run.Given(O) || run.Given(I)) && run.Given(P) && IsToolSwitch(o.PldmFileName))
    return Reject(L"ERROR:%X - Invalid CMD Line option. '%ls' cannot be given as Pldm File Name.\n",
                  o.PldmFileName.c_str());
  if (run.Given(B) && !run.Given(S) && !run.Given(P))
    return Reject(L"ERROR:%X - Invalid CMD Line option. '/b' cannot be given without '/s' or '/p'..\n");
  if (run.Given(O) && run.Given(R)) return Reject(L"ERROR:%X - Invalid CMD Line option. '/r' option cannot come while exporting..\n");
  if (run.switches.Any({Sp, G, Ndef, A}) && !run.Given(S) && !run.Given(P))
    return Reject(L"ERROR:%X - Invalid CMD Line option. '/g' or '/sp' or '/ndef' or '/a' cannot be given without "
                  L"'/s' or without '/p'..\n");
  if (run.Given(Lang) && !run.Given(S) && !run.Given(Ms) && !run.Given(P))
    return Reject(L"ERROR:%X - Invalid CMD Line option. '/lang' cannot be given without '/s' or '/ms' or '/p'..\n");
  if (run.Given(Bt)) {
    if (run.Given(O)) return Reject(L"ERROR:%X - Invalid CMD Line option. '/bt' cannot be combined with '/o'..\n");
    if (!run.Given(Ms)) return Reject(L"ERROR:%X - Invalid CMD Line option. '/bt' cannot be given without '/ms'..\n");
  } else {
    if (run.Given(I) && run.switches.Any({Sp, G, Ndef, A, Sd, Ce}))
      return Reject(L"ERROR:%X -  Invalid CMD Line option. '/sp' or '/g' or '/ndef' or '/a' or '/sd' or '/ce' "
                    L"cannot be combined with '/i'.\n");
    if (run.Given(O) && AnyPasswordGiven(run))
      return Reject(L"ERROR:%X -  Invalid CMD Line option. '/cpwd','/apwd','/upwd' cannot be combined with "
                    L"'/o'.\n");
    if (run.Given(I) && NewPasswordGiven(run))
      return Reject(L"ERROR:%X -  Invalid CMD Line option. '/upwd','/apwd' cannot be combined with '/i'.\n");
    if (run.Given(O) && run.Given(Qv))
      return Reject(L"ERROR:%X -  Invalid CMD Line option. '/qv' cannot be combined with '/o'.\n");
    if (run.Given(Ce) && !run.Given(Sp) && !run.Given(G))
      return Reject(L"ERROR:%X -  Invalid CMD Line option. '/ce' cannot be given without '/sp' or '/g' or "
                    L"both.\n");
    if (run.Given(I) && run.Given(Ov))
      return Reject(L"ERROR:%X -  Invalid CMD Line option. '/ov' cannot be combined with '/i'.\n");
  }

  o.RawMode = (run.Given(N) || run.Given(L)) && !run.Given(S);
  o.Export = run.Given(O) && run.switches.Any({S, N, P, Ms});
  o.Import = run.Given(I);

  if (run.Given(L) && run.Given(S)) return Reject(L"ERROR:%X -  Invalid CMD Line option. Both '/l' and '/s' specified.\n");
  if (run.Given(P) && run.Given(S)) return Reject(L"ERROR:%X -  '/p' option cannot be combined with default('/s') mode.\n");

  if (o.RawMode) {
    Status st = ValidateRawMode(run, fw, o);
    if (st != status::kSuccess) return st;
    return OpenPldmAndHiiFiles(run, o);
  }
  if (run.switches.Any({Ms, Qv})) {
    if (!SingleQuestionUsageOk(run) || run.Given(C)) {
      if (run.Given(O)) return Reject(L"ERROR:%X - Incorrect usage of Single Question Export\n");
      if (run.Given(I)) return Reject(L"ERROR:%X - Incorrect usage of Single Question Update\n");
      return status::kInvalidParameter;
    }
    if (Status st = RefuseSharedFiles(run); st != status::kSuccess) return st;
    return OpenPldmAndHiiFiles(run, o);
  }
  if (run.Given(P) && (!PldmUsageOk(run) || run.Given(C))) {
    if (run.Given(O)) return Reject(L"ERROR:%X - Incorrect usage of Pldm Export\n");
    if (run.Given(I) && (!PldmUsageOk(run) || run.switches.Any({Sp, G, Ndef}))) return Reject(L"ERROR:%X - Incorrect usage of Pldm Import\n");
    return status::kInvalidParameter;
  }
  if (AnyVariableSwitch(run)) {
    if (run.Given(VarValue) && run.Given(VarFile))
      return Reject(L"ERROR:%X -  '/varvalue' option cannot be specified with '/varfile'.\n");
    if (!SingleVariableUsageOk(run)) {
      if (run.Given(I)) return Reject(L"ERROR:%X -  Incorrect usage of Single Variable Import\n");
      return status::kInvalidParameter;
    }
    return RefuseSharedFiles(run);
  }
  if (!NewPasswordGiven(run) && !run.Given(P) && !run.Given(Cs)) {
    Status st = ValidateScriptMode(run, o);
    if (st != status::kSuccess) return st;
  } else {
    Status st = ValidatePasswordUsage(run);
    if (st != status::kSuccess) return st;
    st = RefuseSharedFiles(run);
    if (st != status::kSuccess) return st;
  }
  return OpenPldmAndHiiFiles(run, o);
}

bool NoneOf(const RunState& run, std::initializer_list<Switch> list) { return !run.switches.Any(list); }

}  // namespace

const SwitchInfo& SwitchTable(Switch s) { return kSwitches[static_cast<size_t>(s) % kSwitchCount]; }

bool IsToolSwitch(std::wstring_view word) { return FindSwitch(word) != nullptr; }

bool AnyPasswordGiven(const RunState& run) { return run.currentAdmin.Given() || NewPasswordGiven(run); }
bool NewPasswordGiven(const RunState& run) { return run.newAdmin.Given() || run.newUser.Given(); }
bool AnyVariableSwitch(const RunState& run) { return run.switches.Any({VarName, VarGuid, VarValue, VarFile}); }

bool SingleQuestionUsageOk(const RunState& run) {
  if (!run.Given(Ms) || (run.Given(I) && !run.Given(Qv))) return false;
  return !NewPasswordGiven(run) && NoneOf(run, {Sd, F, H, V, N, S, L, R, P, Sp, G, A, B, Ndef, Ce, VarName, VarGuid,
                                        VarValue, VarFile});
}

bool PldmUsageOk(const RunState& run) {
  return !NewPasswordGiven(run) &&
         NoneOf(run, {Qv, Ms, Ov, Sd, F, H, V, N, S, L, R, A, Ce, Ds, Dm, VarName, VarGuid, VarValue, VarFile});
}

bool SingleVariableUsageOk(const RunState& run) {
  if (!run.Given(VarName) || !run.Given(VarGuid) || !run.switches.Any({VarValue, VarFile})) return false;
  return !NewPasswordGiven(run) &&
         NoneOf(run, {Qv, Ms, Sd, F, H, V, N, S, L, R, A, Ce, P, Bt, Sp, G, Ndef, Ds, Dm, Lang});
}

bool ScriptCompareUsageOk(const RunState& run) {
  if (!run.Given(O)) return false;
  return !AnyPasswordGiven(run) && NoneOf(run, {Qv, Ms, F, Sd, P, G, Sp, B, Ndef, H, V, N, S, L, R, A, Ce, Ds, Dm, VarName,
                                        VarGuid, VarValue, VarFile, Bt, Ni, Lang, Reboot, Shutdown});
}

bool PasswordOnlyUsageOk(const RunState& run) {
  return NoneOf(run, {Qv, Ms, F, Sd, P, G, Sp, B, Ndef, H, V, N, S, L, R, A, Ce, Ds, Dm, VarName, VarGuid, VarValue,
                 VarFile, Bt, Ni, Q, Lang, Reboot, Shutdown});
}

Status PreScanBanner(int argc, char** argv) {
  int count = 0;
  std::wstring second;
  for (int i = 1; i < argc; ++i) {
    std::wstring word = ToWide(argv[i] ? argv[i] : "");
    if (CompareNoCaseWide(word, SwitchName(Hb)) != 0) continue;
    if (++count == 2) second = word;
  }
  if (count == 1) return status::kSuccess;
  ShowBanner();
  if (count >= 2) return Reject(L"ERROR:%X -  Multiple occurances of same switch %ls.\n", second.c_str());
  return status::kSuccess;
}

Status ParseCommandLine(int argc, char** argv, RunState& run, FirmwareAccess& fw) {
  std::vector<std::wstring> words;
  for (int i = 1; i < argc; ++i) words.push_back(ToWide(argv[i] ? argv[i] : ""));
  Scanner scanner(words, run);
  Status st = scanner.Scan();
  if (st != status::kSuccess) return st;
  return Validate(run, fw, words.size(), scanner.repeated);
}

}  // namespace kes
