#include "commit/special_controls.h"

#include <algorithm>

#include "base/console.h"
#include "base/guid.h"
#include "base/status.h"
#include "base/text.h"
#include "commit/variable_commit.h"
#include "firmware/variable_store.h"

namespace kes {
namespace {

struct BbsType {
  uint32_t value;
  const wchar_t* name;
};

constexpr BbsType kBbsTypes[] = {
    {0x01, L"BBS_TYPE_FLOPPY"}, {0x02, L"BBS_TYPE_HARDDRIVE"}, {0x03, L"BBS_TYPE_CDROM"},
    {0x04, L"BBS_TYPE_PCMCIA"}, {0x05, L"BBS_TYPE_USB"},       {0x06, L"BBS_TYPE_EMBEDDED_NETWORK"},
    {0x80, L"BBS_TYPE_BEV"},    {0xFF, L"BBS_TYPE_UNKNOWN"},
};

constexpr uint8_t kBbsDevicePathType = 5;
constexpr size_t kLoadOptionDescription = 6;  // after Attributes (4) and FilePathListLength (2)

std::wstring Trimmed(std::wstring_view text) {
  std::wstring out(text);
  TrimWide(out);
  return out;
}

// Case-insensitive containment of `needle` in `text`.
bool ContainsNoCase(std::wstring_view text, std::wstring_view needle) {
  if (needle.size() > text.size()) return false;
  for (size_t at = 0; at + needle.size() <= text.size(); ++at)
    if (CompareNoCaseWide(text.substr(at, needle.size()), needle) == 0) return true;
  return false;
}

std::string Narrow8(std::wstring_view text) {
  std::string out;
  for (wchar_t c : text) out.push_back(static_cast<char>(c & 0xFF));
  return out;
}

}  // namespace

const wchar_t* GetBbsTypeName(uint32_t value) {
  for (const BbsType& t : kBbsTypes)
    if (t.value == value) return t.name;
  return L"BBS_TYPE_UNKNOWN";
}

std::optional<uint32_t> GetBbsTypeValue(std::wstring_view name) {
  std::wstring trimmed = Trimmed(name);
  for (const BbsType& t : kBbsTypes)
    if (CompareNoCaseWide(trimmed, t.name) == 0) return t.value;
  return std::nullopt;
}

std::wstring CutControlPrompt(std::wstring_view prompt) {
  size_t start = prompt.find_first_not_of(L"%d");
  if (start == std::wstring_view::npos) return {};
  size_t end = prompt.find_first_of(L"%d", start);
  return std::wstring(prompt.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start));
}

std::optional<std::vector<LegacyGroup>> ParseLegacyDevOrder(Bytes data) {
  std::vector<LegacyGroup> groups;
  size_t at = 0;
  while (at < data.size()) {
    if (at + 6 > data.size()) return std::nullopt;
    LegacyGroup group;
    group.type = Le32(data, at);
    uint16_t length = Le16(data, at + 4);
    if (length < 2 || length % 2 != 0 || at + 4 + length > data.size()) return std::nullopt;
    for (size_t d = at + 6; d < at + 4 + length; d += 2) group.devices.push_back(Le16(data, d));
    groups.push_back(std::move(group));
    at += 4 + length;
  }
  return groups;
}

