// kestrel-mkimage --scale N OUTDIR: writes a large benchmark image directory for kestrel-fwemu
// (at scale 1: 20,000 questions and 60,000 strings per language; scale N multiplies them).
// kestrel-mkimage --capture HII [--vars DIR] OUTDIR: an image for an HII database exported by real
// firmware, with the variables captured with it and zero-filled ones for every other varstore
// its form sets declare.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <exception>
#include <string>
#include <string_view>

#include "base/console.h"
#include "devtools/hiibuild/generators.h"

namespace {

constexpr unsigned kMaxScale = 64;

int Usage() {
  kes::PrintNarrow(kes::Stream::Err,
                   "usage: kestrel-mkimage --scale N OUTDIR   (N from 1 to %u)\n"
                   "       kestrel-mkimage --capture HII [--vars DIR] OUTDIR\n",
                   kMaxScale);
  return 2;
}

int Capture(const std::string& hiiPath, const std::string& varsDir, const std::string& outdir) {
  std::ifstream in(hiiPath, std::ios::binary);
  std::vector<uint8_t> hii((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.is_open() || hii.empty()) {
    kes::PrintNarrow(kes::Stream::Err, "kestrel-mkimage: cannot read %s\n", hiiPath.c_str());
    return 1;
  }
  kes::hiibuild::EmulatorImage image;
  std::string error = kes::hiibuild::CaptureImage(std::move(hii), varsDir, image);
  if (error.empty()) error = kes::hiibuild::WriteEmulatorImage(outdir, image);
  if (!error.empty()) {
    kes::PrintNarrow(kes::Stream::Err, "kestrel-mkimage: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using kes::Stream;
  unsigned scale = 0;
  std::string outdir, capture, vars;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--capture" && i + 1 < argc && capture.empty()) {
      capture = argv[++i];
    } else if (arg == "--vars" && i + 1 < argc && vars.empty()) {
      vars = argv[++i];
    } else if (arg == "--scale" && i + 1 < argc) {
      std::string_view value = argv[++i];
      if (value.empty() || value.size() > 2 || value.find_first_not_of("0123456789") != std::string_view::npos) {
        return Usage();
      }
      scale = static_cast<unsigned>(std::strtoul(argv[i], nullptr, 10));
      if (scale < 1 || scale > kMaxScale) return Usage();
    } else if (!arg.empty() && arg[0] != '-' && outdir.empty()) {
      outdir = arg;
    } else {
      return Usage();
    }
  }
  if (outdir.empty() || (scale != 0) == !capture.empty() || (!vars.empty() && capture.empty())) return Usage();
  if (!capture.empty()) return Capture(capture, vars, outdir);
  try {
    kes::hiibuild::LargeImage image = kes::hiibuild::BuildLargeImage(scale);
    kes::PrintNarrow(Stream::Out, "%zu package lists, %zu questions, %zu strings per language, %zu bytes of HII\n",
                     image.packageLists, image.questions, image.stringsPerLanguage, image.hii.size());
    std::string error = kes::hiibuild::WriteEmulatorImage(outdir, kes::hiibuild::ToEmulatorImage(std::move(image)));
    if (!error.empty()) {
      kes::PrintNarrow(Stream::Err, "kestrel-mkimage: %s\n", error.c_str());
      return 1;
    }
  } catch (const std::exception& e) {
    kes::PrintNarrow(Stream::Err, "kestrel-mkimage: %s\n", e.what());
    return 1;
  }
  return 0;
}
