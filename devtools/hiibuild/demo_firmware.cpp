// The demo firmware: a server-like Setup with six form sets, built question by question with
// the current value of each question written into its variable at the same time.
#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "hii/nvar_store.h"
#include "devtools/hiibuild/generators.h"
#include "devtools/hiibuild/hii_builder.h"

namespace kes::hiibuild {

namespace {

// Varstore GUIDs. "Setup" carries the GUID that firmware of this family gives its main
// configuration variable.
constexpr EfiGuid kSetupGuid{0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}};
constexpr EfiGuid kServiceInfoGuid{0x6A1E3B27, 0x4C2D, 0x4F81, {0x9E, 0x52, 0x0B, 0x7D, 0x4C, 0x61, 0xA2, 0xF3}};
constexpr EfiGuid kChipsetGuid{0x3F9A4C12, 0x8D7B, 0x4E65, {0xA1, 0xC3, 0x52, 0xE8, 0xB9, 0x0D, 0x4F, 0x17}};
constexpr EfiGuid kSecurityGuid{0x9B2E7D41, 0x6C35, 0x4A8F, {0xB0, 0xD2, 0x7E, 0x1F, 0x43, 0xA9, 0x5C, 0x28}};
constexpr EfiGuid kBootGuid{0x4D7C2A19, 0xE3B8, 0x4F06, {0x9A, 0x51, 0xC8, 0x2D, 0x6E, 0x0B, 0x3F, 0x74}};

// Form set GUIDs; each package list carries its form set's GUID except the chipset list, whose
// list GUID differs from its form set's (as happens on real firmware).
constexpr EfiGuid kMainFormSet{0x7B59104A, 0xC00D, 0x4158, {0x87, 0xFF, 0xF0, 0x4D, 0x63, 0x96, 0xA9, 0x15}};
constexpr EfiGuid kAdvancedFormSet{0xE14F04FA, 0x8706, 0x4353, {0x92, 0xF2, 0x9C, 0x24, 0x24, 0x74, 0x6F, 0x9F}};
constexpr EfiGuid kChipsetFormSet{0xADFE34C8, 0x9AE1, 0x4F8F, {0xBE, 0x13, 0xCF, 0x96, 0xA2, 0xCB, 0x2C, 0x5B}};
constexpr EfiGuid kChipsetList{0x2B6C4F90, 0x1D3E, 0x4A57, {0x8C, 0x0F, 0x61, 0x72, 0xE4, 0x9B, 0xD8, 0x03}};
constexpr EfiGuid kSecurityFormSet{0x981CEAEE, 0x931C, 0x4A17, {0xB9, 0xC8, 0x66, 0xC7, 0xBC, 0xFD, 0x77, 0xE1}};
constexpr EfiGuid kBootFormSet{0xD69240C0, 0xDD40, 0x4F2D, {0x98, 0x63, 0x48, 0x48, 0xDA, 0x6E, 0x61, 0x5F}};
constexpr EfiGuid kBootManagerFormSet{0x3A8E5C71, 0x0B2D, 0x4C96, {0x8F, 0x14, 0xD2, 0x6B, 0x90, 0x3E, 0x57, 0xA8}};
// The varstores whose names mark the boot manager's special questions, and LegacyDevOrder's GUID.
constexpr EfiGuid kBootManagerMarkGuid{0xB4909CF3, 0x7B93, 0x4751, {0x9B, 0xD8, 0x5B, 0xA8, 0x22, 0x0B, 0x9B, 0xB2}};
constexpr EfiGuid kLegacyDevOrderGuid{0xA56074DB, 0x65FE, 0x45F7, {0xBD, 0x21, 0x2D, 0x2B, 0xDD, 0x8E, 0x96, 0x52}};
// Vendor node of each list's device path package.
constexpr EfiGuid kDevicePathVendor{0x5C1B3A90, 0x7E2F, 0x4D16, {0xA4, 0x8B, 0x93, 0x0C, 0x27, 0xE5, 0x61, 0xF8}};

constexpr uint8_t kBothDefaults = flags::kOptionDefault | flags::kOptionDefaultMfg;

// One variable being laid out: questions take their bytes in order, and their current values
// are written as they are declared.
struct Store {
  Store(std::string n, const EfiGuid& g, uint16_t s, bool e)
      : name(std::move(n)), guid(g), size(s), efi(e), data(s), standard(s), manufacturing(s) {}
  std::string name;
  EfiGuid guid;
  uint16_t size;
  bool efi;
  VarBuffer data;
  // The variable as the firmware's standard and manufacturing default stores hold it.
  VarBuffer standard;
  VarBuffer manufacturing;
  uint16_t next = 0;

  // The current value and both defaults of the bytes at `offset`.
  void Put(size_t offset, uint64_t current, uint64_t std, uint64_t mfg, size_t width) {
    data.Put(offset, current, width);
    standard.Put(offset, std, width);
    manufacturing.Put(offset, mfg, width);
  }

  uint16_t Alloc(size_t width) {
    if (next + width > size) throw std::logic_error("demo varstore " + name + " is too small");
    uint16_t at = next;
    next = static_cast<uint16_t>(next + width);
    return at;
  }
  Variable ToVariable() const { return Variable{name, guid, attr::kNvBsRt, data.bytes()}; }
};

struct Ref {
  uint16_t id = 0;      // QuestionId
  uint16_t offset = 0;  // VarOffset
};

std::vector<Opt> Choices(std::initializer_list<const wchar_t*> texts, uint64_t defaultValue) {
  std::vector<Opt> options;
  uint64_t value = 0;
  for (const wchar_t* t : texts) {
    options.push_back({value, t, static_cast<uint8_t>(value == defaultValue ? kBothDefaults : 0)});
    ++value;
  }
  return options;
}

std::vector<Opt> Values(std::initializer_list<std::pair<uint64_t, const wchar_t*>> pairs, uint64_t defaultValue) {
  std::vector<Opt> options;
  for (const auto& [value, text] : pairs) {
    options.push_back({value, text, static_cast<uint8_t>(value == defaultValue ? kBothDefaults : 0)});
  }
  return options;
}

const std::initializer_list<const wchar_t*> kDisabledEnabled = {L"Disabled", L"Enabled"};

// Writes the questions of one form set.
class Writer {
 public:
  explicit Writer(Forms& forms) : f(forms) {}

  Forms& f;
  std::wstring prefix = L"Q";  // map strings: prefix and a number of `digits` digits
  int digits = 3;
  bool maps = true;            // give the next questions map strings

  // Header of the form set: the FORM_SET, class and subclass, the two default stores.
  void Begin(const EfiGuid& guid, const wchar_t* title, const wchar_t* help, uint16_t cls, uint16_t subclass) {
    f.FormSet(guid, title, help);
    f.ClassAndSubclass(cls, subclass);
    f.DefaultStore(L"Standard Default", kDefaultStandard);
    f.DefaultStore(L"Manufacture Default", kDefaultManufacturing);
  }

  void Declare(Store& s, uint16_t varStoreId) {
    if (s.efi) {
      f.VarStoreEfi(varStoreId, s.guid, s.name, s.size);
    } else {
      f.VarStore(varStoreId, s.guid, s.name, s.size);
    }
    ids_[&s] = varStoreId;
  }
  void Use(Store& s) { store_ = &s; }

  Ref OneOf(const std::wstring& prompt, const std::wstring& help, std::vector<Opt> options, uint64_t current,
            uint8_t size = 1, std::optional<uint16_t> at = {}, const Extra& x = {}, uint8_t qflags = 0) {
    Q q = Make(prompt, help, size, at, qflags);
    uint64_t std = current, mfg = current;
    for (const Opt& o : options) {
      if (o.flags & flags::kOptionDefault) std = o.value;
      if (o.flags & flags::kOptionDefaultMfg) mfg = o.value;
    }
    store_->Put(q.offset, current, std, mfg, size);
    f.OneOf(q, size, options, x);
    return {q.id, q.offset};
  }

