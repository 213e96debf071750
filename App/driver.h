// The tool's entry: one run performs one operation and returns the run status.
#pragma once
#include "App/common/status.h"

namespace kes {

Status RunTool(int argc, char** argv);

}  // namespace kes
