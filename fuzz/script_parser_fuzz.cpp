// The NVRAM script file the user hands to an import or a compare: ParseScriptText over the input,
// once with the "Setup Question" identities and once with /lang's "Map String" ones, the
// checksum line noted as the import notes it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/console.h"
#include "script/script_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  ConsoleCapture quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (bool lang : {false, true}) {
    ParseOptions options;
    options.lang = lang;
    options.keepTexts = !lang;
    ScriptChecksumLine checksum;
    options.checksumLine = &checksum;
    ScriptEntryList entries;
    ParseScriptText(text, options, entries);
  }
  return 0;
}