std::vector<uint8_t> SerializeLegacyGroups(const std::vector<LegacyGroup>& groups) {
  std::vector<uint8_t> out;
  auto put = [&](uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  for (const LegacyGroup& g : groups) {
    put(g.type, 4);
    put((g.devices.size() + 1) * 2, 2);
    for (uint16_t d : g.devices) put(d, 2);
  }
  return out;
}

std::optional<BootOption> DecodeLoadOption(uint16_t number, Bytes data) {
  if (data.size() < kLoadOptionDescription) return std::nullopt;
  BootOption option;
  option.number = number;
  size_t at = kLoadOptionDescription;
  for (; at + 1 < data.size(); at += 2) {
    uint16_t unit = Le16(data, at);
    if (unit == 0) break;
    option.description.push_back(static_cast<wchar_t>(unit));
  }
  at += 2;  // the terminator
  uint16_t pathLength = Le16(data, 4);
  // A BBS node: type 5, subtype, 16-bit length, then the 16-bit device type at offset 4.
  if (pathLength >= 6 && at + 6 <= data.size() && data[at] == kBbsDevicePathType) option.bbsType = Le16(data, at + 4);
  return option;
}

std::wstring BootOptionName(uint16_t number, bool lowerCase) {
  return WFormat(lowerCase ? L"Boot%02x%02x" : L"Boot%02X%02X", number >> 8, number & 0xFF);
}

SpecialControlKind SpecialControls::KindOf(const QuestionRecord& record) const {
  if (!(record.ValueInfo.Flags & 1)) return SpecialControlKind::None;
  return table_.GetSpecialControlKind(record.ControlVarStoreIndex);
}

const std::vector<std::wstring>& SpecialControls::LanguageList(uint32_t controlIndex) {
  ReadLanguageList(controlIndex);
  const VarStoreEntry* entry = table_.At(controlIndex);
  return languages_[entry ? entry->Name : std::wstring()];
}

size_t SpecialControls::ReadLanguageList(uint32_t controlIndex) {
  const VarStoreEntry* entry = table_.At(controlIndex);
  std::wstring key = entry ? entry->Name : std::wstring();
  if (auto it = languages_.find(key); it != languages_.end()) return it->second.size();
  std::vector<std::wstring>& list = languages_[key];
  if (!entry || !entry->Data) return 0;
  std::string text;
  for (uint8_t b : *entry->Data) {
    if (b == 0) break;
    text.push_back(static_cast<char>(b));
  }
  if (table_.GetSpecialControlKind(controlIndex) == SpecialControlKind::Language &&
      text.find(';') == std::string::npos && text.size() > 3 && text.size() % 3 == 0) {
    // LangCodes holds three-letter codes one after the other, without separators.
    for (size_t at = 0; at < text.size(); at += 3) list.push_back(ToWide(text.substr(at, 3)));
    return list.size();
  }
  size_t start = 0;
  while (start < text.size()) {
    size_t semicolon = text.find(';', start);
    if (semicolon == std::string::npos) semicolon = text.size();
    if (semicolon == start) break;  // the list ends at the first empty item
    list.push_back(ToWide(text.substr(start, semicolon - start)));
    start = semicolon + 1;
  }
  return list.size();
}

std::optional<size_t> SpecialControls::CurrentLanguage(const QuestionRecord& record) {
  const auto& list = LanguageList(record.ControlVarStoreIndex);
  const VarStoreEntry* primary = table_.At(record.VarStoreIndex);
  if (!primary || !primary->Data || record.VarOffset >= primary->Data->size()) return std::nullopt;
  std::wstring current;
  for (size_t at = record.VarOffset; at < primary->Data->size() && (*primary->Data)[at] != 0; ++at)
    current.push_back((*primary->Data)[at]);
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i] == current) return i;
  return std::nullopt;
}

void SpecialControls::ReadBootOptions() {
  FreeBootOptions();
  bootRead_ = true;
  const VarStoreEntry* entry = table_.FindByName(L"BootOrder");
  if (!entry || !(entry->Guid == guids::kGlobalVariable) || !entry->Data) return;
  const std::vector<uint8_t>& data = *entry->Data;
  for (size_t at = 0; at + 1 < data.size(); at += 2) bootOrder_.push_back(Le16(data, at));
  for (size_t place = 0; place < bootOrder_.size(); ++place) {
    uint16_t number = bootOrder_[place];
    std::optional<std::vector<uint8_t>> bytes;
    for (bool lower : {false, true}) {
      bytes = GetNVRAMVariable(firmware_, BootOptionName(number, lower), guids::kGlobalVariable);
      if (bytes && !bytes->empty()) break;
      bytes.reset();
    }
    if (!bytes) continue;
    if (auto option = DecodeLoadOption(number, *bytes)) {
      bootOptions_.push_back(std::move(*option));
      bootOptionPlaces_.push_back(place);
    }
  }
}

void SpecialControls::FreeBootOptions() {
  bootRead_ = false;
  bootOrder_.clear();
  bootOptions_.clear();
  bootOptionPlaces_.clear();
}

const std::vector<BootOption>& SpecialControls::BootOptions() {
  if (!bootRead_) ReadBootOptions();
  return bootOptions_;
}

const std::vector<uint16_t>& SpecialControls::BootOrder() {
  if (!bootRead_) ReadBootOptions();
  return bootOrder_;
}

