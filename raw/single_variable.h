// Creation or update of one named variable (/varname), and the utility indication (/ni).
#pragma once
#include <string>

#include "base/status.h"

namespace kes {

Status UpdateSingleVariable(const std::wstring& name, const std::wstring& guidText,
                            const std::wstring& valueText, const std::wstring& dataFileName);
Status WriteUtilityIndication();

}  // namespace kes
