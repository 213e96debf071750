// kestrel-fuzz-seeds OUTDIR: writes the seed corpus of every fuzz target into OUTDIR/<target>/
// from the project's own fixtures: the demo firmware (HII image, variables, default stores,
// identification table), the mailbox frames that serve its HII database and variable names, the
// scripts and raw-mode files exported from it, and a few command lines and password files.
#include <cstdio>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/le.h"
#include "base/run_state.h"
#include "base/text.h"
#include "firmware/mailbox.h"
#include "fuzz/fuzz_support.h"
#include "hii/evaluator.h"
#include "hii/hii_database.h"
#include "hii/setup_context.h"
#include "hii/strings.h"
#include "pldm/pldm.h"
#include "pldm/pldm_tables.h"
#include "raw/raw_mode.h"
#include "script/export.h"
#include "companions/attrs/journal.h"
#include "companions/attrs/journal_commands.h"
#include "companions/attrs/operations.h"
#include "companions/attrs/session.h"
#include "devtools/hiibuild/generators.h"

namespace {

using namespace kes;

std::string out;

void Seed(const std::string& target, const std::string& name, const std::vector<uint8_t>& bytes) {
  fuzz::WriteFile(out + "/" + target + "/" + name, bytes);
}
void Seed(const std::string& target, const std::string& name, const std::string& text) {
  Seed(target, name, std::vector<uint8_t>(text.begin(), text.end()));
}

std::string Export(const std::vector<uint8_t>& image, const fuzz::FirmwareRoot& root, bool lang) {
  RunState run;
  run.switches.Set(Switch::O);
  run.switches.Set(Switch::S);
  if (lang) run.switches.Set(Switch::Lang);
  FirmwareAccess fw = root.Access();
  const HiiDatabase database(image);
  const StringLookup strings(database, StringOptions::FromRun(run));
  Evaluator evaluator(database, strings, fw);
  evaluator.InitializeEvaluation();
  const SetupContext setup{run, fw, database, strings, &evaluator};
  fuzz::MemoryFile file;
  WriteScriptHeader(file.file, L"demo.txt");
  WriteChecksumLine(file.file, CalculateCrc32(image));
  ExportScriptTo(setup, file.file, nullptr, false);
  std::fflush(file.file);
  return std::string(file.data, file.size);
}

// The demo firmware's current values as kestrel-attrs get writes them.
std::string BiosDocument(const std::vector<uint8_t>& image, const fuzz::FirmwareRoot& root) {
  RunState run;
  FirmwareAccess fw = root.Access();
  const HiiDatabase database(image);
  const StringLookup strings(database, StringOptions{});
  const SetupContext setup{run, fw, database, strings, nullptr};
  std::vector<std::string> missing;
  return attrs::BuildBios(setup, {}, attrs::Defaults::None, missing).dump(2);
}

// Journal entries over the demo firmware offline, as a set and its rollback write them (in an
// earlier boot than the fuzz target's), and the set's entry as an interrupted run leaves it.
void JournalSeeds(const hiibuild::EmulatorImage& demo) {
  fuzz::ScratchDir dir("journal-seeds");
  fuzz::WriteFile(dir / "hii.bin", demo.hii);
  hiibuild::WriteVariableFiles(dir / "vars", demo.variables);
  std::string boot = "fuzz-boot-1\n";
  fuzz::WriteFile(dir / "boot_id", reinterpret_cast<const uint8_t*>(boot.data()), boot.size());
  attrs::Session session;
  attrs::SessionOptions open;
  open.hiiFile = dir / "hii.bin";
  open.varsDir = dir / "vars";
  if (!session.Open(open)) return;
  attrs::JournalOptions options;
  options.directory = dir / "journal";
  options.bootIdFile = dir / "boot_id";
  {
    attrs::JournalRecorder recorder(session.Setup(), options, "set");
    attrs::SetAttributes(session.Setup(), {{"MAIN002", attrs::Json(20)}, {"PROC001", attrs::Json("Disabled")}}, false,
                         false, true, &recorder.Observer());
  }
  attrs::RollbackEntry(session.Setup(), options, 1, false, false);
  attrs::Journal journal(options);
  for (uint64_t id : journal.Ids()) {
    std::string error;
    auto entry = journal.Read(id, error);
    if (!entry) continue;
    entry->id = 1;  // the target reads its input as entry 1
    Seed("journal_entry", NFormat("%s-%u.json", entry->command.c_str(), static_cast<unsigned>(id)),
         attrs::EntryToJson(*entry).dump(2));
    if (id == 1) {
      entry->complete = false;
      for (attrs::JournalVariable& v : entry->variables) v.after.reset();
      Seed("journal_entry", "interrupted.json", attrs::EntryToJson(*entry).dump(2));
    }
  }
}

// A response frame: header with ReturnValue 0 and the payload.
// The demo firmware's PLDM file, with /b (boot and legacy orders) or without; without its keyword
// table as a firmware without x-UEFI strings exports it (the import then goes by handle).
std::vector<uint8_t> PldmFile(const std::vector<uint8_t>& image, const fuzz::FirmwareRoot& root, bool withBoot,
                              bool keywords = true) {
  RunState run;
  run.switches.Set(Switch::O);
  run.switches.Set(Switch::P);
  if (withBoot) run.switches.Set(Switch::B);
  FirmwareAccess fw = root.Access();
  const HiiDatabase database(image);
  const StringLookup strings(database, StringOptions::FromRun(run));
  const SetupContext setup{run, fw, database, strings, nullptr};
  pldm::PldmTables tables;
  pldm::CreatePldmTables(setup, tables);
  if (!keywords) tables.keywords.clear();
  return pldm::AssemblePldmFile(tables);
}

std::vector<uint8_t> Frame(const EfiGuid& function, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame(mailbox::kHeaderBytes, 0);
  PutLe16(frame.data() + mailbox::kSizeOffset, mailbox::kFrameSize);
  PutLe16(frame.data() + mailbox::kVersionOffset, 8);
  auto guid = function.ToBytes();
  std::copy(guid.begin(), guid.end(), frame.begin() + mailbox::kFunctionGuidOffset);
  PutLe64(frame.data() + mailbox::kPayloadSizeOffset, payload.size());
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

void AppendFrame(std::vector<uint8_t>& input, const std::vector<uint8_t>& frame) {
  AppendLe16(input, static_cast<uint16_t>(frame.size()));
  input.insert(input.end(), frame.begin(), frame.end());
}

// The answers that serve `image` through the HII read, then `names` through the enumeration.
std::vector<uint8_t> MailboxSeed(const std::vector<uint8_t>& image, const std::vector<hiibuild::Variable>& names) {
  using namespace hii_read;
  std::vector<uint8_t> input;
  std::vector<uint8_t> payload(kDataOffset, 0);
  PutLe64(payload.data() + kLengthOffset, image.size());
  AppendFrame(input, Frame(kFunctionGuid, payload));
  size_t offset = 0;
  do {
    size_t n = std::min(image.size() - offset, kMaxChunk);
    std::vector<uint8_t> chunk(kDataOffset, 0);
    PutLe64(chunk.data() + kLengthOffset, n);
    PutLe64(chunk.data() + kOffsetOffset, offset);
    chunk.insert(chunk.end(), image.begin() + offset, image.begin() + offset + n);
    AppendFrame(input, Frame(kFunctionGuid, chunk));
    offset += n;
  } while (offset < image.size());
  for (const hiibuild::Variable& variable : names) {
    std::vector<uint8_t> answer(name_enumeration::kPayloadBytes, 0);
    PutLe64(answer.data() + name_enumeration::kLengthOffset, variable.name.size());
    auto guid = variable.guid.ToBytes();
    std::copy(guid.begin(), guid.end(), answer.begin() + name_enumeration::kGuidOffset);
    std::vector<uint8_t> units = WideToUtf16Bytes(ToWide(variable.name), false);
    std::copy(units.begin(), units.end(), answer.begin() + name_enumeration::kNameOffset);
    AppendFrame(input, Frame(name_enumeration::kFunctionGuid, answer));
  }
  std::vector<uint8_t> last(name_enumeration::kPayloadBytes, 0);
  PutLe64(last.data(), name_enumeration::kNoMoreVariables);
  AppendFrame(input, Frame(name_enumeration::kFunctionGuid, last));
  return input;
}

// Mailbox writes for the driver's target: each with its 16-bit length and an attribute byte.
std::vector<uint8_t> DriverSeed(const std::vector<std::vector<uint8_t>>& payloads, const std::vector<EfiGuid>& functions) {
  std::vector<uint8_t> input;
  for (size_t i = 0; i < payloads.size(); ++i) {
    std::vector<uint8_t> frame = Frame(functions[i], payloads[i]);
    PutLe16(frame.data() + mailbox::kReturnValueOffset, 0x8002);
    AppendLe16(input, static_cast<uint16_t>(frame.size()));
    input.push_back(7);
    input.insert(input.end(), frame.begin(), frame.end());
  }
  return input;
}

std::vector<uint8_t> Argv(std::initializer_list<const char*> words) {
  std::vector<uint8_t> bytes;
  for (const char* word : words) {
    if (!bytes.empty()) bytes.push_back(0);
    bytes.insert(bytes.end(), word, word + std::char_traits<char>::length(word));
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    PrintNarrow(Stream::Err, "usage: kestrel-fuzz-seeds OUTDIR\n");
    return 2;
  }
  out = argv[1];
  hiibuild::EmulatorImage demo = hiibuild::BuildDemoFirmware();
  fuzz::FirmwareRoot root("seeds");

  Seed("hii_database", "demo.bin", demo.hii);
  Seed("hii_database", "nested-conditions.bin", hiibuild::BuildNestedConditionsImage(6).hii);
  Seed("hii_database", "older-demo.bin", hiibuild::BuildOlderDemoFirmware().hii);
  Seed("attrs_registry", "demo.bin", demo.hii);
  Seed("attrs_registry", "older-demo.bin", hiibuild::BuildOlderDemoFirmware().hii);

  for (const hiibuild::Variable& variable : demo.variables) {
    if (variable.name == "StdDefaults" || variable.name == "MfgDefaults")
      Seed("nvar_store", variable.name + ".bin", variable.data);
    else if (variable.data.size() <= 4096)
      Seed("variable", variable.name + ".efivarfs", hiibuild::EfivarfsBytes(variable));
  }
  const std::string attributes = "EFI_VARIABLE_NON_VOLATILE\nEFI_VARIABLE_BOOTSERVICE_ACCESS\nEFI_VARIABLE_RUNTIME_ACCESS\n";
  std::vector<uint8_t> sysfs{static_cast<uint8_t>(attributes.size())};
  sysfs.insert(sysfs.end(), attributes.begin(), attributes.end());
  sysfs.insert(sysfs.end(), 16, 0x5A);
  Seed("variable", "sysfs.bin", sysfs);

  Seed("platform", "FIDT", demo.fidt ? *demo.fidt : hiibuild::SupportedFidtTable());

  std::vector<hiibuild::Variable> names(demo.variables.begin(), demo.variables.begin() + std::min<size_t>(4, demo.variables.size()));
  Seed("mailbox", "demo.bin", MailboxSeed(demo.hii, names));
  Seed("mailbox", "empty-database.bin", MailboxSeed({}, {}));
  {
    std::vector<uint8_t> sizeQuery(hii_read::kDataOffset, 0), chunk(hii_read::kDataOffset + 100, 0);
    PutLe64(sizeQuery.data() + hii_read::kCommandOffset, hii_read::kCommand);
    PutLe64(chunk.data() + hii_read::kLengthOffset, 100);
    PutLe64(chunk.data() + hii_read::kOffsetOffset, 2950);
    PutLe64(chunk.data() + hii_read::kCommandOffset, hii_read::kCommand);
    std::vector<uint8_t> first(name_enumeration::kPayloadBytes, 0), next = first;
    PutLe64(first.data() + name_enumeration::kLengthOffset, 512);
    PutLe64(next.data() + name_enumeration::kLengthOffset, 512);
    next[name_enumeration::kGuidOffset] = 2;
    std::vector<uint8_t> units = WideToUtf16Bytes(L"Setup", false);
    std::copy(units.begin(), units.end(), next.begin() + name_enumeration::kNameOffset);
    // A memory attributes table whose one descriptor holds the target's image.
    std::vector<uint8_t> table(16 + 48, 0);
    PutLe32(table.data(), 1);
    PutLe32(table.data() + 4, 1);
    PutLe32(table.data() + 8, 48);
    PutLe32(table.data() + 16, 5);
    PutLe64(table.data() + 24, 0x100000);
    PutLe64(table.data() + 40, 0x40);
    PutLe64(table.data() + 48, 0x8000000000004000ULL);
    Seed("mailbox_driver", "memory-attributes.bin", table);
    Seed("mailbox_driver", "requests.bin",
         DriverSeed({sizeQuery, chunk, first, next}, {hii_read::kFunctionGuid, hii_read::kFunctionGuid,
                                                      name_enumeration::kFunctionGuid, name_enumeration::kFunctionGuid}));
  }

  {
    ConsoleCapture quiet;
    Seed("script_parser", "demo.txt", Export(demo.hii, root, false));
    Seed("script_parser", "demo-lang.txt", Export(demo.hii, root, true));
    Seed("attrs_document", "demo-bios.json", BiosDocument(demo.hii, root));
    Seed("attrs_machine_document", "demo-bios.json", BiosDocument(demo.hii, root));
  }
  // attrs_mount_write: the first byte picks the attribute (by its place in the listing).
  for (const auto& [index, text] : std::vector<std::pair<uint8_t, std::string>>{
           {0, "Standard\n"}, {1, "20"}, {2, "1\n"}, {3, "KST-0099\n"}, {4, "2025-01-02"}, {5, "-5"}, {6, "\n"}})
    Seed("attrs_mount_write", NFormat("write-%u.bin", index), std::string(1, static_cast<char>(index)) + text);
  {
    ConsoleCapture quiet;
    JournalSeeds(demo);
  }
  Seed("attrs_machine_document", "facts.json",
       std::string(R"({"ansible_facts": {"ansible_hostname": "rack7-node1", "kestrel_bios": {"attributes": )"
                   R"({"MAIN002": 20, "PROC001": "Enabled"}, "registry": {"MAIN002": {"DisplayName": "Setup )"
                   R"(Idle Timeout", "MenuPath": "./Main"}}}}, "changed": false})"));
  Seed("attrs_document", "settings.json",
       std::string(R"({"Attributes": {"MAIN001": "Standard", "MAIN002": 20, "PROC009": true, "SVC004": "2025-01-02"}})"));

  std::string listing, raw = "50004\r\nHIICrc32\r\n" + NFormat("%08X\r\n", CalculateCrc32(demo.hii));
  for (const hiibuild::Variable& variable : names) {
    listing += FormatListingEntry(ToWide(variable.name), variable.guid);
    raw += FormatRawBlock(ToWide(variable.name), variable.guid, variable.attributes, variable.data);
  }
  Seed("raw_files", "listing.txt", listing);
  Seed("raw_files", "raw.txt", raw);

  {
    ConsoleCapture quiet;
    std::vector<uint8_t> image = fuzz::PldmFuzzImage(demo.hii);
    std::vector<uint8_t> pldm = PldmFile(image, root, true);
    Seed("pldm_file", "demo-b.pldm", pldm);
    Seed("pldm_file", "demo.pldm", PldmFile(image, root, false));
    Seed("pldm_file", "demo-b-no-keywords.pldm", PldmFile(image, root, true, false));
    Seed("pldm_file", "header-only.pldm", std::vector<uint8_t>(pldm.begin(), pldm.begin() + 40));
  }

  Seed("command_line", "export", Argv({"/o", "/s", "script.txt"}));
  Seed("command_line", "import", Argv({"/i", "/s", "script.txt", "/q", "/b"}));
  Seed("command_line", "lang", Argv({"/o", "/s", "script.txt", "/lang", "en-US", "/sp", "/g"}));
  Seed("command_line", "pldm", Argv({"/i", "/p", "tables.pldm", "/b"}));
  Seed("command_line", "listing", Argv({"/c", "list.txt"}));
  Seed("command_line", "raw", Argv({"/o", "/r", "list.txt", "raw.txt"}));
  Seed("command_line", "single", Argv({"/ms", "Boot Mode", "/qv", "/q"}));
  Seed("command_line", "compare", Argv({"/cs", "a.txt", "b.txt", "/o", "c.txt"}));
  Seed("command_line", "variable", Argv({"/varname", "Setup", "/varguid", "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9", "/varvalue", "01"}));
  Seed("command_line", "passwords", Argv({"/cpwd", "old", "/apwd", "new", "/logfile:log.txt", "/loglvl:3"}));

  std::vector<uint8_t> plain{0};
  std::vector<uint8_t> text = WideToUtf16Bytes(L"secret", false);
  plain.insert(plain.end(), text.begin(), text.end());
  Seed("passwords", "plain.bin", plain);
  Seed("passwords", "scancodes.bin", std::vector<uint8_t>{1, 0x1F, 0x12, 0x2E, 0x13});
  Seed("passwords", "efikeys.bin", std::vector<uint8_t>{5, 'a', 'b', 'c'});
  return 0;
}