std::optional<std::vector<LegacyGroup>> SpecialControls::LegacyGroups() {
  const VarStoreEntry* entry = table_.FindByName(L"LegacyDevOrder");
  if (entry && entry->Data) return ParseLegacyDevOrder(*entry->Data);
  EfiGuid guid{0xA56074DB, 0x65FE, 0x45F7, {0xBD, 0x21, 0x2D, 0x2B, 0xDD, 0x8E, 0x96, 0x52}};
  auto data = GetNVRAMVariable(firmware_, L"LegacyDevOrder", guid);
  if (!data) return std::nullopt;
  return ParseLegacyDevOrder(*data);
}

std::wstring SpecialControls::ControlName(SpecialControlKind kind, std::wstring_view prompt) {
  if (kind == SpecialControlKind::BootOrder || kind == SpecialControlKind::LegacyOrder)
    return Trimmed(CutControlPrompt(prompt));
  return Trimmed(prompt);
}

std::wstring SpecialControls::LegacyGroupName(uint32_t type, std::wstring_view prompt) {
  return WFormat(L"%ls %ls", GetBbsTypeName(type), ControlName(SpecialControlKind::LegacyOrder, prompt).c_str());
}

std::wstring SpecialControls::WriteLanguageOptions(const QuestionRecord& record) {
  const auto& list = LanguageList(record.ControlVarStoreIndex);
  std::optional<size_t> current = CurrentLanguage(record);
  std::wstring out;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += L"\n\t\t";
    out += WFormat(current == i ? L"*[%02X]%ls" : L"[%02X]%ls", static_cast<unsigned>(i), list[i].c_str());
  }
  return out;
}

std::wstring SpecialControls::WriteBootOrderList(const std::wstring& label) {
  std::wstring out;
  bool first = true;
  for (const BootOption& o : BootOptions()) {
    out += first ? WFormat(L"%ls[%04x] %ls", label.c_str(), o.number, o.description.c_str())
                 : WFormat(L"[%04x] %ls", o.number, o.description.c_str());
    out += L"\n\t\t ";
    first = false;
  }
  return out;
}

std::wstring SpecialControls::WriteLegacyOrderList(const LegacyGroup& group, const std::wstring& label) {
  std::wstring out;
  const wchar_t* name = GetBbsTypeName(group.type);
  for (size_t i = 0; i < group.devices.size(); ++i) {
    out += i == 0 ? WFormat(L"%ls [%04x]%ls %04x\n", label.c_str(), group.devices[i], name, group.devices[i])
                  : WFormat(L"\t\t[%04x]%ls %04x\n", group.devices[i], name, group.devices[i]);
  }
  return out;
}

bool SpecialControls::MatchSpecialControl(const SpecialEntry& entry, const QuestionRecord& record,
                                          std::wstring_view prompt) const {
  SpecialControlKind kind = KindOf(record);
  if (kind == SpecialControlKind::None) return false;
  std::wstring name = ControlName(kind, prompt);
  if (name.empty()) return false;
  std::wstring identity = ToWide(entry.identity);
  bool noCase = run_.Given(Switch::Lang);
  if (kind == SpecialControlKind::LegacyOrder) {
    std::wstring needle = L" " + name;
    return noCase ? ContainsNoCase(identity, needle) : identity.find(needle) != std::wstring::npos;
  }
  return noCase ? CompareNoCaseWide(identity, name) == 0 : identity == name;
}

void SpecialControls::DefaultsWarning(const SpecialEntry& entry) const {
  if (run_.Quiet()) return;
  if (entry.hasBiosDefault || entry.hasMfgDefault)
    Err(L"Warning : Special controls should not have BIOS/MFG defaults entry \n");
}

void SpecialControls::RefuseInvalid(const SpecialEntry& entry) {
  if (!run_.Given(Switch::Ms)) {
    std::wstring identity = ToWide(entry.identity);
    Print(Stream::Err, L"Warning : Value for control (%ls) not updated as the value specified is invalid.\n",
          identity.c_str());
  }
  Print(Stream::Err, L"ERROR:%X - Value for control not updated as the value specified is invalid\n",
        status::kInvalidFile);
  refused_ = true;
  run_.ImportErrors = true;
}