  Ref Checkbox(const std::wstring& prompt, const std::wstring& help, bool current, bool defaultOn,
               std::optional<uint16_t> at = {}) {
    Q q = Make(prompt, help, 1, at, 0);
    store_->Put(q.offset, current ? 1 : 0, defaultOn ? 1 : 0, defaultOn ? 1 : 0, 1);
    f.Checkbox(q, defaultOn ? flags::kCheckboxDefault | flags::kCheckboxDefaultMfg : 0);
    return {q.id, q.offset};
  }

  Ref Numeric(const std::wstring& prompt, const std::wstring& help, uint8_t size, uint64_t min, uint64_t max,
              uint64_t step, uint8_t display, uint64_t current, uint64_t standard, uint64_t manufacturing,
              const std::vector<std::pair<Expr, std::wstring>>& inconsistent = {}, uint8_t qflags = 0) {
    Q q = Make(prompt, help, size, {}, qflags);
    store_->Put(q.offset, current, standard, manufacturing, size);
    Extra x;
    x.open = true;
    f.Numeric(q, size, min, max, step, display, x);
    for (const auto& [e, message] : inconsistent) f.InconsistentIf(message, e);
    f.Default(kDefaultStandard, TypeForSize(size), standard);
    f.Default(kDefaultManufacturing, TypeForSize(size), manufacturing);
    f.End();
    return {q.id, q.offset};
  }

  Ref String(const std::wstring& prompt, const std::wstring& help, uint8_t minSize, uint8_t maxSize,
             const std::wstring& current) {
    Q q = Make(prompt, help, static_cast<size_t>(maxSize) * 2, {}, 0);
    for (VarBuffer* b : {&store_->data, &store_->standard, &store_->manufacturing}) b->PutUcs2(q.offset, current, maxSize);
    f.String(q, minSize, maxSize);
    return {q.id, q.offset};
  }

  Ref Password(const std::wstring& prompt, const std::wstring& help, uint16_t minSize, uint16_t maxSize) {
    Q q = Make(prompt, help, static_cast<size_t>(maxSize) * 2, {}, 0);
    f.Password(q, minSize, maxSize);
    return {q.id, q.offset};
  }

  Ref Date(const std::wstring& prompt, const std::wstring& help, uint16_t year, uint8_t month, uint8_t day) {
    Q q = Make(prompt, help, 4, {}, 0);
    for (VarBuffer* b : {&store_->data, &store_->standard, &store_->manufacturing}) b->PutDate(q.offset, year, month, day);
    f.Date(q, flags::kStorageNormal);
    return {q.id, q.offset};
  }

  Ref Time(const std::wstring& prompt, const std::wstring& help, uint8_t hour, uint8_t minute, uint8_t second) {
    Q q = Make(prompt, help, 3, {}, 0);
    for (VarBuffer* b : {&store_->data, &store_->standard, &store_->manufacturing})
      b->PutTime(q.offset, hour, minute, second);
    f.Time(q, flags::kStorageNormal);
    return {q.id, q.offset};
  }

  // A date or time kept by the real-time clock (storage flags 0x10) or as a wake-up time (0x20):
  // no varstore bytes.
  Ref ClockDate(const std::wstring& prompt, const std::wstring& help) {
    Q q{.prompt = prompt, .help = help, .id = nextQid_++, .varStore = 0, .offset = 0};
    f.Date(q, flags::kStorageTime);
    return {q.id, 0};
  }
  Ref ClockTime(const std::wstring& prompt, const std::wstring& help, uint8_t storage) {
    Q q{.prompt = prompt, .help = help, .id = nextQid_++, .varStore = 0, .offset = 0};
    f.Time(q, storage);
    return {q.id, 0};
  }

  Ref OrderedList(const std::wstring& prompt, const std::wstring& help, std::vector<Opt> options,
                  uint8_t elementType, const std::vector<uint64_t>& current) {
    size_t width = TypeValueSize(elementType);
    Q q = Make(prompt, help, width * options.size(), {}, 0);
    // The defaults list the options in their declared order.
    for (size_t i = 0; i < current.size(); ++i) store_->data.Put(q.offset + i * width, current[i], width);
    for (size_t i = 0; i < options.size(); ++i) {
      store_->standard.Put(q.offset + i * width, options[i].value, width);
      store_->manufacturing.Put(q.offset + i * width, options[i].value, width);
    }
    f.OrderedList(q, static_cast<uint8_t>(options.size()), options, elementType);
    return {q.id, q.offset};
  }

  Ref Action(const std::wstring& prompt, const std::wstring& help) {
    Q q{.prompt = prompt, .help = help, .id = nextQid_++, .varStore = 0, .offset = 0xFFFF,
        .flags = flags::kCallback};
    f.Action(q);
    return {q.id, 0};
  }

  // A REF to another form of the form set.
  void Goto(uint16_t formId, const std::wstring& prompt, const std::wstring& help) {
    f.Ref(Q{.prompt = prompt, .help = help, .id = nextQid_++, .varStore = 0, .offset = 0xFFFF}, formId);
  }

 private:
  Q Make(const std::wstring& prompt, const std::wstring& help, size_t width, std::optional<uint16_t> at,
         uint8_t qflags) {
    if (store_ == nullptr) throw std::logic_error("no varstore in use");
    Q q;
    q.prompt = prompt;
    q.help = help;
    q.id = nextQid_++;
    q.varStore = ids_.at(store_);
    q.offset = at ? *at : store_->Alloc(width);
    q.flags = qflags;
    if (maps) {
      int n = ++counters_[prefix];
      wchar_t buffer[16];
      std::swprintf(buffer, 16, L"%0*d", digits, n);
      q.map = prefix + buffer;
    }
    return q;
  }

