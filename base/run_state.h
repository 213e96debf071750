// The record of one run: the option record, one flag per command-line switch, the password
// slots, the debug-log settings and the run's outcome flags. The driver creates it, the command
// line fills it once, and every operation is handed it by reference.
#pragma once
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/output_file.h"

namespace kes {

// The 57 switches, in the order of the switch table.
enum class Switch : uint8_t {
  O, I, S, N, L, H, C, F, V, Q, Ds, Dm, B, R, Lang, Sp, G, A, D, Ndef, Sd, P, Ms, Ov, Qv, Bt, Ce,
  Ni, Shutdown, Reboot, VarName, VarGuid, VarValue, VarFile, Cs, Log, LogFile, LogLvl, Hb,
  Cpwd, Apwd, Upwd, Cpwds, Cpwde, Apwds, Apwde, Upwds, Upwde,
  Cpwdf, Cpwdsf, Cpwdef, Apwdf, Apwdsf, Apwdef, Upwdf, Upwdsf, Upwdef,
  Count
};
inline constexpr size_t kSwitchCount = static_cast<size_t>(Switch::Count);

// The switch as the user types it ("/o", "/logfile:", ...), lower case.
const wchar_t* SwitchName(Switch s);

class SwitchSet {
 public:
  bool Has(Switch s) const { return bits_.test(static_cast<size_t>(s)); }
  void Set(Switch s, bool on = true) { bits_.set(static_cast<size_t>(s), on); }
  bool Any(std::initializer_list<Switch> list) const {
    for (Switch s : list)
      if (Has(s)) return true;
    return false;
  }
  void Clear() { bits_.reset(); }

 private:
  std::bitset<kSwitchCount> bits_;
};

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The files of the run. An output replaces the user's file only when the driver commits it at
// the end of a successful run; an input (the script or raw file of an import, a listing that is
// only read) is a stream held in the same field.
struct ToolOptions {
  OutputFile ListingFile;
  OutputFile ScriptFile;   // the NVRAM script file, or in raw mode the NVRAM raw file
  OutputFile HiiFile;
  OutputFile DuplicateFile;
  bool HiiDumpWanted = false;
  bool Export = false;
  bool Import = false;
  bool Force = false;
  bool Verbose = false;
  bool PrintValue = false;
  bool RawMode = false;
  uint32_t HiiCrc32 = 0;
  std::vector<uint8_t> HiiDatabase;  // owned for the whole run
  std::wstring ScriptFileName;
  // The script file's "HIICrc32" value, noted while the import's parse reads the file (which is
  // read once, so that a pipe works); none when the line is missing or unreadable.
  std::optional<uint32_t> ScriptChecksum;
  std::wstring DuplicateFileName;
  std::wstring PldmFileName;
  bool EvaluateSuppressIf = false;
  bool EvaluateGrayOutIf = false;
  std::wstring MapString;
  std::string QuestionValue;
  std::wstring BootDeviceType;
  bool CommentOut = false;
  bool UtilityIndication = false;
  std::wstring VariableFile;
  std::wstring VariableName;
  std::wstring VariableGuid;
  std::wstring VariableValue;
  std::wstring ListingFileName;  // names of the raw-mode files, for messages
  std::wstring RawFileName;
  std::wstring HiiFileName;
};

enum class PasswordType : uint32_t { None = 0, Plain = 1, ScanCode = 2, EfiKey = 3 };

struct PasswordInput {
  PasswordType Type = PasswordType::None;
  uint32_t Length = 0;            // plain: characters + 1; key types: number of units
  std::wstring Text;              // plain
  std::vector<uint16_t> Units;    // scan code / EFI key
  bool Given() const { return Type != PasswordType::None; }
};

struct LogSettings {
  bool ToScreen = false;          // /log
  bool ToFile = false;            // /logfile:
  bool LevelGiven = false;        // /loglvl:
  std::string FileName;
  uint32_t Level = 1;
  bool Enabled() const { return ToScreen || ToFile || LevelGiven; }
};

struct RunState {
  ToolOptions options;
  SwitchSet switches;
  std::optional<std::wstring> langCode;   // /lang code, absent when /lang had none
  LogSettings log;
  std::wstring compareFileA, compareFileB, compareOutput;
  bool singleFileCompare = true;
  PasswordInput currentAdmin, newAdmin, newUser;
  // Outcome flags, set by the import operations and read by the driver.
  bool SystemModified = false;
  bool ImportErrors = false;
  bool ResetRequired = false;
  // The variables whose write the firmware refused as protected (no or a wrong admin password),
  // in the order refused.
  std::vector<std::wstring> ProtectedRefused;
  // Length of the language code chosen by a language import, with its terminating zero; 0 until
  // one is chosen. Decides how much of "PlatformLang" the commit writes.
  uint16_t LanguageLength = 0;

  bool Given(Switch s) const { return switches.Has(s); }
  bool Quiet() const { return Given(Switch::Q); }
};

}  // namespace kes
