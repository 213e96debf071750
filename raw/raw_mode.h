// Raw mode: the variable listing file and the NVRAM raw file.
#pragma once
#include <cstdio>

#include "base/run_state.h"
#include "base/status.h"
#include "firmware/firmware_access.h"

namespace kes {

Status CreateVariableListing(FirmwareAccess& fw, std::FILE* listing);
Status ExportRawVariables(RunState& run, FirmwareAccess& fw);
Status ImportRawVariables(RunState& run, FirmwareAccess& fw);

}  // namespace kes
