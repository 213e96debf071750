// The firmware identification table (<root>/acpi/tables/FIDT) read by the platform check.
#include <cstddef>
#include <cstdint>

#include "base/console.h"
#include "base/run_state.h"
#include "firmware/platform.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  static fuzz::FirmwareRoot root("platform", false);
  fuzz::WriteFile(root / "acpi/tables/FIDT", data, size);
  ConsoleCapture quiet;
  for (bool skipCheck : {false, true}) {
    RunState run;
    if (skipCheck) run.switches.Set(Switch::D);
    FirmwareAccess fw = root.Access();
    ValidatePlatform(run, fw);
  }
  return 0;
}
