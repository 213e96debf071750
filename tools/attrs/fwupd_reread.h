// Asking fwupd's daemon to read the firmware attributes again after kestrel-attrs changed values.
//
// The daemon (fwupd 2.0) reads every setting's files once, when it starts, and afterwards reads
// them again only when the kernel announces a firmware-attributes driver coming or going; it
// watches no file, and it remembers only the values it writes itself. A change made by anyone
// else stays unseen until the daemon starts again. It is started on demand over D-Bus, so a
// daemon that quits reads the current values at the next request; it refuses to quit during a
// firmware update.
#pragma once

namespace kes::attrs {

// Asks the fwupd daemon on the system bus, when one is running, to quit; does nothing when none
// is or the bus cannot be reached. Does not wait for the daemon's answer: the mount asks while the
// daemon may itself be waiting on the mount. True when the request was sent.
bool AskFwupdToReread();

}  // namespace kes::attrs
