// A journal entry of kestrel-attrs (what a rollback writes back to the firmware): ParseEntry over
// the input, what it accepts written back and read again (it must read the same), then the input
// as entry 1 of a journal over the demo firmware offline, verified and rolled back. An entry the
// reader refuses, or one made on other firmware, must leave every variable as it was. Variables
// and journal are put back after each input, so that every input starts alike.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/console.h"
#include "base/text.h"
#include "fuzz/fuzz_support.h"
#include "companions/attrs/journal.h"
#include "companions/attrs/journal_commands.h"
#include "companions/attrs/session.h"
#include "devtools/hiibuild/generators.h"

namespace {

struct JournalOverDemo {
  kes::fuzz::ScratchDir dir{"journal"};
  kes::hiibuild::EmulatorImage demo = kes::hiibuild::BuildDemoFirmware();
  kes::attrs::Session session;
  kes::attrs::JournalOptions options;
  uint32_t crc = 0;

  JournalOverDemo() {
    kes::ConsoleCapture quiet;
    kes::fuzz::WriteFile(dir / "hii.bin", demo.hii);
    ResetVariables();
    kes::attrs::SessionOptions open;
    open.hiiFile = dir / "hii.bin";
    open.varsDir = dir / "vars";
    if (!session.Open(open)) std::abort();
    options.directory = dir / "journal";
    options.bootIdFile = dir / "boot_id";
    std::string boot = "fuzz-boot-2\n";
    kes::fuzz::WriteFile(options.bootIdFile, reinterpret_cast<const uint8_t*>(boot.data()), boot.size());
    crc = kes::attrs::FirmwareIdentity(session.Setup());
  }
  void ResetVariables() { kes::hiibuild::WriteVariableFiles(dir / "vars", demo.variables); }
  // Every variable file's content, by name.
  std::map<std::string, std::string> Variables() const {
    std::map<std::string, std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "vars")) {
      auto bytes = kes::ReadWholeFile(entry.path().string());
      out[entry.path().filename().string()] = bytes ? std::string(bytes->begin(), bytes->end()) : "";
    }
    return out;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static JournalOverDemo demo;
  kes::ConsoleCapture quiet;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  auto entry = kes::attrs::ParseEntry(text, error);
  if (entry) {
    std::string again = kes::attrs::EntryToJson(*entry).dump(2);
    std::string error2;
    auto reread = kes::attrs::ParseEntry(again, error2);
    if (!reread || kes::attrs::EntryToJson(*reread).dump(2) != again) std::abort();
  } else if (error.empty()) {
    std::abort();  // a refusal always says why
  }

  std::filesystem::remove_all(demo.options.directory);
  std::filesystem::create_directory(demo.options.directory);
  std::filesystem::permissions(demo.options.directory, std::filesystem::perms::owner_all);
  kes::fuzz::WriteFile(demo.options.directory + "/00000001.json", data, size);
  auto before = demo.Variables();
  kes::attrs::Outcome verify = kes::attrs::VerifyEntry(demo.session.Setup(), demo.options, 1);
  kes::attrs::Outcome rollback = kes::attrs::RollbackEntry(demo.session.Setup(), demo.options, 1, false, size % 2);
  if (verify.status < 0 || rollback.status < 0) std::abort();
  bool foreign = !entry || entry->id != 1 || entry->hiiCrc != demo.crc;
  auto after = demo.Variables();
  if (foreign && after != before) std::abort();  // never written from a refused entry
  if (after != before) demo.ResetVariables();
  return 0;
}
