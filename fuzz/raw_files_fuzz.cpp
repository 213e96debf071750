// The raw-mode files the user hands to the tool: the variable listing (/c) and the raw variable
// file (/i with /r), parsed from the same text.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "base/console.h"
#include "raw/raw_mode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  ConsoleCapture quiet;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  {
    std::vector<VariableRecord> entries;
    ParseVariableListing(text, entries);
  }
  {
    uint32_t crc = 0;
    std::vector<VariableRecord> records;
    ParseRawFile(text, crc, records);
  }
  return 0;
}
