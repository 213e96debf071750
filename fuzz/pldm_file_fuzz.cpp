// A PLDM file as the user hands it to /i /p: split by the bounded reader, every table decoded, and
// imported over the demo firmware (its HII database and variables). Each input is imported twice:
// as it is (the checksums then refuse nearly everything) and with its tables' checksums made
// right, so that the decoders and the per-question import see the fuzzed bytes. When an import
// changed a variable, the demo variables are written again so that every input starts alike.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/run_state.h"
#include "firmware/mailbox.h"
#include "fuzz/fuzz_support.h"
#include "hii/hii_database.h"
#include "hii/setup_context.h"
#include "hii/strings.h"
#include "pldm/pldm.h"
#include "pldm/pldm_format.h"
#include "tools/hiibuild/generators.h"

namespace {

// Recomputes the checksum in the last 4 bytes of a table (left alone when it cannot hold one).
void Reseal(std::vector<uint8_t>& table) {
  if (table.size() < 4) return;
  kes::PutLe32(table.data() + table.size() - 4, kes::CalculateCrc32(kes::Bytes(table).first(table.size() - 4)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  static fuzz::FirmwareRoot root("pldm");
  static const hiibuild::EmulatorImage demo = hiibuild::BuildDemoFirmware();
  static const HiiDatabase database(demo.hii);
  ConsoleCapture quiet;

  std::wstring error;
  auto tables = pldm::SplitPldmFile(Bytes(data, size), error);
  if (!tables) return 0;
  pldm::DecodeStringTable(tables->strings);
  pldm::DecodeStringTable(tables->keywords);
  pldm::DecodeAttributeTable(tables->attributes);
  pldm::DecodeValueTable(tables->values);

  for (bool reseal : {false, true}) {
    if (reseal) {
      for (auto* table : {&tables->strings, &tables->attributes, &tables->values, &tables->keywords}) Reseal(*table);
    }
    RunState run;
    for (Switch s : {Switch::I, Switch::P, Switch::B}) run.switches.Set(s);
    FirmwareAccess fw = root.Access();
    const StringLookup strings(database, StringOptions::FromRun(run));
    const SetupContext setup{run, fw, database, strings, nullptr};
    ImportPldmTables(setup, *tables);
    if (run.SystemModified) hiibuild::WriteVariableFiles(root / "efi/efivars", demo.variables);
  }
  return 0;
}
