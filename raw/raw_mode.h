// Raw mode: the variable listing file and the NVRAM raw file.
#pragma once
#include <cstdio>

#include "base/run_state.h"
#include "base/status.h"

namespace kes {

Status CreateVariableListing(std::FILE* listing);
Status ExportRawVariables(ToolOptions& options);
Status ImportRawVariables(ToolOptions& options);

}  // namespace kes
