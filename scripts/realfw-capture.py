#!/usr/bin/env python3
r"""Helpers of the real-firmware lane's capture mode (scripts/realfw-test.sh --capture).

  realfw-capture.py setup LOG OPTION -- QEMU-COMMAND...
      Runs QEMU with the firmware's console on this program's standard input and output, keeps
      the console output in LOG, and drives the firmware's setup program over it: on the front
      page, Boot Manager; on the Boot Manager page, the boot option OPTION (its text as shown,
      e.g. "EFI Internal Shell"). The option is started from inside the setup program, so the
      HII database the mailbox driver snapshots at ReadyToBoot is the one the setup program
      shows. Exits with QEMU's status, 3 when a page or the option did not appear in time.

  realfw-capture.py setup-vars DIR
      Writes, in efivarfs format, the variables the capture's first boot sets when it runs Linux
      rather than the shell: Driver0000 (the mailbox driver at \kestrel\mailbox.efi on the disk
      at PCI 00:05.0, as the shell's bcfg writes it), DriverOrder, KestrelCapture and
      OsIndications with bit 0 (boot to the firmware's setup program).

  realfw-capture.py varstores HII EFIVARS OUT
      Copies each variable of EFIVARS (efivarfs files, Name-guid) that a form set of the HII
      database image declares as a buffer or EFI varstore (same GUID, same name) into OUT.
"""
import os
import re
import select
import shutil
import subprocess
import sys
import time
import uuid

ESCAPES = re.compile(rb"\x1b\[[0-9;=?]*[A-Za-z]")
DOWN = b"\x1b[B"
ENTER = b"\r"
PAGE_TIMEOUT = int(os.environ.get("KESTREL_REALFW_PAGE_TIMEOUT", "900"))
QUIET = 4.0  # seconds without console output: the page is drawn (TCG is slow)


class Console:
    def __init__(self, command, log):
        self.qemu = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.log = open(log, "wb")
        self.seen = b""

    def pump(self, seconds):
        """Reads the console for up to SECONDS; returns whether anything came."""
        got = False
        end = time.time() + seconds
        while time.time() < end:
            ready, _, _ = select.select([self.qemu.stdout], [], [], min(0.5, max(0.0, end - time.time())))
            if not ready:
                continue
            data = os.read(self.qemu.stdout.fileno(), 65536)
            if not data:
                return got
            self.log.write(data)
            self.log.flush()
            self.seen += data
            got = True
        return got

    def wait_page(self, start, marker):
        """Waits until the console output since START holds MARKER and has gone quiet; returns the
        page's text fragments (the output split at the terminal's escape sequences)."""
        deadline = time.time() + PAGE_TIMEOUT
        while marker not in ESCAPES.sub(b"", self.seen[start:]):
            if time.time() > deadline or self.qemu.poll() is not None:
                return None
            self.pump(1)
        while self.pump(QUIET):
            pass
        return [f.decode("latin-1").strip() for f in ESCAPES.split(self.seen[start:])]

    def send(self, *keys):
        for key in keys:
            self.qemu.stdin.write(key)
            self.qemu.stdin.flush()
            self.pump(1.5)


def setup(log, wanted, command):
    console = Console(command, log)

    def give_up(what):
        console.log.write(("\nrealfw-capture: %s did not appear\n" % what).encode())
        print("realfw-capture: %s did not appear (console log %s)" % (what, log), file=sys.stderr)
        console.qemu.kill()
        console.qemu.wait()
        return 3

    # The front page: Select Language, Device Manager, Boot Manager, Boot Maintenance Manager.
    if console.wait_page(0, b"Boot Maintenance Manager") is None:
        return give_up("the setup program's front page")
    start = len(console.seen)
    console.send(DOWN, DOWN, ENTER)
    page = console.wait_page(start, b"to exit the Boot Manager Menu")
    if page is None:
        return give_up("the Boot Manager page")
    # The options, in the order shown, between the page title and its help text.
    options = []
    inside = False
    for fragment in page:
        if fragment == "Boot Manager Menu":
            inside = True
        elif fragment.startswith("Use the <"):
            break
        elif inside and fragment and fragment not in options:
            options.append(fragment)
    if wanted not in options:
        console.log.write(("\nrealfw-capture: options %r\n" % options).encode())
        return give_up("the boot option " + wanted)
    print("realfw-capture: boot options %s; starting %s from the setup program" % (options, wanted), flush=True)
    console.send(*([DOWN] * options.index(wanted) + [ENTER]))
    while console.qemu.poll() is None:
        console.pump(5)
    console.pump(1)
    return console.qemu.returncode


def varstores(hii_path, efivars, out):
    hii = open(hii_path, "rb").read()
    os.makedirs(out, exist_ok=True)
    copied = []
    for entry in sorted(os.listdir(efivars)):
        match = re.fullmatch(r"(.+)-([0-9a-fA-F]{8}-(?:[0-9a-fA-F]{4}-){3}[0-9a-fA-F]{12})", entry)
        if not match:
            continue
        try:
            name = match.group(1).encode("ascii") + b"\0"
        except UnicodeEncodeError:
            continue
        guid = re.escape(uuid.UUID(match.group(2)).bytes_le)
        # EFI_IFR_VARSTORE: opcode 0x24, length, GUID, id (2), size (2), name;
        # EFI_IFR_VARSTORE_EFI: opcode 0x26, length, GUID, id (2), attributes (4), size (2), name.
        pattern = rb"\x24." + guid + rb".{4}" + re.escape(name) + rb"|\x26." + guid + rb".{8}" + re.escape(name)
        if re.search(pattern, hii, re.DOTALL):
            shutil.copyfile(os.path.join(efivars, entry), os.path.join(out, entry))
            copied.append(entry)
    print(" ".join(copied) if copied else "(none)")
    return 0


GLOBAL = "8be4df61-93ca-11d2-aa0d-00e098032b8c"
MAILBOX = "280bcc15-2cd7-467c-9647-1b30307d7ed5"
NV_BS_RT = 7


def setup_vars(out):
    def ucs2(text):
        return (text + "\0").encode("utf-16-le")

    path = (bytes.fromhex("02010c00d041030a00000000")  # PciRoot(0x0)
            + bytes.fromhex("010106000005")  # Pci(0x5,0x0)
            + b"\x04\x04" + (4 + len(ucs2("\\kestrel\\mailbox.efi"))).to_bytes(2, "little")
            + ucs2("\\kestrel\\mailbox.efi")
            + bytes.fromhex("7fff0400"))  # end
    option = (1).to_bytes(4, "little") + len(path).to_bytes(2, "little") + ucs2("Kestrel mailbox") + path
    os.makedirs(out, exist_ok=True)
    variables = (("Driver0000", GLOBAL, option), ("DriverOrder", GLOBAL, bytes(2)),
                 ("KestrelCapture", MAILBOX, b"\x01"), ("OsIndications", GLOBAL, (1).to_bytes(8, "little")))
    for name, guid, data in variables:
        with open(os.path.join(out, "%s-%s" % (name, guid)), "wb") as f:
            f.write(NV_BS_RT.to_bytes(4, "little") + data)
    return 0


def main(argv):
    if len(argv) >= 5 and argv[1] == "setup" and argv[4] == "--":
        return setup(argv[2], argv[3], argv[5:])
    if len(argv) == 3 and argv[1] == "setup-vars":
        return setup_vars(argv[2])
    if len(argv) == 5 and argv[1] == "varstores":
        return varstores(argv[2], argv[3], argv[4])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