  Store* store_ = nullptr;
  std::map<const Store*, uint16_t> ids_;
  uint16_t nextQid_ = 1;
  std::map<std::wstring, int> counters_;
};

// Strings every list starts with and the packages' encodings: English with one STRING_UCS2
// block per string (or, with englishRuns, STRINGS_UCS2 runs), "x-Vorn" with SKIP1 gaps,
// "x-UEFI-Vorn" with SKIP2 gaps, so that the demo holds every block type readers accept.
void SetUpLanguages(PackageList& list, bool englishRuns = false) {
  uint16_t name = list.AddString(L"English");
  StringPackage& english = list.Language("en-US");
  english.languageName = name;
  english.skipStyle = SkipStyle::Skip2Only;
  english.useStringsRuns = englishRuns;
  list.SetString("x-Vorn", name, L"Vorn");
  list.Language("x-Vorn").languageName = name;
  list.Language("x-Vorn").useStringsRuns = true;
  list.SetString("x-UEFI-Vorn", name, L"UEFI Vorn");
  list.Language("x-UEFI-Vorn").languageName = name;
  list.Language("x-UEFI-Vorn").skipStyle = SkipStyle::Skip2Only;
}

// The device path package firmware adds to each list: one vendor hardware node and the end node.
void AddDevicePath(PackageList& list) {
  ByteWriter w;
  w.U8(0x01).U8(0x04).U16(20).Guid(kDevicePathVendor);  // hardware, vendor-defined
  w.U8(0x7F).U8(0xFF).U16(4);                            // end of the whole path
  list.AddPackage(package::kDevicePath, w.bytes());
}

// --------------------------------------------------------------------------------------------

void BuildMain(PackageList& list, Store& setup, Store& service) {
  Forms& f = list.AddForms();
  SetUpLanguages(list, true);
  Writer w(f);
  w.Begin(kMainFormSet, L"Main", L"System overview, date and time", 0x01, 0x00);
  w.Declare(setup, 1);
  w.Declare(service, 2);
  w.prefix = L"MAIN";

  f.Form(1, L"Main");
  f.Subtitle(L"System Information");
  f.Text(L"BIOS Version", L"Version of the system firmware", L"5.04.1140");
  f.Text(L"Build Date", L"Date the firmware was built", L"03/15/2024");
  f.Text(L"Processor", L"Installed processor", L"Demo 16-Core Processor @ 2.40 GHz");
  f.Text(L"Total Memory", L"Installed system memory", L"65536 MB (DDR4)");
  f.Subtitle(L"");
  w.ClockDate(L"System Date", L"Set the date. Use Tab to switch between date elements.");
  w.ClockTime(L"System Time", L"Set the time. Use Tab to switch between time elements.", flags::kStorageTime);
  w.Use(setup);
  w.OneOf(L"Setup Mode", L"Choose how much of Setup is shown", Choices({L"Standard", L"Advanced"}, 0), 1);
  w.Numeric(L"Setup Idle Timeout", L"Minutes before Setup returns to the main page.\nZero disables the timeout.",
            1, 0, 60, 1, flags::kDisplayUintDec, 10, 0, 0);
  f.End();

  f.Form(2, L"Service Information");
  w.Use(service);
  w.prefix = L"SVC";
  f.Subtitle(L"Service Records");
  w.String(L"Asset Tag", L"Asset tag of this system, up to 16 characters", 0, 16, L"KST-0042");
  // A location holding a character outside printable ASCII.
  w.String(L"System Location", L"Where the system is installed", 0, 24, L"Lab Caf\u00e9 Rack 7");
  w.String(L"Service Contact", L"Name of the person responsible for this system", 0, 32, L"");
  w.Date(L"Last Service Date", L"Date of the last maintenance", 2024, 3, 15);
  w.Time(L"Last Service Time", L"Time of the last maintenance", 14, 30, 5);
  w.Date(L"Warranty End Date", L"End of the hardware warranty", 2027, 1, 31);
  w.ClockTime(L"Scheduled Wake Time", L"Time at which the system wakes up", flags::kStorageWakeup);
  w.Numeric(L"Service Interval (days)", L"Days between two maintenance visits", 2, 30, 730, 1,
            flags::kDisplayUintDec, 180, 365, 365);
  f.End();

  f.EndAll();
  AddDevicePath(list);
}

void BuildAdvanced(PackageList& list, Store& setup) {
  Forms& f = list.AddForms();
  SetUpLanguages(list);
  Writer w(f);
  w.Begin(kAdvancedFormSet, L"Advanced", L"Processor, memory, devices and power", 0x02, 0x00);
  w.Declare(setup, 1);
  w.Use(setup);

  // Form ids.
  constexpr uint16_t kTop = 0x1000, kCpu = 0x1001, kPower = 0x1002, kMemory = 0x1003, kPcie = 0x1004,
                     kSata = 0x1005, kUsb = 0x1006, kNetwork = 0x1007, kThermal = 0x1008, kSerial = 0x1009,
                     kDebug = 0x100A, kRootPort = 0x1100;

  f.Form(kTop, L"Advanced");
  f.Subtitle(L"Advanced Settings");
  f.Subtitle(L"WARNING: Setting wrong values below may cause\nthe system to malfunction.");
  w.Goto(kCpu, L"CPU Configuration", L"Processor features");
  w.Goto(kPower, L"Power & Performance", L"Processor power management");
  w.Goto(kMemory, L"Memory Configuration", L"Memory controller and DIMM settings");
  w.Goto(kPcie, L"PCI Express Configuration", L"Root port settings");
  w.Goto(kSata, L"SATA Configuration", L"SATA controller and ports");
  w.Goto(kUsb, L"USB Configuration", L"USB controller and ports");
  w.Goto(kNetwork, L"Network Stack Configuration", L"UEFI network stack");
  w.Goto(kThermal, L"Thermal & Fan Control", L"Temperature limits and fans");
  w.Goto(kSerial, L"Serial Port Console Redirection", L"Console redirection settings");
  w.prefix = L"ADV";
  Ref debugMode = w.OneOf(L"Debug Mode", L"Shows the debug settings page when enabled", Choices(kDisabledEnabled, 0), 0);
  // The debug page is reached only through this REF, hidden while Debug Mode is Disabled.
  f.SuppressIf(Expr::EqIdVal(debugMode.id, 0));
  w.Goto(kDebug, L"Debug Settings", L"Firmware debug options");
  f.End();
  f.End();

  // CPU configuration.
  f.Form(kCpu, L"CPU Configuration");
  w.prefix = L"PROC";
  f.Subtitle(L"Processor Features");
  Ref ht = w.OneOf(L"Hyper-Threading",
                   L"Enables or disables Hyper-Threading.\nWhen disabled, only one thread per enabled core is exposed.",
                   Choices(kDisabledEnabled, 1), 1, 1, {}, {}, flags::kResetRequired);
  w.OneOf(L"Active Processor Cores", L"Number of cores to enable in each processor package",
          Values({{0, L"All"}, {1, L"1"}, {2, L"2"}, {4, L"4"}, {8, L"8"}, {12, L"12"}}, 0), 0, 1, {}, {},
          flags::kResetRequired);
  w.OneOf(L"Virtualization Technology", L"Hardware assistance for virtual machine monitors",
          Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"Execute Disable Bit", L"Prevents code execution from data pages", Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"Hardware Prefetcher", L"Prefetches data from memory to the L2 cache", Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"Adjacent Cache Line Prefetch", L"Fetches the adjacent cache line with each request",
          Choices(kDisabledEnabled, 1), 0);
  w.OneOf(L"AES Instructions", L"Hardware AES instruction support", Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"Machine Check", L"Machine check exception reporting", Choices(kDisabledEnabled, 1), 1);
  w.Checkbox(L"Processor Trace", L"Reserves memory for processor trace output", false, false);
  f.Subtitle(L"Per-Core Control");
  for (int core = 0; core < 16; ++core) {
    w.Checkbox(L"Core " + std::to_wstring(core) + L" Enable",
               L"Enables core " + std::to_wstring(core) + L" of the processor package", core != 13, true);
  }
  f.End();

  // Power and performance: conditions that depend on current values.
  f.Form(kPower, L"Power & Performance");
  w.prefix = L"PWR";
  f.Subtitle(L"Processor Power Management");
  // Shares its storage with Hyper-Threading on the CPU page.
  w.OneOf(L"Hyper-Threading", L"Same setting as on the CPU Configuration page", Choices(kDisabledEnabled, 1), 1, 1,
          ht.offset);
  Ref speedStep = w.OneOf(L"Enhanced SpeedStep", L"Lets the operating system change the processor frequency",
                          Choices(kDisabledEnabled, 1), 1);
  Ref turbo = w.OneOf(L"Turbo Mode", L"Allows cores to run above the base frequency", Choices(kDisabledEnabled, 1), 0);
  f.GrayOutIf(Or(Expr::EqIdVal(turbo.id, 0), Expr::EqIdVal(speedStep.id, 0)));
  for (int cores = 1; cores <= 8; ++cores) {
    w.Numeric(L"Turbo Ratio Limit " + std::to_wstring(cores) + L" Core" + (cores > 1 ? L"s" : L""),
              L"Highest ratio with " + std::to_wstring(cores) + L" active core(s)", 1, 8, 45, 1,
              flags::kDisplayUintDec, static_cast<uint64_t>(40 - cores), static_cast<uint64_t>(40 - cores),
              static_cast<uint64_t>(40 - cores));
  }
  w.OneOf(L"Energy Efficient Turbo", L"Lowers turbo frequency when it is not efficient", Choices(kDisabledEnabled, 1),
          1);
  f.End();
  Ref cstates = w.OneOf(L"C-States", L"Processor idle power states", Choices(kDisabledEnabled, 1), 0);
  f.SuppressIf(Expr::EqIdVal(cstates.id, 0));
  w.OneOf(L"C-State Limit", L"Deepest idle state a core may enter",
          Values({{0, L"C0/C1"}, {1, L"C1E"}, {3, L"C3"}, {6, L"C6"}, {7, L"C7"}, {0xFF, L"Auto"}}, 0xFF), 0xFF);
  w.OneOf(L"Package C-State Limit", L"Deepest idle state of the whole package",
          Values({{0, L"C0/C1"}, {2, L"C2"}, {6, L"C6 (non retention)"}, {7, L"C6 (retention)"}}, 2), 2);
  w.OneOf(L"C1E Support", L"Enhanced halt state", Choices(kDisabledEnabled, 1), 1);
  f.End();
  w.OneOf(L"Energy Performance Bias", L"Balance between power saving and performance",
          Values({{0, L"Performance"}, {4, L"Balanced Performance"}, {8, L"Balanced Power"}, {15, L"Power"}}, 4), 0);
  Ref pl1 = w.Numeric(L"Power Limit 1 (W)", L"Long-duration package power limit", 2, 35, 400, 1,
                      flags::kDisplayUintDec, 205, 205, 205);
  w.Numeric(L"Power Limit 2 (W)", L"Short-duration package power limit.\nMust not be lower than Power Limit 1.", 2,
            35, 500, 1, flags::kDisplayUintDec, 250, 250, 250,
            {{LessThan(Expr::This(), Expr::QuestionRef(pl1.id)), L"Power Limit 2 is lower than Power Limit 1"}});
  w.OneOf(L"Power Limit 1 Time Window", L"Time window of Power Limit 1 in seconds",
          Values({{1, L"1"}, {8, L"8"}, {28, L"28"}, {64, L"64"}, {128, L"128"}}, 28), 28);
  // Signed values of each width.
  w.Numeric(L"Core Voltage Offset (mV)", L"Offset added to the core voltage", 2, static_cast<uint16_t>(-250), 250, 5,
            flags::kDisplayIntDec, static_cast<uint16_t>(-50), 0, 0);
  w.Numeric(L"Fan Curve Bias", L"Shifts the fan curve down (negative) or up", 1, 0x80, 0x7F, 1,
            flags::kDisplayIntDec, 0xFF, 0, 0);
  w.Numeric(L"Clock Skew (ps)", L"Skew applied to the reference clock", 4, static_cast<uint32_t>(-5000), 5000, 100,
            flags::kDisplayIntDec, static_cast<uint32_t>(-1200), 0, 0);
  w.Numeric(L"Thermal Sensor Trim", L"Correction of the package temperature sensor", 8,
            static_cast<uint64_t>(-16), 16, 1, flags::kDisplayIntDec, static_cast<uint64_t>(-3), 0, 0);
  f.End();

  // Memory configuration.
  f.Form(kMemory, L"Memory Configuration");
  w.prefix = L"MEM";
  f.Subtitle(L"Memory Controller");
  w.OneOf(L"Memory Frequency", L"Maximum memory data rate",
          Values({{0, L"Auto"}, {2400, L"2400 MT/s"}, {2666, L"2666 MT/s"}, {2933, L"2933 MT/s"}, {3200, L"3200 MT/s"}}, 0),
          2933, 2);
  w.OneOf(L"Memory Refresh Rate", L"DRAM refresh interval", Values({{1, L"1x"}, {2, L"2x"}, {4, L"4x"}}, 1), 2);
  w.OneOf(L"ECC Support", L"Error correcting code", Choices(kDisabledEnabled, 1), 1);
  Ref scrub = w.OneOf(L"Patrol Scrub", L"Periodic scrubbing of all memory", Choices(kDisabledEnabled, 1), 1);
  // Tested through its lowest bit: a condition the registry cannot write as a dependency.
  f.GrayOutIf(Equal(BitwiseAnd(Expr::QuestionRef(scrub.id), Expr::Uint8(1)), Expr::Uint8(0)));
  w.Numeric(L"Patrol Scrub Interval (h)", L"Hours for one full pass of the patrol scrubber", 1, 1, 24, 1,
            flags::kDisplayUintDec, 24, 24, 24);
  f.End();
  w.OneOf(L"Memory Interleaving", L"How consecutive cache lines are spread",
          Values({{0, L"Auto"}, {1, L"1-way"}, {2, L"2-way"}, {4, L"4-way"}, {8, L"8-way"}}, 0), 0);
  f.Subtitle(L"Timings");
  const wchar_t* timings[] = {L"tCL", L"tRCD", L"tRP", L"tRAS", L"tRFC", L"tWR", L"tRTP", L"tFAW"};
  uint64_t timingValues[] = {22, 22, 22, 52, 560, 24, 12, 48};
  for (int i = 0; i < 8; ++i) {
    w.Numeric(std::wstring(L"DRAM ") + timings[i], std::wstring(L"Memory timing ") + timings[i] + L" in clocks (0 = Auto)",
              2, 0, 1023, 1, flags::kDisplayUintDec, timingValues[i], 0, 0);
  }
  f.Subtitle(L"DIMM Slots");
  const wchar_t* channels = L"ABCDEFGH";
  for (int ch = 0; ch < 8; ++ch) {
    for (int dimm = 0; dimm < 2; ++dimm) {
      std::wstring slot = std::wstring(L"Channel ") + channels[ch] + L" DIMM " + std::to_wstring(dimm);
      w.Checkbox(slot + L" Enable", L"Enables the DIMM in " + slot, !(ch == 5 && dimm == 1), true);
    }
  }
  f.End();

  // PCI Express: a page per root port.
  f.Form(kPcie, L"PCI Express Configuration");
  w.prefix = L"PCIE";
  w.OneOf(L"PCIe Spread Spectrum Clocking", L"Spread spectrum for the PCIe reference clock", Choices(kDisabledEnabled, 0),
          0);
  w.OneOf(L"Above 4G Decoding", L"Allows 64-bit devices to be mapped above 4 GB", Choices(kDisabledEnabled, 1), 1);
  for (int port = 1; port <= 16; ++port) {
    w.Goto(static_cast<uint16_t>(kRootPort + port), L"Root Port " + std::to_wstring(port),
           L"Settings of root port " + std::to_wstring(port));
  }
  f.End();
  for (int port = 1; port <= 16; ++port) {
    std::wstring name = L"Root Port " + std::to_wstring(port);
    f.Form(static_cast<uint16_t>(kRootPort + port), name);
    bool enabled = port < 5 || port > 8;
    Ref enable = w.Checkbox(name + L" Enable", L"Enables " + name, enabled, true);
    f.GrayOutIf(Expr::EqIdVal(enable.id, 0));
    w.OneOf(name + L" Link Speed", L"Maximum link speed of " + name,
            Choices({L"Auto", L"Gen1", L"Gen2", L"Gen3", L"Gen4"}, 0), port == 3 ? 3 : 0);
    w.OneOf(name + L" ASPM", L"Active state power management of " + name,
            Choices({L"Disabled", L"L0s", L"L1", L"L0s and L1", L"Auto"}, 4), 4);
    w.OneOf(name + L" Max Payload", L"Maximum payload size of " + name,
            Values({{0, L"128 Bytes"}, {1, L"256 Bytes"}, {2, L"512 Bytes"}, {7, L"Auto"}}, 7), 7);
    w.Checkbox(name + L" Hot Plug", L"Hot plug support on " + name, port > 12, false);
    f.End();
    f.End();
  }

  // SATA.
  f.Form(kSata, L"SATA Configuration");
  w.prefix = L"SATA";
  Ref sata = w.OneOf(L"SATA Controller", L"Enables the SATA controller", Choices(kDisabledEnabled, 1), 1);
  Ref sataMode = w.OneOf(L"SATA Mode", L"Operating mode of the SATA controller", Choices({L"AHCI", L"RAID"}, 0), 0);
  f.SuppressIf(Expr::EqIdVal(sata.id, 0));
  for (int port = 0; port < 8; ++port) {
    std::wstring name = L"SATA Port " + std::to_wstring(port);
    w.Checkbox(name, L"Enables " + name, port != 7, true);
    w.Checkbox(name + L" Hot Plug", L"Hot plug support on " + name, false, false);
    w.Checkbox(name + L" Spin Up Device", L"Staggered spin-up of the device on " + name, port == 0, false);
  }
  f.End();
  f.SuppressIf(Or(Expr::EqIdVal(sata.id, 0), Not(Expr::EqIdVal(sataMode.id, 1))));
  w.OneOf(L"RAID Option ROM", L"Loads the RAID configuration utility", Choices({L"Legacy", L"UEFI"}, 1), 1);
  f.End();
  f.End();

  // USB.
  f.Form(kUsb, L"USB Configuration");
  w.prefix = L"USB";
  Ref legacyUsb = w.OneOf(L"Legacy USB Support", L"USB keyboards and storage before an operating system loads",
                         Choices({L"Enabled", L"Disabled", L"Auto"}, 0), 0);
  w.OneOf(L"XHCI Hand-off", L"Hands the controller to the operating system", Choices(kDisabledEnabled, 1), 1);
  Ref massStorage = w.OneOf(L"USB Mass Storage Driver Support", L"Boot from USB storage", Choices(kDisabledEnabled, 1), 1);
  w.Numeric(L"USB Transfer Timeout (s)", L"Timeout of control, bulk and interrupt transfers", 1, 1, 20, 1,
            flags::kDisplayUintDec, 20, 20, 20);
  w.Numeric(L"Device Reset Timeout (s)", L"Seconds to wait for a mass storage device to start", 1, 10, 40, 10,
            flags::kDisplayUintDec, 20, 20, 20);
  for (int port = 1; port <= 12; ++port) {
    // Ports 9 to 12 are hidden while neither legacy support nor the mass storage driver is on.
    if (port == 9)
      f.SuppressIf(And(Or(Expr::EqIdVal(legacyUsb.id, 1), Expr::EqIdVal(legacyUsb.id, 2)),
                       Expr::EqIdVal(massStorage.id, 0)));
    w.Checkbox(L"USB Port " + std::to_wstring(port), L"Enables USB port " + std::to_wstring(port), port != 9, true);
  }
  f.End();
  f.End();

  // Network stack.
  f.Form(kNetwork, L"Network Stack Configuration");
  w.prefix = L"NET";
  Ref net = w.OneOf(L"Network Stack", L"UEFI network stack for PXE and HTTP boot", Choices(kDisabledEnabled, 1), 1);
  f.SuppressIf(Expr::EqIdValList(net.id, {0}));
  w.OneOf(L"IPv4 PXE Support", L"PXE boot over IPv4", Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"IPv6 PXE Support", L"PXE boot over IPv6", Choices(kDisabledEnabled, 1), 0);
  w.OneOf(L"IPv4 HTTP Support", L"HTTP boot over IPv4", Choices(kDisabledEnabled, 0), 0);
  w.OneOf(L"IPv6 HTTP Support", L"HTTP boot over IPv6", Choices(kDisabledEnabled, 0), 0);
  w.Numeric(L"PXE Boot Wait Time", L"Seconds to wait for Esc before PXE boot", 1, 0, 5, 1, flags::kDisplayUintDec, 0,
            0, 0);
  w.Numeric(L"Media Detect Count", L"Number of times to check for media", 1, 1, 50, 1, flags::kDisplayUintDec, 1, 1,
            1);
  f.End();
  f.End();

  // Thermal and fans.
  f.Form(kThermal, L"Thermal & Fan Control");
  w.prefix = L"THRM";
  Ref tempLimit = w.Numeric(L"CPU Temperature Limit (\u00b0C)", L"Package temperature at which the processor throttles",
                            1, 60, 105, 1, flags::kDisplayUintDec, 95, 100, 100);
  // At the highest limits the fans run by the firmware's own table.
  f.GrayOutIf(GreaterEqual(Expr::QuestionRef(tempLimit.id), Expr::Uint8(100)));
  w.OneOf(L"Fan Profile", L"Overall cooling policy",
          Choices({L"Acoustic", L"Standard", L"Performance", L"Full Speed"}, 1), 2);
  f.End();
  for (int fan = 1; fan <= 6; ++fan) {
    std::wstring name = L"Fan " + std::to_wstring(fan);
    Ref mode = w.OneOf(name + L" Mode", L"Control mode of " + name, Choices({L"Auto", L"Manual", L"Off"}, 0),
                       fan == 4 ? 1 : 0);
    f.GrayOutIf(NotEqual(Expr::QuestionRef(mode.id), Expr::Uint8(1)));
    w.Numeric(name + L" Duty Cycle (%)", L"Fixed duty cycle of " + name + L" in manual mode", 1, 20, 100, 5,
              flags::kDisplayUintDec, 60, 60, 100);
    f.End();
  }
  f.End();

  // Serial console.
  f.Form(kSerial, L"Serial Port Console Redirection");
  w.prefix = L"COM";
  Ref redirect = w.OneOf(L"Console Redirection", L"Redirects the console to the serial port", Choices(kDisabledEnabled, 0),
                         1);
  f.SuppressIf(Not(Expr::EqIdVal(redirect.id, 1)));
  w.OneOf(L"Terminal Type", L"Emulation: ANSI (extended ASCII), VT100 (ASCII), VT100+ (color),\nVT-UTF8 (UTF-8)",
          Choices({L"VT100", L"VT100+", L"VT-UTF8", L"ANSI"}, 3), 3);
  w.OneOf(L"Bits per second", L"Serial port transmission speed",
          Values({{9600, L"9600"}, {19200, L"19200"}, {38400, L"38400"}, {57600, L"57600"}, {115200, L"115200"}}, 115200),
          115200, 4);
  w.OneOf(L"Data Bits", L"Data bits per character", Values({{7, L"7"}, {8, L"8"}}, 8), 8);
  w.OneOf(L"Parity", L"Parity bit", Choices({L"None", L"Even", L"Odd", L"Mark", L"Space"}, 0), 0);
  w.OneOf(L"Stop Bits", L"Stop bits after each character", Values({{1, L"1"}, {2, L"2"}}, 1), 1);
  w.OneOf(L"Flow Control", L"Flow control of the serial line", Choices({L"None", L"Hardware RTS/CTS"}, 0), 0);
  f.End();
  f.End();

  // Debug settings, reached only through the hidden REF.
  f.Form(kDebug, L"Debug Settings");
  w.prefix = L"DBG";
  w.OneOf(L"Debug Port", L"Output of firmware debug messages", Choices({L"None", L"Serial", L"USB"}, 0), 1);
  w.Numeric(L"Debug Print Level", L"Mask of enabled debug message levels", 4, 0, 0xFFFFFFFF, 0,
            flags::kDisplayUintHex, 0x80000042, 0x80000042, 0x80000042);
  w.Numeric(L"Debug Trace Mask", L"Mask of traced firmware modules", 8, 0, ~0ull, 0, flags::kDisplayUintHex,
            0x00FF00000000F00Full, 0, 0);
  f.End();

  f.EndAll();
  AddDevicePath(list);
}

// Where two questions of the chipset form set keep their values, for the mailbox driver's data.
struct ChipsetRefs {
  Ref acPowerLoss;  // "Restore AC Power Loss"
  Ref watchdog;     // "Watchdog Timeout (s)"
};

void BuildChipset(PackageList& list, Store& chipset, ChipsetRefs* refs = nullptr) {
  Forms& f = list.AddForms();
  SetUpLanguages(list, true);
  Writer w(f);
  w.Begin(kChipsetFormSet, L"Chipset", L"North bridge, south bridge and graphics", 0x03, 0x00);
  w.Declare(chipset, 3);
  w.Use(chipset);
  constexpr uint16_t kTop = 0x2000, kNorth = 0x2001, kSouth = 0x2002, kGraphics = 0x2003;

  f.Form(kTop, L"Chipset");
  w.Goto(kNorth, L"North Bridge", L"Memory map and I/O virtualization");
  w.Goto(kSouth, L"South Bridge", L"Power, wake and legacy devices");
  w.Goto(kGraphics, L"Graphics Configuration", L"Integrated and add-in graphics");
  f.End();

  f.Form(kNorth, L"North Bridge");
  w.prefix = L"NB";
  Ref above4g = w.OneOf(L"Above 4GB MMIO BIOS Assignment", L"Maps 64-bit device memory above 4 GB",
                        Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"Re-Size BAR Support", L"Lets devices request larger memory windows", Choices(kDisabledEnabled, 0), 1);
  w.OneOf(L"SR-IOV Support", L"Single root I/O virtualization", Choices(kDisabledEnabled, 1), 1);
  Ref iommu = w.OneOf(L"IOMMU", L"I/O memory management unit", Choices(kDisabledEnabled, 1), 1);
  // DMA protection works through the IOMMU.
  f.DisableIf(Expr::EqIdVal(iommu.id, 0));
  w.OneOf(L"DMA Protection", L"Blocks device DMA until the operating system takes over", Choices(kDisabledEnabled, 0),
          0);
  f.End();
  w.OneOf(L"MMIO High Base", L"Base address of the 64-bit MMIO window",
          Values({{0x4000000000ull, L"256G"}, {0x10000000000ull, L"1T"}, {0x80000000000ull, L"8T"},
                  {0x200000000000ull, L"32T"}},
                 0x10000000000ull),
          0x10000000000ull, 8);
  w.OneOf(L"MMIO High Granularity", L"Size of each 64-bit MMIO allocation",
          Values({{1, L"1G"}, {4, L"4G"}, {16, L"16G"}, {64, L"64G"}, {256, L"256G"}}, 16), 16, 2);
  w.Numeric(L"PCI MMIO Low Base", L"Start of the 32-bit MMIO window", 4, 0x80000000, 0xE0000000, 0x10000000,
            flags::kDisplayUintHex, 0xC0000000, 0xC0000000, 0xC0000000);
  w.Numeric(L"PCI Segment Count", L"Number of PCI segments", 1, 1, 8, 1, flags::kDisplayUintDec, 1, 1, 1);
  f.End();

  f.Form(kSouth, L"South Bridge");
  w.prefix = L"SB";
  // Holds 3, which none of the options has.
  Ref acPowerLoss = w.OneOf(L"Restore AC Power Loss", L"State of the system after power returns",
                            Choices({L"Power Off", L"Power On", L"Last State"}, 0), 3);
  if (refs) refs->acPowerLoss = acPowerLoss;
  w.OneOf(L"Wake on LAN", L"Wake up on a magic packet", Choices(kDisabledEnabled, 1), 1);
  Ref rtcWake = w.OneOf(L"Wake on RTC", L"Wake up at a fixed time every day", Choices(kDisabledEnabled, 0), 0);
  f.SuppressIf(Expr::EqIdVal(rtcWake.id, 0));
  w.Numeric(L"Wake Hour", L"Hour of the daily wake up", 1, 0, 23, 1, flags::kDisplayUintDec, 6, 0, 0);
  w.Numeric(L"Wake Minute", L"Minute of the daily wake up", 1, 0, 59, 1, flags::kDisplayUintDec, 30, 0, 0);
  f.End();
  w.OneOf(L"Deep Sleep", L"Lowest power state while off", Choices({L"Disabled", L"Enabled in S5", L"Enabled in S4 and S5"}, 0),
          0);
  w.OneOf(L"High Precision Timer", L"HPET support", Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"SMBus Controller", L"System management bus controller", Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"Serial IRQ Mode", L"Mode of the serial interrupt line", Choices({L"Quiet", L"Continuous"}, 1), 1);
  w.OneOf(L"Watchdog Timer", L"Restarts the system when the timer runs out", Choices(kDisabledEnabled, 0), 0);
  Ref timeout = w.Numeric(L"Watchdog Timeout (s)", L"Seconds before the watchdog restarts the system", 2, 60, 3600, 60,
                         flags::kDisplayUintDec, 600, 600, 600);
  if (refs) refs->watchdog = timeout;
  f.DisableIf(Expr::True());
  w.OneOf(L"Legacy 8254 Timer", L"Clock gating of the legacy timer", Choices(kDisabledEnabled, 0), 0);
  f.End();
  f.End();

  f.Form(kGraphics, L"Graphics Configuration");
  w.prefix = L"GFX";
  Ref igd = w.OneOf(L"Internal Graphics", L"Integrated graphics device", Choices({L"Auto", L"Disabled", L"Enabled"}, 0), 0);
  // The "Onboard" choice disappears when the integrated device is off.
  {
    Extra x;
    x.open = true;
    w.OneOf(L"Primary Display", L"Display device used during boot", {{0, L"Auto", kBothDefaults}, {2, L"PCIe"}}, 0, 1,
            {}, x);
    f.SuppressIf(Expr::EqIdVal(igd.id, 1));
    f.Option({1, L"Onboard"});
    f.End();
    f.End();
  }
  w.OneOf(L"DVMT Pre-Allocated", L"Memory reserved for the integrated graphics",
          Values({{1, L"32M"}, {2, L"64M"}, {4, L"128M"}, {8, L"256M"}}, 2), 2);
  w.OneOf(L"Aperture Size", L"Graphics aperture", Values({{0, L"128MB"}, {1, L"256MB"}, {3, L"512MB"}}, 1), 1);
  // Shares its storage with "Above 4GB MMIO BIOS Assignment" on the North Bridge page.
  w.OneOf(L"Above 4G Decoding", L"Same setting as on the North Bridge page", Choices(kDisabledEnabled, 1), 1, 1,
          above4g.offset);
  f.End();

  f.EndAll();
  AddDevicePath(list);
}

void BuildSecurity(PackageList& list, Store& security) {
  Forms& f = list.AddForms();
  SetUpLanguages(list);
  Writer w(f);
  w.Begin(kSecurityFormSet, L"Security", L"Passwords, secure boot and TPM", 0x04, 0x00);
  w.Declare(security, 4);
  w.Use(security);
  w.prefix = L"SEC";

  f.Form(0x3000, L"Security");
  f.Subtitle(L"Password Description");
  f.Text(L"If ONLY the Administrator's password is set, then this only limits access to Setup.",
         L"", L"");
  f.Text(L"Administrator Password Status", L"", L"Not Installed");
  w.Password(L"Administrator Password", L"Set the administrator password (8 to 20 characters)", 8, 20);
  w.Password(L"User Password", L"Set the user password (8 to 20 characters)", 8, 20);
  w.OneOf(L"Password Check", L"When the password is asked for", Choices({L"Setup", L"Always"}, 0), 0);
  w.Numeric(L"Password Expiry (days)", L"Days before a password must be changed.\n0 means it never expires.", 2, 0,
            365, 1, flags::kDisplayUintDec, 90, 0, 0);
  f.Subtitle(L"Secure Boot");
  Ref secureBoot = w.OneOf(L"Secure Boot", L"Only boots images signed with enrolled keys", Choices(kDisabledEnabled, 1), 1,
                           1, {}, {}, flags::kResetRequired);
  f.SuppressIf(Expr::EqIdVal(secureBoot.id, 0));
  w.OneOf(L"Secure Boot Mode", L"Standard uses the factory keys; Custom lets you manage keys",
          Choices({L"Standard", L"Custom"}, 0), 1);
  f.End();
  w.Action(L"Restore Factory Keys", L"Replaces all keys with the factory keys");
  f.Subtitle(L"Trusted Computing");
  w.OneOf(L"TPM Device", L"Trusted platform module", Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"TPM State", L"Whether the TPM is active", Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"Pending Operation", L"Operation performed on the next boot", Choices({L"None", L"TPM Clear"}, 0), 0);
  w.OneOf(L"Platform Hierarchy", L"Platform hierarchy of the TPM", Choices(kDisabledEnabled, 1), 1);
  w.OrderedList(L"PCR Bank Priority", L"Order in which PCR banks are activated",
                {{1, L"SHA-1"}, {2, L"SHA-256"}, {3, L"SHA-384"}}, type::kNum8, {2, 3, 1});
  f.Subtitle(L"Chassis");
  // No map strings for these two: exported only with /a when map strings are asked for.
  w.maps = false;
  w.OneOf(L"Chassis Intrusion", L"Reports opening of the chassis", Choices(kDisabledEnabled, 1), 1);
  w.String(L"Owner Name", L"Name of the system owner", 0, 20, L"Kestrel Test Lab");
  w.maps = true;
  w.OneOf(L"Intrusion Action", L"What happens when the chassis was opened",
          Choices({L"Log Only", L"Halt", L"Require Password"}, 0), 0);
  f.End();

  f.EndAll();
  AddDevicePath(list);
}

void BuildBoot(PackageList& list, Store& boot) {
  // The boot form set's map strings exist only in "x-UEFI-Vorn".
  list.mapLanguages = {"x-UEFI-Vorn"};
  Forms& f = list.AddForms();
  SetUpLanguages(list);
  Writer w(f);
  w.Begin(kBootFormSet, L"Boot", L"Boot order and boot behavior", 0x05, 0x00);
  w.Declare(boot, 5);
  w.Use(boot);
  w.prefix = L"BOOT";

  f.Form(0x4000, L"Boot");
  f.Subtitle(L"Boot Configuration");
  w.Numeric(L"Setup Prompt Timeout", L"Seconds to wait for the Setup key.\n65535 waits indefinitely.", 2, 0, 65535, 1,
            flags::kDisplayUintDec, 5, 1, 1);
  w.OneOf(L"Bootup NumLock State", L"Keyboard NumLock state after boot", Choices({L"On", L"Off"}, 0), 1);
  w.prefix = L"QBOOT";
  w.digits = 2;
  Ref quiet = w.OneOf(L"Quiet Boot", L"Enables or disables the boot logo", Choices(kDisabledEnabled, 0), 1);
  w.OneOf(L"Full Screen Logo", L"Shows the logo over the whole screen (same as Quiet Boot)",
          Choices(kDisabledEnabled, 0), 1, 1, quiet.offset);
  w.prefix = L"BOOT";
  w.digits = 3;
  w.OneOf(L"Fast Boot", L"Skips device checks that are not needed to boot", Choices(kDisabledEnabled, 0), 0);
  w.OneOf(L"Boot Mode Select", L"Firmware interface used to boot", Choices({L"UEFI", L"Dual"}, 0), 0);
  w.OneOf(L"Wait For F1 If Error", L"Waits for F1 after an error during boot", Choices(kDisabledEnabled, 1), 1);
  w.OneOf(L"Boot Option Retry", L"Retries the boot options until one boots", Choices(kDisabledEnabled, 0), 0);
  w.Numeric(L"Network Boot Retry Count", L"Retries of network boot before the next option", 1, 0, 50, 1,
            flags::kDisplayUintDec, 3, 3, 3);
  f.Subtitle(L"Boot Priorities");
  w.OrderedList(L"Boot Device Class Order", L"Order of device classes tried during boot",
                {{1, L"Hard Disk"}, {2, L"USB"}, {3, L"Network"}, {4, L"Optical"}}, type::kNum8, {2, 1, 3, 4});
  w.OrderedList(L"Boot Option Priorities", L"Order of the boot options",
                {{0x0000, L"UEFI: NVMe SSD"}, {0x0001, L"UEFI: PXE IPv4 Onboard NIC"}, {0x0002, L"UEFI: USB Flash Drive"},
                 {0x0003, L"UEFI: Built-in Shell"}},
                type::kNum16, {0x0000, 0x0002, 0x0001, 0x0003});
  f.End();

  f.EndAll();
  AddDevicePath(list);
}

// The boot manager's load options, boot order and legacy groups.
struct LoadOption {
  uint16_t number;
  const char* name;          // as the variable is named (one with lower-case hexadecimal digits)
  std::u16string description;
  std::optional<uint16_t> bbsType;  // a legacy option: BBS device path of that device type
};

const LoadOption kLoadOptions[] = {
    {0x0000, "Boot0000", u"UEFI: NVMe SSD", std::nullopt},
    {0x0001, "Boot0001", u"UEFI: PXE IPv4 Onboard NIC", std::nullopt},
    {0x0002, "Boot0002", u"SATA HDD: Legacy Disk", 0x02},
    {0x000A, "Boot000a", u"UEFI: Built-in Shell", std::nullopt},
};
const uint16_t kBootOrder[] = {0x0000, 0x0002, 0x0001, 0x000A};

// EFI_LOAD_OPTION: attributes (active), device path length, description, device path.
std::vector<uint8_t> LoadOptionBytes(const LoadOption& o) {
  ByteWriter path;
  if (o.bbsType) {
    const char text[] = "Legacy Disk";
    path.U8(0x05).U8(0x01).U16(static_cast<uint16_t>(8 + sizeof text)).U16(*o.bbsType).U16(0);
    for (char c : text) path.U8(static_cast<uint8_t>(c));
  } else {
    path.U8(0x01).U8(0x04).U16(20).Guid(kDevicePathVendor);
  }
  path.U8(0x7F).U8(0xFF).U16(4);
  ByteWriter w;
  w.U32(1).U16(static_cast<uint16_t>(path.bytes().size()));
  for (char16_t c : o.description) w.U16(c);
  w.U16(0);
  std::vector<uint8_t> out = w.bytes();
  out.insert(out.end(), path.bytes().begin(), path.bytes().end());
  return out;
}

// LegacyDevOrder: hard drives (two devices) and USB (the second one disabled).
std::vector<uint8_t> LegacyDevOrderBytes() {
  ByteWriter w;
  w.U32(0x02).U16(6).U16(0x0000).U16(0x0001);
  w.U32(0x05).U16(6).U16(0x0002).U16(0xFF03);
  return w.bytes();
}

void BuildBootManager(PackageList& list) {
  list.mapLanguages = {"x-UEFI-Vorn"};
  Forms& f = list.AddForms();
  SetUpLanguages(list);
  f.FormSet(kBootManagerFormSet, L"Boot Manager", L"Boot options, their order and the languages");
  f.ClassAndSubclass(0x05, 0x01);
  f.DefaultStore(L"Standard Default", kDefaultStandard);
  f.DefaultStore(L"Manufacture Default", kDefaultManufacturing);
  const uint32_t bsRt = attr::kBootService | attr::kRuntime;
  // The variables the questions store in, and the marker varstores of the special questions.
  f.VarStoreEfi(0x10, kes::guids::kGlobalVariable, "Lang", 3);
  f.VarStoreEfi(0x11, kes::guids::kGlobalVariable, "PlatformLang", 6);
  f.VarStoreEfi(0x12, kes::guids::kGlobalVariable, "BootOrder", static_cast<uint16_t>(2 * std::size(kBootOrder)));
  f.VarStoreEfi(0x13, kLegacyDevOrderGuid, "LegacyDevOrder", static_cast<uint16_t>(LegacyDevOrderBytes().size()));
  f.VarStoreEfi(0x20, kes::guids::kGlobalVariable, "LangCodes", 10, bsRt);
  f.VarStoreEfi(0x21, kes::guids::kGlobalVariable, "PlatformLangCodes", 18, bsRt);
  f.VarStoreEfi(0x22, kBootManagerMarkGuid, "BootManager", 2);
  f.VarStoreEfi(0x23, kLegacyDevOrderGuid, "LegacyGroup", 2);

  f.Form(0x5000, L"Boot Manager");
  // Hidden actions on the marker varstores: a condition testing one of them against 0xFFFF
  // marks the question it guards as that special control.
  const uint16_t markLang = 0x7001, markPlatformLang = 0x7002, markBoot = 0x7003, markLegacy = 0x7004;
  f.SuppressIf(Expr::True());
  f.Action(Q{.prompt = L"", .help = L"", .id = markLang, .varStore = 0x20, .offset = 0});
  f.Action(Q{.prompt = L"", .help = L"", .id = markPlatformLang, .varStore = 0x21, .offset = 0});
  f.Action(Q{.prompt = L"", .help = L"", .id = markBoot, .varStore = 0x22, .offset = 0});
  f.Action(Q{.prompt = L"", .help = L"", .id = markLegacy, .varStore = 0x23, .offset = 0});
  f.End();

  f.Subtitle(L"Languages");
  f.SuppressIf(Expr::EqIdVal(markLang, 0xFFFF));
  f.OneOf(Q{.prompt = L"Language", .help = L"Language of the firmware's menus", .id = 0x6001, .varStore = 0x10,
            .offset = 0, .map = L"LANG001"},
          1, {{'e', L"English"}});
  f.End();
  f.SuppressIf(Expr::EqIdVal(markPlatformLang, 0xFFFF));
  f.OneOf(Q{.prompt = L"Platform Language", .help = L"Language of the platform's menus", .id = 0x6002,
            .varStore = 0x11, .offset = 0, .map = L"LANG002"},
          1, {{'e', L"English"}});
  f.End();

  f.Subtitle(L"Boot Order");
  std::vector<Opt> bootOptions;
  for (const LoadOption& o : kLoadOptions) bootOptions.push_back({o.number, std::wstring(o.description.begin(), o.description.end())});
  f.SuppressIf(Expr::EqIdVal(markBoot, 0xFFFF));
  f.OrderedList(Q{.prompt = L"Boot Option #%d", .help = L"Order in which the boot options are tried", .id = 0x6003,
                  .varStore = 0x12, .offset = 0, .map = L"BOOTORDER"},
                static_cast<uint8_t>(std::size(kBootOrder)), bootOptions, type::kNum16);
  f.End();
  f.SuppressIf(Expr::EqIdVal(markLegacy, 0xFFFF));
  f.OrderedList(Q{.prompt = L"Legacy Boot Priorities", .help = L"Order of the legacy devices of each type",
                  .id = 0x6004, .varStore = 0x13, .offset = 0, .map = L"LEGACYORDER"},
                4, {{0x0000, L"Device 0"}, {0x0001, L"Device 1"}, {0x0002, L"Device 2"}}, type::kNum16);
  f.End();
  f.End();

  f.EndAll();
  AddDevicePath(list);
}

void AddBootManagerVariables(std::vector<Variable>& vars) {
  std::vector<uint8_t> order;
  for (uint16_t n : kBootOrder) {
    order.push_back(static_cast<uint8_t>(n));
    order.push_back(static_cast<uint8_t>(n >> 8));
  }
  vars.push_back({"BootOrder", kes::guids::kGlobalVariable, attr::kNvBsRt, order});
  for (const LoadOption& o : kLoadOptions) vars.push_back({o.name, kes::guids::kGlobalVariable, attr::kNvBsRt, LoadOptionBytes(o)});
  vars.push_back({"LegacyDevOrder", kLegacyDevOrderGuid, attr::kNvBsRt, LegacyDevOrderBytes()});
}

// Variables outside the forms that firmware of this kind always has.
void AddGlobalVariables(std::vector<Variable>& vars) {
  // Sized once with its terminator (a push_back after the copy makes GCC 12 at -O2 warn about a
  // write past the end that cannot happen).
  auto ascii = [](std::string_view s) {
    std::vector<uint8_t> v(s.size() + 1, 0);
    std::copy(s.begin(), s.end(), v.begin());
    return v;
  };
  const uint32_t bsRt = attr::kBootService | attr::kRuntime;
  vars.push_back({"PlatformLangCodes", kes::guids::kGlobalVariable, bsRt, ascii("en-US;fr-FR;de-DE")});
  vars.push_back({"PlatformLang", kes::guids::kGlobalVariable, attr::kNvBsRt, ascii("en-US")});
  vars.push_back({"LangCodes", kes::guids::kGlobalVariable, bsRt, ascii("engfradeu")});
  vars.push_back({"Lang", kes::guids::kGlobalVariable, attr::kNvBsRt, {'e', 'n', 'g'}});
  vars.push_back({"Timeout", kes::guids::kGlobalVariable, attr::kNvBsRt, {5, 0}});
}

// "StdDefaults" and "MfgDefaults": NVAR stores (erased 0xFF) holding every varstore variable
// with its default values, written with the tool's own store writer.
void AddDefaultStores(std::vector<Variable>& vars, std::initializer_list<const Store*> stores) {
  struct Kind {
    const char* name;
    VarBuffer Store::*buffer;
  };
  for (Kind kind : {Kind{"StdDefaults", &Store::standard}, Kind{"MfgDefaults", &Store::manufacturing}}) {
    auto nvar = NvarStore::Open(std::vector<uint8_t>(0x2000, 0xFF), 1);
    if (!nvar) throw std::logic_error("cannot open a default store");
    for (const Store* s : stores) {
      std::u16string name(s->name.begin(), s->name.end());
      const std::vector<uint8_t>& bytes = (s->*kind.buffer).bytes();
      if (nvar->SetVariable(name, s->guid, attr::kNvBsRt, bytes) != efi::kSuccess)
        throw std::logic_error("default store too small for " + s->name);
    }
    vars.push_back({kind.name, nvar::kDefaultsGuid, attr::kNvBsRt, nvar->Buffer()});
  }
}

}  // namespace

