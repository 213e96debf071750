// Asking fwupd's daemon to read the firmware attributes again after kestrel-attrs changed values.
//
// The daemon (fwupd 2.0) reads every setting's files once, when it starts, and afterwards reads
// them again only when the kernel announces a change of a firmware-attributes device (a udev
// event, which a FUSE mount cannot raise); it watches no file and remembers only the values it
// writes itself. A change made by anyone else stays unseen until the daemon starts again. It is
// started on demand over D-Bus, so a daemon that quits reads the current values at the next
// request. Its Quit method is what is left: root only, refused during a firmware update.
#pragma once

namespace kes::attrs {

// Asks the fwupd daemon on the system bus, when one is running, to quit, and waits up to
// `timeoutMs` for its answer (the daemon checks who asks while the connection is open, so a
// request sent and dropped is ignored). Never starts a daemon. False when none runs, the bus
// cannot be reached or the daemon refused or did not answer in time.
bool AskFwupdToReread(int timeoutMs);

}  // namespace kes::attrs
