// What a client of the firmware-attributes mount writes to a current_value file (fwupd, echo,
// a script), through the mount's tree as kestrel-attrs mount serves it, over the demo firmware
// offline: the first byte picks the attribute (its top bit: the text goes in two writes to one
// open file, split after its first line end, as a shell writes line by line), the rest is the
// text written. A write that changed a variable puts the demo variables back, so that every
// input starts alike.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "base/console.h"
#include "fuzz/fuzz_support.h"
#include "companions/attrs/mount_tree.h"
#include "companions/attrs/session.h"
#include "devtools/hiibuild/generators.h"

namespace {

struct MountOverDemo {
  kes::fuzz::ScratchDir dir{"attrs-mount"};
  kes::hiibuild::EmulatorImage demo = kes::hiibuild::BuildDemoFirmware();
  kes::attrs::Session session;
  std::unique_ptr<kes::attrs::AttributeTree> tree;
  std::vector<std::string> names;

  MountOverDemo() {
    kes::ConsoleCapture quiet;
    kes::fuzz::WriteFile(dir / "hii.bin", demo.hii);
    ResetVariables();
    kes::attrs::SessionOptions options;
    options.hiiFile = dir / "hii.bin";
    options.varsDir = dir / "vars";
    if (!session.Open(options)) std::abort();
    tree = std::make_unique<kes::attrs::AttributeTree>(session.Setup(), "kestrel");
    names = *tree->List("kestrel/attributes");
  }
  void ResetVariables() { kes::hiibuild::WriteVariableFiles(dir / "vars", demo.variables); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static MountOverDemo mount;
  if (size == 0 || mount.names.empty()) return 0;
  kes::ConsoleCapture quiet;
  const std::string& name = mount.names[(data[0] & 0x7F) % mount.names.size()];
  std::string path = "kestrel/attributes/" + name + "/current_value";
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string_view rest;
  if (data[0] & 0x80) {
    size_t end = text.find('\n');
    if (end != std::string_view::npos) {
      rest = text.substr(end + 1);
      text = text.substr(0, end + 1);
    }
  }
  int error = mount.tree->Write(path, text);
  if (error < 0) std::abort();  // 0 or a positive errno, nothing else
  bool written = error == 0;
  if (!rest.empty()) {
    error = mount.tree->Write(path, rest, true);
    if (error < 0) std::abort();
    written = written || error == 0;
  }
  if (written) {
    mount.ResetVariables();
    mount.tree->Refresh();
  }
  return 0;
}
