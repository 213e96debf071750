#include "base/console.h"
#include "raw/raw_mode.h"

namespace kes {
namespace {
Status Unavailable() {
  Err(L"ERROR: Raw mode is not available in this version.\n");
  return status::kNotImplemented;
}
}  // namespace

Status CreateVariableListing(FirmwareAccess&, std::FILE*) { return Unavailable(); }
Status ExportRawVariables(RunState&, FirmwareAccess&) { return Unavailable(); }
Status ImportRawVariables(RunState&, FirmwareAccess&) { return Unavailable(); }

}  // namespace kes
