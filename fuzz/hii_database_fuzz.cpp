// The HII database as the firmware returns it: classified and indexed (HiiDatabase, and forced as
// package lists with HiiDatabase::AsUefi), its strings looked up, its questions walked with the
// condition evaluator on (/sp /g), and the script export written into a memory file. Images in
// the older layout are walked by its own iterator, with strings in "eng". The demo firmware's
// variables are in the firmware root, so that the walks find values for its varstores.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "base/console.h"
#include "base/run_state.h"
#include "fuzz/fuzz_support.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/setup_context.h"
#include "hii/strings.h"
#include "script/export.h"
#include "devtools/hiibuild/generators.h"

namespace {

void ExportOnce(const kes::HiiDatabase& database, kes::FirmwareAccess& fw, std::initializer_list<kes::Switch> switches) {
  using namespace kes;
  RunState run;
  run.switches.Set(Switch::O);
  for (Switch s : switches) run.switches.Set(s);
  StringOptions options = StringOptions::FromRun(run);
  // As the driver does: the older layout's strings in the "Lang" language, no evaluator.
  bool older = database.Format() == HiiFormat::Older;
  if (older) options.olderLanguage = L"eng";
  const StringLookup strings(database, std::move(options));
  Evaluator evaluator(database, strings, fw);
  if (!older) evaluator.InitializeEvaluation();
  const SetupContext setup{run, fw, database, strings, older ? nullptr : &evaluator};
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
  // The older-layout demo's variables too ("Setup" under its form sets' GUIDs, "OemSetup"),
  // except those the demo firmware already has.
  static const bool olderVariables = [] {
    std::vector<hiibuild::Variable> older;
    for (hiibuild::Variable& v : hiibuild::BuildOlderDemoFirmware().variables)
      if (!std::filesystem::exists(root / ("efi/efivars/" + hiibuild::EfivarfsFileName(v)))) older.push_back(std::move(v));
    return hiibuild::WriteVariableFiles(root / "efi/efivars", older).empty();
  }();
  (void)olderVariables;
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
