#include "hii/default_store.h"

#include "base/console.h"
#include "base/debug_log.h"
#include "base/text.h"
#include "firmware/variable_store.h"

namespace kes {

namespace {

NvarStore& Opened(DefaultStoreState::Image& image, uint8_t polarity) {
  auto& slot = image.byPolarity[polarity];
  if (!slot) slot = NvarStore::Open(image.bytes, polarity);
  return *slot;
}

// Keeps the polarity for the run and drops the stores opened under the other one.
void SettlePolarity(DefaultStoreState& state, uint8_t polarity) {
  state.polarity = polarity;
  for (auto& image : state.images) {
    image.byPolarity[1 - polarity].reset();
    image.last.reset();
  }
}

// The store holding the variable, searched under the run's polarity or, while it is unknown,
// under polarity 1 and then under polarity 0 when the free-space check agrees with it.
NvarStore* StoreHolding(DefaultStoreState& state, DefaultStoreState::Image& image, std::u16string_view name, const EfiGuid& guid,
                        std::optional<std::vector<uint8_t>>& data, uint32_t* attributes) {
  if (!image.present) return nullptr;
  if (state.polarity <= 1) {
    NvarStore& store = Opened(image, state.polarity);
    data = store.ReadVariable(name, guid, attributes);
    return data ? &store : nullptr;
  }
  for (uint8_t polarity : {uint8_t{1}, uint8_t{0}}) {
    NvarStore& store = Opened(image, polarity);
    if (polarity == 0 && !store.FreeSpaceCheck()) break;
    data = store.ReadVariable(name, guid, attributes);
    if (data) {
      SettlePolarity(state, polarity);
      return &*image.byPolarity[polarity];
    }
  }
  return nullptr;
}

// The variable in the store, looked up once for the questions of one varstore in a row. A miss
// is kept too: while the polarity is unknown a new search would give the same answer, and the
// polarity being settled or the store being written drops the kept lookup.
const DefaultStoreState::Image::Lookup& LookUp(DefaultStoreState& state, DefaultStoreState::Image& image, const EfiGuid& guid,
                                               std::wstring_view name) {
  std::u16string name16 = WideToUtf16(name);
  if (!image.last || image.last->guid != guid || image.last->name != name16) {
    DefaultStoreState::Image::Lookup lookup{std::move(name16), guid, std::nullopt, 0};
    StoreHolding(state, image, lookup.name, guid, lookup.data, &lookup.attributes);
    image.last = std::move(lookup);
  }
  return *image.last;
}

}  // namespace

const wchar_t* DefaultStoreName(DefaultStore store) {
  return store == DefaultStore::Std ? L"StdDefaults" : L"MfgDefaults";
}

DefaultStoreState::Image& DefaultStores::ImageOf(DefaultStore store) {
  if (!state_.loaded) LoadDefaultStores();
  return state_.images[static_cast<size_t>(store)];
}

void DefaultStores::LoadDefaultStores() {
  uint8_t polarity = state_.polarity;
  state_ = DefaultStoreState();
  state_.polarity = polarity;
  state_.loaded = true;
  for (DefaultStore store : {DefaultStore::Std, DefaultStore::Mfg}) {
    auto& image = state_.images[static_cast<size_t>(store)];
    auto bytes = GetNVRAMVariable(firmware_, DefaultStoreName(store), nvar::kDefaultsGuid, &image.attributes);
    image.present = bytes.has_value();
    if (bytes) image.bytes = std::move(*bytes);
  }
}

bool DefaultStores::DefaultStorePresent(DefaultStore store) { return ImageOf(store).present; }

std::optional<std::vector<uint8_t>> DefaultStores::FindDefaultVariable(DefaultStore store, const EfiGuid& guid,
                                                                       std::wstring_view name, uint32_t* attributes) {
  const auto& lookup = LookUp(state_, ImageOf(store), guid, name);
  if (attributes && lookup.data) *attributes = lookup.attributes;
  return lookup.data;
}

std::optional<std::vector<uint8_t>> DefaultStores::FindQuestionDefault(DefaultStore store, const EfiGuid& guid,
                                                                       std::wstring_view name, size_t varOffset,
                                                                       size_t width) {
  // Read in place: the export asks this for every question, the variable's data can be large.
  const auto& data = LookUp(state_, ImageOf(store), guid, name).data;
  if (!data || varOffset >= data->size() || width > data->size() - varOffset) return std::nullopt;
  auto first = data->begin() + static_cast<std::ptrdiff_t>(varOffset);
  return std::vector<uint8_t>(first, first + static_cast<std::ptrdiff_t>(width));
}

EfiStatus DefaultStores::SetDefaultVariable(DefaultStore store, const EfiGuid& guid, std::wstring_view name,
                             std::span<const uint8_t> data) {
  auto& image = ImageOf(store);
  if (!image.present) return efi::kNotFound;
  const std::u16string name16 = WideToUtf16(name);
  std::optional<std::vector<uint8_t>> current;
  uint32_t attributes = kDefaultVariableAttributes;
  NvarStore* target = StoreHolding(state_, image, name16, guid, current, &attributes);
  uint8_t polarity = state_.polarity;
  if (!target) {
    // A new variable: under the run's polarity, or the one the free space agrees with.
    attributes = kDefaultVariableAttributes;
    if (polarity > 1) polarity = (!Opened(image, 1).FreeSpaceCheck() && Opened(image, 0).FreeSpaceCheck()) ? 0 : 1;
    target = &Opened(image, polarity);
  }
  EfiStatus status = target->SetVariable(name16, guid, attributes, data);
  image.last.reset();
  if (efi::IsError(status)) return status;
  if (state_.polarity > 1) SettlePolarity(state_, polarity);
  if (target->Buffer() != image.bytes) image.changed = true;
  return status;
}

bool DefaultStores::SetQuestionDefault(DefaultStore store, const EfiGuid& guid, std::wstring_view name, size_t varOffset,
                        std::span<const uint8_t> value) {
  {
    // An import sets the default of every question whose script carries a default line, nearly
    // always to what the store already holds: that costs a look, not a copy and a rewrite of the
    // whole variable in the store.
    const auto& held = LookUp(state_, ImageOf(store), guid, name).data;
    if (!held || varOffset > held->size() || value.size() > held->size() - varOffset) return false;
    if (std::equal(value.begin(), value.end(), held->begin() + static_cast<std::ptrdiff_t>(varOffset))) return true;
  }
  auto data = FindDefaultVariable(store, guid, name);
  if (!data || varOffset > data->size() || value.size() > data->size() - varOffset) return false;
  std::copy(value.begin(), value.end(), data->begin() + static_cast<std::ptrdiff_t>(varOffset));
  return !efi::IsError(SetDefaultVariable(store, guid, name, *data));
}

Status DefaultStores::WriteBackDefaultStores(RunState& run) {
  DebugLog(&run.log, LV_MODL, "Setting std and Mfg Defaults Buffer [START]\n ");
  Status result = status::kSuccess;
  for (DefaultStore store : {DefaultStore::Std, DefaultStore::Mfg}) {
    auto& image = state_.images[static_cast<size_t>(store)];
    if (!image.present || !image.changed || state_.polarity > 1 || !image.byPolarity[state_.polarity])
      continue;
    const std::vector<uint8_t>& buffer = image.byPolarity[state_.polarity]->Buffer();
    const wchar_t* name = DefaultStoreName(store);
    uint32_t attributes = image.attributes;
    auto current = GetNVRAMVariable(firmware_, name, nvar::kDefaultsGuid, &attributes);
    if (!current || *current != buffer) {
      if (SetNVRAMVariable(firmware_, name, nvar::kDefaultsGuid, attributes, buffer) != status::kSuccess) {
        Print(Stream::Err, L"Error Writing Variable %ls to NVRAM\n", name);
        run.ImportErrors = true;
        result = status::kFailure;
        continue;
      }
      run.SystemModified = true;
    }
    image.bytes = buffer;
    image.attributes = attributes;
    image.changed = false;
  }
  DebugLog(&run.log, LV_MODL, "Setting std and Mfg Defaults Buffer [END] with status %x\n ", result);
  return result;
}

}  // namespace kes
