// kestrel-attrs mount: serves an AttributeTree over FUSE until the file system is unmounted or
// the process gets SIGTERM, SIGINT or SIGHUP.
#pragma once
#include <functional>
#include <optional>
#include <string>

#include "hii/setup_context.h"
#include "companions/attrs/journal.h"

namespace kes::attrs {

struct AttrsMountOptions {
  std::string mountPoint;
  std::string driver = "kestrel";
  // Go to the background once mounted. Standard error is then /dev/null: why a write was refused
  // also goes to the system log (/dev/log, or KESTREL_SYSLOG_SOCKET), as
  // "kestrel-attrs[PID]: MOUNTPOINT: NAME: reason" (facility daemon, level warning).
  bool detach = false;
  bool fuseDebug = false;
  std::optional<JournalOptions> journal;  // every write recorded there (none: --no-journal)
  std::function<void()> changed;          // called after a write changed values
};

// Mounts, serves and unmounts; the exit status of kestrel-attrs (0 after a clean unmount or a
// signal).
int ServeAttributes(const SetupContext& setup, const AttrsMountOptions& options);

}  // namespace kes::attrs
