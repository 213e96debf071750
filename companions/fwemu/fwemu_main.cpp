// kestrel-fwemu: mounts a firmware image directory as a stand-in for /sys/firmware.
//   kestrel-fwemu [options] IMAGE_DIR MOUNTPOINT
// See companions/fwemu/README.md.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "companions/fwemu/efivarfs_model.h"
#include "companions/fwemu/firmware_model.h"
#include "companions/fwemu/fuse_filesystem.h"
#include "companions/fwemu/image.h"

namespace {

namespace fs = std::filesystem;
using namespace kes::fwemu;

constexpr int kExitUsage = 2;

void Usage(FILE* out) {
  std::fputs(
      "Usage: kestrel-fwemu [options] IMAGE_DIR MOUNTPOINT\n"
      "Serves the firmware image IMAGE_DIR at MOUNTPOINT as a stand-in for /sys/firmware\n"
      "(MOUNTPOINT/efi/efivars/, MOUNTPOINT/acpi/tables/FIDT) until it is unmounted\n"
      "(fusermount3 -u MOUNTPOINT) or gets SIGTERM or SIGINT.\n"
      "\n"
      "Options:\n"
      "  -f, --foreground      stay in the foreground\n"
      "  --save-vars DIR       on unmount, write the final variables to DIR (Name-guid files)\n"
      "  --request-log FILE    write one line per variable write and mailbox request to FILE\n"
      "  -v, --verbose         write the same lines to standard error\n"
      "  -o OPTIONS            mount options for FUSE (for example allow_other)\n"
      "  -d, --debug           FUSE debug output (implies --foreground)\n"
      "  -h, --help            this text\n",
      out);
}

struct Arguments {
  std::string image;
  kes::fwemu::MountOptions mount;
  std::string saveVars;
  std::string requestLog;
  bool verbose = false;
};

// 0 to go on, or an exit status.
int ParseArguments(int argc, char** argv, Arguments& args) {
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "kestrel-fwemu: %s needs a value\n", a.c_str());
        return false;
      }
      into = argv[++i];
      return true;
    };
    if (a == "-h" || a == "--help") {
      Usage(stdout);
      return -1;
    } else if (a == "-f" || a == "--foreground") {
      args.mount.foreground = true;
    } else if (a == "-d" || a == "--debug") {
      args.mount.fuseDebug = true;
      args.mount.foreground = true;
    } else if (a == "-v" || a == "--verbose") {
      args.verbose = true;
    } else if (a == "--save-vars") {
      if (!value(args.saveVars)) return kExitUsage;
    } else if (a == "--request-log") {
      if (!value(args.requestLog)) return kExitUsage;
    } else if (a == "-o") {
      std::string o;
      if (!value(o)) return kExitUsage;
      args.mount.fuseOptions.push_back(o);
    } else if (a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "kestrel-fwemu: unknown option %s\n", a.c_str());
      Usage(stderr);
      return kExitUsage;
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) {
    Usage(stderr);
    return kExitUsage;
  }
  args.image = positional[0];
  args.mount.mountPoint = positional[1];
  return 0;
}

// True when path is dir itself or lies inside it.
bool Inside(const fs::path& path, const fs::path& dir) {
  auto p = path.begin();
  for (auto d = dir.begin(); d != dir.end(); ++d, ++p) {
    if (d->empty()) continue;
    if (p == path.end() || *p != *d) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  if (int status = ParseArguments(argc, argv, args)) return status < 0 ? 0 : status;

  Image image;
  std::string error;
  if (!LoadImage(args.image, image, error)) {
    std::fprintf(stderr, "kestrel-fwemu: %s\n", error.c_str());
    return kExitUsage;
  }
  for (const auto& w : image.warnings) std::fprintf(stderr, "kestrel-fwemu: warning: %s\n", w.c_str());

  // Paths are made absolute before the daemon changes to "/".
  std::error_code ec;
  fs::path imageDir = fs::weakly_canonical(fs::absolute(args.image), ec);
  if (!args.saveVars.empty()) {
    fs::path save = fs::weakly_canonical(fs::absolute(args.saveVars), ec);
    if (Inside(save, imageDir)) {
      std::fprintf(stderr, "kestrel-fwemu: --save-vars %s lies inside the image, which is never changed\n",
                   args.saveVars.c_str());
      return kExitUsage;
    }
    args.saveVars = save.string();
  }
  std::ofstream requestLog;
  if (!args.requestLog.empty()) {
    requestLog.open(fs::absolute(args.requestLog), std::ios::trunc);
    if (!requestLog) {
      std::fprintf(stderr, "kestrel-fwemu: cannot write %s\n", args.requestLog.c_str());
      return kExitUsage;
    }
  }
  args.mount.mountPoint = fs::absolute(args.mount.mountPoint).string();

  FirmwareModel firmware(image.config, std::move(image.hiiDatabase), image.variables);
  if (requestLog.is_open() || args.verbose) {
    firmware.SetLog([&](const std::string& line) {
      if (requestLog.is_open()) requestLog << line << '\n' << std::flush;
      if (args.verbose) std::fprintf(stderr, "kestrel-fwemu: %s\n", line.c_str());
    });
  }
  EfivarfsModel efivars(firmware);

  int status = ServeFirmware(efivars, image.fidt, args.mount, error);
  if (status != 0) std::fprintf(stderr, "kestrel-fwemu: %s\n", error.c_str());
  if (!args.saveVars.empty()) {
    if (!SaveVariables(args.saveVars, firmware, error)) {
      std::fprintf(stderr, "kestrel-fwemu: saving the variables: %s\n", error.c_str());
      status = 1;
    }
  }
  return status;
}
