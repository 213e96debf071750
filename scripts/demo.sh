#!/usr/bin/env bash
# The first thing to run on a fresh Debian 12 machine (as root, or with sudo available):
#
#   scripts/demo.sh [more KESLNX_64 switches, e.g. /v /lang]
#   scripts/demo.sh --import     (also: edit the script, import it, export again)
#   scripts/demo.sh --older      (a firmware that exports the older HII layout; with --import too)
#   scripts/demo.sh --pldm       (also: export the PLDM file, change values in it with kestrel-pldm,
#                                 import it and show the change in a second PLDM export)
#   scripts/demo.sh --attrs      (also: kestrel-attrs shows one registry entry and one dependency,
#                                 sets two attributes and shows them through get and through a
#                                 script export, plans a change that hides settings, and refuses a
#                                 request that hides the setting it also sets)
#   scripts/demo.sh --fleet      (instead: three emulated hosts, and an Ansible playbook of the
#                                 kestrel.bios collection that sets two attributes on all of them,
#                                 with a diff, then runs again and changes nothing)
#   scripts/demo.sh --fwupd      (also: kestrel-attrs mount serves the attributes as a
#                                 firmware-attributes tree; fwupdtool lists them, changes
#                                 Hyper-Threading, and a script export shows the change)
#   scripts/demo.sh --verify     (also: kestrel-attrs sets two attributes, recorded in its
#                                 journal; a simulated reboot (another boot id) in which the
#                                 "firmware" adjusts one; verify finds it, rollback undoes the set)
#   scripts/demo.sh --html       (also: kestrel-attrs html writes the demo firmware's Setup as one
#                                 HTML page, and the compare page of three emulated machines, two
#                                 of them with changed settings; prints both paths)
#
# Installs what is missing, builds the tool, the firmware emulator and the demo firmware image
# (in build-demo/, or $KESTREL_DEMO_BUILD_DIR), starts the emulator on the demo image, exports
# the demo firmware's Setup with "KESLNX_64 /o /s out/demo-script.txt" through it, stops the
# emulator and says where the script is. The emulator is always unmounted and stopped on the
# way out, whatever happens.
set -euo pipefail
cd "$(dirname "$0")/.."
import_demo=0
older=0
pldm_demo=0
attrs_demo=0
fleet_demo=0
fwupd_demo=0
verify_demo=0
html_demo=0
while [ $# -gt 0 ]; do
  case "$1" in
    --import) import_demo=1 ;;
    --pldm) pldm_demo=1 ;;
    --older) older=1 ;;
    --attrs) attrs_demo=1 ;;
    --fleet) fleet_demo=1 ;;
    --fwupd) fwupd_demo=1 ;;
    --verify) verify_demo=1 ;;
    --html) html_demo=1 ;;
    *) break ;;
  esac
  shift
done
if [ $((attrs_demo + fwupd_demo + verify_demo + html_demo)) -gt 0 ] && [ "$older" -eq 1 ]; then
  echo "demo: --attrs, --fwupd, --verify and --html run on the demo firmware, not with --older" >&2
  exit 2
