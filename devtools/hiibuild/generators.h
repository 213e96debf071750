// Whole firmware images made with the builder: the demo firmware that the emulator serves in
// the README's first command, and large images for the export benchmark. Both are
// deterministic: the same bytes on every call and every build.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devtools/hiibuild/emulator_image.h"

namespace kes::hiibuild {

// The demo firmware: six form sets (main, advanced, chipset, security, boot, and the boot
// manager with the language, boot order and legacy order controls) in separate package lists
// with a few hundred questions, English strings and the "x-Vorn" and "x-UEFI-Vorn" map strings,
// the load options, BootOrder and LegacyDevOrder, the variables of its varstores, a supported FIDT and a
// fwemu.conf that keeps the emulator's defaults.
EmulatorImage BuildDemoFirmware();

// The demo firmware in the older (pre-UEFI) HII layout (older_layout.h): three data tables with
// strings in "eng" and "fra". Two form sets of class 1 ("Main" and "Chipset", 18 questions of
// every older kind) keep their values in a "Setup" variable under their form set's GUID; "Main"
// also selects the "OemSetup" varstore for its OEM form. A front page of class 0 contributes
// nothing. Variables: both "Setup", "OemSetup", "Lang" = "eng" and "LangCodes"; a supported
// FIDT and a fwemu.conf that keeps the emulator's defaults.
EmulatorImage BuildOlderDemoFirmware();

// The demo firmware's form sets that the mailbox driver registers on real firmware: the chipset
// form set and the boot manager (boot order and language controls over the firmware's own
// variables), each package list without its device path package (the firmware's HII database
// makes that from the handle a list is registered with), and the chipset varstore's variable
// with the demo's values (Restore AC Power Loss at Power Off, where the demo holds a value no
// option has).
// The platform policy the driver applies at every boot, as POST would: the value of one numeric
// question of the chipset form set (its bytes in the variable) is clamped to a platform limit
// below the question's own maximum.
struct ClampPolicy {
  std::wstring prompt;
  uint16_t offset = 0;
  uint8_t width = 0;
  uint64_t limit = 0;
};
struct DriverFormSets {
  std::vector<uint8_t> packageLists;  // the lists one after the other
  Variable variable;
  ClampPolicy policy;  // "Watchdog Timeout (s)" (60 to 3600) clamped to 1800
};
DriverFormSets BuildDriverFormSets();

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
// Plain: a few conditions. Conditions: as many questions of the same kinds in eight package lists
// whose forms grow with the scale (250 questions a form at scale 1), most of them under
// suppress-if and gray-out-if scopes nested four deep that test other questions with ideqval,
// ideqvallist and ideqid (some against 0xFFFF) or refer to rules defined at the end of their
// form; in each form set one form is reached only through a suppressed REF and another only
// through that form.
enum class LargeImageKind { Plain, Conditions };
LargeImage BuildLargeImage(unsigned scale, LargeImageKind kind = LargeImageKind::Plain);

// One checkbox inside `depth` nested suppress-if scopes whose expressions are false, in one form
// set with the variable of its varstore.
LargeImage BuildNestedConditionsImage(unsigned depth);

// A large image in the older HII layout: 100 data tables per scale of 200 questions each (one-of,
// checkbox, numeric and string in turn; every fifth under a suppress-if; a few in a second
// varstore), strings in "eng" and "fra", the "Setup" variable of each form set and "Lang".
LargeImage BuildLargeOlderImage(unsigned scale);

// The large image as an emulator image directory (supported FIDT, default configuration).
EmulatorImage ToEmulatorImage(LargeImage image);

// Every varstore the form sets of a UEFI HII database declare (VARSTORE and VARSTORE_EFI with a
// size), once per GUID and name, in walk order, as zero-filled variables of the declared size.
std::vector<Variable> DeclaredVariables(Bytes hii);
// An image for an HII database exported by real firmware: the database, the variables captured
// with it (efivarfs files "<Name>-<guid>" in `varsDir`, none when it is empty) and, for every
// other declared varstore, a zero-filled variable of the declared size, as an unconfigured
// machine holds them; a supported FIDT and the emulator's default configuration. An empty
// string, else why the image cannot be made.
std::string CaptureImage(std::vector<uint8_t> hii, const std::string& varsDir, EmulatorImage& image);

}  // namespace kes::hiibuild
