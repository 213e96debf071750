#include "App/common/console.h"
#include "firmware/hii_retrieval.h"

namespace kes {

Status RetrieveHiiDatabase(ToolOptions&) {
  Err(L"ERROR: Reading the HII database is not available in this version.\n");
  return status::kNotImplemented;
}

}  // namespace kes
