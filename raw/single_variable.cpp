#include "raw/single_variable.h"

#include <optional>
#include <vector>

#include "base/console.h"
#include "base/guid.h"
#include "base/run_state.h"
#include "base/text.h"
#include "firmware/variable_store.h"

namespace kes {
namespace {

constexpr EfiGuid kUtilityIndicationGuid{0x5A71834C, 0xB9BA, 0x48EE, {0xAC, 0x37, 0xF1, 0x1D, 0xBC, 0x4C, 0x6F, 0x6F}};
constexpr const wchar_t* kUtilityIndicationName = L"UtilityIndication";
constexpr uint32_t kNewVariableAttributes = 7;

enum class DataFile { Ok, Unusable, TooLarge };

// Reads the data file: missing, unreadable and empty files are unusable. At most one byte more
// than a variable can hold is read, so that neither a huge file nor an endless device or pipe
// (/dev/zero, a FIFO) is ever loaded whole.
DataFile ReadDataFile(const std::wstring& fileName, std::vector<uint8_t>& data) {
  constexpr size_t kMaxData = kMaxVariableFileBytes - 4;  // the attribute word comes first
  if (fileName.empty()) return DataFile::Unusable;
  auto bytes = ReadWholeFile(ToNarrow(fileName), kMaxData + 1);
  if (!bytes || bytes->empty()) return DataFile::Unusable;
  if (bytes->size() > kMaxData) return DataFile::TooLarge;
  data = std::move(*bytes);
  return DataFile::Ok;
}

}  // namespace

Status UpdateSingleVariable(RunState& run, FirmwareAccess& fw, const std::wstring& name, const std::wstring& guidText,
                            const std::wstring& valueText, const std::wstring& dataFileName) {
  bool haveValue = !valueText.empty() || run.Given(Switch::VarValue);
  bool haveFile = !dataFileName.empty() || run.Given(Switch::VarFile);
  if (!haveValue && !haveFile) return status::kInvalidParameter;
  if (name.empty() || guidText.empty()) return status::kInvalidParameter;
  std::optional<EfiGuid> guid = ParseGuidText(guidText);
  if (!guid) {
    Print(Stream::Err, L"ERROR:%X - Invalid variable GUID!\n", status::kInvalidParameter);
    return status::kInvalidParameter;
  }
  if (!CheckVariableName(ToNarrow(name))) return status::kInvalidParameter;

  std::vector<uint8_t> data;
  if (haveFile) {
    DataFile result = ReadDataFile(dataFileName, data);
    if (result == DataFile::Unusable) {
      Print(Stream::Err, L"ERROR:%X - Variable file is empty or not found!\n", status::kInvalidParameter);
      return status::kInvalidParameter;
    }
    if (result == DataFile::TooLarge) {
      Print(Stream::Err, L"ERROR:%X - Variable file is too large!\n", status::kInvalidParameter);
      return status::kInvalidParameter;
    }
  } else {
    data = WideToUtf16Bytes(valueText, false);
  }

  uint32_t attributes = 0;
  std::optional<std::vector<uint8_t>> current = GetNVRAMVariable(fw, name, *guid, &attributes);
  if (!current) {
    if (data.empty()) return status::kEmptyVariableData;
    attributes = kNewVariableAttributes;
  } else {
    if (*current == data) return status::kSuccess;  // nothing to change
    if (data.empty()) return status::kEmptyVariableData;
  }
  Status s = SetNVRAMVariable(fw, name, *guid, attributes, data);
  if (s == status::kSuccess) run.SystemModified = true;
  return s;
}

Status WriteUtilityIndication(FirmwareAccess& fw) {
  const uint8_t indication = 1;
  return SetNVRAMVariable(fw, kUtilityIndicationName, kUtilityIndicationGuid, kNewVariableAttributes,
                          Bytes(&indication, 1));
}

}  // namespace kes
