// Setup passwords: presenting the current admin password (unlocks protected variables), setting
// new admin and user passwords, and re-locking at the end of every run.
#pragma once
#include "App/common/status.h"

namespace kes {

Status ChangeSetupPasswords();
Status RelockProtectedVariables();

}  // namespace kes
