// The JSON documents users hand to kestrel-attrs (`set --file`, `diff`): ReadAttributeValues over
// the input, and what it accepts diffed against itself (which must find nothing).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/console.h"
#include "companions/attrs/operations.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes::attrs;
  kes::ConsoleCapture quiet;
  std::string error;
  auto values = ReadAttributeValues(std::string_view(reinterpret_cast<const char*>(data), size), error);
  if (!values) {
    if (error.empty()) std::abort();  // a refusal always says why
    return 0;
  }
  Outcome same = DiffAttributes(nullptr, &*values, &*values, false);
  if (same.status != kExitSuccess) std::abort();
  // Documents are written back whatever text they hold.
  PrintDocument(same.report);
  return 0;
}
