#include "base/console.h"
#include "pldm/pldm.h"

namespace kes {

Status ExportPldm(const SetupContext&) {
  Err(L"ERROR: PLDM tables are not available in this version.\n");
  return status::kNotImplemented;
}

Status ImportPldm(const SetupContext&, const std::wstring&) {
  Err(L"ERROR: PLDM tables are not available in this version.\n");
  return status::kNotImplemented;
}

}  // namespace kes
