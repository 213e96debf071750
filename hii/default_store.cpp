#include "hii/default_store.h"

#include "base/console.h"
#include "base/debug_log.h"
#include "base/run_state.h"
#include "base/text.h"
#include "firmware/variable_store.h"

namespace kes {

namespace {

DefaultStoreState g_state;

DefaultStoreState::Image& ImageOf(DefaultStore store) {
  if (!g_state.loaded) LoadDefaultStores();
  return g_state.images[static_cast<size_t>(store)];
}

NvarStore& Opened(DefaultStoreState::Image& image, uint8_t polarity) {
  auto& slot = image.byPolarity[polarity];
  if (!slot) slot = NvarStore::Open(image.bytes, polarity);
  return *slot;
}

// Keeps the polarity for the run and drops the stores opened under the other one.
void SettlePolarity(uint8_t polarity) {
  g_state.polarity = polarity;
  for (auto& image : g_state.images) {
    image.byPolarity[1 - polarity].reset();
    image.last.reset();
  }
}

// The store holding the variable, searched under the run's polarity or, while it is unknown,
// under polarity 1 and then under polarity 0 when the free-space check agrees with it.
NvarStore* StoreHolding(DefaultStoreState::Image& image, std::u16string_view name, const EfiGuid& guid,
                        std::optional<std::vector<uint8_t>>& data, uint32_t* attributes) {
  if (!image.present) return nullptr;
  if (g_state.polarity <= 1) {
    NvarStore& store = Opened(image, g_state.polarity);
    data = store.ReadVariable(name, guid, attributes);
    return data ? &store : nullptr;
  }
  for (uint8_t polarity : {uint8_t{1}, uint8_t{0}}) {
    NvarStore& store = Opened(image, polarity);
    if (polarity == 0 && !store.FreeSpaceCheck()) break;
    data = store.ReadVariable(name, guid, attributes);
    if (data) {
      SettlePolarity(polarity);
      return &*image.byPolarity[polarity];
    }
  }
  return nullptr;
}

// The variable in the store, looked up once for the questions of one varstore in a row. A miss
// is kept too: while the polarity is unknown a new search would give the same answer, and the
// polarity being settled or the store being written drops the kept lookup.
const DefaultStoreState::Image::Lookup& LookUp(DefaultStoreState::Image& image, const EfiGuid& guid,
                                               std::wstring_view name) {
  std::u16string name16 = WideToUtf16(name);
  if (!image.last || image.last->guid != guid || image.last->name != name16) {
    DefaultStoreState::Image::Lookup lookup{std::move(name16), guid, std::nullopt, 0};
    StoreHolding(image, lookup.name, guid, lookup.data, &lookup.attributes);
    image.last = std::move(lookup);
  }
  return *image.last;
}

}  // namespace

const wchar_t* DefaultStoreName(DefaultStore store) {
  return store == DefaultStore::Std ? L"StdDefaults" : L"MfgDefaults";
}

DefaultStoreState& DefaultStores() { return g_state; }

void ResetDefaultStores() { g_state = DefaultStoreState(); }

void LoadDefaultStores() {
  uint8_t polarity = g_state.polarity;
  g_state = DefaultStoreState();
  g_state.polarity = polarity;
  g_state.loaded = true;
  for (DefaultStore store : {DefaultStore::Std, DefaultStore::Mfg}) {
    auto& image = g_state.images[static_cast<size_t>(store)];
    auto bytes = GetNVRAMVariable(DefaultStoreName(store), nvar::kDefaultsGuid, &image.attributes);
    image.present = bytes.has_value();
    if (bytes) image.bytes = std::move(*bytes);
  }
}

bool DefaultStorePresent(DefaultStore store) { return ImageOf(store).present; }

std::optional<std::vector<uint8_t>> FindDefaultVariable(DefaultStore store, const EfiGuid& guid,
                                                        std::wstring_view name, uint32_t* attributes) {
  const auto& lookup = LookUp(ImageOf(store), guid, name);
  if (attributes && lookup.data) *attributes = lookup.attributes;
  return lookup.data;
}

std::optional<std::vector<uint8_t>> FindQuestionDefault(DefaultStore store, const EfiGuid& guid,
                                                        std::wstring_view name, size_t varOffset, size_t width) {
  // Read in place: the export asks this for every question, the variable's data can be large.
  const auto& data = LookUp(ImageOf(store), guid, name).data;
  if (!data || varOffset >= data->size() || width > data->size() - varOffset) return std::nullopt;
  auto first = data->begin() + static_cast<std::ptrdiff_t>(varOffset);
  return std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(width));
}

EfiStatus SetDefaultVariable(DefaultStore store, const EfiGuid& guid, std::wstring_view name,
                             std::span<const uint8_t> data) {
  auto& image = ImageOf(store);
  if (!image.present) return efi::kNotFound;
  const std::u16string name16 = WideToUtf16(name);
  std::optional<std::vector<uint8_t>> current;
  uint32_t attributes = kDefaultVariableAttributes;
  NvarStore* target = StoreHolding(image, name16, guid, current, &attributes);
  uint8_t polarity = g_state.polarity;
  if (!target) {
    // A new variable: under the run's polarity, or the one the free space agrees with.
    attributes = kDefaultVariableAttributes;
    if (polarity > 1) polarity = (!Opened(image, 1).FreeSpaceCheck() && Opened(image, 0).FreeSpaceCheck()) ? 0 : 1;
    target = &Opened(image, polarity);
  }
  EfiStatus status = target->SetVariable(name16, guid, attributes, data);
  image.last.reset();
  if (efi::IsError(status)) return status;
  if (g_state.polarity > 1) SettlePolarity(polarity);
  if (target->Buffer() != image.bytes) image.changed = true;
  return status;
}

bool SetQuestionDefault(DefaultStore store, const EfiGuid& guid, std::wstring_view name, size_t varOffset,
                        std::span<const uint8_t> value) {
  auto data = FindDefaultVariable(store, guid, name);
  if (!data || varOffset > data->size() || value.size() > data->size() - varOffset) return false;
  std::copy(value.begin(), value.end(), data->begin() + static_cast<std::ptrdiff_t>(varOffset));
  return !efi::IsError(SetDefaultVariable(store, guid, name, *data));
}

Status WriteBackDefaultStores() {
  DebugLog(LV_MODL, "Setting std and Mfg Defaults Buffer [START]\n ");
  Status result = status::kSuccess;
  for (DefaultStore store : {DefaultStore::Std, DefaultStore::Mfg}) {
    auto& image = g_state.images[static_cast<size_t>(store)];
    if (!image.present || !image.changed || g_state.polarity > 1 || !image.byPolarity[g_state.polarity])
      continue;
    const std::vector<uint8_t>& buffer = image.byPolarity[g_state.polarity]->Buffer();
    const wchar_t* name = DefaultStoreName(store);
    uint32_t attributes = image.attributes;
    auto current = GetNVRAMVariable(name, nvar::kDefaultsGuid, &attributes);
    if (!current || *current != buffer) {
      if (SetNVRAMVariable(name, nvar::kDefaultsGuid, attributes, buffer) != status::kSuccess) {
        Print(Stream::Err, L"Error Writing Variable %ls to NVRAM\n", name);
        Run().ImportErrors = true;
        result = status::kFailure;
        continue;
      }
      Run().SystemModified = true;
    }
    image.bytes = buffer;
    image.attributes = attributes;
    image.changed = false;
  }
  DebugLog(LV_MODL, "Setting std and Mfg Defaults Buffer [END] with status %x\n ", result);
  return result;
}

}  // namespace kes
