// Whole firmware images made with the builder: the demo firmware that the emulator serves in
// the README's first command, and large images for the export benchmark. Both are
// deterministic: the same bytes on every call and every build.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/hiibuild/emulator_image.h"

namespace kes::hiibuild {

// The demo firmware: six form sets (main, advanced, chipset, security, boot, and the boot
// manager with the language, boot order and legacy order controls) in separate package lists
// with a few hundred questions, English strings and the "x-Vorn" and "x-UEFI-Vorn" map strings,
// the load options, BootOrder and LegacyDevOrder, the variables of its varstores, a supported FIDT and a
// fwemu.conf that keeps the emulator's defaults.
EmulatorImage BuildDemoFirmware();

// A large image for the export benchmark. At scale 1 it holds at least 20,000 questions and
// 60,000 strings in each of three languages (en-US, fr-FR, de-DE), plus map strings in
// "x-Vorn" and "x-UEFI-Vorn"; scale N multiplies every count by N. Its variables have the
// declared varstore sizes and varied contents.
struct LargeImage {
  std::vector<uint8_t> hii;
  std::vector<Variable> variables;
  size_t packageLists = 0;
  size_t questions = 0;           // questions of every kind written to the forms
  size_t stringsPerLanguage = 0;  // strings in each of the three languages
  size_t mapStrings = 0;          // strings in each of the two map-string languages
};
LargeImage BuildLargeImage(unsigned scale);

// The large image as an emulator image directory (supported FIDT, default configuration).
EmulatorImage ToEmulatorImage(LargeImage image);

}  // namespace kes::hiibuild