EmulatorImage BuildDemoFirmware() {
  Store setup("Setup", kSetupGuid, 0x200, false);
  Store service("ServiceInfo", kServiceInfoGuid, 0xA0, true);
  Store chipset("ChipsetSetup", kChipsetGuid, 0x80, false);
  Store security("SecurityConfig", kSecurityGuid, 0xC0, true);
  Store boot("BootConfig", kBootGuid, 0x40, true);

  Database db;
  BuildMain(db.AddList(kMainFormSet), setup, service);
  BuildAdvanced(db.AddList(kAdvancedFormSet), setup);
  BuildChipset(db.AddList(kChipsetList), chipset);
  BuildSecurity(db.AddList(kSecurityFormSet), security);
  BuildBoot(db.AddList(kBootFormSet), boot);
  BuildBootManager(db.AddList(kBootManagerFormSet));

  EmulatorImage image;
  image.hii = db.Bytes();
  image.fidt = SupportedFidtTable();
  for (const Store* s : {&setup, &service, &chipset, &security, &boot}) image.variables.push_back(s->ToVariable());
  AddGlobalVariables(image.variables);
  AddBootManagerVariables(image.variables);
  AddDefaultStores(image.variables, {&setup, &service, &chipset, &security, &boot});
  image.config =
      "# Demo firmware for kestrel-fwemu, generated at build time by kestrel-mkdemo.\n"
      "# Every setting keeps the emulator's default; see kestrel-fwemu(8) for the keys.\n";
  return image;
}

