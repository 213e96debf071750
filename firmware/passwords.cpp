// Setup passwords are presented by writing specially named variables that the firmware
// intercepts: a password it accepts is consumed (never stored), a wrong one fails the write. A
// firmware without the password feature stores the write as an ordinary variable, which the tool
// recognises by reading it back, and removes again so that no password stays in NVRAM.
#include "firmware/passwords.h"

#include <new>
#include <vector>

#include "base/console.h"
#include "base/debug_log.h"
#include "base/le.h"
#include "base/run_state.h"
#include "base/text.h"
#include "firmware/variable_store.h"

namespace kes {
namespace {

constexpr uint32_t kPasswordAttributes = 7;

// Overwrites a buffer that held a password before it is released.
void Wipe(std::vector<uint8_t>& bytes) {
  volatile uint8_t* p = bytes.data();
  for (size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
}

// Plain passwords go as UTF-16 with the terminating zero; scan-code and EFI-key passwords as
// their 16-bit key units.
std::vector<uint8_t> PasswordData(const PasswordInput& password) {
  if (password.Type == PasswordType::Plain) {
    std::wstring_view text = password.Text;
    return WideToUtf16Bytes(text.substr(0, text.find(L'\0')), true);
  }
  std::vector<uint8_t> data;
  data.reserve(password.Units.size() * 2);
  for (uint16_t unit : password.Units) AppendLe16(data, unit);
  return data;
}

// Removes a password variable the firmware kept as an ordinary variable. True when one was there.
bool RemoveIfStored(FirmwareAccess& fw, const wchar_t* variable) {
  uint32_t attributes = 0;
  auto stored = GetNVRAMVariable(fw, variable, kPasswordVariableGuid, &attributes);
  if (!stored) return false;
  Wipe(*stored);
  SetNVRAMVariable(fw, variable, kPasswordVariableGuid, attributes ? attributes : kPasswordAttributes, {});
  return true;
}

// Writes one password variable. Returns the write's status; noFeature tells that the firmware
// stored it as an ordinary variable instead of consuming it.
Status PresentPassword(FirmwareAccess& fw, const wchar_t* variable, const PasswordInput& password, bool& noFeature) {
  noFeature = false;
  std::vector<uint8_t> data = PasswordData(password);
  // An empty write would delete the variable instead of presenting a password.
  if (data.empty()) return status::kInvalidParameter;
  Status s = SetNVRAMVariable(fw, variable, kPasswordVariableGuid, kPasswordAttributes, data);
  Wipe(data);
  if (s != status::kSuccess) return s;
  noFeature = RemoveIfStored(fw, variable);
  return status::kSuccess;
}

struct NewPasswordMessages {
  const wchar_t* typeMismatch;
  const wchar_t* rejected;
  const wchar_t* noFeature;
  const wchar_t* accepted;
};

Status SetNewPassword(FirmwareAccess& fw, bool quiet, const wchar_t* variable, const PasswordInput& password, const PasswordInput& current,
                      const NewPasswordMessages& messages) {
  if (password.Type != current.Type) {
    Out(messages.typeMismatch);
    return status::kInvalidParameter;
  }
  bool noFeature = false;
  Status s = PresentPassword(fw, variable, password, noFeature);
  if (s != status::kSuccess) {
    Out(messages.rejected);
    return s;
  }
  if (noFeature) {
    if (quiet) return status::kSuccess;
    Out(messages.noFeature);
    return status::kTransportFailure;
  }
  if (!quiet) Out(messages.accepted);
  return status::kSuccess;
}

Status ChangePasswords(const RunState& run, FirmwareAccess& fw) {
  bool quiet = run.Quiet();
  if (run.currentAdmin.Given()) {
    bool noFeature = false;
    Status s = PresentPassword(fw, kSetupPasswordVariable, run.currentAdmin, noFeature);
    if (s != status::kSuccess) {
      Out(L"Input password doesn't match admin password or retry count exceeded.\n");
      return s;
    }
    if (noFeature) {
      // With /q the run goes on as if the password had been accepted.
      if (!quiet) {
        Out(L"Warning: BIOS does not support password feature\n");
        return status::kTransportFailure;
      }
    } else if (!quiet) {
      Out(L"Password accepted\n");
    }
    fw.setupUnlocked = true;
  }
  if (run.newAdmin.Given()) {
    Status s = SetNewPassword(fw, quiet, kAdminPasswordVariable, run.newAdmin, run.currentAdmin,
                              {L"Error: New admin password type does not match with existing password type.\n",
                               L"Invalid input or password doesn't match admin password.\n",
                               L"Warning: BIOS does not support admin password changing feature\n",
                               L"New admin password set successfully.\n"});
    if (s != status::kSuccess) return s;
  }
  if (run.newUser.Given()) {
    Status s = SetNewPassword(fw, quiet, kUserPasswordVariable, run.newUser, run.currentAdmin,
                              {L"Error: New user password type does not match with existing password type.\n",
                               L"Invalid Input or password doesn't match admin password.\n",
                               L"Warning: BIOS does not support user password changing feature\n",
                               L"New user password set successfully.\n"});
    if (s != status::kSuccess) return s;
  }
  return status::kSuccess;
}

}  // namespace

Status ChangeSetupPasswords(const RunState& run, FirmwareAccess& fw) {
  DebugLog(fw.log, LV_ALWS, "Changing Admin and User PWD by unlock [START]\n ");
  Status s;
  try {
    s = ChangePasswords(run, fw);
  } catch (const std::bad_alloc&) {
    Out(L"Error: Memory allocation failure.\n");
    s = status::kOutOfMemory;
  }
  DebugLog(fw.log, LV_ALWS, "Changing Admin and User PWD by unlock [END] with status %x\n ", s);
  return s;
}

Status RelockProtectedVariables(FirmwareAccess& fw) {
  DebugLog(fw.log, LV_LIBR, "Relocking of protected variables[START] \n");
  Status s = status::kSuccess;
  if (fw.setupUnlocked) {
    const uint8_t zero = 0;
    s = SetNVRAMVariable(fw, kSetupPasswordVariable, kPasswordVariableGuid, kPasswordAttributes, Bytes(&zero, 1));
    if (s != status::kSuccess) {
      // The firmware consumes the re-lock request by refusing it.
      Out(L"Variable access re-locked\n");
    } else {
      // A firmware without the password feature stored the request: leave nothing behind.
      RemoveIfStored(fw, kSetupPasswordVariable);
    }
    fw.setupUnlocked = false;
  }
  DebugLog(fw.log, LV_LIBR, "Relocking of protected variables[END] with status %x\n ", s);
  return s;
}

}  // namespace kes
