#include "App/common/console.h"
#include "script/export.h"

namespace kes {

Status ExportScript(ToolOptions&) {
  Err(L"ERROR: Script export is not available in this version.\n");
  return status::kNotImplemented;
}

void CheckMappingLanguages(const ToolOptions&) {}

}  // namespace kes
