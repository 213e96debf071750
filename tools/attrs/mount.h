// kestrel-attrs mount: serves an AttributeTree over FUSE until the file system is unmounted or
// the process gets SIGTERM, SIGINT or SIGHUP.
#pragma once
#include <optional>
#include <string>

#include "hii/setup_context.h"
#include "tools/attrs/journal.h"

namespace kes::attrs {

struct AttrsMountOptions {
  std::string mountPoint;
  std::string driver = "kestrel";
  bool detach = false;     // go to the background once mounted
  bool fuseDebug = false;
  std::optional<JournalOptions> journal;  // every write recorded there (none: --no-journal)
};

// Mounts, serves and unmounts; the exit status of kestrel-attrs (0 after a clean unmount or a
// signal).
int ServeAttributes(const SetupContext& setup, const AttrsMountOptions& options);

}  // namespace kes::attrs
