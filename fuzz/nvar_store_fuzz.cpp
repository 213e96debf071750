// The NVAR default stores ("StdDefaults", "MfgDefaults"): the store opened under both polarities
// and walked name by name (also with the nested store switched on), every variable read, one
// written and deleted; then the input as both default-store variables in a firmware root, read
// through DefaultStores and its question-default lookup.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/le.h"
#include "fuzz/fuzz_support.h"
#include "hii/default_store.h"
#include "hii/nvar_store.h"

namespace {

constexpr kes::EfiGuid kSetupGuid{0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};

// Every name is handed out once, so a walk sees no more names than the main and the nested
// store hold records.
void WalkStore(kes::NvarStore& store, size_t bufferSize) {
  using namespace kes;
  std::u16string name;
  EfiGuid guid{};
  size_t names = 0;
  while (store.GetNextVariableName(name, guid) == efi::kSuccess) {
    if (++names > 2 * (bufferSize / nvar::kMinRecordSize) + 2) std::abort();  // a walk that does not end
    uint32_t attributes = 0;
    store.ReadVariable(name, guid, &attributes);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  static fuzz::FirmwareRoot root("nvar", false);
  ConsoleCapture quiet;
  const std::vector<uint8_t> bytes(data, data + size);
  for (uint8_t polarity : {uint8_t{0}, uint8_t{1}}) {
    std::optional<NvarStore> store = NvarStore::Open(bytes, polarity);
    if (!store) continue;
    store->FreeSpaceCheck();
    WalkStore(*store, size);
    store->SetMode(nvar::kModeNestedStdDefaults);
    WalkStore(*store, size);
    const uint8_t value[4] = {1, 2, 3, 4};
    store->SetVariable(u"Setup", kSetupGuid, 7, value);
    store->ReadVariable(u"Setup", kSetupGuid);
    store->DeleteVariable(u"Setup", kSetupGuid);
  }

  std::vector<uint8_t> file;
  AppendLe32(file, 7);
  file.insert(file.end(), bytes.begin(), bytes.end());
  fuzz::WriteFile(root / ("efi/efivars/StdDefaults-" + FormatGuidText(nvar::kDefaultsGuid)), file);
  fuzz::WriteFile(root / ("efi/efivars/MfgDefaults-" + FormatGuidText(nvar::kDefaultsGuid)), file);
  FirmwareAccess fw = root.Access();
  DefaultStores stores(fw);
  for (DefaultStore which : {DefaultStore::Std, DefaultStore::Mfg}) {
    stores.DefaultStorePresent(which);
    stores.FindQuestionDefault(which, kSetupGuid, L"Setup", 0, 1);
    stores.FindQuestionDefault(which, kSetupGuid, L"Setup", 0x10, 8);
    stores.FindDefaultVariable(which, nvar::kDefaultsGuid, L"StdDefaults");
    const uint8_t one = 1;
    stores.SetQuestionDefault(which, kSetupGuid, L"Setup", 2, std::span<const uint8_t>(&one, 1));
  }
  return 0;
}
