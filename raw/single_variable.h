// Creation or update of one named variable (/varname), and the utility indication (/ni).
#pragma once
#include <string>

#include "base/run_state.h"
#include "base/status.h"
#include "firmware/firmware_access.h"

namespace kes {

Status UpdateSingleVariable(RunState& run, FirmwareAccess& fw, const std::wstring& name, const std::wstring& guidText,
                            const std::wstring& valueText, const std::wstring& dataFileName);
Status WriteUtilityIndication(FirmwareAccess& fw);

}  // namespace kes
