// An HII image as kestrel-attrs reads it offline, over the demo firmware's variables: the registry
// (the attribute walk, the menus, each condition read as terms and written as dependencies) into
// a sink that keeps nothing, then a plan that gives the first few attributes with options another
// value (the conditions evaluated on the bytes the request would write).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/console.h"
#include "fuzz/fuzz_support.h"
#include "hii/strings.h"
#include "companions/attrs/operations.h"
#include "companions/attrs/session.h"
#include "devtools/hiibuild/generators.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kes;
  static fuzz::ScratchDir dir("attrs-registry");
  static const bool variables = hiibuild::WriteVariableFiles(dir / "vars", hiibuild::BuildDemoFirmware().variables).empty();
  if (!variables) std::abort();
  ConsoleCapture quiet;
  fuzz::WriteFile(dir / "hii.bin", data, size);
  attrs::Session session;
  if (!session.Open({dir / "hii.bin", dir / "vars", {}})) return 0;
  try {
    attrs::AttributeValues values;
    attrs::AttributeSink sink;
    sink.describe = false;
    sink.attribute = [&](attrs::Attribute& a) {
      if (values.size() < 4 && a.choices.size() > 1 && a.type == attrs::AttrType::Enumeration)
        values.emplace_back(a.name, attrs::Json(a.choices[a.current == a.choices[0].name ? 1 : 0].name));
    };
    attrs::WalkAttributes(session.Setup(), sink);
    size_t written = 0;
    attrs::WriteRegistry(session.Setup(), [&](std::string_view piece) {
      written += piece.size();
      return true;
    });
    if (written == 0) std::abort();  // the envelope is written whatever the image holds
    attrs::Outcome plan = attrs::PlanAttributes(session.Setup(), values);
    if (plan.status != attrs::kExitSuccess && plan.status != attrs::kExitRefused) std::abort();
  } catch (const UnsupportedStringBlocks&) {
    // kestrel-attrs reports such an image and stops
  }
  return 0;
}
