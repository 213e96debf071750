#include "base/console.h"
#include "pldm/pldm.h"

namespace kes {

Status ExportPldm(ToolOptions&) {
  Err(L"ERROR: PLDM tables are not available in this version.\n");
  return status::kNotImplemented;
}

Status ImportPldm(const std::wstring&, Bytes) {
  Err(L"ERROR: PLDM tables are not available in this version.\n");
  return status::kNotImplemented;
}

}  // namespace kes
