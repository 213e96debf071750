// kestrel-mkdemo [--older] OUTDIR: writes the demo firmware image directory for kestrel-fwemu;
// with --older, the demo firmware whose HII data has the older (pre-UEFI) layout.
#include <exception>
#include <string>
#include <string_view>

#include "base/console.h"
#include "devtools/hiibuild/generators.h"

int main(int argc, char** argv) {
  using kes::Stream;
  const bool older = argc == 3 && std::string_view(argv[1]) == "--older";
  const char* outdir = argc == 2 ? argv[1] : older ? argv[2] : nullptr;
  if (outdir == nullptr || outdir[0] == '\0' || outdir[0] == '-') {
    kes::PrintNarrow(Stream::Err, "usage: kestrel-mkdemo [--older] OUTDIR\n");
    return 2;
  }
  try {
    kes::hiibuild::EmulatorImage image =
        older ? kes::hiibuild::BuildOlderDemoFirmware() : kes::hiibuild::BuildDemoFirmware();
    std::string error = kes::hiibuild::WriteEmulatorImage(outdir, image);
    if (!error.empty()) {
      kes::PrintNarrow(Stream::Err, "kestrel-mkdemo: %s\n", error.c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    kes::PrintNarrow(Stream::Err, "kestrel-mkdemo: %s\n", e.what());
    return 1;
  }
  return 0;
}
