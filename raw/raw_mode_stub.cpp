#include "base/console.h"
#include "raw/raw_mode.h"

namespace kes {
namespace {
Status Unavailable() {
  Err(L"ERROR: Raw mode is not available in this version.\n");
  return status::kNotImplemented;
}
}  // namespace

Status CreateVariableListing(std::FILE*) { return Unavailable(); }
Status ExportRawVariables(ToolOptions&) { return Unavailable(); }
Status ImportRawVariables(ToolOptions&) { return Unavailable(); }

}  // namespace kes