bool SpecialControls::ImportSpecialControl(const SpecialEntry& entry, const QuestionRecord& record,
                                           std::wstring_view prompt, Bytes opcode) {
  SpecialControlKind kind = KindOf(record);
  switch (kind) {
    case SpecialControlKind::Language:
    case SpecialControlKind::PlatformLanguage:
      return ImportLanguageControl(entry, record, prompt, opcode);
    case SpecialControlKind::BootOrder:
    case SpecialControlKind::LegacyOrder: {
      bool boot = kind == SpecialControlKind::BootOrder;
      if (run_.Given(Switch::B) || run_.Given(Switch::Ms))
        return boot ? ImportBootOrderControl(entry, record, prompt, opcode)
                    : ImportLegacyOrderControl(entry, record, prompt, opcode);
      bool matched = MatchSpecialControl(entry, record, prompt);
      if (matched && !run_.Quiet())
        Err(boot ? L"WARNING : /b option is missing, BOOT_ORDER_CONTROL will not be imported\n "
                 : L"WARNING : /b option is missing, LEGACY_DEV_ORDER_CONTROL will not be imported\n ");
      return matched;
    }
    default:
      return false;
  }
}

bool SpecialControls::ImportLanguageControl(const SpecialEntry& entry, const QuestionRecord& record,
                                            std::wstring_view prompt, Bytes opcode) {
  if (!MatchSpecialControl(entry, record, prompt)) return false;
  DefaultsWarning(entry);
  const auto& list = LanguageList(record.ControlVarStoreIndex);
  VarStoreEntry* primary = table_.At(record.VarStoreIndex);
  bool stored = false;
  if (entry.value < list.size() && primary && primary->Data) {
    std::string code = Narrow8(list[entry.value]);
    std::vector<uint8_t> bytes(code.begin(), code.end());
    bytes.push_back(0);
    if (primary->Name != L"PlatformLang") {
      // "Lang" keeps its size: a three-letter code fills it without a terminator.
      size_t room = record.VarOffset < primary->Data->size() ? primary->Data->size() - record.VarOffset : 0;
      if (code.size() <= room) bytes.resize(std::min(bytes.size(), room));
      else bytes.clear();
    }
    if (!bytes.empty()) {
      // The language length decides how much of "PlatformLang" the commit writes; a code chosen
      // for "Lang" must not cut "PlatformLang" to its length.
      if (primary->Name == L"PlatformLang") run_.LanguageLength = static_cast<uint16_t>(code.size() + 1);
      stored = UpdateVarStoreValue(table_, record.VarStoreIndex, record.VarOffset, bytes, opcode);
    }
  }
  if (!stored && !run_.Quiet()) Err(L"Warning: Invalid Index value for Language Option Control\n");
  return true;
}

bool SpecialControls::ImportBootOrderControl(const SpecialEntry& entry, const QuestionRecord& record,
                                             std::wstring_view prompt, Bytes opcode) {
  ReadBootOptions();
  if (!MatchSpecialControl(entry, record, prompt)) {
    FreeBootOptions();
    return false;
  }
  // The list is compared with what the export lists: the boot options that can be read. An
  // entry of BootOrder without its Boot#### variable is not listed; it keeps its place and the
  // listed options are reordered around it.
  std::vector<uint16_t> current;
  for (const BootOption& o : bootOptions_) current.push_back(o.number);
  std::wstring identity = ToWide(entry.identity);
  if (entry.value != current.size() || entry.listValues.size() != current.size()) {
    Print(Stream::Err,
          L"\nWarning : Setup question '%ls' is not imported, as Boot count mismatches with boot count in NVRAM",
          identity.c_str());
    FreeBootOptions();
    return true;
  }
  DefaultsWarning(entry);
  // The same numbers, each once, in any order.
  std::vector<uint16_t> a = current, b = entry.listValues;
  std::sort(a.begin(), a.end());
  std::sort(b.begin(), b.end());
  if (a != b) {
    RefuseInvalid(entry);
    FreeBootOptions();
    return true;
  }
  std::vector<uint16_t> order = bootOrder_;
  for (size_t i = 0; i < bootOptionPlaces_.size(); ++i) order[bootOptionPlaces_[i]] = entry.listValues[i];
  std::vector<uint8_t> bytes;
  for (uint16_t n : order) {
    bytes.push_back(static_cast<uint8_t>(n));
    bytes.push_back(static_cast<uint8_t>(n >> 8));
  }
  // The same order again changes nothing, LegacyDevOrder included.
  if (order != bootOrder_) {
    UpdateVarStoreValue(table_, record.VarStoreIndex, record.VarOffset, bytes, opcode);
    ReadBootOptions();  // now in the new order
    RebuildLegacyOrder();
  }
  FreeBootOptions();
  return true;
}