fi
if [ "$fleet_demo" -eq 1 ] && { [ "$older" -eq 1 ] || [ "$import_demo" -eq 1 ] || [ "$attrs_demo" -eq 1 ] || [ "$verify_demo" -eq 1 ] || [ "$html_demo" -eq 1 ] || [ $# -gt 0 ]; }; then
  echo "demo: --fleet runs alone, on the demo firmware" >&2
  exit 2
fi
repo=$(pwd)
build=${KESTREL_DEMO_BUILD_DIR:-build-demo}
prefix=out/demo
[ "$older" -eq 1 ] && prefix=out/demo-older
script_name=$prefix-script.txt

say() { printf '==> %s\n' "$*"; }

say "Installing missing packages"
scripts/install-deps.sh

say "Building the tool, the firmware emulator and the demo firmware image in $build"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_SANITIZE=OFF -DKESTREL_EMULATOR=ON \
  -DKESTREL_TESTS=OFF >/dev/null
image_target=demo-image
[ "$older" -eq 1 ] && image_target=demo-older-image
targets=(KESLNX_64 kestrel-fwemu "$image_target")
[ "$pldm_demo" -eq 1 ] && targets+=(kestrel-pldm)
if [ "$attrs_demo" -eq 1 ] || [ "$fleet_demo" -eq 1 ] || [ "$fwupd_demo" -eq 1 ] || [ "$verify_demo" -eq 1 ] ||
  [ "$html_demo" -eq 1 ]; then
  targets+=(kestrel-attrs)
fi
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
build=$(cd "$build" && pwd)

tool="$build/KESLNX_64"
emulator=$(find "$build" -name kestrel-fwemu -type f -perm -u+x -print -quit)
image="$build/$image_target"
for needed in "$tool" "$emulator" "$image/hii.bin"; do
  if [ -z "$needed" ] || [ ! -e "$needed" ]; then
    echo "demo: the build did not produce ${needed:-kestrel-fwemu}" >&2
    exit 1
  fi
done

if [ "$fleet_demo" -eq 1 ]; then
  # Each host is a local alias with its own emulator mount; the fleet helper always unmounts them.
  say "Three emulated hosts and the playbook of the kestrel.bios collection"
  exec /usr/bin/python3 tests/ansible/fleet.py demo "$build"
fi

mount=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-demo-mount.XXXXXX")
emulator_log=$(mktemp "${TMPDIR:-/tmp}/kestrel-demo-fwemu.XXXXXX")
# The emulated machine's own journal and boot id: kestrel-attrs records its changes there, never
# in this machine's /var/lib/kestrel/journal.
state=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-demo-state.XXXXXX")
export KESTREL_STATE_DIR=$state/journal KESTREL_BOOT_ID=$state/boot_id
echo "demo-boot-1" >"$KESTREL_BOOT_ID"
emulator_pid=""
attrs_mount=""
attrs_pid=""

# Unmounts the attributes tree (before the emulator it reads from) and waits for kestrel-attrs.
stop_attrs() {
  [ -n "$attrs_mount" ] || return 0
  if mountpoint -q "$attrs_mount" 2>/dev/null; then
    fusermount3 -u "$attrs_mount" 2>/dev/null || umount "$attrs_mount" 2>/dev/null || true
  fi
  if [ -n "$attrs_pid" ]; then
    for _ in $(seq 1 50); do
      kill -0 "$attrs_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill "$attrs_pid" 2>/dev/null || true
    wait "$attrs_pid" 2>/dev/null || true
    attrs_pid=""
  fi
  if mountpoint -q "$attrs_mount" 2>/dev/null; then
    fusermount3 -u -z "$attrs_mount" 2>/dev/null || umount -l "$attrs_mount" 2>/dev/null || true
  fi
  rmdir "$attrs_mount" 2>/dev/null || true
  attrs_mount=""
}

stop_emulator() {
  if mountpoint -q "$mount" 2>/dev/null; then
    fusermount3 -u "$mount" 2>/dev/null || umount "$mount" 2>/dev/null || true
  fi
  if [ -n "$emulator_pid" ]; then
    # After the unmount the emulator ends by itself; give it a few seconds, then kill it.
    for _ in $(seq 1 50); do
      kill -0 "$emulator_pid" 2>/dev/null || break
      sleep 0.1
    done
    if kill -0 "$emulator_pid" 2>/dev/null; then
      kill "$emulator_pid" 2>/dev/null || true
      sleep 0.5
      kill -9 "$emulator_pid" 2>/dev/null || true
    fi
    wait "$emulator_pid" 2>/dev/null || true
    emulator_pid=""
    if mountpoint -q "$mount" 2>/dev/null; then
      fusermount3 -u -z "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null || true
    fi
  fi
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  stop_attrs
  stop_emulator
  rmdir "$mount" 2>/dev/null || true
  rm -f "$emulator_log"
  rm -rf "$state"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

say "Starting the firmware emulator on $image"
"$emulator" --foreground "$image" "$mount" >"$emulator_log" 2>&1 &
emulator_pid=$!

# The emulated firmware is ready once its efivarfs directory answers.
ready=0
for _ in $(seq 1 100); do
  if ! kill -0 "$emulator_pid" 2>/dev/null; then
    break
  fi
  if mountpoint -q "$mount" 2>/dev/null && ls "$mount/efi/efivars" >/dev/null 2>&1; then
    ready=1
    break
  fi
  sleep 0.1
done
if [ "$ready" -ne 1 ]; then
  echo "demo: the firmware emulator did not come up:" >&2
  cat "$emulator_log" >&2
  exit 1
fi

say "Exporting the demo firmware's Setup"
mkdir -p out
rm -f "$script_name"
status=0
KESTREL_SYSFS_FIRMWARE="$mount" "$tool" /o /s "$script_name" "$@" || status=$?

if [ "$status" -eq 0 ] && [ "$import_demo" -eq 1 ]; then
  # The round trip a user makes: move the "*" of Quiet Boot from Enabled to Disabled, import the
  # edited file, and export again to see the new value come back from the (emulated) firmware.
  # Both demo firmwares have that question.
  edited=$prefix-edited.txt
  after=$prefix-after-import.txt
  say "Editing $edited: Quiet Boot from Enabled to Disabled"
  sed -e '/^Setup Question\t= Quiet Boot$/,/^$/{s/^Options\t=\[00\]Disabled/Options\t=*[00]Disabled/;s/^\( *\)\*\[01\]Enabled/\1[01]Enabled/}' \
    "$script_name" >"$edited"
  say "Importing $edited"
  KESTREL_SYSFS_FIRMWARE="$mount" "$tool" /i /s "$edited" || status=$?
  if [ "$status" -eq 0 ]; then
    say "Exporting again into $after"
    KESTREL_SYSFS_FIRMWARE="$mount" "$tool" /o /s "$after" /q || status=$?
  fi
  if [ "$status" -eq 0 ]; then
    say "Quiet Boot as the firmware now holds it:"
    sed -n '/^Setup Question\t= Quiet Boot$/,/^$/p' "$after"
  fi
fi

if [ "$status" -eq 0 ] && [ "$pldm_demo" -eq 1 ]; then
  # The PLDM round trip: export the tables, set Quiet Boot to Disabled and the Setup idle
  # timeout to 30 minutes in a copy of the file (by their keywords), import the copy and export
  # again to see both values come back from the (emulated) firmware.
  companion=$(find "$build" -name kestrel-pldm -type f -perm -u+x -print -quit)
  pldm=$prefix.pldm
  pldm_edited=$prefix-edited.pldm
  pldm_after=$prefix-after-import.pldm
  show() { "$companion" dump "$1" | sed -n '/^\[[0-9]*\] \(QBOOT01\|MAIN002\) /,/^$/p'; }
  say "Exporting the PLDM tables into $pldm"
  KESTREL_SYSFS_FIRMWARE="$mount" "$tool" /o /p "$pldm" /b || status=$?
  if [ "$status" -eq 0 ]; then
    show "$pldm"
    say "Writing $pldm_edited: Quiet Boot (QBOOT01) Disabled, Setup Idle Timeout (MAIN002) 30"
    "$companion" set "$pldm" "$pldm_edited" QBOOT01=Disabled MAIN002=30 || status=$?
  fi
  if [ "$status" -eq 0 ]; then
    say "Importing $pldm_edited"
    KESTREL_SYSFS_FIRMWARE="$mount" "$tool" /i /p "$pldm_edited" /b || status=$?
  fi
  if [ "$status" -eq 0 ]; then
    say "Exporting again into $pldm_after; the two attributes as the firmware now holds them:"
    KESTREL_SYSFS_FIRMWARE="$mount" "$tool" /o /p "$pldm_after" /b /q >/dev/null 2>&1 || status=$?
    [ "$status" -eq 0 ] && show "$pldm_after"
  fi
fi

if [ "$status" -eq 0 ] && [ "$attrs_demo" -eq 1 ]; then
  attrs=$(find "$build" -name kestrel-attrs -type f -perm -u+x -print -quit)
  registry=out/demo-registry.json
  after=out/demo-after-attrs.txt
  say "Writing the attribute registry to $registry; the entry of Setup Idle Timeout:"
  KESTREL_SYSFS_FIRMWARE="$mount" "$attrs" registry -o "$registry" || status=$?
  if [ "$status" -eq 0 ]; then
    python3 -c 'import json, sys
for entry in json.load(open(sys.argv[1]))["RegistryEntries"]["Attributes"]:
    if entry["AttributeName"] == "MAIN002":
        print(json.dumps(entry, indent=2, ensure_ascii=False))' "$registry"
    say "One of its dependencies: SATA003 (SATA Port 0) is hidden while SATA001 (SATA Controller) is Disabled"
    python3 -c 'import json, sys
for d in json.load(open(sys.argv[1]))["RegistryEntries"]["Dependencies"]:
    if d["DependencyFor"] == "SATA003":
        print(json.dumps(d, indent=2, ensure_ascii=False))' "$registry"
    say "Setting MAIN002 (Setup Idle Timeout) to 20 and PROC001 (Hyper-Threading) to Disabled"
    KESTREL_SYSFS_FIRMWARE="$mount" "$attrs" set MAIN002=20 PROC001=Disabled || status=$?
  fi
  if [ "$status" -eq 0 ]; then
    say "Their values through get:"
    KESTREL_SYSFS_FIRMWARE="$mount" "$attrs" get MAIN002 PROC001 || status=$?
  fi
  if [ "$status" -eq 0 ]; then
    say "Their values through a script export ($after):"
    KESTREL_SYSFS_FIRMWARE="$mount" "$tool" /o /s "$after" /q || status=$?
    sed -n -e '/^Setup Question\t= Setup Idle Timeout$/,/^$/p' -e '/^Setup Question\t= Hyper-Threading$/,/^$/p' "$after"
  fi
  if [ "$status" -eq 0 ]; then
    say "A plan, which writes nothing: SATA001 (SATA Controller) Disabled and C-States Enabled (changes one per line)"
    KESTREL_SYSFS_FIRMWARE="$mount" "$attrs" plan SATA001=Disabled PWR013=Enabled -o out/demo-plan.json || status=$?
    [ "$status" -eq 0 ] && python3 -c 'import json, sys
plan = json.load(open(sys.argv[1]))
print(json.dumps(plan["requested"], indent=2))
for name, change in plan["changes"].items():
    print(name, json.dumps(change))' out/demo-plan.json
  fi
  if [ "$status" -eq 0 ]; then
    say "A request checked as a whole: SATA001 Disabled hides SATA003, so its value is refused and nothing is written"
    refused=0
    KESTREL_SYSFS_FIRMWARE="$mount" "$attrs" set SATA003=false SATA001=Disabled || refused=$?
    if [ "$refused" -ne 3 ]; then
      echo "demo: the request was not refused (exit status $refused)" >&2
      status=1
    fi
  fi
fi

if [ "$status" -eq 0 ] && [ "$fwupd_demo" -eq 1 ]; then
  attrs=$(find "$build" -name kestrel-attrs -type f -perm -u+x -print -quit)
  settings=out/demo-fwupd-settings.txt
  after=out/demo-after-fwupd.txt
  attrs_mount=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-demo-attrs.XXXXXX")
  say "Mounting the attributes on $attrs_mount (kestrel-attrs mount)"
  KESTREL_SYSFS_FIRMWARE="$mount" "$attrs" mount "$attrs_mount" &
  attrs_pid=$!
  for _ in $(seq 1 300); do
    [ -d "$attrs_mount/kestrel/attributes" ] && break
    kill -0 "$attrs_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -d "$attrs_mount/kestrel/attributes" ]; then
    echo "demo: kestrel-attrs mount did not come up" >&2
    status=1
  fi
  if [ "$status" -eq 0 ]; then
    say "fwupdtool get-bios-settings (FWUPD_SYSFSFWATTRIBDIR=$attrs_mount), all of it in $settings; the first lines:"
    FWUPD_SYSFSFWATTRIBDIR="$attrs_mount" fwupdtool get-bios-settings >"$settings" 2>/dev/null || status=$?
    grep -v -e "ESP partition" -e "PluginFlag:esp" "$settings" | sed -n "1,24p"
  fi
  if [ "$status" -eq 0 ]; then
    say "fwupdtool set-bios-setting PROC001 Disabled (Hyper-Threading)"
    said=$(FWUPD_SYSFSFWATTRIBDIR="$attrs_mount" fwupdtool set-bios-setting PROC001 Disabled </dev/null 2>&1) ||
      status=$?
    # fwupdtool's progress lines and its warning about the missing EFI system partition do not
    # concern the settings.
    printf '%s\n' "$said" | grep -v -E -e "ESP partition|PluginFlag:esp" -e ": [0-9]+%$" || true
  fi
  if [ "$status" -eq 0 ]; then
    say "Its current_value and pending_reboot in the mount:"
    cat "$attrs_mount/kestrel/attributes/PROC001/current_value" "$attrs_mount/kestrel/attributes/pending_reboot" ||
      status=1
  fi
  if [ "$status" -eq 0 ]; then
    say "Hyper-Threading through a script export ($after):"
    KESTREL_SYSFS_FIRMWARE="$mount" "$tool" /o /s "$after" /q || status=$?
    sed -n '/^Setup Question\t= Hyper-Threading$/,/^$/p' "$after"
  fi
  say "Unmounting the attributes"
  stop_attrs
fi

if [ "$status" -eq 0 ] && [ "$verify_demo" -eq 1 ]; then
  attrs=$(find "$build" -name kestrel-attrs -type f -perm -u+x -print -quit)
  # Runs kestrel-attrs on the emulated machine; its status in $rc.
  on_machine() { rc=0; KESTREL_SYSFS_FIRMWARE="$mount" "$attrs" "$@" || rc=$?; }
  expect() { [ "$rc" -eq "$1" ] || { echo "demo: kestrel-attrs ended with status $rc, not $1" >&2; status=1; }; }
  say "Setting MAIN002 (Setup Idle Timeout) to 20 and PROC001 (Hyper-Threading) to Disabled;" \
    "kestrel-attrs records the change in its journal ($KESTREL_STATE_DIR) first"
  on_machine set MAIN002=20 PROC001=Disabled
  expect 0
  if [ "$status" -eq 0 ]; then
    say "verify before the reboot: every value pending-reboot (status 6)"
    on_machine verify
    expect 6
  fi
  if [ "$status" -eq 0 ]; then
    say "A simulated reboot: the machine gets another boot id, and its firmware clamps Setup Idle Timeout" \
      "to 15 during POST (written here behind kestrel-attrs's back, with --no-journal)"
    echo "demo-boot-2" >"$KESTREL_BOOT_ID"
    on_machine --no-journal set MAIN002=15 >/dev/null
    expect 0
  fi
  if [ "$status" -eq 0 ]; then
    say "verify after the reboot: PROC001 applied, MAIN002 adjusted (status 7)"
    on_machine verify
    expect 7
  fi
  if [ "$status" -eq 0 ]; then
    say "The journal"
    on_machine journal
    say "rollback: the bytes from before the set go back"
    on_machine rollback
    expect 0
  fi
  if [ "$status" -eq 0 ]; then
    say "The values now, and the journal: the set rolled back, the rollback an entry of its own"
    on_machine get MAIN002 PROC001
    on_machine journal
  fi
fi

setup_page=out/demo-setup.html
compare_page=out/demo-compare.html
if [ "$status" -eq 0 ] && [ "$html_demo" -eq 1 ]; then
  attrs=$(find "$build" -name kestrel-attrs -type f -perm -u+x -print -quit)
  say "Writing the demo firmware's Setup as one HTML page ($setup_page)"
  KESTREL_SYSFS_FIRMWARE="$mount" "$attrs" html -o "$setup_page" || status=$?
fi

say "Stopping the firmware emulator"
stop_emulator

if [ "$status" -eq 0 ] && [ "$html_demo" -eq 1 ]; then
  say "Three emulated machines, two of them with changed settings, and their compare page ($compare_page)"
  /usr/bin/python3 tests/ansible/fleet.py html "$build" "$compare_page" || status=$?
fi

if [ "$status" -ne 0 ] || [ ! -s "$script_name" ]; then
  echo "demo: the export failed (exit status $status)" >&2
  exit "$(( status == 0 ? 1 : status ))"
fi
say "The demo firmware's Setup script is $repo/$script_name"
if [ "$html_demo" -eq 1 ]; then
  say "The demo firmware's Setup page is $repo/$setup_page"
  say "The compare page of three machines is $repo/$compare_page"
fi
