// The older-layout demo firmware: three data tables in the pre-UEFI export layout. Two form
// sets with a non-zero class keep their values in a "Setup" variable under their own GUID (the
// implicit default storage); the main one also declares the "OemSetup" varstore for its OEM
// form. A front-page form set of class 0 comes last and contributes nothing. Each question's
// current value is written into its variable next to the opcode that declares it.
#include <initializer_list>
#include <utility>

#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/older_layout.h"

namespace kes::hiibuild {

namespace {

constexpr EfiGuid kMainFormSet{0x6F2A41C3, 0x9B17, 0x4E58, {0x8D, 0x03, 0x5A, 0xC1, 0x27, 0xE9, 0x40, 0xB6}};
constexpr EfiGuid kChipsetFormSet{0xC41D8E26, 0x35F0, 0x4B7A, {0x91, 0x6E, 0x0F, 0xB2, 0x88, 0x4C, 0xD3, 0x15}};
constexpr EfiGuid kFrontPageFormSet{0x2E90B7D4, 0x61AC, 0x4F39, {0xA7, 0x58, 0xC3, 0x1E, 0x06, 0x9D, 0x72, 0x4A}};
constexpr EfiGuid kOemSetupGuid{0x9D5C3F18, 0xA24E, 0x4C07, {0xB3, 0x91, 0x7E, 0x40, 0xD6, 0x2B, 0x58, 0xC9}};

constexpr uint16_t kMainSetupSize = 0x30;
constexpr uint16_t kChipsetSetupSize = 0x10;
constexpr uint16_t kOemSetupSize = 8;
constexpr uint16_t kOemVarStoreId = 1;

constexpr uint8_t kBoth = older::flags::kDefault | older::flags::kManufacturing;

// Options valued 0, 1, ... with the option of `defaultValue` marked as both defaults.
std::vector<OlderOpt> Choices(std::initializer_list<const wchar_t*> texts, uint16_t defaultValue) {
  std::vector<OlderOpt> options;
  uint16_t value = 0;
  for (const wchar_t* t : texts) {
    options.push_back({value, t, value == defaultValue ? kBoth : uint8_t{0}});
    ++value;
  }
  return options;
}

void BuildMain(OlderTable& t, VarBuffer& setup, VarBuffer& oem) {
  t.AddLanguage("fra", L"Fran\u00e7ais");
  Emitted set = t.FormSet(kMainFormSet, L"Main", L"System overview and boot settings", 0x0001, 0x0000,
                          kMainSetupSize);
  t.SetString("fra", set.prompt, L"Principal");
  t.VarStore(kOemVarStoreId, kOemSetupGuid, "OemSetup", kOemSetupSize);

  t.Form(0x0001, L"Main");
  t.Subtitle(L"System Information");
  t.String({.prompt = L"Asset Tag", .help = L"Asset tag of this system, up to 16 characters", .offset = 0x00,
            .width = 32, .key = 0x1001},
           0, 16);
  setup.PutUcs2(0x00, L"KS-0042", 16);

  t.Subtitle(L"Boot Settings");
  Emitted quiet = t.OneOf({.prompt = L"Quiet Boot", .help = L"Shows the logo instead of POST messages",
                           .offset = 0x20, .width = 1},
                          Choices({L"Disabled", L"Enabled"}, 1));
  t.SetString("fra", quiet.prompt, L"D\u00e9marrage silencieux");
  t.SetString("fra", quiet.options[0], L"D\u00e9sactiv\u00e9");
  t.SetString("fra", quiet.options[1], L"Activ\u00e9");
  setup.Put(0x20, 1, 1);
  t.CheckBox({.prompt = L"NumLock at Boot", .help = L"Turns NumLock on during boot", .offset = 0x21, .width = 1,
              .key = 0x1002, .flags = kBoth});
  setup.Put(0x21, 1, 1);
  Emitted timeout = t.Numeric({.prompt = L"Boot Timeout", .help = L"Seconds to wait for a key before booting",
                               .offset = 0x22, .width = 2, .key = 0x1003},
                              1, 100, 1, 5);
  t.SetString("fra", timeout.prompt, L"D\u00e9lai de d\u00e9marrage");
  setup.Put(0x22, 10, 2);
  t.OneOf({.prompt = L"Boot Mode", .help = L"Firmware interface offered to the operating system", .offset = 0x24,
           .width = 2},
          Choices({L"Legacy", L"UEFI", L"UEFI and Legacy"}, 1));
  setup.Put(0x24, 2, 2);
  // The logo style only matters while the logo is shown.
  t.SuppressIf();
  t.EqIdVal(0x20, 1, 0);
  t.OneOf({.prompt = L"Logo Style", .help = L"Size of the boot logo", .offset = 0x26, .width = 1},
          Choices({L"Small", L"Full Screen"}, 1));
  t.EndIf();
  setup.Put(0x26, 1, 1);

  t.Subtitle(L"Boot Priority");
  t.OrderedList({.prompt = L"Boot Device Priority", .help = L"Order in which boot devices are tried",
                 .offset = 0x28, .width = 4},
                {{1, L"Hard Disk"}, {2, L"CD/DVD"}, {3, L"USB"}, {4, L"Network"}});
  setup.PutBytes(0x28, std::vector<uint8_t>{1, 3, 2, 4});
  t.EndForm();

  t.Form(0x0002, L"OEM Features");
  t.VarStoreSelect(kOemVarStoreId);
  t.CheckBox({.prompt = L"Chassis Intrusion Detection", .help = L"Logs an event when the cover is opened",
              .offset = 0, .width = 1, .key = 0x1101});
  oem.Put(0, 1, 1);
  // A minimum of 16: the byte where a UEFI question keeps its flags holds 0x10 here, the value
  // that would mean "reset required" to a reader that took the opcode for a UEFI one.
  t.Numeric({.prompt = L"Fan Duty Cycle", .help = L"Minimum fan speed in percent", .offset = 1, .width = 1,
             .key = 0x1102},
            16, 100, 5, 50);
  oem.Put(1, 60, 1);
  t.OneOf({.prompt = L"Power LED", .help = L"Behaviour of the power LED", .offset = 2, .width = 1},
          Choices({L"Off", L"On", L"Blink"}, 1));
  oem.Put(2, 1, 1);
  t.VarStoreSelect(0);
  t.OneOf({.prompt = L"Wake on LAN", .help = L"Wakes the system on a magic packet", .offset = 0x2C, .width = 1},
          Choices({L"Disabled", L"Enabled"}, 0));
  setup.Put(0x2C, 0, 1);
  t.EndForm();
  t.EndFormSet();
}

void BuildChipset(OlderTable& t, VarBuffer& setup) {
  t.AddLanguage("fra", L"Fran\u00e7ais");
  Emitted set = t.FormSet(kChipsetFormSet, L"Chipset", L"Processor, memory and storage settings", 0x0001, 0x0000,
                          kChipsetSetupSize);
  t.SetString("fra", set.prompt, L"Jeu de puces");

  t.Form(0x0010, L"Chipset");
  t.Subtitle(L"Processor");
  t.CheckBox({.prompt = L"Hyper-Threading", .help = L"Two logical processors per core", .offset = 0x00,
              .width = 1, .key = 0x2001, .flags = kBoth});
  setup.Put(0x00, 1, 1);
  t.Numeric({.prompt = L"Active Processor Cores", .help = L"Number of cores enabled", .offset = 0x01, .width = 1,
             .key = 0x2002},
            1, 64, 1, 8);
  setup.Put(0x01, 8, 1);

  t.Subtitle(L"Memory");
  Emitted frequency = t.OneOf({.prompt = L"Memory Frequency", .help = L"Memory clock in MT/s", .offset = 0x02,
                               .width = 2},
                              {{0x0000, L"Auto", kBoth}, {0x0640, L"1600"}, {0x0855, L"2133"}, {0x0960, L"2400"}});
  t.SetString("fra", frequency.prompt, L"Fr\u00e9quence m\u00e9moire");
  setup.Put(0x02, 0x0960, 2);
  t.Numeric({.prompt = L"Watchdog Timeout", .help = L"Seconds before the watchdog resets the system",
             .offset = 0x04, .width = 2, .key = 0x2003},
            1, 600, 1, 300);
  setup.Put(0x04, 120, 2);

  t.Subtitle(L"Storage");
  t.OneOf({.prompt = L"SATA Mode", .help = L"Mode of the SATA controller", .offset = 0x06, .width = 1},
          Choices({L"IDE", L"AHCI", L"RAID"}, 1));
  setup.Put(0x06, 1, 1);
  // Hot plug needs AHCI: grayed out in IDE and RAID mode.
  t.GrayOutIf();
  t.EqIdList(0x06, 1, {0, 2});
  t.CheckBox({.prompt = L"SATA Hot Plug", .help = L"Allows drives to be swapped while running", .offset = 0x07,
              .width = 1, .key = 0x2004});
  t.EndIf();
  setup.Put(0x07, 1, 1);
  t.OneOf({.prompt = L"Serial Port", .help = L"On-board serial port", .offset = 0x08, .width = 1},
          Choices({L"Disabled", L"Enabled"}, 1));
  setup.Put(0x08, 1, 1);
  t.EndForm();
  t.EndFormSet();
}

// Class 0: a front page that the tool passes over; it has no variable of its own.
void BuildFrontPage(OlderTable& t) {
  t.AddLanguage("fra", L"Fran\u00e7ais");
  t.FormSet(kFrontPageFormSet, L"Front Page", L"Language and boot entries", 0x0000, 0x0002, 0);
  t.Form(0x0100, L"Front Page");
  t.Subtitle(L"Welcome");
  t.OneOf({.prompt = L"Language", .help = L"Language of the setup screens", .offset = 0x00, .width = 1},
          Choices({L"English", L"Fran\u00e7ais"}, 0));
  t.EndForm();
  t.EndFormSet();
}

}  // namespace

EmulatorImage BuildOlderDemoFirmware() {
  VarBuffer mainSetup(kMainSetupSize);
  VarBuffer chipsetSetup(kChipsetSetupSize);
  VarBuffer oemSetup(kOemSetupSize);

  OlderTable main(1, kMainFormSet);
  BuildMain(main, mainSetup, oemSetup);
  OlderTable chipset(2, kChipsetFormSet);
  BuildChipset(chipset, chipsetSetup);
  OlderTable frontPage(3, kFrontPageFormSet);
  BuildFrontPage(frontPage);

  EmulatorImage image;
  image.hii = OlderImageBytes({main.Bytes(), chipset.Bytes(), frontPage.Bytes()});
  image.fidt = SupportedFidtTable();
  image.variables = {
      {"Setup", kMainFormSet, attr::kNvBsRt, mainSetup.Take()},
      {"Setup", kChipsetFormSet, attr::kNvBsRt, chipsetSetup.Take()},
      {"OemSetup", kOemSetupGuid, attr::kNvBsRt, oemSetup.Take()},
      {"Lang", kes::guids::kGlobalVariable, attr::kNvBsRt, {'e', 'n', 'g'}},
      {"LangCodes", kes::guids::kGlobalVariable, attr::kBootService | attr::kRuntime, {'e', 'n', 'g', 'f', 'r', 'a'}},
  };
  image.config =
      "# Older-layout demo firmware for kestrel-fwemu, generated at build time by kestrel-mkdemo --older.\n"
      "# Every setting keeps the emulator's default; see kestrel-fwemu(8) for the keys.\n";
  return image;
}

}  // namespace kes::hiibuild
