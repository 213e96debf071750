// PLDM BIOS tables: export to and import from one PLDM file.
#pragma once
#include <string>

#include "base/le.h"
#include "base/run_state.h"
#include "base/status.h"
#include "hii/setup_context.h"

namespace kes {

// 1 when every table was exported; anything else reports a failure.
Status ExportPldm(const SetupContext& setup);
Status ImportPldm(const SetupContext& setup, const std::wstring& fileName);

}  // namespace kes