namespace {

// The package list without its device path package.
ByteVector WithoutDevicePath(const ByteVector& list, const EfiGuid& guid) {
  // Package list header: GUID and 32-bit length; each package: 24-bit length and type.
  ByteVector packages;
  for (size_t off = 20; off + 4 <= list.size();) {
    size_t length = list[off] | list[off + 1] << 8 | list[off + 2] << 16;
    if (length < 4 || off + length > list.size()) throw std::logic_error("malformed demo package list");
    if (list[off + 3] != package::kDevicePath) packages.insert(packages.end(), list.begin() + off, list.begin() + off + length);
    off += length;
  }
  return PackageListBytes(guid, packages);
}

}  // namespace

DriverFormSets BuildDriverFormSets() {
  Store chipset("ChipsetSetup", kChipsetGuid, 0x80, false);
  PackageList chipsetList(kChipsetList);
  ChipsetRefs refs;
  BuildChipset(chipsetList, chipset, &refs);
  PackageList bootManagerList(kBootManagerFormSet);
  BuildBootManager(bootManagerList);
  DriverFormSets sets{WithoutDevicePath(chipsetList.Bytes(), kChipsetList), chipset.ToVariable(),
                      {L"Watchdog Timeout (s)", refs.watchdog.offset, 2, 1800}};
  // A machine's variable holds values its Setup can show: the demo's Restore AC Power Loss of 3,
  // which no option has (a case for the emulator's tests), starts at Power Off here, so that an
  // unedited export of the real firmware imports without a finding.
  sets.variable.data.at(refs.acPowerLoss.offset) = 0;
  ByteVector bootManager = WithoutDevicePath(bootManagerList.Bytes(), kBootManagerFormSet);
  sets.packageLists.insert(sets.packageLists.end(), bootManager.begin(), bootManager.end());
  return sets;
}

}  // namespace kes::hiibuild
