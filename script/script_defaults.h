// The firmware's default stores as seen by the script writer.
#pragma once
#include "hii/default_store.h"
#include "script/question_block.h"

namespace kes {

// Loads "StdDefaults" and "MfgDefaults" into `stores` and answers from them; the source refers
// to `stores`, which must outlive it.
DefaultsSource LoadDefaultsSource(DefaultStores& stores);

}  // namespace kes
