// A machine's document for `kestrel-attrs html --compare` (a Bios resource or the saved facts of
// kestrel.bios.bios_info): ReadMachineDocument over the input; what it accepts is compared with
// itself (which must find no difference) and with an empty machine, and the page is written,
// whose data must not be able to leave its <script> element.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/console.h"
#include "companions/attrs/html.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes::attrs;
  kes::ConsoleCapture quiet;
  std::string error;
  auto machine = ReadMachineDocument(std::string_view(reinterpret_cast<const char*>(data), size), "fuzz.json", error);
  if (!machine) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  Json same = ComparePageData({*machine, *machine}, nullptr);
  if (!same["rows"].empty()) std::abort();
  MachineDocument empty;
  empty.name = machine->name;
  Page page = ComparePage({*machine, empty}, nullptr, "");
  std::string out;
  if (!WritePage(page, [&](std::string_view piece) {
        out.append(piece);
        return true;
      }))
    std::abort();
  std::string json = ScriptSafeJson(page.data);
  if (json.find('<') != std::string::npos || out.find(json) == std::string::npos) std::abort();
  return 0;
}
