#include "script/script_defaults.h"

namespace kes {

// The default stores are not read yet: no question has defaults lines.
DefaultsSource LoadDefaultsSource() { return DefaultsSource{}; }
void ReleaseDefaultsSource() {}

}  // namespace kes
