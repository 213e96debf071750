// PLDM BIOS tables: export to and import from one PLDM file.
#pragma once
#include <string>

#include "base/le.h"
#include "base/run_state.h"
#include "base/status.h"

namespace kes {

// 1 when every table was exported; anything else reports a failure.
Status ExportPldm(ToolOptions& options);
Status ImportPldm(const std::wstring& fileName, Bytes hiiDatabase);

}  // namespace kes
