// kestrel-mkdemo OUTDIR: writes the demo firmware image directory for kestrel-fwemu.
#include <exception>
#include <string>

#include "base/console.h"
#include "tools/hiibuild/generators.h"

int main(int argc, char** argv) {
  using kes::Stream;
  if (argc != 2 || argv[1][0] == '\0' || argv[1][0] == '-') {
    kes::PrintNarrow(Stream::Err, "usage: kestrel-mkdemo OUTDIR\n");
    return 2;
  }
  try {
    std::string error = kes::hiibuild::WriteEmulatorImage(argv[1], kes::hiibuild::BuildDemoFirmware());
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
