// The special controls: the language and platform-language selections, the boot order and the
// legacy (BBS) device order. Their values live in variables of their own ("Lang",
// "PlatformLang", "BootOrder", "LegacyDevOrder") and their choices come from other firmware
// variables (the language code lists, the Boot#### load options, the LegacyDevOrder groups), so
// the script cannot describe them with the question's options. This module reads those choices,
// writes their value lines, matches entries back to them and validates and stores imported values
// in the walk's varstore table (the commit writes them to the firmware).
//
// A SpecialControls object holds the lists for one operation; nothing here is process-wide.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/le.h"
#include "base/run_state.h"
#include "firmware/firmware_access.h"
#include "hii/question_model.h"
#include "hii/varstore_table.h"

namespace kes {

// What a special control reads of an imported entry: a script entry, or an entry the PLDM import
// builds. `value` is the marked item's number for a language, the element count for a list.
struct SpecialEntry {
  std::string identity;
  uint64_t value = 0;
  std::vector<uint16_t> listValues;
  bool hasBiosDefault = false;
  bool hasMfgDefault = false;
};

// A load option named by BootOrder.
struct BootOption {
  uint16_t number = 0;
  std::wstring description;          // the UCS-2 text at offset 6
  std::optional<uint16_t> bbsType;   // device path starting with a BBS node: its device type
};

// One group of LegacyDevOrder: BBS device type and 16-bit device entries (low byte the device
// index, high byte 0xFF when the device is disabled).
struct LegacyGroup {
  uint32_t type = 0;
  std::vector<uint16_t> devices;
};

// Name of a BBS device type ("BBS_TYPE_UNKNOWN" for values not in the table).
const wchar_t* GetBbsTypeName(uint32_t value);
// Value of a BBS type name, compared without case.
std::optional<uint32_t> GetBbsTypeValue(std::wstring_view name);

// The name a boot order or legacy control stands under: leading '%' and 'd' skipped, cut before
// the next '%' or 'd'.
std::wstring CutControlPrompt(std::wstring_view prompt);

// Splits LegacyDevOrder into its groups; none when a group runs past the end or its length is odd.
std::optional<std::vector<LegacyGroup>> ParseLegacyDevOrder(Bytes data);
std::vector<uint8_t> SerializeLegacyGroups(const std::vector<LegacyGroup>& groups);

// Decodes a load option: the description at offset 6 and the BBS type of a device path that
// starts with a BBS node. None when it is too short to hold a description.
std::optional<BootOption> DecodeLoadOption(uint16_t number, Bytes data);

// The "Boot%04X" name of a boot number, in upper-case or lower-case hexadecimal digits.
std::wstring BootOptionName(uint16_t number, bool lowerCase);

struct SpecialControlContext {
  RunState& run;
  FirmwareAccess& firmware;
  VarStoreTable& varStores;  // of the walk handing out the question; must outlive the object
};

class SpecialControls {
 public:
  explicit SpecialControls(SpecialControlContext context) : run_(context.run), firmware_(context.firmware), table_(context.varStores) {}

  // The special-control kind of a question (None unless the walk marked it and its control
  // variable is one of the special variables).
  SpecialControlKind KindOf(const QuestionRecord& record) const;

  // Language codes of the control variable (LangCodes or PlatformLangCodes) named by the
  // varstore-table index; read once per variable and kept for the object's life.
  size_t ReadLanguageList(uint32_t controlIndex);
  const std::vector<std::wstring>& LanguageList(uint32_t controlIndex);
  // Position of the question's current language in its list, if any.
  std::optional<size_t> CurrentLanguage(const QuestionRecord& record);

  // The BootOrder copy of the varstore table and its load options (each tried as "Boot%04X" and
  // then "Boot%04x"; options readable in neither spelling are left out).
  void ReadBootOptions();
  void FreeBootOptions();
  const std::vector<BootOption>& BootOptions();
  const std::vector<uint16_t>& BootOrder();

  // The LegacyDevOrder groups: from the varstore table, else from the variable itself. None when
  // absent or corrupt.
  std::optional<std::vector<LegacyGroup>> LegacyGroups();

  // The control's name in the script: the whole prompt for languages, the cut prompt otherwise.
  static std::wstring ControlName(SpecialControlKind kind, std::wstring_view prompt);
  // The name of a legacy group's question: "<BBS type name> <cut prompt>".
  static std::wstring LegacyGroupName(uint32_t type, std::wstring_view prompt);

  // Value lines of the export. The language options come without label; the boot order and legacy
  // texts start with `label` (written as given, e.g. "ListOrder\t=" or "// ListOrder\t=").
  std::wstring WriteLanguageOptions(const QuestionRecord& record);
  std::wstring WriteBootOrderList(const std::wstring& label);
  static std::wstring WriteLegacyOrderList(const LegacyGroup& group, const std::wstring& label);

  // 1 when the entry names this control. `prompt` is the question's prompt as matching sees it
  // (the map string in mapping-language mode).
  bool MatchSpecialControl(const SpecialEntry& entry, const QuestionRecord& record, std::wstring_view prompt) const;

  // The import's entry point: true when the entry was taken as this control's entry.
  bool ImportSpecialControl(const SpecialEntry& entry, const QuestionRecord& record, std::wstring_view prompt,
                            Bytes opcode);
  bool ImportLanguageControl(const SpecialEntry& entry, const QuestionRecord& record, std::wstring_view prompt,
                             Bytes opcode);
  bool ImportBootOrderControl(const SpecialEntry& entry, const QuestionRecord& record, std::wstring_view prompt,
                              Bytes opcode);
  bool ImportLegacyOrderControl(const SpecialEntry& entry, const QuestionRecord& record, std::wstring_view prompt,
                                Bytes opcode);

  // Whether an import refused a value with status 13 since the object was made.
  bool Refused() const { return refused_; }

 private:
  void DefaultsWarning(const SpecialEntry& entry) const;
  void RefuseInvalid(const SpecialEntry& entry);
  void RebuildLegacyOrder();

  RunState& run_;
  FirmwareAccess& firmware_;
  VarStoreTable& table_;
  std::map<std::wstring, std::vector<std::wstring>> languages_;  // by control variable name
  bool bootRead_ = false;
  std::vector<uint16_t> bootOrder_;
  std::vector<BootOption> bootOptions_;
  std::vector<size_t> bootOptionPlaces_;  // each option's position in bootOrder_
  bool refused_ = false;
};

}  // namespace kes
