#include "script/script_defaults.h"

#include "hii/default_store.h"

namespace kes {

DefaultsSource LoadDefaultsSource() {
  LoadDefaultStores();
  DefaultsSource source;
  source.stdPresent = DefaultStorePresent(DefaultStore::Std);
  source.mfgPresent = DefaultStorePresent(DefaultStore::Mfg);
  source.find = [](bool mfg, const VarStoreEntry& store, size_t offset, size_t length) {
    return FindQuestionDefault(mfg ? DefaultStore::Mfg : DefaultStore::Std, store.Guid, store.Name, offset, length);
  };
  return source;
}

void ReleaseDefaultsSource() { ResetDefaultStores(); }

}  // namespace kes
