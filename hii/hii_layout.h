// The HII database image held for the run and the classification of its layout.
#pragma once
#include <cstdint>

#include "base/le.h"

namespace kes {

enum class HiiFormat : uint8_t { Unknown = 0, Older = 0x20, Uefi = 0x21 };

// Applies the older layout's own test, then the package-list chain test.
HiiFormat ClassifyHiiLayout(Bytes image);

}  // namespace kes
