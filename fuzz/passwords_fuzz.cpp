// The password files: the first input byte picks one of the nine file switches (plain, scan-code
// and EFI-key files for the current admin, new admin and new user passwords), the rest is the
// file. The command line is scanned as the tool does, and an accepted password is presented to
// the firmware (variables under a temporary root) and the variables are locked again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "base/console.h"
#include "base/run_state.h"
#include "base/text.h"
#include "firmware/passwords.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr const char* kFileSwitches[] = {"/cpwdf", "/cpwdsf", "/cpwdef", "/apwdf", "/apwdsf",
                                         "/apwdef", "/upwdf", "/upwdsf", "/upwdef"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  static fuzz::CommandLineWorkspace workspace("passwords", "passwords-cwd");
  if (size == 0) return 0;
  fuzz::WriteFile(workspace.cwd / "password.bin", data + 1, size - 1);
  std::vector<std::string> words{"KESLNX_64", kFileSwitches[data[0] % std::size(kFileSwitches)], "password.bin"};
  std::vector<char*> argv = fuzz::ArgvOf(words);
  {
    ConsoleCapture quiet;
    RunState run;
    FirmwareAccess fw = workspace.root.Access();
    if (ParseCommandLine(static_cast<int>(words.size()), argv.data(), run, fw) == 0) {
      ChangeSetupPasswords(run, fw);
      RelockProtectedVariables(fw);
    }
  }
  workspace.cwd.Empty();
  return 0;
}
