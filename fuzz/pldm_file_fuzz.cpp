// A PLDM file as the user hands it to /i /p: split by the bounded reader, every table decoded, and
// imported over the demo firmware (its first and last package lists, and its variables), with the tables' checksums
// made right when they are not, so that the per-question import sees the fuzzed bytes. When an
// import changed a variable, the demo variables are written again so that every input starts
// alike.
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
#include "devtools/hiibuild/generators.h"

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
  static const std::vector<uint8_t> image = fuzz::PldmFuzzImage(demo.hii);
  static const HiiDatabase database(image);
  ConsoleCapture quiet;

  std::wstring error;
  auto tables = pldm::SplitPldmFile(Bytes(data, size), error);
  if (!tables) return 0;
  pldm::DecodeStringTable(tables->strings);
  pldm::DecodeStringTable(tables->keywords);
  pldm::DecodeAttributeTable(tables->attributes);
  pldm::DecodeValueTable(tables->values);

  // A file whose checksums do not all match is resealed first, so that the import goes past
  // them (the refusal itself is cheap and tested).
  bool sealed = true;
  for (auto* table : {&tables->strings, &tables->attributes, &tables->values, &tables->keywords})
    sealed = sealed && pldm::ChecksumMatches(*table);
  if (!sealed)
    for (auto* table : {&tables->strings, &tables->attributes, &tables->values, &tables->keywords}) Reseal(*table);
  RunState run;
  for (Switch s : {Switch::I, Switch::P, Switch::B}) run.switches.Set(s);
  FirmwareAccess fw = root.Access();
  const StringLookup strings(database, StringOptions::FromRun(run));
  const SetupContext setup{run, fw, database, strings, nullptr};
  ImportPldmTables(setup, *tables);
  if (run.SystemModified) hiibuild::WriteVariableFiles(root / "efi/efivars", demo.variables);
  return 0;
}
