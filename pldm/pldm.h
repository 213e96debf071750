// PLDM BIOS tables: export to and import from one PLDM file.
#pragma once
#include <string>

#include "App/common/le.h"
#include "App/common/run_state.h"
#include "App/common/status.h"

namespace kes {

// 1 when every table was exported; anything else reports a failure.
Status ExportPldm(ToolOptions& options);
Status ImportPldm(const std::wstring& fileName, Bytes hiiDatabase);

}  // namespace kes
