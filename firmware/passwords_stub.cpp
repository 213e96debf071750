#include "App/common/console.h"
#include "firmware/passwords.h"

namespace kes {

Status ChangeSetupPasswords() {
  Err(L"ERROR: Setup password services are not available in this version.\n");
  return status::kNotImplemented;
}

Status RelockProtectedVariables() { return status::kSuccess; }

}  // namespace kes
