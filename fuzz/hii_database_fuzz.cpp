// The HII database as the firmware returns it: classified and indexed (HiiDatabase, and forced as
// package lists with HiiDatabase::AsUefi), its strings looked up, its questions walked with the
// condition evaluator on (/sp /g), and the script export written into a memory file. The demo
// firmware's variables are in the firmware root, so that the walks find values for its varstores.
#include <cstddef>
#include <cstdint>

#include "base/console.h"
#include "base/run_state.h"
#include "fuzz/fuzz_support.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/setup_context.h"
#include "hii/strings.h"
#include "script/export.h"

namespace {

void ExportOnce(const kes::HiiDatabase& database, kes::FirmwareAccess& fw, std::initializer_list<kes::Switch> switches) {
  using namespace kes;
  RunState run;
  run.switches.Set(Switch::O);
  for (Switch s : switches) run.switches.Set(s);
  const StringLookup strings(database, StringOptions::FromRun(run));
  Evaluator evaluator(database, strings, fw);
  evaluator.InitializeEvaluation();
  const SetupContext setup{run, fw, database, strings, &evaluator};
  fuzz::MemoryFile main;
  fuzz::MemoryFile duplicates;
  try {
    ExportScriptTo(setup, main.file, duplicates.file, false);
    CheckMappingLanguages(setup);
  } catch (const UnsupportedStringBlocks&) {
    // the tool reports such an image and stops; nothing was read through it
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  static fuzz::FirmwareRoot root("hii");
  FirmwareAccess fw = root.Access();
  ConsoleCapture quiet;
  const Bytes image(data, size);
  {
    const HiiDatabase database(image);
    ExportOnce(database, fw, {Switch::Sp, Switch::G});
  }
  {
    const HiiDatabase database = HiiDatabase::AsUefi(image);
    ExportOnce(database, fw, {Switch::Sp, Switch::G, Switch::Lang, Switch::V});
  }
  return 0;
}
