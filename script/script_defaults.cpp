#include "script/script_defaults.h"

namespace kes {

DefaultsSource LoadDefaultsSource(DefaultStores& stores) {
  stores.LoadDefaultStores();
  DefaultsSource source;
  source.stdPresent = stores.DefaultStorePresent(DefaultStore::Std);
  source.mfgPresent = stores.DefaultStorePresent(DefaultStore::Mfg);
  source.find = [&stores](bool mfg, const VarStoreEntry& store, size_t offset, size_t length) {
    return stores.FindQuestionDefault(mfg ? DefaultStore::Mfg : DefaultStore::Std, store.Guid, store.Name, offset,
                                      length);
  };
  return source;
}

}  // namespace kes
