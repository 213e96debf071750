// The firmware's default stores as seen by the script writer.
#pragma once
#include "script/question_block.h"

namespace kes {

// Loads "StdDefaults" and "MfgDefaults" for one export; ReleaseDefaultsSource frees them.
DefaultsSource LoadDefaultsSource();
void ReleaseDefaultsSource();

}  // namespace kes