// The legacy groups named by BBS boot options follow the first such option of their type: they
// take, in the new boot order, the places those groups held; other groups keep their places.
// Every group is kept exactly once, so the variable keeps its size.
void SpecialControls::RebuildLegacyOrder() {
  uint16_t index = table_.GetVarStoreIndexByName(L"LegacyDevOrder");
  VarStoreEntry* entry = table_.At(index);
  if (!entry || entry->Name != L"LegacyDevOrder" || !entry->Data) return;
  auto groups = ParseLegacyDevOrder(*entry->Data);
  if (!groups) return;
  std::vector<size_t> named;  // group positions in the order of the boot options naming them
  for (const BootOption& o : bootOptions_) {
    if (!o.bbsType) continue;
    for (size_t g = 0; g < groups->size(); ++g) {
      if ((*groups)[g].type != *o.bbsType || std::find(named.begin(), named.end(), g) != named.end()) continue;
      named.push_back(g);
      break;
    }
  }
  std::vector<size_t> slots = named;
  std::sort(slots.begin(), slots.end());
  std::vector<LegacyGroup> rebuilt = *groups;
  for (size_t i = 0; i < slots.size(); ++i) rebuilt[slots[i]] = (*groups)[named[i]];
  std::vector<uint8_t> bytes = SerializeLegacyGroups(rebuilt);
  if (bytes.size() != entry->Data->size()) return;
  UpdateVarStoreValue(table_, index, 0, bytes);
}

bool SpecialControls::ImportLegacyOrderControl(const SpecialEntry& entry, const QuestionRecord& record,
                                               std::wstring_view prompt, Bytes opcode) {
  if (!MatchSpecialControl(entry, record, prompt)) return false;
  DefaultsWarning(entry);
  std::wstring identity = ToWide(entry.identity);
  const VarStoreEntry* primary = table_.At(record.VarStoreIndex);
  std::optional<std::vector<LegacyGroup>> groups;
  if (primary && primary->Data) groups = ParseLegacyDevOrder(*primary->Data);
  if (!groups || groups->empty()) {
    RefuseInvalid(entry);
    return true;
  }
  std::optional<uint32_t> type;
  if (run_.Given(Switch::Ms)) {
    type = GetBbsTypeValue(run_.options.BootDeviceType);
  } else {
    for (const BbsType& t : kBbsTypes) {
      if (identity.find(t.name) != std::wstring::npos) {
        type = t.value;
        break;
      }
    }
  }
  if (!type) {
    Print(Stream::Err, L"ERROR:%X - Device type not found.\n", status::kInvalidFile);
    refused_ = true;
    run_.ImportErrors = true;
    return true;
  }
  auto group = std::find_if(groups->begin(), groups->end(), [&](const LegacyGroup& g) { return g.type == *type; });
  // The count is that of the entry's own group (not of the first group), and a mismatch stops.
  if (group != groups->end() && group->devices.size() != entry.value) {
    Print(Stream::Err,
          L"\nWarning : Setup question '%ls' is not imported, as Boot count mismatches with boot count in NVRAM",
          identity.c_str());
    return true;
  }
  // Valid: as many items as devices, each device matched by one item of the same device index
  // whose value is equal or where either side marks the device disabled.
  bool valid = group != groups->end() && group->devices.size() == entry.listValues.size();
  if (valid) {
    std::vector<bool> used(entry.listValues.size(), false);
    for (uint16_t device : group->devices) {
      bool found = false;
      for (size_t i = 0; i < entry.listValues.size() && !found; ++i) {
        uint16_t item = entry.listValues[i];
        if (used[i] || (item & 0xFF) != (device & 0xFF)) continue;
        if (item == device || (item >> 8) == 0xFF || (device >> 8) == 0xFF) found = used[i] = true;
      }
      if (!found) valid = false;
    }
  }
  if (!valid) {
    RefuseInvalid(entry);
    return true;
  }
  group->devices = entry.listValues;
  std::vector<uint8_t> bytes = SerializeLegacyGroups(*groups);
  if (bytes.size() == primary->Data->size())
    UpdateVarStoreValue(table_, record.VarStoreIndex, record.VarOffset, bytes, opcode);
  return true;
}

}  // namespace kes
