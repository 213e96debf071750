#include "App/common/console.h"
#include "raw/single_variable.h"

namespace kes {

Status UpdateSingleVariable(const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring&) {
  Err(L"ERROR: Single variable update is not available in this version.\n");
  return status::kNotImplemented;
}

Status WriteUtilityIndication() { return status::kNotImplemented; }

}  // namespace kes
